// Secrets masked in what goes to the model and the log.
#include "support/secrets.hpp"

#include "support/log.hpp"

#include <gtest/gtest.h>

namespace talmo::secrets {
namespace {

const std::string GROQ = "gsk_Q2w9Er8tY7uI6oP5";
const std::string TAVILY = "Xk4Lm8Nq2Rs6Tv0W";

TEST(SecretMasking, MasksWholeSecretsLongStretchesAndPrefixedWordsOnly) {
  const std::vector<std::string> keys = {GROQ, TAVILY};
  struct Case {
    std::string text, want;
  } cases[] = {
      {"key " + GROQ + " refused", "key *** refused"},
      {TAVILY + TAVILY, "***"},
      {"echo: " + TAVILY.substr(3, 8) + ".", "echo: ***."},          // eight shared characters
      {"echo: " + TAVILY.substr(3, 7) + ".", "echo: " + TAVILY.substr(3, 7) + "."},  // seven are not
      {"Incorrect key gsk_abcd****wxyz given", "Incorrect key *******wxyz given"},
      {"keys tvly-dev-123 and gsk_", "keys *** and ***"},
      {"not_gsk_inside nor xtvly-abc", "not_gsk_inside nor xtvly-abc"},
      // Ordinary words share short stretches with any key; they stay.
      {"content Q2w9 oP5 Xk4L", "content Q2w9 oP5 Xk4L"},
      // A stretch next to a multi-byte character takes the whole character.
      {"é" + TAVILY.substr(0, 8), "é***"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(mask(c.text, keys), c.want) << c.text;
  // A value too short to be a real key would cut into ordinary words: ignored.
  EXPECT_EQ(mask("hello there, Othello", {"", "hello", "Othello"}), "hello there, Othello");
  EXPECT_EQ(mask("a key12345 here", {"key12345"}), "a *** here");
}

TEST(SecretMasking, EverySourcesSecretsReachTheLog) {
  log::set_stderr_enabled(false);
  set("test-a", {GROQ});
  set("test-b", {TAVILY});
  set("test-a", {"Zz9Yy8Xx7Ww6"});  // replaces the source's earlier secrets
  log::Capture cap;
  log::error("failed: " + TAVILY + " / Zz9Yy8Xx7Ww6 / " + GROQ.substr(4));
  EXPECT_EQ(cap.messages(log::Level::error), std::vector<std::string>{"failed: *** / *** / " + GROQ.substr(4)});
  EXPECT_EQ(mask("plain " + TAVILY), "plain ***");
  set("test-a", {});
  set("test-b", {});
  EXPECT_EQ(mask("plain " + TAVILY), "plain " + TAVILY);
  log::set_stderr_enabled(true);
}

}  // namespace
}  // namespace talmo::secrets

// The fixed messages to the owner: their texts, placeholders and lengths.
#include "core/prompts/messages/messages.hpp"

#include "support/unicode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace talmo::messages {
namespace {

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Messages, LengthsInCodePoints) {
  // The greeting's battery emoji is one code point (four bytes).
  EXPECT_EQ(unicode::length(FIRST_MESSAGE_TEMPLATE), 100u);
  EXPECT_EQ(FIRST_MESSAGE_TEMPLATE.size(), 103u);
  EXPECT_EQ(unicode::length(COMPLEX_TASK_MESSAGE), 125u);
  EXPECT_EQ(unicode::length(PAST_TIME_ERROR_MESSAGE), 86u);
}

TEST(Messages, FirstMessageHasItsPlaceholdersAndFormatting) {
  EXPECT_EQ(unicode::to_u32(FIRST_MESSAGE_TEMPLATE).front(), U'\U0001F50B');
  EXPECT_TRUE(FIRST_MESSAGE_TEMPLATE.starts_with("\U0001F50B *Powered up, {owner}.*\n\n"));
  EXPECT_EQ(count(FIRST_MESSAGE_TEMPLATE, "{bot_name}"), 1u);
  EXPECT_EQ(count(FIRST_MESSAGE_TEMPLATE, "_{tone}_"), 1u);
  EXPECT_EQ(std::count(FIRST_MESSAGE_TEMPLATE.begin(), FIRST_MESSAGE_TEMPLATE.end(), '\n'), 4);
  EXPECT_TRUE(FIRST_MESSAGE_TEMPLATE.ends_with("\n\nAt your service."));
}

TEST(Messages, ComplexTaskMessageIsTwoLinesAddressingSir) {
  EXPECT_EQ(std::count(COMPLEX_TASK_MESSAGE.begin(), COMPLEX_TASK_MESSAGE.end(), '\n'), 1);
  EXPECT_NE(COMPLEX_TASK_MESSAGE.find("in one go.\nCould you"), std::string::npos);
  EXPECT_EQ(COMPLEX_TASK_MESSAGE.find('{'), std::string::npos);
  EXPECT_TRUE(COMPLEX_TASK_MESSAGE.starts_with("I apologize, Sir, "));
}

TEST(Messages, PastTimeMessageFilledWithBoss) {
  EXPECT_EQ(count(PAST_TIME_ERROR_MESSAGE, "{owner}"), 1u);
  std::string filled = PAST_TIME_ERROR_MESSAGE;
  filled.replace(filled.find("{owner}"), 7, "Boss");
  EXPECT_EQ(filled, "I apologize, Boss, but I cannot schedule a task for a time that has already passed.");
  EXPECT_EQ(PAST_TIME_ERROR_MESSAGE.find('\n'), std::string::npos);
}

TEST(Messages, EachKindTalmoCannotReadGetsItsOwnAnswer) {
  // Kinds Talmo cannot read yet say what it can read; a lost or oversized
  // file asks for it again instead.
  const char* cannot_read[] = {"sticker", "video", "video_note", "gif", "poll", "event",
                               "view_once", "audio", "other"};
  std::vector<std::string> seen;
  for (const char* kind : cannot_read) {
    const std::string& text = other_kind_message(kind);
    EXPECT_EQ(count(text, READABLE_KINDS_SENTENCE), 1u) << kind;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << kind << " shares its answer";
    seen.push_back(text);
  }
  EXPECT_EQ(other_kind_message("document_too_large"),
            "That document is too large for me to open, Boss: I read files up to 20 MB. Could you send a smaller "
            "file, or just the pages that matter?");
  EXPECT_EQ(other_kind_message("voice_note"), "I couldn't download that voice note, Boss. Could you send it again?");
  EXPECT_EQ(other_kind_message("image"), "I couldn't download that photo, Boss. Could you send it again?");
  EXPECT_EQ(other_kind_message("document"), "I couldn't download that document, Boss. Could you send it again?");
  EXPECT_EQ(other_kind_message("hologram"), other_kind_message("other"));
  EXPECT_EQ(other_kind_message(""), other_kind_message("other"));
}

}  // namespace
}  // namespace talmo::messages

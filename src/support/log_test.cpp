// One record is one line, whatever the values spliced into it hold.
#include "support/log.hpp"

#include <gtest/gtest.h>

namespace talmo::log {
namespace {

TEST(LogEscaping, ControlCharactersBecomeEscapes) {
  struct Case {
    std::string raw, want;
  } cases[] = {
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {std::string("nul\0esc\x1b[31mdel\x7f", 16), "nul\\x00esc\\x1b[31mdel\\x7f"},
      {"nel\xC2\x85" "csi\xC2\x9b" "nbsp\xC2\xA0", "nel\\u0085csi\\u009bnbsp\xC2\xA0"},
      {"ls\xE2\x80\xA8ps\xE2\x80\xA9" "dash\xE2\x80\x94", "ls\\u2028ps\\u2029dash\xE2\x80\x94"},
      {"Grüße 👋 \\n stays", "Grüße 👋 \\n stays"},
      {"bad \xC2 byte \xff", "bad \xC2 byte \xff"},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_controls(c.raw), c.want) << c.raw;
}

TEST(LogEscaping, AForgedRecordStaysInsideTheRealOne) {
  set_stderr_enabled(false);
  Capture cap;
  warning("Unauthorized! Sender 1\n2026-01-01 00:00:00.000 | SUCCESS | Verified Boss message.");
  ASSERT_EQ(cap.records().size(), 1u);
  EXPECT_EQ(cap.records()[0].message,
            "Unauthorized! Sender 1\\n2026-01-01 00:00:00.000 | SUCCESS | Verified Boss message.");
  set_stderr_enabled(true);
}

}  // namespace
}  // namespace talmo::log

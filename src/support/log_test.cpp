// One record is one line, whatever the values spliced into it hold.
#include "support/log.hpp"

#include "support/json.hpp"
#include "support/unicode.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

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
      {"bad \xC2 byte \xff", "bad \\xc2 byte \\xff"},
      {"overlong \xC0\xAF, surrogate \xED\xA0\x80", "overlong \\xc0\\xaf, surrogate \\xed\\xa0\\x80"},
      // Bidirectional controls reorder what the operator sees.
      {"pay \xE2\x80\xAEgnp.exe \xE2\x80\x8F\xE2\x81\xA6x\xE2\x81\xA9", "pay \\u202egnp.exe \\u200f\\u2066x\\u2069"},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_controls(c.raw), c.want) << c.raw;
}

// What an operator reads in the text log is valid UTF-8 that shows itself as
// it is, whatever a stranger sends.
TEST(LogEscaping, TheTextLogFileIsStrictUtf8WithoutRawBidiControls) {
  namespace fs = std::filesystem;
  std::string templ = (fs::temp_directory_path() / "talmo-log-XXXXXX").string();
  const fs::path dir = ::mkdtemp(templ.data());
  Output output;
  output.file = dir / "talmo.log";
  configure(output);
  warning("Unauthorized! Sender 155\xff" "5 refused");
  info("Message: \xE2\x80\xAE" "dlrow olleh");
  configure(Output{});
  std::ifstream in(output.file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove_all(dir);
  ASSERT_NE(text.find("Sender 155\\xff5 refused"), std::string::npos) << text;
  ASSERT_NE(text.find("Message: \\u202edlrow olleh"), std::string::npos) << text;
  for (std::size_t i = 0; i < text.size();) {
    const unicode::Decoded d = unicode::decode_at(text, i);
    ASSERT_TRUE(d.valid) << "byte " << i << " of " << text;
    ASSERT_NE(d.cp, U'\u202E');
    i += d.size;
  }
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

namespace fs = std::filesystem;

// Runs the test in a fixed zone so the offsets are known.
class LogFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
  }
  void TearDown() override {
    if (saved_) ::setenv("TZ", saved_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  std::optional<std::string> saved_;
};

// 2026-03-10 12:00:00.042 UTC (winter, +01:00) and 2026-07-10 12:00:00.042 UTC (summer, +02:00).
const TimePoint WINTER = TimePoint(std::chrono::milliseconds(1773144000042));
const TimePoint SUMMER = TimePoint(std::chrono::milliseconds(1783684800042));

TEST_F(LogFormat, LinesPerFormat) {
  // Each form set field by field: brace lists that stop early warn under -Wextra.
  const Output text;
  Output journal, as_json, file_under_journal;
  journal.journal = true;
  as_json.json = true;
  file_under_journal.journal = true;
  file_under_journal.file = "/tmp/talmo.log";
  const std::tuple<const Output*, Level, TimePoint, std::string> cases[] = {
      {&text, Level::info, WINTER, "2026-03-10 13:00:00.042+01:00 | INFO    | Talmo listening {x}"},
      {&text, Level::success, SUMMER, "2026-07-10 14:00:00.042+02:00 | SUCCESS | Talmo listening {x}"},
      {&journal, Level::error, WINTER, "<3>ERROR   | Talmo listening {x}"},
      {&journal, Level::warning, WINTER, "<4>WARNING | Talmo listening {x}"},
      {&journal, Level::success, WINTER, "<5>SUCCESS | Talmo listening {x}"},
      {&journal, Level::info, WINTER, "<6>INFO    | Talmo listening {x}"},
      {&journal, Level::debug, WINTER, "<7>DEBUG   | Talmo listening {x}"},
      // A file has no journal to add the time.
      {&file_under_journal, Level::debug, WINTER, "2026-03-10 13:00:00.042+01:00 | DEBUG   | Talmo listening {x}"},
  };
  for (const auto& [output, level, time, expected] : cases)
    EXPECT_EQ(format_line(*output, level, "Talmo listening {x}", time), expected);

  const std::string line = format_line(as_json, Level::warning, "two\nlines \"quoted\" ✓", SUMMER);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(json::parse(line),
            json::parse(R"({"time": "2026-07-10T14:00:00.042+02:00", "level": "warning", "message": "two\nlines \"quoted\" ✓"})"));
}

// A record nobody will read is not even built: callers guard costly debug
// lines with enabled(), so it must say yes whenever a capture is listening.
TEST(LogOutput, EnabledFollowsTheLevelAndAnyCapture) {
  set_level(Level::info);
  EXPECT_FALSE(enabled(Level::debug));
  EXPECT_TRUE(enabled(Level::info));
  {
    Capture cap;
    EXPECT_TRUE(enabled(Level::debug));
    debug("seen by the capture");
    EXPECT_TRUE(cap.has(Level::debug, "seen by the capture"));
  }
  EXPECT_FALSE(enabled(Level::debug));
  set_stderr_enabled(false);
  EXPECT_FALSE(enabled(Level::error));
  set_stderr_enabled(true);
}

TEST(LogOutput, JournalStreamMustNameStderr) {
  struct stat st {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &st), 0);
  const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  EXPECT_TRUE(stderr_is_journal(mine.c_str()));
  EXPECT_FALSE(stderr_is_journal((std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1)).c_str()));
  EXPECT_FALSE(stderr_is_journal(nullptr));
  EXPECT_FALSE(stderr_is_journal("garbage"));
}

TEST(LogOutput, FileRotatesBySizeAndKeepsTheCount) {
  std::string templ = (fs::temp_directory_path() / "talmo-log-XXXXXX").string();
  const fs::path top = ::mkdtemp(templ.data());
  const fs::path dir = top / "new" / "logs";  // made by the logger
  const fs::path file = dir / "talmo.log";
  Output output;
  output.json = true;
  output.file = file;
  output.file_size = 2048;
  output.file_count = 2;
  configure(output);
  for (int i = 0; i < 100; ++i) info("line " + std::to_string(i) + std::string(40, '.'));
  configure(Output{});  // back to stderr, closing the file

  EXPECT_TRUE(fs::exists(file));
  EXPECT_TRUE(fs::exists(dir / "talmo.1.log"));
  EXPECT_TRUE(fs::exists(dir / "talmo.2.log"));
  EXPECT_FALSE(fs::exists(dir / "talmo.3.log"));
  for (const auto& entry : fs::directory_iterator(dir)) EXPECT_LE(fs::file_size(entry.path()), 2048u);
  std::ifstream in(file);
  std::string last, line;
  while (std::getline(in, line)) last = line;
  EXPECT_EQ(json::parse(last)["message"], "line 99" + std::string(40, '.'));

  // The log is the owner's alone: the folders made and every file, rotated ones too.
  auto mode = [](const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
  };
  EXPECT_EQ(mode(top / "new"), 0700u);
  EXPECT_EQ(mode(dir), 0700u);
  for (const auto& entry : fs::directory_iterator(dir)) EXPECT_EQ(mode(entry.path()), 0600u) << entry.path();

  // A folder that cannot be made (a file stands in its way).
  EXPECT_THROW(configure(Output{false, false, file / "x.log"}), std::runtime_error);
  fs::remove_all(top);
}

}  // namespace
}  // namespace talmo::log

// Process-wide logger with the five levels the assistant speaks in.
//
// Every message is one text; callers build it exactly as the behaviour they
// implement prescribes (for example "🚀 STARTING CONVERSATION for " + number).
// Lines go to stderr as "<local time with UTC offset> | <LEVEL> | <message>"
// unless configure() says otherwise. Tests capture records through
// log::Capture instead of reading stderr.
//
// Every record is one line whatever its values hold: control characters are
// written as escapes (see escape_controls), so a stranger's "number" with a
// line break cannot forge a record. Configured secrets are masked
// (secrets::mask). Captures see the record exactly as it is written.
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include "support/clock.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::log {

// Ordered by severity; `success` sits between info and warning and marks
// completed work.
enum class Level { debug = 0, info = 1, success = 2, warning = 3, error = 4 };

// "debug", "info", "success", "warning", "error" (case-insensitive), or nothing.
std::optional<Level> parse_level(std::string_view name);
std::string_view level_name(Level level);  // "DEBUG", "INFO", "SUCCESS", ...

// Lines below `level` are not written to stderr (captures still see them).
void set_level(Level level);
Level level();

// Turns the stderr sink on or off (tests keep it quiet; default on).
void set_stderr_enabled(bool enabled);

// Control characters (C0, DEL, C1, U+2028, U+2029) and the bidirectional
// controls (U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) as escapes:
// "\n", "\r", "\t", "\x1b", "\x7f", "\u0085", "\u2028", "\u202e"; each byte
// that is not part of well-formed UTF-8 as "\xNN". Everything else, including
// backslashes, is kept as it is, so the result is always valid UTF-8.
std::string escape_controls(std::string_view text);

// Where and how lines are written.
struct Output {
  // One JSON object per line: {"time", "level", "message"}.
  bool json = false;
  // Text lines for the systemd journal: no time stamp (the journal adds one)
  // and the syslog priority prefix of the level ("<3>" error, "<4>"
  // warning, "<5>" success, "<6>" info, "<7>" debug). Ignored for files.
  bool journal = false;
  // Lines go to this file instead of stderr, rotated when it would grow past
  // `file_size` bytes; `file_count` rotated files are kept (talmo.1.log ...
  // talmo.N.log beside talmo.log, the newest as .1). Missing folders are made
  // with mode 0700 and a new file with 0600; existing ones keep their modes.
  std::filesystem::path file;
  std::uint64_t file_size = 10ull << 20;
  int file_count = 5;
};

// Replaces the sink. Throws std::runtime_error (naming the file) when the
// log file cannot be opened; the previous sink then stays.
void configure(const Output& output);

// The line written for one record, without the line break. Text:
// "2026-03-10 13:00:00.000+01:00 | INFO    | message" in the machine's zone;
// journal: "<6>INFO    | message"; JSON: {"time": "2026-03-10T13:00:00.000+01:00",
// "level": "info", "message": "message"} on one line.
std::string format_line(const Output& output, Level level, std::string_view message, TimePoint time);

// True when stderr is the journal's stream: `journal_stream` (the value of
// JOURNAL_STREAM, "<device>:<inode>") names the file stderr is open on.
bool stderr_is_journal(const char* journal_stream);

// True when a record of `level` would be written or captured; a caller
// guards a costly message with it (a debug line built per request).
bool enabled(Level level);

void write(Level level, std::string_view message);
inline void debug(std::string_view m) { write(Level::debug, m); }
inline void info(std::string_view m) { write(Level::info, m); }
inline void success(std::string_view m) { write(Level::success, m); }
inline void warning(std::string_view m) { write(Level::warning, m); }
inline void error(std::string_view m) { write(Level::error, m); }

struct Record {
  Level level;
  std::string message;
};

// Collects every record written while it is alive, whatever the level filter.
// Several captures may be alive at once; each sees every record.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Record> records() const;
  // Messages of one level, in order.
  std::vector<std::string> messages(Level level) const;
  // True when some record of `level` equals `message` exactly.
  bool has(Level level, std::string_view message) const;
  // True when some record of `level` contains `fragment`.
  bool contains(Level level, std::string_view fragment) const;
  void clear();

  struct State;  // shared with the writer

 private:
  State* state_;
};

}  // namespace talmo::log

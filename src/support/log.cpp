#include "support/log.hpp"

#include "support/json.hpp"
#include "support/secrets.hpp"
#include "support/unicode.hpp"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace talmo::log {

struct Capture::State {
  mutable std::mutex mu;
  std::vector<Record> records;
};

namespace {

std::atomic<Level> g_level{Level::info};
std::atomic<bool> g_stderr{true};
// Captures alive; while there are none, a record below the level costs nothing.
std::atomic<int> g_captures{0};

std::mutex& captures_mutex() {
  static std::mutex mu;
  return mu;
}
std::vector<Capture::State*>& captures() {
  static std::vector<Capture::State*> v;
  return v;
}

std::shared_ptr<spdlog::logger> make_logger(spdlog::sink_ptr sink) {
  auto l = std::make_shared<spdlog::logger>("talmo", std::move(sink));
  // Lines are formatted here (format_line), so spdlog writes them as given.
  l->set_pattern("%v");
  l->set_level(spdlog::level::trace);
  l->flush_on(spdlog::level::trace);
  return l;
}

struct Sink {
  Output output;
  std::shared_ptr<spdlog::logger> logger;
};

std::mutex& sink_mutex() {
  static std::mutex mu;
  return mu;
}
std::shared_ptr<const Sink>& current_sink() {
  static std::shared_ptr<const Sink> sink = std::make_shared<const Sink>(
      Sink{Output{}, make_logger(std::make_shared<spdlog::sinks::stderr_sink_mt>())});
  return sink;
}
std::shared_ptr<const Sink> sink() {
  std::lock_guard lock(sink_mutex());
  return current_sink();
}

int syslog_priority(Level level) {
  switch (level) {
    case Level::debug: return 7;
    case Level::info: return 6;
    case Level::success: return 5;  // notice: completed work stands out from routine lines
    case Level::warning: return 4;
    case Level::error: return 3;
  }
  return 6;
}

// "2026-03-10<sep>13:00:00.000+01:00" in the machine's zone.
std::string local_time(TimePoint time, char separator) {
  const auto since = time.time_since_epoch();
  const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  const long offset = tm.tm_gmtoff / 60;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d%c%02ld:%02ld", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, separator, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis < 0 ? millis + 1000 : millis), offset < 0 ? '-' : '+',
                std::labs(offset) / 60, std::labs(offset) % 60);
  return buffer;
}

}  // namespace

std::optional<Level> parse_level(std::string_view name) {
  std::string n(name);
  std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
  if (n == "debug") return Level::debug;
  if (n == "info") return Level::info;
  if (n == "success") return Level::success;
  if (n == "warning") return Level::warning;
  if (n == "error") return Level::error;
  return std::nullopt;
}

std::string_view level_name(Level level) {
  switch (level) {
    case Level::debug: return "DEBUG";
    case Level::info: return "INFO";
    case Level::success: return "SUCCESS";
    case Level::warning: return "WARNING";
    case Level::error: return "ERROR";
  }
  return "?";
}

std::string format_line(const Output& output, Level level, std::string_view message, TimePoint time) {
  const std::string_view name = level_name(level);
  if (output.json) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    json line = json::object();
    line["time"] = local_time(time, 'T');
    line["level"] = lower;
    line["message"] = std::string(message);
    return json_text(line);
  }
  std::string padded(name);
  padded.resize(std::max<std::size_t>(padded.size(), 7), ' ');
  if (output.journal && output.file.empty())
    return "<" + std::to_string(syslog_priority(level)) + ">" + padded + " | " + std::string(message);
  return local_time(time, ' ') + " | " + padded + " | " + std::string(message);
}

bool stderr_is_journal(const char* journal_stream) {
  if (!journal_stream) return false;
  std::uintmax_t device = 0, inode = 0;
  if (std::sscanf(journal_stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<std::uintmax_t>(st.st_dev) == device && static_cast<std::uintmax_t>(st.st_ino) == inode;
}

namespace {

// Creates the missing folders of `dir`, each with mode 0700.
void make_private_folders(const std::filesystem::path& dir) {
  if (dir.empty()) return;
  std::error_code ec;
  if (std::filesystem::exists(dir, ec)) return;
  make_private_folders(dir.parent_path());
  ::mkdir(dir.c_str(), 0700);
}

}  // namespace

void configure(const Output& output) {
  spdlog::sink_ptr sink;
  if (output.file.empty()) {
    sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  } else {
    // The log holds numbers and message excerpts: folders it makes and files
    // it creates (after each rotation too) are the owner's alone. Existing
    // ones keep the modes they were given.
    spdlog::file_event_handlers private_files;
    private_files.before_open = [](const spdlog::filename_t& name) {
      make_private_folders(std::filesystem::path(name).parent_path());
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) ::close(fd);
    };
    try {
      sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
          output.file.string(), static_cast<std::size_t>(output.file_size),
          static_cast<std::size_t>(std::max(output.file_count, 1)), false, private_files);
    } catch (const spdlog::spdlog_ex& e) {
      throw std::runtime_error("cannot write the log file " + output.file.string() + ": " + e.what());
    }
  }
  auto next = std::make_shared<const Sink>(Sink{output, make_logger(std::move(sink))});
  std::lock_guard lock(sink_mutex());
  current_sink() = std::move(next);
}

void set_level(Level level) { g_level = level; }
Level level() { return g_level; }
void set_stderr_enabled(bool enabled) { g_stderr = enabled; }

namespace {

// Characters that change how a terminal shows the text around them: the C1
// controls, the line and paragraph separators, and the bidirectional marks,
// embeddings, overrides and isolates (U+202E shows what follows backwards).
bool is_invisible_control(char32_t cp) {
  return (cp >= 0x80 && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029 || cp == 0x200e || cp == 0x200f ||
         (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto hex = [&out](const char* prefix, unsigned value, int digits) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%s%0*x", prefix, digits, value);
    out += buf;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '\n') out += "\\n";
      else if (c == '\r') out += "\\r";
      else if (c == '\t') out += "\\t";
      else if (c < 0x20 || c == 0x7f) hex("\\x", c, 2);
      else out += static_cast<char>(c);
      ++i;
      continue;
    }
    const unicode::Decoded d = unicode::decode_at(text, i);
    if (!d.valid) {
      // Bytes that are not UTF-8 are shown by value, never passed on raw.
      for (std::size_t k = 0; k < d.size; ++k) hex("\\x", static_cast<unsigned char>(text[i + k]), 2);
    } else if (is_invisible_control(d.cp)) {
      hex("\\u", static_cast<unsigned>(d.cp), 4);
    } else {
      out.append(text.substr(i, d.size));
    }
    i += d.size;
  }
  return out;
}

bool enabled(Level lvl) {
  return g_captures.load(std::memory_order_relaxed) > 0 ||
         (g_stderr && static_cast<int>(lvl) >= static_cast<int>(g_level.load()));
}

void write(Level lvl, std::string_view raw) {
  if (!enabled(lvl)) return;
  const std::string message = secrets::mask(escape_controls(raw));
  {
    std::lock_guard lock(captures_mutex());
    for (auto* st : captures()) {
      std::lock_guard l2(st->mu);
      st->records.push_back(Record{lvl, std::string(message)});
    }
  }
  if (!g_stderr || static_cast<int>(lvl) < static_cast<int>(g_level.load())) return;
  const auto out = sink();
  const std::string line = format_line(out->output, lvl, message, std::chrono::system_clock::now());
  out->logger->log(spdlog::level::info, spdlog::string_view_t(line.data(), line.size()));
}

Capture::Capture() : state_(new State) {
  std::lock_guard lock(captures_mutex());
  captures().push_back(state_);
  ++g_captures;
}

Capture::~Capture() {
  {
    std::lock_guard lock(captures_mutex());
    auto& v = captures();
    v.erase(std::remove(v.begin(), v.end(), state_), v.end());
    --g_captures;
  }
  delete state_;
}

std::vector<Record> Capture::records() const {
  std::lock_guard l(state_->mu);
  return state_->records;
}

std::vector<std::string> Capture::messages(Level lvl) const {
  std::vector<std::string> out;
  for (auto& r : records())
    if (r.level == lvl) out.push_back(r.message);
  return out;
}

bool Capture::has(Level lvl, std::string_view message) const {
  for (auto& r : records())
    if (r.level == lvl && r.message == message) return true;
  return false;
}

bool Capture::contains(Level lvl, std::string_view fragment) const {
  for (auto& r : records())
    if (r.level == lvl && r.message.find(fragment) != std::string::npos) return true;
  return false;
}

void Capture::clear() {
  std::lock_guard l(state_->mu);
  state_->records.clear();
}

}  // namespace talmo::log

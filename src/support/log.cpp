#include "support/log.hpp"

#include "support/secrets.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
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

std::mutex& captures_mutex() {
  static std::mutex mu;
  return mu;
}
std::vector<Capture::State*>& captures() {
  static std::vector<Capture::State*> v;
  return v;
}

std::shared_ptr<spdlog::logger> stderr_logger() {
  static std::shared_ptr<spdlog::logger> logger = [] {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto l = std::make_shared<spdlog::logger>("talmo", sink);
    // The level name is part of the message text, so spdlog's own level is unused.
    l->set_pattern("%Y-%m-%d %H:%M:%S.%e | %v");
    l->set_level(spdlog::level::trace);
    l->flush_on(spdlog::level::trace);
    return l;
  }();
  return logger;
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

void set_level(Level level) { g_level = level; }
Level level() { return g_level; }
void set_stderr_enabled(bool enabled) { g_stderr = enabled; }

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto hex = [&out](const char* prefix, unsigned value, int digits) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%s%0*x", prefix, digits, value);
    out += buf;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      hex("\\x", c, 2);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      hex("\\u", static_cast<unsigned char>(text[i + 1]), 4);  // C1: U+0080..U+009F
      ++i;
    } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      hex("\\u", 0x2000u + static_cast<unsigned char>(text[i + 2]) - 0x80u, 4);  // U+2028, U+2029
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void write(Level lvl, std::string_view raw) {
  const std::string message = secrets::mask(escape_controls(raw));
  {
    std::lock_guard lock(captures_mutex());
    for (auto* st : captures()) {
      std::lock_guard l2(st->mu);
      st->records.push_back(Record{lvl, std::string(message)});
    }
  }
  if (!g_stderr || static_cast<int>(lvl) < static_cast<int>(g_level.load())) return;
  auto name = level_name(lvl);
  stderr_logger()->info("{:<7} | {}", name, message);
}

Capture::Capture() : state_(new State) {
  std::lock_guard lock(captures_mutex());
  captures().push_back(state_);
}

Capture::~Capture() {
  {
    std::lock_guard lock(captures_mutex());
    auto& v = captures();
    v.erase(std::remove(v.begin(), v.end(), state_), v.end());
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

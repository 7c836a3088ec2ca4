#include "core/config/config.hpp"

#include "support/host.hpp"
#include "support/program.hpp"
#include "support/tz.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talmo::config {

namespace fs = std::filesystem;

namespace {

// Every setting the file may hold (the same names are read from the environment).
constexpr std::string_view SETTINGS[] = {
    "MASTER_NUMBER", "GROQ_API_KEYS",   "GROQ_MODEL",     "WHISPER_MODEL",   "TAVILY_API_KEY",
    "GROQ_BASE_URL", "TAVILY_BASE_URL", "BRIDGE_URL",     "TALMO_HOST",      "TALMO_PORT",
    "TALMO_DATA_DIR", "TALMO_TIMEZONE", "TALMO_LOG_LEVEL", "HISTORY_LIMIT",  "MISFIRE_GRACE",
    "HISTORY_RETENTION_DAYS", "TALMO_LOG_FORMAT", "TALMO_LOG_FILE", "TALMO_LOG_FILE_SIZE", "TALMO_LOG_FILE_COUNT",
    "SHUTDOWN_GRACE", "TALMO_ALLOWED_HOSTS", "BRIDGE_TOKEN", "VISION_MODEL",
    // Read by the bridge only.
    "BRIDGE_LOG_FILE"};

// These decide where the file is, so only the environment can set them.
constexpr std::string_view ENVIRONMENT_ONLY[] = {"TALMO_HOME", "TALMO_CONFIG"};

// Large enough for any sensible grace, small enough never to overflow a time point.
constexpr long long MAX_DURATION_SECONDS = 3650LL * 24 * 3600;

bool is_known_setting(std::string_view name) {
  return std::find(std::begin(SETTINGS), std::end(SETTINGS), name) != std::end(SETTINGS);
}

// Edits (insert, delete, replace one character) between the two names, case ignored.
size_t edit_distance(std::string_view a, std::string_view b) {
  auto up = [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); };
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (up(a[i - 1]) == up(b[j - 1]) ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known setting a misspelt name most likely meant: the nearest one, when
// it is near enough to be a slip rather than a different word.
std::optional<std::string_view> closest_setting(std::string_view name) {
  std::optional<std::string_view> best;
  size_t best_distance = std::max<size_t>(2, name.size() / 4) + 1;
  for (std::string_view known : SETTINGS) {
    const size_t d = edit_distance(name, known);
    if (d < best_distance) {
      best = known;
      best_distance = d;
    }
  }
  return best;
}

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string trim_ascii(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && is_ascii_space(text[b])) ++b;
  while (e > b && is_ascii_space(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A text as a TOML basic string (also how texts are quoted in error lines:
// escaped, kept on one line).
std::string toml_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string quote_text(std::string_view text) { return toml_string(text); }

std::string type_phrase(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a floating-point number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time";
    case toml::node_type::date_time: return "a date-time";
    case toml::node_type::array: return "an array";
    case toml::node_type::table: return "a table";
    default: return "an unknown kind of value";
  }
}

std::optional<fs::path> home_folder(const Environment& env) {
  if (auto home = env("HOME"); home && !home->empty()) return fs::path(*home);
  // Services started without HOME still have an account entry.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir &&
      *result->pw_dir)
    return fs::path(result->pw_dir);
  return std::nullopt;
}

// "~" and "~/..." name the home folder, as in a shell.
fs::path expand_home(const std::string& text, const Environment& env) {
  if (text == "~" || text.rfind("~/", 0) == 0) {
    if (auto home = home_folder(env)) return text.size() <= 2 ? *home : *home / text.substr(2);
  }
  return fs::path(text);
}

fs::path talmo_home(const Environment& env) {
  if (auto home = env("TALMO_HOME"); home && !home->empty()) return expand_home(*home, env);
  auto home = home_folder(env);
  if (!home) throw ConfigError("TALMO_HOME is not set and the home folder is unknown: set TALMO_HOME or HOME");
  return *home / ".talmo";
}

// The file's text, or nothing when there is no file.
std::optional<std::string> read_file(const fs::path& file) {
  std::error_code ec;
  const auto status = fs::status(file, ec);
  if (status.type() == fs::file_type::not_found) return std::nullopt;
  if (ec) throw ConfigError(file.string() + ": cannot read the configuration file: " + ec.message());
  if (fs::is_directory(status))
    throw ConfigError(file.string() + ": cannot read the configuration file: it is a folder");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ConfigError(file.string() + ": cannot read the configuration file: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(file.string() + ": cannot read the configuration file");
  return text.str();
}

toml::table parse_toml(const std::string& text, const fs::path& file) {
  const std::string source = file.string();
  try {
    return toml::parse(std::string_view(text), std::string_view(source));
  } catch (const toml::parse_error& e) {
    throw ConfigError(source + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
  }
}

// One setting as found: in the environment (which wins) or in the file.
struct Raw {
  std::string name;
  std::optional<std::string> env;    // set and non-empty
  const toml::node* node = nullptr;  // the file's value
};

// The configuration file and the environment, read once, with the error
// wording shared by every setting.
class Source {
 public:
  Source(fs::path file, const Environment& env) : file_(std::move(file)), env_(env) {
    if (auto text = read_file(file_)) table_ = parse_toml(*text, file_);
  }

  // An environment variable set to the empty text counts as unset, so a blank
  // line in a service's environment file cannot wipe a setting of the file.
  Raw get(std::string_view name) const {
    Raw raw{std::string(name), std::nullopt, nullptr};
    if (auto value = env_(raw.name); value && !value->empty()) raw.env = std::move(value);
    if (table_) raw.node = table_->get(name);
    return raw;
  }

  // Throws the one-line error for `raw`; `at` points at a part of the value
  // (an array item) when that part is the culprit.
  [[noreturn]] void fail(const Raw& raw, const std::string& problem, const toml::node* at = nullptr) const {
    if (raw.env) throw ConfigError("environment " + raw.name + ": " + problem);
    const toml::node* where = at ? at : raw.node;
    throw ConfigError(file_.string() + ":" + std::to_string(where->source().begin.line) + ": " + raw.name + " " +
                      problem);
  }

  void warn_about_unknown_keys() const {
    if (!table_) return;
    for (auto&& [key, node] : *table_) {
      const std::string_view name = key.str();
      if (is_known_setting(name)) continue;
      const std::string where = file_.string() + ":" + std::to_string(key.source().begin.line) + ": ";
      if (std::find(std::begin(ENVIRONMENT_ONLY), std::end(ENVIRONMENT_ONLY), name) != std::end(ENVIRONMENT_ONLY))
        log::warning(where + std::string(name) + " is read only from the environment; ignored here");
      else if (auto meant = closest_setting(name))
        log::warning(where + "unknown setting " + std::string(name) + "; did you mean " + std::string(*meant) + "?");
      else
        log::warning(where + "unknown setting " + std::string(name) + " ignored");
    }
  }

 private:
  fs::path file_;
  const Environment& env_;
  std::optional<toml::table> table_;
};

std::optional<std::string> text_setting(const Source& source, std::string_view name, bool allow_empty) {
  Raw raw = source.get(name);
  std::string value;
  if (raw.env) {
    value = *raw.env;
  } else if (raw.node) {
    if (!raw.node->is_string()) source.fail(raw, "must be a string, got " + type_phrase(*raw.node));
    value = raw.node->as_string()->get();
  } else {
    return std::nullopt;
  }
  if (!allow_empty && value.empty()) source.fail(raw, "must not be empty");
  return value;
}

std::string url_setting(const Source& source, std::string_view name, std::string fallback) {
  auto value = text_setting(source, name, false);
  if (!value) return fallback;
  std::string url = *value;
  const bool http = url.rfind("http://", 0) == 0, https = url.rfind("https://", 0) == 0;
  const size_t rest = http ? 7 : https ? 8 : 0;
  const bool blank = std::any_of(url.begin(), url.end(), [](char c) { return is_ascii_space(c); });
  if (!rest || url.size() <= rest || url[rest] == '/' || blank)
    source.fail(source.get(name), "must be an http:// or https:// URL, got " + quote_text(url));
  // Paths are appended to the base ("/chat/completions"), so a trailing slash would double up.
  while (url.size() > rest + 1 && url.back() == '/') url.pop_back();
  return url;
}

long long integer_setting(const Source& source, std::string_view name, long long fallback, long long min,
                          long long max, const std::string& requirement) {
  Raw raw = source.get(name);
  long long value = 0;
  if (raw.env) {
    const std::string text = trim_ascii(*raw.env);
    if (!all_digits(text) || text.size() > 18) source.fail(raw, requirement + ", got " + quote_text(*raw.env));
    value = std::stoll(text);
    if (value < min || value > max) source.fail(raw, requirement + ", got " + quote_text(*raw.env));
    return value;
  }
  if (!raw.node) return fallback;
  if (!raw.node->is_integer()) source.fail(raw, requirement + ", got " + type_phrase(*raw.node));
  value = raw.node->as_integer()->get();
  if (value < min || value > max) source.fail(raw, requirement + ", got " + std::to_string(value));
  return value;
}

std::vector<std::string> list_setting(const Source& source, std::string_view name) {
  Raw raw = source.get(name);
  std::vector<std::string> items;
  if (raw.env) {
    std::string_view rest = *raw.env;
    while (true) {
      const size_t comma = rest.find(',');
      std::string item = trim_ascii(rest.substr(0, comma));
      if (!item.empty()) items.push_back(std::move(item));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    return items;
  }
  if (!raw.node) return items;
  const toml::array* array = raw.node->as_array();
  if (!array) source.fail(raw, "must be an array of strings, got " + type_phrase(*raw.node));
  for (size_t i = 0; i < array->size(); ++i) {
    const toml::node& item = *array->get(i);
    if (!item.is_string())
      source.fail(raw, "must be an array of strings, but item " + std::to_string(i + 1) + " is " + type_phrase(item),
                  &item);
    std::string text = trim_ascii(item.as_string()->get());
    if (!text.empty()) items.push_back(std::move(text));
  }
  return items;
}

std::chrono::seconds duration_setting(const Source& source, std::string_view name, std::chrono::seconds fallback) {
  static const std::string requirement =
      "must be a number of seconds or a duration such as \"6h\", \"90m\", \"45s\" or \"1h30m\"";
  Raw raw = source.get(name);
  if (raw.env) {
    if (auto value = parse_duration(*raw.env)) return *value;
    source.fail(raw, requirement + ", got " + quote_text(*raw.env));
  }
  if (!raw.node) return fallback;
  if (auto number = raw.node->as_integer()) {
    if (number->get() < 0 || number->get() > MAX_DURATION_SECONDS)
      source.fail(raw, requirement + ", got " + std::to_string(number->get()));
    return std::chrono::seconds(number->get());
  }
  if (auto text = raw.node->as_string()) {
    if (auto value = parse_duration(text->get())) return *value;
    source.fail(raw, requirement + ", got " + quote_text(text->get()));
  }
  source.fail(raw, requirement + ", got " + type_phrase(*raw.node));
}

}  // namespace

std::optional<std::chrono::seconds> parse_duration(std::string_view input) {
  const std::string text = trim_ascii(input);
  if (text.empty()) return std::nullopt;
  if (all_digits(text)) {
    if (text.size() > 12) return std::nullopt;
    const long long seconds = std::stoll(text);
    if (seconds > MAX_DURATION_SECONDS) return std::nullopt;
    return std::chrono::seconds(seconds);
  }
  static constexpr std::string_view units = "dhms";
  static constexpr long long unit_seconds[] = {86400, 3600, 60, 1};
  long long total = 0;
  size_t next_unit = 0;  // parts must come in descending order, each at most once
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == start || i - start > 12 || i == text.size()) return std::nullopt;
    const long long amount = std::stoll(text.substr(start, i - start));
    const char unit = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    const size_t rank = units.find(unit);
    if (rank == std::string_view::npos || rank < next_unit) return std::nullopt;
    next_unit = rank + 1;
    ++i;
    total += amount * unit_seconds[rank];
    if (total > MAX_DURATION_SECONDS) return std::nullopt;
  }
  return std::chrono::seconds(total);
}

std::optional<std::uint64_t> parse_size(std::string_view input) {
  const std::string text = trim_ascii(input);
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 13) return std::nullopt;
  const std::uint64_t amount = std::stoull(text.substr(0, digits));
  std::string unit = trim_ascii(std::string_view(text).substr(digits));
  std::transform(unit.begin(), unit.end(), unit.begin(), [](unsigned char c) { return std::tolower(c); });
  std::uint64_t scale = 0;
  if (unit.empty() || unit == "b") scale = 1;
  else if (unit == "k" || unit == "kb" || unit == "kib") scale = 1ull << 10;
  else if (unit == "m" || unit == "mb" || unit == "mib") scale = 1ull << 20;
  else if (unit == "g" || unit == "gb" || unit == "gib") scale = 1ull << 30;
  else return std::nullopt;
  const std::uint64_t bytes = amount * scale;  // at most 13 digits times 2^30: no overflow
  if (bytes < (1ull << 10) || bytes > (1ull << 40)) return std::nullopt;
  return bytes;
}

Environment process_environment() {
  return [](const std::string& name) -> std::optional<std::string> {
    if (const char* value = std::getenv(name.c_str())) return std::string(value);
    return std::nullopt;
  };
}

fs::path resolve_config_path(const std::optional<fs::path>& explicit_path, const Environment& env) {
  if (explicit_path && !explicit_path->empty()) return *explicit_path;
  if (auto file = env("TALMO_CONFIG"); file && !file->empty()) return expand_home(*file, env);
  return talmo_home(env) / "config.toml";
}

Config load(const std::optional<fs::path>& explicit_path, const Environment& env) {
  Config config;
  config.config_file = resolve_config_path(explicit_path, env);
  config.home = talmo_home(env);
  const Source source(config.config_file, env);
  source.warn_about_unknown_keys();

  config.master_number = text_setting(source, "MASTER_NUMBER", true).value_or("");
  config.groq_api_keys = list_setting(source, "GROQ_API_KEYS");
  config.groq_model = text_setting(source, "GROQ_MODEL", false).value_or(config.groq_model);
  config.whisper_model = text_setting(source, "WHISPER_MODEL", false).value_or(config.whisper_model);
  config.vision_model = text_setting(source, "VISION_MODEL", false).value_or(config.vision_model);
  config.tavily_api_key = text_setting(source, "TAVILY_API_KEY", true).value_or("");
  config.groq_base_url = url_setting(source, "GROQ_BASE_URL", config.groq_base_url);
  config.tavily_base_url = url_setting(source, "TAVILY_BASE_URL", config.tavily_base_url);
  config.bridge_url = url_setting(source, "BRIDGE_URL", config.bridge_url);
  config.host = text_setting(source, "TALMO_HOST", false).value_or(config.host);
  config.allowed_hosts = list_setting(source, "TALMO_ALLOWED_HOSTS");
  config.bridge_token = trim_ascii(text_setting(source, "BRIDGE_TOKEN", true).value_or(""));
  config.port = static_cast<int>(
      integer_setting(source, "TALMO_PORT", config.port, 1, 65535, "must be an integer from 1 to 65535"));

  if (auto dir = text_setting(source, "TALMO_DATA_DIR", false))
    config.data_dir = expand_home(*dir, env);
  else
    config.data_dir = config.home;

  if (auto zone = text_setting(source, "TALMO_TIMEZONE", true)) {
    if (!tz::is_valid_zone(*zone))
      source.fail(source.get("TALMO_TIMEZONE"),
                  "must be an IANA time zone name such as \"Europe/Berlin\", got " + quote_text(*zone));
    config.timezone = *zone;
  } else {
    config.timezone = tz::local_zone_name();
  }

  if (auto level = text_setting(source, "TALMO_LOG_LEVEL", true)) {
    auto parsed = log::parse_level(trim_ascii(*level));
    if (!parsed)
      source.fail(source.get("TALMO_LOG_LEVEL"),
                  "must be one of debug, info, success, warning, error, got " + quote_text(*level));
    config.log_level = *parsed;
    config.log_level_given = true;
  }

  config.history_limit = static_cast<int>(integer_setting(source, "HISTORY_LIMIT", config.history_limit, 1,
                                                          1'000'000, "must be an integer from 1 to 1000000"));
  config.misfire_grace = duration_setting(source, "MISFIRE_GRACE", config.misfire_grace);
  config.history_retention_days = static_cast<int>(
      integer_setting(source, "HISTORY_RETENTION_DAYS", config.history_retention_days, 0, 36500,
                      "must be a whole number of days from 0 (keep everything) to 36500"));

  if (auto format = text_setting(source, "TALMO_LOG_FORMAT", true)) {
    std::string name = trim_ascii(*format);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name != "text" && name != "json")
      source.fail(source.get("TALMO_LOG_FORMAT"), "must be \"text\" or \"json\", got " + quote_text(*format));
    config.log_json = name == "json";
  }
  if (auto file = text_setting(source, "TALMO_LOG_FILE", false)) config.log_file = expand_home(*file, env);
  {
    static const std::string requirement =
        "must be a number of bytes or a size such as \"10MB\" or \"512KB\", from 1KB to 1024GB";
    Raw raw = source.get("TALMO_LOG_FILE_SIZE");
    if (raw.env || raw.node) {
      std::optional<std::uint64_t> size;
      std::string shown;
      if (raw.env) {
        size = parse_size(*raw.env);
        shown = quote_text(*raw.env);
      } else if (auto number = raw.node->as_integer()) {
        if (number->get() > 0) size = parse_size(std::to_string(number->get()));
        shown = std::to_string(number->get());
      } else if (auto text = raw.node->as_string()) {
        size = parse_size(text->get());
        shown = quote_text(text->get());
      } else {
        shown = type_phrase(*raw.node);
      }
      if (!size) source.fail(raw, requirement + ", got " + shown);
      config.log_file_size = *size;
    }
  }
  config.log_file_count = static_cast<int>(integer_setting(source, "TALMO_LOG_FILE_COUNT", config.log_file_count,
                                                           1, 1000, "must be an integer from 1 to 1000"));
  config.shutdown_grace = duration_setting(source, "SHUTDOWN_GRACE", config.shutdown_grace);
  return config;
}

void require_master_number(const Config& config) {
  if (!trim_ascii(config.master_number).empty()) return;
  throw ConfigError(
      "MASTER_NUMBER is not set: set the MASTER_NUMBER environment variable, add MASTER_NUMBER = \"<your number>\" "
      "to " +
      config.config_file.string() + ", or run `" + program::command("onboard") + "`");
}

phone::International require_owner_number(const Config& config) {
  require_master_number(config);
  if (auto owner = phone::parse_international(config.master_number)) return *owner;
  throw ConfigError("MASTER_NUMBER " + quote_text(config.master_number) + " " +
                    phone::NOT_INTERNATIONAL);
}

void require_safe_listening(const Config& config) {
  // A short token is guessed easily, and masking it would cut into the
  // owner's own words.
  if (!config.bridge_token.empty() && config.bridge_token.size() < MIN_BRIDGE_TOKEN)
    throw ConfigError("BRIDGE_TOKEN is shorter than " + std::to_string(MIN_BRIDGE_TOKEN) +
                      " characters: set a longer one (talmo onboard replaces it with a random one)");
  if (host::is_loopback(config.host) || !config.bridge_token.empty()) return;
  throw ConfigError("TALMO_HOST " + quote_text(config.host) +
                    " is not a loopback address and BRIDGE_TOKEN is not set: anyone who reaches the "
                    "port could post as the owner; set BRIDGE_TOKEN (" + program::command("onboard") + " writes one) or "
                    "listen on 127.0.0.1");
}

json read_internal_config(const std::optional<fs::path>& explicit_path, const Environment& env) {
  const Source source(resolve_config_path(explicit_path, env), env);
  json out = json::object();
  out["MASTER_NUMBER"] = text_setting(source, "MASTER_NUMBER", true).value_or("");
  out["GROQ_API_KEYS"] = json::array();
  for (auto& key : list_setting(source, "GROQ_API_KEYS")) out["GROQ_API_KEYS"].push_back(key);
  out["TAVILY_API_KEY"] = text_setting(source, "TAVILY_API_KEY", true).value_or("");
  return out;
}

// ---------------------------------------------------------------------------
// Writing settings

namespace {

bool is_bare_key(std::string_view key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

void check_settings(const json& settings) {
  if (!settings.is_object()) throw std::invalid_argument("settings must be a map, got " + std::string(settings.type_name()));
  for (auto& [key, value] : settings.items()) {
    if (!is_bare_key(key)) throw std::invalid_argument("setting name " + quote_text(key) + " is not a plain name");
    const bool list_of_text =
        value.is_array() && std::all_of(value.begin(), value.end(), [](const json& v) { return v.is_string(); });
    const bool integer = value.is_number_integer() &&
                         !(value.is_number_unsigned() &&
                           value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX));
    if (!value.is_string() && !integer && !list_of_text)
      throw std::invalid_argument("setting " + key + " must be a text, an integer or a list of texts");
  }
}


std::string toml_value_text(const json& value) {
  if (value.is_string()) return toml_string(value.get<std::string>());
  if (value.is_number_integer()) return value.dump();
  std::string out = "[";
  for (size_t i = 0; i < value.size(); ++i) {
    if (i) out += ", ";
    out += toml_string(value[i].get<std::string>());
  }
  return out + "]";
}

void assign(toml::table& table, const std::string& key, const json& value) {
  if (value.is_string()) {
    table.insert_or_assign(key, value.get<std::string>());
  } else if (value.is_number_integer()) {
    table.insert_or_assign(key, value.get<std::int64_t>());
  } else {
    toml::array items;
    for (auto& item : value) items.push_back(item.get<std::string>());
    table.insert_or_assign(key, std::move(items));
  }
}

// Byte offset of a (1-based line, 1-based code-point column) position.
std::optional<size_t> offset_of(const std::string& text, const std::vector<size_t>& line_starts,
                                toml::source_position pos) {
  if (pos.line < 1 || pos.line > line_starts.size() || pos.column < 1) return std::nullopt;
  size_t at = line_starts[pos.line - 1];
  for (toml::source_index col = 1; col < pos.column; ++col) {
    if (at >= text.size() || text[at] == '\n') return std::nullopt;
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  }
  return at;
}

// The file's text with the settings changed where they stand and new ones
// added after the last top-level setting, so comments and layout survive.
// Nothing when the layout does not allow it (the caller then re-serialises).
std::optional<std::string> edit_in_place(const std::string& text, const toml::table& original,
                                         const json& settings) {
  std::vector<size_t> line_starts{0};
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n') line_starts.push_back(i + 1);

  struct Edit {
    size_t offset, length;
    std::string replacement;
  };
  std::vector<Edit> edits;

  // A top-level `key = value` line: the value starts after its key on the same
  // line (a [table] header puts its region before the key).
  auto is_key_value = [](const toml::key& key, const toml::node& node) {
    const auto& k = key.source().begin;
    const auto& v = node.source().begin;
    if (k.line != v.line || v.column <= k.column) return false;
    if (auto table = node.as_table()) return table->is_inline();
    return true;
  };

  toml::source_index last_line = 0;
  for (auto&& [key, node] : original)
    if (is_key_value(key, node)) last_line = std::max(last_line, node.source().end.line);

  std::string added;
  for (auto& [key, value] : settings.items()) {
    auto found = original.find(key);
    if (found == original.end()) {
      added += key + " = " + toml_value_text(value) + "\n";
      continue;
    }
    if (!is_key_value(found->first, found->second)) return std::nullopt;
    auto begin = offset_of(text, line_starts, found->second.source().begin);
    auto end = offset_of(text, line_starts, found->second.source().end);
    if (!begin || !end || *end < *begin) return std::nullopt;
    edits.push_back({*begin, *end - *begin, toml_value_text(value)});
  }
  if (!added.empty()) {
    size_t at;
    if (last_line > 0) {
      at = last_line < line_starts.size() ? line_starts[last_line] : text.size();
    } else {
      // No top-level settings yet: before the first table, or at the end of a file without tables.
      at = original.empty() ? text.size() : 0;
    }
    if (at == text.size() && !text.empty() && text.back() != '\n') added = "\n" + added;
    edits.push_back({at, 0, added});
  }
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.offset > b.offset; });
  std::string out = text;
  for (auto& edit : edits) out.replace(edit.offset, edit.length, edit.replacement);
  return out;
}

bool parses_to(const std::string& text, const toml::table& expected) {
  try {
    return toml::parse(std::string_view(text), std::string_view("settings")) == expected;
  } catch (const toml::parse_error&) {
    return false;
  }
}

[[noreturn]] void write_failed(const fs::path& file, const std::string& what, int error) {
  throw ConfigError(file.string() + ": cannot write the configuration file: " + what + ": " + std::strerror(error));
}

// Creates the missing folders of `dir` owner-only: they will hold API keys.
void create_folders(const fs::path& dir, const fs::path& file) {
  if (dir.empty()) return;
  std::vector<fs::path> missing;
  for (fs::path p = dir; !p.empty(); p = p.parent_path()) {
    std::error_code ec;
    if (fs::exists(p, ec)) break;
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) write_failed(file, "creating " + it->string(), errno);
}

void write_atomically(const fs::path& file, const std::string& text) {
  const fs::path dir = file.parent_path();
  create_folders(dir, file);
  std::string temp = ((dir.empty() ? fs::path(".") : dir) / ("." + file.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());  // created with mode 0600
  if (fd < 0) write_failed(file, "creating a temporary file", errno);
  auto abandon = [&](const std::string& what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    write_failed(file, what, error);
  };
  if (::fchmod(fd, 0600) != 0) abandon("setting its mode");
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      abandon("writing");
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) abandon("flushing");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    write_failed(file, "closing", error);
  }
  if (::rename(temp.c_str(), file.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    write_failed(file, "replacing", error);
  }
  // Make the rename itself durable.
  const int dir_fd = ::open((dir.empty() ? fs::path(".") : dir).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
}

}  // namespace

void write_settings(const fs::path& given, const json& settings) {
  check_settings(settings);
  // Writing through a symbolic link keeps the link (and changes the file it names).
  std::error_code ec;
  const fs::path file = fs::is_symlink(given, ec) ? fs::weakly_canonical(given) : given;

  const std::string text = read_file(file).value_or("");
  const toml::table original = parse_toml(text, file);  // a broken file is reported, never overwritten
  toml::table merged = original;
  for (auto& [key, value] : settings.items()) assign(merged, key, value);

  std::string out;
  if (auto edited = edit_in_place(text, original, settings); edited && parses_to(*edited, merged)) {
    out = *edited;
  } else {
    std::ostringstream formatted;
    formatted << toml::toml_formatter{merged} << "\n";
    out = formatted.str();
    if (!parses_to(out, merged))
      throw std::invalid_argument(file.string() + ": the settings cannot be written as TOML");
  }
  write_atomically(file, out);
}

}  // namespace talmo::config

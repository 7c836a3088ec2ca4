// Talmo's configuration: one name per setting, read from the TOML file and
// the environment (the environment wins), once at start-up.
#pragma once

#include "support/json.hpp"
#include "support/log.hpp"
#include "support/phone.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::config {

struct Config {
  std::string master_number;                 // MASTER_NUMBER (required to serve)
  std::vector<std::string> groq_api_keys;    // GROQ_API_KEYS
  std::string groq_model = "llama-3.3-70b-versatile";       // GROQ_MODEL
  std::string whisper_model = "whisper-large-v3-turbo";     // WHISPER_MODEL
  std::string vision_model = "meta-llama/llama-4-scout-17b-16e-instruct";  // VISION_MODEL (photos)
  std::string tavily_api_key;                               // TAVILY_API_KEY
  std::string groq_base_url = "https://api.groq.com/openai/v1";  // GROQ_BASE_URL
  std::string tavily_base_url = "https://api.tavily.com";        // TAVILY_BASE_URL
  std::string bridge_url = "http://127.0.0.1:45051";             // BRIDGE_URL
  std::string host = "127.0.0.1";                                // TALMO_HOST
  std::vector<std::string> allowed_hosts;  // TALMO_ALLOWED_HOSTS: more names the Host header may give
  std::string bridge_token;                // BRIDGE_TOKEN: the bridge's shared secret ("" = none)
  int port = 8000;                                               // TALMO_PORT
  std::filesystem::path data_dir;                                // TALMO_DATA_DIR
  std::string timezone;                                          // TALMO_TIMEZONE
  log::Level log_level = log::Level::info;                       // TALMO_LOG_LEVEL
  bool log_level_given = false;  // TALMO_LOG_LEVEL was set (a command may pick its own default)
  int history_limit = 20;                                        // HISTORY_LIMIT
  std::chrono::seconds misfire_grace{6 * 3600};                  // MISFIRE_GRACE
  // Memory entries older than this many days (and those without a time) are
  // deleted once a day by the running server; 0 keeps everything.
  int history_retention_days = 0;                                // HISTORY_RETENTION_DAYS
  bool log_json = false;                      // TALMO_LOG_FORMAT: "text" (default) or "json"
  std::filesystem::path log_file;             // TALMO_LOG_FILE: lines go there instead of stderr
  std::uint64_t log_file_size = 10ull << 20;  // TALMO_LOG_FILE_SIZE: rotate at this many bytes
  int log_file_count = 5;                     // TALMO_LOG_FILE_COUNT: rotated files kept
  // How long a stop waits for the running conversation before the process
  // exits anyway (the conversation then counts as interrupted).
  std::chrono::seconds shutdown_grace{10};                       // SHUTDOWN_GRACE

  std::filesystem::path config_file;  // the file that was (or would have been) read
  std::filesystem::path home;         // TALMO_HOME
};

// A bad configuration: `what()` is one line naming the file, line and setting.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads an environment variable; nothing when unset. Tests pass a map.
using Environment = std::function<std::optional<std::string>(const std::string& name)>;
Environment process_environment();

// The file to read: `explicit_path`, else $TALMO_CONFIG, else
// $TALMO_HOME/config.toml (TALMO_HOME defaults to ~/.talmo).
std::filesystem::path resolve_config_path(const std::optional<std::filesystem::path>& explicit_path,
                                          const Environment& env);

// Loads and validates everything (a missing file is fine). Does not require
// MASTER_NUMBER (the caller decides; see require_master_number) and does not
// create the data folder. Throws ConfigError. An environment variable set to
// the empty text counts as unset; keys of the file that name no setting are
// ignored with a warning line that names the closest known setting when one
// is a likely slip ("unknown setting GROQ_API_KEY; did you mean
// GROQ_API_KEYS?"); a leading "~/" in TALMO_HOME, TALMO_CONFIG and
// TALMO_DATA_DIR means the home folder; URLs lose trailing slashes.
Config load(const std::optional<std::filesystem::path>& explicit_path, const Environment& env);

// Throws ConfigError("MASTER_NUMBER is not set: ...how to set it...") when empty.
void require_master_number(const Config& config);

// MASTER_NUMBER read as a full international number (phone::parse_international).
// Throws ConfigError as require_master_number does when it is not set, and a
// one-line ConfigError showing the number and asking for its country code
// when it is not a possible international number (a national form such as
// "0300 1234567" names no country).
phone::International require_owner_number(const Config& config);

// Refuses to serve on an address others can reach without a shared secret:
// throws a one-line ConfigError when TALMO_HOST is not a loopback address
// (host::is_loopback) and BRIDGE_TOKEN is empty, or when BRIDGE_TOKEN is set
// but shorter than MIN_BRIDGE_TOKEN characters.
inline constexpr std::size_t MIN_BRIDGE_TOKEN = 16;
void require_safe_listening(const Config& config);

// The three values local tools may ask for, read afresh from the file and the
// environment at each call (a value changed since start-up is reported as it
// stands now): an ordered map {"MASTER_NUMBER": text as configured,
// "GROQ_API_KEYS": [text...], "TAVILY_API_KEY": text}; unset ones are empty.
// Throws ConfigError when the file or one of these three values is bad.
json read_internal_config(const std::optional<std::filesystem::path>& explicit_path,
                          const Environment& env);

// Sets the given settings in the TOML file `file`, keeping every other
// setting (and, where the file can be edited in place, its comments and
// layout). `settings` is a map from setting name to a text, an integer or a
// list of texts; anything else throws std::invalid_argument. Missing folders
// are created; the file is replaced atomically (temporary file + rename) and
// ends with mode 0600, since it holds API keys. Throws ConfigError when the
// existing file cannot be read or parsed (it is then left untouched) or the
// new one cannot be written.
void write_settings(const std::filesystem::path& file, const json& settings);

// MISFIRE_GRACE's value forms: a whole number of seconds ("21600") or a
// duration of descending d/h/m/s parts ("6h", "90m", "45s", "1h30m").
std::optional<std::chrono::seconds> parse_duration(std::string_view text);

// TALMO_LOG_FILE_SIZE's value forms: a whole number of bytes, or a number
// with a unit KB, MB or GB (powers of 1024; "K", "M", "G" and "KiB" ... too,
// any case, blanks allowed before the unit). At least 1 KB, at most 1 TB.
std::optional<std::uint64_t> parse_size(std::string_view text);

}  // namespace talmo::config

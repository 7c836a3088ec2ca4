// Talmo's configuration: one name per setting, read from the TOML file and
// the environment (the environment wins), once at start-up.
#pragma once

#include "support/log.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talmo::config {

struct Config {
  std::string master_number;                 // MASTER_NUMBER (required to serve)
  std::vector<std::string> groq_api_keys;    // GROQ_API_KEYS
  std::string groq_model = "llama-3.3-70b-versatile";       // GROQ_MODEL
  std::string whisper_model = "whisper-large-v3-turbo";     // WHISPER_MODEL
  std::string tavily_api_key;                               // TAVILY_API_KEY
  std::string groq_base_url = "https://api.groq.com/openai/v1";  // GROQ_BASE_URL
  std::string tavily_base_url = "https://api.tavily.com";        // TAVILY_BASE_URL
  std::string bridge_url = "http://127.0.0.1:45051";             // BRIDGE_URL
  std::string host = "127.0.0.1";                                // TALMO_HOST
  int port = 8000;                                               // TALMO_PORT
  std::filesystem::path data_dir;                                // TALMO_DATA_DIR
  std::string timezone;                                          // TALMO_TIMEZONE
  log::Level log_level = log::Level::info;                       // TALMO_LOG_LEVEL
  int history_limit = 20;                                        // HISTORY_LIMIT
  std::chrono::seconds misfire_grace{6 * 3600};                  // MISFIRE_GRACE

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
// create the data folder. Throws ConfigError.
Config load(const std::optional<std::filesystem::path>& explicit_path, const Environment& env);

// Throws ConfigError("MASTER_NUMBER is not set: ...how to set it...") when empty.
void require_master_number(const Config& config);

}  // namespace talmo::config

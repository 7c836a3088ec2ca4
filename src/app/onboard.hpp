// `talmo onboard`: first-time set-up of the configuration file, the identity
// profile and the greeting to the owner.
#pragma once

#include "core/config/config.hpp"

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace talmo::app {

// What the flags gave; in the interactive form they are the defaults shown.
struct OnboardFlags {
  std::optional<std::filesystem::path> config_path;  // --config
  std::optional<std::string> master_number;          // --master-number
  std::vector<std::string> groq_keys;                // --groq-key (repeatable)
  std::optional<std::string> tavily_key;             // --tavily-key
  std::optional<std::string> bot_name;               // --bot-name
  std::optional<std::string> owner;                  // --owner
  std::optional<std::string> tone;                   // --tone
  std::optional<std::string> response_type;          // --response-type
  std::optional<std::string> timezone;               // --timezone
  bool yes = false;       // --yes: no questions; every value from the flags
  bool no_check = false;  // --no-check: do not try the Groq keys
  bool accept_number = false;  // --accept-number: with --yes, take a doubtful master number
};

// The conversation with the person at the terminal.
struct OnboardTerminal {
  std::istream& in;
  std::ostream& out;  // questions and progress
  std::ostream& err;  // errors that end the onboarding
  // Reads one line without echoing it (for API keys); nothing at the end of
  // input. Defaults to reading `in` with the terminal's echo switched off
  // when standard input is a terminal.
  std::function<std::optional<std::string>(std::istream&)> read_hidden;
};

// Run again, it keeps what is configured unless changed: Enter (or, with
// --yes, a missing flag) keeps the configured Groq keys, Tavily key, persona
// and time zone. A data folder it creates is readable by the owner only.
// Runs the onboarding and returns the exit code: 0 when the configuration
// (with a new BRIDGE_TOKEN unless one is set) and the identity were written; 2 for invalid flags (nothing written);
// 1 when the input ended before every answer was given, or writing failed.
// Interactive answers that are invalid are asked again. Each Groq key is
// tried with one request to {GROQ_BASE_URL}/models unless `no_check` (an
// unreachable service only warns). The greeting to the owner is kept as
// pending in the database; `talmo serve` sends it once WhatsApp is connected.
// The number is shown as understood; interactively "Is this right? [Y/n]"
// follows, and "n" asks for it again. A number that is not valid for its
// country, or plain digits only taken to start with a country code, is noted
// before that question; with --yes it is refused (2) unless --accept-number.
// The last line is next_step() for the file written.
int onboard(const OnboardFlags& flags, const config::Environment& env, OnboardTerminal terminal);

// The folder the installed systemd units give Talmo as TALMO_HOME.
inline constexpr const char* SERVICE_HOME = "/var/lib/talmo";

// What to do once `config_file` is written: with `serve_next` (TALMO_SERVE_NEXT=1,
// set by `make run`) that Talmo starts next; for the services' configuration
// (in SERVICE_HOME) the systemctl line that starts them, or restarts them to
// read it; else `talmo serve`, named as this program was started.
std::string next_step(const std::filesystem::path& config_file, bool serve_next);

// 32 bytes from the kernel's random source (getrandom) in URL-safe base64
// without padding: 43 characters. Throws std::runtime_error when the kernel
// gives none.
std::string new_bridge_token();

}  // namespace talmo::app

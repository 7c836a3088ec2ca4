// `talmo doctor`: checks the whole set-up and says how to fix what is wrong.
#pragma once

#include "core/config/config.hpp"

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace talmo::app {

struct Check {
  enum class Verdict { ok, warning, failed };
  Verdict verdict;
  // One line; a failure or warning says in plain words how to fix it.
  std::string text;
};

// "✓ text", "! text" or "✗ text".
std::string render(const Check& check);

// Runs every check, in order: the configuration file (parses, mode 0600),
// MASTER_NUMBER, the data folder, talmo.db (integrity and a schema this binary
// knows), the time zone, each Groq key (GET {GROQ_BASE_URL}/models, numbered
// from 1; accepted, refused or unreachable), GROQ_MODEL and WHISPER_MODEL in
// the service's model list (VISION_MODEL too, a warning when missing), the Tavily key, the bridge (GET {BRIDGE_URL}/status:
// paired and connected when it is Talmo's bridge) and whether a Talmo server
// already answers on TALMO_HOST:TALMO_PORT (GET /healthz). Changes nothing:
// creates no folder, opens the database read-only, spends no tokens. A
// configuration that does not load ends the checks after its line.
std::vector<Check> run_checks(const std::optional<std::filesystem::path>& config_path,
                              const config::Environment& env);

// The database's checks: integrity, and schema versions this binary knows
// (a database a newer Talmo wrote fails). A missing file is a warning.
std::vector<Check> check_database(const std::filesystem::path& db_file);

// The bridge's checks: GET {bridge_url}/status with the shared token. Whether
// it answers as Talmo's bridge, then WhatsApp's state as the bridge reports
// it, each with the fix that fits: the network and DNS when WhatsApp cannot
// be reached (quoting the bridge's own words), where the QR code is and how
// to pair with a code while it waits for pairing, and what being logged out,
// replaced by another session, or refused as outdated means and what to do.
// `whatsapp_dir` is the bridge's session folder (it saves the QR code there).
std::vector<Check> check_bridge(const std::string& bridge_url, const std::string& token,
                                const std::filesystem::path& whatsapp_dir);

// Prints one line per check to `out`; 0 when none failed, else 1.
int doctor(const std::optional<std::filesystem::path>& config_path, const config::Environment& env,
           std::ostream& out);

}  // namespace talmo::app

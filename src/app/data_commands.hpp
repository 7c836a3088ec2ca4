// The owner's data from the command line: `talmo backup`, `talmo forget`,
// `talmo export` and `talmo usage`. Each opens the existing database of the
// configured data folder (never creating one) beside a running server:
// SQLite's locking and WAL journal keep both consistent.
//
// Every command returns the process's exit code: 0 on success, 1 when the
// work could not be done (no database yet, a database of a newer release, a
// failed write), 2 for a usage error; errors are one line on `err`.
#pragma once

#include "core/config/config.hpp"
#include "support/clock.hpp"

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace talmo::app {

struct Console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;  // whether `in` is a terminal the owner can answer on
};

// Writes a consistent copy of talmo.db to `path` (a file; an existing folder
// gets talmo.db inside it). Prints "Backed up <db> to <copy> (<n> bytes)".
int backup_command(const config::Config& config, const std::string& path, Console console);

struct ForgetOptions {
  std::optional<std::string> before;  // "YYYY-MM-DD": entries before that day's start in TALMO_TIMEZONE
  bool all = false;                   // also reset the identity and remove every job
  bool yes = false;                   // do not ask
};

// Deletes conversation memory (all of it, or what is older than --before;
// entries without a time count as older than any date); --all also resets
// the identity to its four seeded values and removes every job on the board.
// Asks on a terminal; off a terminal, without --yes it changes nothing and
// returns 2.
int forget_command(const config::Config& config, const ForgetOptions& options, Console console,
                   std::shared_ptr<Clock> clock = nullptr);

// Prints one JSON document: {"exported_at", "identity", "memory" (with
// times), "jobs"}.
int export_command(const config::Config& config, Console console, std::shared_ptr<Clock> clock = nullptr);

// Prints the model calls of the last `days` days (today included, days in
// TALMO_TIMEZONE) as a table: calls, prompt, completion and total tokens,
// and failures per day, then the totals.
int usage_command(const config::Config& config, int days, Console console, std::shared_ptr<Clock> clock = nullptr);

// Adds the four subcommands to `cli`; after parsing, run() answers the exit
// code of the one that was chosen, or nothing when none of them was.
class DataCommands {
 public:
  explicit DataCommands(CLI::App& cli);
  std::optional<int> run() const;

 private:
  struct Parsed;
  std::shared_ptr<Parsed> parsed_;
};

}  // namespace talmo::app

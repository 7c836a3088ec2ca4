#include "app/data_commands.hpp"

#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/usage/usage.hpp"
#include "support/db.hpp"
#include "support/json.hpp"

#include <CLI/CLI.hpp>
#include <SQLiteCpp/SQLiteCpp.h>
// date.h's parser declares a seconds value it fills only when the input has
// one; GCC's optimiser reports it as maybe-uninitialized in the library's code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <date/date.h>
#include <date/tz.h>
#pragma GCC diagnostic pop
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace talmo::app {

namespace fs = std::filesystem;

namespace {

fs::path database_path(const config::Config& config) { return config.data_dir / "talmo.db"; }

// The existing database, or nothing with the reason on `err`.
std::unique_ptr<db::Database> open_existing(const config::Config& config, std::ostream& err) {
  const fs::path path = database_path(config);
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    err << "talmo: no database at " << path.string() << ": nothing is stored yet (check TALMO_DATA_DIR)" << std::endl;
    return nullptr;
  }
  try {
    return std::make_unique<db::Database>(path.string(), db::Database::Mode::existing);
  } catch (const std::exception& e) {
    err << "talmo: cannot open " << path.string() << ": " << e.what() << std::endl;
    return nullptr;
  }
}

// The start of `day` ("YYYY-MM-DD") in `zone`; nothing for a malformed or
// impossible date.
std::optional<TimePoint> day_start(const std::string& day, const std::string& zone) {
  std::istringstream in(day);
  date::year_month_day ymd{};
  in >> date::parse("%Y-%m-%d", ymd);
  if (in.fail() || in.peek() != EOF || !ymd.ok() || day.size() != 10) return std::nullopt;
  // A midnight skipped by a clock change starts the day at the change.
  return date::locate_zone(zone)->to_sys(date::local_days(ymd), date::choose::earliest);
}

std::string plural(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int backup_command(const config::Config& config, const std::string& path, Console console) {
  auto db = open_existing(config, console.err);
  if (!db) return 1;
  fs::path target = path;
  std::error_code ec;
  if (fs::is_directory(target, ec)) target /= "talmo.db";
  if (fs::weakly_canonical(target, ec) == fs::weakly_canonical(database_path(config), ec)) {
    console.err << "talmo: the backup must not replace the database itself" << std::endl;
    return 2;
  }
  try {
    db->backup_to(target.string());
  } catch (const std::exception& e) {
    console.err << "talmo: backup failed: " << e.what() << std::endl;
    return 1;
  }
  console.out << "Backed up " << db->path() << " to " << target.string() << " (" << fs::file_size(target, ec)
              << " bytes)" << std::endl;
  return 0;
}

int forget_command(const config::Config& config, const ForgetOptions& options, Console console,
                   std::shared_ptr<Clock> clock) {
  if (!clock) clock = system_clock();
  if (options.all && options.before) {
    console.err << "talmo: forget takes --all or --before, not both" << std::endl;
    return 2;
  }
  std::optional<TimePoint> before;
  std::string what = "all conversation memory";
  if (options.before) {
    before = day_start(*options.before, config.timezone);
    if (!before) {
      console.err << "talmo: --before must be a date as YYYY-MM-DD, got \"" << *options.before << "\"" << std::endl;
      return 2;
    }
    what = "conversation memory from before " + *options.before + " (" + config.timezone + ")";
  }
  if (options.all) what = "all conversation memory, the identity profile and every scheduled job";
  if (!options.yes && !console.terminal) {
    console.err << "talmo: forget deletes " << what << "; add --yes to confirm when not on a terminal" << std::endl;
    return 2;
  }

  auto db = open_existing(config, console.err);
  if (!db) return 1;
  try {
    auto memory = memory::make_sqlite_memory(*db, 1, clock);
    std::unique_ptr<identity::IdentityStore> identity;
    std::unique_ptr<schedules::JobStore> jobs;
    if (options.all) {
      identity = identity::make_sqlite_store(*db);
      jobs = schedules::make_sqlite_job_store(*db, clock, config.timezone);
    }
    if (!options.yes) {
      console.out << "This deletes " << what << ". Type yes to go on: " << std::flush;
      std::string answer;
      std::getline(console.in, answer);
      if (answer != "yes" && answer != "y") {
        console.out << "Nothing was deleted." << std::endl;
        return 1;
      }
    }
    const std::int64_t entries = memory->forget(before);
    console.out << "Deleted " << plural(entries, "conversation entry", "conversation entries") << "." << std::endl;
    if (options.all) {
      std::int64_t removed = 0;
      for (const json& job : jobs->get_jobs())
        if (jobs->remove_job_by_id(job["id"].get<std::int64_t>())) ++removed;
      // Finished one-time jobs and the run records keep copies of reminder
      // texts the owner asked to forget: every job means those too.
      db->with([](SQLite::Database& raw) {
        SQLite::Transaction transaction(raw);
        raw.exec("DELETE FROM schedule_runs");
        raw.exec("DELETE FROM schedule_jobs");
        transaction.commit();
      });
      json extra = json::array();
      const json profile = identity->get_identity();
      for (const auto& [key, value] : profile.items())
        if (!identity::is_core_key(key)) extra.push_back(key);
      identity->remove_identity_keys(extra);
      identity->update_identity(identity::default_identity());
      console.out << "Removed " << plural(removed, "job", "jobs") << " and reset the identity to its defaults."
                  << std::endl;
      console.out << "A running talmo serve keeps the removed jobs until it restarts." << std::endl;
    }
    return 0;
  } catch (const std::exception& e) {
    console.err << "talmo: forget failed: " << e.what() << std::endl;
    return 1;
  }
}

int export_command(const config::Config& config, Console console, std::shared_ptr<Clock> clock) {
  if (!clock) clock = system_clock();
  auto db = open_existing(config, console.err);
  if (!db) return 1;
  try {
    json doc = json::object();
    doc["exported_at"] = date::format("%Y-%m-%dT%H:%M:%SZ", date::floor<std::chrono::seconds>(clock->now()));
    doc["identity"] = identity::make_sqlite_store(*db)->get_identity();
    doc["memory"] = memory::make_sqlite_memory(*db, 1, clock)->export_entries();
    doc["jobs"] = schedules::make_sqlite_job_store(*db, clock, config.timezone)->get_jobs();
    console.out << doc.dump(2, ' ', false, json::error_handler_t::replace) << std::endl;
    return 0;
  } catch (const std::exception& e) {
    console.err << "talmo: export failed: " << e.what() << std::endl;
    return 1;
  }
}

int usage_command(const config::Config& config, int days, Console console, std::shared_ptr<Clock> clock) {
  if (!clock) clock = system_clock();
  if (days < 1) {
    console.err << "talmo: --days must be at least 1" << std::endl;
    return 2;
  }
  auto db = open_existing(config, console.err);
  if (!db) return 1;
  try {
    usage::UsageStore store(*db, clock);
    const auto rows = store.daily(days, config.timezone);
    usage::Day total;
    total.date = "Total";
    char line[160];
    auto print = [&](const usage::Day& d) {
      std::snprintf(line, sizeof line, "%-10s %8lld %12lld %12lld %12lld %9lld\n", d.date.c_str(),
                    static_cast<long long>(d.calls), static_cast<long long>(d.prompt_tokens),
                    static_cast<long long>(d.completion_tokens), static_cast<long long>(d.total_tokens),
                    static_cast<long long>(d.failures));
      console.out << line;
    };
    std::snprintf(line, sizeof line, "%-10s %8s %12s %12s %12s %9s\n", "Day", "Calls", "Prompt", "Completion",
                  "Total", "Failures");
    console.out << line;
    for (const auto& d : rows) {
      print(d);
      total.calls += d.calls;
      total.prompt_tokens += d.prompt_tokens;
      total.completion_tokens += d.completion_tokens;
      total.total_tokens += d.total_tokens;
      total.failures += d.failures;
    }
    print(total);
    console.out << std::flush;
    return 0;
  } catch (const std::exception& e) {
    console.err << "talmo: usage failed: " << e.what() << std::endl;
    return 1;
  }
}

struct DataCommands::Parsed {
  std::string config_file;
  CLI::App* backup = nullptr;
  CLI::App* forget = nullptr;
  CLI::App* export_ = nullptr;
  CLI::App* usage = nullptr;
  std::string backup_path;
  std::string before;
  CLI::Option* before_opt = nullptr;
  ForgetOptions forget_options;
  int days = 30;
};

DataCommands::DataCommands(CLI::App& cli) : parsed_(std::make_shared<Parsed>()) {
  Parsed& p = *parsed_;
  const char* config_help = "Configuration file (default: $TALMO_CONFIG, else $TALMO_HOME/config.toml)";
  p.backup = cli.add_subcommand("backup", "Write a consistent copy of talmo.db to PATH (safe while serve runs)");
  p.backup->add_option("PATH", p.backup_path, "Where the copy goes (a file, or a folder for talmo.db)")->required();
  p.backup->add_option("--config", p.config_file, config_help);

  p.forget = cli.add_subcommand("forget", "Delete conversation memory (with --all: identity and jobs too)");
  p.before_opt = p.forget->add_option("--before", p.before, "Only entries before this day (YYYY-MM-DD)");
  p.forget->add_flag("--all", p.forget_options.all, "Also reset the identity and remove every job");
  p.forget->add_flag("--yes", p.forget_options.yes, "Do not ask for confirmation");
  p.forget->add_option("--config", p.config_file, config_help);

  p.export_ = cli.add_subcommand("export", "Print the identity, the memory and the jobs as one JSON document");
  p.export_->add_option("--config", p.config_file, config_help);

  p.usage = cli.add_subcommand("usage", "Show model calls and tokens per day");
  p.usage->add_option("--days", p.days, "How many days, today included (default 30)");
  p.usage->add_option("--config", p.config_file, config_help);
}

std::optional<int> DataCommands::run() const {
  const Parsed& p = *parsed_;
  if (!p.backup->parsed() && !p.forget->parsed() && !p.export_->parsed() && !p.usage->parsed()) return std::nullopt;
  config::Config config;
  try {
    std::optional<fs::path> file;
    if (!p.config_file.empty()) file = p.config_file;
    config = config::load(file, config::process_environment());
  } catch (const config::ConfigError& e) {
    std::cerr << "talmo: " << e.what() << std::endl;
    return 2;
  }
  Console console{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1};
  if (p.backup->parsed()) return backup_command(config, p.backup_path, console);
  if (p.export_->parsed()) return export_command(config, console);
  if (p.usage->parsed()) return usage_command(config, p.days, console);
  ForgetOptions options = p.forget_options;
  if (p.before_opt->count() > 0) options.before = p.before;
  return forget_command(config, options, console);
}

}  // namespace talmo::app

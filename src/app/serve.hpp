// Start-up wiring of `talmo serve`: configuration to running server.
#pragma once

#include "app/greeting.hpp"
#include "app/retention.hpp"
#include "app/outbox.hpp"
#include "app/runner.hpp"
#include "core/config/config.hpp"
#include "core/interpreter/interpreter.hpp"
#include "core/scheduler/scheduler.hpp"
#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/usage/usage.hpp"
#include "support/clock.hpp"
#include "support/db.hpp"
#include "web/server.hpp"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <string>

namespace talmo::app {

// Creates `dir` (and missing parents) when it does not exist, readable by
// its owner only: it will hold the owner's conversations. An existing folder
// keeps the mode its owner gave it. Throws std::filesystem::filesystem_error.
void create_data_folder(const std::filesystem::path& dir);

// Sends the log lines where the configuration says (TALMO_LOG_FORMAT,
// TALMO_LOG_FILE and its rotation), in the journal's form when `journal`.
// Throws std::runtime_error naming the file when it cannot be written.
void configure_log_output(const config::Config& config, bool journal);

// The data folder, the database and the three stores, with every engine
// component bound to them: what the server, and any other front end of the
// engine, stands on. open() binds the prompt filler, the LLM gateway, the
// bridge client and the engine process-wide, through their modules' own
// bind() functions, replacing whatever any of them had bound before
// (App::start then binds the routes the same way). So one Services object is
// in use at a time; it must outlive every conversation it serves, since the
// bindings point into its stores.
class Services {
 public:
  // Where the engine's texts for the owner go; true when taken.
  using Sender = std::function<bool(const std::string& number, const std::string& text)>;

  // Creates the data folder if missing, opens data_dir/talmo.db, creates the
  // stores and the outbox, and binds the prompt filler, the LLM gateway, the
  // bridge client and the engine (engine_bindings()). The engine's texts go
  // to `send_message` (a console, for instance); when it is null, to the
  // durable outbox, whose sender App::start runs. Needs no MASTER_NUMBER: the
  // engine then has no master number. Throws std::exception for a data
  // folder or database that cannot be opened.
  static std::unique_ptr<Services> open(const config::Config& config,
                                        std::shared_ptr<Clock> clock = nullptr,
                                        Sender send_message = nullptr);

  // The engine's collaborators on these stores, replying as open() was told
  // and showing typing through the bridge client. A front end that answers
  // elsewhere (the console) replaces set_typing and binds the result again.
  interpreter::Bindings engine_bindings() const;

  db::Database& database() { return *db_; }
  identity::IdentityStore& identity() { return *identity_; }
  memory::ConversationMemory& memory() { return *memory_; }
  schedules::JobStore& schedules() { return *schedules_; }
  Outbox& outbox() { return *outbox_; }
  usage::UsageStore& usage() { return *usage_; }
  const std::shared_ptr<Clock>& clock() const { return clock_; }
  const config::Config& config() const { return config_; }

 private:
  Services() = default;
  config::Config config_;
  std::unique_ptr<db::Database> db_;
  std::unique_ptr<identity::IdentityStore> identity_;
  std::unique_ptr<memory::ConversationMemory> memory_;
  std::unique_ptr<schedules::JobStore> schedules_;
  std::unique_ptr<Outbox> outbox_;
  Sender send_message_;
  std::unique_ptr<usage::UsageStore> usage_;  // what the model calls cost
  std::shared_ptr<Clock> clock_;
};

struct AppOptions {
  std::shared_ptr<Clock> clock;  // the system clock when null
  // Where GET /internal/config reads the environment; the process's when null.
  config::Environment env;
  std::size_t http_workers = 4;  // threads for voice notes and large bodies
  std::filesystem::path temp_dir;  // voice-note files; the system's temporary folder when empty
  // How often the bridge is asked whether WhatsApp is connected while
  // onboarding's greeting waits to be sent.
  std::chrono::milliseconds greeting_interval{3000};
  InboxLimits inbox_limits;        // how many owner messages, and how many bytes, may wait
  // How long after start the bridge may stay silent before a warning says so
  // (it usually starts a moment after Talmo).
  std::chrono::milliseconds bridge_grace{15000};
};

// A running Talmo: services, conversation runner, reminder scheduler, HTTP
// server, and the sender of onboarding's greeting while one is pending.
class App {
 public:
  // Wires everything from `config` and starts serving on config.host and
  // config.port (0: an ephemeral port). Logs the owner's number as understood
  // and one line with the address, a warning for each missing key that will
  // make conversations fail (Groq, Tavily), and one warning when the bridge
  // still does not answer `bridge_grace` after start. The owner is named by
  // "+<full international digits>" everywhere (config::require_owner_number).
  // Throws config::ConfigError for a missing or impossible MASTER_NUMBER,
  // as Services::open does otherwise, and std::runtime_error when the
  // address cannot be bound.
  static std::unique_ptr<App> start(const config::Config& config, AppOptions options = {});
  ~App();  // stops as stop() does
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  int port() const { return server_->port(); }
  std::string url() const { return server_->url(); }
  Services& services() { return *services_; }
  // No owner message waits or runs, and no text waits in the outbox.
  bool idle() const;

  // Stops accepting requests and waits for those in progress, then lets
  // the running conversation or reminder round finish within `grace`
  // (counted from the call); messages not yet begun stay in the inbox for
  // the next start. Then stops the scheduler. False when the grace ran out
  // with work still running: the caller should end the process (the
  // destructor would wait for that work). Repeatable.
  bool stop(std::chrono::milliseconds grace = std::chrono::milliseconds::max());

 private:
  App() = default;
  void watch_bridge(std::string bridge_url, std::chrono::milliseconds grace);

  std::unique_ptr<Services> services_;
  std::unique_ptr<ConversationRunner> runner_;
  std::unique_ptr<scheduler::Scheduler> scheduler_;
  std::unique_ptr<Retention> retention_;  // only with HISTORY_RETENTION_DAYS
  std::unique_ptr<web::HttpServer> server_;
  std::unique_ptr<greeting::Sender> greeting_;
  std::mutex watch_mu_;
  std::condition_variable watch_cv_;
  bool stopping_ = false;
  std::thread bridge_watch_;
};

// `talmo serve [--config PATH]`: loads the configuration from the file and
// the process environment, starts the app and runs until SIGINT or SIGTERM,
// then stops cleanly. Returns the exit code: 0 after a clean stop, 2 for a
// configuration error (one line on stderr), 1 when start-up fails otherwise.
int serve(const std::optional<std::filesystem::path>& config_path);

}  // namespace talmo::app

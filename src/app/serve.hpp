// Start-up wiring of `talmo serve`: configuration to running server.
#pragma once

#include "app/greeting.hpp"
#include "app/retention.hpp"
#include "app/outbox.hpp"
#include "app/runner.hpp"
#include "core/config/config.hpp"
#include "core/scheduler/scheduler.hpp"
#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "support/clock.hpp"
#include "support/db.hpp"
#include "web/server.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace talmo::app {

// The data folder, the database and the three stores, with every engine
// component bound to them: what the server, and any other front end of the
// engine, stands on. Binding is process-wide, so one Services object is in
// use at a time; it must outlive every conversation it serves.
class Services {
 public:
  // Where the engine's texts for the owner go; true when taken.
  using Sender = std::function<bool(const std::string& number, const std::string& text)>;

  // Creates the data folder if missing, opens data_dir/talmo.db, creates the
  // stores and the outbox, and binds the prompt filler, the LLM gateway, the
  // bridge client and the engine. The engine's texts go to `send_message`
  // (a console, for instance); when it is null, to the durable outbox, whose
  // sender App::start runs. Throws config::ConfigError when MASTER_NUMBER is
  // not set, std::exception for a data folder or database that cannot be
  // opened.
  static std::unique_ptr<Services> open(const config::Config& config,
                                        std::shared_ptr<Clock> clock = nullptr,
                                        Sender send_message = nullptr);

  db::Database& database() { return *db_; }
  identity::IdentityStore& identity() { return *identity_; }
  memory::ConversationMemory& memory() { return *memory_; }
  schedules::JobStore& schedules() { return *schedules_; }
  Outbox& outbox() { return *outbox_; }
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
};

// A running Talmo: services, conversation runner, reminder scheduler, HTTP
// server, and the sender of onboarding's greeting while one is pending.
class App {
 public:
  // Wires everything from `config` and starts serving on config.host and
  // config.port (0: an ephemeral port). Logs the owner's number as understood
  // and one line with the address. The owner is named by
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
  std::unique_ptr<Services> services_;
  std::unique_ptr<ConversationRunner> runner_;
  std::unique_ptr<scheduler::Scheduler> scheduler_;
  std::unique_ptr<Retention> retention_;  // only with HISTORY_RETENTION_DAYS
  std::unique_ptr<web::HttpServer> server_;
  std::unique_ptr<greeting::Sender> greeting_;
};

// `talmo serve [--config PATH]`: loads the configuration from the file and
// the process environment, starts the app and runs until SIGINT or SIGTERM,
// then stops cleanly. Returns the exit code: 0 after a clean stop, 2 for a
// configuration error (one line on stderr), 1 when start-up fails otherwise.
int serve(const std::optional<std::filesystem::path>& config_path);

}  // namespace talmo::app

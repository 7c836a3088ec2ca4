#include "app/serve.hpp"

#include "core/interpreter/interpreter.hpp"
#include "core/llm/lexgate/lexgate.hpp"
#include "core/media/media.hpp"
#include "core/utils/format_prompt.hpp"
#include "core/web_search/web_search.hpp"
#include "routes/ingrest/ingrest.hpp"
#include "support/http.hpp"
#include "support/log.hpp"
#include "support/program.hpp"
#include "support/secrets.hpp"
#include "whatsapp/sendwire/sendwire.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

namespace talmo::app {

namespace {

// The soft limit on open descriptors this process has now.
std::uint64_t open_file_limit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 1u << 20;
  return r.rlim_cur;
}

// Services start with a soft limit (often 1024) far below what they may
// use; every connection, database file and outbound call takes one.
void raise_open_file_limit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
  const rlim_t before = r.rlim_cur;
  r.rlim_cur = r.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &r) != 0 && r.rlim_max == RLIM_INFINITY) {
    r.rlim_cur = 1u << 20;  // the kernel's usual ceiling (fs.nr_open)
    if (::setrlimit(RLIMIT_NOFILE, &r) != 0) return;
  }
  log::info("Open-file limit raised from " + std::to_string(before) + " to " + std::to_string(open_file_limit()));
}

// A provider per search: a missing key fails that search, not the start.
std::function<std::shared_ptr<web_search::Provider>()> tavily_factory(const config::Config& config) {
  return [key = config.tavily_api_key, url = config.tavily_base_url] {
    return std::shared_ptr<web_search::Provider>(web_search::make_tavily({key, url}));
  };
}

}  // namespace

void configure_log_output(const config::Config& config, bool journal) {
  log::Output output;
  output.json = config.log_json;
  output.journal = journal;
  output.file = config.log_file;
  output.file_size = config.log_file_size;
  output.file_count = config.log_file_count;
  log::configure(output);
}

void create_data_folder(const std::filesystem::path& dir) {
  if (std::filesystem::create_directories(dir))
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
}

std::unique_ptr<Services> Services::open(const config::Config& config, std::shared_ptr<Clock> clock,
                                         Sender send_message) {
  if (!clock) clock = system_clock();

  std::unique_ptr<Services> s(new Services());
  s->config_ = config;
  s->clock_ = clock;
  create_data_folder(config.data_dir);
  s->db_ = std::make_unique<db::Database>((config.data_dir / "talmo.db").string());
  s->identity_ = identity::make_sqlite_store(*s->db_);
  // Storing the owner's message is a conversation's first lasting effect:
  // the inbox marks the message started in the same transaction.
  s->memory_ = mark_start_on_store(memory::make_sqlite_memory(*s->db_, config.history_limit, clock));
  s->schedules_ = schedules::make_sqlite_job_store(*s->db_, clock, config.timezone);
  s->usage_ = std::make_unique<usage::UsageStore>(*s->db_, clock);

  utils::bind(utils::PromptSources{s->identity_.get(), clock, config.timezone});

  lexgate::Settings gateway;
  gateway.api_keys = config.groq_api_keys;
  gateway.model = config.groq_model;
  gateway.whisper_model = config.whisper_model;
  gateway.vision_model = config.vision_model;
  gateway.base_url = config.groq_base_url;
  gateway.record_usage = [usage = s->usage_.get()](const lexgate::CallUsage& call) {
    usage->record({call.model, call.stage, call.ok, call.prompt_tokens, call.completion_tokens, call.total_tokens});
  };
  lexgate::bind(std::move(gateway));

  sendwire::bind(config.bridge_url, config.bridge_token);
  OutboxOptions outbox;
  outbox.send = [](const std::string& number, const std::string& text, const std::string& id) {
    switch (sendwire::deliver(number, text, id)) {
      case sendwire::Outcome::delivered: return Delivery::delivered;
      case sendwire::Outcome::refused: return Delivery::refused;
      case sendwire::Outcome::retry: break;
    }
    return Delivery::retry;
  };
  outbox.clock = clock;
  outbox.bridge_ready = [] { return sendwire::bridge_status().connected; };
  outbox.late_label = scheduler::late_prefix;
  s->outbox_ = std::make_unique<Outbox>(*s->db_, std::move(outbox));
  if (!send_message)
    send_message = [box = s->outbox_.get()](const std::string& number, const std::string& text) {
      box->enqueue(number, text);
      return true;
    };
  s->send_message_ = std::move(send_message);
  // A search service's error text may echo its key; log lines and the model never see it.
  secrets::set("tavily", {config.tavily_api_key});
  interpreter::bind(s->engine_bindings());
  return s;
}

interpreter::Bindings Services::engine_bindings() const {
  interpreter::Bindings engine;
  engine.get_response_with_system = lexgate::get_response_with_system;
  engine.send_message = send_message_;
  engine.set_typing = sendwire::set_typing;
  engine.identity_manager = identity_.get();
  engine.memory_manager = memory_.get();
  engine.schedules_manager = schedules_.get();
  engine.web_search_manager = tavily_factory(config_);
  engine.format_prompt = utils::format_prompt;
  engine.master = config_.master_number;
  return engine;
}

std::unique_ptr<App> App::start(const config::Config& configured, AppOptions options) {
  // Everyone downstream (routes, engine, reminders, memory) names the owner
  // by the full international number, whatever form it was written in.
  const phone::International owner = config::require_owner_number(configured);
  config::require_safe_listening(configured);
  config::Config config = configured;
  config.master_number = "+" + owner.digits;
  std::unique_ptr<App> app(new App());
  app->services_ = Services::open(config, options.clock);
  Services& services = *app->services_;
  services.outbox().start();
  RunnerOptions line;
  Outbox& outbox = services.outbox();
  line.notify = [&outbox](const std::string& number, const std::string& text, const std::string& key) {
    outbox.enqueue(number, text, key);
  };
  app->runner_ = std::make_unique<ConversationRunner>(
      interpreter::handle_conversation, make_sqlite_inbox(services.database(), options.inbox_limits),
      std::move(line));

  scheduler::Bindings reminders;
  // Reminders go out through the outbox too; a run repeated after a crash
  // is stored once (a key stored before means its text is already there, so
  // true either way).
  reminders.send_message = [&outbox](const std::string& number, const std::string& text) {
    outbox.enqueue(number, text);
    return true;
  };
  // The outbox labels a reminder late by when it reaches the bridge.
  reminders.send_run = [&outbox](const std::string& number, const std::string& text, std::int64_t run_id,
                                 TimePoint due) {
    outbox.enqueue(number, text, "reminder-run:" + std::to_string(run_id), due);
    return true;
  };
  reminders.get_response_with_system = lexgate::get_response_with_system;
  reminders.format_prompt = utils::format_prompt;
  reminders.identity_manager = &services.identity();
  reminders.memory_manager = &services.memory();
  reminders.web_search_manager = tavily_factory(config);
  reminders.jobs = &services.schedules();
  reminders.clock = services.clock();
  reminders.master = config.master_number;
  reminders.misfire_grace = config.misfire_grace;
  // A reminder waits for the running conversation, and a message for the running reminder.
  reminders.run_exclusive = [runner = app->runner_.get()](const std::function<void()>& round) {
    return runner->run_exclusive(round);
  };
  app->scheduler_ = std::make_unique<scheduler::Scheduler>(std::move(reminders));
  app->scheduler_->start();
  if (config.history_retention_days > 0) {
    app->retention_ = std::make_unique<Retention>(services.memory(), services.clock(), config.history_retention_days);
    app->retention_->start();
  }

  config::Environment env = options.env ? options.env : config::process_environment();
  ingrest::Bindings routes;
  routes.master_number = config.master_number;
  routes.enqueue_conversation = [runner = app->runner_.get()](const std::string& number,
                                                               const std::string& message) {
    runner->enqueue(number, message);
  };
  routes.transcribe_audio = lexgate::transcribe_audio;
  routes.read_internal_config = [file = config.config_file, env] {
    return config::read_internal_config(file, env);
  };
  routes.temp_dir = options.temp_dir;
  routes.allowed_hosts = config.allowed_hosts;
  routes.allowed_hosts.push_back(config.host);
  routes.bridge_token = config.bridge_token;
  routes.read_photo = media::read_photo;
  routes.read_document = media::read_document;
  // Answers to messages Talmo cannot read (or could not open) go out like every other text.
  routes.send_notice = [&outbox](const std::string& number, const std::string& text) { outbox.enqueue(number, text); };
  routes.set_typing = sendwire::set_typing;
  ingrest::bind(std::move(routes));

  web::ServerOptions server;
  server.host = config.host;
  server.port = config.port;
  server.workers = options.http_workers;
  server.limits.max_connections = web::connection_cap(open_file_limit());
  server.handler = ingrest::dispatch;
  server.streams_body = ingrest::streams_body;
  app->server_ = std::make_unique<web::HttpServer>(std::move(server));
  log::info("Owner number: " + phone::describe(owner));
  log::info("Talmo listening on " + app->server_->url());

  greeting::Bindings greet;
  greet.db = &services.database();
  greet.bridge_connected = [] { return sendwire::bridge_status().connected; };
  // The greeting keeps its own durable retry (it waits for WhatsApp to
  // connect), so it goes to the bridge directly.
  greet.send = [master = config.master_number](const std::string& text) {
    return sendwire::send_message(master, text);
  };
  greet.interval = options.greeting_interval;
  app->greeting_ = std::make_unique<greeting::Sender>(std::move(greet));

  // Said at start, so the owner reads why before the first conversation fails.
  if (config.groq_api_keys.empty())
    log::warning("No Groq API key is configured: every message will be answered with a request to configure "
                 "one. Run `" + program::command("onboard") + "` or set GROQ_API_KEYS.");
  if (config.tavily_api_key.empty())
    log::warning("No Tavily API key is configured: web search is off. Set TAVILY_API_KEY or run `" +
                 program::command("onboard") + "`.");
  app->watch_bridge(config.bridge_url, options.bridge_grace);
  return app;
}

void App::watch_bridge(std::string bridge_url, std::chrono::milliseconds grace) {
  bridge_watch_ = std::thread([this, bridge_url = std::move(bridge_url), grace] {
    {
      std::unique_lock lock(watch_mu_);
      if (watch_cv_.wait_for(lock, grace, [this] { return stopping_; })) return;
    }
    http::Request req;
    req.method = "GET";
    req.url = bridge_url + "/status";
    req.connect_timeout_ms = 2000;
    req.timeout_ms = 5000;
    // Any HTTP answer means something listens there; only silence is reported.
    const http::Response res = http::perform(req);
    if (!res.transport_ok)
      log::warning("The bridge at " + bridge_url + " is still not answering " +
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(grace).count()) +
                   " s after start (" + res.error + "): replies cannot reach WhatsApp until it runs. "
                   "See `" + program::command("doctor") + "`.");
  });
}

App::~App() { stop(); }

bool App::idle() const {
  return (!runner_ || runner_->inbox().waiting() == 0) && (!services_ || services_->outbox().pending() == 0);
}

bool App::stop(std::chrono::milliseconds grace) {
  {
    std::lock_guard lock(watch_mu_);
    stopping_ = true;
  }
  watch_cv_.notify_all();
  if (bridge_watch_.joinable()) bridge_watch_.join();
  if (greeting_) greeting_->stop();
  if (retention_) retention_->stop();
  const auto deadline = grace == std::chrono::milliseconds::max()
                            ? std::chrono::steady_clock::time_point::max()
                            : std::chrono::steady_clock::now() + grace;
  const auto left = [&] {
    if (deadline == std::chrono::steady_clock::time_point::max()) return std::chrono::milliseconds::max();
    return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(
                                                      deadline - std::chrono::steady_clock::now()));
  };
  // Requests first, so no message is accepted that nobody would take.
  if (server_) server_->stop();
  // What waits stays in the inbox for the next start; the running
  // conversation (or reminder round) may finish within the grace.
  if (runner_ && !runner_->stop(left())) return false;
  if (scheduler_) scheduler_->stop();
  // Texts still waiting get one more try; what the bridge cannot take stays
  // in the outbox for the next start.
  if (services_ && !services_->outbox().stop(left())) return false;
  return true;
}

namespace {

// Blocks SIGINT and SIGTERM in this thread and every thread it starts later,
// so that only sigwait() sees them.
sigset_t block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

}  // namespace

int serve(const std::optional<std::filesystem::path>& config_path) {
  config::Config config;
  try {
    config = config::load(config_path, config::process_environment());
    config::require_owner_number(config);
    config::require_safe_listening(config);
  } catch (const config::ConfigError& e) {
    std::cerr << "talmo: " << e.what() << std::endl;
    return 2;
  }
  log::set_level(config.log_level);
  try {
    configure_log_output(config, log::stderr_is_journal(std::getenv("JOURNAL_STREAM")));
  } catch (const std::exception& e) {
    std::cerr << "talmo: " << e.what() << std::endl;
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const sigset_t stop_signals = block_stop_signals();

  raise_open_file_limit();
  std::unique_ptr<App> app;
  try {
    app = App::start(config);
  } catch (const config::ConfigError& e) {
    std::cerr << "talmo: " << e.what() << std::endl;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "talmo: cannot start: " << e.what() << std::endl;
    return 1;
  }
  // Under systemd (Type=notify) the unit counts as started only now, when
  // the server accepts; the bridge's unit, ordered after, starts then.
  sd_notify(0, "READY=1");

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  sd_notify(0, "STOPPING=1");
  log::info(std::string("Received ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM") +
            ": stopping; messages not yet begun stay in the inbox for the next start");
  if (!app->stop(std::chrono::duration_cast<std::chrono::milliseconds>(config.shutdown_grace))) {
    // The work still running is cut off: its message counts as interrupted,
    // and the next start tells the owner. Tearing down the services under a
    // running conversation would be unsafe, so the process ends here.
    log::warning("The running conversation did not finish within SHUTDOWN_GRACE (" +
                 std::to_string(config.shutdown_grace.count()) + "s); exiting without it");
    log::info("Talmo stopped");
    std::fflush(nullptr);
    std::_Exit(0);
  }
  log::info("Talmo stopped");
  return 0;
}

}  // namespace talmo::app

// Shared pieces of the integration tests: a temporary folder and a running
// Talmo wired to loopback fakes of the bridge and of Groq.
#pragma once

#include "app/serve.hpp"
#include "core/memory/memory.hpp"
#include "support/clock.hpp"
#include "support/db.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "testing/fake_server.hpp"

#include <httplib.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace talmo::integration {

namespace fs = std::filesystem;

// The owner as configured and as the bridge names them.
inline const char* const MASTER = "+1 (555) 123-4567";
inline const char* const OWNER = "15551234567";

// The identity profile of a new data folder, as the owner receives it.
inline const char* const IDENTITY_REPORT =
    "👤 *Identity Profile*\n\n*Bot Name:* Talmo\n*Owner:* Boss\n*Tone:* Professional\n"
    "*Response Type:* Concise";

struct TempFolder {
  fs::path path;
  TempFolder() {
    std::string templ = (fs::temp_directory_path() / "talmo-it-XXXXXX").string();
    path = ::mkdtemp(templ.data());
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::vector<fs::path> files(const fs::path& sub = {}) const {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(path / sub)) out.push_back(e.path());
    return out;
  }
};

// An environment the test can change while the app runs.
class TestEnvironment {
 public:
  void set(const std::string& name, const std::string& value) {
    std::lock_guard l(mu_);
    values_[name] = value;
  }
  config::Environment function() {
    return [this](const std::string& name) -> std::optional<std::string> {
      std::lock_guard l(mu_);
      auto it = values_.find(name);
      if (it == values_.end()) return std::nullopt;
      return it->second;
    };
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::string> values_;
};

// A chat-completion answer in the service's (OpenAI) shape with `content`
// as the assistant's message.
inline json chat_completion(const std::string& content) {
  return json({{"id", "c1"},
               {"object", "chat.completion"},
               {"choices", json::array({{{"index", 0},
                                         {"message", {{"role", "assistant"}, {"content", content}}},
                                         {"finish_reason", "stop"}}})}});
}

// Makes `groq` answer its chat requests from a script: the n-th request gets
// the n-th content. A request beyond the script gets a 500, which the gateway
// treats as a failed key, so a conversation that asks the model more often
// than the test expects ends visibly instead of repeating an answer.
inline void script_chat(testing::FakeServer& groq, std::vector<std::string> contents) {
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  groq.on("POST", "/chat/completions",
          [next, contents = std::move(contents)](const testing::RecordedRequest&, httplib::Response& res) {
            const std::size_t n = (*next)++;
            if (n < contents.size()) {
              res.set_content(chat_completion(contents[n]).dump(), "application/json");
            } else {
              res.status = 500;
              res.set_content(R"({"error": {"message": "the test's script has no more answers"}})",
                              "application/json");
            }
          });
}

// Fake bridge and Groq, a data folder, and the configuration that points at them.
struct Rig {
  TempFolder data;
  TempFolder scratch;  // voice-note files
  testing::FakeServer bridge;
  testing::FakeServer groq;
  TestEnvironment env;
  config::Config config;

  Rig() {
    bridge.reply("POST", "/send", 200, R"({"status": "sent"})");
    bridge.reply("POST", "/presence", 200, R"({"status": "ok"})");
    // Any chat request is small talk the router answers itself.
    groq.reply("POST", "/chat/completions", 200,
               chat_completion(R"({"thought": "chat", "module": null, "response": "Noted, Boss."})").dump());
    config.master_number = MASTER;
    config.groq_api_keys = {"gsk_test"};
    config.groq_base_url = groq.url();
    config.tavily_base_url = "http://127.0.0.1:9";  // never reached in these tests
    config.bridge_url = bridge.url();
    config.host = "127.0.0.1";
    config.port = 0;
    config.data_dir = data.path / "data";
    config.home = data.path;
    config.config_file = data.path / "config.toml";
    config.timezone = "UTC";
    config.log_level = log::Level::warning;
  }

  // The app on the system clock, or on `clock` (for prompts whose date and
  // time the test must know).
  std::unique_ptr<app::App> start(std::shared_ptr<Clock> clock = nullptr, app::InboxLimits limits = {}) {
    app::AppOptions options;
    options.inbox_limits = limits;
    options.clock = std::move(clock);
    options.env = env.function();
    options.temp_dir = scratch.path;
    return app::App::start(config, options);
  }

  // Waits (bounded) until every message the app accepted has been handled.
  static bool wait_idle(const app::App& app, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!app.idle()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // The bridge calls so far, as (path, decoded body).
  std::vector<std::pair<std::string, json>> bridge_calls() const {
    std::vector<std::pair<std::string, json>> out;
    for (auto& r : bridge.requests()) out.emplace_back(r.path, json::parse(r.body));
    return out;
  }

  // The texts sent through the bridge so far, in order.
  std::vector<std::string> sent_texts() const {
    std::vector<std::string> out;
    for (auto& r : bridge.requests_to("/send")) out.push_back(json::parse(r.body).at("text"));
    return out;
  }

  // The decoded bodies of the chat requests Groq got so far, in order.
  std::vector<json> chat_requests() const {
    std::vector<json> out;
    for (auto& r : groq.requests_to("/chat/completions")) out.push_back(json::parse(r.body));
    return out;
  }

  // A number's stored history, read from the data folder (after the app stopped).
  json stored_history(const std::string& number) const {
    db::Database db((config.data_dir / "talmo.db").string());
    return memory::make_sqlite_memory(db, 50)->get_history(number);
  }
};

// Owner messages in the inbox and texts waiting in the outbox of the
// database at `db_file` (readable while a server process runs).
inline int unfinished_rows(const fs::path& db_file) {
  SQLite::Database db(db_file.string(), SQLite::OPEN_READONLY);
  db.setBusyTimeout(5000);
  return db.execAndGet("SELECT (SELECT COUNT(*) FROM inbox) +"
                       " (SELECT COUNT(*) FROM outbox WHERE state = 'pending')")
      .getInt();
}

// Posts the bridge's text webhook and returns the decoded answer.
inline json post_text(int port, const std::string& sender, const std::string& message) {
  httplib::Client client("127.0.0.1", port);
  auto res = client.Post("/whatsapp/incoming/text",
                         json({{"sender", sender}, {"message", message}}).dump(), "application/json");
  if (!res) return json{{"transport_error", httplib::to_string(res.error())}};
  if (res->status != 200) return json{{"http_status", res->status}};
  return json::parse(res->body);
}

}  // namespace talmo::integration

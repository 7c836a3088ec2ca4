// Shared pieces of the integration tests: a temporary folder and a running
// Talmo wired to loopback fakes of the bridge and of Groq.
#pragma once

#include "app/serve.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "testing/fake_server.hpp"

#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace talmo::integration {

namespace fs = std::filesystem;

// The owner as configured and as the bridge names them.
inline const char* const MASTER = "+1 (555) 123-4567";
inline const char* const OWNER = "15551234567";

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
               json({{"id", "c1"},
                     {"object", "chat.completion"},
                     {"choices", json::array({{{"index", 0},
                                               {"message",
                                                {{"role", "assistant"},
                                                 {"content",
                                                  R"({"thought": "chat", "module": null, "response": "Noted, Boss."})"}}},
                                               {"finish_reason", "stop"}}})}})
                   .dump());
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

  std::unique_ptr<app::App> start() {
    app::AppOptions options;
    options.env = env.function();
    options.temp_dir = scratch.path;
    return app::App::start(config, options);
  }
};

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

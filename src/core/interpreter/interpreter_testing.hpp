// Scripted collaborators for the engine's tests: a gateway that answers from
// a queue and records every request, a recording bridge, and small in-memory
// stores whose results the tests choose.
#pragma once

#include "core/interpreter/interpreter.hpp"
#include "support/log.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace talmo::interpreter::testing {

struct FakeIdentity : identity::IdentityStore {
  json profile = json{{"bot_name", "Talmo"}, {"owner", "Boss"}, {"tone", "Professional"},
                      {"response_type", "Concise"}};
  std::vector<json> updates;
  std::vector<json> removals;

  json get_identity() override { return profile; }
  void update_identity(const json& u) override {
    updates.push_back(u);
    for (const auto& [k, v] : u.items()) profile[k] = v;
  }
  json remove_identity_keys(const json& keys) override {
    removals.push_back(keys);
    json removed = json::array();
    for (const auto& key : keys)
      if (key.is_string() && profile.contains(key.get<std::string>())) {
        profile.erase(key.get<std::string>());
        removed.push_back(key);
      }
    return removed;
  }
};

struct FakeMemory : memory::ConversationMemory {
  std::map<std::string, json> histories;
  void add_message(const std::string& number, const std::string& role,
                   const std::string& content) override {
    auto& h = histories[number];
    if (h.is_null()) h = json::array();
    h.push_back(json{{"role", role}, {"content", content}});
  }
  json get_history(const std::string& number) override {
    auto it = histories.find(number);
    return it == histories.end() ? json::array() : it->second;
  }
  std::int64_t forget(std::optional<TimePoint>) override { throw std::logic_error("not used by the engine"); }
  json export_entries() override { throw std::logic_error("not used by the engine"); }
};

struct FakeRegistry : schedules::ScheduleRegistry {
  json jobs = json::array();
  json add_result = json{{"id", 1}};
  std::vector<schedules::NewJob> added;
  bool update_result = true;
  std::vector<std::pair<std::int64_t, json>> updated;
  std::set<std::int64_t> existing;
  std::vector<std::int64_t> removal_calls;

  json add_job(const schedules::NewJob& job) override {
    added.push_back(job);
    return add_result;
  }
  json get_jobs() override { return jobs; }
  bool update_job(std::int64_t id, const json& updates) override {
    updated.emplace_back(id, updates);
    return update_result;
  }
  bool remove_job_by_id(std::int64_t id) override {
    removal_calls.push_back(id);
    return existing.erase(id) > 0;
  }
};

// Accepts only the provider's parameter names, like the real one.
struct FakeProvider : web_search::Provider {
  std::pair<json, std::string> answer{json::object(), ""};
  std::vector<json> calls;
  std::pair<json, std::string> search(const json& params) override {
    if (!params.is_object()) throw std::invalid_argument("search parameters must be a map");
    for (const auto& [name, value] : params.items()) {
      bool known = false;
      for (const char* p : web_search::PARAMETERS) known = known || name == p;
      if (!known) throw std::invalid_argument("unknown search parameter: " + name);
    }
    calls.push_back(params);
    return answer;
  }
};

// Everything the engine talks to, bound on construction.
struct Harness {
  FakeIdentity identity;
  FakeMemory memory;
  FakeRegistry registry;
  std::shared_ptr<FakeProvider> provider = std::make_shared<FakeProvider>();
  bool provider_available = true;
  bool bridge_down = false;  // set_typing throws, as a failing bridge call would

  std::deque<std::optional<std::string>> replies;  // the model's answers, in order
  std::vector<json> requests;                      // what the model was sent
  std::vector<std::pair<std::string, std::string>> sent;
  std::vector<std::size_t> stored_at_send;  // the number's history length at each send
  std::vector<std::pair<std::string, bool>> typing;
  std::string master = "+1 555 0100";

  explicit Harness(std::string master_number = "+1 555 0100") : master(std::move(master_number)) {
    log::set_stderr_enabled(false);
    rebind();
  }

  void rebind() {
    Bindings b;
    b.get_response_with_system = [this](const json& messages) -> std::optional<std::string> {
      requests.push_back(messages);
      if (replies.empty()) throw std::runtime_error("the model was called more often than scripted");
      auto reply = replies.front();
      replies.pop_front();
      return reply;
    };
    b.send_message = [this](const std::string& number, const std::string& text) {
      sent.emplace_back(number, text);
      stored_at_send.push_back(memory.get_history(number).size());
      return true;
    };
    b.set_typing = [this](const std::string& number, bool on) {
      if (bridge_down) throw std::runtime_error("bridge unreachable");
      typing.emplace_back(number, on);
      return true;
    };
    b.identity_manager = &identity;
    b.memory_manager = &memory;
    b.schedules_manager = &registry;
    b.web_search_manager = [this]() -> std::shared_ptr<web_search::Provider> {
      return provider_available ? provider : nullptr;
    };
    // Marks the template so tests can tell which prompt a request used.
    b.format_prompt = [](std::string_view templ) { return "filled:" + std::string(templ); };
    b.master = master;
    bind(std::move(b));
  }

  void reply(std::optional<std::string> text) { replies.push_back(std::move(text)); }

  std::vector<std::string> texts_sent() const {
    std::vector<std::string> out;
    for (const auto& s : sent) out.push_back(s.second);
    return out;
  }
};

}  // namespace talmo::interpreter::testing

// In-memory fakes of the engine's collaborators, shared by the unit tests, the
// benchmarks and the fuzz targets: the identity profile, the conversation
// memory, the schedule board and the web-search provider. Each records what it
// was asked and answers what the test chooses. Header-only and free of
// GoogleTest, so a fuzz target or a benchmark can use them too.
#pragma once

#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/web_search/web_search.hpp"
#include "support/json.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace talmo::testing {

// A profile the test sets directly (the four defaults unless given); updates
// and removals change it as the real store does and are recorded.
struct FakeIdentity : identity::IdentityStore {
  FakeIdentity() = default;
  explicit FakeIdentity(json initial) : profile(std::move(initial)) {}

  json profile = json{{"bot_name", "Talmo"}, {"owner", "Boss"}, {"tone", "Professional"},
                      {"response_type", "Concise"}};
  bool fail = false;  // get_identity throws, as an unavailable store would
  std::vector<json> updates;
  std::vector<json> removals;

  json get_identity() override {
    if (fail) throw std::runtime_error("identity store unavailable");
    return profile;
  }
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

// Every number's whole history; forgetting and export are not the engine's.
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

// A board whose answers the test sets; records every call.
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

// Refuses what the real provider refuses (parameters that are not a map, or
// a name it does not know), records each accepted search in `calls`, and
// answers `answer`, or what `respond` makes of the parameters when it is set.
struct FakeSearch : web_search::Provider {
  std::pair<json, std::string> answer{json::object(), ""};
  std::function<std::pair<json, std::string>(const json& params)> respond;
  std::vector<json> calls;

  std::pair<json, std::string> search(const json& params) override {
    if (!params.is_object()) throw std::invalid_argument("search parameters must be a map");
    for (const auto& [name, value] : params.items()) {
      bool known = false;
      for (const char* p : web_search::PARAMETERS) known = known || name == p;
      if (!known) throw std::invalid_argument("unknown search parameter: " + name);
    }
    calls.push_back(params);
    return respond ? respond(params) : answer;
  }
};

}  // namespace talmo::testing

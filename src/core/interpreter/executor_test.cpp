// The action executor: each module's actions, their result texts and failures.
#include "core/interpreter/interpreter.hpp"
#include "core/prompts/messages/messages.hpp"
#include "testing/engine_harness.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace talmo::interpreter {
namespace {

using talmo::testing::Harness;
using Level = log::Level;

json action(const char* text) { return json::parse(text); }

class Executor : public ::testing::Test {
 protected:
  Harness h;
  log::Capture logs;
};

TEST_F(Executor, NormalisesModuleAndCommandAndLogsTheAction) {
  EXPECT_EQ(execute_action(action(R"({"module": "Identity Module", "command": "FETCH", "args": ["all"]})")),
            R"(DATA: {"bot_name": "Talmo", "owner": "Boss", "tone": "Professional", "response_type": "Concise"})");
  EXPECT_TRUE(logs.has(Level::info, "⚡ EXECUTING ACTION: identity:fetch | Args: [\"all\"]"));
  EXPECT_EQ(execute_action(action(R"({"module": " IdentityModule ", "command": "fetch", "args": "all"})"))
                .substr(0, 6),
            "DATA: ");
}

TEST_F(Executor, UnknownActionsNameTheNormalisedModuleAndCommand) {
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": " fetch"})")),
            "ERROR: Unknown module 'identity' or command ' fetch'.");
  EXPECT_TRUE(logs.has(Level::warning, "Unknown module or command: identity: fetch"));
  EXPECT_EQ(execute_action(json::object()), "ERROR: Unknown module '' or command ''.");
  EXPECT_TRUE(logs.has(Level::info, "⚡ EXECUTING ACTION: : | Args: null"));
  EXPECT_EQ(execute_action(action(R"({"module": "web_search", "command": "fetch", "args": {}})")),
            "ERROR: Unknown module 'web_search' or command 'fetch'.");
  EXPECT_EQ(execute_action(action(R"({"module": "calendar", "command": "add"})")),
            "ERROR: Unknown module 'calendar' or command 'add'.");
  EXPECT_THROW(execute_action(json::array()), std::invalid_argument);
}

TEST_F(Executor, IdentityFetchPicksKeysInOrder) {
  h.identity.profile["nickname_é"] = "Zé";
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "fetch", "args": ["tone", "nickname", "tone"]})")),
            R"(DATA: {"tone": "Professional", "nickname": "Not found"})");
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "fetch", "args": "nickname_é"})")),
            R"(DATA: {"nickname_\u00e9": "Z\u00e9"})");
  // Absent args look up the key "None"; non-text keys are looked up by their
  // display text and written as JSON writes keys.
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "fetch"})")),
            R"(DATA: {"None": "Not found"})");
  h.identity.profile["1"] = "one";
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "fetch", "args": [1, null, true, 2.5]})")),
            R"(DATA: {"1": "one", "null": "Not found", "true": "Not found", "2.5": "Not found"})");
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "fetch", "args": ["tone", "all"]})")).substr(0, 18),
            R"(DATA: {"bot_name":)");
}

TEST_F(Executor, IdentityUpdateAndRemove) {
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "add", "args": {"city": "Lahore", "tone": "Warm"}})")),
            "SUCCESS: Identity updated.");
  EXPECT_TRUE(logs.has(Level::success, "Identity updated with keys: ['city', 'tone']"));
  EXPECT_EQ(h.identity.profile["city"], "Lahore");

  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "update", "args": ["city"]})")),
            "ERROR: Requires a dictionary.");
  EXPECT_TRUE(logs.has(Level::warning, "Action update requires a dict, got <class 'list'>"));
  EXPECT_EQ(h.identity.updates.size(), 1u);

  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "remove", "args": "city"})")),
            "SUCCESS: Removed: ['city']");
  EXPECT_EQ(h.identity.removals.back(), json::array({"city"}));
  EXPECT_TRUE(logs.has(Level::success, "Removed identity keys: ['city']"));
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "remove", "args": ["hobby"]})")),
            "SUCCESS: Removed: []");
}

TEST_F(Executor, ScheduleAddPassesTheNineFieldsAndReportsTheId) {
  h.registry.add_result = json{{"id", 42}, {"title", "Call mom"}};
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "add", "args":
      {"title": "Call mom", "mode": "direct", "trigger_type": "date",
       "trigger_args": {"run_date": "2026-12-08 18:00:00"}, "extra": 1}})")),
            "SUCCESS: Created task with ID: 42");
  ASSERT_EQ(h.registry.added.size(), 1u);
  const auto& job = h.registry.added[0];
  EXPECT_EQ(job.title, "Call mom");
  EXPECT_EQ(job.trigger_args, json({{"run_date", "2026-12-08 18:00:00"}}));
  EXPECT_TRUE(job.fixed_content.is_null() && job.fetch_args.is_null() && job.end_date.is_null());
  EXPECT_TRUE(logs.has(Level::success, "Task scheduled successfully (ID: 42)"));

  h.registry.add_result = nullptr;
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "add", "args": {"title": "x"}})")),
            "ERROR: Scheduling failed.");
  EXPECT_TRUE(logs.has(Level::error, "Schedules manager returned None for add_job"));

  // Wrong shapes go through the general failure path.
  h.registry.add_result = json{{"title", "no id"}};
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "add", "args": {}})")).substr(0, 7), "ERROR: ");
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "add", "args": ["x"]})")).substr(0, 7), "ERROR: ");
  EXPECT_EQ(logs.messages(Level::error).size(), 3u);
}

TEST_F(Executor, PastTimeAddSendsOneNoticeToTheMaster) {
  h.registry.add_result = "PAST_TIME_ERROR";
  h.identity.profile["owner"] = "Captain";
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "add", "args": {"title": "late"}})")),
            "PAST_TIME_ERROR");
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].first, h.master);
  EXPECT_EQ(h.sent[0].second,
            "I apologize, Captain, but I cannot schedule a task for a time that has already passed.");
  EXPECT_TRUE(logs.has(Level::warning, "Blocking past-time schedule attempt."));

  h.identity.profile.erase("owner");
  execute_action(action(R"({"module": "schedules", "command": "add", "args": {"title": "late"}})"));
  EXPECT_EQ(h.sent[1].second, "I apologize, Boss, but I cannot schedule a task for a time that has already passed.");
}

TEST_F(Executor, ScheduleFetchAndUpdate) {
  h.registry.jobs = json::parse(R"([{"id": 1, "title": "Ré"}])");
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "fetch", "args": "whatever"})")),
            R"(DATA: [{"id": 1, "title": "R\u00e9"}])");

  for (const char* args : {R"({"id": 0, "updates": {"title": "x"}})", R"({"id": 3})", R"({"id": 3, "updates": {}})",
                           R"({"id": "", "updates": {"title": "x"}})", R"({"updates": {"title": "x"}})"}) {
    EXPECT_EQ(execute_action(json{{"module", "schedules"}, {"command", "update"}, {"args", json::parse(args)}}),
              "ERROR: Update requires 'id' and 'updates' dictionary.")
        << args;
  }
  EXPECT_TRUE(h.registry.updated.empty());

  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "update", "args": {"id": " 3 ", "updates": {"title": "x"}}})")),
            "SUCCESS: Schedule updated.");
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "update", "args": {"id": -7.9, "updates": {"title": "x"}}})")),
            "SUCCESS: Schedule updated.");
  h.registry.update_result = false;
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "update", "args": {"id": 4, "updates": {"title": "x"}}})")),
            "ERROR: Schedule update failed.");
  ASSERT_EQ(h.registry.updated.size(), 3u);
  EXPECT_EQ(h.registry.updated[0].first, 3);
  EXPECT_EQ(h.registry.updated[0].second, json({{"title", "x"}}));
  EXPECT_EQ(h.registry.updated[1].first, -7);

  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "update", "args": {"id": "3a", "updates": {"a": 1}}})")).substr(0, 7),
            "ERROR: ");
  EXPECT_EQ(h.registry.updated.size(), 3u);
}

TEST_F(Executor, ScheduleRemoveConvertsEveryIdFirst) {
  h.registry.existing = {5, 7};
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "remove", "args": [5, "9"]})")),
            "SUCCESS: ID 5: Removed, ID 9: Not found");
  EXPECT_TRUE(logs.has(Level::info, "Schedule removal results: ['ID 5: Removed', 'ID 9: Not found']"));
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "Delete", "args": 7})")),
            "SUCCESS: ID 7: Removed");
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "remove", "args": []})")), "SUCCESS: ");

  h.registry.removal_calls.clear();
  for (const char* bad : {R"([5, "x"])", R"([5, null])", R"([5, true])", R"(["2.0"])", "{}"}) {
    EXPECT_EQ(execute_action(json{{"module", "schedules"}, {"command", "remove"}, {"args", json::parse(bad)}}).substr(0, 7),
              "ERROR: ")
        << bad;
  }
  EXPECT_TRUE(h.registry.removal_calls.empty());
}

TEST_F(Executor, IdsBeyondSixtyFourBitsConvertButNameNoJob) {
  // Such ids are still whole numbers: they are reported as not found (or
  // not updated) rather than failing the command, and the registry, whose
  // ids are 64-bit, is not asked about them.
  h.registry.existing = {5};
  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "remove", "args":
      [" -00099999999999999999999 ", 18446744073709551615, 1e20, -9.3e18, "-9223372036854775808", 5]})")),
            "SUCCESS: ID -99999999999999999999: Not found, ID 18446744073709551615: Not found, "
            "ID 100000000000000000000: Not found, ID -9300000000000000000: Not found, "
            "ID -9223372036854775808: Not found, ID 5: Removed");
  EXPECT_EQ(h.registry.removal_calls, (std::vector<std::int64_t>{INT64_MIN, 5}));

  EXPECT_EQ(execute_action(action(R"({"module": "schedules", "command": "update", "args":
      {"id": "99999999999999999999", "updates": {"title": "x"}}})")),
            "ERROR: Schedule update failed.");
  EXPECT_TRUE(h.registry.updated.empty());
  EXPECT_TRUE(logs.messages(Level::error).empty());
}

TEST_F(Executor, WebSearchResultsErrorsAndFailures) {
  h.provider->answer = {json{{"answer", "Sunny"}, {"results", json::array({json{{"url", "https://e.x"}}})}}, ""};
  EXPECT_EQ(execute_action(action(R"({"module": "web_search", "command": "search", "args": {"query": "weather", "max_results": 3}})")),
            R"(DATA: {"answer": "Sunny", "results": [{"url": "https://e.x"}]})");
  EXPECT_EQ(h.provider->calls.back(), json({{"query", "weather"}, {"max_results", 3}}));

  h.provider->answer = {json{{"results", json::array()}}, "HTTP 432: plan limit"};
  EXPECT_EQ(execute_action(action(R"({"module": "web_search", "command": "search", "args": {"query": "q"}})")),
            "ERROR: Web search provider returned: HTTP 432: plan limit");
  h.provider->answer = {nullptr, ""};
  EXPECT_EQ(execute_action(action(R"({"module": "web_search", "command": "search", "args": {"query": "q"}})")),
            "ERROR: Web search failed.");

  EXPECT_EQ(execute_action(action(R"({"module": "web_search", "command": "search", "args": {"q": "x"}})")),
            "ERROR: unknown search parameter: q");
  EXPECT_TRUE(logs.has(Level::error, "Action Execution Exception: unknown search parameter: q"));
  EXPECT_EQ(execute_action(action(R"({"module": "web_search", "command": "search", "args": null})")).substr(0, 7), "ERROR: ");

  // A missing provider fails only the search.
  h.provider_available = false;
  EXPECT_EQ(execute_action(action(R"({"module": "web_search", "command": "search", "args": {"query": "q"}})")).substr(0, 7),
            "ERROR: ");
  EXPECT_EQ(execute_action(action(R"({"module": "identity", "command": "fetch", "args": "tone"})")),
            R"(DATA: {"tone": "Professional"})");
}

}  // namespace
}  // namespace talmo::interpreter

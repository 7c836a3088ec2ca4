// The job registry: validation, the board, firing and run records, the SQLite file, zones.
#include "core/schedules/schedules.hpp"

#include "core/schedules/trigger.hpp"
#include "support/log.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

namespace talmo::schedules {
namespace {

using namespace std::chrono_literals;

const char* const ZONE = "Europe/Berlin";

TimePoint local(const char* text, const char* zone = ZONE) {
  return TimePoint{to_instant(*parse_local_datetime(text), date::locate_zone(zone))};
}

NewJob reminder(json run_date = "2026-05-06 14:00:00") {
  NewJob j;
  j.title = "Stretch";
  j.mode = "direct";
  j.fixed_content = "Time to stretch, Boss.";
  j.trigger_type = "date";
  j.trigger_args = {{"run_date", run_date}};
  return j;
}

NewJob daily(json args = {{"hour", 9}, {"minute", 0}}) {
  NewJob j;
  j.title = "Daily Greeting";
  j.mode = "llm";
  j.fixed_content = "Generate a witty morning greeting.";
  j.trigger_type = "cron";
  j.trigger_args = std::move(args);
  return j;
}

NewJob hourly() {
  NewJob j = daily();
  j.title = "Hydration Nudge";
  j.mode = "direct";
  j.fixed_content = "Time for water.";
  j.trigger_type = "interval";
  j.trigger_args = {{"hours", 1}};
  return j;
}

// Each test runs against the SQLite store (on a temporary file, so it can
// be reopened) and against the in-memory fake.
class Registry : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    path_ = std::filesystem::temp_directory_path() /
            ("talmo_schedules_" + std::to_string(::getpid()) + "_" + name + ".db");
    std::filesystem::remove(path_);
    open();
  }
  void TearDown() override {
    store_.reset();
    db_.reset();
    for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path_.string() + ext);
  }
  bool sqlite() const { return GetParam(); }
  void open(const char* zone = ZONE) {
    store_.reset();
    db_.reset();
    if (sqlite()) {
      db_ = std::make_unique<db::Database>(path_.string());
      store_ = make_sqlite_job_store(*db_, clock_, zone);
    } else {
      store_ = make_memory_job_store(clock_, zone);
    }
  }
  json only_job() {
    const json jobs = store_->get_jobs();
    EXPECT_EQ(jobs.size(), 1u) << jobs.dump();
    return jobs.empty() ? json() : jobs[0];
  }

  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>(local("2026-05-06 10:00:00"));
  std::filesystem::path path_;
  std::unique_ptr<db::Database> db_;
  std::unique_ptr<JobStore> store_;
};

INSTANTIATE_TEST_SUITE_P(Stores, Registry, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Sqlite" : "Memory"; });

TEST_P(Registry, AddedJobIsOnTheBoardWithItsNextRun) {
  NewJob j = reminder();
  j.trigger_args = R"({"run_date": "2026-05-06 14:00:00"})";  // JSON text is taken as its map
  const json added = store_->add_job(j);
  const json expected = {{"id", 1},
                         {"title", "Stretch"},
                         {"mode", "direct"},
                         {"fixed_content", "Time to stretch, Boss."},
                         {"trigger_type", "date"},
                         {"trigger_args", {{"run_date", "2026-05-06 14:00:00"}}},
                         {"fetch_module", nullptr},
                         {"fetch_args", nullptr},
                         {"start_date", nullptr},
                         {"end_date", nullptr},
                         {"next_run_time", "2026-05-06 14:00:00"}};
  EXPECT_EQ(added.dump(), expected.dump());
  EXPECT_EQ(store_->get_jobs().dump(), json::array({expected}).dump());

  const json cron = store_->add_job(daily({{"day_of_week", "mon"}, {"hour", "9"}}));
  EXPECT_EQ(cron["id"], 2);
  EXPECT_EQ(cron["trigger_args"].dump(), R"({"day_of_week":"mon","hour":"9"})");
  EXPECT_EQ(cron["next_run_time"], "2026-05-11 09:00:00");
  EXPECT_EQ(store_->add_job(hourly())["next_run_time"], "2026-05-06 11:00:00");
}

TEST_P(Registry, PastTimeIsRefusedWithTheSentinel) {
  log::Capture capture;
  EXPECT_EQ(store_->add_job(reminder("2026-05-06 10:00:00")), json(PAST_TIME_ERROR));
  EXPECT_EQ(store_->add_job(reminder("2026-05-06 09:00:00")), json(PAST_TIME_ERROR));
  EXPECT_EQ(store_->get_jobs(), json::array());
  EXPECT_TRUE(capture.contains(log::Level::warning, "not in the future"));
}

TEST_P(Registry, InvalidJobsAreRefusedWithAReason) {
  struct Case {
    std::function<void(NewJob&)> change;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {[](NewJob& j) { j.title = "  "; }, "title"},
      {[](NewJob& j) { j.title = nullptr; }, "title"},
      {[](NewJob& j) { j.mode = "email"; }, "mode"},
      {[](NewJob& j) { j.fixed_content = nullptr; }, "fixed_content"},
      {[](NewJob& j) { j.trigger_type = "weekly"; }, "trigger_type"},
      {[](NewJob& j) { j.trigger_args = "{not json"; }, "trigger_args"},
      {[](NewJob& j) { j.trigger_args = {{"run_date", "2026-05-06 2pm"}}; }, "run_date"},
      {[](NewJob& j) { j.fetch_module = "calendar"; }, "fetch_module"},
      {[](NewJob& j) { j.fetch_module = "web_search"; j.fetch_args = {{"topic", "news"}}; }, "query"},
      {[](NewJob& j) { j.trigger_type = "cron"; j.trigger_args = {{"month", 2}, {"day", 30}}; },
       "no run after now"},
      {[](NewJob& j) { j.trigger_type = "interval"; j.trigger_args = {{"hours", 1}};
                       j.end_date = "2026-05-06 09:00:00"; }, "no run after now"},
      {[](NewJob& j) { j.trigger_type = "cron"; j.trigger_args = {{"hour", 9}};
                       j.start_date = "2026-05-10"; }, "start_date"},
  };
  for (const auto& c : cases) {
    NewJob j = reminder();
    c.change(j);
    log::Capture capture;
    EXPECT_TRUE(store_->add_job(j).is_null()) << c.reason;
    const auto warnings = capture.messages(log::Level::warning);
    ASSERT_EQ(warnings.size(), 1u) << c.reason;
    EXPECT_EQ(warnings[0].rfind("Schedule not added: ", 0), 0u) << warnings[0];
    EXPECT_NE(warnings[0].find(c.reason), std::string::npos) << warnings[0];
  }
  EXPECT_EQ(store_->get_jobs(), json::array());
}

TEST_P(Registry, WebSearchFetchArgsMayArriveAsText) {
  NewJob j = daily();
  j.mode = "autonomous";
  j.fetch_module = "web_search";
  j.fetch_args = R"({"query": "AI news", "topic": "news", "max_results": 5})";
  const json added = store_->add_job(j);
  ASSERT_TRUE(added.is_object());
  EXPECT_EQ(added["fetch_args"].dump(), R"({"query":"AI news","topic":"news","max_results":5})");
}

TEST_P(Registry, DeeplyNestedJsonTextIsNotAMap) {
  // Text the model wrote inside a field can nest without limit; decoded, the
  // job's fields used to be copied and rendered one recursion per level.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  NewJob j = daily();
  j.trigger_args = R"({"year": )" + deep + "}";
  log::Capture capture;
  EXPECT_TRUE(store_->add_job(j).is_null());
  EXPECT_TRUE(capture.contains(log::Level::warning, "trigger_args must be a map or the JSON text of one"));

  j = daily();
  j.mode = "autonomous";
  j.fetch_module = "web_search";
  j.fetch_args = R"({"query": "AI news", "include_domains": )" + deep + "}";
  EXPECT_TRUE(store_->add_job(j).is_null());
  EXPECT_TRUE(capture.contains(log::Level::warning, "fetch_args as a map"));
  EXPECT_EQ(store_->get_jobs(), json::array());
}

TEST_P(Registry, UpdateMergesAndValidatesTheWholeJob) {
  store_->add_job(daily());
  const json before = only_job();
  log::Capture capture;

  EXPECT_FALSE(store_->update_job(7, {{"title", "x"}}));
  EXPECT_FALSE(store_->update_job(1, {{"mode", "email"}}));
  EXPECT_FALSE(store_->update_job(1, {{"run_date", "2026-05-07 09:00:00"}}));
  // A date trigger needs its own arguments: the merged job is invalid.
  EXPECT_FALSE(store_->update_job(1, {{"trigger_type", "date"}}));
  EXPECT_FALSE(store_->update_job(1, {{"trigger_type", "date"},
                                      {"trigger_args", {{"run_date", "2026-05-06 09:59:59"}}}}));
  EXPECT_EQ(only_job(), before);
  EXPECT_EQ(capture.messages(log::Level::warning).size(), 5u);
  EXPECT_TRUE(capture.contains(log::Level::warning, "Schedule 1 not updated: "));

  EXPECT_TRUE(store_->update_job(1, {{"fixed_content", "Say good morning."}}));
  EXPECT_EQ(only_job()["fixed_content"], "Say good morning.");
  EXPECT_EQ(only_job()["next_run_time"], "2026-05-07 09:00:00");

  EXPECT_TRUE(store_->update_job(1, R"({"trigger_args": {"hour": 14}})"));
  EXPECT_EQ(only_job()["trigger_args"].dump(), R"({"hour":14})");
  EXPECT_EQ(only_job()["next_run_time"], "2026-05-06 14:00:00");

  EXPECT_TRUE(store_->update_job(1, {{"trigger_type", "date"},
                                     {"trigger_args", {{"run_date", "2026-05-08 14:00:00"}}}}));
  EXPECT_EQ(only_job()["next_run_time"], "2026-05-08 14:00:00");
}

TEST_P(Registry, RemovedIdsAreNotGivenAgain) {
  store_->add_job(reminder());
  store_->add_job(reminder());
  EXPECT_TRUE(store_->remove_job_by_id(2));
  EXPECT_FALSE(store_->remove_job_by_id(2));
  EXPECT_FALSE(store_->update_job(2, {{"title", "Back"}}));
  EXPECT_EQ(store_->add_job(reminder())["id"], 3);
  const json jobs = store_->get_jobs();
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0]["id"], 1);
  EXPECT_EQ(jobs[1]["id"], 3);
}

TEST_P(Registry, ChangeListenerHearsEverySuccessfulChange) {
  int calls = 0;
  store_->set_change_listener([&] { ++calls; });
  store_->add_job(reminder());
  store_->add_job(reminder("2020-01-01 00:00:00"));
  store_->update_job(1, {{"title", "Stretch now"}});
  store_->update_job(1, {{"title", ""}});
  store_->remove_job_by_id(1);
  store_->remove_job_by_id(1);
  EXPECT_EQ(calls, 3);
}

TEST_P(Registry, DateJobFiresOnceAndLeavesTheBoard) {
  store_->add_job(reminder());
  store_->add_job(daily());
  EXPECT_EQ(store_->earliest_next_run(), local("2026-05-06 14:00:00"));
  EXPECT_TRUE(store_->due_jobs(local("2026-05-06 13:59:59")).empty());

  clock_->set(local("2026-05-06 14:00:03"));
  const auto due = store_->due_jobs(clock_->now());
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].job_id, 1);
  EXPECT_EQ(due[0].scheduled_time, local("2026-05-06 14:00:00"));

  const auto run = store_->record_fire(1, due[0].scheduled_time);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->state, RunState::pending);
  EXPECT_EQ(run->job["fixed_content"], "Time to stretch, Boss.");
  EXPECT_FALSE(store_->record_fire(1, due[0].scheduled_time));
  EXPECT_EQ(store_->get_jobs().size(), 1u);
  EXPECT_FALSE(store_->remove_job_by_id(1));
  EXPECT_EQ(store_->earliest_next_run(), local("2026-05-07 09:00:00"));

  ASSERT_EQ(store_->pending_runs().size(), 1u);
  EXPECT_TRUE(store_->mark_delivered(run->id));
  EXPECT_FALSE(store_->mark_delivered(run->id));
  EXPECT_TRUE(store_->pending_runs().empty());
  EXPECT_EQ(store_->find_run(run->id)->state, RunState::delivered);
}

TEST_P(Registry, MissedRecurringRunsCollapseIntoOne) {
  store_->add_job(hourly());  // first run 11:00
  clock_->set(local("2026-05-06 15:30:00"));
  const auto due = store_->due_jobs(clock_->now());
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].scheduled_time, local("2026-05-06 11:00:00"));
  // A scheduled time that is no longer the job's next run is stale.
  EXPECT_FALSE(store_->record_fire(1, local("2026-05-06 12:00:00")));
  ASSERT_TRUE(store_->record_fire(1, due[0].scheduled_time));
  EXPECT_EQ(only_job()["next_run_time"], "2026-05-06 16:00:00");
  EXPECT_TRUE(store_->due_jobs(clock_->now()).empty());
}

TEST_P(Registry, FailedDeliveriesRetryThenGiveUp) {
  store_->add_job(reminder());
  clock_->set(local("2026-05-06 14:00:00"));
  const auto run = store_->record_fire(1, local("2026-05-06 14:00:00"));
  ASSERT_TRUE(run);
  EXPECT_TRUE(store_->record_failed_attempt(run->id, "bridge down", local("2026-05-06 14:00:10")));
  auto pending = store_->pending_runs();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].attempts, 1);
  EXPECT_EQ(pending[0].retry_at, local("2026-05-06 14:00:10"));
  EXPECT_TRUE(store_->record_failed_attempt(run->id, "HTTP 500", std::nullopt));
  EXPECT_TRUE(store_->pending_runs().empty());
  const auto failed = store_->find_run(run->id);
  EXPECT_EQ(failed->state, RunState::failed);
  EXPECT_EQ(failed->attempts, 2);
  EXPECT_EQ(failed->last_error, "HTTP 500");
  EXPECT_FALSE(store_->mark_delivered(run->id));
}

TEST_P(Registry, SkippedRunAdvancesWithoutDelivery) {
  store_->add_job(reminder());
  clock_->set(local("2026-05-07 14:00:00"));
  const auto run = store_->record_fire(1, local("2026-05-06 14:00:00"), RunState::skipped);
  ASSERT_TRUE(run);
  EXPECT_TRUE(store_->pending_runs().empty());
  EXPECT_EQ(store_->get_jobs(), json::array());
}

TEST_P(Registry, ConcurrentAddsGetDistinctIds) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) store_->add_job(reminder());
    });
  for (auto& t : threads) t.join();
  std::set<std::int64_t> ids;
  for (const auto& j : store_->get_jobs()) ids.insert(j["id"].get<std::int64_t>());
  EXPECT_EQ(ids.size(), 40u);
}

class SqliteRegistry : public Registry {};
INSTANTIATE_TEST_SUITE_P(Stores, SqliteRegistry, ::testing::Values(true),
                         [](const auto&) { return "Sqlite"; });

TEST_P(SqliteRegistry, JobsAndRunsSurviveReopening) {
  store_->add_job(reminder());
  store_->add_job(daily());
  store_->add_job(hourly());
  store_->remove_job_by_id(3);
  const json before = store_->get_jobs();
  clock_->set(local("2026-05-06 14:00:00"));
  const auto run = store_->record_fire(1, local("2026-05-06 14:00:00"));
  ASSERT_TRUE(run);

  open();  // as after a crash between recording the run and sending it
  EXPECT_EQ(store_->get_jobs(), json::array({before[1]}));
  const auto pending = store_->pending_runs();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].id, run->id);
  EXPECT_EQ(pending[0].job, run->job);
  EXPECT_EQ(pending[0].scheduled_time, local("2026-05-06 14:00:00"));
  EXPECT_FALSE(store_->record_fire(1, local("2026-05-06 14:00:00")));
  EXPECT_EQ(store_->add_job(reminder("2026-05-07 14:00:00"))["id"], 4);
}

TEST_P(SqliteRegistry, AChangedZoneRecomputesNextRuns) {
  store_->add_job(daily());
  store_->add_job(reminder());
  open("America/New_York");
  const json jobs = store_->get_jobs();
  ASSERT_EQ(jobs.size(), 2u);
  // 10:00 in Berlin was 04:00 in New York: the daily 09:00 job is due at
  // 09:00 New York time the same day, and the reminder's text now means
  // 14:00 New York time.
  EXPECT_EQ(jobs[0]["next_run_time"], "2026-05-06 09:00:00");
  EXPECT_EQ(jobs[1]["next_run_time"], "2026-05-06 14:00:00");
  EXPECT_EQ(store_->earliest_next_run(), local("2026-05-06 09:00:00", "America/New_York"));
}

TEST(RegistryFactory, RefusesAnUnknownZone) {
  auto clock = std::make_shared<FakeClock>(TimePoint{});
  EXPECT_THROW(make_memory_registry(clock, "Mars/Olympus"), std::invalid_argument);
}

}  // namespace
}  // namespace talmo::schedules

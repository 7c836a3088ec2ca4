// The scheduler: composing each mode, firing at local times, misfires, clock steps, crashes, its thread.
#include "core/scheduler/scheduler.hpp"

#include "core/llm/lexgate/lexgate.hpp"
#include "core/prompts/templates/templates.hpp"
#include "core/schedules/trigger.hpp"
#include "support/log.hpp"
#include "support/tz.hpp"
#include "testing/fakes.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <stdexcept>

namespace talmo::scheduler {
namespace {

using schedules::NewJob;
using schedules::RunState;
using talmo::testing::FakeSearch;

const char* const ZONE = "Europe/Berlin";
const char* const MASTER = "+1 555 123 4567";
const char* const MEMORY_KEY = "15551234567";

TimePoint local(const char* text) {
  return TimePoint{schedules::to_instant(*schedules::parse_local_datetime(text),
                                         date::locate_zone(ZONE))};
}
std::string local_text(TimePoint t) { return tz::format(t, ZONE, "%Y-%m-%d %H:%M:%S"); }

NewJob job(const char* mode, const char* content, const char* type, json args) {
  NewJob j;
  j.title = "Task";
  j.mode = mode;
  j.fixed_content = content;
  j.trigger_type = type;
  j.trigger_args = std::move(args);
  return j;
}
NewJob reminder(const char* run_date, const char* content = "Time to stretch, Boss.") {
  return job("direct", content, "date", {{"run_date", run_date}});
}

struct Sent {
  TimePoint at;
  std::string number;
  std::string text;
};

// Forwards to a real store; `crash_after_record` / `crash_on_delivered`
// throw where a killed process would have stopped, after the real call.
class CrashingStore : public schedules::JobStore {
 public:
  explicit CrashingStore(schedules::JobStore& s) : s_(s) {}
  bool crash_after_record = false;
  bool crash_on_delivered = false;

  json add_job(const NewJob& j) override { return s_.add_job(j); }
  json get_jobs() override { return s_.get_jobs(); }
  bool update_job(std::int64_t id, const json& u) override { return s_.update_job(id, u); }
  bool remove_job_by_id(std::int64_t id) override { return s_.remove_job_by_id(id); }
  std::optional<TimePoint> earliest_next_run() override {
    const auto next = s_.earliest_next_run();
    {
      std::lock_guard lock(mu);
      ++rounds;
      last_next = next;
    }
    cv.notify_all();
    return next;
  }
  std::vector<schedules::DueJob> due_jobs(TimePoint now) override { return s_.due_jobs(now); }
  std::optional<schedules::Run> record_fire(std::int64_t id, TimePoint t, RunState st) override {
    auto run = s_.record_fire(id, t, st);
    if (crash_after_record) throw std::runtime_error("killed after recording");
    return run;
  }
  int recompute_next_runs() override { return s_.recompute_next_runs(); }
  std::vector<schedules::Run> pending_runs() override { return s_.pending_runs(); }
  std::optional<schedules::Run> find_run(std::int64_t id) override { return s_.find_run(id); }
  bool mark_delivered(std::int64_t id) override {
    if (crash_on_delivered) throw std::runtime_error("killed after sending");
    return s_.mark_delivered(id);
  }
  bool record_failed_attempt(std::int64_t id, const std::string& e,
                             std::optional<TimePoint> at) override {
    return s_.record_failed_attempt(id, e, at);
  }
  void set_change_listener(std::function<void()> l) override { s_.set_change_listener(l); }

  std::mutex mu;
  std::condition_variable cv;
  int rounds = 0;
  std::optional<TimePoint> last_next;

 private:
  schedules::JobStore& s_;
};

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    path_ = std::filesystem::temp_directory_path() /
            ("talmo_scheduler_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db");
    remove_files();
    store_ = schedules::make_memory_job_store(clock_, ZONE);
  }
  void TearDown() override {
    scheduler_.reset();
    store_.reset();
    db_.reset();
    remove_files();
  }
  void remove_files() {
    for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path_.string() + ext);
  }

  // (Re)opens the SQLite store on the test's file, as a restarted process would.
  void reopen_sqlite() {
    scheduler_.reset();
    store_.reset();
    db_.reset();
    db_ = std::make_unique<db::Database>(path_.string());
    store_ = schedules::make_sqlite_job_store(*db_, clock_, ZONE);
  }

  Bindings bindings(schedules::JobStore* jobs = nullptr) {
    Bindings b;
    b.send_message = [this](const std::string& number, const std::string& text) {
      std::lock_guard lock(mu_);
      if (store_failures_ > 0) {
        --store_failures_;
        throw std::runtime_error("database is locked");
      }
      sent_.push_back({clock_->now(), number, text});
      cv_.notify_all();
      return true;
    };
    b.get_response_with_system = [this](const json& messages) {
      model_calls_.push_back(messages);
      return model_reply_;
    };
    b.format_prompt = [](std::string_view t) { return "filled:" + std::string(t); };
    b.identity_manager = identity_.get();
    b.memory_manager = memory_.get();
    b.web_search_manager = [this] { return search_; };
    b.jobs = jobs ? jobs : store_.get();
    b.clock = clock_;
    b.master = MASTER;
    return b;
  }
  Scheduler& scheduler() {
    if (!scheduler_) scheduler_ = std::make_unique<Scheduler>(bindings());
    return *scheduler_;
  }

  std::int64_t add(const NewJob& j) {
    const json added = store_->add_job(j);
    EXPECT_TRUE(added.is_object()) << added.dump();
    return added.value("id", std::int64_t{0});
  }

  // What the scheduler thread does, with the fake clock jumping straight to
  // each wake-up the rounds ask for, up to `end`.
  void run_until(TimePoint end) {
    for (int i = 0; i < 10000; ++i) {
      const auto next = scheduler().tick();
      if (!next || *next > end) {
        clock_->set(end);
        return;
      }
      clock_->set(std::max(*next, clock_->now()));
    }
    FAIL() << "the scheduler never went to sleep";
  }

  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const Sent& s : sent_) out.push_back(s.text);
    return out;
  }
  std::vector<std::string> local_times() const {
    std::vector<std::string> out;
    for (const Sent& s : sent_) out.push_back(local_text(s.at));
    return out;
  }
  json history() { return memory_->get_history(MEMORY_KEY); }

  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>(local("2026-05-06 10:00:00"));
  std::filesystem::path path_;
  std::unique_ptr<db::Database> db_;
  std::unique_ptr<schedules::JobStore> store_;
  std::unique_ptr<identity::IdentityStore> identity_ = identity::make_memory_store();
  std::unique_ptr<memory::ConversationMemory> memory_ = memory::make_memory_memory(50);
  std::shared_ptr<FakeSearch> search_ = std::make_shared<FakeSearch>();
  std::unique_ptr<Scheduler> scheduler_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Sent> sent_;  // texts stored, with when
  int store_failures_ = 0;  // sends that throw (nothing stored) before they succeed
  std::vector<json> model_calls_;
  std::optional<std::string> model_reply_ = "Good morning, Boss! Coffee first, empires later.";
};

TEST(LatePrefix, ShowsWholeMinutesAndLargerUnitsOnlyWhenPresent) {
  using namespace std::chrono;
  EXPECT_EQ(late_prefix(59s), "");
  EXPECT_EQ(late_prefix(60s), "⏰ Late by 1m: ");
  EXPECT_EQ(late_prefix(5min + 59s), "⏰ Late by 5m: ");
  EXPECT_EQ(late_prefix(1h), "⏰ Late by 1h 0m: ");
  EXPECT_EQ(late_prefix(2h + 15min + 30s), "⏰ Late by 2h 15m: ");
  EXPECT_EQ(late_prefix(24h + 5min), "⏰ Late by 1d 0h 5m: ");
}

// ---- What each mode sends ----

TEST_F(SchedulerTest, DirectModeSendsTheStoredTextAtItsTimeWithoutTheModel) {
  add(reminder("2026-05-06 14:00:00", "Stretch, {owner} 🧘 — now!"));
  log::Capture capture;
  run_until(local("2026-05-07 00:00:00"));

  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].number, MASTER);
  EXPECT_EQ(sent_[0].text, "Stretch, {owner} 🧘 — now!");
  EXPECT_EQ(local_text(sent_[0].at), "2026-05-06 14:00:00");
  EXPECT_TRUE(model_calls_.empty());
  EXPECT_EQ(store_->get_jobs(), json::array());  // a date job leaves the board
  EXPECT_EQ(history(), json::array({{{"role", "assistant"}, {"content", "Stretch, {owner} 🧘 — now!"}}}));
  EXPECT_TRUE(capture.contains(log::Level::success, "Delivered schedule 1 ('Task')"));
}

TEST_F(SchedulerTest, LlmModeAsksTheModelOnceWithPersonaAndInstruction) {
  clock_->set(local("2026-05-06 07:00:00"));
  add(job("llm", "Generate a witty morning greeting for Boss.", "date",
          {{"run_date", "2026-05-06 08:00:00"}}));
  run_until(local("2026-05-06 09:00:00"));

  ASSERT_EQ(model_calls_.size(), 1u);
  const json expected = json::array(
      {{{"role", "system"}, {"content", "filled:" + scheduled_task_prompt()}},
       {{"role", "user"}, {"content", "Generate a witty morning greeting for Boss."}}});
  EXPECT_EQ(model_calls_[0], expected);
  EXPECT_NE(scheduled_task_prompt().find(templates::PERSONA_BLOCK), std::string::npos);
  EXPECT_EQ(texts(), std::vector<std::string>{*model_reply_});
  EXPECT_EQ(history().back()["content"], *model_reply_);
}

TEST_F(SchedulerTest, LlmModeWithoutAUsableReplySendsItsInstructionWithANote) {
  const std::optional<std::string> replies[] = {std::string(lexgate::NO_KEY_REPLY),
                                                std::string(lexgate::ALL_FAILED_REPLY),
                                                std::nullopt, std::string("  \n")};
  for (const auto& reply : replies) {
    model_reply_ = reply;
    sent_.clear();
    const NewJob j = job("llm", "Tell Boss to call the bank.", "date",
                         {{"run_date", local_text(clock_->now() + std::chrono::hours(1))}});
    add(j);
    run_until(clock_->now() + std::chrono::hours(2));
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0].text, "⚠️ Task — my language engine is unavailable, so here is the task as "
                             "you set it: Tell Boss to call the bank.");
  }
}

TEST_F(SchedulerTest, AutonomousIdentityFetchGoesToTheModelWithTheInstruction) {
  identity_->update_identity({{"city", "Lahore"}});
  NewJob j = job("autonomous", "Audit the profile for Boss.", "date",
                 {{"run_date", "2026-05-06 11:00:00"}});
  j.fetch_module = "identity";
  j.fetch_args = "all";
  add(j);
  j.fetch_args = json::array({"owner", "city", "missing"});
  add(j);
  run_until(local("2026-05-06 12:00:00"));

  ASSERT_EQ(model_calls_.size(), 2u);
  EXPECT_EQ(model_calls_[0][0]["content"], "filled:" + scheduled_task_prompt());
  EXPECT_EQ(model_calls_[0][1]["content"],
            "Audit the profile for Boss.\n\nFETCHED DATA (identity):\n"
            R"({"bot_name": "Talmo", "owner": "Boss", "tone": "Professional", )"
            R"("response_type": "Concise", "city": "Lahore"})");
  EXPECT_EQ(model_calls_[1][1]["content"],
            "Audit the profile for Boss.\n\nFETCHED DATA (identity):\n"
            R"({"owner": "Boss", "city": "Lahore"})");
  EXPECT_EQ(texts(), std::vector<std::string>(2, *model_reply_));
}

TEST_F(SchedulerTest, AutonomousWebSearchIsSummarizedFromTheSearchPayload) {
  search_->answer = {json::parse(R"({"query": "AI news", "answer": "Models got faster.",
      "results": [{"title": "Chips", "url": "https://example.com/a", "content": "Fast é",
                   "score": 0.9}], "response_time": 1.2})"),
                     ""};
  model_reply_ = "*Chips*\nFaster chips.\nexample.com";
  NewJob j = job("autonomous", "Summarize the fetched AI news briefly for Boss.", "cron",
                 {{"hour", 7}, {"minute", 0}});
  j.fetch_module = "web_search";
  j.fetch_args = {{"query", "AI news"}, {"topic", "news"}, {"days", 1}};
  add(j);
  run_until(local("2026-05-07 08:00:00"));

  ASSERT_EQ(search_->calls.size(), 1u);
  EXPECT_EQ(search_->calls[0], j.fetch_args);
  ASSERT_EQ(model_calls_.size(), 1u);
  EXPECT_EQ(model_calls_[0][0]["content"], "filled:" + templates::WEB_SEARCH_SUMMARIZER_PROMPT);
  EXPECT_EQ(model_calls_[0][1]["content"],
            R"({"original_query": "Summarize the fetched AI news briefly for Boss.", )"
            R"("tavily_answer": "Models got faster.", "raw_results": [{"title": "Chips", )"
            R"("url": "https://example.com/a", "content": "Fast \u00e9", "score": 0.9}]})");
  EXPECT_EQ(local_times(), std::vector<std::string>{"2026-05-07 07:00:00"});
  EXPECT_EQ(texts(), std::vector<std::string>{"*Chips*\nFaster chips.\nexample.com"});

  // Without the model, the search's own answer and headlines still arrive.
  model_reply_ = std::string(lexgate::ALL_FAILED_REPLY);
  run_until(local("2026-05-08 08:00:00"));
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[1].text, "⚠️ Task — my language engine is unavailable, so here is what the "
                           "search for \"AI news\" found:\nModels got faster.\n• Chips");
}

TEST_F(SchedulerTest, FailedFetchTellsTheOwnerWhatCouldNotBeFetched) {
  search_->answer = {nullptr, "Tavily answered 432: plan limit reached"};
  NewJob j = job("autonomous", "Summarize the headlines.", "date",
                 {{"run_date", "2026-05-06 11:00:00"}});
  j.title = "Headlines";
  j.fetch_module = "web_search";
  j.fetch_args = {{"query", "Pakistan latest headlines"}};
  add(j);
  run_until(local("2026-05-06 12:00:00"));
  search_ = nullptr;  // no provider at all
  j.trigger_args = {{"run_date", "2026-05-06 13:00:00"}};
  add(j);
  run_until(local("2026-05-06 14:00:00"));

  EXPECT_TRUE(model_calls_.empty());
  EXPECT_EQ(texts(), (std::vector<std::string>{
                         "⚠️ Headlines — I couldn't fetch the web search for \"Pakistan latest "
                         "headlines\" (Tavily answered 432: plan limit reached).",
                         "⚠️ Headlines — I couldn't fetch the web search for \"Pakistan latest "
                         "headlines\" (no web-search provider is available)."}));
}

// ---- When jobs fire ----

TEST_F(SchedulerTest, CronFiresAtItsLocalTimeAcrossBothClockChanges) {
  // 2026-03-29 02:00 -> 03:00 and 2026-10-25 03:00 -> 02:00 in Berlin.
  clock_->set(local("2026-03-27 12:00:00"));
  add(job("direct", "Night check", "cron", {{"hour", 2}, {"minute", 30}}));
  run_until(local("2026-03-31 12:00:00"));
  EXPECT_EQ(local_times(), (std::vector<std::string>{"2026-03-28 02:30:00", "2026-03-29 03:00:00",
                                                     "2026-03-30 02:30:00", "2026-03-31 02:30:00"}));

  scheduler_.reset();
  store_ = schedules::make_memory_job_store(clock_, ZONE);
  sent_.clear();
  clock_->set(local("2026-10-23 12:00:00"));
  add(job("direct", "Night check", "cron", {{"hour", 2}, {"minute", 30}}));
  run_until(local("2026-10-26 12:00:00"));
  // The repeated 02:30 of the fall-back night fires once.
  EXPECT_EQ(local_times(), (std::vector<std::string>{"2026-10-24 02:30:00", "2026-10-25 02:30:00",
                                                     "2026-10-26 02:30:00"}));
}

TEST_F(SchedulerTest, IntervalAndDateJobsFireAtTheirInstantsAcrossAClockChange) {
  clock_->set(local("2026-10-25 00:00:00"));
  add(job("direct", "Water", "interval", {{"hours", 1}}));
  run_until(local("2026-10-25 04:30:00"));
  // Absolute hours: the repeated 02:00 appears twice on the wall clock.
  EXPECT_EQ(local_times(),
            (std::vector<std::string>{"2026-10-25 01:00:00", "2026-10-25 02:00:00",
                                      "2026-10-25 02:00:00", "2026-10-25 03:00:00",
                                      "2026-10-25 04:00:00"}));
  for (size_t i = 1; i < sent_.size(); ++i) EXPECT_EQ(sent_[i].at - sent_[i - 1].at, std::chrono::hours(1));

  scheduler_.reset();
  store_ = schedules::make_memory_job_store(clock_, ZONE);
  sent_.clear();
  clock_->set(local("2026-03-28 12:00:00"));
  add(reminder("2026-03-29 02:30:00"));  // a time the spring-forward night skips
  run_until(local("2026-03-30 00:00:00"));
  EXPECT_EQ(local_times(), std::vector<std::string>{"2026-03-29 03:00:00"});
}

TEST_F(SchedulerTest, StartDateDelaysAndEndDateStopsARecurringJob) {
  NewJob hourly = job("direct", "Water", "interval", {{"hours", 1}});
  hourly.start_date = "2026-05-06 12:00:00";
  hourly.end_date = "2026-05-06 14:30:00";
  add(hourly);
  NewJob daily = job("direct", "Report", "cron", {{"hour", 9}});
  daily.start_date = "2026-05-08 00:00:00";
  add(daily);
  run_until(local("2026-05-08 12:00:00"));
  EXPECT_EQ(local_times(), (std::vector<std::string>{"2026-05-06 12:00:00", "2026-05-06 13:00:00",
                                                     "2026-05-06 14:00:00", "2026-05-08 09:00:00"}));
}

TEST_F(SchedulerTest, RemovedJobNeverFiresAndAnUpdatedOneFiresAtItsNewTime) {
  const auto gone = add(reminder("2026-05-06 11:00:00", "removed"));
  const auto moved = add(reminder("2026-05-06 11:00:00", "moved"));
  ASSERT_TRUE(store_->remove_job_by_id(gone));
  ASSERT_TRUE(store_->update_job(moved, {{"trigger_args", {{"run_date", "2026-05-06 15:00:00"}}}}));
  run_until(local("2026-05-07 00:00:00"));
  EXPECT_EQ(texts(), std::vector<std::string>{"moved"});
  EXPECT_EQ(local_times(), std::vector<std::string>{"2026-05-06 15:00:00"});
}

// ---- Missed runs ----

TEST_F(SchedulerTest, MissedOneTimeJobsAreSentLateWithinTheGraceAndSkippedBeyondIt) {
  clock_->set(local("2026-05-06 08:00:00"));
  add(reminder("2026-05-06 09:00:00", "way too old"));    // 8h 15m late
  add(reminder("2026-05-06 11:15:00", "exactly grace"));  // 6h 0m late
  add(reminder("2026-05-06 11:16:00", "just inside"));    // 5h 59m late
  add(reminder("2026-05-06 15:00:00", "stretch"));        // 2h 15m late
  clock_->set(local("2026-05-06 17:15:00"));  // the process was down until now
  log::Capture capture;
  run_until(local("2026-05-07 00:00:00"));

  EXPECT_EQ(texts(), (std::vector<std::string>{"⏰ Late by 5h 59m: just inside",
                                               "⏰ Late by 2h 15m: stretch"}));
  EXPECT_EQ(store_->get_jobs(), json::array());
  EXPECT_TRUE(capture.has(log::Level::warning,
                          "⏰ Skipped schedule 1 ('Task'): missed by 8h 15m, the grace is 6h 0m"));
  EXPECT_TRUE(capture.contains(log::Level::warning, "Skipped schedule 2 ('Task'): missed by 6h 0m"));
  EXPECT_EQ(history().back()["content"], "⏰ Late by 2h 15m: stretch");
}

TEST_F(SchedulerTest, MissedRecurringRunsFireOnceThenKeepTheirSchedule) {
  add(job("direct", "Water", "interval", {{"hours", 1}}));  // 11:00, 12:00, ...
  clock_->set(local("2026-05-06 16:30:00"));
  run_until(local("2026-05-06 18:30:00"));
  EXPECT_EQ(texts(), (std::vector<std::string>{"⏰ Late by 5h 30m: Water", "Water", "Water"}));
  EXPECT_EQ(local_times(), (std::vector<std::string>{"2026-05-06 16:30:00", "2026-05-06 17:00:00",
                                                     "2026-05-06 18:00:00"}));
}

TEST_F(SchedulerTest, WallClockSetBackRecomputesRecurringRunsFromTheCorrectedTime) {
  using std::chrono::days;
  add(job("direct", "Morning", "cron", {{"hour", 9}}));  // 2026-05-07 09:00, ...
  scheduler().tick();
  log::Capture capture;
  clock_->jump(days{3});  // set ahead: the missed run is only late
  scheduler().tick();
  add(job("direct", "Evening", "cron", {{"hour", 20}}));  // set while the clock is ahead
  clock_->jump(-days{3});  // corrected to 2026-05-06 10:00
  run_until(local("2026-05-08 12:00:00"));

  // The run already sent (early) is not sent again at its real time.
  EXPECT_EQ(texts(), (std::vector<std::string>{"⏰ Late by 2d 1h 0m: Morning", "Evening", "Evening", "Morning"}));
  EXPECT_EQ(local_times(), (std::vector<std::string>{"2026-05-09 10:00:00", "2026-05-06 20:00:00",
                                                     "2026-05-07 20:00:00", "2026-05-08 09:00:00"}));
  std::vector<std::string> clock_warnings;
  for (const auto& w : capture.messages(log::Level::warning))
    if (w.find("wall clock") != std::string::npos) clock_warnings.push_back(w);
  EXPECT_EQ(clock_warnings, std::vector<std::string>{"⏰ The wall clock went back by 3d 0h 0m; next runs "
                                                     "recomputed from now for 2 recurring job(s)"});
}

// ---- Exactly once across crashes (SQLite file, reopened as a new process would) ----

TEST_F(SchedulerTest, RunRecordedButNeverSentIsDeliveredOnceAfterARestart) {
  reopen_sqlite();
  add(reminder("2026-05-06 11:00:00"));
  clock_->set(local("2026-05-06 11:00:00"));
  {
    CrashingStore crashing(*store_);
    crashing.crash_after_record = true;
    Scheduler dying(bindings(&crashing));
    dying.tick();
  }
  EXPECT_TRUE(sent_.empty());

  clock_->set(local("2026-05-06 11:20:00"));
  reopen_sqlite();
  ASSERT_EQ(store_->pending_runs().size(), 1u);
  EXPECT_EQ(store_->get_jobs(), json::array());
  run_until(local("2026-05-07 00:00:00"));
  EXPECT_EQ(texts(), std::vector<std::string>{"⏰ Late by 20m: Time to stretch, Boss."});

  reopen_sqlite();  // and a further restart sends nothing more
  run_until(local("2026-05-08 00:00:00"));
  EXPECT_EQ(sent_.size(), 1u);
  EXPECT_TRUE(store_->pending_runs().empty());
  EXPECT_EQ(history().size(), 1u);
}

TEST_F(SchedulerTest, CrashAfterTheSendButBeforeItsRecordResendsExactlyOnce) {
  reopen_sqlite();
  add(job("direct", "Water", "interval", {{"hours", 1}}));
  clock_->set(local("2026-05-06 11:00:00"));
  {
    CrashingStore crashing(*store_);
    crashing.crash_on_delivered = true;
    Scheduler dying(bindings(&crashing));
    dying.tick();
  }
  ASSERT_EQ(sent_.size(), 1u);

  reopen_sqlite();
  run_until(local("2026-05-06 11:30:00"));
  // The bridge took the first copy but the process died before recording
  // it: the restart cannot tell, so the owner gets it a second time, once.
  EXPECT_EQ(texts(), (std::vector<std::string>{"Water", "Water"}));
  const auto run = store_->find_run(1);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->state, RunState::delivered);
  reopen_sqlite();
  run_until(local("2026-05-06 12:30:00"));
  EXPECT_EQ(texts(), (std::vector<std::string>{"Water", "Water", "Water"}));  // the 12:00 run
}

// ---- Handing texts on ----

// A text the outbox could not store leaves its run pending; the next round
// (due at once) composes and stores it, and only then is it delivered.
TEST_F(SchedulerTest, RunWhoseTextCouldNotBeStoredStaysPendingAndTheNextRoundStoresIt) {
  store_failures_ = 1;
  add(reminder("2026-05-06 11:00:00"));
  clock_->set(local("2026-05-06 11:00:00"));
  log::Capture capture;
  const auto next = scheduler().tick();
  EXPECT_EQ(next, local("2026-05-06 11:00:00"));
  ASSERT_EQ(store_->pending_runs().size(), 1u);
  EXPECT_TRUE(capture.has(log::Level::error, "Firing schedule 1 ('Task') failed: database is locked"));
  EXPECT_TRUE(capture.messages(log::Level::success).empty());
  EXPECT_EQ(history(), json::array());

  clock_->set(local("2026-05-06 11:00:01"));
  EXPECT_FALSE(scheduler().tick());  // nothing left to wake for
  EXPECT_EQ(texts(), std::vector<std::string>{"Time to stretch, Boss."});
  EXPECT_TRUE(store_->pending_runs().empty());
  EXPECT_EQ(store_->find_run(1)->state, RunState::delivered);
  EXPECT_EQ(history().size(), 1u);
}

// ---- The thread ----

TEST_F(SchedulerTest, ThreadWakesEarlyWhenAJobIsAddedAndStopsPromptly) {
  CrashingStore observed(*store_);
  Bindings b = bindings(&observed);
  b.max_sleep = std::chrono::hours(1);  // only a wake-up can make it act in time
  Scheduler s(b);
  s.start();
  const auto wait_round = [&](auto pred) {
    std::unique_lock lock(observed.mu);
    return observed.cv.wait_for(lock, std::chrono::seconds(5), pred);
  };
  ASSERT_TRUE(wait_round([&] { return observed.rounds >= 1; }));

  add(reminder("2026-05-06 10:01:00", "first"));
  // The thread has seen the job and sleeps for a real minute.
  ASSERT_TRUE(wait_round([&] { return observed.last_next == local("2026-05-06 10:01:00"); }));
  clock_->set(local("2026-05-06 10:02:00"));
  add(reminder("2026-05-06 18:00:00", "second"));  // the change wakes it; "first" is now due
  {
    std::unique_lock lock(mu_);
    ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(5), [&] { return !sent_.empty(); }));
    EXPECT_EQ(sent_[0].text, "⏰ Late by 1m: first");
  }
  const auto before = std::chrono::steady_clock::now();
  s.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_EQ(sent_.size(), 1u);
}

}  // namespace
}  // namespace talmo::scheduler

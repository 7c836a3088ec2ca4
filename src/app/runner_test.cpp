// The conversation runner and its durable inbox: one conversation at a time, crashes, limits.
#include "app/runner.hpp"

#include "core/identity/identity.hpp"
#include "core/scheduler/scheduler.hpp"
#include "core/schedules/schedules.hpp"
#include "support/clock.hpp"
#include "support/log.hpp"

#include <SQLiteCpp/Exception.h>
#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace talmo::app {
namespace {

// A gate the fake conversation waits at until the test opens it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard l(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock l(mu_);
    cv_.wait(l, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Records what the conversations did, in order, and lets the test wait for a count.
class Journal {
 public:
  void add(std::string event) {
    {
      std::lock_guard l(mu_);
      events_.push_back(std::move(event));
    }
    cv_.notify_all();
  }
  bool wait_for(std::size_t n) {
    std::unique_lock l(mu_);
    return cv_.wait_for(l, std::chrono::seconds(10), [&] { return events_.size() >= n; });
  }
  std::vector<std::string> events() {
    std::lock_guard l(mu_);
    return events_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

TEST(ConversationRunner, RunsConversationsOneAtATimeInArrivalOrderWithoutMakingCallersWait) {
  Gate gate;
  Journal journal;
  ConversationRunner runner([&](const std::string& number, const std::string& message) {
    journal.add("start " + number + " " + message);
    if (message == "first") gate.wait();
    journal.add("end " + message);
  });

  runner.enqueue("1", "first");
  journal.wait_for(1);  // the first conversation is running and blocked
  // Queuing more returns at once although the worker is busy.
  runner.enqueue("2", "second");
  runner.enqueue("3", "third");
  EXPECT_EQ(journal.events(), std::vector<std::string>{"start 1 first"});

  gate.open();
  ASSERT_TRUE(journal.wait_for(6));
  runner.stop();
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"start 1 first", "end first", "start 2 second",
                                                         "end second", "start 3 third", "end third"}));
}

TEST(ConversationRunner, ConversationsFromManyThreadsNeverOverlap) {
  std::atomic<int> running{0};
  std::atomic<int> max_running{0};
  std::atomic<int> done{0};
  ConversationRunner runner([&](const std::string&, const std::string&) {
    int now = ++running;
    int seen = max_running.load();
    while (now > seen && !max_running.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::yield();
    --running;
    ++done;
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) runner.enqueue(std::to_string(t), std::to_string(i));
    });
  for (auto& s : senders) s.join();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (done.load() < 200 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  runner.stop();
  EXPECT_EQ(done.load(), 200);
  EXPECT_EQ(max_running.load(), 1);
}

TEST(ConversationRunner, AFailingConversationIsLoggedAndTheWorkerGoesOn) {
  log::set_stderr_enabled(false);
  log::Capture cap;
  Journal journal;
  ConversationRunner runner([&](const std::string& number, const std::string& message) {
    if (message == "boom") throw std::runtime_error("bridge unreachable");
    if (message == "odd") throw 42;
    journal.add(number + ": " + message);
  });
  runner.enqueue("15551234567", "boom");
  runner.enqueue("15551234567", "odd");
  runner.enqueue("15551234567", "still here");
  ASSERT_TRUE(journal.wait_for(1));
  runner.stop();
  log::set_stderr_enabled(true);

  EXPECT_EQ(journal.events(), std::vector<std::string>{"15551234567: still here"});
  auto errors = cap.messages(log::Level::error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("bridge unreachable"), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("15551234567"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("unknown error"), std::string::npos) << errors[1];
}

TEST(ConversationRunner, StopLeavesWaitingMessagesAndGivesTheRunningOneItsGrace) {
  Gate gate;
  Journal journal;
  auto runner = std::make_unique<ConversationRunner>([&](const std::string&, const std::string& message) {
    journal.add("start " + message);
    if (message == "a") gate.wait();
    journal.add("end " + message);
  });
  runner->enqueue("1", "a");
  ASSERT_TRUE(journal.wait_for(1));
  runner->enqueue("1", "b");
  runner->enqueue("1", "c");

  // The running conversation outlives the grace: stop says so instead of waiting.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(runner->stop(std::chrono::milliseconds(50)));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_THROW(runner->enqueue("1", "late"), InboxClosed);

  // Finished within the grace: the worker ends, and what never began stays.
  gate.open();
  EXPECT_TRUE(runner->stop(std::chrono::seconds(10)));
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"start a", "end a"}));
  EXPECT_EQ(runner->inbox().waiting(), 2u);
}

TEST(ConversationRunner, ExclusiveTasksWaitForTheRunningConversationAndConversationsForThem) {
  Gate conversation_gate, task_gate;
  Journal journal;
  ConversationRunner runner([&](const std::string&, const std::string& message) {
    journal.add("start " + message);
    if (message == "a") conversation_gate.wait();
    journal.add("end " + message);
  });
  runner.enqueue("1", "a");
  ASSERT_TRUE(journal.wait_for(1));
  std::thread reminder([&] {
    EXPECT_TRUE(runner.run_exclusive([&] {
      journal.add("reminder");
      task_gate.wait();
      journal.add("reminder done");
    }));
  });
  // The round is queued behind the running conversation, and "b" behind the round.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (runner.tasks_waiting() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(runner.tasks_waiting(), 1u);
  EXPECT_EQ(journal.events(), std::vector<std::string>{"start a"});
  conversation_gate.open();
  ASSERT_TRUE(journal.wait_for(3));
  runner.enqueue("1", "b");
  task_gate.open();
  reminder.join();
  ASSERT_TRUE(journal.wait_for(6));
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"start a", "end a", "reminder", "reminder done",
                                                         "start b", "end b"}));
  // A failure inside the task reaches its caller; after stop nothing runs.
  EXPECT_THROW(runner.run_exclusive([] { throw std::runtime_error("round failed"); }), std::runtime_error);
  runner.stop();
  EXPECT_FALSE(runner.run_exclusive([&] { journal.add("too late"); }));
  EXPECT_EQ(journal.events().size(), 6u);
}

// The owner's memory as the conversations and the reminders write it, with
// the thread of each write.
class WatchedMemory final : public memory::ConversationMemory {
 public:
  void add_message(const std::string& number, const std::string& role, const std::string& content) override {
    {
      std::lock_guard l(mu_);
      inner_->add_message(number, role, content);
      writers_.insert(std::this_thread::get_id());
      ++count_;
    }
    cv_.notify_all();
  }
  json get_history(const std::string& number) override {
    std::lock_guard l(mu_);
    return inner_->get_history(number);
  }
  std::int64_t forget(std::optional<TimePoint> before) override { return inner_->forget(before); }
  json export_entries() override { return inner_->export_entries(); }

  bool wait_for(std::size_t n) {
    std::unique_lock l(mu_);
    return cv_.wait_for(l, std::chrono::seconds(10), [&] { return count_ >= n; });
  }
  std::size_t writers() {
    std::lock_guard l(mu_);
    return writers_.size();
  }

 private:
  std::unique_ptr<memory::ConversationMemory> inner_ = memory::make_memory_memory(50);
  std::mutex mu_;
  std::condition_variable cv_;
  std::set<std::thread::id> writers_;
  std::size_t count_ = 0;
};

// The scheduler's own thread hands its rounds to the runner: a reminder due
// while a conversation runs is stored in the owner's memory only after that
// conversation ends, and a message arriving while a reminder is being
// composed waits for it.
TEST(ConversationRunner, TheSchedulersRoundsTakeTurnsWithConversations) {
  using namespace std::chrono_literals;
  log::set_stderr_enabled(false);
  const TimePoint ten = std::chrono::sys_days{std::chrono::year{2026} / 5 / 6} + 10h;
  auto clock = std::make_shared<FakeClock>(ten);
  auto jobs = schedules::make_memory_job_store(clock, "UTC");
  auto identity = identity::make_memory_store();
  WatchedMemory memory;
  Gate conversation_gate, model_gate;
  Journal journal;
  const auto add = [&](const char* mode, const char* content, const char* at) {
    schedules::NewJob j;
    j.title = "Task";
    j.mode = mode;
    j.fixed_content = content;
    j.trigger_type = "date";
    j.trigger_args = {{"run_date", at}};
    ASSERT_TRUE(jobs->add_job(j).is_object());
  };
  add("direct", "Time to stretch, Boss.", "2026-05-06 10:05:00");
  add("llm", "Wish a good night", "2026-05-06 10:10:00");

  ConversationRunner runner([&](const std::string& number, const std::string& message) {
    memory.add_message(number, "user", message);
    journal.add("start " + message);
    if (message == "a") conversation_gate.wait();  // the model is thinking
    memory.add_message(number, "assistant", "re: " + message);
  });
  scheduler::Bindings b;
  b.send_message = [](const std::string&, const std::string&) { return true; };
  b.get_response_with_system = [&](const json&) -> std::optional<std::string> {
    journal.add("model");
    model_gate.wait();
    return "Good night, Boss.";
  };
  b.format_prompt = [](std::string_view t) { return std::string(t); };
  b.identity_manager = identity.get();
  b.memory_manager = &memory;
  b.web_search_manager = [] { return std::shared_ptr<web_search::Provider>(); };
  b.jobs = jobs.get();
  b.clock = clock;
  b.master = "+15551234567";
  b.run_exclusive = [&](const std::function<void()>& round) { return runner.run_exclusive(round); };
  scheduler::Scheduler scheduler(std::move(b));
  struct OpenAtExit {
    Gate &a, &b;
    ~OpenAtExit() { a.open(), b.open(); }
  } open_at_exit{conversation_gate, model_gate};
  const auto history = [&] {
    std::vector<std::string> out;
    for (const json& e : memory.get_history("15551234567"))
      out.push_back(e["role"].get<std::string>() + ": " + e["content"].get<std::string>());
    return out;
  };

  runner.enqueue("15551234567", "a");
  ASSERT_TRUE(journal.wait_for(1));
  clock->set(ten + 5min);
  scheduler.start();
  // The due round waits in the runner's line, the reminder not yet stored.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (runner.tasks_waiting() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(runner.tasks_waiting(), 1u);
  EXPECT_EQ(history(), std::vector<std::string>{"user: a"});
  conversation_gate.open();
  ASSERT_TRUE(memory.wait_for(3));
  EXPECT_EQ(history(), (std::vector<std::string>{"user: a", "assistant: re: a", "assistant: Time to stretch, Boss."}));

  clock->set(ten + 10min);
  scheduler.wake();
  ASSERT_TRUE(journal.wait_for(2));  // the reminder's model call has begun
  runner.enqueue("15551234567", "b");
  model_gate.open();
  ASSERT_TRUE(memory.wait_for(6));
  EXPECT_EQ(history(), (std::vector<std::string>{"user: a", "assistant: re: a", "assistant: Time to stretch, Boss.",
                                                 "assistant: Good night, Boss.", "user: b", "assistant: re: b"}));
  // Every write to the owner's memory came from the one line of work.
  EXPECT_EQ(memory.writers(), 1u);
  scheduler.stop();
  runner.stop();
  log::set_stderr_enabled(true);
}

TEST(ConversationRunner, InterruptedNoticeQuotesTheFirstFortyCharacters) {
  const std::string forty = "Ünïcödé " + std::string(32, 'x');  // 40 code points, more bytes
  EXPECT_EQ(interrupted_notice("Remind me"),
            "⚠️ I was interrupted while handling your message “Remind me”. Please send it again if it still matters.");
  EXPECT_EQ(interrupted_notice(forty),
            "⚠️ I was interrupted while handling your message “" + forty +
                "”. Please send it again if it still matters.");
  EXPECT_EQ(interrupted_notice(forty + "🙂 more"),
            "⚠️ I was interrupted while handling your message “" + forty +
                "…”. Please send it again if it still matters.");
}

// A database file in a fresh temporary folder, removed with the fixture.
class DurableInboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("talmo-inbox-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_));
    std::filesystem::create_directories(dir_);
    log::set_stderr_enabled(false);
  }
  void TearDown() override {
    log::set_stderr_enabled(true);
    std::filesystem::remove_all(dir_);
  }
  std::unique_ptr<db::Database> open_db() { return std::make_unique<db::Database>((dir_ / "talmo.db").string()); }

  // Memory whose first `failures` stores fail as SQLite does when another
  // process holds the lock, or the disk is full.
  struct FlakyMemory : memory::ConversationMemory {
    std::unique_ptr<memory::ConversationMemory> inner;
    int failures = 0;
    int code = SQLITE_BUSY;
    void add_message(const std::string& n, const std::string& r, const std::string& c) override {
      if (failures > 0) {
        --failures;
        throw SQLite::Exception("database is locked", code);
      }
      inner->add_message(n, r, c);
    }
    json get_history(const std::string& n) override { return inner->get_history(n); }
    std::int64_t forget(std::optional<TimePoint> before) override { return inner->forget(before); }
    json export_entries() override { return inner->export_entries(); }
  };

  static RunnerOptions fast(std::vector<std::string>* notices) {
    RunnerOptions o;
    o.backoff = {std::chrono::milliseconds(1)};
    o.notify = [notices](const std::string& number, const std::string& text, const std::string& key) {
      notices->push_back(number + "|" + text + "|" + key);
    };
    return o;
  }

  std::filesystem::path dir_;
  static inline int counter_ = 0;
};

TEST_F(DurableInboxTest, AfterACrashWaitingMessagesRunInOrderAndAStartedOneIsNoticedOnceNeverRerun) {
  {
    // The earlier process: "done" ended, "begun" stored its message and then
    // the process died, "later" and "last" never began.
    auto db = open_db();
    auto inbox = make_sqlite_inbox(*db);
    for (const char* m : {"done", "begun", "later", "last"}) inbox->push("155", m);
    auto first = inbox->take();
    inbox->start(first->id, [] {});
    inbox->done(first->id);
    auto second = inbox->take();
    ASSERT_EQ(second->message, "begun");
    inbox->start(second->id, [] {});
    ASSERT_EQ(inbox->take()->message, "later");  // handed out, never started: runs again
  }
  std::vector<std::string> notices;
  for (int start = 0; start < 2; ++start) {
    auto db = open_db();
    Journal journal;
    {
      ConversationRunner runner([&](const std::string& n, const std::string& m) { journal.add(n + " " + m); },
                                make_sqlite_inbox(*db), fast(&notices));
      if (start == 0) {
        ASSERT_TRUE(journal.wait_for(2));
      }
      runner.stop();
      EXPECT_EQ(runner.inbox().waiting(), 0u);
    }
    EXPECT_EQ(journal.events(), (start == 0 ? std::vector<std::string>{"155 later", "155 last"}
                                            : std::vector<std::string>{}));
  }
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "155|" + interrupted_notice("begun") + "|interrupted:2");
}

TEST_F(DurableInboxTest, ABusyOrFullDatabaseBeforeTheFirstStoreRetriesAfterItInterrupts) {
  auto db = open_db();
  auto flaky = std::make_unique<FlakyMemory>();
  flaky->inner = memory::make_sqlite_memory(*db, 20);
  FlakyMemory* memory_fault = flaky.get();
  auto memory = mark_start_on_store(std::move(flaky));
  bool fail_after_store = false;
  Journal journal;
  std::vector<std::string> notices;
  {
    ConversationRunner runner(
        [&](const std::string& n, const std::string& m) {
          journal.add("run " + m);
          memory->add_message(n, "user", m);
          if (fail_after_store) throw SQLite::Exception("database or disk is full", SQLITE_FULL);
        },
        make_sqlite_inbox(*db), fast(&notices));
    memory_fault->failures = 2;
    runner.enqueue("155", "first");
    runner.enqueue("155", "second");
    ASSERT_TRUE(journal.wait_for(4));
    ASSERT_TRUE(runner.stop(std::chrono::seconds(10)));
  }
  // Twice refused, then stored once; "second" waited behind it.
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"run first", "run first", "run first", "run second"}));
  EXPECT_EQ(memory->get_history("155"),
            json::parse(R"([{"role":"user","content":"first"},{"role":"user","content":"second"}])"));
  EXPECT_TRUE(notices.empty());

  // Full after the store: actions may have run, so the owner is told instead.
  fail_after_store = true;
  Journal after;
  {
    ConversationRunner runner(
        [&](const std::string& n, const std::string& m) {
          after.add("run " + m);
          memory->add_message(n, "user", m);
          if (fail_after_store) throw SQLite::Exception("database or disk is full", SQLITE_FULL);
        },
        make_sqlite_inbox(*db), fast(&notices));
    runner.enqueue("155", "third");
    ASSERT_TRUE(after.wait_for(1));
    runner.stop();
    EXPECT_EQ(runner.inbox().waiting(), 0u);
  }
  EXPECT_EQ(after.events(), std::vector<std::string>{"run third"});
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find(interrupted_notice("third")), std::string::npos);
}

TEST_F(DurableInboxTest, PastEitherLimitNothingIsStoredUntilTheInboxDrains) {
  auto db = open_db();
  {
    auto inbox = make_sqlite_inbox(*db, InboxLimits{2, 10});
    inbox->push("1", "aaaa");
    EXPECT_THROW(inbox->push("1", "bbbbbbb"), InboxFull);  // 11 bytes
    inbox->push("1", "bbbb");
    EXPECT_THROW(inbox->push("1", "c"), InboxFull);  // a third message
  }
  // The counts survive a restart, and room comes back as messages are done.
  auto inbox = make_sqlite_inbox(*db, InboxLimits{2, 10});
  EXPECT_EQ(inbox->waiting(), 2u);
  EXPECT_THROW(inbox->push("1", "c"), InboxFull);
  inbox->done(inbox->take()->id);
  inbox->push("1", "c");
  EXPECT_EQ(inbox->take()->message, "bbbb");
  EXPECT_EQ(inbox->take()->message, "c");
  EXPECT_FALSE(inbox->take());
}
}  // namespace
}  // namespace talmo::app

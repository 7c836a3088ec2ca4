#include "app/runner.hpp"

#include "support/log.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
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
  void wait_for(std::size_t n) {
    std::unique_lock l(mu_);
    cv_.wait(l, [&] { return events_.size() >= n; });
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
  runner.stop();
  log::set_stderr_enabled(true);

  EXPECT_EQ(journal.events(), std::vector<std::string>{"15551234567: still here"});
  auto errors = cap.messages(log::Level::error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("bridge unreachable"), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("15551234567"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("unknown error"), std::string::npos) << errors[1];
}

TEST(ConversationRunner, StopFinishesWhatIsQueuedThenRefusesMore) {
  Gate gate;
  Journal journal;
  ConversationRunner runner([&](const std::string&, const std::string& message) {
    journal.add("start " + message);
    if (message == "a") gate.wait();
    journal.add("end " + message);
  });
  runner.enqueue("1", "a");
  journal.wait_for(1);
  runner.enqueue("1", "b");
  runner.enqueue("1", "c");

  std::thread stopper([&] { runner.stop(); });
  // However stop() and the running conversation meet, the queue is run to its end.
  gate.open();
  stopper.join();
  EXPECT_EQ(journal.events().size(), 6u);
  EXPECT_EQ(journal.events().back(), "end c");

  EXPECT_THROW(runner.enqueue("1", "late"), InboxClosed);
  runner.stop();  // idempotent
  EXPECT_EQ(journal.events().size(), 6u);
}

TEST(MemoryInbox, HandsOutInOrderAndDrainsAfterClose) {
  auto inbox = make_memory_inbox();
  auto a = inbox->push("1", "a");
  auto b = inbox->push("2", "b");
  EXPECT_LT(a, b);
  EXPECT_EQ(inbox->waiting(), 2u);
  inbox->close();
  EXPECT_THROW(inbox->push("3", "c"), InboxClosed);
  auto first = inbox->next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->id, a);
  EXPECT_EQ(first->message, "a");
  auto second = inbox->next();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->number, "2");
  EXPECT_FALSE(inbox->next());
  EXPECT_EQ(inbox->waiting(), 0u);
}

}  // namespace
}  // namespace talmo::app

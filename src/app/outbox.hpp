// The outbox: every text for the owner (conversation replies, interim
// replies, notices, reminders) is stored in talmo.db first and delivered to
// the bridge from there, in order, by one sender thread.
//
// Delivery guarantees:
// - Texts go out in the order they were stored. A text the bridge cannot
//   take now is retried after each delay of `backoff` in turn, and the texts
//   behind it wait; after the last retry it is marked failed with an error
//   line and the next one goes. A text the bridge refuses outright is marked
//   failed at once.
// - A text is marked sent right after the bridge confirmed it. A process
//   that dies between the bridge's confirmation and that mark sends the text
//   once more after the restart: the bridge takes no idempotency key, so
//   this one window is at-least-once (never more than twice). Everywhere
//   else a text is sent exactly once.
// - A text stored under a key is stored only once per key, so a step that is
//   repeated after a crash (a reminder run, an interruption notice) does not
//   queue its text twice.
#pragma once

#include "support/clock.hpp"
#include "support/db.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace talmo::app {

// What one attempt to hand a text to the bridge came to.
enum class Delivery {
  delivered,  // the bridge confirmed it
  retry,      // the bridge could not take it now (down, time-out, 5xx)
  refused,    // the bridge will never take it (a 4xx answer)
};

struct OutboxOptions {
  // One attempt (sendwire::deliver in production). Must not throw.
  std::function<Delivery(const std::string& number, const std::string& text)> send;
  std::shared_ptr<Clock> clock;
  // Delays between attempts: one attempt, then one retry after each delay.
  std::vector<std::chrono::seconds> backoff = {std::chrono::seconds(10), std::chrono::seconds(30),
                                               std::chrono::minutes(2), std::chrono::minutes(10)};
  // The sender thread looks again at least this often, so a jump of the
  // wall clock is noticed.
  std::chrono::milliseconds max_sleep = std::chrono::seconds(30);
  // Sent and failed texts older than this are deleted when the outbox opens.
  std::chrono::hours keep = std::chrono::hours(24 * 30);
};

// Thread safety: every member may be called from any thread.
class Outbox {
 public:
  // Opens the outbox in `db` (table `outbox`, schema component "outbox");
  // `db` must outlive it. Throws std::invalid_argument without `send` or
  // `clock`, and the store's error when the table cannot be made.
  Outbox(db::Database& db, OutboxOptions options);
  ~Outbox();  // stops the thread as stop() does, however long it takes
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Stores `text` for `number` behind every text stored before, committed
  // when it returns, and wakes the sender. With a non-empty `key` that was
  // stored before, stores nothing and returns false. Throws the store's
  // error (nothing stored).
  bool enqueue(const std::string& number, const std::string& text, const std::string& key = "");

  // One round at the clock's present time: sends waiting texts oldest first
  // until one is not yet due or cannot be delivered. Answers when the next
  // attempt is due, or nothing when no text waits.
  std::optional<TimePoint> deliver_due();

  // Runs rounds on a thread of its own until stop(). Calling twice has no effect.
  void start();
  // Makes the thread do one last round and end; waits for it up to `grace`.
  // True when the thread has ended (or never ran).
  bool stop(std::chrono::milliseconds grace = std::chrono::milliseconds::max());

  // Texts not yet sent or failed.
  std::size_t pending() const;

 private:
  void thread_main();

  db::Database& db_;
  OutboxOptions options_;
  std::mutex round_mu_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool woken_ = false;
  bool stop_ = false;
  bool ended_ = true;
  std::thread thread_;
};

}  // namespace talmo::app

// The outbox: every text for the owner (conversation replies, interim
// replies, notices, reminders) is stored in talmo.db first and delivered to
// the bridge from there, in order, by one sender thread. It goes one way
// only, from Talmo to the owner; messages coming in from WhatsApp wait in the
// bridge's own queue (TalmoQueue, whose file is still called outbox.json).
//
// Delivery guarantees:
// - Texts go out in the order they were stored. A text the bridge cannot
//   take now is retried after each delay of `backoff` in turn, then after
//   the last delay again and again, and the texts behind it wait. When an
//   attempt still fails `give_up_after` (a day) after the text was stored,
//   it is marked failed with an error line and the next one goes. A text
//   the bridge refuses outright (a 4xx answer, such as WhatsApp refusing it)
//   is marked failed at once.
// - After a failed attempt the outbox asks the bridge every `poll_every`
//   whether WhatsApp is connected; once it is again, the waiting texts go
//   out at once instead of at their next back-off step. A newly stored text
//   makes one immediate try of the head of the queue.
// - Each text has a random 128-bit id, sent with every attempt. The bridge
//   answers 200 only once WhatsApp's server has the text, and sends a text
//   whose id it already delivered only once. So a text is delivered exactly
//   once: a process that dies between the bridge's confirmation and the
//   mark "sent" sends it again after the restart, and the bridge answers
//   200 without sending it.
// - The windows that remain: (1) the bridge remembers the last 5,000
//   delivered ids, so a text replayed after more newer texts than that went
//   out would be sent twice; (2) a text WhatsApp's server took whose ack
//   never reached the bridge (the connection died between the two, or the
//   ack came after the bridge's 15 s bound and after Talmo's retry) is sent
//   again under the same WhatsApp message id (whether the owner's phone
//   then shows it once is up to WhatsApp, not checked against a real
//   phone); (3) a bridge whose data folder is lost forgets
//   its delivered ids; (4) a text given up after a day is never delivered.
// - A text stored under a key is stored only once per key, so a step that is
//   repeated after a crash (a reminder run, an interruption notice) does not
//   queue its text twice.
// - A text stored with a due time (a reminder) that reaches the bridge a
//   minute or more after it carries `late_label`'s prefix, computed at
//   delivery, once.
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
  // One attempt (sendwire::deliver in production), with the text's id (32
  // hex digits, the same on every attempt). Must not throw.
  std::function<Delivery(const std::string& number, const std::string& text, const std::string& id)> send;
  std::shared_ptr<Clock> clock;
  // Whether the bridge has WhatsApp connected now (GET /status in
  // production). Unset: no polling, only the back-off. Must not throw.
  std::function<bool()> bridge_ready;
  std::chrono::milliseconds poll_every = std::chrono::seconds(3);
  // Delays between attempts; the last one repeats until `give_up_after`.
  std::vector<std::chrono::seconds> backoff = {std::chrono::seconds(10), std::chrono::seconds(30),
                                               std::chrono::minutes(2), std::chrono::minutes(5)};
  // How long after it was stored a text is still tried.
  std::chrono::seconds give_up_after = std::chrono::hours(24);
  // The prefix for a text with a due time delivered `lateness` after it
  // ("" when it is not late). Unset: due times are ignored.
  std::function<std::string(std::chrono::seconds lateness)> late_label;
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
  // when it returns, and wakes the sender for one try of the head of the
  // queue. With a non-empty `key` that was stored before, stores nothing and
  // returns false. `due`: when the text was meant to reach the owner, for
  // the late label. Throws the store's error (nothing stored).
  bool enqueue(const std::string& number, const std::string& text, const std::string& key = "",
               std::optional<TimePoint> due = std::nullopt);

  // One round at the clock's present time: sends waiting texts oldest first
  // until one is not yet due or cannot be delivered, asking the bridge
  // whether it is back when a poll is due. Answers when it needs to run
  // again (the next attempt or poll), or nothing when no text waits.
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
  // Guarded by round_mu_: when the bridge is asked next, and whether it was
  // seen without WhatsApp since the last failed attempt.
  TimePoint next_poll_{};
  bool seen_down_ = false;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool woken_ = false;
  bool nudged_ = false;  // a text was stored: try the head once, whatever its back-off
  bool stop_ = false;
  bool ended_ = true;
  std::thread thread_;
};

// How many texts were marked failed at or after `since`, in the outbox of
// `db` (0 when it has none yet). For `talmo doctor`, on its own connection.
std::int64_t failed_since(SQLite::Database& db, TimePoint since);

}  // namespace talmo::app

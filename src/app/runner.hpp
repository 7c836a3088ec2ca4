// The owner's single line of work: owner messages from the inbox, and the
// reminder scheduler's rounds, run one at a time on one worker thread, after
// the webhook has answered.
#pragma once

#include "app/inbox.hpp"
#include "core/memory/memory.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talmo::app {

// "⚠️ I was interrupted while handling your message “<its first 40
// characters, then … when longer>”. Please send it again if it still matters."
std::string interrupted_notice(const std::string& message);

struct RunnerOptions {
  // Gives the owner a notice (the interruption notice): stores it for
  // delivery, at most once per `key`, or throws. Unset: the notice is only
  // logged.
  std::function<void(const std::string& number, const std::string& text, const std::string& key)> notify;
  // Waits between attempts while the database is busy or full; the last
  // one repeats until the attempt succeeds or the runner stops.
  std::vector<std::chrono::milliseconds> backoff = {std::chrono::seconds(1), std::chrono::seconds(2),
                                                    std::chrono::seconds(5), std::chrono::seconds(10),
                                                    std::chrono::seconds(30)};
};

// Runs conversations from an inbox on its own worker thread.
//
// - Conversations never interleave with each other or with exclusive tasks
//   (reminder rounds): one ends before the next begins.
// - On start, messages an earlier process had begun but not finished are
//   settled first: the owner gets interrupted_notice() for each (once), and
//   they are never run again. Then waiting messages run in arrival order.
// - A conversation's first lasting effect goes through first_effect(), which
//   marks its message started in the same step. When the database is busy or
//   full before that, the message stays in the inbox and is tried again
//   after a back-off (later messages wait behind it). When it fails that way
//   after it, actions may have run: the conversation counts as interrupted
//   and the owner gets the notice.
// - Any other failure escaping a conversation is logged at error level with
//   its text; the message is done and the worker goes on.
//
// Thread safety: enqueue(), run_exclusive() and stop() may be called from
// any thread except the worker itself.
class ConversationRunner {
 public:
  using Handler = std::function<void(const std::string& number, const std::string& message)>;

  // Starts the worker at once. `handle` runs each conversation.
  explicit ConversationRunner(Handler handle, std::unique_ptr<Inbox> inbox = make_memory_inbox(),
                              RunnerOptions options = {});
  // Stops as stop() does, waiting as long as the running work takes.
  ~ConversationRunner();
  ConversationRunner(const ConversationRunner&) = delete;
  ConversationRunner& operator=(const ConversationRunner&) = delete;

  // Stores one message behind those already waiting and never waits for a
  // conversation. Throws what Inbox::push throws (InboxClosed after stop()
  // began, InboxFull, a store error): then nothing was stored.
  void enqueue(const std::string& number, const std::string& message);

  // Runs `task` on the worker between two conversations and waits for it to
  // end; rethrows what it throws. False, without running it, once stop()
  // has begun.
  bool run_exclusive(const std::function<void()>& task);

  // Stops taking work and waits up to `grace` for the running conversation
  // or task. True when the worker has ended; false when it is still running
  // at the end of the grace (its message stays in the inbox as started, or
  // as waiting when it had made no lasting change). Messages not yet begun
  // stay in the inbox for the next start. Repeatable.
  bool stop(std::chrono::milliseconds grace = std::chrono::milliseconds::max());

  // Runs `effect`, the running conversation's first lasting change, and
  // marks its message started with it. Outside a conversation of this
  // runner's worker (or after the first time), simply runs `effect`.
  static void first_effect(const std::function<void()>& effect);

  Inbox& inbox() { return *inbox_; }
  // Exclusive tasks waiting for their turn.
  std::size_t tasks_waiting();

 private:
  struct Task;

  void work();
  void settle_interrupted(const QueuedConversation& c);
  void run_conversation(const QueuedConversation& c);
  // Waits the back-off for attempt `attempt`; true when stop() began.
  bool back_off(std::size_t attempt);
  bool stopping();

  Handler handle_;
  std::unique_ptr<Inbox> inbox_;
  RunnerOptions options_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable ended_cv_;
  std::deque<std::shared_ptr<Task>> tasks_;
  std::uint64_t pushed_ = 0;  // bumped by enqueue to wake the worker
  bool stopping_ = false;
  bool ended_ = false;
  std::mutex join_mu_;
  std::thread worker_;
};

// Wraps the conversation memory so that storing a message is a
// conversation's first lasting effect (see ConversationRunner::first_effect).
std::unique_ptr<memory::ConversationMemory> mark_start_on_store(
    std::unique_ptr<memory::ConversationMemory> inner);

}  // namespace talmo::app

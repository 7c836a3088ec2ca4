// The background conversation runner: owner messages wait in an inbox and
// run one at a time, in arrival order, on one worker thread, after the
// webhook has answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace talmo::app {

// One queued owner message.
struct QueuedConversation {
  std::uint64_t id = 0;
  std::string number;
  std::string message;
};

// Thrown by Inbox::push (and so by ConversationRunner::enqueue) once the
// inbox is closed: the message was not queued.
struct InboxClosed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where conversations wait for the worker. The in-memory inbox forgets what
// waits when the process dies; a durable inbox keeps the same contract and
// hands out again, after a restart, whatever was pushed but never marked done.
//
// Thread safety: every member may be called from any thread.
class Inbox {
 public:
  virtual ~Inbox() = default;
  // Appends a conversation and returns its id. Throws InboxClosed after close().
  virtual std::uint64_t push(const std::string& number, const std::string& message) = 0;
  // Blocks until a conversation is waiting and hands out the oldest one; once
  // the inbox is closed and empty, returns nothing.
  virtual std::optional<QueuedConversation> next() = 0;
  // The conversation handed out under `id` has run (whatever its outcome).
  virtual void done(std::uint64_t id) = 0;
  // Refuses further pushes and wakes a waiting next(); what waits still drains.
  virtual void close() = 0;
  // Conversations pushed but not yet handed out.
  virtual std::size_t waiting() const = 0;
};

std::unique_ptr<Inbox> make_memory_inbox();

// Runs conversations from an inbox on its own worker thread.
//
// Conversations never interleave: one ends before the next begins. A failure
// escaping a conversation is logged at error level with its text and the
// worker goes on with the next one. enqueue() never waits for a conversation.
//
// Thread safety: enqueue() and stop() may be called from any thread except
// the worker itself (a conversation must not stop its own runner).
class ConversationRunner {
 public:
  using Handler = std::function<void(const std::string& number, const std::string& message)>;

  // Starts the worker at once. `handle` runs each conversation.
  explicit ConversationRunner(Handler handle, std::unique_ptr<Inbox> inbox = make_memory_inbox());
  // Stops as stop() does.
  ~ConversationRunner();
  ConversationRunner(const ConversationRunner&) = delete;
  ConversationRunner& operator=(const ConversationRunner&) = delete;

  // Queues one conversation behind those already waiting. Throws InboxClosed
  // after stop() began.
  void enqueue(const std::string& number, const std::string& message);

  // Stops accepting, lets the worker finish every queued conversation, and
  // joins it. Idempotent.
  void stop();

 private:
  void work();

  Handler handle_;
  std::unique_ptr<Inbox> inbox_;
  std::mutex stop_mu_;
  std::thread worker_;
};

}  // namespace talmo::app

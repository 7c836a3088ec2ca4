// The inbox: owner messages accepted by the webhooks, waiting for their
// conversation. The durable inbox keeps them in talmo.db, so a message
// answered "received" outlives a crash.
#pragma once

#include "support/db.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talmo::app {

// One owner message waiting for, or in, its conversation.
struct QueuedConversation {
  std::uint64_t id = 0;
  std::string number;
  std::string message;
};

// Thrown by Inbox::push once the inbox is closed: nothing was stored.
struct InboxClosed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Thrown by Inbox::push when the message would take the inbox past one of
// its limits: nothing was stored. The text says which limit, for the owner.
struct InboxFull : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// How much may wait. A webhook answers "received" only for what fits, so a
// stalled model or a flood cannot grow the inbox (and the disk) without end.
struct InboxLimits {
  std::size_t max_messages = 1000;
  std::size_t max_bytes = 64u << 20;  // message texts, in UTF-8 bytes
};

// Where owner messages wait. Every message is in one of three states:
// waiting (pushed, its conversation has made no lasting change yet), started
// (its first lasting effect is recorded), or gone (done).
//
// Thread safety: every member may be called from any thread.
class Inbox {
 public:
  virtual ~Inbox() = default;
  // Stores a message behind those already waiting and returns its id; a
  // durable inbox has committed it when push returns. Throws InboxClosed
  // after close(), InboxFull past the limits, and the store's error when it
  // cannot write (nothing stored in every case).
  virtual std::uint64_t push(const std::string& number, const std::string& message) = 0;
  // The oldest waiting message not yet handed out by this object, or nothing.
  // Never blocks. Messages started in an earlier process are not handed out
  // (see interrupted()).
  virtual std::optional<QueuedConversation> take() = 0;
  // Runs `first_effect` (the conversation's first lasting change) and marks
  // the message started, together: a durable inbox does both in one
  // transaction, so after a crash the message is either re-run from scratch
  // or known to have begun, never both. Throws what `first_effect` or the
  // store throws, and then neither happened.
  virtual void start(std::uint64_t id, const std::function<void()>& first_effect) = 0;
  // The message's conversation has ended (whatever its outcome): it is gone.
  virtual void done(std::uint64_t id) = 0;
  // Messages that had started but never ended when an earlier process
  // stopped, oldest first. They stay until done().
  virtual std::vector<QueuedConversation> interrupted() = 0;
  // Refuses further pushes; what waits stays.
  virtual void close() = 0;
  // Messages stored and not yet done (waiting or started).
  virtual std::size_t waiting() const = 0;
};

// Forgets everything with the process; for tests and front ends without a
// database.
std::unique_ptr<Inbox> make_memory_inbox(InboxLimits limits = {});

// The durable inbox in `db` (table `inbox`, schema component "inbox"); `db`
// must outlive it. Throws the store's error when the table cannot be made.
std::unique_ptr<Inbox> make_sqlite_inbox(db::Database& db, InboxLimits limits = {});

}  // namespace talmo::app

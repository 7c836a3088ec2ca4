// A module's process-wide bindings: one immutable snapshot, replaced whole by
// bind() and read without a lock on the hot path.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace talmo {

namespace bound_detail {
// Every published snapshot gets a stamp no other snapshot of any Bound has
// had, so a thread's cached copy can never be mistaken for another's.
inline std::atomic<std::uint64_t> next_stamp{1};
}  // namespace bound_detail

// Holds the current snapshot of a T. Thread safety: bind() and get() may run
// at the same time from any threads.
//
// Readers pay one atomic load while nothing changed: each thread keeps its
// own copy of the snapshot and takes the lock only after a bind(). Shared
// request paths run on several threads at once, and a shared lock or
// reference count on every read would make them queue behind each other.
//
// A snapshot is never changed once published, and lives as long as anyone
// holds it: a reader that copied the pointer keeps using the old bindings
// while a writer swaps in new ones. The cost is that a thread's copy keeps
// the last snapshot it saw alive until its next get() after a bind(), or
// until the thread ends. Two Bound of one T share each thread's copy: a
// thread that alternates between them takes the lock on every switch.
template <class T>
class Bound {
 public:
  explicit Bound(T initial = T{}) { bind(std::move(initial)); }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;

  // Publishes `value`; every get() that starts afterwards sees it.
  void bind(T value) {
    auto next = std::make_shared<const T>(std::move(value));
    std::shared_ptr<const T> old;
    {
      std::lock_guard lock(mu_);
      old = std::exchange(current_, std::move(next));
      stamp_.store(bound_detail::next_stamp.fetch_add(1, std::memory_order_relaxed), std::memory_order_release);
    }
    // `old` is released here, outside the lock, in case T's destructor is slow.
  }

  // The current snapshot, never null. The reference stays valid on this
  // thread until its next get() of a Bound<T> after a bind(); copy the
  // pointer to hold the snapshot longer.
  const std::shared_ptr<const T>& get() const {
    struct Seen {
      std::uint64_t stamp = 0;
      std::shared_ptr<const T> value;
    };
    thread_local Seen seen;
    if (seen.stamp != stamp_.load(std::memory_order_acquire)) {
      std::shared_ptr<const T> old;  // released after the lock
      std::lock_guard lock(mu_);
      old = std::exchange(seen.value, current_);
      seen.stamp = stamp_.load(std::memory_order_relaxed);
    }
    return seen.value;
  }

 private:
  mutable std::mutex mu_;             // guards current_; stamp_ changes only under it
  std::shared_ptr<const T> current_;
  std::atomic<std::uint64_t> stamp_{0};
};

}  // namespace talmo

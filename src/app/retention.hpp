// History retention: the running server deletes conversation memory older
// than HISTORY_RETENTION_DAYS once a day.
#pragma once

#include "core/memory/memory.hpp"
#include "support/clock.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace talmo::app {

// Thread safety: tick, start and stop may be called from any thread.
class Retention {
 public:
  // `days` must be at least 1 (else std::invalid_argument); `memory` must
  // outlive the object.
  Retention(memory::ConversationMemory& memory, std::shared_ptr<Clock> clock, int days);
  ~Retention();  // stops as stop() does
  Retention(const Retention&) = delete;
  Retention& operator=(const Retention&) = delete;

  // One round at the clock's present time: when no prune ran yet, or a day
  // has passed since the last one, deletes the entries stored more than
  // `days` days before now and those without a time, logs how many, and
  // answers the count; otherwise nothing happens and the answer is empty.
  std::optional<std::int64_t> tick();

  // Runs rounds on a background thread (the first one at once) until stop().
  // A round that fails is logged at error and tried again an hour later.
  void start();
  void stop();  // idempotent

 private:
  void thread_main();

  memory::ConversationMemory& memory_;
  const std::shared_ptr<Clock> clock_;
  const std::chrono::hours keep_;
  std::optional<TimePoint> next_due_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace talmo::app

#include "app/retention.hpp"

#include "support/log.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace talmo::app {

using namespace std::chrono_literals;

Retention::Retention(memory::ConversationMemory& memory, std::shared_ptr<Clock> clock, int days)
    : memory_(memory), clock_(std::move(clock)), keep_(std::chrono::hours(24) * days) {
  if (days < 1) throw std::invalid_argument("the retention must be at least one day, got " + std::to_string(days));
}

Retention::~Retention() { stop(); }

std::optional<std::int64_t> Retention::tick() {
  std::lock_guard lock(mu_);
  const TimePoint now = clock_->now();
  if (next_due_ && now < *next_due_) return std::nullopt;
  const std::int64_t deleted = memory_.forget(now - keep_);
  next_due_ = now + 24h;
  if (deleted > 0)
    log::info("History retention: deleted " + std::to_string(deleted) + " conversation entries older than " +
              std::to_string(keep_.count() / 24) + " days");
  return deleted;
}

void Retention::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(mu_);
    stop_ = false;
  }
  thread_ = std::thread([this] { thread_main(); });
}

void Retention::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Retention::thread_main() {
  for (;;) {
    std::chrono::system_clock::duration wait = 1h;
    bool failed = false;
    try {
      tick();
    } catch (const std::exception& e) {
      log::error(std::string("History retention failed: ") + e.what());
      failed = true;
    }
    std::unique_lock lock(mu_);
    if (next_due_ && !failed) wait = std::clamp<std::chrono::system_clock::duration>(*next_due_ - clock_->now(), 1s, 1h);
    // Never more than an hour asleep, so a jump of the wall clock is noticed.
    if (cv_.wait_for(lock, wait, [this] { return stop_; })) return;
  }
}

}  // namespace talmo::app

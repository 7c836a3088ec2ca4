// The clock, behind an interface so tests move time instead of sleeping.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

namespace talmo {

using TimePoint = std::chrono::system_clock::time_point;

// Thread safety: implementations are safe for concurrent use.
class Clock {
 public:
  virtual ~Clock() = default;
  // The present instant (UTC based; time zones are applied by callers).
  virtual TimePoint now() const = 0;
};

// The machine's clock. The returned object lives for the whole process.
std::shared_ptr<Clock> system_clock();

// A clock that stands still until the test moves it.
class FakeClock : public Clock {
 public:
  explicit FakeClock(TimePoint start) : now_(start) {}
  TimePoint now() const override {
    std::lock_guard l(mu_);
    return now_;
  }
  void set(TimePoint t) {
    std::lock_guard l(mu_);
    now_ = t;
  }
  void advance(std::chrono::system_clock::duration d) {
    std::lock_guard l(mu_);
    now_ += d;
  }

 private:
  mutable std::mutex mu_;
  TimePoint now_;
};

}  // namespace talmo

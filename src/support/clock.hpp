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
  // A reading that moves only forward, as time passes, whatever happens to
  // the wall clock: set against now() it tells that the wall clock was set.
  virtual std::chrono::steady_clock::time_point monotonic() const = 0;
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
  std::chrono::steady_clock::time_point monotonic() const override {
    std::lock_guard l(mu_);
    return mono_;
  }
  // Time passes until `t`; an earlier `t` sets the wall clock back as jump() does.
  void set(TimePoint t) {
    std::lock_guard l(mu_);
    if (t > now_) mono_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(t - now_);
    now_ = t;
  }
  // Time passes: both readings move.
  void advance(std::chrono::system_clock::duration d) {
    std::lock_guard l(mu_);
    now_ += d;
    mono_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(d);
  }
  // The wall clock is set (forward or back) while no time passes.
  void jump(std::chrono::system_clock::duration d) {
    std::lock_guard l(mu_);
    now_ += d;
  }

 private:
  mutable std::mutex mu_;
  TimePoint now_;
  std::chrono::steady_clock::time_point mono_{std::chrono::hours{1}};
};

}  // namespace talmo

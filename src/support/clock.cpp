#include "support/clock.hpp"

namespace talmo {

namespace {
class SystemClock : public Clock {
 public:
  TimePoint now() const override { return std::chrono::system_clock::now(); }
  std::chrono::steady_clock::time_point monotonic() const override { return std::chrono::steady_clock::now(); }
};
}  // namespace

std::shared_ptr<Clock> system_clock() {
  static auto clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace talmo

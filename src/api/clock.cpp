// The steady clock as the typed API's kavro::Clock.
#include "kavro/clock.h"

#include <chrono>
#include <thread>

#include "kavro/link.h"
#include "platform/platform.h"

namespace kavro {

namespace {

class Steady final : public Clock {
 public:
  std::uint64_t NowMicroseconds() override { return SteadyMicroseconds(); }
  void SleepUntil(std::uint64_t deadline_us) override {
    const std::uint64_t now = SteadyMicroseconds();
    if (now < deadline_us)
      platform::SleepMicroseconds(deadline_us - now);
  }
};

}  // namespace

Clock& SteadyClock() {
  static Steady clock;  // no state: every board may share it
  return clock;
}

}  // namespace kavro

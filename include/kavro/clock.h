// The time the typed API schedules on: monotonic microseconds and a wait until a deadline.
// Injectable, so that tests and the board emulator can run it on virtual time.
#ifndef KAVRO_CLOCK_H
#define KAVRO_CLOCK_H

#include <cstdint>

#include "kavro/export.h"

namespace kavro {

class KAVRO_API Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in microseconds.
  virtual std::uint64_t NowMicroseconds() = 0;
  // Waits until NowMicroseconds() reaches deadline_us. May return early; callers loop.
  virtual void SleepUntil(std::uint64_t deadline_us) = 0;
};

// std::chrono::steady_clock and a sleeping wait. Stateless; shared by every board.
KAVRO_API Clock& SteadyClock();

}  // namespace kavro

#endif  // KAVRO_CLOCK_H

// Sums and multiples of times and delays on the library's microsecond clocks. They stop at the
// clock's last microsecond instead of wrapping round to its start, so that a due time far away
// stays far away instead of falling due at once.
#ifndef KAVRO_CLOCK_SUM_H
#define KAVRO_CLOCK_SUM_H

#include <cstdint>
#include <limits>

namespace kavro::detail {

constexpr std::uint64_t kClockEnd = std::numeric_limits<std::uint64_t>::max();

// True when delay_us can be added to time_us without passing the clock's end.
constexpr bool FitsOnClock(std::uint64_t time_us, std::uint64_t delay_us) {
  return delay_us <= kClockEnd - time_us;
}

// time_us + delay_us, or the clock's end.
constexpr std::uint64_t LaterBy(std::uint64_t time_us, std::uint64_t delay_us) {
  return FitsOnClock(time_us, delay_us) ? time_us + delay_us : kClockEnd;
}

// k * interval_us, or the clock's end.
constexpr std::uint64_t Intervals(std::uint64_t k, std::uint64_t interval_us) {
  return interval_us != 0 && k > kClockEnd / interval_us ? kClockEnd : k * interval_us;
}

}  // namespace kavro::detail

#endif  // KAVRO_CLOCK_SUM_H

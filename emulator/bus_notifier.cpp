// The thread of a bus on the real clock that delivers bytes when they fall due.
#include <algorithm>

#include "kavro_emulator.h"

namespace kavro::emu {

// The bridges' USB side on the real clock: bytes reach the receive queue when they fall due
// and the notification is signalled then, as a D2XX library's own reader thread does.
void VirtualBus::Notify() {
  Lock lock = Hold();
  while (!stopping_) {
    std::uint64_t next = UINT64_MAX;
    for (Device& d : devices_) {
      if (!d.open || !d.on_rx) continue;
      Deliver(d);
      if (!d.pending.empty()) next = std::min(next, d.pending.front().due_us);
    }
    if (next == UINT64_MAX) {
      changed_.wait(lock);
    } else {
      SleepUntil(lock, next);
    }
    RunSchedule();
  }
}

}  // namespace kavro::emu

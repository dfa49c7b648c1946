// The bus clock (virtual time, or real time since the bus was made) and the waits on it: a
// sleep until a deadline, and the wait for received bytes.
#include <algorithm>
#include <chrono>
#include <thread>

#include "kavro_emulator.h"

namespace kavro::emu {

namespace {

// A timed sleep is asked to end this much earlier than its learnt lateness alone would say; the
// thread waits out the rest awake, so it wakes when it should rather than a little after.
constexpr std::uint64_t kWakeMarginUs = 1;
// A sleep that ends later than the learnt lateness by more than this was held up by a busy
// machine, not by the timer: it counts as only this much later.
constexpr std::uint64_t kLateOutlierUs = 20;

}  // namespace

std::uint64_t VirtualBus::now_us() const {
  Lock lock(mutex_);
  return TimeNow();
}

std::uint64_t VirtualBus::TimeNow() const {
  return clock_ == Clock::kVirtual ? now_us_ : kavro::SteadyMicroseconds() - real_start_us_;
}

std::uint64_t VirtualBus::NowMicroseconds() {
  Lock lock = Hold();
  return TimeNow();
}

void VirtualBus::AdvanceTo(std::uint64_t deadline_us) {
  if (clock_ == Clock::kReal) {
    const std::uint64_t now = now_us();
    if (now < deadline_us)
      std::this_thread::sleep_for(std::chrono::microseconds(deadline_us - now));
    return;
  }
  {
    Lock lock(mutex_);
    if (now_us_ < deadline_us) now_us_ = deadline_us;
  }
  Hold();  // the scheduled unplugs and replugs now due
}

std::uint64_t VirtualBus::NextEvent(const Device* only, std::uint64_t limit) const {
  std::uint64_t next = limit;
  for (const Device& d : devices_) {
    if ((only == nullptr ? d.open : &d == only) && !d.pending.empty())
      next = std::min(next, d.pending.front().due_us);
  }
  for (const ScheduledUnplug& s : schedule_)
    next = std::min(next, s.unplugged ? s.replug_at_us : s.unplug_at_us);
  return next;
}

bool VirtualBus::SleepUntil(Lock& lock, std::uint64_t wake_us) {
  // A timed sleep ends some tens of microseconds late (the kernel's timer slack). It is asked
  // to end early by as much as the last ones were late; the rest is waited out with the lock
  // released.
  const std::uint64_t early = sleep_late_us_ + kWakeMarginUs;
  std::uint64_t now = TimeNow();
  if (wake_us > now + early) {
    const std::uint64_t asked = wake_us - early;
    const auto until =
        std::chrono::steady_clock::time_point(std::chrono::microseconds(real_start_us_ + asked));
    if (changed_.wait_until(lock, until) == std::cv_status::no_timeout) return false;
    now = TimeNow();
    const std::uint64_t late =
        std::min(now > asked ? now - asked : 0, sleep_late_us_ + kLateOutlierUs);
    sleep_late_us_ = late >= sleep_late_us_ ? sleep_late_us_ + (late - sleep_late_us_) / 8
                                            : sleep_late_us_ - (sleep_late_us_ - late) / 8;
  }
  if (now < wake_us) {
    lock.unlock();
    while (TimeNow() < wake_us) {
    }
    lock.lock();
  }
  return true;
}

unsigned int VirtualBus::WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) {
  Lock lock = Hold();
  std::size_t queued = SIZE_MAX;
  for (;;) {
    int index;
    const Device* d = FromHandle(handle, &index);
    if (d == nullptr) return index < 0 ? kavro::kFtInvalidHandle : kavro::kFtIoError;
    const std::uint64_t now = TimeNow();
    // Bytes queued since the wait began (another thread brought them in), or due and brought
    // in by the next status query.
    const bool arrived = (queued != SIZE_MAX && d->rx.size() != queued) ||
                         (!d->pending.empty() && d->pending.front().due_us <= now);
    if (arrived || d->rx.size() >= bytes || now >= deadline_us) return kavro::kFtOk;
    queued = d->rx.size();
    if (clock_ == Clock::kVirtual) {
      // Time jumps to the next event, but never past a reply due on another open device: the
      // thread waiting for it has not seen it yet.
      now_us_ = std::max(now_us_, NextEvent(nullptr, deadline_us));
      RunSchedule();
      return kavro::kFtOk;
    }
    SleepUntil(lock, NextEvent(d, deadline_us));
    RunSchedule();
  }
}

}  // namespace kavro::emu

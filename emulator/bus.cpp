// The virtual USB bus: its devices, and plugging and unplugging them, by hand or on a schedule.
// The rest of the bus: its D2XX calls (bus_d2xx.cpp), the faults they can be made to meet
// (bus_faults.cpp), the call log (bus_log.cpp), its clock and the waits on it (bus_clock.cpp)
// and the thread that delivers bytes on the real clock (bus_notifier.cpp).
#include "kavro_emulator.h"

namespace kavro::emu {

VirtualBus::VirtualBus(Clock clock) : clock_(clock), real_start_us_(kavro::SteadyMicroseconds()) {}

VirtualBus::~VirtualBus() {
  {
    Lock lock(mutex_);
    stopping_ = true;
    Changed();
  }
  if (notifier_.joinable()) notifier_.join();
}

// ---- devices ------------------------------------------------------------------------------

VirtualBus::Device& VirtualBus::AddDevice(const std::string& serial, VirtualBoard board,
                                          const std::string& description) {
  Lock lock = Hold();
  Device d;
  d.serial = serial;
  d.description = description;
  d.board = std::move(board);
  devices_.push_back(std::move(d));
  return devices_.back();
}

VirtualBus::Device& VirtualBus::device(std::size_t index) {
  Lock lock(mutex_);
  return devices_[index];
}

const VirtualBus::Device& VirtualBus::device(std::size_t index) const {
  Lock lock(mutex_);
  return devices_[index];
}

std::size_t VirtualBus::device_count() const {
  Lock lock(mutex_);
  return devices_.size();
}

int VirtualBus::ListIndex(const Device& device) const {
  Lock lock(mutex_);
  int position = 0;
  for (const Device& d : devices_) {
    if (&d == &device) return d.present ? position : -1;
    if (d.present) ++position;
  }
  return -1;
}

bool VirtualBus::WithDevice(const std::string& serial, const std::function<void(Device&)>& fn) {
  Lock lock = Hold();
  for (Device& d : devices_) {
    if (d.serial != serial) continue;
    fn(d);
    return true;
  }
  return false;
}

int VirtualBus::Listed(std::size_t position) const {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].present && position-- == 0) return static_cast<int>(i);
  }
  return -1;
}

int VirtualBus::Named(const std::string& key, bool by_description, bool present) const {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const Device& d = devices_[i];
    if (d.present == present && (by_description ? d.description : d.serial) == key)
      return static_cast<int>(i);
  }
  return -1;
}

// ---- plugging -----------------------------------------------------------------------------

// The bridge is gone: what was queued with it, and the handle open on it, die with it.
void VirtualBus::UnplugDevice(Device& d, int index) {
  d.present = false;
  if (d.open) dead_handles_[d.handle] = index;
  d.open = false;
  d.handle = nullptr;
  d.rx.clear();
  d.pending.clear();
  d.on_rx = nullptr;
}

// A freshly powered bridge and board.
void VirtualBus::ReplugDevice(Device& d) {
  const Device defaults;
  d.present = true;
  d.read_timeout_ms = defaults.read_timeout_ms;
  d.write_timeout_ms = defaults.write_timeout_ms;
  d.in_transfer_size = defaults.in_transfer_size;
  d.out_transfer_size = defaults.out_transfer_size;
  d.latency_ms = defaults.latency_ms;
  d.board.PowerOn();
}

bool VirtualBus::Plug(const std::string& serial, bool in) {
  const int index = Named(serial, false, !in);
  if (index < 0) return false;
  Device& d = devices_[static_cast<std::size_t>(index)];
  if (in) {
    ReplugDevice(d);
  } else {
    UnplugDevice(d, index);
  }
  Changed();
  return true;
}

bool VirtualBus::Unplug(const std::string& serial) {
  Lock lock = Hold();
  return Plug(serial, false);
}

bool VirtualBus::Replug(const std::string& serial) {
  Lock lock = Hold();
  return Plug(serial, true);
}

void VirtualBus::ScheduleUnplug(const std::string& serial, std::uint64_t after_us,
                                std::uint64_t for_us, std::uint64_t every_us) {
  Lock lock = Hold();
  // Far-off times saturate rather than wrap round to the past.
  const auto later = [](std::uint64_t t, std::uint64_t d) {
    return d > UINT64_MAX - t ? UINT64_MAX : t + d;
  };
  const std::uint64_t at = later(TimeNow(), after_us);
  // A period no longer than the time unplugged would never plug the board in again.
  if (every_us != 0 && every_us <= for_us) every_us = 0;
  schedule_.push_back({serial, at, later(at, for_us), every_us});
  Changed();
}

VirtualBus::Lock VirtualBus::Hold() {
  Lock lock(mutex_);
  RunSchedule();
  return lock;
}

void VirtualBus::RunSchedule() {
  const std::uint64_t now = TimeNow();
  for (std::size_t i = 0; i < schedule_.size();) {
    ScheduledUnplug& s = schedule_[i];
    if (!s.unplugged && now >= s.unplug_at_us) {
      Plug(s.serial, false);
      s.unplugged = true;
    }
    if (s.unplugged && now >= s.replug_at_us) {
      Plug(s.serial, true);
      // A repeating unplug comes round again; a far-off one that would wrap is dropped.
      if (s.every_us != 0 && s.unplug_at_us <= UINT64_MAX - s.every_us &&
          s.replug_at_us <= UINT64_MAX - s.every_us) {
        s.unplug_at_us += s.every_us;
        s.replug_at_us += s.every_us;
        s.unplugged = false;
        continue;  // the next round may be due already, after a long jump
      }
      schedule_.erase(schedule_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

}  // namespace kavro::emu

// The virtual USB bus: FTDI bridges with D2XX's semantics, plugging and unplugging, fault
// injection, a call log and the clock the library's reply budgets run on.
#include <algorithm>
#include <chrono>
#include <thread>

#include "kavro_emulator.h"

namespace kavro::emu {

namespace {

#define KAVRO_D2XX_FUNCTION(name, params, args, need) "FT_" #name,
constexpr const char* kCallNames[] = {
    KAVRO_D2XX_CALLS(KAVRO_D2XX_FUNCTION)  // in the order of Call
    "FT_SetEventNotification",
};
static_assert(sizeof(kCallNames) / sizeof(kCallNames[0]) == static_cast<std::size_t>(Call::kCount));

using kavro::FillD2xxText;

}  // namespace

const char* CallName(Call call) {
  return kCallNames[static_cast<std::size_t>(call)];
}

bool CallFromName(const std::string& name, Call* call) {
  for (std::size_t i = 0; i < static_cast<std::size_t>(Call::kCount); ++i) {
    if (name == kCallNames[i] || name == kCallNames[i] + 3) {
      *call = static_cast<Call>(i);
      return true;
    }
  }
  return false;
}

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

VirtualBus::Device& VirtualBus::AddDevice(const std::string& serial, Board board,
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
                                std::uint64_t for_us) {
  Lock lock = Hold();
  // Far-off times saturate rather than wrap round to the past.
  const auto later = [](std::uint64_t t, std::uint64_t d) {
    return d > UINT64_MAX - t ? UINT64_MAX : t + d;
  };
  const std::uint64_t at = later(TimeNow(), after_us);
  schedule_.push_back({serial, at, later(at, for_us)});
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
      schedule_.erase(schedule_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

// ---- faults, log and clock ----------------------------------------------------------------

void VirtualBus::FailCall(Call call, unsigned int status, unsigned int nth) {
  Lock lock(mutex_);
  faults_[static_cast<std::size_t>(call)] = {nth, status, false};
}

void VirtualBus::FailEveryCall(Call call, unsigned int status) {
  Lock lock(mutex_);
  faults_[static_cast<std::size_t>(call)] = {0, status, true};
}

void VirtualBus::ClearFaults() {
  Lock lock(mutex_);
  faults_.fill(CallFault{});
}

std::vector<CallRecord> VirtualBus::log() const {
  Lock lock(mutex_);
  return log_;
}

void VirtualBus::ClearLog() {
  Lock lock(mutex_);
  log_.clear();
  counts_.fill(0);
}

std::size_t VirtualBus::CountCalls(Call call) const {
  Lock lock(mutex_);
  return counts_[static_cast<std::size_t>(call)];
}

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

unsigned int VirtualBus::Enter(Call call, int device, unsigned int a1, unsigned int a2) {
  CallFault& f = faults_[static_cast<std::size_t>(call)];
  unsigned int status = kavro::kFtOk;
  if (f.every) {
    status = f.status;
  } else if (f.countdown > 0 && --f.countdown == 0) {
    status = f.status;
  }
  ++counts_[static_cast<std::size_t>(call)];
  if (logging) log_.push_back({call, status, device, a1, a2});
  return status;
}

// ---- handles ------------------------------------------------------------------------------

VirtualBus::Device* VirtualBus::FromHandle(void* handle, int* index) {
  *index = -1;
  if (handle == nullptr) return nullptr;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].open && devices_[i].handle == handle) {
      *index = static_cast<int>(i);
      return &devices_[i];
    }
  }
  const auto dead = dead_handles_.find(handle);
  if (dead != dead_handles_.end()) *index = dead->second;
  return nullptr;
}

template <typename Body>
unsigned int VirtualBus::OnDevice(Call call, void* handle, Body body, unsigned int a1,
                                  unsigned int a2) {
  Lock lock = Hold();
  int index;
  Device* d = FromHandle(handle, &index);
  const unsigned int status = Enter(call, index, a1, a2);
  if (status != kavro::kFtOk) return status;
  if (d != nullptr) return body(*d);
  if (index < 0) return kavro::kFtInvalidHandle;
  // The handle's device was unplugged while it was open: D2XX fails every call on it with an
  // I/O error, and a close releases it.
  if (call != Call::kClose) return kavro::kFtIoError;
  dead_handles_.erase(handle);
  return kavro::kFtOk;
}

// Moves reply bytes that are due into the receive queue, at most one USB transfer per poll.
void VirtualBus::Deliver(Device& d) {
  const std::uint64_t now = TimeNow();
  unsigned int budget = d.chunk_bytes;
  while (budget > 0 && !d.pending.empty() && d.pending.front().due_us <= now) {
    Device::Pending& p = d.pending.front();
    const std::size_t n = p.bytes.size() < budget ? p.bytes.size() : budget;
    d.rx.insert(d.rx.end(), p.bytes.begin(), p.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    p.bytes.erase(p.bytes.begin(), p.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    budget -= static_cast<unsigned int>(n);
    if (p.bytes.empty()) d.pending.pop_front();
  }
  if (budget == d.chunk_bytes) return;
  if (d.on_rx) d.on_rx();
  Changed();
}

unsigned int VirtualBus::ListDevices(void* arg1, void* arg2, unsigned int flags) {
  Lock lock = Hold();
  unsigned int status = Enter(Call::kListDevices, -1, flags);
  if (status != kavro::kFtOk) return status;
  if (flags == kavro::kFtListNumberOnly) {
    if (arg1 == nullptr) return kavro::kFtInvalidParameter;
    unsigned int count = 0;
    for (const Device& d : devices_) count += d.present ? 1 : 0;
    *static_cast<unsigned int*>(arg1) = count;
    return kavro::kFtOk;
  }
  if ((flags & kavro::kFtListByIndex) != 0 && arg2 != nullptr) {
    const int index = Listed(reinterpret_cast<std::uintptr_t>(arg1));
    if (index < 0) return kavro::kFtDeviceNotFound;
    const Device& d = devices_[static_cast<std::size_t>(index)];
    if ((flags & kavro::kFtOpenByDescription) != 0) {
      FillD2xxText(static_cast<char*>(arg2), kavro::kDescriptionSize, d.description);
    } else {
      FillD2xxText(static_cast<char*>(arg2), kavro::kSerialNumberSize, d.serial);
    }
    return kavro::kFtOk;
  }
  return kavro::kFtInvalidParameter;
}

// Opens device index for the host: a fresh handle and empty queues. Called under the lock.
unsigned int VirtualBus::OpenIndex(int index, void** handle) {
  if (index < 0) return kavro::kFtDeviceNotFound;
  Device& d = devices_[static_cast<std::size_t>(index)];
  if (d.open) return kavro::kFtDeviceNotOpened;  // one owner at a time, as with D2XX
  d.open = true;
  d.handle = reinterpret_cast<void*>(next_handle_);
  next_handle_ += 0x10;
  d.rx.clear();
  d.pending.clear();
  d.on_rx = nullptr;
  *handle = d.handle;
  return kavro::kFtOk;
}

unsigned int VirtualBus::Open(int position, void** handle) {
  Lock lock = Hold();
  const int index = position < 0 ? -1 : Listed(static_cast<std::size_t>(position));
  const unsigned int status = Enter(Call::kOpen, index, static_cast<unsigned int>(position));
  if (status != kavro::kFtOk) return status;
  if (handle == nullptr) return kavro::kFtInvalidParameter;
  return OpenIndex(index, handle);
}

unsigned int VirtualBus::OpenEx(void* arg1, unsigned int flags, void** handle) {
  Lock lock = Hold();
  const int index = arg1 == nullptr ? -1
                                    : Named(static_cast<const char*>(arg1),
                                            flags == kavro::kFtOpenByDescription, true);
  const unsigned int status = Enter(Call::kOpenEx, index, flags);
  if (status != kavro::kFtOk) return status;
  if (handle == nullptr || arg1 == nullptr) return kavro::kFtInvalidParameter;
  if (flags != kavro::kFtOpenBySerialNumber && flags != kavro::kFtOpenByDescription)
    return kavro::kFtInvalidParameter;
  return OpenIndex(index, handle);
}

unsigned int VirtualBus::Close(void* handle) {
  return OnDevice(Call::kClose, handle, [&](Device& d) -> unsigned int {
    d.open = false;
    d.handle = nullptr;
    d.rx.clear();
    d.pending.clear();
    d.on_rx = nullptr;
    Changed();
    return kavro::kFtOk;
  });
}

unsigned int VirtualBus::Read(void* handle, void* buffer, unsigned int count,
                              unsigned int* returned) {
  if (returned != nullptr) *returned = 0;
  return OnDevice(
      Call::kRead, handle,
      [&](Device& d) -> unsigned int {
        if (buffer == nullptr || returned == nullptr) return kavro::kFtInvalidParameter;
        Deliver(d);
        // With a read time-out set, D2XX returns what it has when the time-out expires.
        const unsigned int n = count < d.rx.size() ? count : static_cast<unsigned int>(d.rx.size());
        auto* out = static_cast<std::uint8_t*>(buffer);
        for (unsigned int i = 0; i < n; ++i) out[i] = d.rx[i];
        d.rx.erase(d.rx.begin(), d.rx.begin() + n);
        *returned = n;
        return kavro::kFtOk;
      },
      count);
}

unsigned int VirtualBus::Write(void* handle, void* buffer, unsigned int count,
                               unsigned int* written) {
  const auto* frame = static_cast<const std::uint8_t*>(buffer);
  if (written != nullptr) *written = 0;
  return OnDevice(
      Call::kWrite, handle,
      [&](Device& d) -> unsigned int {
        if (frame == nullptr || written == nullptr) return kavro::kFtInvalidParameter;
        const std::uint64_t now = TimeNow();
        std::vector<Board::Reply> replies;
        d.board.Receive(frame, count, static_cast<double>(now) / 1e6, replies);
        for (Board::Reply& r : replies) d.pending.push_back({now + r.delay_us, std::move(r.bytes)});
        // Keep replies in the order they fall due (a held reply may be overtaken).
        for (std::size_t i = d.pending.size(); i > 1; --i) {
          if (d.pending[i - 1].due_us >= d.pending[i - 2].due_us) break;
          std::swap(d.pending[i - 1], d.pending[i - 2]);
        }
        Changed();
        *written = count;
        return kavro::kFtOk;
      },
      count);
}

unsigned int VirtualBus::GetDeviceInfo(void* handle, unsigned int* device, unsigned int* id,
                                       char* serial, char* description, void*) {
  return OnDevice(Call::kGetDeviceInfo, handle, [&](Device& d) -> unsigned int {
    if (device != nullptr) *device = d.ft_type;
    if (id != nullptr) *id = kavro::FtDeviceId(vid_, pid_);
    if (serial != nullptr) FillD2xxText(serial, kavro::kSerialNumberSize, d.serial);
    if (description != nullptr) FillD2xxText(description, kavro::kDescriptionSize, d.description);
    return kavro::kFtOk;
  });
}

unsigned int VirtualBus::GetStatus(void* handle, unsigned int* rx_bytes, unsigned int* tx_bytes,
                                   unsigned int* event) {
  return OnDevice(Call::kGetStatus, handle, [&](Device& d) -> unsigned int {
    if (rx_bytes == nullptr || tx_bytes == nullptr || event == nullptr)
      return kavro::kFtInvalidParameter;
    if (clock_ == Clock::kVirtual) now_us_ += poll_step_us;
    Deliver(d);
    *rx_bytes = static_cast<unsigned int>(d.rx.size());
    *tx_bytes = 0;
    *event = d.rx.empty() ? 0 : 1;
    return kavro::kFtOk;
  });
}

unsigned int VirtualBus::SetTimeouts(void* handle, unsigned int read_ms, unsigned int write_ms) {
  return OnDevice(
      Call::kSetTimeouts, handle,
      [&](Device& d) -> unsigned int {
        d.read_timeout_ms = read_ms;
        d.write_timeout_ms = write_ms;
        return kavro::kFtOk;
      },
      read_ms, write_ms);
}

unsigned int VirtualBus::SetUSBParameters(void* handle, unsigned int in_size,
                                          unsigned int out_size) {
  return OnDevice(
      Call::kSetUSBParameters, handle,
      [&](Device& d) -> unsigned int {
        if (in_size < 1 || in_size > 65536 || out_size < 1 || out_size > 65536)
          return kavro::kFtInvalidParameter;
        d.in_transfer_size = in_size;
        d.out_transfer_size = out_size;
        // As with D2XX, changing the transfer size loses data held in the driver.
        d.rx.clear();
        return kavro::kFtOk;
      },
      in_size, out_size);
}

unsigned int VirtualBus::SetLatencyTimer(void* handle, unsigned char ms) {
  return OnDevice(
      Call::kSetLatencyTimer, handle,
      [&](Device& d) -> unsigned int {
        if (ms < 2) return kavro::kFtInvalidParameter;
        d.latency_ms = ms;
        return kavro::kFtOk;
      },
      ms);
}

unsigned int VirtualBus::GetLatencyTimer(void* handle, unsigned char* ms) {
  return OnDevice(Call::kGetLatencyTimer, handle, [&](Device& d) -> unsigned int {
    if (ms == nullptr) return kavro::kFtInvalidParameter;
    *ms = d.latency_ms;
    return kavro::kFtOk;
  });
}

unsigned int VirtualBus::Purge(void* handle, unsigned int mask) {
  return OnDevice(
      Call::kPurge, handle,
      [&](Device& d) -> unsigned int {
        ++d.purges;
        if ((mask & kavro::kFtPurgeRx) != 0) {
          // What has reached the bridge is discarded; replies still on their way arrive later.
          d.rx.clear();
          const std::uint64_t now = TimeNow();
          while (!d.pending.empty() && d.pending.front().due_us <= now) d.pending.pop_front();
        }
        Changed();
        return kavro::kFtOk;
      },
      mask);
}

unsigned int VirtualBus::CreateDeviceInfoList(unsigned int* count) {
  Lock lock = Hold();
  unsigned int status = Enter(Call::kCreateDeviceInfoList, -1);
  if (status != kavro::kFtOk) return status;
  if (count == nullptr) return kavro::kFtInvalidParameter;
  snapshot_.clear();
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const Device& d = devices_[i];
    if (!d.present) continue;
    kavro::FT_DEVICE_LIST_INFO_NODE node{};
    node.Flags = d.open ? kavro::kFtFlagsOpened : 0u;
    node.Type = d.ft_type;
    node.ID = kavro::FtDeviceId(vid_, pid_);
    node.LocId = static_cast<unsigned int>(i + 1);  // the port: the same after a replug
    FillD2xxText(node.SerialNumber, sizeof(node.SerialNumber), d.serial);
    FillD2xxText(node.Description, sizeof(node.Description), d.description);
    node.ftHandle = d.open ? d.handle : nullptr;
    snapshot_.push_back(node);
  }
  *count = static_cast<unsigned int>(snapshot_.size());
  return kavro::kFtOk;
}

unsigned int VirtualBus::GetDeviceInfoList(kavro::FT_DEVICE_LIST_INFO_NODE* list,
                                           unsigned int* count) {
  Lock lock = Hold();
  unsigned int status = Enter(Call::kGetDeviceInfoList, -1);
  if (status != kavro::kFtOk) return status;
  if (list == nullptr || count == nullptr) return kavro::kFtInvalidParameter;
  const std::size_t n = *count < snapshot_.size() ? *count : snapshot_.size();
  std::copy_n(snapshot_.begin(), n, list);
  *count = static_cast<unsigned int>(n);
  return kavro::kFtOk;
}

unsigned int VirtualBus::SetVIDPID(unsigned int vid, unsigned int pid) {
  Lock lock = Hold();
  unsigned int status = Enter(Call::kSetVIDPID, -1, vid, pid);
  if (status != kavro::kFtOk) return status;
  vid_ = vid;
  pid_ = pid;
  return kavro::kFtOk;
}

unsigned int VirtualBus::GetVIDPID(unsigned int* vid, unsigned int* pid) {
  Lock lock = Hold();
  unsigned int status = Enter(Call::kGetVIDPID, -1);
  if (status != kavro::kFtOk) return status;
  if (vid == nullptr || pid == nullptr) return kavro::kFtInvalidParameter;
  *vid = vid_;
  *pid = pid_;
  return kavro::kFtOk;
}

}  // namespace kavro::emu

// ---- waiting for replies --------------------------------------------------------------------

namespace kavro::emu {

namespace {

// A timed sleep is asked to end this much earlier than its learnt lateness alone would say; the
// thread waits out the rest awake, so it wakes when it should rather than a little after.
constexpr std::uint64_t kWakeMarginUs = 1;
// A sleep that ends later than the learnt lateness by more than this was held up by a busy
// machine, not by the timer: it counts as only this much later.
constexpr std::uint64_t kLateOutlierUs = 20;

}  // namespace

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

unsigned int VirtualBus::SetEventNotification(void* handle, unsigned int mask,
                                              std::function<void()> signal) {
  return OnDevice(
      Call::kSetEventNotification, handle,
      [&](Device& d) -> unsigned int {
        const bool on = (mask & kavro::kFtEventRxChar) != 0 && signal;
        d.on_rx = on ? std::move(signal) : nullptr;
        if (on && clock_ == Clock::kReal && !notifier_.joinable())
          notifier_ = std::thread(&VirtualBus::Notify, this);
        Changed();
        return kavro::kFtOk;
      },
      mask);
}

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

// The virtual USB bus: FTDI bridges with D2XX's semantics, fault injection, a call log and
// the clock the library's reply budgets run on.
#include <chrono>
#include <cstring>

#include "kavro_emulator.h"

namespace kavro::emu {

namespace {

constexpr const char* kCallNames[] = {
    "FT_ListDevices",
    "FT_Open",
    "FT_OpenEx",
    "FT_Close",
    "FT_Read",
    "FT_Write",
    "FT_GetDeviceInfo",
    "FT_GetStatus",
    "FT_SetTimeouts",
    "FT_SetUSBParameters",
    "FT_SetLatencyTimer",
    "FT_GetLatencyTimer",
    "FT_Purge",
    "FT_CreateDeviceInfoList",
    "FT_GetDeviceInfoList",
    "FT_SetVIDPID",
    "FT_GetVIDPID",
};
static_assert(sizeof(kCallNames) / sizeof(kCallNames[0]) == static_cast<std::size_t>(Call::kCount));

std::uint64_t SteadyMicros() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// Copies text into a D2XX string buffer of size bytes, zero-filled.
void CopyText(char* target, std::size_t size, const std::string& text) {
  std::memset(target, 0, size);
  std::memcpy(target, text.data(), text.size() < size ? text.size() : size);
}

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

VirtualBus::VirtualBus(Clock clock) : clock_(clock), real_start_us_(SteadyMicros()) {}

VirtualBus::Device& VirtualBus::AddDevice(const std::string& serial, Board board,
                                          const std::string& description) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device d;
  d.serial = serial;
  d.description = description;
  d.board = std::move(board);
  devices_.push_back(std::move(d));
  return devices_.back();
}

void VirtualBus::Unplug(const std::string& serial) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if (it->serial == serial) {
      devices_.erase(it);
      return;
    }
  }
}

void VirtualBus::FailCall(Call call, unsigned int status, unsigned int nth) {
  faults_[static_cast<std::size_t>(call)] = {nth, status, false};
}

void VirtualBus::FailEveryCall(Call call, unsigned int status) {
  faults_[static_cast<std::size_t>(call)] = {0, status, true};
}

void VirtualBus::ClearFaults() {
  faults_.fill(CallFault{});
}

std::uint64_t VirtualBus::TimeNow() {
  return clock_ == Clock::kVirtual ? now_us_ : SteadyMicros() - real_start_us_;
}

std::uint64_t VirtualBus::NowMicroseconds() {
  std::lock_guard<std::mutex> lock(mutex_);
  return TimeNow();
}

template <typename Body>
unsigned int VirtualBus::OnDevice(Call call, void* handle, Body body, unsigned int a1,
                                  unsigned int a2) {
  std::lock_guard<std::mutex> lock(mutex_);
  int index;
  Device* d = FromHandle(handle, &index);
  const unsigned int status = Enter(call, index, a1, a2);
  if (status != kavro::kFtOk) return status;
  if (d == nullptr) return kavro::kFtInvalidHandle;
  return body(*d);
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

VirtualBus::Device* VirtualBus::FromHandle(void* handle, int* index) {
  *index = -1;
  if (handle == nullptr) return nullptr;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].open && devices_[i].handle == handle) {
      *index = static_cast<int>(i);
      return &devices_[i];
    }
  }
  return nullptr;
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
}

unsigned int VirtualBus::ListDevices(void* arg1, void* arg2, unsigned int flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned int status = Enter(Call::kListDevices, -1, flags);
  if (status != kavro::kFtOk) return status;
  if (flags == kavro::kFtListNumberOnly) {
    if (arg1 == nullptr) return kavro::kFtInvalidParameter;
    *static_cast<unsigned int*>(arg1) = static_cast<unsigned int>(devices_.size());
    return kavro::kFtOk;
  }
  if ((flags & kavro::kFtListByIndex) != 0 && arg2 != nullptr) {
    const std::uintptr_t index = reinterpret_cast<std::uintptr_t>(arg1);
    if (index >= devices_.size()) return kavro::kFtDeviceNotFound;
    const Device& d = devices_[index];
    if ((flags & kavro::kFtOpenByDescription) != 0) {
      CopyText(static_cast<char*>(arg2), 64, d.description);
    } else {
      CopyText(static_cast<char*>(arg2), 16, d.serial);
    }
    return kavro::kFtOk;
  }
  return kavro::kFtInvalidParameter;
}

// Opens device index for the host: a fresh handle and empty queues. Called under the lock.
unsigned int VirtualBus::OpenIndex(int index, void** handle) {
  if (index < 0 || static_cast<std::size_t>(index) >= devices_.size())
    return kavro::kFtDeviceNotFound;
  Device& d = devices_[static_cast<std::size_t>(index)];
  if (d.open) return kavro::kFtDeviceNotOpened;  // one owner at a time, as with D2XX
  d.open = true;
  d.handle = reinterpret_cast<void*>(next_handle_);
  next_handle_ += 0x10;
  d.rx.clear();
  d.pending.clear();
  *handle = d.handle;
  return kavro::kFtOk;
}

unsigned int VirtualBus::Open(int index, void** handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned int status = Enter(Call::kOpen, index, static_cast<unsigned int>(index));
  if (status != kavro::kFtOk) return status;
  if (handle == nullptr) return kavro::kFtInvalidParameter;
  return OpenIndex(index, handle);
}

unsigned int VirtualBus::OpenEx(void* arg1, unsigned int flags, void** handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  int index = -1;
  if (arg1 != nullptr) {
    const char* key = static_cast<const char*>(arg1);
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      const std::string& name =
          flags == kavro::kFtOpenByDescription ? devices_[i].description : devices_[i].serial;
      if (name == key) index = static_cast<int>(i);
    }
  }
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
  if (written != nullptr) *written = 0;
  return OnDevice(
      Call::kWrite, handle,
      [&](Device& d) -> unsigned int {
        if (buffer == nullptr || written == nullptr) return kavro::kFtInvalidParameter;
        const std::uint64_t now = TimeNow();
        std::vector<Board::Reply> replies;
        d.board.Receive(static_cast<const std::uint8_t*>(buffer), count,
                        static_cast<double>(now) / 1e6, replies);
        for (Board::Reply& r : replies) d.pending.push_back({now + r.delay_us, std::move(r.bytes)});
        // Keep replies in the order they fall due (a held reply may be overtaken).
        for (std::size_t i = d.pending.size(); i > 1; --i) {
          if (d.pending[i - 1].due_us >= d.pending[i - 2].due_us) break;
          std::swap(d.pending[i - 1], d.pending[i - 2]);
        }
        *written = count;
        return kavro::kFtOk;
      },
      count);
}

unsigned int VirtualBus::GetDeviceInfo(void* handle, unsigned int* device, unsigned int* id,
                                       char* serial, char* description, void*) {
  return OnDevice(Call::kGetDeviceInfo, handle, [&](Device& d) -> unsigned int {
    if (device != nullptr) *device = d.ft_type;
    if (id != nullptr) *id = (vid_ << 16) | pid_;
    if (serial != nullptr) CopyText(serial, 16, d.serial);
    if (description != nullptr) CopyText(description, 64, d.description);
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
        return kavro::kFtOk;
      },
      mask);
}

unsigned int VirtualBus::CreateDeviceInfoList(unsigned int* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned int status = Enter(Call::kCreateDeviceInfoList, -1);
  if (status != kavro::kFtOk) return status;
  if (count == nullptr) return kavro::kFtInvalidParameter;
  snapshot_.clear();
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const Device& d = devices_[i];
    kavro::FT_DEVICE_LIST_INFO_NODE node{};
    node.Flags = d.open ? 1u : 0u;
    node.Type = d.ft_type;
    node.ID = (vid_ << 16) | pid_;
    node.LocId = static_cast<unsigned int>(i + 1);
    CopyText(node.SerialNumber, sizeof(node.SerialNumber), d.serial);
    CopyText(node.Description, sizeof(node.Description), d.description);
    node.ftHandle = d.open ? d.handle : nullptr;
    snapshot_.push_back(node);
  }
  *count = static_cast<unsigned int>(snapshot_.size());
  return kavro::kFtOk;
}

unsigned int VirtualBus::GetDeviceInfoList(kavro::FT_DEVICE_LIST_INFO_NODE* list,
                                           unsigned int* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned int status = Enter(Call::kGetDeviceInfoList, -1);
  if (status != kavro::kFtOk) return status;
  if (list == nullptr || count == nullptr) return kavro::kFtInvalidParameter;
  for (std::size_t i = 0; i < snapshot_.size(); ++i) list[i] = snapshot_[i];
  *count = static_cast<unsigned int>(snapshot_.size());
  return kavro::kFtOk;
}

unsigned int VirtualBus::SetVIDPID(unsigned int vid, unsigned int pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned int status = Enter(Call::kSetVIDPID, -1, vid, pid);
  if (status != kavro::kFtOk) return status;
  vid_ = vid;
  pid_ = pid;
  return kavro::kFtOk;
}

unsigned int VirtualBus::GetVIDPID(unsigned int* vid, unsigned int* pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned int status = Enter(Call::kGetVIDPID, -1);
  if (status != kavro::kFtOk) return status;
  if (vid == nullptr || pid == nullptr) return kavro::kFtInvalidParameter;
  *vid = vid_;
  *pid = pid_;
  return kavro::kFtOk;
}

}  // namespace kavro::emu

// The bus's bridges as D2XX sees them: handles, the receive queues and every D2XX call.
#include <algorithm>

#include "kavro_emulator.h"

namespace kavro::emu {

using kavro::FillD2xxText;

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

// Moves reply bytes that are due into the receive queue, at most chunk_bytes per poll.
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
  // Only a serial number or a description is a text; any other key (a location) is a number
  // in the pointer, which these boards do not have.
  const bool named = flags == kavro::kFtOpenBySerialNumber || flags == kavro::kFtOpenByDescription;
  const int index = arg1 == nullptr || !named ? -1
                                              : Named(static_cast<const char*>(arg1),
                                                      flags == kavro::kFtOpenByDescription, true);
  const unsigned int status = Enter(Call::kOpenEx, index, flags);
  if (status != kavro::kFtOk) return status;
  if (handle == nullptr || arg1 == nullptr) return kavro::kFtInvalidParameter;
  if (!named) return kavro::kFtInvalidParameter;
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
        // Returns at once with what the receive queue holds, as D2XX's read does once its
        // time-out has expired; the time-out itself is not waited out.
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
        std::vector<VirtualBoard::Reply> replies;
        d.board.Receive(frame, count, static_cast<double>(now) / 1e6, replies);
        for (VirtualBoard::Reply& r : replies)
          d.pending.push_back({now + r.delay_us, std::move(r.bytes)});
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

}  // namespace kavro::emu

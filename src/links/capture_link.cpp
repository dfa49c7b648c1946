// CaptureLink: every call passed through, and appended to the capture file as one line.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "capture_format.h"
#include "default_link.h"
#include "kavro/capture.h"
#include "platform/platform.h"

namespace kavro {

using detail::CaptureRecord;
using detail::LinkCall;

struct CaptureLink::Impl {
  std::shared_ptr<LinkProvider> owned;  // the inner provider, when the link owns it
  LinkProvider& inner;
  std::string path;
  std::uint64_t start_us = 0;  // the inner clock when the capture began

  std::mutex mutex;  // guards what follows
  std::FILE* file = nullptr;
  std::string failure;  // why the capture stopped; "" while it goes on
  std::atomic<bool> stopped{false};
  std::uint64_t lines = 0;  // written, the header included
  std::uint64_t last_t = 0;  // the time of the last record written
  // Handle values mean nothing in another process: each gets a number, from 1, when first met.
  std::unordered_map<void*, unsigned int> numbers;
  unsigned int next_number = 1;

  Impl(LinkProvider& link, const std::string& file_path) : inner(link), path(file_path) {}

  void Stop(const std::string& why) {
    failure = "capturing to " + path + " stopped: " + why;
    stopped = true;
  }

  // Writes one line and flushes it; the first failure stops the capture. Under the lock.
  void Append(const std::string& line) {
    if (stopped) return;
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), file) != line.size() ||
        std::fputc('\n', file) == EOF || std::fflush(file) != 0) {
      const int error = errno != 0 ? errno : EIO;
      Stop("could not write line " + std::to_string(lines + 1) + " (" +
           std::generic_category().message(error) + "); the lines before it are kept");
      return;
    }
    ++lines;
  }

  // Writes a record, its time never before the last one's: calls from several threads are
  // written in the order they return, which need not be the order they began in. Under the lock.
  void Write(CaptureRecord& r) {
    r.t = std::max(r.t, last_t);
    last_t = r.t;
    Append(detail::RecordLine(r));
  }

  // Captures a clock read of now and answers it.
  std::uint64_t Read(std::uint64_t now) {
    CaptureRecord r;
    r.call = LinkCall::kClock;
    r.t = now > start_us ? now - start_us : 0;
    r.answer[0] = now;
    std::lock_guard<std::mutex> lock(mutex);
    Write(r);
    return now;
  }

  // The handle's number (0 for none); a handle met for the first time gets the next one, and
  // so does every handle a successful open returns.
  unsigned int Number(void* handle, bool opened = false) {
    if (handle == nullptr) return 0;
    if (opened) numbers.erase(handle);
    const auto found = numbers.emplace(handle, next_number);
    if (found.second) ++next_number;
    return found.first->second;
  }
};

namespace {

std::uint64_t PointerValue(const void* p) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

std::string D2xxText(const char* text, std::size_t size) {
  return text == nullptr ? std::string() : std::string(text, strnlen(text, size));
}

}  // namespace

CaptureLink::CaptureLink(LinkProvider& inner, const std::string& path, const std::string& note,
                         IfExists if_exists)
    : ForwardingLink(inner), impl_(std::make_unique<Impl>(inner, path)) {
  impl_->start_us = inner.NowMicroseconds();
  // Unless told to replace it, a regular file is never emptied: a missing one is created
  // exclusively ("x"), so that one appearing since the look is refused too; a device or a pipe
  // that exists is written to.
  const bool refuse = if_exists == IfExists::kRefuse;
  std::error_code ignored;
  const std::filesystem::file_status found =
      std::filesystem::status(platform::PathFromUtf8(path), ignored);
  const bool kept = refuse && std::filesystem::is_regular_file(found);
  errno = 0;
  if (!kept)
    impl_->file =
        platform::OpenFile(path, refuse && !std::filesystem::exists(found) ? "wbx" : "wb");
  if (kept || (impl_->file == nullptr && errno == EEXIST)) {
    impl_->Stop(path +
                " exists and is kept; to replace it, make the link with "
                "CaptureLink::IfExists::kReplace");
    return;
  }
  if (impl_->file == nullptr) {
    const int error = errno != 0 ? errno : EIO;
    impl_->Stop("the file cannot be created (" + std::generic_category().message(error) + ")");
    return;
  }
  impl_->Append(detail::HeaderLine(inner.Name(), impl_->start_us, note));
}

CaptureLink::CaptureLink(std::shared_ptr<LinkProvider> inner, const std::string& path,
                         const std::string& note, IfExists if_exists)
    : CaptureLink(*inner, path, note, if_exists) {
  impl_->owned = std::move(inner);
}

CaptureLink::CaptureLink(const std::string& path, const std::string& note, IfExists if_exists)
    : CaptureLink(detail::NewDefaultLink(), path, note, if_exists) {}

CaptureLink::~CaptureLink() {
  if (impl_->file != nullptr) std::fclose(impl_->file);
}

OpenOptions CaptureLink::Options(OpenOptions base) {
  base.link = this;
  return base;
}

std::uint64_t CaptureLink::NowMicroseconds() {
  return impl_->Read(ForwardingLink::NowMicroseconds());
}

bool CaptureLink::ok() const {
  return !impl_->stopped;
}

std::uint64_t CaptureLink::records() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->lines > 0 ? impl_->lines - 1 : 0;
}

std::string CaptureLink::Diagnostic() const {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->failure.empty()) return impl_->failure;
  }
  return ForwardingLink::Diagnostic();
}

namespace {

// Makes a call through the link and captures it: call(record) makes the inner call, fills in
// the arguments that need no handle number and returns the status; fill(record, number) adds
// the rest under the lock, numbering handles with number(handle, opened).
template <typename Impl, typename Call, typename Fill>
unsigned int Captured(Impl& impl, LinkCall kind, Call call, Fill fill) {
  if (impl.stopped) return kFtOtherError;
  const std::uint64_t now = impl.inner.NowMicroseconds();
  CaptureRecord local;
  local.call = kind;
  local.t = now > impl.start_us ? now - impl.start_us : 0;
  local.status = call(local);
  std::lock_guard<std::mutex> lock(impl.mutex);
  fill(local, [&impl](void* h, bool opened) { return impl.Number(h, opened); });
  impl.Write(local);
  return local.status;
}

constexpr auto kNoMore = [](CaptureRecord&, auto&&) {};

}  // namespace

unsigned int CaptureLink::ListDevices(void* arg1, void* arg2, unsigned int flags) {
  return Captured(
      *impl_, LinkCall::kListDevices,
      [&](CaptureRecord& r) {
        const unsigned int status = ForwardingLink::ListDevices(arg1, arg2, flags);
        r.arg[0] = flags;
        // Only the two forms the library uses have arguments and answers that can be captured.
        if (flags == kFtListNumberOnly && status == kFtOk && arg1 != nullptr) {
          r.answer[0] = *static_cast<unsigned int*>(arg1);
        } else if ((flags & kFtListByIndex) != 0) {
          r.arg[1] = PointerValue(arg1);
          const bool description = (flags & kFtOpenByDescription) != 0;
          if (status == kFtOk)
            r.text[0] = D2xxText(static_cast<const char*>(arg2),
                                 description ? kDescriptionSize : kSerialNumberSize);
        }
        return status;
      },
      kNoMore);
}

unsigned int CaptureLink::Open(int index, void** handle) {
  return Captured(
      *impl_, LinkCall::kOpen,
      [&](CaptureRecord& r) {
        r.arg[0] = static_cast<unsigned int>(index);
        return ForwardingLink::Open(index, handle);
      },
      [&](CaptureRecord& r, auto&& number) {
        if (r.status == kFtOk && handle != nullptr) r.handle = number(*handle, true);
      });
}

unsigned int CaptureLink::OpenEx(void* arg1, unsigned int flags, void** handle) {
  return Captured(
      *impl_, LinkCall::kOpenEx,
      [&](CaptureRecord& r) {
        r.arg[0] = flags;
        if ((flags & (kFtOpenBySerialNumber | kFtOpenByDescription)) != 0)
          r.text[0] = D2xxText(static_cast<const char*>(arg1), kDescriptionSize);
        else
          r.arg[1] = PointerValue(arg1);  // a location
        return ForwardingLink::OpenEx(arg1, flags, handle);
      },
      [&](CaptureRecord& r, auto&& number) {
        if (r.status == kFtOk && handle != nullptr) r.handle = number(*handle, true);
      });
}

unsigned int CaptureLink::Close(void* handle) {
  // Passed through even after the capture stopped: the device must be released.
  if (impl_->stopped) return ForwardingLink::Close(handle);
  return Captured(
      *impl_, LinkCall::kClose, [&](CaptureRecord&) { return ForwardingLink::Close(handle); },
      [&](CaptureRecord& r, auto&& number) {
        r.handle = number(handle, false);
        impl_->numbers.erase(handle);
      });
}

unsigned int CaptureLink::Read(void* handle, void* buffer, unsigned int count,
                               unsigned int* returned) {
  return Captured(
      *impl_, LinkCall::kRead,
      [&](CaptureRecord& r) {
        const unsigned int status = ForwardingLink::Read(handle, buffer, count, returned);
        r.arg[0] = count;
        const unsigned int got = returned == nullptr ? 0 : std::min(*returned, count);
        if (buffer != nullptr) r.data.assign(static_cast<const char*>(buffer), got);
        r.answer[0] = r.data.size();
        return status;
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::Write(void* handle, void* buffer, unsigned int count,
                                unsigned int* written) {
  return Captured(
      *impl_, LinkCall::kWrite,
      [&](CaptureRecord& r) {
        if (buffer != nullptr) r.data.assign(static_cast<const char*>(buffer), count);
        const unsigned int status = ForwardingLink::Write(handle, buffer, count, written);
        r.answer[0] = written == nullptr ? 0 : *written;
        return status;
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::GetDeviceInfo(void* handle, unsigned int* device, unsigned int* id,
                                        char* serial, char* description, void* dummy) {
  return Captured(
      *impl_, LinkCall::kGetDeviceInfo,
      [&](CaptureRecord& r) {
        const unsigned int status =
            ForwardingLink::GetDeviceInfo(handle, device, id, serial, description, dummy);
        if (status == kFtOk) {
          r.answer[0] = device == nullptr ? 0 : *device;
          r.answer[1] = id == nullptr ? 0 : *id;
          r.text[0] = D2xxText(serial, kSerialNumberSize);
          r.text[1] = D2xxText(description, kDescriptionSize);
        }
        return status;
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::GetStatus(void* handle, unsigned int* rx_bytes, unsigned int* tx_bytes,
                                    unsigned int* event) {
  return Captured(
      *impl_, LinkCall::kGetStatus,
      [&](CaptureRecord& r) {
        const unsigned int status = ForwardingLink::GetStatus(handle, rx_bytes, tx_bytes, event);
        if (status == kFtOk) {
          r.answer[0] = rx_bytes == nullptr ? 0 : *rx_bytes;
          r.answer[1] = tx_bytes == nullptr ? 0 : *tx_bytes;
          r.answer[2] = event == nullptr ? 0 : *event;
        }
        return status;
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::SetTimeouts(void* handle, unsigned int read_ms, unsigned int write_ms) {
  return Captured(
      *impl_, LinkCall::kSetTimeouts,
      [&](CaptureRecord& r) {
        r.arg[0] = read_ms;
        r.arg[1] = write_ms;
        return ForwardingLink::SetTimeouts(handle, read_ms, write_ms);
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::SetUSBParameters(void* handle, unsigned int in_size,
                                           unsigned int out_size) {
  return Captured(
      *impl_, LinkCall::kSetUSBParameters,
      [&](CaptureRecord& r) {
        r.arg[0] = in_size;
        r.arg[1] = out_size;
        return ForwardingLink::SetUSBParameters(handle, in_size, out_size);
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::SetLatencyTimer(void* handle, unsigned char ms) {
  return Captured(
      *impl_, LinkCall::kSetLatencyTimer,
      [&](CaptureRecord& r) {
        r.arg[0] = ms;
        return ForwardingLink::SetLatencyTimer(handle, ms);
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::GetLatencyTimer(void* handle, unsigned char* ms) {
  return Captured(
      *impl_, LinkCall::kGetLatencyTimer,
      [&](CaptureRecord& r) {
        const unsigned int status = ForwardingLink::GetLatencyTimer(handle, ms);
        if (status == kFtOk && ms != nullptr) r.answer[0] = *ms;
        return status;
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::Purge(void* handle, unsigned int mask) {
  return Captured(
      *impl_, LinkCall::kPurge,
      [&](CaptureRecord& r) {
        r.arg[0] = mask;
        return ForwardingLink::Purge(handle, mask);
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int CaptureLink::CreateDeviceInfoList(unsigned int* count) {
  return Captured(
      *impl_, LinkCall::kCreateDeviceInfoList,
      [&](CaptureRecord& r) {
        const unsigned int status = ForwardingLink::CreateDeviceInfoList(count);
        if (status == kFtOk && count != nullptr) r.answer[0] = *count;
        return status;
      },
      kNoMore);
}

unsigned int CaptureLink::GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, unsigned int* count) {
  return Captured(
      *impl_, LinkCall::kGetDeviceInfoList,
      [&](CaptureRecord& r) {
        r.arg[0] = count == nullptr ? 0 : *count;
        const unsigned int status = ForwardingLink::GetDeviceInfoList(list, count);
        if (status == kFtOk && count != nullptr)
          r.answer[0] = std::min<std::uint64_t>(*count, r.arg[0]);
        return status;
      },
      [&](CaptureRecord& r, auto&& number) {
        for (std::uint64_t i = 0; list != nullptr && i < r.answer[0]; ++i) {
          const FT_DEVICE_LIST_INFO_NODE& n = list[i];
          r.nodes.push_back({n.Flags, n.Type, n.ID, n.LocId,
                             D2xxText(n.SerialNumber, kSerialNumberSize),
                             D2xxText(n.Description, kDescriptionSize), number(n.ftHandle, false)});
        }
      });
}

unsigned int CaptureLink::SetVIDPID(unsigned int vid, unsigned int pid) {
  return Captured(
      *impl_, LinkCall::kSetVIDPID,
      [&](CaptureRecord& r) {
        r.arg[0] = vid;
        r.arg[1] = pid;
        return ForwardingLink::SetVIDPID(vid, pid);
      },
      kNoMore);
}

unsigned int CaptureLink::GetVIDPID(unsigned int* vid, unsigned int* pid) {
  return Captured(
      *impl_, LinkCall::kGetVIDPID,
      [&](CaptureRecord& r) {
        const unsigned int status = ForwardingLink::GetVIDPID(vid, pid);
        if (status == kFtOk) {
          r.answer[0] = vid == nullptr ? 0 : *vid;
          r.answer[1] = pid == nullptr ? 0 : *pid;
        }
        return status;
      },
      kNoMore);
}

unsigned int CaptureLink::WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) {
  return Captured(
      *impl_, LinkCall::kWaitForRx,
      [&](CaptureRecord& r) {
        r.arg[0] = bytes;
        r.arg[1] = deadline_us;
        return ForwardingLink::WaitForRx(handle, bytes, deadline_us);
      },
      [&](CaptureRecord& r, auto&& number) { r.handle = number(handle, false); });
}

}  // namespace kavro

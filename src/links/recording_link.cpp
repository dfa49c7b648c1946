// RecordingLink: every call passed through, and appended to the recording file as one line.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "default_link.h"
#include "kavro/record_replay.h"
#include "link_record.h"
#include "platform/platform.h"

namespace kavro {

using detail::LinkCall;
using detail::LinkRecord;

struct RecordingLink::Impl {
  std::shared_ptr<LinkProvider> owned;  // the inner provider, when the link owns it
  LinkProvider& inner;
  std::string path;
  std::uint64_t start_us = 0;  // the inner clock when the recording began

  std::mutex mutex;  // guards what follows
  std::FILE* file = nullptr;
  std::string failure;  // why the recording stopped; "" while it goes on
  std::atomic<bool> stopped{false};
  std::uint64_t lines = 0;  // written, the header included
  std::uint64_t last_t = 0;  // the time of the last record written
  // Handle values mean nothing in another process: each gets a number, from 1, when first met.
  std::unordered_map<void*, unsigned int> numbers;
  unsigned int next_number = 1;

  Impl(LinkProvider& link, const std::string& file_path) : inner(link), path(file_path) {}

  void Stop(const std::string& why) {
    failure = "recording to " + path + " stopped: " + why;
    stopped = true;
  }

  // Writes one line and flushes it; the first failure stops the recording. Under the lock.
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
  void Write(LinkRecord& r) {
    r.t = std::max(r.t, last_t);
    last_t = r.t;
    Append(detail::RecordLine(r));
  }

  // Records a clock read of now and answers it.
  std::uint64_t Read(std::uint64_t now) {
    LinkRecord r;
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

RecordingLink::RecordingLink(LinkProvider& inner, const std::string& path, const std::string& note,
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
                "RecordingLink::IfExists::kReplace");
    return;
  }
  if (impl_->file == nullptr) {
    const int error = errno != 0 ? errno : EIO;
    impl_->Stop("the file cannot be created (" + std::generic_category().message(error) + ")");
    return;
  }
  impl_->Append(detail::HeaderLine(inner.Name(), impl_->start_us, note));
}

RecordingLink::RecordingLink(std::shared_ptr<LinkProvider> inner, const std::string& path,
                             const std::string& note, IfExists if_exists)
    : RecordingLink(*inner, path, note, if_exists) {
  impl_->owned = std::move(inner);
}

RecordingLink::RecordingLink(const std::string& path, const std::string& note, IfExists if_exists)
    : RecordingLink(detail::NewDefaultLink(), path, note, if_exists) {}

RecordingLink::~RecordingLink() {
  if (impl_->file != nullptr) std::fclose(impl_->file);
}

OpenOptions RecordingLink::Options(OpenOptions base) {
  base.link = this;
  return base;
}

std::uint64_t RecordingLink::NowMicroseconds() {
  return impl_->Read(ForwardingLink::NowMicroseconds());
}

bool RecordingLink::ok() const {
  return !impl_->stopped;
}

std::uint64_t RecordingLink::records() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->lines > 0 ? impl_->lines - 1 : 0;
}

std::string RecordingLink::Diagnostic() const {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->failure.empty()) return impl_->failure;
  }
  return ForwardingLink::Diagnostic();
}

namespace {

// Makes a call through the link and records it: call(record) makes the inner call, fills in
// the arguments that need no handle number and returns the status; fill(record, number) adds
// the rest under the lock, numbering handles with number(handle, opened).
template <typename Impl, typename Call, typename Fill>
unsigned int Recorded(Impl& impl, LinkCall kind, Call call, Fill fill) {
  if (impl.stopped) return kFtOtherError;
  const std::uint64_t now = impl.inner.NowMicroseconds();
  LinkRecord local;
  local.call = kind;
  local.t = now > impl.start_us ? now - impl.start_us : 0;
  local.status = call(local);
  std::lock_guard<std::mutex> lock(impl.mutex);
  fill(local, [&impl](void* h, bool opened) { return impl.Number(h, opened); });
  impl.Write(local);
  return local.status;
}

constexpr auto kNoMore = [](LinkRecord&, auto&&) {};

}  // namespace

unsigned int RecordingLink::ListDevices(void* arg1, void* arg2, unsigned int flags) {
  return Recorded(
      *impl_, LinkCall::kListDevices,
      [&](LinkRecord& r) {
        const unsigned int status = ForwardingLink::ListDevices(arg1, arg2, flags);
        r.arg[0] = flags;
        // Only the two forms the library uses have arguments and answers that can be recorded.
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

unsigned int RecordingLink::Open(int index, void** handle) {
  return Recorded(
      *impl_, LinkCall::kOpen,
      [&](LinkRecord& r) {
        r.arg[0] = static_cast<unsigned int>(index);
        return ForwardingLink::Open(index, handle);
      },
      [&](LinkRecord& r, auto&& number) {
        if (r.status == kFtOk && handle != nullptr) r.handle = number(*handle, true);
      });
}

unsigned int RecordingLink::OpenEx(void* arg1, unsigned int flags, void** handle) {
  return Recorded(
      *impl_, LinkCall::kOpenEx,
      [&](LinkRecord& r) {
        r.arg[0] = flags;
        if ((flags & (kFtOpenBySerialNumber | kFtOpenByDescription)) != 0)
          r.text[0] = D2xxText(static_cast<const char*>(arg1), kDescriptionSize);
        else
          r.arg[1] = PointerValue(arg1);  // a location
        return ForwardingLink::OpenEx(arg1, flags, handle);
      },
      [&](LinkRecord& r, auto&& number) {
        if (r.status == kFtOk && handle != nullptr) r.handle = number(*handle, true);
      });
}

unsigned int RecordingLink::Close(void* handle) {
  // Passed through even after the recording stopped: the device must be released.
  if (impl_->stopped) return ForwardingLink::Close(handle);
  return Recorded(
      *impl_, LinkCall::kClose, [&](LinkRecord&) { return ForwardingLink::Close(handle); },
      [&](LinkRecord& r, auto&& number) {
        r.handle = number(handle, false);
        impl_->numbers.erase(handle);
      });
}

unsigned int RecordingLink::Read(void* handle, void* buffer, unsigned int count,
                                 unsigned int* returned) {
  return Recorded(
      *impl_, LinkCall::kRead,
      [&](LinkRecord& r) {
        const unsigned int status = ForwardingLink::Read(handle, buffer, count, returned);
        r.arg[0] = count;
        const unsigned int got = returned == nullptr ? 0 : std::min(*returned, count);
        if (buffer != nullptr) r.data.assign(static_cast<const char*>(buffer), got);
        r.answer[0] = r.data.size();
        return status;
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::Write(void* handle, void* buffer, unsigned int count,
                                  unsigned int* written) {
  return Recorded(
      *impl_, LinkCall::kWrite,
      [&](LinkRecord& r) {
        if (buffer != nullptr) r.data.assign(static_cast<const char*>(buffer), count);
        const unsigned int status = ForwardingLink::Write(handle, buffer, count, written);
        r.answer[0] = written == nullptr ? 0 : *written;
        return status;
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::GetDeviceInfo(void* handle, unsigned int* device, unsigned int* id,
                                          char* serial, char* description, void* dummy) {
  return Recorded(
      *impl_, LinkCall::kGetDeviceInfo,
      [&](LinkRecord& r) {
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
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::GetStatus(void* handle, unsigned int* rx_bytes, unsigned int* tx_bytes,
                                      unsigned int* event) {
  return Recorded(
      *impl_, LinkCall::kGetStatus,
      [&](LinkRecord& r) {
        const unsigned int status = ForwardingLink::GetStatus(handle, rx_bytes, tx_bytes, event);
        if (status == kFtOk) {
          r.answer[0] = rx_bytes == nullptr ? 0 : *rx_bytes;
          r.answer[1] = tx_bytes == nullptr ? 0 : *tx_bytes;
          r.answer[2] = event == nullptr ? 0 : *event;
        }
        return status;
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::SetTimeouts(void* handle, unsigned int read_ms, unsigned int write_ms) {
  return Recorded(
      *impl_, LinkCall::kSetTimeouts,
      [&](LinkRecord& r) {
        r.arg[0] = read_ms;
        r.arg[1] = write_ms;
        return ForwardingLink::SetTimeouts(handle, read_ms, write_ms);
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::SetUSBParameters(void* handle, unsigned int in_size,
                                             unsigned int out_size) {
  return Recorded(
      *impl_, LinkCall::kSetUSBParameters,
      [&](LinkRecord& r) {
        r.arg[0] = in_size;
        r.arg[1] = out_size;
        return ForwardingLink::SetUSBParameters(handle, in_size, out_size);
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::SetLatencyTimer(void* handle, unsigned char ms) {
  return Recorded(
      *impl_, LinkCall::kSetLatencyTimer,
      [&](LinkRecord& r) {
        r.arg[0] = ms;
        return ForwardingLink::SetLatencyTimer(handle, ms);
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::GetLatencyTimer(void* handle, unsigned char* ms) {
  return Recorded(
      *impl_, LinkCall::kGetLatencyTimer,
      [&](LinkRecord& r) {
        const unsigned int status = ForwardingLink::GetLatencyTimer(handle, ms);
        if (status == kFtOk && ms != nullptr) r.answer[0] = *ms;
        return status;
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::Purge(void* handle, unsigned int mask) {
  return Recorded(
      *impl_, LinkCall::kPurge,
      [&](LinkRecord& r) {
        r.arg[0] = mask;
        return ForwardingLink::Purge(handle, mask);
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

unsigned int RecordingLink::CreateDeviceInfoList(unsigned int* count) {
  return Recorded(
      *impl_, LinkCall::kCreateDeviceInfoList,
      [&](LinkRecord& r) {
        const unsigned int status = ForwardingLink::CreateDeviceInfoList(count);
        if (status == kFtOk && count != nullptr) r.answer[0] = *count;
        return status;
      },
      kNoMore);
}

unsigned int RecordingLink::GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, unsigned int* count) {
  return Recorded(
      *impl_, LinkCall::kGetDeviceInfoList,
      [&](LinkRecord& r) {
        r.arg[0] = count == nullptr ? 0 : *count;
        const unsigned int status = ForwardingLink::GetDeviceInfoList(list, count);
        if (status == kFtOk && count != nullptr)
          r.answer[0] = std::min<std::uint64_t>(*count, r.arg[0]);
        return status;
      },
      [&](LinkRecord& r, auto&& number) {
        for (std::uint64_t i = 0; list != nullptr && i < r.answer[0]; ++i) {
          const FT_DEVICE_LIST_INFO_NODE& n = list[i];
          r.nodes.push_back({n.Flags, n.Type, n.ID, n.LocId,
                             D2xxText(n.SerialNumber, kSerialNumberSize),
                             D2xxText(n.Description, kDescriptionSize), number(n.ftHandle, false)});
        }
      });
}

unsigned int RecordingLink::SetVIDPID(unsigned int vid, unsigned int pid) {
  return Recorded(
      *impl_, LinkCall::kSetVIDPID,
      [&](LinkRecord& r) {
        r.arg[0] = vid;
        r.arg[1] = pid;
        return ForwardingLink::SetVIDPID(vid, pid);
      },
      kNoMore);
}

unsigned int RecordingLink::GetVIDPID(unsigned int* vid, unsigned int* pid) {
  return Recorded(
      *impl_, LinkCall::kGetVIDPID,
      [&](LinkRecord& r) {
        const unsigned int status = ForwardingLink::GetVIDPID(vid, pid);
        if (status == kFtOk) {
          r.answer[0] = vid == nullptr ? 0 : *vid;
          r.answer[1] = pid == nullptr ? 0 : *pid;
        }
        return status;
      },
      kNoMore);
}

unsigned int RecordingLink::WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) {
  return Recorded(
      *impl_, LinkCall::kWaitForRx,
      [&](LinkRecord& r) {
        r.arg[0] = bytes;
        r.arg[1] = deadline_us;
        return ForwardingLink::WaitForRx(handle, bytes, deadline_us);
      },
      [&](LinkRecord& r, auto&& number) { r.handle = number(handle, false); });
}

}  // namespace kavro

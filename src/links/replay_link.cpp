// ReplayLink: every call answered from a capture, read one line ahead of the session.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "capture_format.h"
#include "clock_sum.h"
#include "kavro/capture.h"
#include "platform/platform.h"

namespace kavro {

using detail::CaptureRecord;
using detail::LinkCall;

namespace {

// No record comes near this; a longer line is not a capture (and is not held in memory).
constexpr std::size_t kLongestLine = 1 << 20;
// The number a handle that the replay did not hand out gets: no record carries it.
constexpr unsigned int kForeignHandle = UINT_MAX;

// The replay's handles: distinct, never null, never dereferenced, and their numbers are
// read back from them without a table.
void* Token(unsigned int number) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(number) << 4);
}

unsigned int NumberOf(void* handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0) return 0;
  if ((value & 0xF) != 0 || (value >> 4) >= kForeignHandle) return kForeignHandle;
  return static_cast<unsigned int>(value >> 4);
}

std::uint64_t PointerValue(const void* p) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

struct ReplayLink::Impl {
  class Turn;

  Impl(const std::string& file_path, ReplayPace replay_pace) : path(file_path), pace(replay_pace) {}

  enum class Line { kWhole, kEnd, kCut, kTooLong };

  // The next line, without its end ("\n" or "\r\n").
  Line ReadLine(std::string& out) {
    out.clear();
    std::streambuf* buffer = in.rdbuf();
    for (;;) {
      const int c = buffer->sbumpc();
      if (c == std::char_traits<char>::eof()) return out.empty() ? Line::kEnd : Line::kCut;
      if (c == '\n') {
        if (!out.empty() && out.back() == '\r') out.pop_back();
        return Line::kWhole;
      }
      if (out.size() >= kLongestLine) return Line::kTooLong;
      out.push_back(static_cast<char>(c));
    }
  }

  // Reads the header, and the first record after it; the failure says when the file is not a
  // capture.
  void Start() {
    errno = 0;
    in.open(platform::PathFromUtf8(path), std::ios::binary);
    if (!in.is_open()) {
      failure = "cannot open the capture " + path + " (" +
                std::generic_category().message(errno != 0 ? errno : ENOENT) + ")";
      return;
    }
    std::string why;
    const Line header = ReadLine(text);
    line = 1;
    if (header == Line::kEnd) {
      failure = path + " is empty: it holds no capture";
    } else if (header != Line::kWhole) {
      failure = path + " line 1: the header is cut short or far too long: not a capture";
    } else if (!detail::ParseHeaderLine(text, &now, &note, &version, &why)) {
      failure = path + " line 1: " + why;
    }
    if (!failure.empty()) return;
    clock0 = now;
    ReadAhead();
  }

  // Reads the record after the current one into next, or says in problem why there is none.
  void ReadAhead() {
    std::string why;
    have_next = false;
    clean_end = false;
    switch (ReadLine(text)) {
      case Line::kEnd:
        clean_end = true;
        problem = path + ": the capture ends after record " + std::to_string(line - 1);
        return;
      case Line::kCut:
        problem = path + " line " + std::to_string(line + 1) +
                  ": the last line is cut short (the capture was interrupted there)";
        return;
      case Line::kTooLong:
        problem = path + " line " + std::to_string(line + 1) + " is longer than " +
                  std::to_string(kLongestLine) + " bytes: not a record";
        return;
      case Line::kWhole: break;
    }
    ++line;
    have_next = detail::ParseRecordLine(text, &next, &why);
    if (!have_next) {
      problem = Where() + "is not a record: " + why;
    } else if (next.t < last_t) {
      have_next = false;
      problem = Where() + "its time, " + std::to_string(next.t) + " us, runs back from the " +
                std::to_string(last_t) + " us of the record before it";
    } else if (!detail::FitsOnClock(clock0, next.t)) {
      have_next = false;
      problem = Where() + "its time, " + std::to_string(next.t) +
                " us after the start, runs past the end of the clock";
    } else {
      last_t = next.t;
    }
  }

  // "PATH record N (line L): " for the record read ahead.
  std::string Where() const {
    return path + " record " + std::to_string(line - 1) + " (line " + std::to_string(line) + "): ";
  }

  void Fail(const std::string& why) {
    if (failure.empty()) failure = why;
  }

  // Moves the replay's clock on (never back). When the captured pace is kept, notes when on
  // the steady clock that time comes: the call waits for it after it let go of the lock.
  void Advance(std::uint64_t to_us) {
    if (to_us <= now) return;
    if (pace == ReplayPace::kRecorded) {
      if (!paced) {
        paced = true;
        pace_start_us = SteadyMicroseconds();
        pace_from_us = now;
      }
      wake_us = std::max(wake_us, detail::LaterBy(pace_start_us, to_us - pace_from_us));
    }
    now = to_us;
  }

  // Takes the record read ahead as the answer to the call being made.
  void Take() {
    Advance(detail::LaterBy(clock0, next.t));
    std::swap(answer, next);
    ++matched;
    ReadAhead();
  }

  // The captured answer to got, or nullptr (the replay has failed) when the session departs
  // from the capture here.
  const CaptureRecord* Expect(const CaptureRecord& got) {
    if (!failure.empty()) return nullptr;
    PassTimeRecords(got.call);
    // Status queries the capture made and this session does not: a wait that polled more
    // (only where the capture does not hold the times the waits were judged by).
    while (!Exact() && have_next && next.call == LinkCall::kGetStatus && next.status == kFtOk) {
      if (got.call == LinkCall::kGetStatus) break;
      Take();
    }
    if (!have_next) {
      Fail(problem + "; then came " + detail::DescribeCall(got));
    } else if (!detail::SameCall(next, got)) {
      Fail(Where() + "expected " + detail::DescribeCall(next) + ", got " +
           detail::DescribeCall(got));
    } else {
      Take();
      polled = false;
      return &answer;
    }
    return nullptr;
  }

  // A status query: the next captured one on the handle, or (when the capture moved on) the
  // last answer again, since a session may poll more often than the capture did.
  const CaptureRecord* Poll(const CaptureRecord& got) {
    if (!failure.empty()) return nullptr;
    if (have_next && next.call == LinkCall::kGetStatus && next.handle == got.handle) {
      Take();
      last_poll = answer;
      polled = true;
      return &last_poll;
    }
    if (!Exact() && polled && last_poll.handle == got.handle) return &last_poll;
    return Expect(got);
  }

  // True when the capture holds the session's clock reads and waits, so that the session
  // goes exactly as captured.
  bool Exact() const { return version >= 2; }

  // Passes over the clock reads and waits captured before the next call of kind call that the
  // session does not make (a capture by a build that read its clock in other places).
  void PassTimeRecords(LinkCall call) {
    while (Exact() && have_next && next.call != call &&
           (next.call == LinkCall::kClock || next.call == LinkCall::kWaitForRx))
      Take();
  }

  // A clock read: the captured one when the capture holds it next, else the time the replay
  // has reached.
  std::uint64_t ReadClock() {
    if (failure.empty() && Exact() && have_next && next.call == LinkCall::kClock) {
      Take();
      return answer.answer[0];
    }
    return now;
  }

  // The wait for bytes: passes over captured polls that found nothing new, then moves the
  // clock to the poll that found something (never past the deadline, since the capture saw
  // it in time) or, when none is left, to the deadline.
  void Wait(unsigned int handle, unsigned int bytes, std::uint64_t deadline_us) {
    if (!failure.empty() || (polled && last_poll.handle == handle && last_poll.answer[0] >= bytes))
      return;
    const std::uint64_t in_time = deadline_us > 0 ? deadline_us - 1 : 0;
    while (have_next && next.call == LinkCall::kGetStatus && next.handle == handle) {
      Advance(std::min(detail::LaterBy(clock0, next.t), in_time));
      const bool nothing_new = polled && last_poll.handle == handle &&
                               next.status == last_poll.status &&
                               next.answer[0] == last_poll.answer[0];
      if (!nothing_new) return;
      ++matched;
      ReadAhead();
    }
    Advance(deadline_us);
  }

  std::string path;
  ReplayPace pace;

  mutable std::mutex mutex;  // guards what follows
  std::ifstream in;
  std::string text;        // the line being read
  std::uint64_t line = 0;  // lines read: the header is line 1, record n line n + 1
  std::uint64_t matched = 0;
  std::uint64_t clock0 = 0;  // the capture clock when the capture began
  unsigned int version = 0;  // the header's format version
  std::string note;          // the header's
  std::uint64_t now = 0;     // the replay's clock
  bool have_next = false;
  bool clean_end = false;
  CaptureRecord next;    // the record read ahead, when have_next
  std::string problem;   // else why there is none
  CaptureRecord answer;  // the record matched last
  CaptureRecord last_poll;  // the last status query's answer,
  bool polled = false;   // while no other call came since
  std::string failure;   // why the replay failed; "" while it goes as captured
  std::uint64_t last_t = 0;                           // the time of the last record read
  bool paced = false;                                 // the pace's origin is set:
  std::uint64_t pace_start_us = 0, pace_from_us = 0;  // steady clock then, replay clock then
  std::uint64_t wake_us = 0;  // when on the steady clock the call being answered may return
};

// One call's turn at the replay: holds the lock while the call is matched, then lets go of it
// before waiting to keep the captured pace, so that another thread asking ok() or Diagnostic()
// is answered at once.
class ReplayLink::Impl::Turn {
 public:
  explicit Turn(Impl& impl) : impl_(impl), lock_(impl.mutex) {}
  ~Turn() {
    const std::uint64_t wake = impl_.wake_us;
    impl_.wake_us = 0;
    lock_.unlock();
    const std::uint64_t steady = SteadyMicroseconds();
    if (wake > steady) platform::SleepMicroseconds(wake - steady);
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  Impl& impl_;
  std::unique_lock<std::mutex> lock_;
};

ReplayLink::ReplayLink(const std::string& path, ReplayPace pace)
    : impl_(std::make_unique<Impl>(path, pace)) {
  impl_->Start();
}

ReplayLink::~ReplayLink() = default;

bool ReplayLink::ok() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->failure.empty();
}

bool ReplayLink::finished() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->failure.empty() && impl_->clean_end;
}

std::uint64_t ReplayLink::records() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->matched;
}

std::string ReplayLink::note() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->note;
}

OpenOptions ReplayLink::Options(OpenOptions base) {
  base.link = this;
  return base;
}

std::string ReplayLink::Diagnostic() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->failure;
}

std::string ReplayLink::Name() const {
  return "replay of " + impl_->path;
}

std::uint64_t ReplayLink::NowMicroseconds() {
  Impl::Turn turn(*impl_);
  return impl_->ReadClock();
}

void ReplayLink::SleepUntil(std::uint64_t deadline_us) {
  Impl::Turn turn(*impl_);
  impl_->Advance(deadline_us);
}

unsigned int ReplayLink::WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) {
  Impl::Turn turn(*impl_);
  if (impl_->Exact()) {
    impl_->PassTimeRecords(LinkCall::kWaitForRx);
    // A wait the capture does not hold here: the status queries after it find what was
    // captured.
    if (impl_->have_next && impl_->next.call != LinkCall::kWaitForRx) return kFtOk;
    CaptureRecord got;
    got.call = LinkCall::kWaitForRx;
    got.handle = NumberOf(handle);
    got.arg[0] = bytes;
    got.arg[1] = deadline_us;
    const CaptureRecord* r = impl_->Expect(got);
    return r == nullptr ? kFtOtherError : r->status;
  }
  impl_->Wait(NumberOf(handle), bytes, deadline_us);
  return kFtOk;
}

namespace {

// Matches one call: args(got) fills in its arguments; answer(record) hands the captured
// answers to the caller and returns the captured status.
template <typename Impl, typename Args, typename Answer>
unsigned int Replayed(Impl& impl, LinkCall call, void* handle, Args args, Answer answer) {
  typename Impl::Turn turn(impl);
  CaptureRecord got;
  got.call = call;
  got.handle = NumberOf(handle);
  args(got);
  const CaptureRecord* r = call == LinkCall::kGetStatus ? impl.Poll(got) : impl.Expect(got);
  if (r == nullptr) return kFtOtherError;
  // Outputs are written as the captured call wrote them: on success, and by Read and Write
  // always (a failing transfer may have moved some bytes).
  if (r->status != kFtOk && call != LinkCall::kRead && call != LinkCall::kWrite) return r->status;
  return answer(*r);
}

constexpr auto kNoArgs = [](CaptureRecord&) {};
constexpr auto kNoAnswer = [](const CaptureRecord& r) { return r.status; };

template <typename T>
void Put(T* target, std::uint64_t value) {
  if (target != nullptr) *target = static_cast<T>(value);
}

}  // namespace

unsigned int ReplayLink::ListDevices(void* arg1, void* arg2, unsigned int flags) {
  return Replayed(
      *impl_, LinkCall::kListDevices, nullptr,
      [&](CaptureRecord& got) {
        got.arg[0] = flags;
        if ((flags & kFtListByIndex) != 0) got.arg[1] = PointerValue(arg1);
      },
      [&](const CaptureRecord& r) {
        if (flags == kFtListNumberOnly) {
          Put(static_cast<unsigned int*>(arg1), r.answer[0]);
        } else if ((flags & kFtListByIndex) != 0) {
          if (arg2 != nullptr)
            FillD2xxText(static_cast<char*>(arg2),
                         (flags & kFtOpenByDescription) ? kDescriptionSize : kSerialNumberSize,
                         r.text[0]);
        } else {
          impl_->Fail(impl_->path + " record " + std::to_string(impl_->matched) +
                      ": ListDevices with flags " + std::to_string(flags) +
                      " cannot be replayed (its answers are not captured)");
          return static_cast<unsigned int>(kFtOtherError);
        }
        return r.status;
      });
}

unsigned int ReplayLink::Open(int index, void** handle) {
  return Replayed(
      *impl_, LinkCall::kOpen, nullptr,
      [&](CaptureRecord& got) { got.arg[0] = static_cast<unsigned int>(index); },
      [&](const CaptureRecord& r) {
        if (handle != nullptr) *handle = Token(r.handle);
        return r.status;
      });
}

unsigned int ReplayLink::OpenEx(void* arg1, unsigned int flags, void** handle) {
  return Replayed(
      *impl_, LinkCall::kOpenEx, nullptr,
      [&](CaptureRecord& got) {
        got.arg[0] = flags;
        if ((flags & (kFtOpenBySerialNumber | kFtOpenByDescription)) == 0)
          got.arg[1] = PointerValue(arg1);
        else if (arg1 != nullptr)
          got.text[0].assign(static_cast<const char*>(arg1),
                             strnlen(static_cast<const char*>(arg1), kDescriptionSize));
      },
      [&](const CaptureRecord& r) {
        if (handle != nullptr) *handle = Token(r.handle);
        return r.status;
      });
}

unsigned int ReplayLink::Close(void* handle) {
  return Replayed(*impl_, LinkCall::kClose, handle, kNoArgs, kNoAnswer);
}

unsigned int ReplayLink::Read(void* handle, void* buffer, unsigned int count,
                              unsigned int* returned) {
  return Replayed(
      *impl_, LinkCall::kRead, handle, [&](CaptureRecord& got) { got.arg[0] = count; },
      [&](const CaptureRecord& r) {
        const std::size_t n = std::min<std::size_t>(r.data.size(), count);
        if (buffer != nullptr && n > 0) std::memcpy(buffer, r.data.data(), n);
        Put(returned, buffer != nullptr ? n : 0);
        return r.status;
      });
}

unsigned int ReplayLink::Write(void* handle, void* buffer, unsigned int count,
                               unsigned int* written) {
  return Replayed(
      *impl_, LinkCall::kWrite, handle,
      [&](CaptureRecord& got) {
        if (buffer != nullptr) got.data.assign(static_cast<const char*>(buffer), count);
      },
      [&](const CaptureRecord& r) {
        Put(written, r.answer[0]);
        return r.status;
      });
}

unsigned int ReplayLink::GetDeviceInfo(void* handle, unsigned int* device, unsigned int* id,
                                       char* serial, char* description, void*) {
  return Replayed(*impl_, LinkCall::kGetDeviceInfo, handle, kNoArgs, [&](const CaptureRecord& r) {
    Put(device, r.answer[0]);
    Put(id, r.answer[1]);
    if (serial != nullptr) FillD2xxText(serial, kSerialNumberSize, r.text[0]);
    if (description != nullptr) FillD2xxText(description, kDescriptionSize, r.text[1]);
    return r.status;
  });
}

unsigned int ReplayLink::GetStatus(void* handle, unsigned int* rx_bytes, unsigned int* tx_bytes,
                                   unsigned int* event) {
  return Replayed(*impl_, LinkCall::kGetStatus, handle, kNoArgs, [&](const CaptureRecord& r) {
    Put(rx_bytes, r.answer[0]);
    Put(tx_bytes, r.answer[1]);
    Put(event, r.answer[2]);
    return r.status;
  });
}

unsigned int ReplayLink::SetTimeouts(void* handle, unsigned int read_ms, unsigned int write_ms) {
  return Replayed(
      *impl_, LinkCall::kSetTimeouts, handle,
      [&](CaptureRecord& got) {
        got.arg[0] = read_ms;
        got.arg[1] = write_ms;
      },
      kNoAnswer);
}

unsigned int ReplayLink::SetUSBParameters(void* handle, unsigned int in_size,
                                          unsigned int out_size) {
  return Replayed(
      *impl_, LinkCall::kSetUSBParameters, handle,
      [&](CaptureRecord& got) {
        got.arg[0] = in_size;
        got.arg[1] = out_size;
      },
      kNoAnswer);
}

unsigned int ReplayLink::SetLatencyTimer(void* handle, unsigned char ms) {
  return Replayed(
      *impl_, LinkCall::kSetLatencyTimer, handle, [&](CaptureRecord& got) { got.arg[0] = ms; },
      kNoAnswer);
}

unsigned int ReplayLink::GetLatencyTimer(void* handle, unsigned char* ms) {
  return Replayed(*impl_, LinkCall::kGetLatencyTimer, handle, kNoArgs, [&](const CaptureRecord& r) {
    Put(ms, r.answer[0]);
    return r.status;
  });
}

unsigned int ReplayLink::Purge(void* handle, unsigned int mask) {
  return Replayed(
      *impl_, LinkCall::kPurge, handle, [&](CaptureRecord& got) { got.arg[0] = mask; }, kNoAnswer);
}

unsigned int ReplayLink::CreateDeviceInfoList(unsigned int* count) {
  return Replayed(*impl_, LinkCall::kCreateDeviceInfoList, nullptr, kNoArgs,
                  [&](const CaptureRecord& r) {
                    Put(count, r.answer[0]);
                    return r.status;
                  });
}

unsigned int ReplayLink::GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, unsigned int* count) {
  return Replayed(
      *impl_, LinkCall::kGetDeviceInfoList, nullptr,
      [&](CaptureRecord& got) { got.arg[0] = count == nullptr ? 0 : *count; },
      [&](const CaptureRecord& r) {
        // The room matched the captured one, which the captured nodes fit.
        const std::size_t n = list == nullptr ? 0 : r.nodes.size();
        for (std::size_t i = 0; i < n; ++i) {
          const detail::CapturedNode& from = r.nodes[i];
          FT_DEVICE_LIST_INFO_NODE& to = list[i];
          to.Flags = static_cast<unsigned int>(from.flags);
          to.Type = static_cast<unsigned int>(from.type);
          to.ID = static_cast<unsigned int>(from.id);
          to.LocId = static_cast<unsigned int>(from.location);
          FillD2xxText(to.SerialNumber, kSerialNumberSize, from.serial);
          FillD2xxText(to.Description, kDescriptionSize, from.description);
          to.ftHandle = from.handle == 0 ? nullptr : Token(from.handle);
        }
        Put(count, n);
        return r.status;
      });
}

unsigned int ReplayLink::SetVIDPID(unsigned int vid, unsigned int pid) {
  return Replayed(
      *impl_, LinkCall::kSetVIDPID, nullptr,
      [&](CaptureRecord& got) {
        got.arg[0] = vid;
        got.arg[1] = pid;
      },
      kNoAnswer);
}

unsigned int ReplayLink::GetVIDPID(unsigned int* vid, unsigned int* pid) {
  return Replayed(*impl_, LinkCall::kGetVIDPID, nullptr, kNoArgs, [&](const CaptureRecord& r) {
    Put(vid, r.answer[0]);
    Put(pid, r.answer[1]);
    return r.status;
  });
}

}  // namespace kavro

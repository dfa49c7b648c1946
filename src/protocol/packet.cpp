// The packet layer: numbering, framing and sending requests, waiting for and validating
// replies, and the hexadecimal traces of both.
#include "packet.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "KAVRO_USB_DLL.h"
#include "clock_sum.h"
#include "platform/platform.h"
#include "result.h"

using namespace kavro::detail;

namespace {

constexpr unsigned char kLastPacketNumber = 254;

// Packet numbers run from 1 to 254, then start again at 1.
unsigned char NumberAfter(unsigned char number) {
  return number < kLastPacketNumber ? static_cast<unsigned char>(number + 1) : 1;
}
constexpr unsigned char kShiftMarker = 0xFF;  // a stray byte some boards send before a reply
constexpr unsigned int kMinimumFrame = 4;     // number, length, code, trailer

// How many PacketData bytes a request of total length n carries.
unsigned int RequestDataCount(signed char mode, unsigned int n) {
  if (mode == kPlainFrame) return (n >= 5 && n <= 8) ? n - 4 : 0;
  if (mode == kChannelFrame) return (n >= 6 && n <= 9) ? n - 5 : 0;
  return 0;
}

// How many data bytes a reply of expected total length n carries into PacketData.
unsigned int ReplyDataCount(unsigned int n) {
  switch (n) {
    case 5: return 1;
    case 6: return 2;
    case 7: return 3;
    case 8: return 4;
    case 10: return 6;
    case 12: return 8;
    default: return 0;
  }
}

// Board error replies: 5 bytes long, carrying one of these codes.
FailureKind BoardError(unsigned char code) {
  switch (code) {
    case 'L': return FailureKind::kTedsError;
    case 'M': return FailureKind::kCommandError;
    case 'N': return FailureKind::kPacketFrameError;
    case 'O': return FailureKind::kPacketCommandError;
    default: return FailureKind::kNone;
  }
}

constexpr unsigned char kBoardErrorLength = 5;

// A reply code that is not the expected one: the board's error, or a wrong code.
FailureKind WrongCode(unsigned char code) {
  const FailureKind board_error = BoardError(code);
  return board_error != FailureKind::kNone ? board_error : FailureKind::kCommandNumber;
}

// Why a whole reply is not the one expected, or kNone when it is. The checks run in this
// order: packet number, board error reply, length, reply code, trailer.
FailureKind ReplyError(const Expected& e, const unsigned char* reply) {
  if (reply[0] != e.number) return FailureKind::kPacketNumber;
  if (reply[1] == kBoardErrorLength && BoardError(reply[2]) != FailureKind::kNone)
    return BoardError(reply[2]);
  if (reply[1] != e.length) return FailureKind::kPacketSize;
  if (reply[2] != e.code) return WrongCode(reply[2]);
  if (reply[e.length - 1] != e.trailer) return FailureKind::kEndOfPacket;
  return FailureKind::kNone;
}

// Why a short reply found when the budget ran out is not the one expected, or kNone when its
// number and code match (it is then a plain time-out). Its length is not judged.
FailureKind ShortReplyError(const Expected& e, const unsigned char* reply) {
  if (reply[0] != e.number) return FailureKind::kPacketNumber;
  if (reply[2] != e.code) return WrongCode(reply[2]);
  return FailureKind::kNone;
}

// Pacing of the library's own wait for a reply (when the provider cannot wait itself): one
// long sleep to 7/8 of the time replies have been taking, then short ones, each an eighth of how
// late the reply is by then (at most 1 ms). Waking before the usual time keeps the pace honest:
// a reply that comes sooner is seen sooner, and the pace follows it down.
constexpr std::uint64_t kPaceHeadStart = 8;
constexpr std::uint64_t kLateReplyBackOff = 8;
constexpr std::uint64_t kLongestLateSleepUs = 1000;

// How long replies have been taking, from one more reply that took took_us: a faster reply is
// believed at once, a slower one moves the pace an eighth of the way (and never by more than
// its own length, so one long wait, a board's restart, hardly moves it).
void LearnReplyPace(std::uint64_t& pace_us, std::uint64_t took_us) {
  if (pace_us == 0 || took_us < pace_us) {
    pace_us = took_us;
    return;
  }
  pace_us += (std::min(took_us, 2 * pace_us) - pace_us) / 8;
}

// How late sleeps end (the kernel's timer slack, tens of microseconds), from one more that
// ended observed_us after the time asked for: a moving average over about eight sleeps, in which
// a sleep held up by a busy machine counts as only a little late.
void LearnSleepLateness(std::uint64_t& late_us, std::uint64_t observed_us) {
  constexpr std::uint64_t kOutlierUs = 20;
  observed_us = std::min(observed_us, late_us + kOutlierUs);
  late_us = observed_us >= late_us ? late_us + (observed_us - late_us) / 8
                                   : late_us - (late_us - observed_us) / 8;
}

// Lowercase hexadecimal of bytes, two digits each. Reuses the target's storage.
void RenderHex(std::string& target, const unsigned char* bytes, unsigned int count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  target.resize(2u * count);
  for (unsigned int i = 0; i < count; ++i) {
    target[2 * i] = kDigits[bytes[i] >> 4];
    target[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
}

// The packet fields of the public class after a write: the trace once the frame was built,
// WriteStatus and ErrorStatus once it was sent.
void ShowSent(KAVRO_USB_DLL& d, const unsigned char* frame, bool framed, bool sent) {
  if (framed) RenderHex(d.PacketSent, frame, d.TxLength);
  if (!sent) return;
  d.ErrorStatus = kavro::kFtOk;
  d.WriteStatus = kFinished;
}

// The packet fields of the public class after an accepted reply, whose bytes (0xFF included)
// are at bytes.
void ShowReceived(KAVRO_USB_DLL& d, const Reply& r, const unsigned char* bytes) {
  std::memcpy(d.PacketData, r.data.data(), sizeof(d.PacketData));
  // The trace covers the 0xFF too. A shifted 255-byte reply is 256 bytes long, which the
  // one-byte RxLength cannot hold, so the trace is rendered from the full count.
  d.RxLength = static_cast<unsigned char>(r.length);
  RenderHex(d.PacketReceived, bytes, r.length);
  d.ReadStatus = kFinished;
}

void ClearReceived(KAVRO_USB_DLL& d) {
  d.PacketReceived.clear();
  d.ReadStatus.clear();
  std::memset(d.PacketData, 0, sizeof(d.PacketData));
}

}  // namespace

namespace kavro::detail {

const char* FailureText(const Failure& f) {
  switch (f.kind) {
    case FailureKind::kNone: return "";
    case FailureKind::kInvalidArgument:
    case FailureKind::kLink: return StatusDescription(f.status);
    case FailureKind::kPacketSize: return "Packet Size Error";
    case FailureKind::kTimeout: return "Timeout Error";
    case FailureKind::kTedsError: return "TEDS Error";
    case FailureKind::kCommandError: return "Command Error";
    case FailureKind::kPacketFrameError: return "Packet Frame Error";
    case FailureKind::kPacketCommandError: return "Packet Command Error";
    case FailureKind::kPacketNumber: return "Packet Number Error";
    case FailureKind::kCommandNumber: return "Command Number Error";
    case FailureKind::kEndOfPacket: return "End Of Packet Error";
    case FailureKind::kInvalidSamplingRate: return "Invalid Sampling Rate";
    case FailureKind::kInvalidTypeOfBoard: return "Invalid Type of Board";
  }
  return "";
}

// The reply pacing the class keeps for the packet layer.
struct PacketAccess {
  static void Await(KAVRO_USB_DLL& d, unsigned int bytes, std::uint64_t start_us,
                    std::uint64_t deadline_us) {
    d.AwaitReplyBytes(bytes, start_us, deadline_us);
  }
  static std::uint64_t& ReplyPace(KAVRO_USB_DLL& d) { return d.replyPaceUs_; }
};

Failure SendFrame(KAVRO_USB_DLL& d, const Frame& f, bool& framed) {
  framed = false;
  // A zero length would put the trailer before the buffer; such a packet is refused unsent.
  if (f.length == 0) return {FailureKind::kPacketSize};

  d.KAVRO_FT_GetStatus();
  if (Failure failed = LastCall(d)) return failed;

  if (f.mode == kPlainFrame || f.mode == kChannelFrame) {
    d.TxBuffer[0] = f.number;
    d.TxBuffer[1] = f.length;
    d.TxBuffer[2] = f.code;
    unsigned int first = 3;
    if (f.mode == kChannelFrame) d.TxBuffer[first++] = f.channel;
    const unsigned int count = RequestDataCount(f.mode, f.length);
    if (count > 0) std::memcpy(d.TxBuffer + first, f.data, count);
    // The trailer goes last, so it wins over any header or data byte at its position.
    d.TxBuffer[f.length - 1] = f.trailer;
  }
  // Any other mode sends TxBuffer as it stands.
  framed = true;  // traced before the write, so the trace stands even if the write fails
  d.KAVRO_FT_Write(f.length);
  return LastCall(d);
}

Outcome<Reply> ReceiveReply(KAVRO_USB_DLL& d, const Expected& e, int budget_ms) {
  // No reply is shorter than a bare frame; such an expectation could never be met.
  if (e.length < kMinimumFrame) return {{FailureKind::kPacketSize}};

  // The budget runs on the link's monotonic clock: elapsed time, not processor time, so a
  // blocked or busy process neither stretches nor shortens it.
  const std::uint64_t start = d.KAVRO_FT_Now();
  // The first moment at which the budget is spent. Between status queries that found too
  // little the thread waits for more bytes, never past it.
  const std::uint64_t deadline =
      LaterBy(start, budget_ms < 0 ? 0 : static_cast<std::uint64_t>(budget_ms) * 1000 + 1);
  unsigned int have = 0;  // bytes of this reply read into RxBuffer so far
  // Once the budget is spent the queue gets one last look before a time-out is judged: a reply
  // that came in time, while this thread was not running, is still taken.
  bool last_look = false;
  for (std::uint64_t now = start;; now = d.KAVRO_FT_Now()) {
    const double elapsed_ms = static_cast<double>(now - start) / 1000.0;
    last_look = elapsed_ms > budget_ms;

    d.KAVRO_FT_GetStatus();
    if (Failure failed = LastCall(d)) return {failed};
    if (have == 0) {
      if (d.RxBytes < e.length) {
        if (last_look) break;
        PacketAccess::Await(d, e.length, start, deadline);
        continue;
      }
      // Only the bytes this read got count: a read that ends short leaves bytes of an earlier
      // reply behind them, which must never be judged as this one.
      have = d.KAVRO_FT_Read(d.RxBytes);
      if (Failure failed = LastCall(d)) return {failed};
    } else if (d.RxBytes > 0 && have < sizeof(d.RxBuffer)) {
      // The rest of a reply (shifted, or read short): append it after the bytes already read.
      const unsigned int room = sizeof(d.RxBuffer) - have;
      const unsigned int count = d.RxBytes < room ? d.RxBytes : room;
      const unsigned int got = d.KAVRO_FT_Read(count, have);
      if (Failure failed = LastCall(d)) return {failed};
      have += got;
    }

    // A reply preceded by 0xFF starts one byte later and is judged only once it is whole.
    const unsigned int shift = d.RxBuffer[0] == kShiftMarker ? 1 : 0;
    if (have < e.length + shift) {
      if (last_look) break;
      PacketAccess::Await(d, e.length + shift - have, start, deadline);
      continue;
    }

    const unsigned char* reply = d.RxBuffer + shift;
    if (const FailureKind why = ReplyError(e, reply); why != FailureKind::kNone) return {{why}};
    Outcome<Reply> accepted;
    accepted.value.length = e.length + shift;
    std::memcpy(accepted.value.data.data(), reply + 3, ReplyDataCount(e.length));
    LearnReplyPace(PacketAccess::ReplyPace(d), d.KAVRO_FT_Now() - start);
    return accepted;
  }

  // Budget spent. A shifted reply that never completed is a plain time-out.
  if (have == 0 && d.RxBytes >= kMinimumFrame) {
    // Something short arrived, typically a 5-byte board error reply where a longer reply
    // was expected: report what it says.
    // All of it, however many reads that takes: only bytes that came are judged.
    unsigned int got = 0;
    while (got < d.RxBytes && got < sizeof(d.RxBuffer)) {
      const unsigned int more = d.KAVRO_FT_Read(d.RxBytes - got, got);
      if (Failure failed = LastCall(d)) return {failed};
      if (more == 0) break;
      got += more;
    }
    const FailureKind why =
        got >= kMinimumFrame ? ShortReplyError(e, d.RxBuffer) : FailureKind::kNone;
    if (why != FailureKind::kNone) return {{why}};
  }
  d.KAVRO_FT_Purge();
  return {{FailureKind::kTimeout}};
}

Exchanged AwaitReply(KAVRO_USB_DLL& d, const Expected& e, int budget_ms) {
  Exchanged x;
  x.expected = e;
  const Outcome<Reply> r = ReceiveReply(d, e, budget_ms);
  x.failure = r.failure;
  if (r.failure) return x;
  x.reply = r.value;
  std::memcpy(x.reply_bytes.data(), d.RxBuffer,
              std::min<unsigned int>(r.value.length, kTraceBytes));
  return x;
}

Exchanged Exchange(KAVRO_USB_DLL& d, void* handle, const Command& c, unsigned char channel,
                   const unsigned char* data, unsigned int data_count) {
  d.ftHandle = handle;
  d.PacketNumber = NumberAfter(d.PacketNumber);
  const unsigned char number = d.PacketNumber;
  const Expected expected{number, c.rx_length, c.rx_code, kEndOfPacket};
  std::array<unsigned char, 8> bytes{};
  const unsigned int count = std::min<unsigned int>(data_count, bytes.size());
  if (count > 0) std::memcpy(bytes.data(), data, count);

  const Frame frame{c.mode, number, c.tx_length, c.code, channel, bytes.data(), kEndOfPacket};
  bool framed = false;
  const Failure not_sent = SendFrame(d, frame, framed);
  Exchanged x = not_sent ? Exchanged{} : AwaitReply(d, expected, c.budget_ms);
  x.failure = not_sent ? not_sent : x.failure;
  x.command = &c;
  x.channel = channel;
  x.data = bytes;
  x.data_count = count;
  x.expected = expected;
  x.framed = framed;
  x.sent = !not_sent;
  if (framed)
    std::memcpy(x.frame.data(), d.TxBuffer, std::min<unsigned int>(c.tx_length, kTraceBytes));
  return x;
}

void ShowExchange(KAVRO_USB_DLL& d, const Exchanged& e) {
  if (e.command != nullptr) {
    const Command& c = *e.command;
    d.TxLength = c.tx_length;
    d.TxCommand = c.code;
    if (c.mode == kChannelFrame) d.TxChannel = e.channel;
    std::memcpy(d.PacketData, e.data.data(), e.data_count);
    d.EndOfPacket = kEndOfPacket;
  }
  d.RxPacketNumber = e.expected.number;
  d.RxLength = e.expected.length;
  d.RxCommand = e.expected.code;
  if (e.command != nullptr) {
    d.PacketSent.clear();
    d.WriteStatus.clear();
    ShowSent(d, e.frame.data(), e.framed, e.sent);
  }
  if (!e.waited()) return;
  ClearReceived(d);
  if (!e.failure) ShowReceived(d, e.reply, e.reply_bytes.data());
}

}  // namespace kavro::detail

void KAVRO_USB_DLL::NextPacketNumber() {
  if (Simulating(*this)) return;
  PacketNumber = NumberAfter(PacketNumber);
}

void KAVRO_USB_DLL::GetPacketSent() {
  if (Simulating(*this)) return;
  RenderHex(PacketSent, TxBuffer, TxLength);
}

void KAVRO_USB_DLL::GetPacketReceived() {
  if (Simulating(*this)) return;
  RenderHex(PacketReceived, RxBuffer, RxLength);
}

void KAVRO_USB_DLL::WritePacket(signed char mode) {
  if (Simulating(*this)) return;
  PacketSent.clear();
  WriteStatus.clear();
  const Frame frame{mode, PacketNumber, TxLength, TxCommand, TxChannel, PacketData, EndOfPacket};
  bool framed = false;
  const Failure failed = SendFrame(*this, frame, framed);
  ShowSent(*this, TxBuffer, framed, !failed);
  Report(*this, failed);
}

void KAVRO_USB_DLL::ReadPacket(int budget_ms) {
  if (Simulating(*this)) return;
  const Expected expected{RxPacketNumber, RxLength, RxCommand, EndOfPacket};
  ClearReceived(*this);
  const Outcome<Reply> r = ReceiveReply(*this, expected, budget_ms);
  if (!r.failure) ShowReceived(*this, r.value, RxBuffer);
  Report(*this, r.failure);
}

// Between two status queries that found too few bytes: the provider's own wait when it has
// one, else a sleep, paced as said at kPaceHeadStart; none is meant to end past the deadline.
void KAVRO_USB_DLL::AwaitReplyBytes(unsigned int bytes, std::uint64_t start_us,
                                    std::uint64_t deadline_us) {
  KAVRO_FT_WaitForRx(bytes, deadline_us);
  if (ftStatus == kavro::kFtOk) return;

  const std::uint64_t now = KAVRO_FT_Now();
  if (now >= deadline_us) return;
  const std::uint64_t waited = now - start_us, left = deadline_us - now;
  const std::uint64_t head_start = replyPaceUs_ - replyPaceUs_ / kPaceHeadStart;
  std::uint64_t sleep_us;
  if (waited + sleepLateUs_ < head_start) {
    sleep_us = head_start - waited - sleepLateUs_;
  } else {
    const std::uint64_t late = waited > replyPaceUs_ ? waited - replyPaceUs_ : 0;
    sleep_us = std::clamp<std::uint64_t>(late / kLateReplyBackOff, 1, kLongestLateSleepUs);
  }
  // A sleep ends about sleepLateUs_ after the time asked for: near the deadline the thread asks
  // at once instead.
  if (left <= sleepLateUs_ + 1) return;
  sleep_us = std::min(sleep_us, left - sleepLateUs_ - 1);

  const std::uint64_t before = kavro::SteadyMicroseconds();
  kavro::platform::SleepMicroseconds(sleep_us);
  const std::uint64_t slept = kavro::SteadyMicroseconds() - before;
  LearnSleepLateness(sleepLateUs_, slept > sleep_us ? slept - sleep_us : 0);
}

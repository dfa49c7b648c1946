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
const char* BoardErrorText(unsigned char code) {
  switch (code) {
    case 'L': return "TEDS Error";
    case 'M': return "Command Error";
    case 'N': return "Packet Frame Error";
    case 'O': return "Packet Command Error";
    default: return nullptr;
  }
}

constexpr unsigned char kBoardErrorLength = 5;

// The text for a reply code that is not the expected one: the board's error, or a wrong code.
const char* WrongCodeText(unsigned char code) {
  const char* board_error = BoardErrorText(code);
  return board_error != nullptr ? board_error : "Command Number Error";
}

// Why a whole reply is not the one expected, or nullptr when it is. The checks run in this
// order: packet number, board error reply, length, reply code, trailer.
const char* ReplyError(const KAVRO_USB_DLL& d, const unsigned char* reply) {
  if (reply[0] != d.RxPacketNumber) return "Packet Number Error";
  if (reply[1] == kBoardErrorLength && BoardErrorText(reply[2]) != nullptr)
    return BoardErrorText(reply[2]);
  if (reply[1] != d.RxLength) return "Packet Size Error";
  if (reply[2] != d.RxCommand) return WrongCodeText(reply[2]);
  if (reply[d.RxLength - 1] != d.EndOfPacket) return "End Of Packet Error";
  return nullptr;
}

// Why a short reply found when the budget ran out is not the one expected, or nullptr when its
// number and code match (it is then a plain time-out). Its length is not judged.
const char* ShortReplyError(const KAVRO_USB_DLL& d, const unsigned char* reply) {
  if (reply[0] != d.RxPacketNumber) return "Packet Number Error";
  if (reply[2] != d.RxCommand) return WrongCodeText(reply[2]);
  return nullptr;
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

}  // namespace

void KAVRO_USB_DLL::NextPacketNumber() {
  if (Simulating(*this)) return;
  PacketNumber = PacketNumber < kLastPacketNumber ? PacketNumber + 1 : 1;
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
  // A zero length would put the trailer before the buffer; such a packet is refused unsent.
  if (TxLength == 0) {
    SetErrorText(*this, "Packet Size Error");
    return;
  }

  KAVRO_FT_GetStatus();
  if (LinkFailed(*this)) return;

  if (mode == kPlainFrame || mode == kChannelFrame) {
    TxBuffer[0] = PacketNumber;
    TxBuffer[1] = TxLength;
    TxBuffer[2] = TxCommand;
    unsigned int first = 3;
    if (mode == kChannelFrame) TxBuffer[first++] = TxChannel;
    std::memcpy(TxBuffer + first, PacketData, RequestDataCount(mode, TxLength));
    // The trailer goes last, so it wins over any header or data byte at its position.
    TxBuffer[TxLength - 1] = EndOfPacket;
  }
  // Any other mode sends TxBuffer as it stands.

  GetPacketSent();  // traced before the write, so it stands even if the write fails
  KAVRO_FT_Write(TxLength);
  if (LinkFailed(*this)) return;
  ErrorStatus = kavro::kFtOk;
  WriteStatus = kFinished;
}

void KAVRO_USB_DLL::ReadPacket(int budget_ms) {
  if (Simulating(*this)) return;
  PacketReceived.clear();
  ReadStatus.clear();
  std::memset(PacketData, 0, sizeof(PacketData));
  // No reply is shorter than a bare frame; such an expectation could never be met.
  if (RxLength < kMinimumFrame) {
    SetErrorText(*this, "Packet Size Error");
    return;
  }

  // The budget runs on the link's monotonic clock: elapsed time, not processor time, so a
  // blocked or busy process neither stretches nor shortens it.
  const std::uint64_t start = KAVRO_FT_Now();
  // The first moment at which the budget is spent. Between status queries that found too
  // little the thread waits for more bytes, never past it.
  const std::uint64_t deadline = kavro::detail::LaterBy(
      start, budget_ms < 0 ? 0 : static_cast<std::uint64_t>(budget_ms) * 1000 + 1);
  unsigned int have = 0;  // bytes of this reply read into RxBuffer so far
  // Once the budget is spent the queue gets one last look before a time-out is judged: a reply
  // that came in time, while this thread was not running, is still taken.
  bool last_look = false;
  for (std::uint64_t now = start;; now = KAVRO_FT_Now()) {
    const double elapsed_ms = static_cast<double>(now - start) / 1000.0;
    last_look = elapsed_ms > budget_ms;

    KAVRO_FT_GetStatus();
    if (LinkFailed(*this)) return;
    if (have == 0) {
      if (RxBytes < RxLength) {
        if (last_look) break;
        AwaitReplyBytes(RxLength, start, deadline);
        continue;
      }
      // Only the bytes this read got count: a read that ends short leaves bytes of an earlier
      // reply behind them, which must never be judged as this one.
      have = KAVRO_FT_Read(RxBytes);
      if (LinkFailed(*this)) return;
    } else if (RxBytes > 0 && have < sizeof(RxBuffer)) {
      // The rest of a reply (shifted, or read short): append it after the bytes already read.
      const unsigned int room = sizeof(RxBuffer) - have;
      const unsigned int count = RxBytes < room ? RxBytes : room;
      const unsigned int got = KAVRO_FT_Read(count, have);
      if (LinkFailed(*this)) return;
      have += got;
    }

    // A reply preceded by 0xFF starts one byte later and is judged only once it is whole.
    const unsigned int shift = RxBuffer[0] == kShiftMarker ? 1 : 0;
    if (have < RxLength + shift) {
      if (last_look) break;
      AwaitReplyBytes(RxLength + shift - have, start, deadline);
      continue;
    }

    const unsigned char* reply = RxBuffer + shift;
    if (const char* why = ReplyError(*this, reply)) {
      SetErrorText(*this, why);
      return;
    }
    std::memcpy(PacketData, reply + 3, ReplyDataCount(RxLength));
    // The trace covers the 0xFF too. A shifted 255-byte reply is 256 bytes long, which the
    // one-byte RxLength cannot hold, so the trace is rendered from the full count.
    const unsigned int accepted = RxLength + shift;
    RxLength = static_cast<unsigned char>(accepted);
    RenderHex(PacketReceived, RxBuffer, accepted);
    ReadStatus = kFinished;
    LearnReplyPace(replyPaceUs_, KAVRO_FT_Now() - start);
    return;
  }

  // Budget spent. A shifted reply that never completed is a plain time-out.
  if (have == 0 && RxBytes >= kMinimumFrame) {
    // Something short arrived, typically a 5-byte board error reply where a longer reply
    // was expected: report what it says.
    // All of it, however many reads that takes: only bytes that came are judged.
    unsigned int got = 0;
    while (got < RxBytes && got < sizeof(RxBuffer)) {
      const unsigned int more = KAVRO_FT_Read(RxBytes - got, got);
      if (LinkFailed(*this)) return;
      if (more == 0) break;
      got += more;
    }
    const char* why = got >= kMinimumFrame ? ShortReplyError(*this, RxBuffer) : nullptr;
    if (why != nullptr) {
      SetErrorText(*this, why);
      return;
    }
  }
  KAVRO_FT_Purge();
  SetErrorText(*this, "Timeout Error");
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

namespace kavro::detail {

bool Exchange(KAVRO_USB_DLL& d, void* handle, const Command& c, unsigned char channel,
              const unsigned char* data, unsigned int data_count) {
  d.ftHandle = handle;
  d.NextPacketNumber();
  d.TxLength = c.tx_length;
  d.TxCommand = c.code;
  if (c.mode == kChannelFrame) d.TxChannel = channel;
  for (unsigned int i = 0; i < data_count && i < sizeof(d.PacketData); ++i)
    d.PacketData[i] = data[i];
  d.EndOfPacket = kEndOfPacket;
  d.RxPacketNumber = d.PacketNumber;
  d.RxLength = c.rx_length;
  d.RxCommand = c.rx_code;
  d.WritePacket(c.mode);
  if (!Finished(d.WriteStatus)) return false;
  d.ReadPacket(c.budget_ms);
  return Finished(d.ReadStatus);
}

}  // namespace kavro::detail

// What the commands use of the packet layer: one request/reply exchange, and how its outcome
// is judged.
#ifndef KAVRO_PACKET_H
#define KAVRO_PACKET_H

#include <array>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "commands.h"
#include "result.h"

namespace kavro::detail {

constexpr const char kFinished[] = "Finished";

inline bool Finished(const std::string& status) {
  return status == kFinished;
}

// A request as it goes on the wire. Frame modes other than kPlainFrame and kChannelFrame send
// the link wrapper's TxBuffer as it stands.
struct Frame {
  signed char mode = kPlainFrame;
  unsigned char number = 0;
  unsigned char length = 0;  // total, header and trailer included
  unsigned char code = 0;
  unsigned char channel = 0;            // sent in channel frames only
  const unsigned char* data = nullptr;  // as many bytes as the length leaves room for
  unsigned char trailer = kEndOfPacket;
};

// The reply a request waits for.
struct Expected {
  unsigned char number = 0;
  unsigned char length = 0;  // total
  unsigned char code = 0;
  unsigned char trailer = kEndOfPacket;
};

// An accepted reply: its length in RxBuffer (one more when a 0xFF came first) and its data bytes.
struct Reply {
  unsigned int length = 0;
  std::array<unsigned char, 8> data{};
};

// Every command's frame and every reply to one (a 0xFF before it included) fit in this many
// bytes; an exchange keeps copies of both for the traces.
constexpr unsigned int kTraceBytes = 16;

// One exchange as it went: the request framed and written, the reply waited for and accepted.
// The public class shows it in its packet fields (ShowExchange); the typed board needs only the
// failure and the reply.
struct Exchanged {
  Failure failure;
  const Command* command = nullptr;     // none: a wait for a reply alone, with nothing sent
  unsigned char channel = 0;            // sent in channel frames
  std::array<unsigned char, 8> data{};  // the request's data bytes
  unsigned int data_count = 0;
  Expected expected;    // the reply waited for
  bool framed = false;  // the frame was built (frame holds it)
  bool sent = false;    // and written
  std::array<unsigned char, kTraceBytes> frame{};
  Reply reply;  // when accepted
  std::array<unsigned char, kTraceBytes> reply_bytes{};

  bool waited() const { return command == nullptr || sent; }
};

// Frames f into TxBuffer and writes it. framed says whether the frame was built (and TxBuffer
// holds it), which a failed status query before it prevents.
Failure SendFrame(KAVRO_USB_DLL& d, const Frame& f, bool& framed);

// Waits up to budget_ms for the reply e and judges it.
Outcome<Reply> ReceiveReply(KAVRO_USB_DLL& d, const Expected& e, int budget_ms);

// Runs one request/reply exchange of command c through handle: numbers and frames the
// request (channel only in channel frames, data bytes from data), writes it and waits for the
// reply. Only the link wrapper's storage and the packet number change.
Exchanged Exchange(KAVRO_USB_DLL& d, void* handle, const Command& c, unsigned char channel,
                   const unsigned char* data, unsigned int data_count);

// Waits for the reply e alone, with nothing sent before it.
Exchanged AwaitReply(KAVRO_USB_DLL& d, const Expected& e, int budget_ms);

// Writes an exchange into the packet fields of the public class, as its own packet methods
// leave them: the request and the reply expected, the trace and WriteStatus once the frame went
// out, then the reply's data, trace and ReadStatus once it was accepted.
void ShowExchange(KAVRO_USB_DLL& d, const Exchanged& e);

}  // namespace kavro::detail

#endif  // KAVRO_PACKET_H

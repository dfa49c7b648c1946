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

// Frames f into TxBuffer and writes it. framed says whether the frame was built (and TxBuffer
// holds it), which a failed status query before it prevents.
Failure SendFrame(KAVRO_USB_DLL& d, const Frame& f, bool& framed);

// Waits up to budget_ms for the reply e and judges it.
Outcome<Reply> ReceiveReply(KAVRO_USB_DLL& d, const Expected& e, int budget_ms);

// ReceiveReply, leaving the packet fields of the public class as its ReadPacket does.
Outcome<Reply> ReceiveShown(KAVRO_USB_DLL& d, const Expected& e, int budget_ms);

// Runs one request/reply exchange of command c through handle: numbers and frames the
// request (channel only in channel frames, data bytes from data), writes it and waits for the
// reply. The packet fields of the public class are left as its own packet methods leave them.
Outcome<Reply> Exchange(KAVRO_USB_DLL& d, void* handle, const Command& c, unsigned char channel,
                        const unsigned char* data, unsigned int data_count);

// Only the failure of an exchange.
inline Failure ExchangeFailure(KAVRO_USB_DLL& d, void* handle, const Command& c,
                               unsigned char channel = 0, const unsigned char* data = nullptr,
                               unsigned int data_count = 0) {
  return Exchange(d, handle, c, channel, data, data_count).failure;
}

}  // namespace kavro::detail

#endif  // KAVRO_PACKET_H

// What the commands use of the packet layer: one request/reply exchange, and how its outcome
// is judged.
#ifndef KAVRO_PACKET_H
#define KAVRO_PACKET_H

#include <string>

#include "KAVRO_USB_DLL.h"
#include "commands.h"

namespace kavro::detail {

constexpr const char kFinished[] = "Finished";

inline bool Finished(const std::string& status) {
  return status == kFinished;
}

// True when the last exchange's packet was written and its reply accepted.
inline bool ExchangeSucceeded(const KAVRO_USB_DLL& d) {
  return Finished(d.WriteStatus) && Finished(d.ReadStatus);
}

// Runs one request/reply exchange of command c through handle: numbers and frames the
// request (channel only in channel frames, data bytes from data), writes it and waits for the
// reply. True when the reply was accepted; PacketData then holds its data bytes.
bool Exchange(KAVRO_USB_DLL& d, void* handle, const Command& c, unsigned char channel,
              const unsigned char* data, unsigned int data_count);

}  // namespace kavro::detail

#endif  // KAVRO_PACKET_H

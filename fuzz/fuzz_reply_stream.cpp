// Fuzz target: arbitrary bytes, in arbitrary chunks at arbitrary times, to ReadPacket with an
// arbitrary expectation. Checked against a small model of what a valid reply is:
// ReadStatus is "Finished" exactly when the bytes actually received form one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

namespace {

using kavro::emu::VirtualBus;

// Passes everything to the bus and keeps the bytes every read returned.
class Recorder final : public kavro::ForwardingLink {
 public:
  using ForwardingLink::ForwardingLink;
  std::string received;
  unsigned int Read(void* h, void* b, unsigned int n, unsigned int* got) override {
    const unsigned int status = ForwardingLink::Read(h, b, n, got);
    received.append(static_cast<const char*>(b), *got);
    return status;
  }
};

const std::set<std::string> kTexts = {"",
                                      "Packet Number Error",
                                      "TEDS Error",
                                      "Command Error",
                                      "Packet Frame Error",
                                      "Packet Command Error",
                                      "Packet Size Error",
                                      "Command Number Error",
                                      "End Of Packet Error",
                                      "Timeout Error"};

[[noreturn]] void Fail(const char* why) {
  std::fprintf(stderr, "model mismatch: %s\n", why);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  const unsigned char number = data[0], length = data[1], code = data[2];
  const int budget = 1 + (data[3] % 60);  // milliseconds
  const unsigned int chunk = 1u + data[4] % 64;
  const bool stale_aa = data[5] & 1;  // what an earlier read left in the buffer
  data += 6;
  size -= 6;

  VirtualBus bus;
  bus.logging = false;
  auto& dev = bus.AddDevice("FUZZ");
  dev.chunk_bytes = chunk;
  Recorder link(bus);
  KAVRO_USB_DLL dll;
  dll.UseLink(&link);
  char serial[] = "FUZZ";
  dll.Open_Device_Connection(serial);
  if (dll.DeviceHandle == nullptr) Fail("open");

  // The rest: chunks of [delay in 100 us][count][bytes].
  std::uint64_t at = 0;
  while (size >= 2) {
    at += std::uint64_t{data[0]} * 100;
    std::size_t n = data[1];
    data += 2;
    size -= 2;
    if (n > size) n = size;
    dev.pending.push_back({at, kavro::emu::Bytes(data, data + n)});
    data += n;
    size -= n;
  }

  std::memset(dll.RxBuffer, stale_aa ? 0xAA : 0x00, sizeof(dll.RxBuffer));
  std::memset(dll.PacketData, 0x5A, sizeof(dll.PacketData));
  dll.PacketReceived = "stale";
  dll.RxPacketNumber = number;
  dll.RxLength = length;
  dll.RxCommand = code;
  dll.EndOfPacket = 0xAA;
  dll.ReadPacket(budget);

  // The model.
  const std::string& r = link.received;
  const unsigned int s = !r.empty() && static_cast<unsigned char>(r[0]) == 0xFF ? 1 : 0;
  auto at_ = [&](std::size_t i) { return static_cast<unsigned char>(r[i]); };
  const bool valid = length >= 4 && r.size() >= length + s && at_(s) == number &&
                     at_(s + 1) == length && at_(s + 2) == code && at_(s + length - 1) == 0xAA;
  const bool finished = dll.ReadStatus == "Finished";
  if (finished != valid) Fail("ReadStatus");

  if (std::memchr(dll.ErrorText, '\0', sizeof(dll.ErrorText)) == nullptr)
    Fail("ErrorText not terminated");
  if (kTexts.count(dll.ErrorText) == 0) Fail("unknown ErrorText");
  if (finished) {
    if (dll.ErrorText[0] != '\0') Fail("ErrorText after success");
    static const int kCopied[13] = {0, 0, 0, 0, 0, 1, 2, 3, 4, 0, 6, 0, 8};
    const int copied = length < 13 ? kCopied[length] : 0;
    for (int i = 0; i < 8; ++i) {
      const unsigned char expected = i < copied ? at_(s + 3 + static_cast<unsigned int>(i)) : 0;
      if (dll.PacketData[i] != expected) Fail("PacketData");
    }
    if (dll.PacketReceived.size() != 2u * (length + s)) Fail("PacketReceived length");
  } else {
    for (unsigned char b : dll.PacketData) {
      if (b != 0) Fail("PacketData after failure");
    }
    if (!dll.PacketReceived.empty()) Fail("PacketReceived after failure");
    if (dll.ErrorText[0] == '\0') Fail("failure without a reason");
  }
  return 0;
}

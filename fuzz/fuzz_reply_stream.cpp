// Fuzz target: arbitrary bytes, in arbitrary chunks at arbitrary times, to ReadPacket with an
// arbitrary expectation. Judged against a model fed with what the link delivered by the last
// status query of the wait, whether or not the library read it: the outcome, ErrorText,
// PacketData, the trace and the purge must all follow from those bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

namespace {

using kavro::emu::VirtualBus;

// Passes everything to the bus, and after each status query notes every byte delivered to the
// host so far: those read already and those waiting in the bridge.
class Witness final : public kavro::ForwardingLink {
 public:
  Witness(VirtualBus& bus, VirtualBus::Device& device) : ForwardingLink(bus), device_(device) {}
  std::string read, delivered;
  unsigned int Read(void* h, void* b, unsigned int n, unsigned int* got) override {
    const unsigned int status = ForwardingLink::Read(h, b, n, got);
    read.append(static_cast<const char*>(b), *got);
    return status;
  }
  unsigned int GetStatus(void* h, unsigned int* rx, unsigned int* tx, unsigned int* ev) override {
    const unsigned int status = ForwardingLink::GetStatus(h, rx, tx, ev);
    delivered = read + std::string(device_.rx.begin(), device_.rx.end());
    return status;
  }

 private:
  VirtualBus::Device& device_;
};

[[noreturn]] void Fail(const char* what, const std::string& got, const std::string& expected) {
  std::fprintf(stderr, "model mismatch in %s: got \"%s\", expected \"%s\"\n", what, got.c_str(),
               expected.c_str());
  std::abort();
}

void Check(const char* what, const std::string& got, const std::string& expected) {
  if (got != expected) Fail(what, got, expected);
}

const char* BoardError(unsigned char code) {
  switch (code) {
    case 'L': return "TEDS Error";
    case 'M': return "Command Error";
    case 'N': return "Packet Frame Error";
    case 'O': return "Packet Command Error";
    default: return nullptr;
  }
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof(two), "%02x", c);
    out += two;
  }
  return out;
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
  VirtualBus::Device& dev = bus.AddDevice("FUZZ");
  dev.chunk_bytes = chunk;
  Witness link(bus, dev);
  KAVRO_USB_DLL dll;
  dll.UseLink(&link);
  char serial[] = "FUZZ";
  dll.Open_Device_Connection(serial);
  if (dll.DeviceHandle == nullptr) Fail("open", dll.ErrorText, "");

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
  std::strcpy(dll.ErrorText, "");
  dll.PacketReceived = "stale";
  dll.RxPacketNumber = number;
  dll.RxLength = length;
  dll.RxCommand = code;
  dll.EndOfPacket = 0xAA;
  link.read.clear();
  link.delivered.clear();
  dll.ReadPacket(budget);

  // The model. A reply after a stray 0xFF starts one byte later and is judged once it is whole;
  // a reply that is never whole is judged at the time-out by its number and code if it is at
  // least a bare frame, and is a time-out otherwise.
  const std::string& d = link.delivered;
  auto at_ = [&](std::size_t i) { return static_cast<unsigned char>(d[i]); };
  const std::size_t s = !d.empty() && at_(0) == 0xFF ? 1 : 0;
  std::string error;
  if (length < 4) {
    error = "Packet Size Error";
  } else if (d.size() >= length + s) {
    if (at_(s) != number) {
      error = "Packet Number Error";
    } else if (at_(s + 1) == 5 && BoardError(at_(s + 2))) {
      error = BoardError(at_(s + 2));
    } else if (at_(s + 1) != length) {
      error = "Packet Size Error";
    } else if (at_(s + 2) != code) {
      error = BoardError(at_(s + 2)) ? BoardError(at_(s + 2)) : "Command Number Error";
    } else if (at_(s + length - 1) != 0xAA) {
      error = "End Of Packet Error";
    }
  } else if (d.size() >= 4 && d.size() < length && at_(0) != number) {
    error = "Packet Number Error";
  } else if (d.size() >= 4 && d.size() < length && at_(2) != code) {
    error = BoardError(at_(2)) ? BoardError(at_(2)) : "Command Number Error";
  } else {
    error = "Timeout Error";
  }
  const bool accepted = error.empty();

  Check("ReadStatus", dll.ReadStatus, accepted ? "Finished" : "");
  Check("ErrorText", std::string(dll.ErrorText, strnlen(dll.ErrorText, sizeof(dll.ErrorText))),
        error);
  Check("purges", std::to_string(dev.purges), error == "Timeout Error" ? "1" : "0");
  static const int kCopied[13] = {0, 0, 0, 0, 0, 1, 2, 3, 4, 0, 6, 0, 8};
  const int copied = accepted && length < 13 ? kCopied[length] : 0;
  std::string data_expected(8, '\0');
  for (int i = 0; i < copied; ++i)
    data_expected[static_cast<std::size_t>(i)] = d[s + 3 + static_cast<std::size_t>(i)];
  Check("PacketData", Hex(std::string(reinterpret_cast<char*>(dll.PacketData), 8)),
        Hex(data_expected));
  Check("PacketReceived", dll.PacketReceived, accepted ? Hex(d.substr(0, length + s)) : "");
  if (accepted) Check("RxLength", std::to_string(dll.RxLength), std::to_string((length + s) % 256));
  return 0;
}

// A library instance wired to an emulated bus, and helpers to assert bytes on the wire.
#ifndef KAVRO_TEST_FIXTURE_H
#define KAVRO_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

using kavro::emu::Board;
using kavro::emu::Bytes;
using kavro::emu::Call;
using kavro::emu::ReplyFault;
using kavro::emu::VirtualBus;

inline Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

inline ReplyFault Fault(ReplyFault::Kind kind) {
  ReplyFault f;
  f.kind = kind;
  return f;
}
inline ReplyFault Replace(Bytes bytes) {
  ReplyFault f;
  f.kind = ReplyFault::kReplace;
  f.bytes = std::move(bytes);
  return f;
}
inline ReplyFault ErrorReply(char code) {
  ReplyFault f;
  f.kind = ReplyFault::kErrorReply;
  f.error_code = static_cast<std::uint8_t>(code);
  return f;
}
inline ReplyFault Hold(std::uint64_t us) {
  ReplyFault f;
  f.kind = ReplyFault::kHold;
  f.delay_us = us;
  return f;
}

class BoardTest : public ::testing::Test {
 protected:
  // Opens an emulated board on a fresh bus and clears what the open left in the logs.
  void Open(Board board = Board::Common(), const char* serial = "KV0001") {
    dev = &bus.AddDevice(serial, std::move(board));
    dll.UseLink(&bus);
    char s[16];
    std::snprintf(s, sizeof(s), "%s", serial);
    dll.Open_Device_Connection(s);
    ASSERT_NE(dll.DeviceHandle, nullptr) << dll.ErrorText;
    handle = dll.DeviceHandle;
    bus.ClearLog();
  }
  const std::vector<Bytes>& Sent() const { return dev->board.transcript; }
  std::vector<std::uint8_t> Codes() const {
    std::vector<std::uint8_t> out;
    for (const Bytes& f : Sent()) out.push_back(f.size() > 2 ? f[2] : 0);
    return out;
  }
  void Queue(ReplyFault f) { dev->board.faults.push_back(std::move(f)); }
  std::string Err() const { return dll.ErrorText; }

  VirtualBus bus;
  KAVRO_USB_DLL dll;
  VirtualBus::Device* dev = nullptr;
  void* handle = nullptr;
};

#endif  // KAVRO_TEST_FIXTURE_H

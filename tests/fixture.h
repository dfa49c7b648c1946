// A library instance wired to an emulated bus, and the bytes on the wire as hexadecimal text.
#ifndef KAVRO_TEST_FIXTURE_H
#define KAVRO_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

using kavro::emu::VirtualBoard;
using kavro::emu::Bytes;
using kavro::emu::Call;
using kavro::emu::ReplyFault;
using kavro::emu::VirtualBus;

// "07 04 01 aa" as bytes; the blanks are for the reader.
inline Bytes FromHex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2) {
    if (text[i] != ' ')
      out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), 0, 16)));
  }
  return out;
}

// Bytes as "07 04 01 aa".
inline std::string ToHex(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  char two[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(two, sizeof(two), i ? " %02x" : "%02x", bytes[i]);
    out += two;
  }
  return out;
}

// The five version fields: a one-character field as the hexadecimal of its character, any other
// text as it stands.
inline std::string VersionFields(const KAVRO_USB_DLL& d) {
  std::string out;
  for (const std::string* f :
       {&d.VersionField1, &d.VersionField2, &d.VersionField3, &d.VersionField4, &d.VersionField5})
    out += (out.empty() ? "" : " ") +
           (f->size() == 1 ? ToHex(reinterpret_cast<const std::uint8_t*>(f->data()), 1) : *f);
  return out;
}

// ErrorStatus and ErrorText as "4 IO Error".
inline std::string Status(const KAVRO_USB_DLL& d) {
  return std::to_string(d.ErrorStatus) + " " + d.ErrorText;
}

// "07 04 01 aa" as the library traces it: "070401aa".
inline std::string Compact(std::string hex) {
  hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  return hex;
}

inline ReplyFault Fault(ReplyFault::Kind kind, Bytes bytes = {}, std::uint64_t delay_us = 0) {
  ReplyFault f;
  f.kind = kind;
  f.bytes = std::move(bytes);
  f.delay_us = delay_us;
  return f;
}

using K = KAVRO_USB_DLL;
using Command = std::function<std::string(K&, void*)>;

template <typename T>
struct Same {
  using type = T;
};
// A method that takes a handle, with its other arguments bound.
template <typename... A>
Command Bind(std::string (K::*method)(void*, A...), typename Same<A>::type... args) {
  return [=](K& d, void* h) { return (d.*method)(h, args...); };
}

// A bus with one board, KV0001, open on an instance, with the open's calls forgotten.
struct OneBoard {
  explicit OneBoard(VirtualBoard board = VirtualBoard::Common())
      : dev(bus.AddDevice("KV0001", std::move(board))) {
    dll.UseLink(&bus);
    char serial[] = "KV0001";
    dll.Open_Device_Connection(serial);
    h = dll.DeviceHandle;
    bus.ClearLog();
  }
  // The frames the host wrote to the board, as text.
  std::vector<std::string> Wire() const {
    std::vector<std::string> out;
    for (const Bytes& frame : dev.board.transcript)
      out.push_back(ToHex(frame.data(), frame.size()));
    return out;
  }
  VirtualBus bus;
  VirtualBus::Device& dev;
  K dll;
  void* h = nullptr;
};

#endif  // KAVRO_TEST_FIXTURE_H

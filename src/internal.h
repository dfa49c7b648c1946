// Helpers shared by the library's source files. Not installed.
#ifndef KAVRO_INTERNAL_H
#define KAVRO_INTERNAL_H

#include <charconv>
#include <cstring>
#include <string>

#include "KAVRO_USB_DLL.h"

namespace kavro::detail {

inline bool Simulating(const KAVRO_USB_DLL& d) {
  return d.SimulationMode == 1;
}

// Replaces ErrorText with a bounded, NUL-terminated copy of text.
inline void SetErrorText(KAVRO_USB_DLL& d, const char* text) {
  std::size_t n = std::strlen(text);
  if (n >= sizeof(d.ErrorText)) n = sizeof(d.ErrorText) - 1;
  std::memcpy(d.ErrorText, text, n);
  d.ErrorText[n] = '\0';
}
inline void ClearErrorText(KAVRO_USB_DLL& d) {
  d.ErrorText[0] = '\0';
}

// Records a failed D2XX status the way every method reports one.
inline void RecordLinkFailure(KAVRO_USB_DLL& d) {
  d.ErrorStatus = d.ftStatus;
  d.GetErrorDescription(d.ErrorStatus);
}

// Plain decimal text of a signed 32-bit value; fits the small-string buffer, so no heap use.
inline std::string Decimal(long long value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), value);
  return std::string(buf, r.ptr);
}

inline bool Finished(const std::string& status) {
  return status == "Finished";
}

constexpr const char kError[] = "Error";
constexpr const char kInvalidTypeOfBoard[] = "Invalid Type of Board";

// Frame forms of WritePacket.
enum FrameMode : signed char { kPlainFrame = 0, kChannelFrame = 1 };

// One row of the board's command table: how a request is framed, what reply it expects,
// and how long the reply may take.
struct Command {
  unsigned char code;
  unsigned char tx_length;  // total frame length, header and trailer included
  FrameMode mode;
  unsigned char rx_length;  // total reply length
  unsigned char rx_code;    // expected reply code
  int budget_ms;
};

// Every command of the protocol. Requests carry the next packet number; replies echo it.
namespace cmd {
constexpr Command kActivity{0x01, 4, kPlainFrame, 4, 0x01, 10};
constexpr Command kWriteAdcConfig{0x29, 5, kPlainFrame, 4, 0x01, 2000};
constexpr Command kWriteChannelAdcConfig{0x39, 6, kChannelFrame, 4, 0x01, 2000};
constexpr Command kOffsetValue{0x40, 4, kPlainFrame, 8, 0x40, 10};
constexpr Command kChannelOffsetValue{0x50, 5, kChannelFrame, 8, 0x50, 10};
constexpr Command kFullscaleValue{0x41, 4, kPlainFrame, 8, 0x41, 10};
constexpr Command kChannelFullscaleValue{0x51, 5, kChannelFrame, 8, 0x51, 10};
constexpr Command kNormalData{0x42, 4, kPlainFrame, 8, 0x42, 10};
constexpr Command kChannelNormalData{0x52, 5, kChannelFrame, 8, 0x52, 10};
constexpr Command kVersion{0x44, 4, kPlainFrame, 8, 0x44, 100};
// Reset: first the acknowledgement, then the restart notice numbered 1 (kResetRestart).
constexpr Command kReset{0x45, 4, kPlainFrame, 4, 0x01, 1000};
constexpr unsigned char kResetRestartNumber = 1;
constexpr unsigned char kResetRestartLength = 4;
constexpr unsigned char kResetRestartCode = 0x45;
constexpr int kResetRestartBudgetMs = 10000;
constexpr Command kReadEeprom{0x82, 5, kPlainFrame, 7, 0x82, 50};
constexpr Command kReadChannelRegister{0x86, 6, kPlainFrame, 7, 0x86, 50};
}  // namespace cmd

constexpr unsigned char kEndOfPacket = 0xAA;
constexpr unsigned int kBoardType9 = 9;  // the type with channel-addressed frames

// How each board type keeps its data. Codes 0 to 16 are listed; every code above 16 is
// unsupported.
enum class BoardFamily : unsigned char {
  kType0,             // EEPROM at the type-0 addresses
  kCommon,            // EEPROM at the common addresses
  kChannelRegisters,  // type 9: per-channel registers and channel-addressed frames
  kUnsupported,
};

struct BoardTypeInfo {
  BoardFamily family;
  bool takes_whole_config_byte;  // served by Set_ADC_Configuration2
  bool caps_rate_at_11;          // the converter of type 12 has no rate codes above 11
};

constexpr BoardTypeInfo kBoardTypes[] = {
    /* 0 */ {BoardFamily::kType0, true, false},
    /* 1 */ {BoardFamily::kCommon, true, false},
    /* 2 */ {BoardFamily::kCommon, true, false},
    /* 3 */ {BoardFamily::kCommon, true, false},
    /* 4 */ {BoardFamily::kCommon, true, false},
    /* 5 */ {BoardFamily::kUnsupported, true, false},
    /* 6 */ {BoardFamily::kCommon, true, false},
    /* 7 */ {BoardFamily::kCommon, true, false},
    /* 8 */ {BoardFamily::kCommon, true, false},
    /* 9 */ {BoardFamily::kChannelRegisters, true, false},
    /* 10 */ {BoardFamily::kUnsupported, true, false},
    /* 11 */ {BoardFamily::kCommon, true, false},
    /* 12 */ {BoardFamily::kCommon, true, true},
    /* 13 */ {BoardFamily::kCommon, true, false},
    /* 14 */ {BoardFamily::kCommon, true, false},
    /* 15 */ {BoardFamily::kUnsupported, false, false},
    /* 16 */ {BoardFamily::kCommon, true, false},
};

inline BoardTypeInfo LookupBoardType(unsigned int type) {
  constexpr unsigned int kKnown = sizeof(kBoardTypes) / sizeof(kBoardTypes[0]);
  return type < kKnown ? kBoardTypes[type] : BoardTypeInfo{BoardFamily::kUnsupported, false, false};
}

// Runs one request/reply exchange of command c through handle: numbers and frames the
// request (channel only in channel frames, data bytes from data), writes it and waits for the
// reply. True when the reply was accepted; PacketData then holds its data bytes.
bool Exchange(KAVRO_USB_DLL& d, void* handle, const Command& c, unsigned char channel,
              const unsigned char* data, unsigned int data_count);

// The version exchange every board-type-dependent command runs first. True on success, with
// BoardType refreshed.
inline bool RefreshBoardType(KAVRO_USB_DLL& d, void* handle) {
  d.Get_Version_of_Board(handle);
  return Finished(d.WriteStatus) && Finished(d.ReadStatus);
}

// Reads the converter configuration byte at address through handle (the channel's register on
// board type 9) into AdcConfigUpper and AdcSamplingRate.
bool ReadAdcConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char address,
                          unsigned char channel);

}  // namespace kavro::detail

#endif  // KAVRO_INTERNAL_H

// What the emulated board knows of its packet protocol: the frame layout, the command and
// reply codes and lengths, the error replies, the restart notice, the board types, the register
// addresses and the form of a reading.
//
// The emulator keeps its own copy of these facts on purpose and never takes the library's: it
// is an independent check of the library, so a library constant that drifts is caught by the
// emulator disagreeing with it.
#ifndef KAVRO_EMULATOR_PROTOCOL_H
#define KAVRO_EMULATOR_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace kavro::emu {

// Frames, requests and replies alike: packet number, total length, code, data bytes, trailer.
constexpr std::size_t kNumberAt = 0;
constexpr std::size_t kLengthAt = 1;
constexpr std::size_t kCodeAt = 2;
constexpr std::size_t kChannelAt = 3;  // the channel byte of a channel-addressed request
constexpr std::size_t kHeaderLength = 3;
constexpr std::size_t kShortestFrame = 4;  // header and trailer, no data
constexpr std::uint8_t kTrailer = 0xAA;
// A byte a reply may arrive behind: the host then reads the reply from the next byte on. Packet
// numbers never take this value.
constexpr std::uint8_t kShiftMarker = 0xFF;

// Command codes, with the length of their request frames.
constexpr std::uint8_t kActivityInquiry = 0x01;          // 4
constexpr std::uint8_t kSetConfig = 0x29;                // 5: the configuration byte
constexpr std::uint8_t kSetChannelConfig = 0x39;         // 6: channel, configuration byte (type 9)
constexpr std::uint8_t kOffsetRequest = 0x40;            // 4
constexpr std::uint8_t kFullscaleRequest = 0x41;         // 4
constexpr std::uint8_t kReadingRequest = 0x42;           // 4
constexpr std::uint8_t kChannelOffsetRequest = 0x50;     // 5: channel (type 9)
constexpr std::uint8_t kChannelFullscaleRequest = 0x51;  // 5: channel (type 9)
constexpr std::uint8_t kChannelReadingRequest = 0x52;    // 5: channel (type 9)
constexpr std::uint8_t kVersionRequest = 0x44;           // 4
constexpr std::uint8_t kReset = 0x45;                    // 4
constexpr std::uint8_t kReadEeprom = 0x82;               // 5: address
constexpr std::uint8_t kReadChannelRegister = 0x86;      // 6: channel, address

constexpr std::size_t kPlainRequestLength = 4;
constexpr std::size_t kSetConfigLength = 5;
constexpr std::size_t kSetChannelConfigLength = 6;
constexpr std::size_t kChannelRequestLength = 5;
constexpr std::size_t kReadEepromLength = 5;
constexpr std::size_t kReadChannelRegisterLength = 6;

// Replies: an acknowledgement of a command without data, the echoed command code with four
// data bytes (a reading, the version) or three (a register: b0, b1, b2).
constexpr std::uint8_t kAck = 0x01;
constexpr std::uint8_t kAckLength = 4;
constexpr std::uint8_t kFourDataLength = 8;
constexpr std::uint8_t kRegisterReplyLength = 7;

// Error replies: the request's packet number, length 5, an error code and one data byte.
constexpr std::uint8_t kErrorReplyLength = 5;
constexpr std::uint8_t kTedsError = 'L';
constexpr std::uint8_t kCommandError = 'M';  // e.g. a channel the board lacks
constexpr std::uint8_t kFrameError = 'N';    // a frame the board cannot parse
constexpr std::uint8_t kUnknownCommand = 'O';

// After acknowledging a reset the board restarts and says so with a notice of its own:
// packet number 1, length 4, the reset code, trailer.
constexpr std::uint8_t kRestartNoticeNumber = 1;

// Board types: type 0 keeps its EEPROM data at addresses of its own; type 9 takes
// channel-addressed requests and keeps its configuration and calibration in registers of each
// channel; the other types share the common addresses.
constexpr unsigned int kType0 = 0;
constexpr unsigned int kTypeChannelRegisters = 9;
constexpr unsigned int kTypeCommon = 3;  // one of the common types
constexpr unsigned int kType12 = 12;     // a common type with its own rate cap on the host

// The converter configuration byte: in the EEPROM, or on type 9 in each channel's registers.
constexpr std::uint8_t kConfigRegister = 0x64;
constexpr std::uint8_t kType0ConfigRegister = 0x7A;
constexpr std::uint8_t ConfigRegisterOf(unsigned int board_type) {
  return board_type == kType0 ? kType0ConfigRegister : kConfigRegister;
}

// Where the calibration is kept: in the EEPROM on type 0 and the common types, in the channel's
// own registers on type 9. A 16-bit value keeps its high byte in the EEPROM register's b1, or
// in the channel register at address + 1; an 8-bit value is b2.
struct CalibrationMap {
  std::uint8_t offset_load, fullscale_load, unit_code, decimal_point;
  bool has_decimal_point;
};
constexpr CalibrationMap kType0Calibration{0x50, 0x76, 0x7E, 0, false};
constexpr CalibrationMap kCommonCalibration{0x40, 0x5E, 0x6A, 0x72, true};
constexpr CalibrationMap kChannelCalibration = kCommonCalibration;

// A reading on every type but 9: a 32-bit big-endian offset code whose zero reading is
// 0x02000000 (status byte 2 for positive readings, 1 for negative ones); the limit markers sit
// one step outside the range.
constexpr std::int64_t kZeroReadingCode = 0x02000000;
constexpr std::int64_t kLowestReading = -16777216;
constexpr std::int64_t kHighestReading = 16777215;
constexpr std::uint8_t kNegativeOverflow[4] = {0, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kPositiveOverflow[4] = {3, 0, 0, 0};
// A reading on type 9: a plain 24-bit count in the last three bytes, byte 0 unused.
constexpr std::int64_t kHighestCount = 0xFFFFFF;
constexpr std::int64_t kMidScaleCount = 0x800000;

}  // namespace kavro::emu

#endif  // KAVRO_EMULATOR_PROTOCOL_H

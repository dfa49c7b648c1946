// Facts about the boards that applications and tools need beside the command class: which
// board type keeps its data per channel, and where the converter configuration byte lives
// (the address to pass to Get_ADC_Configuration).
#ifndef KAVRO_PROTOCOL_H
#define KAVRO_PROTOCOL_H

namespace kavro {

// Board type 0 keeps its EEPROM data at addresses of its own.
constexpr unsigned int kBoardType0 = 0;
// Board type 9 takes channel-addressed frames and keeps its converter configuration and its
// calibration data in registers of each channel.
constexpr unsigned int kBoardTypeChannelRegisters = 9;

// Address of the converter configuration byte: in the EEPROM, or on type 9 in the channel's
// registers.
constexpr unsigned char kConfigRegister = 0x64;
constexpr unsigned char kType0ConfigRegister = 0x7A;  // board type 0

constexpr unsigned char ConfigRegisterAddress(unsigned int board_type) {
  return board_type == kBoardType0 ? kType0ConfigRegister : kConfigRegister;
}

}  // namespace kavro

#endif  // KAVRO_PROTOCOL_H

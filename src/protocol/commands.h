// The board's command table: how each request is framed, what reply it expects and how long
// the reply may take.
#ifndef KAVRO_COMMANDS_H
#define KAVRO_COMMANDS_H

namespace kavro::detail {

// Frame forms of WritePacket.
enum FrameMode : signed char { kPlainFrame = 0, kChannelFrame = 1 };

struct Command {
  unsigned char code;
  unsigned char tx_length;  // total frame length, header and trailer included
  FrameMode mode;
  unsigned char rx_length;  // total reply length
  unsigned char rx_code;    // expected reply code
  int budget_ms;
};

constexpr unsigned char kEndOfPacket = 0xAA;

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

}  // namespace kavro::detail

#endif  // KAVRO_COMMANDS_H

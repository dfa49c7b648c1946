// The calibration values stored in the board's registers: offset load, full-scale load, unit
// code and decimal point of a channel.
#include "KAVRO_USB_DLL.h"
#include "board_types.h"
#include "packet.h"
#include "result.h"

using namespace kavro::detail;

namespace {

// Where one calibration value lives, by board family. A 16-bit value on type 9 spans two
// channel registers: the high byte at channel_address + 1, the low byte at channel_address.
struct CalibrationValue {
  bool type0_stored;  // false: type 0 has no such register and the value is 0
  unsigned char type0_address;
  unsigned char common_address;
  unsigned char channel_address;
  bool sixteen_bit;
};

constexpr CalibrationValue kOffsetLoad{true, 0x50, 0x40, 0x40, true};
constexpr CalibrationValue kFullscaleLoad{true, 0x76, 0x5E, 0x5E, true};
constexpr CalibrationValue kUnitCode{true, 0x7E, 0x6A, 0x6A, false};
constexpr CalibrationValue kDecimalPoint{false, 0, 0x72, 0x72, false};

// The calibration query of every value: the simulated value as text in simulation mode, else
// the value read from the board's registers.
std::string QueryCalibration(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                             const CalibrationValue& v, int simulated) {
  ClearErrorText(d);
  if (Simulating(d)) return Decimal(simulated);
  if (!RefreshBoardType(d, handle)) return kError;
  const BoardFamily family = LookupBoardType(d.BoardType).family;
  if (family == BoardFamily::kUnsupported) {
    SetErrorText(d, kInvalidTypeOfBoard);
    return kError;
  }
  if (family == BoardFamily::kType0 && !v.type0_stored) return "0";

  if (family == BoardFamily::kChannelRegisters) {
    d.RegisterAddress = v.channel_address;
    if (!v.sixteen_bit) {
      d.Read_Channel_Register(handle, channel, d.RegisterAddress);
      return ExchangeSucceeded(d) ? Decimal(d.PacketData[2]) : kError;
    }
    // High byte first, then low byte.
    d.Read_Channel_Register(handle, channel, static_cast<unsigned char>(d.RegisterAddress + 1));
    if (!ExchangeSucceeded(d)) return kError;
    d.RegisterHigh = d.PacketData[2];
    d.Read_Channel_Register(handle, channel, d.RegisterAddress);
    if (!ExchangeSucceeded(d)) return kError;
    d.RegisterLow = d.PacketData[2];
  } else {
    // EEPROM: the same address for every channel, so the channel is not sent.
    d.RegisterAddress = family == BoardFamily::kType0 ? v.type0_address : v.common_address;
    d.Read_EEPROM_Register(handle, d.RegisterAddress);
    if (!ExchangeSucceeded(d)) return kError;
    if (!v.sixteen_bit) return Decimal(d.PacketData[2]);
    d.RegisterHigh = d.PacketData[1];
    d.RegisterLow = d.PacketData[2];
  }
  return Decimal(d.RegisterHigh * 256 + d.RegisterLow);
}

}  // namespace

std::string KAVRO_USB_DLL::Get_Offset_Load(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, kOffsetLoad, SimOffsetLoad);
}

std::string KAVRO_USB_DLL::Get_Fullscale_Load(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, kFullscaleLoad, SimFullscaleLoad);
}

std::string KAVRO_USB_DLL::Get_Unit_Code(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, kUnitCode, SimUnitCode);
}

std::string KAVRO_USB_DLL::Get_Decimal_Point(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, kDecimalPoint, SimDecimalPoint);
}

// The calibration values stored in the board's registers: offset load, full-scale load, unit
// code and decimal point of a channel.
#include "KAVRO_USB_DLL.h"
#include "protocol/board_types.h"
#include "protocol/packet.h"
#include "protocol/result.h"
#include "protocol/steps.h"

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

const CalibrationValue& ValueOf(CalibrationField field) {
  switch (field) {
    case CalibrationField::kFullscaleLoad: return kFullscaleLoad;
    case CalibrationField::kUnitCode: return kUnitCode;
    case CalibrationField::kDecimalPoint: return kDecimalPoint;
    case CalibrationField::kOffsetLoad: break;
  }
  return kOffsetLoad;
}

// The calibration query of every value: the simulated value as text in simulation mode, else
// the value read from the board's registers.
std::string QueryCalibration(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                             CalibrationField field, int simulated) {
  ClearErrorText(d);
  if (Simulating(d)) return Decimal(simulated);
  const Outcome<long long> v = ReadCalibration(d, handle, channel, field);
  return v.failure ? Answer(d, v.failure) : Decimal(v.value);
}

}  // namespace

namespace kavro::detail {

Outcome<long long> ReadCalibration(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                   CalibrationField field) {
  const CalibrationValue& v = ValueOf(field);
  const Outcome<BoardVersion> version = RequestVersion(d, handle);
  if (version.failure) return {version.failure};
  const BoardFamily family = LookupBoardType(version.value.type).family;
  if (family == BoardFamily::kUnsupported) return {{FailureKind::kInvalidTypeOfBoard}};
  if (family == BoardFamily::kType0 && !v.type0_stored) return {{}, 0};

  if (family == BoardFamily::kChannelRegisters) {
    d.RegisterAddress = v.channel_address;
    if (!v.sixteen_bit) {
      const Outcome<RegisterBytes> r = ReadChannelRegister(d, handle, channel, d.RegisterAddress);
      if (r.failure) return {r.failure};
      return {{}, r.value[2]};
    }
    // High byte first, then low byte.
    const Outcome<RegisterBytes> high =
        ReadChannelRegister(d, handle, channel, static_cast<unsigned char>(d.RegisterAddress + 1));
    if (high.failure) return {high.failure};
    d.RegisterHigh = high.value[2];
    const Outcome<RegisterBytes> low = ReadChannelRegister(d, handle, channel, d.RegisterAddress);
    if (low.failure) return {low.failure};
    d.RegisterLow = low.value[2];
  } else {
    // EEPROM: the same address for every channel, so the channel is not sent.
    d.RegisterAddress = family == BoardFamily::kType0 ? v.type0_address : v.common_address;
    const Outcome<RegisterBytes> r = ReadEeprom(d, handle, d.RegisterAddress);
    if (r.failure) return {r.failure};
    if (!v.sixteen_bit) return {{}, r.value[2]};
    d.RegisterHigh = r.value[1];
    d.RegisterLow = r.value[2];
  }
  return {{}, d.RegisterHigh * 256 + d.RegisterLow};
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Get_Offset_Load(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, CalibrationField::kOffsetLoad, SimOffsetLoad);
}

std::string KAVRO_USB_DLL::Get_Fullscale_Load(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, CalibrationField::kFullscaleLoad,
                          SimFullscaleLoad);
}

std::string KAVRO_USB_DLL::Get_Unit_Code(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, CalibrationField::kUnitCode, SimUnitCode);
}

std::string KAVRO_USB_DLL::Get_Decimal_Point(void* handle, unsigned char channel) {
  return QueryCalibration(*this, handle, channel, CalibrationField::kDecimalPoint, SimDecimalPoint);
}

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
  const Step<long long> v = ReadCalibration(d, handle, channel, field);
  return ShowStep(d, v) ? Answer(d, v.failure) : Decimal(v.value);
}

}  // namespace

namespace kavro::detail {

Step<long long> ReadCalibration(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                CalibrationField field) {
  const CalibrationValue& v = ValueOf(field);
  const Step<BoardVersion> version = RequestVersion(d, handle);
  Step<long long> read = FailedAs<long long>(version);
  if (version.failure) return read;
  const BoardFamily family = LookupBoardType(version.value.type).family;
  if (family == BoardFamily::kUnsupported) {
    read.failure = {FailureKind::kInvalidTypeOfBoard};
    return read;
  }
  if (family == BoardFamily::kType0 && !v.type0_stored) return read;  // 0

  // A failed register read, or the value of one 8-bit register.
  auto byte_read = [&read](const Step<RegisterBytes>& r) {
    Step<long long> last = After(read, FailedAs<long long>(r));
    if (!r.failure) last.value = r.value[2];
    return last;
  };
  if (family == BoardFamily::kChannelRegisters) {
    const unsigned char address = v.channel_address;
    read.shown.register_address = address;
    if (!v.sixteen_bit) return byte_read(ReadChannelRegister(d, handle, channel, address));
    // High byte first, then low byte.
    read =
        byte_read(ReadChannelRegister(d, handle, channel, static_cast<unsigned char>(address + 1)));
    if (read.failure) return read;
    read.shown.register_high = static_cast<unsigned char>(read.value);
    const long long high = read.value;
    read = byte_read(ReadChannelRegister(d, handle, channel, address));
    if (read.failure) return read;
    read.shown.register_low = static_cast<unsigned char>(read.value);
    read.value += high * 256;
    return read;
  }
  // EEPROM: the same address for every channel, so the channel is not sent.
  const unsigned char address = family == BoardFamily::kType0 ? v.type0_address : v.common_address;
  read.shown.register_address = address;
  const Step<RegisterBytes> r = ReadEeprom(d, handle, address);
  read = byte_read(r);
  if (read.failure || !v.sixteen_bit) return read;
  read.shown.register_high = r.value[1];
  read.shown.register_low = r.value[2];
  read.value = r.value[1] * 256 + r.value[2];
  return read;
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

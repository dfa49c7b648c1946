// Converter configuration (the sampling-rate code and the upper configuration field) and the
// conversion of a converter reading's four bytes into text.
#include "KAVRO_USB_DLL.h"
#include "board_types.h"
#include "packet.h"
#include "result.h"

using namespace kavro::detail;

namespace {

constexpr unsigned char kMaxRateCode = 15;
constexpr unsigned char kType12MaxRateCode = 11;

unsigned char UpperField(unsigned char config) {
  return (config & 0x70) >> 4;
}
unsigned char RateField(unsigned char config) {
  return config & 0x0F;
}

// Writes one configuration byte through handle: per channel on board type 9, board-wide
// otherwise. True when the board acknowledged it.
bool WriteConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char config,
                        unsigned char channel) {
  const Command& c = HasChannelRegisters(d) ? cmd::kWriteChannelAdcConfig : cmd::kWriteAdcConfig;
  return Exchange(d, handle, c, channel, &config, 1);
}

// Reads the converter configuration byte at address through handle (the channel's register on
// board type 9) into AdcConfigUpper and AdcSamplingRate.
bool ReadAdcConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char address,
                          unsigned char channel) {
  // Type 9 keeps its configuration in the channel's own register, like its calibration data.
  if (HasChannelRegisters(d)) {
    d.Read_Channel_Register(handle, channel, address);
  } else {
    d.Read_EEPROM_Register(handle, address);
  }
  if (!ExchangeSucceeded(d)) return false;
  d.AdcConfigUpper = UpperField(d.PacketData[2]);
  d.AdcSamplingRate = RateField(d.PacketData[2]);
  return true;
}

}  // namespace

std::string KAVRO_USB_DLL::Set_ADC_Configuration(void* handle, unsigned char sampling_rate,
                                                 unsigned char channel) {
  ClearErrorText(*this);
  if (Simulating(*this)) {
    SimAdcSamplingRate = 0;
    return "0";
  }
  if (sampling_rate > kMaxRateCode) {
    SetErrorText(*this, "Invalid Sampling Rate");
    return kError;
  }
  if (!RefreshBoardType(*this, handle)) return kError;

  const BoardTypeInfo type = LookupBoardType(BoardType);
  if (type.caps_rate_at_11 && sampling_rate > kType12MaxRateCode)
    sampling_rate = kType12MaxRateCode;
  if (type.family == BoardFamily::kUnsupported) {
    SetErrorText(*this, kInvalidTypeOfBoard);
    return kError;
  }
  RegisterAddress = kavro::ConfigRegisterAddress(BoardType);

  // Read the current byte to keep its upper field, then write it back with the new rate,
  // both through the handle the caller named.
  if (!ReadAdcConfiguration(*this, handle, RegisterAddress, channel)) return kError;
  const unsigned char config = static_cast<unsigned char>(AdcConfigUpper * 16 + sampling_rate);
  return WriteConfiguration(*this, handle, config, channel) ? "0" : kError;
}

std::string KAVRO_USB_DLL::Set_ADC_Configuration2(void* handle, unsigned char configuration,
                                                  unsigned char channel) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  if (!RefreshBoardType(*this, handle)) return kError;

  const BoardTypeInfo type = LookupBoardType(BoardType);
  if (!type.takes_whole_config_byte) {
    SetErrorText(*this, kInvalidTypeOfBoard);
    return kError;
  }
  unsigned char config = configuration;
  if (type.caps_rate_at_11) {
    AdcConfigUpper = UpperField(configuration);
    AdcSamplingRate = RateField(configuration);
    if (AdcSamplingRate > kType12MaxRateCode) AdcSamplingRate = kType12MaxRateCode;
    config = static_cast<unsigned char>(AdcConfigUpper * 16 + AdcSamplingRate);
  }
  return WriteConfiguration(*this, handle, config, channel) ? "0" : kError;
}

std::string KAVRO_USB_DLL::Get_ADC_Configuration(unsigned char address, unsigned char channel) {
  ClearErrorText(*this);
  if (Simulating(*this)) {
    AdcConfigUpper = static_cast<unsigned char>(SimAdcConfigUpper);
    AdcSamplingRate = static_cast<unsigned char>(SimAdcSamplingRate);
    return kFinished;
  }
  // No handle argument: the board opened last on this instance is asked.
  return ReadAdcConfiguration(*this, DeviceHandle, address, channel) ? kFinished : kError;
}

std::string KAVRO_USB_DLL::Calculate_ADC_Value(unsigned char status, unsigned char high,
                                               unsigned char middle, unsigned char low) {
  if (Simulating(*this)) return "0";
  const long long magnitude = (static_cast<long long>(high) << 16) | (middle << 8) | low;
  const bool all_zero = magnitude == 0;
  const bool all_ones = magnitude == 0xFFFFFF;
  switch (status) {
    case 0:
      if (all_zero) return "Error";
      return all_ones ? "Negative Overflow" : "";
    case 1: return Decimal(magnitude - 16777216);  // negative readings: -16777216 to -1
    case 2: return Decimal(magnitude);
    case 3: return all_zero ? "Positive Overflow" : "";
    default: break;
  }
  if (status == 0xFF && all_ones) return "Unassigned";
  // Not a reading: the four raw bytes, each as one character, for the application to inspect.
  const char text[] = {'D', 'a', 't',
                       'a', ' ', static_cast<char>(status),
                       ',', ' ', static_cast<char>(high),
                       ',', ' ', static_cast<char>(middle),
                       ',', ' ', static_cast<char>(low)};
  return std::string(text, sizeof(text));
}

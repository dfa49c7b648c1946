// Converter configuration (the sampling-rate code and the upper configuration field) and the
// conversion of a converter reading's four bytes into text.
#include "KAVRO_USB_DLL.h"
#include "protocol/board_types.h"
#include "protocol/packet.h"
#include "protocol/result.h"
#include "protocol/steps.h"

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
// otherwise.
Step<> WriteConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned int board_type,
                          unsigned char config, unsigned char channel) {
  const Command& c =
      HasChannelRegisters(board_type) ? cmd::kWriteChannelAdcConfig : cmd::kWriteAdcConfig;
  return StepOf(Exchange(d, handle, c, channel, &config, 1));
}

}  // namespace

namespace kavro::detail {

Step<ConverterByte> ReadConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char address,
                                      unsigned char channel, unsigned int board_type) {
  // Type 9 keeps its configuration in the channel's own register, like its calibration data.
  const Step<RegisterBytes> r = HasChannelRegisters(board_type)
                                    ? ReadChannelRegister(d, handle, channel, address)
                                    : ReadEeprom(d, handle, address);
  Step<ConverterByte> c = FailedAs<ConverterByte>(r);
  if (r.failure) return c;
  c.value.upper = UpperField(r.value[2]);
  c.value.rate = RateField(r.value[2]);
  c.shown.converter = c.value;
  return c;
}

Step<> SetSamplingRate(KAVRO_USB_DLL& d, void* handle, unsigned char rate, unsigned char channel) {
  if (rate > kMaxRateCode) return {{FailureKind::kInvalidSamplingRate}, {}, {}};
  const Step<BoardVersion> version = RequestVersion(d, handle);
  Step<> set = FailedAs<Nothing>(version);
  if (version.failure) return set;
  const unsigned int board_type = version.value.type;

  const BoardTypeInfo type = LookupBoardType(board_type);
  if (type.caps_rate_at_11 && rate > kType12MaxRateCode) rate = kType12MaxRateCode;
  if (type.family == BoardFamily::kUnsupported) {
    set.failure = {FailureKind::kInvalidTypeOfBoard};
    return set;
  }
  const unsigned char address = kavro::ConfigRegisterAddress(board_type);
  set.shown.register_address = address;

  // Read the current byte to keep its upper field, then write it back with the new rate,
  // both through the handle the caller named.
  const Step<ConverterByte> current =
      After(set, ReadConfiguration(d, handle, address, channel, board_type));
  if (current.failure) return FailedAs<Nothing>(current);
  const auto config = static_cast<unsigned char>(current.value.upper * 16 + rate);
  return After(current, WriteConfiguration(d, handle, board_type, config, channel));
}

Step<> SetConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char configuration,
                        unsigned char channel) {
  const Step<BoardVersion> version = RequestVersion(d, handle);
  Step<> set = FailedAs<Nothing>(version);
  if (version.failure) return set;
  const unsigned int board_type = version.value.type;

  const BoardTypeInfo type = LookupBoardType(board_type);
  if (!type.takes_whole_config_byte) {
    set.failure = {FailureKind::kInvalidTypeOfBoard};
    return set;
  }
  unsigned char config = configuration;
  if (type.caps_rate_at_11) {
    ConverterByte capped{UpperField(configuration), RateField(configuration)};
    if (capped.rate > kType12MaxRateCode) capped.rate = kType12MaxRateCode;
    set.shown.converter = capped;
    config = static_cast<unsigned char>(capped.upper * 16 + capped.rate);
  }
  return After(set, WriteConfiguration(d, handle, board_type, config, channel));
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Set_ADC_Configuration(void* handle, unsigned char sampling_rate,
                                                 unsigned char channel) {
  ClearErrorText(*this);
  if (Simulating(*this)) {
    SimAdcSamplingRate = 0;
    return "0";
  }
  return Answer(*this, ShowStep(*this, SetSamplingRate(*this, handle, sampling_rate, channel)));
}

std::string KAVRO_USB_DLL::Set_ADC_Configuration2(void* handle, unsigned char configuration,
                                                  unsigned char channel) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Answer(*this, ShowStep(*this, SetConfiguration(*this, handle, configuration, channel)));
}

std::string KAVRO_USB_DLL::Get_ADC_Configuration(unsigned char address, unsigned char channel) {
  ClearErrorText(*this);
  if (Simulating(*this)) {
    AdcConfigUpper = static_cast<unsigned char>(SimAdcConfigUpper);
    AdcSamplingRate = static_cast<unsigned char>(SimAdcSamplingRate);
    return kFinished;
  }
  // No handle argument: the board opened last on this instance is asked, by the board type of
  // the last version request.
  const Failure f =
      ShowStep(*this, ReadConfiguration(*this, DeviceHandle, address, channel, BoardType));
  Report(*this, f);
  return f ? kError : kFinished;
}

namespace kavro::detail {

std::string ConverterText(unsigned char status, unsigned char high, unsigned char middle,
                          unsigned char low) {
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

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Calculate_ADC_Value(unsigned char status, unsigned char high,
                                               unsigned char middle, unsigned char low) {
  if (Simulating(*this)) return "0";
  return ConverterText(status, high, middle, low);
}

// Measurement requests: the current, offset and full-scale converter readings.
#include <cmath>
#include <cstdint>
#include <limits>

#include "KAVRO_USB_DLL.h"
#include "protocol/board_types.h"
#include "protocol/packet.h"
#include "protocol/result.h"
#include "protocol/steps.h"

using namespace kavro::detail;

namespace {

// The board-wide and the channel-addressed (type 9) form of one measurement command.
struct MeasurementCommand {
  const Command& board;
  const Command& channel;
};

const MeasurementCommand& CommandOf(Measurement m) {
  static constexpr MeasurementCommand kNormal{cmd::kNormalData, cmd::kChannelNormalData};
  static constexpr MeasurementCommand kOffset{cmd::kOffsetValue, cmd::kChannelOffsetValue};
  static constexpr MeasurementCommand kFullscale{cmd::kFullscaleValue, cmd::kChannelFullscaleValue};
  switch (m) {
    case Measurement::kOffset: return kOffset;
    case Measurement::kFullscale: return kFullscale;
    case Measurement::kNormal: break;
  }
  return kNormal;
}

// The measurement request of every kind: the simulated value as text in simulation mode, else
// the board's reading.
std::string MeasureOrSimulate(KAVRO_USB_DLL& d, void* handle, unsigned char channel, Measurement m,
                              long long simulated) {
  ClearErrorText(d);
  if (Simulating(d)) return Decimal(simulated);
  const Step<std::string> reading = MeasureAnyBoard(d, handle, channel, m);
  Show(d, reading.shown);
  return Answer(d, Outcome<std::string>{reading.failure, reading.value});
}

// Midpoint of the simulated offset and full-scale values. The difference wraps like the
// board's 32-bit arithmetic; the result is held to the 32-bit range instead of overflowing.
long long SimulatedMidpoint(int offset, int fullscale) {
  const std::uint32_t wrapped =
      static_cast<std::uint32_t>(fullscale) - static_cast<std::uint32_t>(offset);
  const long long difference = wrapped >= 0x80000000u
                                   ? static_cast<long long>(wrapped) - 0x100000000LL
                                   : static_cast<long long>(wrapped);
  const double value = std::trunc(static_cast<double>(difference) * 0.5 + offset);
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  if (value < kMin) return static_cast<long long>(kMin);
  if (value > kMax) return static_cast<long long>(kMax);
  return static_cast<long long>(value);
}

}  // namespace

namespace kavro::detail {

Step<std::string> Measure(KAVRO_USB_DLL& d, void* handle, unsigned char channel, Measurement m,
                          unsigned int board_type) {
  const bool type9 = HasChannelRegisters(board_type);
  const MeasurementCommand& c = CommandOf(m);
  const Exchanged x = Exchange(d, handle, type9 ? c.channel : c.board, channel, nullptr, 0);
  Step<std::string> reading = StepOf<std::string>(x);
  if (x.failure) return reading;
  const auto& data = x.reply.data;
  // Type 9 answers a plain 24-bit count; its first byte carries nothing.
  reading.value = type9 ? Decimal((data[1] << 16) | (data[2] << 8) | data[3])
                        : ConverterText(data[0], data[1], data[2], data[3]);
  return reading;
}

Step<std::string> MeasureAnyBoard(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                  Measurement m) {
  const Step<BoardVersion> version = RequestVersion(d, handle);
  if (version.failure) return FailedAs<std::string>(version);
  return After(version, Measure(d, handle, channel, m, version.value.type));
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Normal_Data_Request(void* handle, unsigned char channel) {
  return MeasureOrSimulate(*this, handle, channel, Measurement::kNormal,
                           SimulatedMidpoint(SimOffsetValue, SimFullscaleValue));
}

std::string KAVRO_USB_DLL::Get_Offset_Value(void* handle, unsigned char channel) {
  return MeasureOrSimulate(*this, handle, channel, Measurement::kOffset, SimOffsetValue);
}

std::string KAVRO_USB_DLL::Get_Fullscale_Value(void* handle, unsigned char channel) {
  return MeasureOrSimulate(*this, handle, channel, Measurement::kFullscale, SimFullscaleValue);
}

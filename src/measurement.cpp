// Measurement requests: the current, offset and full-scale converter readings.
#include <cmath>
#include <cstdint>
#include <limits>

#include "KAVRO_USB_DLL.h"
#include "board_types.h"
#include "packet.h"
#include "result.h"

using namespace kavro::detail;

namespace {

// The board-wide and the channel-addressed (type 9) form of one measurement command.
struct MeasurementCommand {
  const Command& board;
  const Command& channel;
};

constexpr MeasurementCommand kNormal{cmd::kNormalData, cmd::kChannelNormalData};
constexpr MeasurementCommand kOffset{cmd::kOffsetValue, cmd::kChannelOffsetValue};
constexpr MeasurementCommand kFullscale{cmd::kFullscaleValue, cmd::kChannelFullscaleValue};

// The measurement request of every kind: the simulated value as text in simulation mode, else
// the board's reading.
std::string Measure(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                    const MeasurementCommand& m, long long simulated) {
  ClearErrorText(d);
  if (Simulating(d)) return Decimal(simulated);
  if (!RefreshBoardType(d, handle)) return kError;
  const bool type9 = HasChannelRegisters(d);
  if (!Exchange(d, handle, type9 ? m.channel : m.board, channel, nullptr, 0)) return kError;
  if (type9) {
    // Type 9 answers a plain 24-bit count; its first byte carries nothing.
    const long long count = (d.PacketData[1] << 16) | (d.PacketData[2] << 8) | d.PacketData[3];
    return Decimal(count);
  }
  return d.Calculate_ADC_Value(d.PacketData[0], d.PacketData[1], d.PacketData[2], d.PacketData[3]);
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

std::string KAVRO_USB_DLL::Normal_Data_Request(void* handle, unsigned char channel) {
  return Measure(*this, handle, channel, kNormal,
                 SimulatedMidpoint(SimOffsetValue, SimFullscaleValue));
}

std::string KAVRO_USB_DLL::Get_Offset_Value(void* handle, unsigned char channel) {
  return Measure(*this, handle, channel, kOffset, SimOffsetValue);
}

std::string KAVRO_USB_DLL::Get_Fullscale_Value(void* handle, unsigned char channel) {
  return Measure(*this, handle, channel, kFullscale, SimFullscaleValue);
}

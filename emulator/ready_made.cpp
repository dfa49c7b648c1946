// The ready-made emulated boards that the kavro tool's --emulate, the drop-in D2XX library and
// the Python package offer: two boards with plausible calibration data, moving signals and a
// reply latency like a full-speed USB bridge's.
#include "kavro_emulator.h"

namespace kavro::emu {

void AddReadyMadeBoards(VirtualBus& bus) {
  VirtualBoard common = VirtualBoard::Common();
  common.channels[0].offset_reading = 1200;
  common.channels[0].fullscale_reading = 2001200;  // 2,000,000 counts span 500.0 kg
  common.channels[0].signal = {Signal::kSine, 801200, 400000, 5.0};
  common.SetCalibration(0, 0, 5000, 2, 1);
  common.SetPowerOnConfigByte(0, 0x15);

  VirtualBoard multi = VirtualBoard::Type9();
  for (unsigned int ch = 0; ch < multi.channels.size(); ++ch) {
    auto& c = multi.channels[ch];
    c.offset_reading =
        static_cast<std::int32_t>(kMidScaleCount) + 500 * static_cast<std::int32_t>(ch);
    c.fullscale_reading = c.offset_reading + 4000000;
    c.signal = {ch % 2 ? Signal::kRamp : Signal::kNoise, c.offset_reading + 1000000.0 * (ch + 1),
                ch % 2 ? 200000.0 : 2000.0, 10.0};
    multi.SetCalibration(ch, 0, static_cast<std::uint16_t>(10000 * (ch + 1)), 1, 2);
    multi.SetPowerOnConfigByte(ch, 0x24);
  }

  for (VirtualBoard* b : {&common, &multi}) {
    b->reply_latency_us = 1500;
    b->keep_transcript = false;  // recordings may run for hours
    b->restart_time_us = 250000;
  }
  bus.AddDevice("KAVRO-0001", std::move(common), "KAVRO USB Interface");
  bus.AddDevice("KAVRO-0009", std::move(multi), "KAVRO USB Interface 4CH");
}

}  // namespace kavro::emu

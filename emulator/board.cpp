// A board behind the emulated bridge: reads the frames the host writes as the real board
// does, and answers from its version, EEPROM, channel registers and signal models.
#include <cmath>

#include "kavro_emulator.h"

namespace kavro::emu {

namespace {

// What a reply fault writes: the byte that replaces the trailer or floods the line, and the bit
// that corrupts a reply code.
constexpr std::uint8_t kJunk = 0x55;
constexpr std::uint8_t kCodeFlip = 0x20;

Bytes ErrorReply(std::uint8_t number, std::uint8_t code) {
  return {number, kErrorReplyLength, code, 0x00, kTrailer};
}

}  // namespace

VirtualBoard::VirtualBoard(unsigned int board_type, unsigned int channel_count) {
  version = {static_cast<std::uint8_t>(board_type), 1, 2, 0x34};
  channels.resize(channel_count == 0 ? 1 : channel_count);
  const bool type9 = board_type == kTypeChannelRegisters;
  for (unsigned int ch = 0; ch < channels.size(); ++ch) {
    Channel& c = channels[ch];
    // Type 9 reports plain counts around mid-scale; the others signed converter readings.
    const std::int32_t zero = type9 ? static_cast<std::int32_t>(kMidScaleCount) : 0;
    c.offset_reading = zero + 1000 + static_cast<std::int32_t>(ch) * 10;
    c.fullscale_reading = c.offset_reading + 2000000;
    c.signal.level = c.offset_reading + 1000000.0;
    SetCalibration(ch, 0, 5000, 1, 1);
  }
}

VirtualBoard VirtualBoard::Common() {
  return VirtualBoard(kTypeCommon, 1);
}
VirtualBoard VirtualBoard::Type0() {
  return VirtualBoard(kType0, 1);
}
VirtualBoard VirtualBoard::Type9() {
  return VirtualBoard(kTypeChannelRegisters, 4);
}
VirtualBoard VirtualBoard::Type12() {
  return VirtualBoard(kType12, 1);
}

void VirtualBoard::SetCalibration(unsigned int channel, std::uint16_t offset_load,
                                  std::uint16_t fullscale_load, std::uint8_t unit_code,
                                  std::uint8_t decimal_point) {
  if (type() == kTypeChannelRegisters) {
    if (channel >= channels.size()) return;
    auto& r = channels[channel].registers;
    const CalibrationMap& m = kChannelCalibration;
    r[m.offset_load + 1][2] = static_cast<std::uint8_t>(offset_load >> 8);
    r[m.offset_load][2] = static_cast<std::uint8_t>(offset_load);
    r[m.fullscale_load + 1][2] = static_cast<std::uint8_t>(fullscale_load >> 8);
    r[m.fullscale_load][2] = static_cast<std::uint8_t>(fullscale_load);
    r[m.unit_code][2] = unit_code;
    r[m.decimal_point][2] = decimal_point;
    return;
  }
  // EEPROM values are the same for every channel.
  const CalibrationMap& m = type() == kType0 ? kType0Calibration : kCommonCalibration;
  eeprom[m.offset_load][1] = static_cast<std::uint8_t>(offset_load >> 8);
  eeprom[m.offset_load][2] = static_cast<std::uint8_t>(offset_load);
  eeprom[m.fullscale_load][1] = static_cast<std::uint8_t>(fullscale_load >> 8);
  eeprom[m.fullscale_load][2] = static_cast<std::uint8_t>(fullscale_load);
  eeprom[m.unit_code][2] = unit_code;
  if (m.has_decimal_point) eeprom[m.decimal_point][2] = decimal_point;
}

// The configuration byte: the channel's register on type 9, else the board's EEPROM.
std::uint8_t VirtualBoard::ConfigByte(unsigned int channel) const {
  if (type() != kTypeChannelRegisters) return eeprom[ConfigRegister()][2];
  return channel < channels.size() ? channels[channel].registers[ConfigRegister()][2] : 0;
}

void VirtualBoard::SetConfigByte(unsigned int channel, std::uint8_t value) {
  if (type() != kTypeChannelRegisters) {
    eeprom[ConfigRegister()][2] = value;
  } else if (channel < channels.size()) {
    channels[channel].registers[ConfigRegister()][2] = value;
  }
}

void VirtualBoard::SetPowerOnConfigByte(unsigned int channel, std::uint8_t value) {
  if (type() != kTypeChannelRegisters) {
    power_on_config_ = value;
  } else if (channel < channels.size()) {
    channels[channel].power_on_config = value;
  }
  SetConfigByte(channel, value);
}

void VirtualBoard::PowerOn() {
  if (type() != kTypeChannelRegisters) {
    eeprom[ConfigRegister()][2] = power_on_config_;
    return;
  }
  for (Channel& c : channels) c.registers[ConfigRegister()][2] = c.power_on_config;
}

std::array<std::uint8_t, 4> VirtualBoard::Encode(double counts) const {
  const long long v = std::llround(counts);
  if (type() == kTypeChannelRegisters) {
    const long long c = v < 0 ? 0 : (v > kHighestCount ? kHighestCount : v);
    return {0, static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
            static_cast<std::uint8_t>(c)};
  }
  const std::uint8_t* marker = v < kLowestReading    ? kNegativeOverflow
                               : v > kHighestReading ? kPositiveOverflow
                                                     : nullptr;
  if (marker != nullptr) return {marker[0], marker[1], marker[2], marker[3]};
  const std::uint32_t n = static_cast<std::uint32_t>(v + kZeroReadingCode);
  return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
          static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

double VirtualBoard::Reading(unsigned int channel, double t) {
  const Signal& s = channels[channel].signal;
  constexpr double kTwoPi = 6.283185307179586;
  switch (s.shape) {
    case Signal::kConstant: return s.level;
    case Signal::kRamp: {
      const double phase = s.period_s > 0 ? t / s.period_s - std::floor(t / s.period_s) : 0;
      return s.level + s.amplitude * phase;
    }
    case Signal::kSine:
      return s.level + s.amplitude * std::sin(kTwoPi * t / (s.period_s > 0 ? s.period_s : 1));
    case Signal::kNoise: {
      noise_state_ = noise_state_ * 1664525u + 1013904223u;
      const double unit = static_cast<double>(noise_state_ >> 8) / 16777216.0;  // [0, 1)
      return s.level + s.amplitude * (2 * unit - 1);
    }
  }
  return s.level;
}

void VirtualBoard::Answer(std::uint64_t delay_us, Bytes bytes, std::vector<Reply>& replies) {
  ReplyFault f;
  if (!faults.empty()) {
    f = faults.front();
    faults.pop_front();
  }
  switch (f.kind) {
    case ReplyFault::kNone: break;
    case ReplyFault::kDrop: return;
    case ReplyFault::kHold: delay_us += f.delay_us; break;
    case ReplyFault::kCorruptNumber:
      bytes[kNumberAt] = static_cast<std::uint8_t>(bytes[kNumberAt] + 1);
      break;
    case ReplyFault::kCorruptLength:
      bytes[kLengthAt] = static_cast<std::uint8_t>(bytes[kLengthAt] + 1);
      break;
    case ReplyFault::kCorruptCode: bytes[kCodeAt] ^= kCodeFlip; break;
    case ReplyFault::kCorruptTrailer: bytes.back() = kJunk; break;
    case ReplyFault::kPrefixFF: bytes.insert(bytes.begin(), std::uint8_t{kShiftMarker}); break;
    case ReplyFault::kErrorReply: bytes = ErrorReply(bytes[kNumberAt], f.error_code); break;
    case ReplyFault::kAppend: bytes.insert(bytes.end(), f.bytes.begin(), f.bytes.end()); break;
    case ReplyFault::kReplace: bytes = f.bytes; break;
    case ReplyFault::kTruncate:
      if (f.count < bytes.size()) bytes.resize(f.count);
      break;
    case ReplyFault::kFlood: bytes.insert(bytes.end(), f.count, kJunk); break;
  }
  replies.push_back({delay_us, std::move(bytes)});
}

void VirtualBoard::Receive(const std::uint8_t* frame, std::size_t size, double t,
                           std::vector<Reply>& replies) {
  if (keep_transcript) transcript.emplace_back(frame, frame + size);
  const std::uint64_t lat = reply_latency_us;
  const std::uint8_t number = size > 0 ? frame[kNumberAt] : 0;
  // A frame the board cannot parse: wrong length byte or no trailer.
  if (size < kShortestFrame || frame[kLengthAt] != size || frame[size - 1] != kTrailer) {
    Answer(lat, ErrorReply(number, kFrameError), replies);
    return;
  }
  if (teds_fault) {
    Answer(lat, ErrorReply(number, kTedsError), replies);
    return;
  }
  const std::uint8_t code = frame[kCodeAt];
  const bool type9 = type() == kTypeChannelRegisters;
  auto expect_length = [&](std::size_t n) {
    if (size == n) return true;
    Answer(lat, ErrorReply(number, kFrameError), replies);
    return false;
  };
  auto channel_ok = [&](std::uint8_t ch) {
    if (ch < channels.size()) return true;
    Answer(lat, ErrorReply(number, kCommandError), replies);
    return false;
  };
  auto ack = [&] { Answer(lat, {number, kAckLength, kAck, kTrailer}, replies); };
  // which: 0 the offset reading, 1 the full-scale reading, 2 the current reading.
  auto reading_reply = [&](unsigned int ch, unsigned int which) {
    std::array<std::uint8_t, 4> data;
    if (!forced_readings.empty()) {
      data = forced_readings.front();
      forced_readings.pop_front();
    } else {
      const Channel& c = channels[ch];
      const double counts = which == 0   ? c.offset_reading
                            : which == 1 ? c.fullscale_reading
                                         : Reading(ch, t);
      data = Encode(counts);
    }
    Answer(lat, {number, kFourDataLength, code, data[0], data[1], data[2], data[3], kTrailer},
           replies);
  };
  const std::uint8_t* data = frame + kHeaderLength;  // after the header
  const std::uint8_t channel = frame[kChannelAt];    // when the request has one

  switch (code) {
    case kActivityInquiry:
      if (expect_length(kPlainRequestLength)) ack();
      return;
    case kVersionRequest:
      if (expect_length(kPlainRequestLength))
        Answer(lat,
               {number, kFourDataLength, kVersionRequest, version[0], version[1], version[2],
                version[3], kTrailer},
               replies);
      return;
    case kReset:
      if (!expect_length(kPlainRequestLength)) return;
      ack();
      Answer(lat + restart_time_us, {kRestartNoticeNumber, kAckLength, kReset, kTrailer}, replies);
      return;
    case kSetConfig:
      if (type9) break;
      if (!expect_length(kSetConfigLength)) return;
      SetConfigByte(0, data[0]);
      ack();
      return;
    case kSetChannelConfig:
      if (!type9) break;
      if (!expect_length(kSetChannelConfigLength) || !channel_ok(channel)) return;
      SetConfigByte(channel, data[1]);
      ack();
      return;
    case kOffsetRequest:
    case kFullscaleRequest:
    case kReadingRequest:
      if (type9) break;
      if (expect_length(kPlainRequestLength)) reading_reply(0, code - kOffsetRequest);
      return;
    case kChannelOffsetRequest:
    case kChannelFullscaleRequest:
    case kChannelReadingRequest:
      if (!type9) break;
      if (expect_length(kChannelRequestLength) && channel_ok(channel))
        reading_reply(channel, code - kChannelOffsetRequest);
      return;
    case kReadEeprom:
      if (!expect_length(kReadEepromLength)) return;
      {
        const auto& e = eeprom[data[0]];
        Answer(lat, {number, kRegisterReplyLength, kReadEeprom, e[0], e[1], e[2], kTrailer},
               replies);
      }
      return;
    case kReadChannelRegister:
      if (!expect_length(kReadChannelRegisterLength) || !channel_ok(data[0])) return;
      {
        const auto& r = channels[data[0]].registers[data[1]];
        Answer(lat,
               {number, kRegisterReplyLength, kReadChannelRegister, r[0], r[1], r[2], kTrailer},
               replies);
      }
      return;
    default: break;
  }
  // A command this board does not know.
  Answer(lat, ErrorReply(number, kUnknownCommand), replies);
}

}  // namespace kavro::emu

// A board behind the emulated bridge: reads the frames the host writes as the real board
// does, and answers from its version, EEPROM, channel registers and signal models.
#include <cmath>

#include "kavro_emulator.h"

namespace kavro::emu {

namespace {

using kavro::kBoardTypeChannelRegisters;

constexpr std::uint8_t kTrailer = 0xAA;
constexpr std::uint8_t kAck = 0x01;

// Calibration addresses by board family: EEPROM on type 0 and the common types, the
// channel's own registers on type 9. A 16-bit value keeps its high byte in the EEPROM
// register's b1, or in the channel register at address + 1.
struct CalibrationMap {
  std::uint8_t offset_load, fullscale_load, unit_code, decimal_point;
  bool has_decimal_point;
};
constexpr CalibrationMap kType0Map{0x50, 0x76, 0x7E, 0, false};
constexpr CalibrationMap kCommonMap{0x40, 0x5E, 0x6A, 0x72, true};
constexpr CalibrationMap kChannelMap = kCommonMap;

Bytes ErrorReply(std::uint8_t number, std::uint8_t code) {
  return {number, 5, code, 0x00, kTrailer};
}

}  // namespace

Board::Board(unsigned int board_type, unsigned int channel_count) {
  version = {static_cast<std::uint8_t>(board_type), 1, 2, 0x34};
  channels.resize(channel_count == 0 ? 1 : channel_count);
  const bool type9 = board_type == kBoardTypeChannelRegisters;
  for (unsigned int ch = 0; ch < channels.size(); ++ch) {
    Channel& c = channels[ch];
    // Type 9 reports plain counts around mid-scale; the others signed converter readings.
    const std::int32_t zero = type9 ? 8388608 : 0;
    c.offset_reading = zero + 1000 + static_cast<std::int32_t>(ch) * 10;
    c.fullscale_reading = c.offset_reading + 2000000;
    c.signal.level = c.offset_reading + 1000000.0;
    SetCalibration(ch, 0, 5000, 1, 1);
  }
}

Board Board::Common() {
  return Board(3, 1);
}
Board Board::Type0() {
  return Board(0, 1);
}
Board Board::Type9() {
  return Board(kBoardTypeChannelRegisters, 4);
}
Board Board::Type12() {
  return Board(12, 1);
}

void Board::SetCalibration(unsigned int channel, std::uint16_t offset_load,
                           std::uint16_t fullscale_load, std::uint8_t unit_code,
                           std::uint8_t decimal_point) {
  if (type() == kBoardTypeChannelRegisters) {
    if (channel >= channels.size()) return;
    auto& r = channels[channel].registers;
    const CalibrationMap& m = kChannelMap;
    r[m.offset_load + 1][2] = static_cast<std::uint8_t>(offset_load >> 8);
    r[m.offset_load][2] = static_cast<std::uint8_t>(offset_load);
    r[m.fullscale_load + 1][2] = static_cast<std::uint8_t>(fullscale_load >> 8);
    r[m.fullscale_load][2] = static_cast<std::uint8_t>(fullscale_load);
    r[m.unit_code][2] = unit_code;
    r[m.decimal_point][2] = decimal_point;
    return;
  }
  // EEPROM values are the same for every channel.
  const CalibrationMap& m = type() == kavro::kBoardType0 ? kType0Map : kCommonMap;
  eeprom[m.offset_load][1] = static_cast<std::uint8_t>(offset_load >> 8);
  eeprom[m.offset_load][2] = static_cast<std::uint8_t>(offset_load);
  eeprom[m.fullscale_load][1] = static_cast<std::uint8_t>(fullscale_load >> 8);
  eeprom[m.fullscale_load][2] = static_cast<std::uint8_t>(fullscale_load);
  eeprom[m.unit_code][2] = unit_code;
  if (m.has_decimal_point) eeprom[m.decimal_point][2] = decimal_point;
}

// The configuration byte: the channel's register on type 9, else the board's EEPROM.
std::uint8_t Board::ConfigByte(unsigned int channel) const {
  if (type() != kBoardTypeChannelRegisters) return eeprom[ConfigRegister()][2];
  return channel < channels.size() ? channels[channel].registers[ConfigRegister()][2] : 0;
}

void Board::SetConfigByte(unsigned int channel, std::uint8_t value) {
  if (type() != kBoardTypeChannelRegisters) {
    eeprom[ConfigRegister()][2] = value;
  } else if (channel < channels.size()) {
    channels[channel].registers[ConfigRegister()][2] = value;
  }
}

void Board::SetPowerOnConfigByte(unsigned int channel, std::uint8_t value) {
  if (type() != kBoardTypeChannelRegisters) {
    power_on_config_ = value;
  } else if (channel < channels.size()) {
    channels[channel].power_on_config = value;
  }
  SetConfigByte(channel, value);
}

void Board::PowerOn() {
  if (type() != kBoardTypeChannelRegisters) {
    eeprom[ConfigRegister()][2] = power_on_config_;
    return;
  }
  for (Channel& c : channels) c.registers[ConfigRegister()][2] = c.power_on_config;
}

std::array<std::uint8_t, 4> Board::Encode(double counts) const {
  const long long v = std::llround(counts);
  if (type() == kBoardTypeChannelRegisters) {
    const long long c = v < 0 ? 0 : (v > 0xFFFFFF ? 0xFFFFFF : v);
    return {0, static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
            static_cast<std::uint8_t>(c)};
  }
  if (v < -16777216) return {0, 0xFF, 0xFF, 0xFF};  // negative overflow
  if (v > 16777215) return {3, 0, 0, 0};            // positive overflow
  const std::uint32_t n = static_cast<std::uint32_t>(v + 0x02000000);
  return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
          static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

double Board::Reading(unsigned int channel, double t) {
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

void Board::Answer(std::uint64_t delay_us, Bytes bytes, std::vector<Reply>& replies) {
  ReplyFault f;
  if (!faults.empty()) {
    f = faults.front();
    faults.pop_front();
  }
  switch (f.kind) {
    case ReplyFault::kNone: break;
    case ReplyFault::kDrop: return;
    case ReplyFault::kHold: delay_us += f.delay_us; break;
    case ReplyFault::kCorruptNumber: bytes[0] = static_cast<std::uint8_t>(bytes[0] + 1); break;
    case ReplyFault::kCorruptLength: bytes[1] = static_cast<std::uint8_t>(bytes[1] + 1); break;
    case ReplyFault::kCorruptCode: bytes[2] ^= 0x20; break;
    case ReplyFault::kCorruptTrailer: bytes.back() = 0x55; break;
    case ReplyFault::kPrefixFF: bytes.insert(bytes.begin(), 0xFF); break;
    case ReplyFault::kErrorReply: bytes = ErrorReply(bytes[0], f.error_code); break;
    case ReplyFault::kAppend: bytes.insert(bytes.end(), f.bytes.begin(), f.bytes.end()); break;
    case ReplyFault::kReplace: bytes = f.bytes; break;
    case ReplyFault::kTruncate:
      if (f.count < bytes.size()) bytes.resize(f.count);
      break;
    case ReplyFault::kFlood: bytes.insert(bytes.end(), f.count, 0x55); break;
  }
  replies.push_back({delay_us, std::move(bytes)});
}

void Board::Receive(const std::uint8_t* frame, std::size_t size, double t,
                    std::vector<Reply>& replies) {
  if (keep_transcript) transcript.emplace_back(frame, frame + size);
  const std::uint64_t lat = reply_latency_us;
  const std::uint8_t number = size > 0 ? frame[0] : 0;
  // A frame the board cannot parse: wrong length byte or no trailer.
  if (size < 4 || frame[1] != size || frame[size - 1] != kTrailer) {
    Answer(lat, ErrorReply(number, 'N'), replies);
    return;
  }
  if (teds_fault) {
    Answer(lat, ErrorReply(number, 'L'), replies);
    return;
  }
  const std::uint8_t code = frame[2];
  const bool type9 = type() == kBoardTypeChannelRegisters;
  auto expect_length = [&](std::size_t n) {
    if (size == n) return true;
    Answer(lat, ErrorReply(number, 'N'), replies);
    return false;
  };
  auto channel_ok = [&](std::uint8_t ch) {
    if (ch < channels.size()) return true;
    Answer(lat, ErrorReply(number, 'M'), replies);
    return false;
  };
  auto reading_reply = [&](unsigned int ch, std::uint8_t which) {
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
    Answer(lat, {number, 8, code, data[0], data[1], data[2], data[3], kTrailer}, replies);
  };

  switch (code) {
    case 0x01:
      if (expect_length(4)) Answer(lat, {number, 4, kAck, kTrailer}, replies);
      return;
    case 0x44:
      if (expect_length(4))
        Answer(lat, {number, 8, 0x44, version[0], version[1], version[2], version[3], kTrailer},
               replies);
      return;
    case 0x45:
      if (!expect_length(4)) return;
      Answer(lat, {number, 4, kAck, kTrailer}, replies);
      Answer(lat + restart_time_us, {1, 4, 0x45, kTrailer}, replies);
      return;
    case 0x29:
      if (type9) break;
      if (!expect_length(5)) return;
      SetConfigByte(0, frame[3]);
      Answer(lat, {number, 4, kAck, kTrailer}, replies);
      return;
    case 0x39:
      if (!type9) break;
      if (!expect_length(6) || !channel_ok(frame[3])) return;
      SetConfigByte(frame[3], frame[4]);
      Answer(lat, {number, 4, kAck, kTrailer}, replies);
      return;
    case 0x40:
    case 0x41:
    case 0x42:
      if (type9) break;
      if (expect_length(4)) reading_reply(0, code - 0x40);
      return;
    case 0x50:
    case 0x51:
    case 0x52:
      if (!type9) break;
      if (expect_length(5) && channel_ok(frame[3])) reading_reply(frame[3], code - 0x50);
      return;
    case 0x82:
      if (!expect_length(5)) return;
      {
        const auto& e = eeprom[frame[3]];
        Answer(lat, {number, 7, 0x82, e[0], e[1], e[2], kTrailer}, replies);
      }
      return;
    case 0x86:
      if (!expect_length(6) || !channel_ok(frame[3])) return;
      {
        const auto& r = channels[frame[3]].registers[frame[4]];
        Answer(lat, {number, 7, 0x86, r[0], r[1], r[2], kTrailer}, replies);
      }
      return;
    default: break;
  }
  // A command this board does not know.
  Answer(lat, ErrorReply(number, 'O'), replies);
}

}  // namespace kavro::emu

// list, info, config, reset and register: one board call or a few each, printed.
#include "subcommands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "formats.h"
#include "kavro/protocol.h"
#include "report.h"

namespace kavro::tool {

namespace {

std::string Bytes(const std::array<std::uint8_t, 3>& b) {
  char text[16];
  std::snprintf(text, sizeof(text), "%02x %02x %02x", b[0], b[1], b[2]);
  return text;
}

std::string Converter(const Result<ConverterConfig>& c) {
  if (!c) return Describe(c.error());
  char text[64];
  std::snprintf(text, sizeof(text), "rate code %u, upper field %u", c->rate, c->upper);
  return text;
}

// Shows one board, as a table on standard output or added to *boards (a JSON array); counts
// the queries that failed (a board type without the data is not a failure).
int InfoOne(const Session& s, const std::string& serial, nlohmann::ordered_json* boards) {
  int code = kExitOk;
  Result<Board> board = Board::Open(serial, s.Opening(false));
  if (!board) {
    if (boards != nullptr)
      boards->push_back({{"serial", serial}, {"error", Describe(board.error())}});
    return Fail("cannot open " + serial, board.error());
  }
  const BoardInfo& i = board->info();
  int failures = 0;
  auto failed = [&failures](const Error& e) {
    failures += e.kind == ErrorKind::kNotSupported ? 0 : 1;
  };
  const Status ping = board->Ping();
  if (!ping) failed(ping.error());
  std::vector<unsigned int> all;
  for (unsigned int ch = 0; ch < i.channels; ++ch) all.push_back(ch);
  const BoardHeader b = DescribeBoard(board.value(), all);
  if (!b.converter_per_channel && !b.converter) failed(b.converter.error());
  for (const ChannelHeader& c : b.channels) {
    if (b.converter_per_channel && !c.converter) failed(c.converter.error());
    if (!c.calibration) failed(c.calibration.error());
  }
  if (boards != nullptr) {
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(BoardJson(b, -1));
    j.erase("link");  // the document says it once
    for (auto& c : j["channel"]) {
      c.erase("tare");  // a recording's, not the board's
    }
    j["activity"] = ping ? "answering" : Describe(ping.error());
    boards->push_back(j);
  } else {
    std::printf("board %s\n", serial.c_str());
    std::printf("  activity        %s\n", ping ? "answering" : Describe(ping.error()).c_str());
    std::printf("  board type      %u\n", i.type);
    std::printf("  version         %u.%u.%u.%u.%u\n", i.version[0], i.version[1], i.version[2],
                i.version[3], i.version[4]);
    std::printf("  channels        %u\n", i.channels);
    if (!b.converter_per_channel)
      std::printf("  converter       %s\n", Converter(b.converter).c_str());
    for (const ChannelHeader& c : b.channels) {
      std::printf("  channel %u\n", c.channel);
      if (b.converter_per_channel)
        std::printf("    converter           %s\n", Converter(c.converter).c_str());
      if (!c.calibration) {
        std::printf("    calibration         %s\n", Describe(c.calibration.error()).c_str());
        continue;
      }
      const Calibration& k = *c.calibration;
      std::printf("    offset reading      %lld\n", static_cast<long long>(k.offset_reading));
      std::printf("    full-scale reading  %lld\n", static_cast<long long>(k.fullscale_reading));
      std::printf("    offset load         %u\n", k.offset_load);
      std::printf("    full-scale load     %u\n", k.fullscale_load);
      std::printf("    unit code           %u\n", k.unit_code);
      std::printf("    decimal point       %u\n", k.decimal_point);
    }
  }
  if (failures > 0) {
    code = Fail(serial + ": " + std::to_string(failures) + (failures == 1 ? " query" : " queries") +
                " failed");
  }
  return code;
}

}  // namespace

OpenOptions Session::Opening(bool reconnect) const {
  OpenOptions o;
  o.link = links.link;
  o.reconnect.enabled = reconnect;
  return o;
}

Result<Board> Session::Open(OpenOptions opening, int* exit_code) const {
  return Open(options.serial, std::move(opening), exit_code);
}

Result<Board> Session::Open(const std::string& serial, OpenOptions opening,
                            int* exit_code) const {
  Result<Board> board = serial.empty() ? Board::OpenOnly(std::move(opening))
                                       : Board::Open(serial, std::move(opening));
  if (!board) *exit_code = OpenFailed(serial, board.error());
  return board;
}

int Session::OpenFailed(const std::string& serial, Error e) const {
  const std::string what = "cannot open " + (serial.empty() ? "a board" : serial);
  int code = kExitFailure;
  if (NoBus(e, what, &code)) return code;
  if (serial.empty() && e.kind == ErrorKind::kInvalidArgument)
    e.text += " (-s SERIAL)";  // several boards
  return Fail(what, e);
}

bool Session::NoBus(const Error& error, const std::string& what, int* exit_code) const {
  if (error.kind != ErrorKind::kNotFound) return false;
  const std::string no_bus = links.NoBus();
  if (!no_bus.empty()) *exit_code = Fail(what + ": " + no_bus);
  return !no_bus.empty();
}

Result<std::vector<unsigned int>> Session::Channels(const Board& board, int* exit_code) const {
  const std::vector<unsigned int> channels = ParseChannels(options.channels, board.info().channels);
  Error e;
  e.kind = ErrorKind::kInvalidArgument;
  if (channels.empty()) {
    e.text = "-c " + options.channels +
             ": give a channel, a list of different channels such as 0,2, or all";
    *exit_code = Usage(e.text);
    return e;
  }
  for (unsigned int channel : channels) {
    if (Status s = board.CheckChannel(channel); !s) {
      *exit_code = Usage(s.error().text);
      return s.error();
    }
  }
  return channels;
}

int List(const Session& s) {
  const Result<std::vector<std::string>> serials = Board::List(s.links.link);
  if (!serials) return Fail("cannot count boards", serials.error());
  if (const std::string no_bus = s.links.NoBus(); serials->empty() && !no_bus.empty())
    return Fail("cannot count boards: " + no_bus);
  if (s.options.format == Format::kJson) {
    const nlohmann::ordered_json j{{"count", serials->size()}, {"serials", serials.value()}};
    std::printf("%s\n",
                j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    return kExitOk;
  }
  std::printf("%zu board%s attached\n", serials->size(), serials->size() == 1 ? "" : "s");
  for (std::size_t i = 0; i < serials->size(); ++i)
    std::printf("  %zu  %s\n", i, (*serials)[i].c_str());
  return kExitOk;
}

int Info(const Session& s) {
  const bool json = s.options.format == Format::kJson;
  nlohmann::ordered_json boards = nlohmann::ordered_json::array();
  // One document whatever happens: what could be shown, with the boards that failed named.
  auto printed = [&](int code) {
    if (!json) return code;
    const nlohmann::ordered_json j{{"link", s.links.description}, {"boards", boards}};
    std::printf("%s\n",
                j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    return code;
  };
  if (!json) std::printf("link: %s\n", s.links.description.c_str());
  if (!s.options.serial.empty())
    return printed(InfoOne(s, s.options.serial, json ? &boards : nullptr));
  const Result<std::vector<std::string>> serials = Board::List(s.links.link);
  if (!serials) return printed(Fail("cannot count boards", serials.error()));
  if (const std::string no_bus = s.links.NoBus(); serials->empty() && !no_bus.empty())
    return printed(Fail("cannot count boards: " + no_bus));
  if (serials->empty())
    return printed(Fail("no board attached (--emulate gives two emulated boards)"));
  int code = kExitOk;
  for (const std::string& serial : serials.value())
    code = std::max(code, InfoOne(s, serial, json ? &boards : nullptr));
  return printed(code);
}

int Config(const Session& s) {
  int code = kExitOk;
  Result<Board> board = s.Open(s.Opening(false), &code);
  if (!board) return code;
  const Result<std::vector<unsigned int>> channels = s.Channels(board.value(), &code);
  if (!channels) return code;
  const bool per_channel = board->info().type == kBoardTypeChannelRegisters;
  for (unsigned int ch : channels.value()) {
    const std::string where =
        board->info().serial + (per_channel ? " channel " + std::to_string(ch) : "");
    Status set;
    if (s.options.rate)
      set = board->SetSamplingRate(static_cast<std::uint8_t>(*s.options.rate), ch);
    if (s.options.byte)
      set = board->SetConverterByte(static_cast<std::uint8_t>(*s.options.byte), ch);
    if (!set) return Fail("cannot configure " + where, set.error());
    const Result<ConverterConfig> c = board->GetConverterConfig(ch);
    if (!c) return Fail("cannot read the converter configuration of " + where, c.error());
    std::printf("board %s: %s (byte 0x%02x)\n", where.c_str(), Converter(c).c_str(), c->Byte());
  }
  return kExitOk;
}

int Reset(const Session& s) {
  int code = kExitOk;
  Result<Board> board = s.Open(s.Opening(false), &code);
  if (!board) return code;
  if (Status reset = board->Reset(); !reset)
    return Fail("cannot reset " + board->info().serial, reset.error());
  std::printf("board %s reset and restarted\n", board->info().serial.c_str());
  return kExitOk;
}

int Register(const Session& s) {
  int code = kExitOk;
  Result<Board> board = s.Open(s.Opening(false), &code);
  if (!board) return code;
  if (s.options.eeprom) {
    const auto address = static_cast<std::uint8_t>(*s.options.eeprom);
    const auto bytes = board->ReadEepromRegister(address);
    if (!bytes) return Fail("cannot read the EEPROM", bytes.error());
    std::printf("eeprom 0x%02x: %s\n", address, Bytes(*bytes).c_str());
    return kExitOk;
  }
  const Result<std::vector<unsigned int>> channels = s.Channels(board.value(), &code);
  if (!channels) return code;
  if (channels->size() != 1) return Usage("register: -c names one channel");
  const unsigned int ch = channels->front();
  const auto address = static_cast<std::uint8_t>(*s.options.address);
  const auto bytes = board->ReadChannelRegister(ch, address);
  if (!bytes) return Fail("cannot read the channel register", bytes.error());
  std::printf("channel %u register 0x%02x: %s (value 0x%02x)\n", ch, address, Bytes(*bytes).c_str(),
              (*bytes)[2]);
  return kExitOk;
}

}  // namespace kavro::tool

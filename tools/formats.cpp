// Table, CSV and JSON lines (nlohmann-json) for a recording's rows and its summary.
#include "formats.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "kavro/protocol.h"
#include "platform/platform.h"

namespace kavro::tool {

namespace {

using Json = nlohmann::ordered_json;

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);  // whole, however long
  va_end(again);
  va_end(args);
  return text;
}

// Text from a board or a link made safe to print: bytes outside printable ASCII become \xNN.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c))
                                              : Printf("\\x%02x", c);
  }
  return out;
}

std::string CsvField(const std::string& text) {
  const std::string p = Printable(text);
  if (p.find_first_of(",\"") == std::string::npos) return p;
  std::string out = "\"";
  for (char c : p) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string Line(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

double Rounded(double value, int digits) {
  const double scale = std::pow(10.0, digits);
  return std::round(value * scale) / scale;
}

const char* StateName(ReadingState state) {
  switch (state) {
    case ReadingState::kOk: return "ok";
    case ReadingState::kPositiveOverflow: return "positive overflow";
    case ReadingState::kNegativeOverflow: return "negative overflow";
    case ReadingState::kConverterFault: return "converter fault";
    case ReadingState::kUnassigned: return "unassigned";
    case ReadingState::kUnrecognised: break;
  }
  return "unrecognised";
}

Json Start(const char* type, const Stamp& at) {
  return Json{{"type", type},
              {"time", UtcTime(at.wall)},
              {"elapsed_s", Rounded(at.elapsed_s, 3)},
              {"serial", at.serial}};
}

std::string VersionText(const BoardInfo& i) {
  return Printf("%u.%u.%u.%u.%u", i.version[0], i.version[1], i.version[2], i.version[3],
                i.version[4]);
}

Json ConverterJson(const Result<ConverterConfig>& c) {
  if (!c) return Json{{"error", Brief(c.error())}};
  return Json{{"rate_code", c->rate}, {"upper_field", c->upper}, {"byte", c->Byte()}};
}

std::string ConverterText(const Result<ConverterConfig>& c) {
  if (!c) return "converter " + Brief(c.error());
  return Printf("converter rate code %u, upper field %u (byte 0x%02x)", c->rate, c->upper,
                c->Byte());
}

Json CalibrationJson(const Result<Calibration>& c) {
  if (!c) return Json{{"error", Brief(c.error())}};
  return Json{{"offset_reading", c->offset_reading}, {"fullscale_reading", c->fullscale_reading},
              {"offset_load", c->offset_load},       {"fullscale_load", c->fullscale_load},
              {"unit_code", c->unit_code},           {"decimal_point", c->decimal_point}};
}

std::string CalibrationText(const Result<Calibration>& c) {
  if (!c) return "calibration " + Brief(c.error());
  return Printf(
      "calibration offset reading %lld, full-scale reading %lld, offset load %u, "
      "full-scale load %u, unit code %u, decimal point %u",
      static_cast<long long>(c->offset_reading), static_cast<long long>(c->fullscale_reading),
      c->offset_load, c->fullscale_load, c->unit_code, c->decimal_point);
}

// Which calibration gives the channel's loads: "user", "board" or none.
const char* LoadSource(const ChannelHeader& c) {
  return c.settings.calibration ? "user" : c.calibration ? "board" : nullptr;
}

Json UserCalibrationJson(const UserCalibration& k) {
  return Json{{"zero_reading", k.zero_reading},
              {"span_reading", k.span_reading},
              {"span_load", k.span_load},
              {"date", k.date},
              {"scale", k.scale()}};
}

std::string UserCalibrationText(const UserCalibration& k) {
  return Printf(
      "user calibration of %s: zero reading %.1f, span reading %.1f at load %.9g (load = "
      "(counts - %.1f) * %.9g)",
      Printable(k.date).c_str(), k.zero_reading, k.span_reading, k.span_load, k.zero_reading,
      k.scale());
}

Json BoardObject(const BoardHeader& b) {
  Json j{{"serial", b.info.serial},
         {"type", b.info.type},
         {"version", VersionText(b.info)},
         {"channels", b.info.channels},
         {"link", b.link}};
  if (!b.converter_per_channel) j["converter"] = ConverterJson(b.converter);
  Json channels = Json::array();
  for (const ChannelHeader& c : b.channels) {
    Json one{{"channel", c.channel}};
    if (b.converter_per_channel) one["converter"] = ConverterJson(c.converter);
    one["calibration"] = CalibrationJson(c.calibration);
    const std::string unit = UnitOf(c);
    one["unit"] = unit.empty() ? Json(nullptr) : Json(unit);
    const char* source = LoadSource(c);
    one["load_calibration"] = source ? Json(source) : Json(nullptr);
    if (c.settings.calibration)
      one["user_calibration"] = UserCalibrationJson(*c.settings.calibration);
    one["tare"] = c.tare ? Json(*c.tare) : Json(nullptr);
    if (c.default_tare) one["tare_from"] = "settings";
    channels.push_back(one);
  }
  j["channel"] = channels;
  return j;
}

}  // namespace

BoardHeader DescribeBoard(Board& board, const std::vector<unsigned int>& channels) {
  BoardHeader b;
  b.info = board.info();
  b.link = board.link_description();
  b.converter_per_channel = b.info.type == kBoardTypeChannelRegisters;
  if (!b.converter_per_channel) b.converter = board.GetConverterConfig(0);
  for (unsigned int ch : channels) {
    ChannelHeader c;
    c.channel = ch;
    if (b.converter_per_channel) c.converter = board.GetConverterConfig(ch);
    c.calibration = board.GetCalibration(ch);
    c.settings = board.settings(ch);
    c.tare = board.tare(ch);
    c.default_tare = c.tare.has_value();  // before a tare of its own, only the settings give one
    b.channels.push_back(c);
  }
  return b;
}

std::string UnitOf(const ChannelHeader& c) {
  if (c.settings.unit) return *c.settings.unit;
  return c.calibration ? "unit code " + std::to_string(c.calibration->unit_code) : "";
}

std::string HostName() {
  return platform::HostName();
}

std::string BoardJson(const BoardHeader& board, int indent) {
  return BoardObject(board).dump(indent, ' ', false, Json::error_handler_t::replace);
}

void ChannelStats::Add(double value) {
  min = count == 0 || value < min ? value : min;
  max = count == 0 || value > max ? value : max;
  ++count;
  const double delta = value - mean;
  mean += delta / static_cast<double>(count);
  m2 += delta * (value - mean);
}

double ChannelStats::sd() const {
  return count > 1 ? std::sqrt(m2 / static_cast<double>(count - 1)) : 0.0;
}

std::string UtcTime(std::chrono::system_clock::time_point t, int decimals) {
  const long long per_s = decimals == 6 ? 1000000 : 1000;
  const long long us =
      std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  const long long parts = per_s == 1000 ? us / 1000 - (us % 1000 < 0 ? 1 : 0) : us;
  std::tm tm{};
  platform::UtcCalendar(parts / per_s - (parts % per_s < 0 ? 1 : 0), &tm);
  char date[32];
  std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &tm);
  return Printf("%s.%0*lldZ", date, per_s == 1000 ? 3 : 6, (parts % per_s + per_s) % per_s);
}

std::string Brief(const Error& error) {
  std::string text = std::string(ErrorKindName(error.kind)) + ": " + Printable(error.text);
  if (error.status != 0) text += " (D2XX status " + std::to_string(error.status) + ")";
  return text;
}

Rows::Rows(Format format, bool loads, std::vector<int> digits, bool reconnects, bool comments)
    : format_(format),
      loads_(loads),
      digits_(std::move(digits)),
      reconnects_(reconnects),
      comments_(comments) {}

void Rows::SetDigits(const std::string& serial, std::vector<int> digits) {
  board_digits_[serial] = std::move(digits);
  several_ = board_digits_.size() > 1;
}

int Rows::Digits(const std::string& serial, unsigned int channel) const {
  const auto board = board_digits_.find(serial);
  const std::vector<int>& d = board != board_digits_.end() ? board->second : digits_;
  return channel < d.size() ? d[channel] : 0;
}

std::string Rows::Load(unsigned int channel, double load, const std::string& serial) const {
  return Printf("%.*f", std::max(Digits(serial, channel), 1), load);
}

std::string Rows::Header() const {
  switch (format_) {
    case Format::kTable:
      return Printf("%-24s %10s  %-12s %3s  %10s%s\n", "time", "elapsed_s", "serial", "ch",
                    "counts", loads_ ? Printf("  %10s", "load").c_str() : "");
    case Format::kCsv:
      return loads_ ? "time,elapsed_s,serial,channel,counts,load,note,session\n"
                    : "time,elapsed_s,serial,channel,counts,note,session\n";
    case Format::kJson: break;
  }
  return "";
}

std::string Rows::SessionStart(const Stamp& at, bool fresh, const FileHeader& h) const {
  const std::string values = loads_ ? "calibrated loads" : "converter counts (--raw)";
  if (format_ == Format::kJson) {
    Json j = Start("session", at);
    j.erase("elapsed_s");
    if (at.serial.empty()) j.erase("serial");  // several boards: each row names its own
    j["started"] = at.session;
    j["tool"] = "kavro " KAVRO_VERSION;
    j["library"] = "KAVRO_USB_DLL " KAVRO_VERSION;
    j["host"] = h.host;
    j["command"] = h.command;
    j["settings"] = h.settings.empty() ? Json(nullptr) : Json(h.settings);
    if (h.part > 0) j["part"] = h.part;
    j["values"] = values;
    j["boards"] = Json::array();
    for (const BoardHeader& b : h.boards) j["boards"].push_back(BoardObject(b));
    return Line(j);
  }
  std::string text;
  if (comments_) {
    text += "# kavro recording: " + values + ", one row per channel and due time\n";
    text += "# tool: kavro " KAVRO_VERSION ", library KAVRO_USB_DLL " KAVRO_VERSION "\n";
    text += "# started: " + at.session + " (UTC)\n";
    if (h.part > 0)
      text += Printf("# part: %u of the recording, from %s\n", h.part, UtcTime(at.wall).c_str());
    text += "# host: " + Printable(h.host) + "\n";
    text += "# command: " + Printable(h.command) + "\n";
    text +=
        "# settings: " +
        (h.settings.empty() ? std::string("none")
                            : Printable(h.settings) + (h.settings_found ? "" : " (not there)")) +
        "\n";
    for (const BoardHeader& b : h.boards) {
      const std::string serial = Printable(b.info.serial);
      text += Printf("# board %s: type %u, version %s, %u channel%s, link %s\n", serial.c_str(),
                     b.info.type, VersionText(b.info).c_str(), b.info.channels,
                     b.info.channels == 1 ? "" : "s", Printable(b.link).c_str());
      if (!b.converter_per_channel)
        text += "# board " + serial + ": " + ConverterText(b.converter) + "\n";
      for (const ChannelHeader& c : b.channels) {
        const std::string where = Printf("# board %s channel %u: ", serial.c_str(), c.channel);
        if (b.converter_per_channel) text += where + ConverterText(c.converter) + "\n";
        text += where + CalibrationText(c.calibration) + "\n";
        if (c.settings.calibration)
          text += where + UserCalibrationText(*c.settings.calibration) + "\n";
        const std::string unit = UnitOf(c);
        const char* source = LoadSource(c);
        text += where + (unit.empty() ? "no unit" : "loads in " + Printable(unit)) +
                (source == nullptr        ? std::string(" (no calibration)")
                 : c.settings.calibration ? std::string(" by the user calibration")
                                          : " by the board's calibration") +
                (c.tare ? (c.default_tare ? ", default tare " : ", tare ") +
                              Load(c.channel, *c.tare, b.info.serial) + " taken off"
                        : ", no tare") +
                "\n";
      }
    }
  }
  return text + (format_ == Format::kTable || fresh ? Header() : "");
}

std::string Rows::AppendRefusal(const std::string& first_line) const {
  if (format_ == Format::kJson) {
    const Json j = Json::parse(first_line, nullptr, false);
    if (j.is_object() && j.contains("type")) return "";
    return "JSON lines";
  }
  std::string header = Header();
  header.pop_back();
  if (first_line == header) return "";
  return std::string(format_ == Format::kCsv ? "CSV" : "table") + " rows of " +
         (loads_ ? "loads" : "converter counts (--raw)") + " under the header \"" + header + "\"";
}

std::string Rows::Reading(const Stamp& at, const kavro::Reading& r) const {
  const bool numeric = r.state == ReadingState::kOk;
  const std::string counts = numeric ? std::to_string(r.counts) : "";
  const std::string load = loads_ && r.load ? Load(r.channel, *r.load, at.serial) : "";
  const std::string note = numeric ? "" : Printable(r.raw);
  const std::string time = UtcTime(at.wall);
  switch (format_) {
    case Format::kTable:
      if (!numeric) {
        return Printf("%-24s %10.3f  %-12s %3u  %s\n", time.c_str(), at.elapsed_s,
                      at.serial.c_str(), r.channel, note.c_str());
      }
      return Printf("%-24s %10.3f  %-12s %3u  %10s%s\n", time.c_str(), at.elapsed_s,
                    at.serial.c_str(), r.channel, counts.c_str(),
                    loads_ ? Printf("  %10s", load.c_str()).c_str() : "");
    case Format::kCsv:
      return Printf("%s,%.3f,%s,%u,%s,%s%s,%s\n", time.c_str(), at.elapsed_s,
                    CsvField(at.serial).c_str(), r.channel, counts.c_str(),
                    loads_ ? (load + ",").c_str() : "", CsvField(note).c_str(), at.session.c_str());
    case Format::kJson: break;
  }
  Json j = Start("reading", at);
  j["channel"] = r.channel;
  j["state"] = StateName(r.state);
  if (numeric) j["counts"] = r.counts;
  if (r.load) {
    j["load"] = Rounded(*r.load, std::max(Digits(at.serial, r.channel), 1));
    j["calibration"] = LoadCalibrationName(r.calibration);
    if (!r.unit.empty()) j["unit"] = r.unit;
  }
  if (!numeric) j["raw"] = r.raw;
  return Line(j);
}

std::string Rows::Failure(const Stamp& at, unsigned int channel, const Error& error) const {
  const std::string time = UtcTime(at.wall);
  switch (format_) {
    case Format::kTable:
      return Printf("%-24s %10.3f  %-12s %3u  %s\n", time.c_str(), at.elapsed_s, at.serial.c_str(),
                    channel, Brief(error).c_str());
    case Format::kCsv:
      return Printf("%s,%.3f,%s,%u,,%s%s,%s\n", time.c_str(), at.elapsed_s,
                    CsvField(at.serial).c_str(), channel, loads_ ? "," : "",
                    CsvField(Brief(error)).c_str(), at.session.c_str());
    case Format::kJson: break;
  }
  Json j = Start("failure", at);
  j["channel"] = channel;
  j["kind"] = ErrorKindName(error.kind);
  j["text"] = error.text;
  j["status"] = error.status;
  return Line(j);
}

std::string Rows::EventText(const BoardEvent& e) const {
  switch (e.kind) {
    case BoardEventKind::kDisconnected:
      return "disconnected (" + Printable(e.error.text) +
             (e.error.status != 0 ? ", D2XX status " + std::to_string(e.error.status) : "") +
             (reconnects_ ? "); reopening it" : "); not reopened (--no-reconnect)");
    case BoardEventKind::kReconnected:
      return Printf("reconnected after %.3f s (%u attempts)", e.gap_us / 1e6, e.attempts);
    case BoardEventKind::kGaveUp: break;
  }
  return Printf("gave up reconnecting after %.3f s (%u attempts)", e.gap_us / 1e6, e.attempts);
}

std::string Rows::Event(const Stamp& at, const BoardEvent& e) const {
  const std::string time = UtcTime(at.wall);
  switch (format_) {
    case Format::kTable:
      return Printf("%-24s %10.3f  %-12s %3s  %s\n", time.c_str(), at.elapsed_s, at.serial.c_str(),
                    "-", EventText(e).c_str());
    case Format::kCsv:
      return Printf("%s,%.3f,%s,,,%s%s,%s\n", time.c_str(), at.elapsed_s,
                    CsvField(at.serial).c_str(), loads_ ? "," : "", CsvField(EventText(e)).c_str(),
                    at.session.c_str());
    case Format::kJson: break;
  }
  Json j = Start(BoardEventKindName(e.kind), at);
  if (e.kind == BoardEventKind::kDisconnected) {
    j["kind"] = ErrorKindName(e.error.kind);
    j["text"] = e.error.text;
    j["status"] = e.error.status;
  } else {
    j["gap_s"] = Rounded(e.gap_us / 1e6, 3);
    j["attempts"] = e.attempts;
  }
  return Line(j);
}

std::string Rows::Summary(const RecordingEnd& end, std::size_t boards) const {
  if (format_ != Format::kJson) return "";
  const RecordSummary& s = end.summary;
  Json channels = Json::array();
  for (const ChannelStats& c : end.channels) {
    Json one{{"channel", c.channel}, {"values", c.count}};
    if (c.count > 0) {
      one["min"] = c.min;
      one["max"] = c.max;
      one["mean"] = c.mean;
      one["sd"] = c.sd();
    }
    channels.push_back(one);
  }
  Json j = boards > 1 ? Json{{"type", "total"}, {"boards", boards}}
                      : Json{{"type", "summary"}, {"serial", end.serial}};
  j["readings"] = s.readings;
  j["failed"] = s.errors;
  j["due_times"] = s.due_times;
  j["missed"] = s.missed;
  j["gaps"] = s.gaps;
  j["gap_s"] = Rounded(s.gap_us / 1e6, 3);
  j["elapsed_s"] = Rounded(s.elapsed_us / 1e6, 3);
  j["rate"] = Rounded(s.rate(), 2);
  j["ended"] = end.ended;
  if (boards <= 1) j["channels"] = channels;
  return Line(j);
}

std::string Rows::SummaryText(const RecordingEnd& end, std::size_t boards) const {
  const RecordSummary& s = end.summary;
  const std::string of = several_ && boards <= 1 ? " " + end.serial : "";
  std::string text =
      Printf("summary%s: %llu readings in %.2f s (%.2f/s), %llu failed, %llu missed\n",
             of.c_str(), static_cast<unsigned long long>(s.readings), s.elapsed_us / 1e6,
             s.rate(), static_cast<unsigned long long>(s.errors),
             static_cast<unsigned long long>(s.missed));
  if (boards > 1) {
    text.insert(text.size() - 1,
                Printf(", %llu boards", static_cast<unsigned long long>(boards)));
  }
  for (const ChannelStats& c : end.channels) {
    if (c.count == 0) continue;
    const char* what = loads_ ? "load" : "counts";
    const int d = loads_ ? 4 : 1;
    text += Printf("  %s channel %u %s: min %.*f  max %.*f  mean %.*f  sd %.*f  (%llu values)\n",
                   end.serial.c_str(), c.channel, what, loads_ ? 4 : 0, c.min, loads_ ? 4 : 0,
                   c.max, d, c.mean, d, c.sd(), static_cast<unsigned long long>(c.count));
  }
  text += Printf("  gaps: %llu, %.3f s in all\n", static_cast<unsigned long long>(s.gaps),
                 s.gap_us / 1e6);
  for (const auto& [what, n] : end.failures)
    text += Printf("  %6llu failed: %s\n", static_cast<unsigned long long>(n), what.c_str());
  return text + "  ended: " + end.ended + "\n";
}

}  // namespace kavro::tool

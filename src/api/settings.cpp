// The settings file: read with nlohmann-json, checked value by value so that a mistake is named
// where it stands, and written whole through a temporary file renamed over the old one.
#include "kavro/settings.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "errors.h"
#include "platform/platform.h"

namespace kavro {

namespace {

using Json = nlohmann::ordered_json;
using detail::OwnError;

std::string Shown(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Finds where a file stops being JSON, without exceptions: the parser's events are all taken
// as they come, and the first error is kept with its line and column.
struct SyntaxCheck {
  std::string error;
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(Json::number_integer_t) { return true; }
  bool number_unsigned(Json::number_unsigned_t) { return true; }
  bool number_float(Json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(Json::binary_t&) { return true; }
  bool start_object(std::size_t) { return true; }
  bool key(std::string&) { return true; }
  bool end_object() { return true; }
  bool start_array(std::size_t) { return true; }
  bool end_array() { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error = e.what();
    const std::size_t bracket = error.find("] ");
    if (error.rfind('[', 0) == 0 && bracket != std::string::npos) error.erase(0, bracket + 2);
    return false;
  }
};

// Reads the values of a settings document, naming the first one that is wrong by its path.
class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}

  Status Fail(const std::string& where, const std::string& what) const {
    return OwnError(ErrorKind::kInvalidArgument,
                    "settings file " + file_ + ": " + where + ": " + what);
  }

  Status Number(const Json& j, const std::string& where, double* out) const {
    if (!j.is_number()) return Fail(where, "a number is expected, not " + Shown(j));
    *out = j.get<double>();
    if (!std::isfinite(*out)) return Fail(where, "the number is not finite");
    return {};
  }

  Status Text(const Json& j, const std::string& where, std::string* out) const {
    if (!j.is_string()) return Fail(where, "a text is expected, not " + Shown(j));
    *out = j.get<std::string>();
    return {};
  }

  Status Object(const Json& j, const std::string& where) const {
    return j.is_object() ? Status() : Fail(where, "an object is expected, not " + Shown(j));
  }

  Status Channel(const Json& j, const std::string& where, ChannelSettings* c) const {
    if (Status s = Object(j, where); !s) return s;
    if (const auto it = j.find("unit"); it != j.end()) {
      c->unit.emplace();
      if (Status s = Text(*it, where + ".unit", &*c->unit); !s) return s;
    }
    if (const auto it = j.find("tare"); it != j.end()) {
      c->tare.emplace();
      if (Status s = Number(*it, where + ".tare", &*c->tare); !s) return s;
    }
    if (const auto it = j.find("calibration"); it != j.end()) {
      const std::string at = where + ".calibration";
      if (Status s = Object(*it, at); !s) return s;
      double zero = 0, span = 0, load = 0;
      std::string date;
      for (auto [key, out] : {std::pair{"zero_reading", &zero}, std::pair{"span_reading", &span},
                              std::pair{"span_load", &load}}) {
        if (!it->contains(key)) return Fail(at, std::string("\"") + key + "\" is missing");
        if (Status s = Number(it->at(key), at + "." + key, out); !s) return s;
      }
      if (!it->contains("date")) return Fail(at, "\"date\" is missing");
      if (Status s = Text(it->at("date"), at + ".date", &date); !s) return s;
      Result<UserCalibration> made = UserCalibration::FromPoints(zero, span, load, date);
      if (!made) return Fail(at, made.error().text);
      c->calibration = made.value();
    }
    if (const auto it = j.find("zero"); it != j.end()) {
      const std::string at = where + ".zero";
      if (Status s = Object(*it, at); !s) return s;
      c->zero.emplace();
      if (!it->contains("reading") || !it->contains("date"))
        return Fail(at, "\"reading\" and \"date\" are expected");
      if (Status s = Number(it->at("reading"), at + ".reading", &c->zero->reading); !s) return s;
      if (Status s = Text(it->at("date"), at + ".date", &c->zero->date); !s) return s;
    }
    return {};
  }

 private:
  std::string file_;
};

bool ChannelNumber(const std::string& key, unsigned int* channel) {
  if (key.empty() || key.size() > 3 || key.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *channel = static_cast<unsigned int>(std::stoul(key));
  return true;
}

// The file's document; a missing file is an empty one.
Status ReadDocument(const std::string& path, Json* doc) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) && !ec) {
    *doc = Json::object();
    return {};
  }
  std::ifstream in(platform::PathFromUtf8(path), std::ios::binary);
  if (!in || std::filesystem::is_directory(path, ec)) {
    return OwnError(ErrorKind::kInvalidArgument, "settings file " + path + ": cannot be read");
  }
  std::ostringstream text;
  text << in.rdbuf();
  SyntaxCheck check;
  Json::sax_parse(text.str(), &check);
  if (!check.error.empty())
    return OwnError(ErrorKind::kInvalidArgument, "settings file " + path + ": " + check.error);
  *doc = Json::parse(text.str(), nullptr, false);
  if (!doc->is_object())
    return OwnError(ErrorKind::kInvalidArgument,
                    "settings file " + path + ": a JSON object is expected at the top");
  return {};
}

// Reads every entry of a document into *channels (when given), checking each.
Status ReadEntries(const std::string& path, const Json& doc,
                   std::map<std::pair<std::string, unsigned int>, ChannelSettings>* channels) {
  const Reader reader(path);
  const auto boards = doc.find("boards");
  if (boards == doc.end()) return {};
  if (Status s = reader.Object(*boards, "boards"); !s) return s;
  for (const auto& [serial, board] : boards->items()) {
    const std::string where = "boards." + serial;
    if (Status s = reader.Object(board, where); !s) return s;
    const auto list = board.find("channels");
    if (list == board.end()) continue;
    if (Status s = reader.Object(*list, where + ".channels"); !s) return s;
    for (const auto& [key, entry] : list->items()) {
      unsigned int channel = 0;
      const std::string at = where + ".channels." + key;
      if (!ChannelNumber(key, &channel))
        return reader.Fail(at, "a channel is named by its number (\"0\", \"1\", ...)");
      ChannelSettings c;
      if (Status s = reader.Channel(entry, at, &c); !s) return s;
      if (channels != nullptr && !c.empty()) (*channels)[{serial, channel}] = c;
    }
  }
  return {};
}

// Writes text whole over path (beside it first, synced, then moved over it): a crash leaves
// the old file or the new one, never a part of either.
Status WriteAtomically(const std::string& path, const std::string& text) {
  const std::filesystem::path target = platform::PathFromUtf8(path);
  std::error_code ec;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
  std::string why;
  if (platform::ReplaceWholeFile(target, text, &why)) return {};
  return OwnError(ErrorKind::kCannotOpen, "settings file " + path + ": cannot be written (" +
                                              why + ")");
}

}  // namespace

Result<UserCalibration> UserCalibration::FromPoints(double zero_reading, double span_reading,
                                                    double span_load, std::string date) {
  auto refuse = [](const std::string& why) {
    return OwnError(ErrorKind::kInvalidArgument, "no calibration: " + why);
  };
  if (!std::isfinite(span_load)) return refuse("the known load is not a finite number");
  if (span_load == 0) return refuse("the known load is 0: a span needs a load on the cell");
  if (!std::isfinite(zero_reading) || !std::isfinite(span_reading))
    return refuse("a reading is not a finite number");
  if (std::fabs(span_reading - zero_reading) < kMinimumSpanCounts) {
    char text[160];
    std::snprintf(text, sizeof(text),
                  "the span reading %.1f is within %.0f counts of the zero reading %.1f: was the "
                  "load on the cell?",
                  span_reading, kMinimumSpanCounts, zero_reading);
    return refuse(text);
  }
  UserCalibration c;
  c.zero_reading = zero_reading;
  c.span_reading = span_reading;
  c.span_load = span_load;
  c.date = std::move(date);
  return c;
}

std::string Settings::DefaultPath() {
  const std::filesystem::path folder = platform::ConfigFolder();
  return folder.empty() ? "" : platform::Utf8FromPath(folder / "settings.json");
}

Result<Settings> Settings::Load(const std::string& path) {
  Json doc;
  if (Status s = ReadDocument(path, &doc); !s) return s.error();
  Settings settings;
  settings.path_ = path;
  if (Status s = ReadEntries(path, doc, &settings.channels_); !s) return s.error();
  return settings;
}

Status Settings::Store(const std::string& path, const std::string& serial, unsigned int channel,
                       const ChannelSettings& entry) {
  Json doc;
  if (Status s = ReadDocument(path, &doc); !s) return s;
  if (Status s = ReadEntries(path, doc, nullptr); !s) return s;  // a file of another kind
  if (!doc.contains("version")) doc["version"] = 1;
  Json& channels = doc["boards"][serial]["channels"];
  Json& c = channels[std::to_string(channel)];
  if (!c.is_object()) c = Json::object();  // a new entry
  for (const char* key : {"unit", "tare", "calibration", "zero"}) c.erase(key);
  if (entry.unit) c["unit"] = *entry.unit;
  if (entry.tare) c["tare"] = *entry.tare;
  if (entry.calibration) {
    const UserCalibration& k = *entry.calibration;
    c["calibration"] = Json{{"zero_reading", k.zero_reading},
                            {"span_reading", k.span_reading},
                            {"span_load", k.span_load},
                            {"date", k.date}};
  }
  if (entry.zero) c["zero"] = Json{{"reading", entry.zero->reading}, {"date", entry.zero->date}};
  if (c.empty()) channels.erase(std::to_string(channel));
  return WriteAtomically(path, doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
}

ChannelSettings Settings::Find(const std::string& serial, unsigned int channel) const {
  const auto it = channels_.find({serial, channel});
  return it == channels_.end() ? ChannelSettings{} : it->second;
}

}  // namespace kavro

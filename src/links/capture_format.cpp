// A capture's lines: the header and one JSON object per D2XX call.
#include "capture_format.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace kavro::detail {

namespace {

// Keys keep the order they are written in, so that "t" and "call" lead every line.
using Json = nlohmann::ordered_json;

enum class HandleUse { kNone, kCalledOn, kOpened };
enum class DataUse { kNone, kArgument, kAnswer };

// What a call's record holds: the keys of its numeric arguments and answers and of its texts,
// whether its handle is an argument or an answer, and what its bytes are.
struct Shape {
  HandleUse handle;
  const char* args[2];
  const char* answers[3];
  const char* texts[2];
  bool text_is_argument = false;  // OpenEx's key; every other text is an answer
  DataUse data = DataUse::kNone;
};

// The names of the calls in the file, in the order of LinkCall.
constexpr const char* kNames[] = {KAVRO_D2XX_CALLS(KAVRO_D2XX_NAME) "Clock", "WaitForRx"};

// In the order of LinkCall.
constexpr Shape kShapes[] = {
    {HandleUse::kNone, {"flags", "index"}, {"count"}, {"text"}, false},            // ListDevices
    {HandleUse::kOpened, {"index"}, {}, {}, false},                                // Open
    {HandleUse::kOpened, {"flags", "location"}, {}, {"key"}, true},                // OpenEx
    {HandleUse::kCalledOn, {}, {}, {}, false},                                     // Close
    {HandleUse::kCalledOn, {"count"}, {"returned"}, {}, false, DataUse::kAnswer},  // Read
    {HandleUse::kCalledOn, {}, {"written"}, {}, false, DataUse::kArgument},        // Write
    {HandleUse::kCalledOn, {}, {"device", "id"}, {"serial", "description"}},       // GetDeviceInfo
    {HandleUse::kCalledOn, {}, {"rx", "tx", "event"}, {}, false},                  // GetStatus
    {HandleUse::kCalledOn, {"read_ms", "write_ms"}, {}, {}, false},                // SetTimeouts
    {HandleUse::kCalledOn, {"in_size", "out_size"}, {}, {}, false},   // SetUSBParameters
    {HandleUse::kCalledOn, {"ms"}, {}, {}, false},                    // SetLatencyTimer
    {HandleUse::kCalledOn, {}, {"ms"}, {}, false},                    // GetLatencyTimer
    {HandleUse::kCalledOn, {"mask"}, {}, {}, false},                  // Purge
    {HandleUse::kNone, {}, {"count"}, {}, false},                     // CreateDeviceInfoList
    {HandleUse::kNone, {"room"}, {"count"}, {}, false},               // GetDeviceInfoList
    {HandleUse::kNone, {"vid", "pid"}, {}, {}, false},                // SetVIDPID
    {HandleUse::kNone, {}, {"vid", "pid"}, {}, false},                // GetVIDPID
    {HandleUse::kNone, {}, {"us"}, {}, false},                        // Clock
    {HandleUse::kCalledOn, {"bytes", "deadline_us"}, {}, {}, false},  // WaitForRx
};

static_assert(sizeof(kShapes) / sizeof(kShapes[0]) == sizeof(kNames) / sizeof(kNames[0]),
              "a shape for every call");

const Shape& ShapeOf(LinkCall call) {
  return kShapes[static_cast<std::size_t>(call)];
}

const char* NameOf(LinkCall call) {
  return kNames[static_cast<std::size_t>(call)];
}

std::string Dump(const Json& j) {
  // Texts that are not UTF-8 (a provider's name, a note) are mended rather than refused.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0F];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

// D2XX texts are bytes. In the file each byte is the character of that code (0 to 255), so
// ASCII serial numbers read as they are and any other byte survives the round trip.
std::string TextToJson(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool TextFromJson(const std::string& utf8, std::string* bytes) {
  bytes->clear();
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      bytes->push_back(static_cast<char>(c));
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
      bytes->push_back(static_cast<char>(((c & 0x03) << 6) | (utf8[++i] & 0x3F)));
    } else {
      return false;  // a character above 255: no D2XX byte
    }
  }
  return true;
}

bool Number(const Json& j, const char* key, bool required, std::uint64_t max, std::uint64_t* out,
            std::string* why) {
  const auto it = j.find(key);
  if (it == j.end()) {
    *out = 0;
    if (required) *why = std::string("it has no \"") + key + "\"";
    return !required;
  }
  if (!it->is_number_unsigned() || it->get<std::uint64_t>() > max) {
    *why =
        std::string("its \"") + key + "\" is not a whole number from 0 to " + std::to_string(max);
    return false;
  }
  *out = it->get<std::uint64_t>();
  return true;
}

bool Text(const Json& j, const char* key, std::string* out, std::string* why) {
  const auto it = j.find(key);
  if (it == j.end()) {
    out->clear();
    return true;
  }
  if (!it->is_string() || !TextFromJson(it->get_ref<const std::string&>(), out)) {
    *why = std::string("its \"") + key + "\" is not a text of bytes";
    return false;
  }
  return true;
}

bool Unsigned(const Json& j, const char* key, unsigned int* out, std::string* why) {
  std::uint64_t v = 0;
  if (!Number(j, key, false, UINT_MAX, &v, why)) return false;
  *out = static_cast<unsigned int>(v);
  return true;
}

Json NodeJson(const CapturedNode& n) {
  Json j;
  j["flags"] = n.flags;
  j["type"] = n.type;
  j["id"] = n.id;
  j["location"] = n.location;
  j["serial"] = TextToJson(n.serial);
  j["description"] = TextToJson(n.description);
  j["h"] = n.handle;
  return j;
}

bool ParseNode(const Json& j, CapturedNode* n, std::string* why) {
  if (!j.is_object()) {
    *why = "a device-list node is not an object";
    return false;
  }
  return Number(j, "flags", false, UINT_MAX, &n->flags, why) &&
         Number(j, "type", false, UINT_MAX, &n->type, why) &&
         Number(j, "id", false, UINT_MAX, &n->id, why) &&
         Number(j, "location", false, UINT_MAX, &n->location, why) &&
         Text(j, "serial", &n->serial, why) && Text(j, "description", &n->description, why) &&
         Unsigned(j, "h", &n->handle, why);
}

// The checks a record passes beyond its keys: what the replay hands back must fit what was
// asked for.
bool Consistent(const CaptureRecord& r, std::string* why) {
  if (r.call == LinkCall::kRead && (r.answer[0] != r.data.size() || r.data.size() > r.arg[0])) {
    *why = "its bytes read do not match \"returned\" and \"count\"";
    return false;
  }
  if (r.call == LinkCall::kGetDeviceInfoList && r.status == 0 &&
      (r.nodes.size() != r.answer[0] || r.nodes.size() > r.arg[0])) {
    *why = "its nodes do not match \"count\" and \"room\"";
    return false;
  }
  return true;
}

}  // namespace

std::string RecordLine(const CaptureRecord& r) {
  const Shape& s = ShapeOf(r.call);
  Json j;
  j["t"] = r.t;
  j["call"] = NameOf(r.call);
  if (s.handle == HandleUse::kCalledOn) j["h"] = r.handle;
  for (int i = 0; i < 2; ++i)
    if (s.args[i] != nullptr) j[s.args[i]] = r.arg[i];
  if (s.text_is_argument) j[s.texts[0]] = TextToJson(r.text[0]);
  if (s.data == DataUse::kArgument) j["data"] = Hex(r.data);
  j["status"] = r.status;
  if (s.handle == HandleUse::kOpened) j["h"] = r.handle;
  for (int i = 0; i < 3; ++i)
    if (s.answers[i] != nullptr) j[s.answers[i]] = r.answer[i];
  for (int i = 0; i < 2 && !s.text_is_argument; ++i)
    if (s.texts[i] != nullptr) j[s.texts[i]] = TextToJson(r.text[i]);
  if (s.data == DataUse::kAnswer) j["data"] = Hex(r.data);
  if (r.call == LinkCall::kGetDeviceInfoList) {
    j["nodes"] = Json::array();
    for (const CapturedNode& n : r.nodes) j["nodes"].push_back(NodeJson(n));
  }
  return Dump(j);
}

bool ParseRecordLine(const std::string& line, CaptureRecord* r, std::string* why) {
  const Json j = Json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "it is not a JSON object (the line is corrupt)";
    return false;
  }
  const auto call = j.find("call");
  if (call == j.end() || !call->is_string()) {
    *why = "it has no \"call\"";
    return false;
  }
  const auto named = std::find(std::begin(kNames), std::end(kNames), call->get<std::string>());
  if (named == std::end(kNames)) {
    *why = "its call \"" + call->get_ref<const std::string&>() + "\" is not a D2XX call";
    return false;
  }
  r->call = static_cast<LinkCall>(named - std::begin(kNames));
  const Shape* shape = &ShapeOf(r->call);
  std::uint64_t status = 0;
  if (!Number(j, "t", true, UINT64_MAX, &r->t, why) ||
      !Number(j, "status", true, UINT_MAX, &status, why) || !Unsigned(j, "h", &r->handle, why))
    return false;
  r->status = static_cast<unsigned int>(status);
  for (int i = 0; i < 2; ++i) {
    r->arg[i] = 0;
    if (shape->args[i] != nullptr && !Number(j, shape->args[i], false, UINT64_MAX, &r->arg[i], why))
      return false;
  }
  // A clock read answers a time; every other answer is a D2XX DWORD.
  const std::uint64_t most = r->call == LinkCall::kClock ? UINT64_MAX : UINT_MAX;
  for (int i = 0; i < 3; ++i) {
    r->answer[i] = 0;
    if (shape->answers[i] != nullptr &&
        !Number(j, shape->answers[i], false, most, &r->answer[i], why))
      return false;
  }
  for (int i = 0; i < 2; ++i) {
    r->text[i].clear();
    if (shape->texts[i] != nullptr && !Text(j, shape->texts[i], &r->text[i], why)) return false;
  }
  r->data.clear();
  if (shape->data != DataUse::kNone) {
    const auto data = j.find("data");
    if (data != j.end() &&
        (!data->is_string() || !FromHex(data->get_ref<const std::string&>(), &r->data))) {
      *why = "its \"data\" is not hexadecimal bytes";
      return false;
    }
  }
  r->nodes.clear();
  const auto nodes = j.find("nodes");
  if (r->call == LinkCall::kGetDeviceInfoList && nodes != j.end()) {
    if (!nodes->is_array()) {
      *why = "its \"nodes\" is not a list";
      return false;
    }
    for (const Json& n : *nodes) {
      r->nodes.emplace_back();
      if (!ParseNode(n, &r->nodes.back(), why)) return false;
    }
  }
  return Consistent(*r, why);
}

bool SameCall(const CaptureRecord& a, const CaptureRecord& b) {
  if (a.call != b.call) return false;
  const Shape& s = ShapeOf(a.call);
  return (s.handle != HandleUse::kCalledOn || a.handle == b.handle) && a.arg[0] == b.arg[0] &&
         a.arg[1] == b.arg[1] && (!s.text_is_argument || a.text[0] == b.text[0]) &&
         (s.data != DataUse::kArgument || a.data == b.data);
}

std::string DescribeCall(const CaptureRecord& r) {
  const Shape& s = ShapeOf(r.call);
  std::string out = std::string(NameOf(r.call)) + "(";
  auto add = [&out](const std::string& item) {
    if (out.back() != '(') out += ", ";
    out += item;
  };
  if (s.handle == HandleUse::kCalledOn)
    add("h=" + (r.handle == UINT_MAX ? std::string("not the replay's") : std::to_string(r.handle)));
  for (int i = 0; i < 2; ++i)
    if (s.args[i] != nullptr) add(std::string(s.args[i]) + "=" + std::to_string(r.arg[i]));
  if (s.text_is_argument) add(std::string(s.texts[0]) + "=\"" + r.text[0] + "\"");
  if (s.data == DataUse::kArgument) add("data=" + Hex(r.data));
  return out + ")";
}

std::string HeaderLine(const std::string& link, std::uint64_t clock_us, const std::string& note) {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  platform::UtcCalendar(static_cast<std::int64_t>(now), &utc);
  char started[32];
  std::strftime(started, sizeof(started), "%Y-%m-%dT%H:%M:%SZ", &utc);
  Json j;
  j["format"] = kCaptureFormat;
  j["version"] = kCaptureVersion;
  j["library"] = KAVRO_LIBRARY_VERSION;
  j["link"] = link;
  j["started"] = started;
  j["clock_us"] = clock_us;
  if (!note.empty()) j["note"] = note;
  return Dump(j);
}

bool ParseHeaderLine(const std::string& line, std::uint64_t* clock_us, std::string* note,
                     unsigned int* version, std::string* why) {
  const Json j = Json::parse(line, nullptr, false);
  const auto format = j.is_object() ? j.find("format") : j.end();
  if (j.is_discarded() || !j.is_object() || format == j.end() || *format != kCaptureFormat) {
    *why = std::string("it is not the header of a ") + kCaptureFormat;
    return false;
  }
  std::uint64_t number = 0;
  if (!Number(j, "version", true, UINT_MAX, &number, why) ||
      !Number(j, "clock_us", true, UINT64_MAX, clock_us, why))
    return false;
  const auto text = j.find("note");
  *note = text != j.end() && text->is_string() ? text->get<std::string>() : std::string();
  if (number == 0 || number > kCaptureVersion) {
    *why = "its format version " + std::to_string(number) +
           " is not one this library reads (it reads 1 to " + std::to_string(kCaptureVersion) +
           "; a newer library may have made it)";
    return false;
  }
  *version = static_cast<unsigned int>(number);
  return true;
}

}  // namespace kavro::detail

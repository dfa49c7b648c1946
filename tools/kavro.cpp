// kavro: list, inspect, configure and record boards from the command line, on a real link
// (the vendor D2XX library or libftdi1) or on the built-in emulated boards.
//
// It uses only the library's public class, so it doubles as a worked example of the API.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitDevice = 1;  // device, link and protocol failures
constexpr int kExitUsage = 2;

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) {
  g_interrupted = 1;
}

// ---- options ------------------------------------------------------------------------------

struct Options {
  std::string link;
  bool emulate = false;
  std::string emulator_fault;
  bool trace = false;
  bool verbose = false;
  std::string serial;
  int channel = 0;
  // read
  long count = 0;
  double seconds = 0;
  int interval_ms = 100;
  std::string format = "table";
  std::string output;
  bool raw = false;
  // config
  std::optional<int> rate;
  std::optional<int> byte;
  // register
  std::optional<int> eeprom;
  std::optional<int> reg_channel;
  std::optional<int> address;
};

// ---- text helpers -------------------------------------------------------------------------

// A reading's text made safe to print: bytes outside printable ASCII become \xNN.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  const std::string p = Printable(text);
  if (p.find_first_of(",\"") == std::string::npos) return p;
  std::string out = "\"";
  for (char c : p) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string Hex(const unsigned char* bytes, std::size_t n) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof(buf), "%s%02x", i ? " " : "", bytes[i]);
    out += buf;
  }
  return out;
}

bool ParseInteger(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

std::string IsoTime(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&s, &tm);
  char buf[40];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", &tm);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  char out[48];
  std::snprintf(out, sizeof(out), "%s.%03lld", buf, static_cast<long long>(ms));
  return out;
}

// ---- links --------------------------------------------------------------------------------

// Prints every frame written to and read from the board, in the trace texts' hex form.
class TracingLink final : public kavro::ForwardingLink {
 public:
  using ForwardingLink::ForwardingLink;
  unsigned int Read(void* h, void* b, unsigned int n, unsigned int* got) override {
    const unsigned int status = ForwardingLink::Read(h, b, n, got);
    if (status == kavro::kFtOk && *got > 0)
      std::fprintf(stderr, "<- %s\n", Hex(static_cast<unsigned char*>(b), *got).c_str());
    return status;
  }
  unsigned int Write(void* h, void* b, unsigned int n, unsigned int* put) override {
    std::fprintf(stderr, "-> %s\n", Hex(static_cast<unsigned char*>(b), n).c_str());
    return ForwardingLink::Write(h, b, n, put);
  }
  unsigned int Purge(void* h, unsigned int m) override {
    std::fprintf(stderr, "   (purge)\n");
    return ForwardingLink::Purge(h, m);
  }
};

// The ready-made emulated boards on the real clock, misbehaving as --emulator-fault asks.
std::unique_ptr<kavro::emu::VirtualBus> MakeEmulator(const std::string& fault) {
  auto bus = std::make_unique<kavro::emu::VirtualBus>(kavro::emu::VirtualBus::Clock::kReal);
  bus->logging = false;
  kavro::emu::AddReadyMadeBoards(*bus);
  for (const char* serial : {"KAVRO-0001", "KAVRO-0009"}) {
    bus->WithDevice(serial, [&](kavro::emu::VirtualBus::Device& d) {
      if (fault == "teds") d.board.teds_fault = true;
      if (fault == "drop") {
        kavro::emu::ReplyFault drop;
        drop.kind = kavro::emu::ReplyFault::kDrop;
        d.board.faults.assign(100000, drop);
      }
    });
  }
  return bus;
}

// Everything a subcommand needs: the instance, its link and the options.
struct Session {
  Options opt;
  std::unique_ptr<kavro::emu::VirtualBus> emulator;
  std::unique_ptr<kavro::LinkProvider> owned_link;
  std::unique_ptr<TracingLink> tracer;
  KAVRO_USB_DLL dll;
  void* handle = nullptr;

  int Fail(const std::string& what) {
    std::fprintf(stderr, "kavro: %s\n", what.c_str());
    return kExitDevice;
  }
  std::string Why() const { return dll.ErrorText[0] ? dll.ErrorText : "no reason given"; }
  void Note(const std::string& what) {
    if (opt.verbose) std::fprintf(stderr, "kavro: %s: %s\n", what.c_str(), Why().c_str());
  }
};

// Chooses the link. Returns an exit code, kExitOk when the session is ready.
int ChooseLink(Session& s) {
  std::string link = s.opt.emulate ? "emulator" : s.opt.link;
  kavro::LinkProvider* chosen = nullptr;
  if (link == "emulator") {
    s.emulator = MakeEmulator(s.opt.emulator_fault);
    chosen = s.emulator.get();
  } else if (link == "d2xx") {
    chosen = &kavro::VendorLink();
    if (!chosen->Diagnostic().empty()) return s.Fail(chosen->Diagnostic());
  } else if (link == "ftdi") {
    s.owned_link.reset(kavro::NewLibftdiLink());
    if (!s.owned_link)
      return s.Fail("this build has no libftdi1 link (install libftdi1-dev and rebuild)");
    chosen = s.owned_link.get();
  } else {  // automatic: vendor library, then libftdi1
    if (kavro::VendorLink().Diagnostic().empty()) {
      chosen = &kavro::VendorLink();
    } else if (kavro::LibftdiLinkAvailable()) {
      s.owned_link.reset(kavro::NewLibftdiLink());
      chosen = s.owned_link.get();
    } else {
      return s.Fail(
          "no link to a board: " + kavro::VendorLink().Diagnostic() +
          "; and this build has no libftdi1 link. Try the built-in emulator: kavro --emulate ...");
    }
  }
  if (s.opt.trace) {
    s.tracer = std::make_unique<TracingLink>(*chosen);
    chosen = s.tracer.get();
  }
  s.dll.UseLink(chosen);
  return kExitOk;
}

// Opens the named board, or the only one attached.
int OpenBoard(Session& s) {
  std::string serial = s.opt.serial;
  if (serial.empty()) {
    const std::string count = s.dll.Get_Device_Count();
    if (count == "Error") return s.Fail("cannot count boards: " + s.Why());
    if (count == "0")
      return s.Fail("no board attached (try --emulate for the built-in emulated boards)");
    if (count != "1") {
      std::string names;
      const long n = std::stol(count);
      for (long i = 0; i < n; ++i) {
        names += (i ? ", " : "") + s.dll.Get_Device_Serial_Number(
                                       reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
      }
      std::fprintf(stderr, "kavro: %s boards attached (%s); choose one with -s SERIAL\n",
                   count.c_str(), names.c_str());
      return kExitUsage;
    }
    serial = s.dll.Get_Device_Serial_Number(nullptr);
    if (serial == "Error") return s.Fail("cannot read the board's serial number: " + s.Why());
  }
  std::vector<char> buffer(serial.begin(), serial.end());
  buffer.push_back('\0');
  s.dll.Open_Device_Connection(buffer.data());
  if (s.dll.DeviceHandle == nullptr) {
    std::string why = "cannot open board " + serial + ": " + s.Why();
    const std::string detail = s.dll.CurrentLink().Diagnostic();
    if (!detail.empty()) why += " (" + detail + ")";
    if (s.dll.ErrorStatus == kavro::kFtDeviceNotOpened) {
      why +=
          "; the board may be held by the kernel's serial driver (ftdi_sio, AppleUSBFTDI) or "
          "another program, or you may lack permission: see the README, Using real hardware";
    }
    return s.Fail(why);
  }
  s.handle = s.dll.DeviceHandle;
  s.opt.serial = serial;
  return kExitOk;
}

void CloseBoard(Session& s) {
  if (s.handle != nullptr) s.dll.Close_Device_Connection(s.handle);
  s.handle = nullptr;
}

unsigned int FieldValue(const std::string& field) {
  return field.size() == 1 ? static_cast<unsigned char>(field[0]) : 0;
}

unsigned char ConfigAddress(const KAVRO_USB_DLL& dll) {
  return kavro::ConfigRegisterAddress(dll.BoardType);
}

bool PerChannel(const KAVRO_USB_DLL& dll) {
  return dll.BoardType == kavro::kBoardTypeChannelRegisters;
}

// ---- subcommands --------------------------------------------------------------------------

int CmdList(Session& s) {
  const std::string count = s.dll.Get_Device_Count();
  if (count == "Error") return s.Fail("cannot count boards: " + s.Why());
  std::printf("%s board%s attached\n", count.c_str(), count == "1" ? "" : "s");
  const long n = std::stol(count);
  for (long i = 0; i < n; ++i) {
    const std::string serial =
        s.dll.Get_Device_Serial_Number(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
    if (serial == "Error")
      return s.Fail("cannot read serial number " + std::to_string(i) + ": " + s.Why());
    std::printf("  %ld  %s\n", i, serial.c_str());
  }
  return kExitOk;
}

int InfoOne(Session& s) {
  if (int rc = OpenBoard(s)) return rc;
  KAVRO_USB_DLL& d = s.dll;
  std::printf("board %s\n", s.opt.serial.c_str());
  if (d.Slave_Activity_Inquiry(s.handle) != "0") return s.Fail("board does not answer: " + s.Why());
  std::printf("  activity        answering\n");
  d.Get_Version_of_Board(s.handle);
  if (d.ReadStatus != "Finished" || d.WriteStatus != "Finished")
    return s.Fail("version request failed: " + s.Why());
  std::printf("  board type      %u\n", d.BoardType);
  std::printf("  version         %u.%u.%u.%u.%u\n", FieldValue(d.VersionField1),
              FieldValue(d.VersionField2), FieldValue(d.VersionField3), FieldValue(d.VersionField4),
              FieldValue(d.VersionField5));

  const bool per_channel = PerChannel(d);
  int failures = 0;
  auto value = [&](const std::string& text, const char* what) {
    if (text == "Error" && d.ErrorText[0]) {
      ++failures;
      s.Note(what);
      return "error (" + s.Why() + ")";
    }
    return Printable(text);
  };
  if (!per_channel) {
    const std::string c = d.Get_ADC_Configuration(ConfigAddress(d), 0);
    if (c == "Finished") {
      std::printf("  converter       rate code %u, upper field %u\n", d.AdcSamplingRate,
                  d.AdcConfigUpper);
    } else {
      std::printf("  converter       %s\n", value(c, "converter configuration").c_str());
    }
  }
  // Type 9 has channels of its own; probe them until the board refuses one.
  const int channels = per_channel ? 16 : 1;
  for (int ch = 0; ch < channels; ++ch) {
    const auto c = static_cast<unsigned char>(ch);
    const std::string offset = d.Get_Offset_Value(s.handle, c);
    // The first channel whose offset request fails ends the probe (a board answers a channel
    // it does not have with an error reply, or not at all).
    if (per_channel && ch > 0 && offset == "Error" && d.ErrorText[0] != '\0') break;
    std::printf("  channel %d\n", ch);
    if (per_channel) {
      // Get_ADC_Configuration uses the board type of the last version request, just made.
      const std::string cfg = d.Get_ADC_Configuration(ConfigAddress(d), c);
      if (cfg == "Finished") {
        std::printf("    converter           rate code %u, upper field %u\n", d.AdcSamplingRate,
                    d.AdcConfigUpper);
      } else {
        std::printf("    converter           %s\n", value(cfg, "converter configuration").c_str());
      }
    }
    std::printf("    offset reading      %s\n", value(offset, "offset reading").c_str());
    std::printf("    full-scale reading  %s\n",
                value(d.Get_Fullscale_Value(s.handle, c), "full-scale reading").c_str());
    std::printf("    offset load         %s\n",
                value(d.Get_Offset_Load(s.handle, c), "offset load").c_str());
    std::printf("    full-scale load     %s\n",
                value(d.Get_Fullscale_Load(s.handle, c), "full-scale load").c_str());
    std::printf("    unit code           %s\n",
                value(d.Get_Unit_Code(s.handle, c), "unit code").c_str());
    std::printf("    decimal point       %s\n",
                value(d.Get_Decimal_Point(s.handle, c), "decimal point").c_str());
  }
  CloseBoard(s);
  if (failures > 0) {
    std::fprintf(stderr, "kavro: %d quer%s failed: %s\n", failures, failures == 1 ? "y" : "ies",
                 s.Why().c_str());
    return kExitDevice;
  }
  return kExitOk;
}

// Shows the named board, or every attached board.
int CmdInfo(Session& s) {
  if (!s.opt.serial.empty()) return InfoOne(s);
  const std::string count = s.dll.Get_Device_Count();
  if (count == "Error") return s.Fail("cannot count boards: " + s.Why());
  if (count == "0")
    return s.Fail("no board attached (try --emulate for the built-in emulated boards)");
  std::vector<std::string> serials;
  for (long i = 0; i < std::stol(count); ++i) {
    serials.push_back(
        s.dll.Get_Device_Serial_Number(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i))));
    if (serials.back() == "Error")
      return s.Fail("cannot read serial number " + std::to_string(i) + ": " + s.Why());
  }
  int rc = kExitOk;
  for (const std::string& serial : serials) {
    s.opt.serial = serial;
    rc = std::max(rc, InfoOne(s));
  }
  return rc;
}

// Two-point calibration of one channel: counts to load.
struct Calibration {
  bool valid = false;
  double offset_reading = 0, fullscale_reading = 0, offset_load = 0, fullscale_load = 0;
  int decimal_point = 0;
  double Apply(double counts) const {
    const double load = offset_load + (counts - offset_reading) * (fullscale_load - offset_load) /
                                          (fullscale_reading - offset_reading);
    return load / std::pow(10.0, decimal_point);
  }
};

int LoadCalibration(Session& s, unsigned char ch, Calibration* cal) {
  KAVRO_USB_DLL& d = s.dll;
  long long values[5];
  const std::string texts[5] = {d.Get_Offset_Value(s.handle, ch),
                                d.Get_Fullscale_Value(s.handle, ch),
                                d.Get_Offset_Load(s.handle, ch), d.Get_Fullscale_Load(s.handle, ch),
                                d.Get_Decimal_Point(s.handle, ch)};
  const char* names[5] = {"offset reading", "full-scale reading", "offset load", "full-scale load",
                          "decimal point"};
  for (int i = 0; i < 5; ++i) {
    if (!ParseInteger(texts[i], &values[i])) {
      return s.Fail(std::string("cannot calibrate: ") + names[i] + " is " + Printable(texts[i]) +
                    (d.ErrorText[0] ? " (" + s.Why() + ")" : "") +
                    "; use --raw to record raw readings");
    }
  }
  if (values[0] == values[1])
    return s.Fail("cannot calibrate: offset and full-scale readings are equal; use --raw");
  *cal = {true,          double(values[0]), double(values[1]), double(values[2]), double(values[3]),
          int(values[4])};
  return kExitOk;
}

int CmdRead(Session& s) {
  if (s.opt.count < 0 || s.opt.seconds < 0 || s.opt.interval_ms < 0) {
    std::fprintf(stderr, "kavro: count, duration and interval must not be negative\n");
    return kExitUsage;
  }
  std::ofstream file;
  if (!s.opt.output.empty()) {
    file.open(s.opt.output, std::ios::out | std::ios::trunc);
    if (!file) {
      std::fprintf(stderr, "kavro: cannot write %s\n", s.opt.output.c_str());
      return kExitUsage;
    }
  }
  std::ostream& out = s.opt.output.empty() ? std::cout : file;
  if (int rc = OpenBoard(s)) return rc;
  const auto ch = static_cast<unsigned char>(s.opt.channel);
  Calibration cal;
  if (!s.opt.raw) {
    if (int rc = LoadCalibration(s, ch, &cal)) return rc;
  }

  const std::string fmt = s.opt.format;
  if (fmt == "csv") out << "timestamp,elapsed_s,raw" << (s.opt.raw ? "" : ",value") << "\n";
  if (fmt == "table") {
    char head[96];
    std::snprintf(head, sizeof(head), "%-23s %10s  %-14s %s\n", "time", "elapsed_s", "raw",
                  s.opt.raw ? "" : "value");
    out << head;
  }
  out.flush();

  const bool live =
      isatty(STDERR_FILENO) && (!s.opt.output.empty() || !isatty(STDOUT_FILENO) || fmt != "table");
  std::signal(SIGINT, OnInterrupt);
  const auto start = std::chrono::steady_clock::now();
  long samples = 0, numeric = 0, other = 0, errors = 0;
  double min = 0, max = 0, sum = 0, sum2 = 0;
  std::map<std::string, long> reasons;
  std::string last = "-";
  auto next = start;
  while (!g_interrupted) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s.opt.count > 0 && samples >= s.opt.count) break;
    if (s.opt.count == 0 && s.opt.seconds > 0 && elapsed >= s.opt.seconds) break;
    if (s.opt.count == 0 && s.opt.seconds == 0 && samples >= 10) break;  // default: ten readings

    const auto wall = std::chrono::system_clock::now();
    const std::string text = s.dll.Normal_Data_Request(s.handle, ch);
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++samples;
    long long counts = 0;
    std::string value;
    if (text == "Error" && s.dll.ErrorText[0]) {
      ++errors;
      ++reasons[s.Why()];
      s.Note("reading failed");
      value = "";
    } else if (ParseInteger(text, &counts)) {
      const double v = s.opt.raw ? double(counts) : cal.Apply(double(counts));
      if (numeric == 0 || v < min) min = v;
      if (numeric == 0 || v > max) max = v;
      sum += v;
      sum2 += v * v;
      ++numeric;
      char buf[48];
      std::snprintf(buf, sizeof(buf), "%.*f", s.opt.raw ? 0 : std::max(cal.decimal_point, 1), v);
      value = buf;
    } else {
      ++other;  // an overflow or fault text, recorded as it is
      ++reasons[Printable(text)];
    }
    const std::string raw = text == "Error" && s.dll.ErrorText[0] ? "Error: " + s.Why() : text;
    last = value.empty() ? Printable(raw) : value;
    char elapsed_text[32];
    std::snprintf(elapsed_text, sizeof(elapsed_text), "%.3f", t);
    if (fmt == "csv") {
      out << IsoTime(wall) << ',' << elapsed_text << ',' << CsvField(raw)
          << (s.opt.raw ? "" : "," + value) << "\n";
    } else if (fmt == "json") {
      out << "{\"type\":\"sample\",\"timestamp\":" << JsonString(IsoTime(wall))
          << ",\"elapsed_s\":" << elapsed_text << ",\"raw\":" << JsonString(raw);
      if (!s.opt.raw) out << ",\"value\":" << (value.empty() ? "null" : value);
      out << "}\n";
    } else {
      char line[160];
      std::snprintf(line, sizeof(line), "%-23s %10s  %-14s %s\n", IsoTime(wall).c_str(),
                    elapsed_text, Printable(raw).c_str(), value.c_str());
      out << line;
    }
    out.flush();  // nothing recorded is lost if the program is stopped
    if (live) {
      std::fprintf(stderr, "\r%ld samples  %.1f/s  last %s  errors %ld   ", samples,
                   t > 0 ? samples / t : 0.0, last.c_str(), errors);
    }
    next += std::chrono::milliseconds(s.opt.interval_ms);
    // Sleep in short slices so that Ctrl-C ends a slow recording at once.
    while (!g_interrupted && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          next - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
    }
  }
  if (live) std::fputc('\n', stderr);
  CloseBoard(s);

  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double mean = numeric ? sum / numeric : 0;
  const double sd =
      numeric > 1 ? std::sqrt(std::max(0.0, (sum2 - numeric * mean * mean) / (numeric - 1))) : 0;
  std::ostringstream summary;
  summary << "summary: " << samples << " readings in " << std::fixed;
  summary.precision(2);
  summary << total << " s (" << (total > 0 ? samples / total : 0) << "/s)";
  if (g_interrupted) summary << ", interrupted";
  summary << "\n";
  summary.precision(s.opt.raw ? 0 : 4);
  if (numeric > 0) {
    summary << "  " << (s.opt.raw ? "counts" : "value") << ": min " << min << "  max " << max
            << "  mean " << mean << "  sd " << sd << "  (" << numeric << " numeric)\n";
  }
  if (other > 0) summary << "  " << other << " non-numeric readings\n";
  summary << "  errors: " << errors << "\n";
  for (const auto& [why, n] : reasons) summary << "    " << n << "  " << why << "\n";
  if (fmt == "json") {
    out << "{\"type\":\"summary\",\"readings\":" << samples << ",\"numeric\":" << numeric
        << ",\"other\":" << other << ",\"errors\":" << errors << ",\"seconds\":" << total << "}\n";
    out.flush();
  }
  std::fputs(summary.str().c_str(), stderr);
  return errors > 0 ? kExitDevice : kExitOk;
}

int CmdConfig(Session& s) {
  if (int rc = OpenBoard(s)) return rc;
  KAVRO_USB_DLL& d = s.dll;
  const auto ch = static_cast<unsigned char>(s.opt.channel);
  if (s.opt.rate) {
    if (d.Set_ADC_Configuration(s.handle, static_cast<unsigned char>(*s.opt.rate), ch) != "0")
      return s.Fail("cannot set the rate code: " + s.Why());
  } else if (s.opt.byte) {
    if (d.Set_ADC_Configuration2(s.handle, static_cast<unsigned char>(*s.opt.byte), ch) != "0")
      return s.Fail("cannot write the configuration byte: " + s.Why());
  }
  d.Get_Version_of_Board(s.handle);
  if (d.ReadStatus != "Finished") return s.Fail("version request failed: " + s.Why());
  if (d.Get_ADC_Configuration(ConfigAddress(d), ch) != "Finished")
    return s.Fail("cannot read the converter configuration: " + s.Why());
  std::printf("board %s%s: rate code %u, upper field %u (byte 0x%02x)\n", s.opt.serial.c_str(),
              PerChannel(d) ? (", channel " + std::to_string(s.opt.channel)).c_str() : "",
              d.AdcSamplingRate, d.AdcConfigUpper, d.AdcConfigUpper * 16 + d.AdcSamplingRate);
  CloseBoard(s);
  return kExitOk;
}

int CmdReset(Session& s) {
  if (int rc = OpenBoard(s)) return rc;
  if (s.dll.Reset_Board(s.handle) != "0") return s.Fail("reset failed: " + s.Why());
  std::printf("board %s reset and restarted\n", s.opt.serial.c_str());
  CloseBoard(s);
  return kExitOk;
}

int CmdRegister(Session& s) {
  if (!s.opt.eeprom && !(s.opt.reg_channel && s.opt.address)) {
    std::fprintf(stderr,
                 "kavro register: give --eeprom ADDR, or --channel CH with --address ADDR\n");
    return kExitUsage;
  }
  if (int rc = OpenBoard(s)) return rc;
  KAVRO_USB_DLL& d = s.dll;
  if (s.opt.eeprom) {
    if (d.Read_EEPROM_Register(s.handle, static_cast<unsigned char>(*s.opt.eeprom)) == "Error")
      return s.Fail("EEPROM read failed: " + s.Why());
    std::printf("eeprom 0x%02x: %s\n", *s.opt.eeprom, Hex(d.PacketData, 3).c_str());
  } else {
    if (d.Read_Channel_Register(s.handle, static_cast<unsigned char>(*s.opt.reg_channel),
                                static_cast<unsigned char>(*s.opt.address)) == "Error")
      return s.Fail("channel register read failed: " + s.Why());
    std::printf("channel %d register 0x%02x: %s (value 0x%02x)\n", *s.opt.reg_channel,
                *s.opt.address, Hex(d.PacketData, 3).c_str(), d.PacketData[2]);
  }
  CloseBoard(s);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Session s;
  Options& o = s.opt;
  CLI::App app{"kavro: list, inspect, configure and record USB load-measuring boards"};
  app.footer("Example: kavro --emulate info\n");
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("--link", o.link,
                 "Link to the boards: d2xx (vendor library), ftdi (libftdi1) or emulator")
      ->check(CLI::IsMember({"d2xx", "ftdi", "emulator"}));
  app.add_flag("--emulate", o.emulate,
               "Use the built-in emulated boards (same as --link emulator)");
  app.add_option("--emulator-fault", o.emulator_fault,
                 "Make the emulated boards misbehave: drop (no replies), teds")
      ->check(CLI::IsMember({"drop", "teds"}));
  app.add_flag("--trace", o.trace, "Print every frame sent and received");
  app.add_flag("--verbose", o.verbose, "Print the reason of every failure");

  auto serial = [&](CLI::App* c) {
    c->add_option("-s,--serial", o.serial, "Serial number of the board (default: the only one)");
  };
  auto channel = [&](CLI::App* c) {
    c->add_option("-c,--channel", o.channel, "Channel (type-9 boards)")->check(CLI::Range(0, 255));
  };

  auto* list =
      app.add_subcommand("list", "Count the attached boards and list their serial numbers");
  list->footer("Example: kavro --emulate list\n");

  auto* info = app.add_subcommand(
      "info", "Show boards' type, version, converter and calibration data (all boards unless -s)");
  serial(info);
  info->footer("Example: kavro --emulate info -s KAVRO-0009\n");

  auto* read = app.add_subcommand("read", "Record readings (calibrated unless --raw)");
  serial(read);
  channel(read);
  auto* n = read->add_option("-n,--count", o.count, "Number of readings (default 10)");
  read->add_option("-d,--duration", o.seconds, "Record for this many seconds")->excludes(n);
  read->add_option("-i,--interval", o.interval_ms, "Milliseconds between readings (default 100)");
  read->add_option("--format", o.format, "table, csv or json (one JSON object per line)")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  read->add_option("-o,--output", o.output, "Write the readings to this file");
  read->add_flag("--raw", o.raw, "Record converter counts only, without calibration");
  read->footer("Example: kavro --emulate read -n 20 -i 50 --format csv -o load.csv\n");

  auto* config = app.add_subcommand("config", "Show or set the converter configuration");
  serial(config);
  channel(config);
  auto* rate = config->add_option("--rate", o.rate, "Set the sampling-rate code (0-15)")
                   ->check(CLI::Range(0, 255));
  config->add_option("--byte", o.byte, "Write the whole configuration byte (0-255)")
      ->check(CLI::Range(0, 255))
      ->excludes(rate);
  config->footer("Example: kavro --emulate config --rate 7\n");

  auto* reset = app.add_subcommand("reset", "Reset a board and wait for it to restart");
  serial(reset);
  reset->footer("Example: kavro --emulate reset -s KAVRO-0001\n");

  auto* reg = app.add_subcommand("register", "Read an EEPROM or channel register");
  serial(reg);
  auto* ee = reg->add_option("--eeprom", o.eeprom, "EEPROM address")->check(CLI::Range(0, 255));
  reg->add_option("--channel", o.reg_channel, "Channel of a channel register")
      ->check(CLI::Range(0, 255))
      ->excludes(ee);
  reg->add_option("--address", o.address, "Channel register address")
      ->check(CLI::Range(0, 255))
      ->excludes(ee);
  reg->footer("Example: kavro --emulate register --eeprom 0x40\n");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  if (int rc = ChooseLink(s)) return rc;
  if (*list) return CmdList(s);
  if (*info) return CmdInfo(s);
  if (*read) return CmdRead(s);
  if (*config) return CmdConfig(s);
  if (*reset) return CmdReset(s);
  if (*reg) return CmdRegister(s);
  return kExitUsage;
}

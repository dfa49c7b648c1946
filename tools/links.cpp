// The link choice: the base link, then the wrappers around it.
#include "links.h"

#ifdef __linux__
#include <dirent.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"
#include "report.h"

namespace kavro::tool {

namespace {

std::string Hex(const void* bytes, unsigned int n) {
  std::string out;
  char two[4];
  for (unsigned int i = 0; i < n; ++i) {
    std::snprintf(two, sizeof(two), "%s%02x", i ? " " : "",
                  static_cast<const unsigned char*>(bytes)[i]);
    out += two;
  }
  return out;
}

// Prints every frame written to and read from the board on standard error.
class TracingLink final : public ForwardingLink {
 public:
  using ForwardingLink::ForwardingLink;
  unsigned int Read(void* h, void* b, unsigned int n, unsigned int* got) override {
    const unsigned int status = ForwardingLink::Read(h, b, n, got);
    if (status == kFtOk && *got > 0) std::fprintf(stderr, "<- %s\n", Hex(b, *got).c_str());
    return status;
  }
  unsigned int Write(void* h, void* b, unsigned int n, unsigned int* put) override {
    std::fprintf(stderr, "-> %s\n", Hex(b, n).c_str());
    return ForwardingLink::Write(h, b, n, put);
  }
  unsigned int Purge(void* h, unsigned int m) override {
    std::fprintf(stderr, "   (purge)\n");
    return ForwardingLink::Purge(h, m);
  }
};

constexpr char kInstallVendor[] =
    "install FTDI's D2XX library (on Linux libftd2xx.so in /usr/local/lib, then `sudo "
    "ldconfig`; on macOS libftd2xx.dylib in /usr/local/lib; on Windows FTDI's driver, or "
    "ftd2xx.dll beside kavro.exe)";

Error Unavailable(std::string text, ErrorKind kind = ErrorKind::kLinkUnavailable) {
  Error e;
  e.kind = kind;
  e.text = std::move(text);
  return e;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ignored;
  return !b.empty() &&
         (a == b || std::filesystem::equivalent(platform::PathFromUtf8(a), platform::PathFromUtf8(b),
                                                ignored));
}

// Why the --capture file may not be written ("" when it may). As with read -o, an existing file
// is replaced only with --force (given before or after the subcommand); the capture link
// itself creates a new one only if none appeared since this check. A device or a pipe is
// written to.
std::string CaptureRefusal(const Options& o) {
  if (SameFile(o.capture, o.replay) || SameFile(o.capture, o.output))
    return "--capture " + o.capture + " is a file the command reads or writes: give another one";
  if (o.capture_force || o.force || !platform::IsRegularFile(o.capture)) return "";
  return o.capture + " exists: give --force to replace it";
}

// The ready-made emulated boards, on the clock, with the faults, load and unplug asked for.
std::unique_ptr<emu::VirtualBus> Emulator(const Options& o) {
  auto bus = std::make_unique<emu::VirtualBus>(o.emulator_clock == "virtual"
                                                   ? emu::VirtualBus::Clock::kVirtual
                                                   : emu::VirtualBus::Clock::kReal);
  bus->logging = false;
  emu::AddReadyMadeBoards(*bus);
  for (const char* serial : {"KAVRO-0001", "KAVRO-0009"}) {
    bus->WithDevice(serial, [&](emu::VirtualBus::Device& d) {
      if (o.emulator_fault == "teds") d.board.teds_fault = true;
      for (emu::Channel& c : d.board.channels) {
        if (o.emulator_load) c.signal = {emu::Signal::kConstant, *o.emulator_load, 0, 1};
      }
      if (o.emulator_fault == "drop") {
        emu::ReplyFault drop;
        drop.kind = emu::ReplyFault::kDrop;
        d.board.faults.assign(100000, drop);
      }
    });
    for (const Options::Unplug& u : o.emulator_unplug) {
      if (!u.serial.empty() && u.serial != serial) continue;
      const auto us = [](double s) { return static_cast<std::uint64_t>(std::llround(s * 1e6)); };
      bus->ScheduleUnplug(serial, us(u.after_s), us(u.for_s), us(u.every_s));
    }
  }
  return bus;
}

Status BaseLink(const Options& o, Links& links) {
  LinkProvider& vendor = VendorLink();
  const std::string chosen = o.Emulated() ? "emulator" : o.link;
  links.named = !chosen.empty() || !o.replay.empty();
  if (!o.replay.empty()) {
    auto replay = std::make_unique<ReplayLink>(
        o.replay, o.replay_pace == "recorded" ? ReplayPace::kRecorded : ReplayPace::kFast);
    if (!replay->ok()) return Unavailable(replay->Diagnostic(), ErrorKind::kInvalidArgument);
    links.replay = replay.get();
    links.description = replay->Name();
    links.owned_base = std::move(replay);
    links.link = links.owned_base.get();
  } else if (chosen == "emulator") {
    links.emulator = Emulator(o);
    links.link = links.emulator.get();
    links.description =
        o.emulator_clock == "virtual" ? "board emulator (virtual time)" : "board emulator";
  } else if (chosen == "d2xx" || (chosen.empty() && vendor.Available())) {
    if (!vendor.Available()) {
      return Unavailable(vendor.Diagnostic() + "; " + kInstallVendor +
                         (LibftdiLinkAvailable() ? ", or use --link ftdi" : ""));
    }
    links.link = &vendor;
    links.description = vendor.Name() + (links.named ? "" : " (the default when it is installed)");
  } else if (LibftdiLinkAvailable()) {
    links.owned_base.reset(NewLibftdiLink());
    links.link = links.owned_base.get();
    links.description = links.link->Name() +
                        (links.named ? "" : " (the default: FTDI's D2XX library is not installed)");
  } else if (chosen == "ftdi") {
    return Unavailable(
        "this build has no libftdi1 link: install libftdi1-dev and build again, or " +
        std::string(kInstallVendor) + " and use --link d2xx");
  } else {
    return Unavailable("no link to a board: " + vendor.Diagnostic() +
                       ", and this build has no libftdi1 link; " + kInstallVendor +
                       ", or try the built-in emulated boards with --emulate");
  }
  return {};
}

}  // namespace

void Links::Wrap(const std::function<std::unique_ptr<LinkProvider>(LinkProvider& inner)>& make) {
  wrappers.push_back(make(*link));
  link = wrappers.back().get();
}

const char* Links::Broken() const {
  if (capture != nullptr && !capture->ok()) return "the capture stopped";
  if (replay != nullptr && !replay->ok()) return "the session departed from the capture";
  return nullptr;
}

std::string Links::NoBus() const {
#ifdef __linux__
  if (emulator != nullptr || replay != nullptr) return "";
  const char* named = std::getenv("KAVRO_USB_DIR");
  const std::string folder = named != nullptr && *named != '\0' ? named : "/dev/bus/usb";
  std::string why;
  if (DIR* d = opendir(folder.c_str())) {
    bool buses = false;
    while (const dirent* e = readdir(d)) buses = buses || e->d_name[0] != '.';
    closedir(d);
    if (buses) return "";
    why = folder + " holds no USB bus";
  } else {
    why = folder + ": " + std::strerror(errno);
  }
  return "no USB bus could be read (" + why +
         "): in a container, pass the board's USB device in (docker run --device "
         "/dev/bus/usb/BBB/DDD, or the whole /dev/bus/usb); without permission, install the udev "
         "rule udev/99-kavro-ftdi.rules (see the README, Using real hardware)";
#else
  return "";
#endif
}

int Links::Finish(bool verbose) const {
  if (capture != nullptr && !capture->ok()) return Fail(capture->Diagnostic());
  if (replay != nullptr && !replay->ok()) {
    const std::string note = replay->note();
    return Fail("the session departed from the capture: " + replay->Diagnostic() +
                (note.empty() ? "" : "\n  captured as: " + note));
  }
  if (verbose && capture != nullptr)
    std::fprintf(stderr, "kavro: %llu calls captured\n",
                 static_cast<unsigned long long>(capture->records()));
  if (verbose && replay != nullptr) {
    std::fprintf(stderr, "kavro: %llu calls replayed%s\n",
                 static_cast<unsigned long long>(replay->records()),
                 replay->finished() ? "" : "; the capture goes on further");
  }
  return kExitOk;
}

Result<Links> ChooseLink(const Options& options) {
  Links links;
  if (Status base = BaseLink(options, links); !base) return base.error();
  // Wrappers, innermost first: the capture sees the calls as the board link does.
  if (!options.capture.empty()) {
    if (std::string why = CaptureRefusal(options); !why.empty())
      return Unavailable(why, ErrorKind::kInvalidArgument);
    links.Wrap([&](LinkProvider& inner) {
      auto capture = std::make_unique<CaptureLink>(inner, options.capture, options.command_line,
                                                   options.capture_force || options.force
                                                       ? CaptureLink::IfExists::kReplace
                                                       : CaptureLink::IfExists::kRefuse);
      links.capture = capture.get();
      return capture;
    });
    if (!links.capture->ok()) return Unavailable(links.capture->Diagnostic());
    links.description += ", captured to " + options.capture;
  }
  if (options.trace)
    links.Wrap([](LinkProvider& inner) { return std::make_unique<TracingLink>(inner); });
  return links;
}

}  // namespace kavro::tool

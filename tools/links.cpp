// The link choice: the base link, then the wrappers around it.
#include "links.h"

#include <cstdio>

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
    "ldconfig`; on macOS libftd2xx.dylib in /usr/local/lib)";

Error Unavailable(std::string text) {
  Error e;
  e.kind = ErrorKind::kLinkUnavailable;
  e.text = std::move(text);
  return e;
}

// The ready-made emulated boards, on the clock, with the faults and the unplug asked for.
std::unique_ptr<emu::VirtualBus> Emulator(const Options& o) {
  auto bus = std::make_unique<emu::VirtualBus>(o.emulator_clock == "virtual"
                                                   ? emu::VirtualBus::Clock::kVirtual
                                                   : emu::VirtualBus::Clock::kReal);
  bus->logging = false;
  emu::AddReadyMadeBoards(*bus);
  for (const char* serial : {"KAVRO-0001", "KAVRO-0009"}) {
    bus->WithDevice(serial, [&](emu::VirtualBus::Device& d) {
      if (o.emulator_fault == "teds") d.board.teds_fault = true;
      if (o.emulator_fault == "drop") {
        emu::ReplyFault drop;
        drop.kind = emu::ReplyFault::kDrop;
        d.board.faults.assign(100000, drop);
      }
    });
    if (o.emulator_unplug.size() == 2) {
      bus->ScheduleUnplug(serial, static_cast<std::uint64_t>(o.emulator_unplug[0] * 1e6),
                          static_cast<std::uint64_t>(o.emulator_unplug[1] * 1e6));
    }
  }
  return bus;
}

Status BaseLink(const Options& o, Links& links) {
  LinkProvider& vendor = VendorLink();
  const std::string chosen = o.Emulated() ? "emulator" : o.link;
  links.named = !chosen.empty();
  if (chosen == "emulator") {
    links.emulator = Emulator(o);
    links.link = links.emulator.get();
    links.clock = &links.emulator->clock();
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

Result<Links> ChooseLink(const Options& options) {
  Links links;
  if (Status base = BaseLink(options, links); !base) return base.error();
  // Wrappers, innermost first: a recording of the traffic would go before the trace.
  if (options.trace)
    links.Wrap([](LinkProvider& inner) { return std::make_unique<TracingLink>(inner); });
  return links;
}

}  // namespace kavro::tool

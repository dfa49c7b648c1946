// Timing fidelity with the real clock: how far past its budget a reply wait ends when no reply
// comes, how many status queries it made and how much processor time it used, with the
// emulator's own wait and with the library's (for providers that cannot wait).
#include <time.h>

#include <chrono>
#include <cstdio>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

namespace {

// A provider that cannot wait: the library waits its own way.
struct NoWait final : kavro::ForwardingLink {
  using ForwardingLink::ForwardingLink;
  unsigned int WaitForRx(void*, unsigned int, std::uint64_t) override {
    return kavro::kFtNotSupported;
  }
};

double ProcessMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main() {
  using kavro::emu::VirtualBus;
  VirtualBus bus(VirtualBus::Clock::kReal);
  bus.logging = false;
  auto& dev = bus.AddDevice("TIMING");
  dev.board.keep_transcript = false;
  NoWait no_wait(bus);
  KAVRO_USB_DLL dll;
  dll.UseLink(&bus);
  char serial[] = "TIMING";
  dll.Open_Device_Connection(serial);
  if (dll.DeviceHandle == nullptr) return 1;

  int worst_rc = 0;
  std::printf("%-8s %-9s %-4s %12s %10s %15s %14s\n", "budget", "wait", "run", "ended (ms)",
              "late (ms)", "status queries", "processor ms");
  for (int budget : {10, 50, 100}) {
    for (kavro::LinkProvider* link :
         {static_cast<kavro::LinkProvider*>(&bus), static_cast<kavro::LinkProvider*>(&no_wait)}) {
      dll.UseLink(link);
      for (int run = 1; run <= 3; ++run) {
        dll.RxPacketNumber = 1;
        dll.RxLength = 8;
        dll.RxCommand = 0x42;
        bus.ClearLog();
        const double cpu0 = ProcessMilliseconds();
        const auto start = std::chrono::steady_clock::now();
        dll.ReadPacket(budget);  // nothing was sent, so nothing comes
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        const double cpu = ProcessMilliseconds() - cpu0;
        const double late = ms - budget;
        std::printf("%-8d %-9s %-4d %12.3f %10.3f %15zu %14.3f\n", budget,
                    link == &bus ? "provider" : "library", run, ms, late,
                    bus.CountCalls(kavro::emu::Call::kGetStatus), cpu);
        if (late < 0 || late > 1.0) worst_rc = 1;
      }
    }
  }
  std::printf(worst_rc ? "a budget ended more than 1 ms late (or early)\n"
                       : "every budget ended within 1 ms after it\n");
  return worst_rc;
}

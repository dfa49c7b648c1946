// Timing fidelity with the real clock: how far past its budget a reply wait ends when no reply
// comes, and how many status polls the busy wait makes per millisecond.
#include <chrono>
#include <cstdio>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

int main() {
  using kavro::emu::VirtualBus;
  VirtualBus bus(VirtualBus::Clock::kReal);
  bus.logging = false;
  auto& dev = bus.AddDevice("TIMING");
  dev.board.keep_transcript = false;
  KAVRO_USB_DLL dll;
  dll.UseLink(&bus);
  char serial[] = "TIMING";
  dll.Open_Device_Connection(serial);
  if (dll.DeviceHandle == nullptr) return 1;

  int worst_rc = 0;
  std::printf("%-8s %-6s %12s %12s %14s\n", "budget", "run", "ended (ms)", "late (ms)",
              "polls per ms");
  for (int budget : {10, 50, 100}) {
    for (int run = 1; run <= 3; ++run) {
      dll.RxPacketNumber = 1;
      dll.RxLength = 8;
      dll.RxCommand = 0x42;
      bus.ClearLog();
      const auto start = std::chrono::steady_clock::now();
      dll.ReadPacket(budget);  // nothing was sent, so nothing comes
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      const double polls = static_cast<double>(bus.CountCalls(kavro::emu::Call::kGetStatus));
      const double late = ms - budget;
      std::printf("%-8d %-6d %12.3f %12.3f %14.0f\n", budget, run, ms, late, polls / ms);
      if (late < 0 || late > 1.0) worst_rc = 1;
    }
  }
  std::printf(worst_rc ? "a budget ended more than 1 ms late (or early)\n"
                       : "every budget ended within 1 ms after it\n");
  return worst_rc;
}

// What waiting for replies costs: readings recorded from an emulated board on the real clock at
// several reply latencies, with three ways of waiting between status queries, side by side and
// interleaved in rounds so that a change in the machine's load hits all three alike:
//   busy     the old wait: the next status query at once (a provider whose wait returns at once)
//   provider the provider's own wait (the emulator sleeps until the reply is due)
//   library  the library's own wait, for providers that cannot wait (short paced sleeps)
// Processor time ("core") is the whole process's, the emulated board's included; "thread" is the
// recording thread's alone, the library's share where the emulator has a thread of its own. With
// the emulator's drop-in libftd2xx.so on LD_LIBRARY_PATH the vendor library's path is measured as
// well: busy, and its wait (on FT_SetEventNotification, or the library's own without it).
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

namespace {

// The old busy wait: a wait that returns at once, so the library asks again straight away.
struct BusyWait final : kavro::ForwardingLink {
  using ForwardingLink::ForwardingLink;
  unsigned int WaitForRx(void*, unsigned int, std::uint64_t) override { return kavro::kFtOk; }
};

// A provider that cannot wait: the library waits its own way.
struct NoWait final : kavro::ForwardingLink {
  using ForwardingLink::ForwardingLink;
  unsigned int WaitForRx(void*, unsigned int, std::uint64_t) override {
    return kavro::kFtNotSupported;
  }
};

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Run {
  double readings = 0, failed = 0, wall_s = 0, cpu_s = 0, thread_cpu_s = 0;
  double PerSecond() const { return readings / wall_s; }
  double CpuPerReadingUs() const { return cpu_s / readings * 1e6; }
  double CorePercent() const { return 100 * cpu_s / wall_s; }
  double ThreadCorePercent() const { return 100 * thread_cpu_s / wall_s; }
};

// Records readings for about seconds. A failed reading (a time-out, when the machine was too
// busy to run the process for a whole budget) is counted apart.
Run Record(KAVRO_USB_DLL& dll, void* handle, double seconds) {
  Run r;
  const double wall0 = WallSeconds(), cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID),
               thread0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  do {
    ++(dll.Normal_Data_Request(handle, 0) == "Error" ? r.failed : r.readings);
  } while (WallSeconds() - wall0 < seconds);
  r.wall_s = WallSeconds() - wall0;
  r.cpu_s = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  r.thread_cpu_s = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread0;
  return r;
}

struct Mode {
  const char* name;
  kavro::LinkProvider* link;
  std::vector<Run> rounds;
  Run Total() const {
    Run t;
    for (const Run& r : rounds) {
      t.readings += r.readings, t.failed += r.failed, t.wall_s += r.wall_s, t.cpu_s += r.cpu_s;
      t.thread_cpu_s += r.thread_cpu_s;
    }
    return t;
  }
  template <typename F>
  std::pair<double, double> Spread(F f) const {
    double lo = 1e300, hi = -1e300;
    for (const Run& r : rounds) lo = std::min(lo, f(r)), hi = std::max(hi, f(r));
    return {lo, hi};
  }
};

// Records with each mode in turn, rounds times, and prints a row per mode. True when the
// mode named goal met the goals against the first mode, the busy wait.
bool Compare(KAVRO_USB_DLL& dll, std::vector<Mode>& modes, unsigned int latency_us, int rounds,
             double seconds, const char* goal) {
  void* handle = dll.DeviceHandle;
  for (Mode& m : modes) {  // a warm-up: the library's wait learns the reply pace
    dll.UseLink(m.link);
    Record(dll, handle, 0.1);
  }
  for (int round = 0; round < rounds; ++round) {
    for (Mode& m : modes) {
      dll.UseLink(m.link);
      m.rounds.push_back(Record(dll, handle, seconds));
    }
  }
  const Run busy_total = modes[0].Total();
  // A reading is two exchanges, each waiting latency_us for its reply; the rest of a reading's
  // time is what the exchanges took beyond the latency.
  auto late_us = [&](const Run& r) { return (1e6 / r.PerSecond() - 2.0 * latency_us) / 2; };
  bool met = true;
  for (Mode& m : modes) {
    const Run t = m.Total();
    const auto rate = m.Spread([](const Run& r) { return r.PerSecond(); });
    const auto core = m.Spread([](const Run& r) { return r.CorePercent(); });
    const double versus_busy = 100 * t.PerSecond() / busy_total.PerSecond();
    std::printf(
        "%6.1f ms %-11s %11.1f %10.1f us %6.1f%% %7.1f%% %7.1f%% %8.1f us %7.0f   %.1f-%.1f; "
        "%.1f-%.1f%%\n",
        latency_us / 1000.0, m.name, t.PerSecond(), t.CpuPerReadingUs(), t.CorePercent(),
        t.ThreadCorePercent(), versus_busy, late_us(t), t.failed, rate.first, rate.second,
        core.first, core.second);
    if (m.name == std::string(goal) && (t.CorePercent() > 5.0 || versus_busy < 97.0)) met = false;
  }
  return met;
}

// The vendor library's path, when the loader finds the emulator's drop-in libftd2xx.so
// (LD_LIBRARY_PATH=build/dropin): its control API puts a board there with the latency.
bool OpenDropInBoard(KAVRO_USB_DLL& dll, unsigned int latency_us) {
  void* lib = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
  auto add_board = reinterpret_cast<int (*)(const char*, unsigned int, unsigned int)>(
      lib ? dlsym(lib, "kavroemu_add_board") : nullptr);
  auto set_latency = reinterpret_cast<int (*)(const char*, unsigned int)>(
      lib ? dlsym(lib, "kavroemu_set_reply_latency") : nullptr);
  if (add_board == nullptr || set_latency == nullptr) return false;
  char serial[16];
  std::snprintf(serial, sizeof(serial), "DROPIN%u", latency_us);
  add_board(serial, 3, 1);
  set_latency(serial, latency_us);
  dll.UseLink(&kavro::VendorLink());
  dll.Open_Device_Connection(serial);
  return dll.DeviceHandle != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1.0;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seconds") seconds = std::atof(argv[i + 1]);
    if (option == "--rounds") rounds = std::atoi(argv[i + 1]);
  }
  if (seconds <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: kavro_reply_wait [--seconds S] [--rounds N]\n");
    return 2;
  }
  std::printf("each mode %d rounds of %.1f s per latency; a reading is two exchanges\n\n", rounds,
              seconds);
  std::printf("%-9s %-11s %11s %13s %7s %8s %8s %11s %7s   %s\n", "latency", "wait", "readings/s",
              "cpu/reading", "core", "thread", "vs busy", "late/exch.", "failed",
              "spread over rounds (readings/s; core)");
  bool goals_met = true;
  for (unsigned int latency_us : {500u, 1500u, 3000u}) {
    kavro::emu::VirtualBus bus(kavro::emu::VirtualBus::Clock::kReal);
    bus.logging = false;
    kavro::emu::VirtualBoard board = kavro::emu::VirtualBoard::Common();
    board.keep_transcript = false;
    board.reply_latency_us = latency_us;
    bus.AddDevice("BENCH", std::move(board));
    BusyWait busy(bus);
    NoWait no_wait(bus);
    KAVRO_USB_DLL dll;
    dll.UseLink(&bus);
    char serial[] = "BENCH";
    dll.Open_Device_Connection(serial);
    if (dll.DeviceHandle == nullptr) {
      std::fprintf(stderr, "open failed: %s\n", dll.ErrorText);
      return 2;
    }
    std::vector<Mode> modes{{"busy", &busy, {}}, {"provider", &bus, {}}, {"library", &no_wait, {}}};
    goals_met &= Compare(dll, modes, latency_us, rounds, seconds, "provider");
    dll.UseLink(&bus);
    dll.Close_Device_Connection(dll.DeviceHandle);

    KAVRO_USB_DLL vendor;
    if (!OpenDropInBoard(vendor, latency_us)) continue;
    BusyWait vendor_busy(kavro::VendorLink());
    std::vector<Mode> vendor_modes{{"d2xx busy", &vendor_busy, {}},
                                   {"d2xx wait", &kavro::VendorLink(), {}}};
    Compare(vendor, vendor_modes, latency_us, rounds, seconds, "");
    vendor.UseLink(&kavro::VendorLink());
    vendor.Close_Device_Connection(vendor.DeviceHandle);
  }
  std::printf(
      "\nprovider wait: %s (at most 5%% of a core, at least 97%% of the busy wait's readings/s)\n",
      goals_met ? "goals met at every latency" : "a goal was missed");
  return goals_met ? 0 : 1;
}

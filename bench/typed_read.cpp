// Readings per second of the typed board against the public class, side by side: an emulated
// board on the real clock answers each request after a fixed reply latency (1.5 ms by default,
// about what a full-speed bridge with the 2 ms latency timer gives). Normal_Data_Request asks for
// the board's version before every reading, two exchanges; kavro::Board::Read knows the type
// from the open and sends the measurement request alone. The two take turns in rounds, so that
// a change in the machine's load hits both alike. Processor time is the whole process's
// (getrusage), the emulated board's included.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "kavro/board.h"
#include "kavro_emulator.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Tally {
  double readings = 0, failed = 0, wall_s = 0, cpu_s = 0;
  double PerSecond() const { return readings / wall_s; }
  double CorePercent() const { return 100 * cpu_s / wall_s; }
};

// Takes readings for about seconds; read says whether one succeeded.
void Take(Tally& t, double seconds, const std::function<bool()>& read) {
  const double wall0 = WallSeconds(), cpu0 = CpuSeconds();
  do {
    ++(read() ? t.readings : t.failed);
  } while (WallSeconds() - wall0 < seconds);
  t.wall_s += WallSeconds() - wall0;
  t.cpu_s += CpuSeconds() - cpu0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1.0, latency_ms = 1.5;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seconds") seconds = std::atof(argv[i + 1]);
    if (option == "--rounds") rounds = std::atoi(argv[i + 1]);
    if (option == "--latency-ms") latency_ms = std::atof(argv[i + 1]);
  }
  if (seconds <= 0 || rounds <= 0 || latency_ms < 0) {
    std::fprintf(stderr, "usage: kavro_typed_read [--seconds S] [--rounds N] [--latency-ms L]\n");
    return 2;
  }

  kavro::emu::VirtualBus bus(kavro::emu::VirtualBus::Clock::kReal);
  bus.logging = false;
  for (const char* serial : {"CLASS", "TYPED"}) {
    kavro::emu::VirtualBoard board = kavro::emu::VirtualBoard::Common();
    board.keep_transcript = false;
    board.reply_latency_us = static_cast<std::uint64_t>(latency_ms * 1000);
    bus.AddDevice(serial, std::move(board));
  }

  KAVRO_USB_DLL dll;
  dll.UseLink(&bus);
  char serial[] = "CLASS";
  dll.Open_Device_Connection(serial);
  kavro::OpenOptions options;
  options.link = &bus;
  options.calibrated_loads = false;  // counts only, as Normal_Data_Request gives
  kavro::Result<kavro::Board> board = kavro::Board::Open("TYPED", options);
  if (dll.DeviceHandle == nullptr || !board) {
    std::fprintf(stderr, "open failed: %s %s\n", dll.ErrorText, board.error().Describe().c_str());
    return 2;
  }
  void* handle = dll.DeviceHandle;
  auto by_class = [&] { return dll.Normal_Data_Request(handle, 0) != "Error"; };
  auto typed = [&] { return board->Read(0).ok(); };

  Tally warm_up, on_class, on_typed;  // the warm-up lets the reply wait learn its pace
  Take(warm_up, 0.1, by_class);
  Take(warm_up, 0.1, typed);
  for (int round = 0; round < rounds; ++round) {
    Take(on_class, seconds, by_class);
    Take(on_typed, seconds, typed);
  }

  std::printf("reply latency %.1f ms, %d rounds of %.1f s each, taking turns\n\n", latency_ms,
              rounds, seconds);
  std::printf("%-26s %11s %8s %7s\n", "reading", "readings/s", "core", "failed");
  std::printf("%-26s %11.1f %7.1f%% %7.0f\n", "Normal_Data_Request", on_class.PerSecond(),
              on_class.CorePercent(), on_class.failed);
  std::printf("%-26s %11.1f %7.1f%% %7.0f\n", "kavro::Board::Read", on_typed.PerSecond(),
              on_typed.CorePercent(), on_typed.failed);
  const double ratio = on_typed.PerSecond() / on_class.PerSecond();
  const bool met = ratio >= 1.8 && on_typed.CorePercent() <= 5.0;
  std::printf("\ntyped / class: %.2fx; goals (at least 1.8x, at most 5%% of a core): %s\n", ratio,
              met ? "met" : "missed");
  dll.Close_Device_Connection(handle);
  return met ? 0 : 1;
}

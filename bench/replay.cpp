// How fast a capture replays, and what memory a replay takes as captures grow.
//
//   kavro_replay_bench [--virtual] [--readings N]
//
// 1. Captures N readings (default 10,000) of KAVRO-0001, the ready-made emulated board that
//    answers after 1.5 ms, through a CaptureLink on the emulator's real clock (--virtual: on
//    its virtual clock, which takes seconds instead of half a minute), then replays the file as
//    fast as it goes and compares: wall time, the speed-up over the captured session, and
//    whether every reading came back the same.
// 2. Measures what capturing adds to a reading (on virtual time, where nothing else takes
//    time), and replays 1,000 readings at the captured pace, which should take as long as they
//    took.
// 3. Captures N and 5 N readings on virtual time and replays each in a process of its own,
//    reporting the process's peak resident size: the replay reads line by line, so it must not
//    grow with the file.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kavro/kavro.h"
#include "kavro_emulator.h"

namespace {

using kavro::emu::VirtualBus;

double Seconds(std::uint64_t us) {
  return static_cast<double>(us) / 1e6;
}

// Reads `count` readings of KAVRO-0001 on the link given (and its clock); the raw texts, in order,
// when keep (the memory runs keep nothing, so that only the replay's own memory shows).
std::vector<std::string> Readings(kavro::LinkProvider& link, int count, bool keep = true) {
  kavro::OpenOptions options;
  options.link = &link;
  std::vector<std::string> raw;
  auto board = kavro::Board::Open("KAVRO-0001", options);
  if (!board) {
    std::fprintf(stderr, "open failed: %s\n", board.error().Describe().c_str());
    std::exit(1);
  }
  if (keep) raw.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto r = board->Read(0);
    if (keep) raw.push_back(r ? r->raw : r.error().Describe());
  }
  return raw;
}

// Captures `count` readings into path; returns the raw texts and the captured span in *span_us.
std::vector<std::string> Capture(const std::string& path, int count, bool real_clock,
                                 std::uint64_t* span_us, bool keep = true) {
  VirtualBus bus(real_clock ? VirtualBus::Clock::kReal : VirtualBus::Clock::kVirtual);
  bus.logging = false;
  kavro::emu::AddReadyMadeBoards(bus);
  kavro::CaptureLink capture(bus, path, "kavro_replay_bench",
                             kavro::CaptureLink::IfExists::kReplace);
  const std::uint64_t start = bus.NowMicroseconds();
  std::vector<std::string> raw = Readings(capture, count, keep);
  *span_us = bus.NowMicroseconds() - start;
  if (!capture.ok()) {
    std::fprintf(stderr, "%s\n", capture.Diagnostic().c_str());
    std::exit(1);
  }
  return raw;
}

// Replays count of the whole readings captured in path; the raw texts, and the wall time in
// *took_us.
std::vector<std::string> Replay(const std::string& path, int count, int whole,
                                kavro::ReplayPace pace, std::uint64_t* took_us, bool keep = true) {
  const std::uint64_t start = kavro::SteadyMicroseconds();
  kavro::ReplayLink replay(path, pace);
  std::vector<std::string> raw = Readings(replay, count, keep);
  *took_us = kavro::SteadyMicroseconds() - start;
  // A replay of fewer readings than were captured departs at its end, where the board closes.
  if (!replay.ok() && count == whole)
    std::fprintf(stderr, "replay failed: %s\n", replay.Diagnostic().c_str());
  return raw;
}

long FileKiB(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fclose(f);
  return size / 1024;
}

// Runs body in a child process and waits for it, so that its peak resident size is its own.
template <typename Body>
void InChild(Body body) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

}  // namespace

int main(int argc, char** argv) {
  bool real_clock = true;
  int readings = 10000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--virtual") == 0) real_clock = false;
    if (std::strcmp(argv[i], "--readings") == 0 && i + 1 < argc) readings = std::atoi(argv[++i]);
  }
  const std::string dir = "/tmp/kavro_replay_bench_" + std::to_string(getpid());
  const std::string speed_file = dir + "_speed.kavrolog";

  std::uint64_t span_us = 0, took_us = 0, paced_us = 0;
  const std::uint64_t capture_start = kavro::SteadyMicroseconds();
  const std::vector<std::string> captured = Capture(speed_file, readings, real_clock, &span_us);
  const std::uint64_t capture_us = kavro::SteadyMicroseconds() - capture_start;
  const std::vector<std::string> replayed =
      Replay(speed_file, readings, readings, kavro::ReplayPace::kFast, &took_us);
  std::size_t differ = captured.size() == replayed.size() ? 0 : captured.size();
  for (std::size_t i = 0; i < captured.size() && i < replayed.size(); ++i)
    differ += captured[i] != replayed[i] ? 1 : 0;
  std::printf(
      "captured %d readings on the %s clock in %.2f s (the session's own time %.2f s), "
      "%ld KiB\n",
      readings, real_clock ? "real" : "virtual", Seconds(capture_us), Seconds(span_us),
      FileKiB(speed_file));
  std::printf(
      "replayed as fast as it goes in %.3f s: %.0f times faster than the session; "
      "%zu readings differ\n",
      Seconds(took_us), static_cast<double>(span_us) / static_cast<double>(took_us), differ);
  {
    // What capturing costs: the same readings on virtual time, with and without it.
    VirtualBus bus;
    bus.logging = false;
    kavro::emu::AddReadyMadeBoards(bus);
    std::uint64_t start = kavro::SteadyMicroseconds(), ignored = 0;
    Readings(bus, readings, false);
    const std::uint64_t bare_us = kavro::SteadyMicroseconds() - start;
    start = kavro::SteadyMicroseconds();
    Capture(dir + "_cost.kavrolog", readings, false, &ignored, false);
    const std::uint64_t captured_us = kavro::SteadyMicroseconds() - start;
    std::remove((dir + "_cost.kavrolog").c_str());
    std::printf(
        "capturing costs %.1f us per reading (on virtual time: %.2f s with it, %.2f s "
        "without)\n",
        static_cast<double>(captured_us - std::min(captured_us, bare_us)) / readings,
        Seconds(captured_us), Seconds(bare_us));
  }
  const int paced = std::min(readings, 1000);
  Replay(speed_file, paced, readings, kavro::ReplayPace::kRecorded, &paced_us);
  std::printf("replayed %d of them at the captured pace in %.2f s (they took %.2f s)\n", paced,
              Seconds(paced_us), Seconds(span_us) * paced / readings);
  std::remove(speed_file.c_str());

  for (int count : {readings, 5 * readings}) {
    const std::string file = dir + "_" + std::to_string(count) + ".kavrolog";
    InChild([&] {
      std::uint64_t ignored = 0;
      Capture(file, count, false, &ignored, false);
    });
    InChild([&] {
      std::uint64_t took = 0;
      const long before = PeakKiB();
      Replay(file, count, count, kavro::ReplayPace::kFast, &took, false);
      std::printf(
          "replay of %d readings (%ld KiB file) in %.2f s: peak resident %ld KiB "
          "(%ld KiB before the replay)\n",
          count, FileKiB(file), Seconds(took), PeakKiB(), before);
    });
    std::remove(file.c_str());
  }
  return 0;
}

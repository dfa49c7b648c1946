// The tool's console on Linux and macOS: sigaction for the stop signals, argv as it is (UTF-8
// already), isatty.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "platform/platform.h"

namespace kavro::platform {

namespace {

// The tool's one handler: what CatchStopSignals was given.
std::atomic<void (*)(StopSignal)> g_on_stop{nullptr};

extern "C" void OnSignal(int signal) {
  const StopSignal stop = signal == SIGINT    ? StopSignal::kInterrupt
                          : signal == SIGTERM ? StopSignal::kTerminate
                                              : StopSignal::kHangUp;
  if (auto* on_stop = g_on_stop.load()) on_stop(stop);
}

}  // namespace

const char* StopSignalName(StopSignal signal) {
  switch (signal) {
    case StopSignal::kInterrupt: return "SIGINT";
    case StopSignal::kTerminate: return "SIGTERM";
    case StopSignal::kHangUp: return "SIGHUP";
    default: return "a signal";
  }
}

void CatchStopSignals(void (*on_stop)(StopSignal)) {
  g_on_stop = on_stop;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction before {};
    if (sigaction(s, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      sigaction(s, &sa, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

bool IsTerminal(int stream) {
  return isatty(stream == 1 ? STDOUT_FILENO : STDERR_FILENO) != 0;
}

}  // namespace kavro::platform

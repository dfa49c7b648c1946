// The tool's console on Windows: SetConsoleCtrlHandler for Ctrl-C, Ctrl-Break and closing the
// console, the arguments from the wide command line, and UTF-8 output.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>

#include "platform/platform.h"

namespace kavro::platform {

namespace {

std::atomic<void (*)(StopSignal)> g_on_stop{nullptr};
std::atomic<bool> g_stopping{false};

// Runs on a thread of its own. The first stop is the tool's to handle; a second one is left to
// the system's handler, which ends the process at once.
BOOL WINAPI OnControl(DWORD type) {
  StopSignal stop;
  switch (type) {
    case CTRL_C_EVENT: stop = StopSignal::kInterrupt; break;
    case CTRL_BREAK_EVENT: stop = StopSignal::kBreak; break;
    case CTRL_CLOSE_EVENT: stop = StopSignal::kClose; break;
    default: return FALSE;  // logoff and shutdown: the system's way
  }
  if (g_stopping.exchange(true)) return FALSE;
  if (auto* on_stop = g_on_stop.load()) on_stop(stop);
  // Closing the console ends the process when this returns: give the recording its moment.
  if (type == CTRL_CLOSE_EVENT) Sleep(2000);
  return TRUE;
}

std::string Narrow(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
  text.resize(static_cast<std::size_t>(n - 1));
  return text;
}

}  // namespace

const char* StopSignalName(StopSignal signal) {
  switch (signal) {
    case StopSignal::kInterrupt: return "Ctrl-C";
    case StopSignal::kBreak: return "Ctrl-Break";
    case StopSignal::kClose: return "closing the console";
    default: return "a signal";
  }
}

void CatchStopSignals(void (*on_stop)(StopSignal)) {
  g_on_stop = on_stop;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  SetConsoleOutputCP(CP_UTF8);
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide == nullptr || n != argc) {  // cannot tell: the arguments as they came
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < n; ++i) arguments.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return arguments;
}

bool IsTerminal(int stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace kavro::platform

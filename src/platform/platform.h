// What differs between Linux, macOS and Windows, behind one small interface: loading a shared
// library, the event a D2XX library signals when bytes arrive, the console's stop signals, files
// written whole and synced, paths given as UTF-8, and the user's config and data folders. One
// file per platform implements it (posix.cpp for Linux and macOS, windows.cpp); nothing outside
// this folder uses a system interface of its own. The console part (stop signals, arguments,
// terminals) is the tool's only (console_posix.cpp, console_windows.cpp): it keeps the one
// handler a process has, which the library never installs.
#ifndef KAVRO_PLATFORM_H
#define KAVRO_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace kavro::platform {

// ---- shared libraries ---------------------------------------------------------------------
// The file names the vendor D2XX library goes by here, in the order they are tried: ftd2xx.dll
// by Windows' search order (the application's folder first), libftd2xx.dylib on macOS (also
// where its installer puts it), libftd2xx.so on Linux.
const std::vector<std::string>& VendorLibraryNames();

// Loads a shared library by name or path with the system's own search. nullptr when it cannot,
// and *why says what the loader said.
void* OpenLibrary(const std::string& name, std::string* why);
// The address of a function the library exports; nullptr when it has none by that name.
void* LibrarySymbol(void* library, const char* name);
void CloseLibrary(void* library);

// ---- the D2XX receive event ---------------------------------------------------------------
// The event FT_SetEventNotification takes: a Win32 event HANDLE on Windows, the EVENT_HANDLE
// condition variable and mutex on Linux and macOS. Made and released here; not copyable.
class RxEvent {
 public:
  RxEvent();
  ~RxEvent();
  RxEvent(const RxEvent&) = delete;
  RxEvent& operator=(const RxEvent&) = delete;

  // What FT_SetEventNotification is given; nullptr when the event could not be made.
  void* parameter() const { return parameter_; }
  // Waits until the event is signalled or wait_us microseconds have passed: true when it was
  // signalled (on Linux and macOS a condition variable may also wake without a signal).
  bool Wait(std::uint64_t wait_us);

 private:
  void* parameter_ = nullptr;
};

// Signals the event a D2XX program passed to FT_SetEventNotification, as the vendor library
// does when bytes arrive (what the drop-in emulator calls).
void SignalEvent(void* parameter);

// ---- time ---------------------------------------------------------------------------------
// Sleeps at least us microseconds. (On Windows std::this_thread::sleep_for turns a sleep of
// less than a millisecond into none at all, so a wait in short sleeps would spin.)
void SleepMicroseconds(std::uint64_t us);

// ---- console stop signals -----------------------------------------------------------------
// What asked the program to stop.
enum class StopSignal : int { kNone = 0, kInterrupt, kTerminate, kHangUp, kBreak, kClose };
// "SIGINT", "SIGTERM", "SIGHUP" on Linux and macOS; "Ctrl-C", "Ctrl-Break", "closing the
// console" on Windows.
const char* StopSignalName(StopSignal signal);
// Lets the console's stop signals (Ctrl-C, SIGTERM and SIGHUP; Ctrl-Break and closing the
// console window on Windows) call on_stop once each: a second one ends the program at once.
// One that whoever started the program ignores stays ignored. A closed pipe and a file-size
// limit come back as write errors instead of ending the program. on_stop may run on a thread
// of its own (Windows) or in a signal handler: it may only store the value.
void CatchStopSignals(void (*on_stop)(StopSignal));

// ---- console and command line -------------------------------------------------------------
// The program's arguments as UTF-8 (on Windows from the wide command line, whatever the code
// page). Standard output and error are set to take UTF-8 and to write lines ending in \n as
// they are (Windows would make them \r\n).
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// True when the stream (1 standard output, 2 standard error) is a terminal.
bool IsTerminal(int stream);

// ---- files --------------------------------------------------------------------------------
// A path from UTF-8 text, and back: non-ASCII names work on every platform.
std::filesystem::path PathFromUtf8(const std::string& text);
std::string Utf8FromPath(const std::filesystem::path& path);
// std::fopen with a UTF-8 path (the wide-character open on Windows).
std::FILE* OpenFile(const std::string& path, const char* mode);
// Opens a file descriptor with a UTF-8 path; flags and mode as open(2) (binary on Windows).
int OpenDescriptor(const std::string& path, int flags, int mode);
// What an open descriptor is: a regular file, its size, and where the next write lands (its end
// when it was opened to append; -1 when that cannot be told).
struct DescriptorInfo {
  bool regular = false;
  std::int64_t size = 0;
  std::int64_t next_write = -1;
};
DescriptorInfo Describe(int fd);
// True when path names a regular file (a UTF-8 path).
bool IsRegularFile(const std::string& path);
// Writes a descriptor's data to its disk; false with errno set when it cannot.
bool SyncDescriptor(int fd);
// Cuts a file to size bytes; false with errno set when it cannot.
bool TruncateDescriptor(int fd, std::int64_t size);
// Replaces the file at path with contents, whole or not at all: they are written to a file
// beside it, synced, and moved over it in one step. false and *why when it could not be done
// (the old file is then as it was).
bool ReplaceWholeFile(const std::filesystem::path& path, const std::string& contents, std::string* why);
// Calendar time in UTC of seconds since 1970 (gmtime_r/gmtime_s).
bool UtcCalendar(std::int64_t seconds, std::tm* out);

// This machine's name ("" when it has none to give).
std::string HostName();

// ---- the user's folders -------------------------------------------------------------------
// Where this library keeps the user's settings: %APPDATA%\kavro on Windows,
// ~/Library/Application Support/kavro on macOS, $XDG_CONFIG_HOME/kavro (or
// ~/.config/kavro) on Linux. Empty when the system names no home for the user. The
// folder is not created.
std::filesystem::path ConfigFolder();
// Where this library keeps data it makes for the user (recordings by default):
// %LOCALAPPDATA%\kavro on Windows, ~/Library/Application Support/kavro on
// macOS, $XDG_DATA_HOME/kavro (or ~/.local/share/kavro) on Linux. Empty when
// the system names no home for the user. The folder is not created.
std::filesystem::path DataFolder();

}  // namespace kavro::platform

#endif  // KAVRO_PLATFORM_H

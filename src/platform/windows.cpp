// The platform seam on Windows: LoadLibraryW, a Win32 event for the D2XX receive notification,
// wide-character file names, MoveFileExW over a file, and %APPDATA% / %LOCALAPPDATA%.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

#include "platform/platform.h"

namespace kavro::platform {

namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
  return text;
}

// What GetLastError() says, as one line of text.
std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* said = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&said), 0, nullptr);
  std::string text = n > 0 ? Narrow(std::wstring(said, n)) : "";
  if (said != nullptr) LocalFree(said);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

}  // namespace

const std::vector<std::string>& VendorLibraryNames() {
  // Found by Windows' search order: the application's folder first, then the system folders
  // (where FTDI's driver installs it) and PATH.
  static const std::vector<std::string> names{"ftd2xx.dll"};
  return names;
}

void* OpenLibrary(const std::string& name, std::string* why) {
  // No error box for a library that is missing or broken: the caller says why.
  const UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE library = LoadLibraryW(Wide(name).c_str());
  if (library == nullptr && why != nullptr) *why = LastErrorText();
  SetErrorMode(mode);
  return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

// An auto-reset event: one signalled while nobody waits stays set until the next wait, so no
// reply between a status query and the wait goes unnoticed.
RxEvent::RxEvent() : parameter_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

RxEvent::~RxEvent() {
  if (parameter_ != nullptr) CloseHandle(static_cast<HANDLE>(parameter_));
}

bool RxEvent::Wait(std::uint64_t wait_us) {
  if (parameter_ == nullptr) return false;
  const std::uint64_t ms = (wait_us + 999) / 1000;  // at least the time asked for
  return WaitForSingleObject(static_cast<HANDLE>(parameter_),
                             static_cast<DWORD>(ms < INFINITE ? ms : INFINITE - 1)) ==
         WAIT_OBJECT_0;
}

void SignalEvent(void* parameter) {
  SetEvent(static_cast<HANDLE>(parameter));
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

void SleepMicroseconds(std::uint64_t us) {
  if (us == 0) return;
  // A high-resolution timer (Windows 10 1803 on) keeps short sleeps short; elsewhere Sleep, in
  // whole milliseconds rounded up.
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (timer != nullptr) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(std::min<std::uint64_t>(us, 1ull << 50) * 10);  // 100 ns
    const bool set = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0;
    if (set) WaitForSingleObject(timer, INFINITE);
    CloseHandle(timer);
    if (set) return;
  }
  const std::uint64_t ms = (us + 999) / 1000;
  Sleep(static_cast<DWORD>(std::min<std::uint64_t>(ms, INFINITE - 1)));
}

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(Wide(text));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return Narrow(path.native());
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

int OpenDescriptor(const std::string& path, int flags, int mode) {
  return _wopen(Wide(path).c_str(), flags | _O_BINARY | _O_NOINHERIT,
                mode & (_S_IREAD | _S_IWRITE));
}

DescriptorInfo Describe(int fd) {
  DescriptorInfo info;
  struct _stati64 st {};
  if (_fstati64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return info;
  info.regular = true;
  info.size = st.st_size;
  info.next_write = _lseeki64(fd, 0, SEEK_CUR);  // a file opened to append is at its end
  return info;
}

bool IsRegularFile(const std::string& path) {
  struct _stati64 st {};
  return _wstati64(Wide(path).c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool SyncDescriptor(int fd) {
  return _commit(fd) == 0;
}

bool TruncateDescriptor(int fd, std::int64_t size) {
  const errno_t e = _chsize_s(fd, size);
  if (e != 0) errno = e;
  return e == 0;
}

bool ReplaceWholeFile(const std::filesystem::path& path, const std::string& contents, std::string* why) {
  const std::wstring target = path.native();
  const std::wstring temporary = target + L".new";
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = file != INVALID_HANDLE_VALUE;
  std::size_t done = 0;
  while (ok && done < contents.size()) {
    DWORD put = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(contents.size() - done, 1u << 30));
    ok = WriteFile(file, contents.data() + done, chunk, &put, nullptr) != 0 && put > 0;
    done += put;
  }
  ok = ok && FlushFileBuffers(file) != 0;
  std::string error = ok ? "" : LastErrorText();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (ok && MoveFileExW(temporary.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    ok = false;
    error = LastErrorText();
  }
  if (!ok) {
    if (file != INVALID_HANDLE_VALUE) DeleteFileW(temporary.c_str());
    if (why != nullptr) *why = Narrow(target) + ": " + error;
  }
  return ok;
}

bool UtcCalendar(std::int64_t seconds, std::tm* out) {
  const __time64_t t = seconds;
  return _gmtime64_s(out, &t) == 0;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD n = 256;
  if (GetComputerNameExW(ComputerNameDnsHostname, name, &n) == 0) return "";
  return Narrow(std::wstring(name, n));
}

namespace {

std::filesystem::path KnownFolder(const wchar_t* variable) {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetEnvironmentVariableW(variable, buffer, MAX_PATH * 4);
  if (n == 0 || n >= MAX_PATH * 4) return {};
  return std::filesystem::path(std::wstring(buffer, n)) / L"kavro";
}

}  // namespace

std::filesystem::path ConfigFolder() {
  return KnownFolder(L"APPDATA");
}

std::filesystem::path DataFolder() {
  return KnownFolder(L"LOCALAPPDATA");
}

}  // namespace kavro::platform

// The platform seam on Linux and macOS: dlopen, the EVENT_HANDLE condition variable, open(2)
// and fsync, rename over a file, and the XDG folders (Linux) or ~/Library (macOS).
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>

#include "kavro/link.h"
#include "platform/platform.h"

namespace kavro::platform {

const std::vector<std::string>& VendorLibraryNames() {
#if defined(__APPLE__)
  // FTDI's installer puts it in /usr/local/lib, which the loader does not search by itself.
  static const std::vector<std::string> names{"libftd2xx.dylib", "/usr/local/lib/libftd2xx.dylib"};
#else
  static const std::vector<std::string> names{"libftd2xx.so", "libftd2xx.so.1", "libftd2xx.so.0",
                                              "/usr/local/lib/libftd2xx.so"};
#endif
  return names;
}

void* OpenLibrary(const std::string& name, std::string* why) {
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && why != nullptr) {
    const char* said = dlerror();
    *why = said != nullptr ? said : "not found";
  }
  return library;
}

void* LibrarySymbol(void* library, const char* name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

void CloseLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

RxEvent::RxEvent() {
  auto* event = new EVENT_HANDLE{};
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
#if !defined(__APPLE__)
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);  // deadlines are on the steady clock
#endif
  pthread_cond_init(&event->eCondVar, &attr);
  pthread_condattr_destroy(&attr);
  pthread_mutex_init(&event->eMutex, nullptr);
  parameter_ = event;
}

RxEvent::~RxEvent() {
  auto* event = static_cast<EVENT_HANDLE*>(parameter_);
  pthread_cond_destroy(&event->eCondVar);
  pthread_mutex_destroy(&event->eMutex);
  delete event;
}

bool RxEvent::Wait(std::uint64_t wait_us) {
  auto* event = static_cast<EVENT_HANDLE*>(parameter_);
  pthread_mutex_lock(&event->eMutex);
#if defined(__APPLE__)
  const timespec relative{static_cast<time_t>(wait_us / 1000000),
                          static_cast<decltype(timespec::tv_nsec)>(wait_us % 1000000 * 1000)};
  const int waited = pthread_cond_timedwait_relative_np(&event->eCondVar, &event->eMutex, &relative);
#else
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  const std::uint64_t ns = static_cast<std::uint64_t>(until.tv_nsec) + wait_us % 1000000 * 1000;
  until.tv_sec += static_cast<time_t>(wait_us / 1000000 + ns / 1000000000);
  until.tv_nsec = static_cast<decltype(until.tv_nsec)>(ns % 1000000000);
  const int waited = pthread_cond_timedwait(&event->eCondVar, &event->eMutex, &until);
#endif
  pthread_mutex_unlock(&event->eMutex);
  return waited == 0;
}

void SignalEvent(void* parameter) {
  auto* event = static_cast<EVENT_HANDLE*>(parameter);
  pthread_mutex_lock(&event->eMutex);
  pthread_cond_broadcast(&event->eCondVar);
  pthread_mutex_unlock(&event->eMutex);
}

void SleepMicroseconds(std::uint64_t us) {
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(text);
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return path.string();
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

int OpenDescriptor(const std::string& path, int flags, int mode) {
  return open(path.c_str(), flags | O_CLOEXEC, mode);
}

DescriptorInfo Describe(int fd) {
  DescriptorInfo info;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return info;
  info.regular = true;
  info.size = st.st_size;
  info.next_write = (fcntl(fd, F_GETFL) & O_APPEND) != 0 ? st.st_size : lseek(fd, 0, SEEK_CUR);
  return info;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SyncDescriptor(int fd) {
  return fsync(fd) == 0;
}

bool TruncateDescriptor(int fd, std::int64_t size) {
  return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

namespace {

bool WriteAll(int fd, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool ReplaceWholeFile(const std::filesystem::path& path, const std::string& contents, std::string* why) {
  const std::string target = path.string();
  const std::string temporary = target + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && WriteAll(fd, contents) && fsync(fd) == 0;
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    if (fd >= 0) unlink(temporary.c_str());
    if (why != nullptr) *why = target + ": " + std::generic_category().message(error);
    return false;
  }
  // The rename is on disk once its folder is.
  const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
  const int dir = open(folder.c_str(), O_RDONLY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool UtcCalendar(std::int64_t seconds, std::tm* out) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  return gmtime_r(&t, out) != nullptr;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return "";
  return name;
}

namespace {

// $name when it is set to an absolute path, else home/fallback; empty without a home.
std::filesystem::path UserFolder([[maybe_unused]] const char* name,
                                 [[maybe_unused]] const char* fallback) {
  const char* home = std::getenv("HOME");
#if defined(__APPLE__)
  if (home == nullptr || *home != '/') return {};
  return std::filesystem::path(home) / "Library/Application Support/kavro";
#else
  const char* set = std::getenv(name);
  if (set != nullptr && *set == '/') return std::filesystem::path(set) / "kavro";
  if (home == nullptr || *home != '/') return {};
  return std::filesystem::path(home) / fallback / "kavro";
#endif
}

}  // namespace

std::filesystem::path ConfigFolder() {
  return UserFolder("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path DataFolder() {
  return UserFolder("XDG_DATA_HOME", ".local/share");
}

}  // namespace kavro::platform

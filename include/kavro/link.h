// The D2XX provider interface: the seam below the library's link wrapper. Every D2XX call the
// library makes goes to a kavro::LinkProvider: the vendor library (VendorLink), libftdi1
// (NewLibftdiLink) or the board emulator (kavro::emu::VirtualBus). Also the D2XX constants and
// types the providers share, and ForwardingLink, the base for providers that watch or capture
// the calls of another one.
#ifndef KAVRO_LINK_H
#define KAVRO_LINK_H

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "kavro/d2xx_calls.h"
#include "kavro/export.h"

namespace kavro {

// D2XX status codes (FT_STATUS) the library reports in ErrorStatus.
enum FtStatus : unsigned int {
  kFtOk = 0,
  kFtInvalidHandle = 1,
  kFtDeviceNotFound = 2,
  kFtDeviceNotOpened = 3,
  kFtIoError = 4,
  kFtInsufficientResources = 5,
  kFtInvalidParameter = 6,
  kFtInvalidBaudRate = 7,
  kFtInvalidArgs = 16,
  kFtNotSupported = 17,
  kFtOtherError = 18,
  kFtDeviceListNotReady = 19,
};

// D2XX flag values used by the wrapper.
constexpr unsigned int kFtListNumberOnly = 0x80000000u;
constexpr unsigned int kFtListByIndex = 0x40000000u;
constexpr unsigned int kFtOpenBySerialNumber = 1u;
constexpr unsigned int kFtOpenByDescription = 2u;
constexpr unsigned int kFtPurgeRx = 1u;
constexpr unsigned int kFtPurgeTx = 2u;
// The event FT_SetEventNotification reports when bytes arrive.
constexpr unsigned int kFtEventRxChar = 1u;
// Flags of a device-list node.
constexpr unsigned int kFtFlagsOpened = 1u;
constexpr unsigned int kFtFlagsHiSpeed = 2u;

// D2XX device types (FT_DEVICE) of the bridge chips the providers report.
enum FtDevice : unsigned int {
  kFtDeviceBM = 0,
  kFtDeviceAM = 1,
  kFtDevice100AX = 2,
  kFtDeviceUnknown = 3,
  kFtDevice2232C = 4,
  kFtDevice232R = 5,
  kFtDevice2232H = 6,
  kFtDevice4232H = 7,
  kFtDevice232H = 8,
  kFtDeviceXSeries = 9,
};

// D2XX's device ID: the USB vendor ID in the high half, the product ID in the low half.
constexpr unsigned int FtDeviceId(unsigned int vid, unsigned int pid) {
  return (vid << 16) | pid;
}

// Sizes of D2XX's serial-number and description buffers, terminator included.
constexpr std::size_t kSerialNumberSize = 16;
constexpr std::size_t kDescriptionSize = 64;

// Same layout as D2XX's FT_DEVICE_LIST_INFO_NODE (104 bytes on LP64).
struct FT_DEVICE_LIST_INFO_NODE {
  unsigned int Flags;
  unsigned int Type;
  unsigned int ID;
  unsigned int LocId;
  char SerialNumber[kSerialNumberSize];
  char Description[kDescriptionSize];
  void* ftHandle;
};

#if !defined(_WIN32)
// D2XX's event handle on Linux and macOS (EVENT_HANDLE), the argument of
// FT_SetEventNotification: the library signals the condition variable when an event of the
// notification's mask happens; a waiter holds the mutex to wait on it. iVar is not used here.
struct EVENT_HANDLE {
  pthread_cond_t eCondVar;
  pthread_mutex_t eMutex;
  int iVar;
};
#endif

// Microseconds on the steady (monotonic) clock.
inline std::uint64_t SteadyMicroseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// Writes text into a D2XX string buffer of size bytes as D2XX fills one: zero-filled and cut
// at size, so a text of size bytes or more has no terminator (readers use strnlen).
inline void FillD2xxText(char* target, std::size_t size, const std::string& text) {
  std::memset(target, 0, size);
  std::memcpy(target, text.data(), text.size() < size ? text.size() : size);
}

// One operation per D2XX call the wrapper makes, with D2XX's own signature and meaning,
// plus the clock everything that runs on time reads (reply budgets, reconnect delays, a
// recording's due times) and waits on, and an optional wait for received bytes. A board has
// one clock, its link's: the emulator's virtual time, a capture's time on replay, or the
// steady clock.
//
// A provider may be shared by several instances on several threads: every provider of this
// library takes calls from several threads at once. The library never deletes a provider.
class KAVRO_API LinkProvider {
 public:
  virtual ~LinkProvider() = default;

  // The D2XX calls of kavro/d2xx_calls.h, each with D2XX's signature and meaning.
#define KAVRO_D2XX_PURE(name, params, args, need) virtual unsigned int name params = 0;
  KAVRO_D2XX_CALLS(KAVRO_D2XX_PURE)
#undef KAVRO_D2XX_PURE

  // Monotonic time in microseconds. Reply budgets, reconnect delays and due times are measured
  // on it. The steady clock unless the provider keeps time of its own (the emulator's virtual
  // time, a replay's captured time).
  virtual std::uint64_t NowMicroseconds() { return SteadyMicroseconds(); }

  // Waits until NowMicroseconds() reaches deadline_us. May return early; callers loop. This
  // default sleeps on the steady clock; a provider that keeps time of its own moves it on.
  virtual void SleepUntil(std::uint64_t deadline_us) {
    const std::uint64_t now = NowMicroseconds();
    if (now < deadline_us)
      std::this_thread::sleep_for(std::chrono::microseconds(deadline_us - now));
  }

  // Optional: waits, without using the processor, until at least `bytes` bytes are queued to
  // be read on handle or NowMicroseconds() reaches deadline_us. It may return sooner, and should
  // when any bytes arrive: the caller asks GetStatus what is queued after every return and waits
  // again if that is not enough. kFtOk when it waited (or had no need to); any other status when
  // it could not, and the caller then sleeps in short steps of its own until its next status
  // query. A failed device is reported by GetStatus, not here. A provider that keeps time of its
  // own (virtual time) should implement it, since the caller's sleeps run on the real clock.
  // This default cannot wait: it answers kFtNotSupported at once.
  virtual unsigned int WaitForRx([[maybe_unused]] void* handle, [[maybe_unused]] unsigned int bytes,
                                 [[maybe_unused]] std::uint64_t deadline_us) {
    return kFtNotSupported;
  }

  // Why the provider cannot work (the vendor library did not load), or what its back end said
  // about the last failure (libftdi1's message); "" when there is nothing to say.
  virtual std::string Diagnostic() const { return ""; }

  // False when the provider cannot work at all (the vendor library did not load): every call
  // then fails with FT_OTHER_ERROR and Diagnostic() says why.
  virtual bool Available() const { return true; }

  // A short name for messages ("vendor D2XX library", "libftdi1", "board emulator"); "" when
  // the provider has none.
  virtual std::string Name() const { return ""; }
};

// A provider that hands every call to another one. Derive from it to watch or alter a few
// calls (tracing, capturing) and leave the rest as they are. The inner provider must outlive it.
class KAVRO_API ForwardingLink : public LinkProvider {
 public:
  explicit ForwardingLink(LinkProvider& inner);

  KAVRO_D2XX_CALLS(KAVRO_D2XX_OVERRIDE)
  std::uint64_t NowMicroseconds() override;
  void SleepUntil(std::uint64_t deadline_us) override;
  unsigned int WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) override;
  std::string Diagnostic() const override;
  bool Available() const override;
  std::string Name() const override;

 private:
  LinkProvider& inner_;
};

// The vendor D2XX library, loaded on first use by its standard names through the system
// loader's normal search (libftd2xx.so, libftd2xx.dylib; ftd2xx.dll by Windows' search order,
// the program's folder first). When it cannot be
// loaded every call answers FT_OTHER_ERROR and Diagnostic() names the files tried.
KAVRO_API LinkProvider& VendorLink();

// True when the library was built with the libftdi1 provider.
KAVRO_API bool LibftdiLinkAvailable();

// A new libftdi1 provider, or nullptr when the library was built without libftdi1.
// The caller owns it and must keep it alive while instances use it. Calls on different open
// devices run side by side; a slow read on one board does not hold up another.
KAVRO_API LinkProvider* NewLibftdiLink();

}  // namespace kavro

#endif  // KAVRO_LINK_H

// The libftdi1 link provider, split at a seam: FtdiBackend is the handful of libftdi1 and
// libusb operations the provider needs, so tests can script libftdi1's answers without
// hardware; the provider turns them into D2XX's calls and semantics.
#ifndef KAVRO_LIBFTDI_PROVIDER_H
#define KAVRO_LIBFTDI_PROVIDER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kavro/link.h"

namespace kavro::ftdi {

// One FTDI chip found on the USB bus.
struct UsbDevice {
  void* device = nullptr;  // the backend's handle on the USB device (a libusb_device*)
  std::uint16_t vid = 0, pid = 0, bcd_device = 0;
  int interfaces = 1;  // channels: 2 on FT2232, 4 on FT4232
  bool high_speed = false;
  bool strings_read = true;  // false when the strings could not be read (permissions)
  std::string serial, description;
};

// Codes the backend returns itself when libftdi1 cannot even allocate a context; the error
// table maps them like libftdi1's own.
constexpr int kFindOutOfMemory = -3;  // libftdi1's own code for this in ftdi_usb_find_all
constexpr int kOpenNoContext = -100;  // not a libftdi1 code: ftdi_new failed before the open

// libftdi1 operations. Return values are libftdi1's: counts or 0 on success, negative codes on
// failure. A context is the backend's per-open-device state (a ftdi_context*).
//
// Threads: the provider makes the enumeration calls (BeginEnumeration, FindAll, Open,
// LastError) one at a time, and the calls on one context one at a time, but calls on
// different contexts, and an enumeration, may run at the same time. NowMicroseconds may be
// called from any thread.
class FtdiBackend {
 public:
  virtual ~FtdiBackend() = default;
  // Called before each enumeration: devices found by earlier ones may be released.
  virtual void BeginEnumeration() {}
  // Appends the chips with this VID/PID; returns how many or a negative code. The devices stay
  // valid until the next BeginEnumeration (and while open).
  virtual int FindAll(std::uint16_t vid, std::uint16_t pid, std::vector<UsbDevice>* found) = 0;
  // Opens interface (0 = A) of device, borrowing it from a kernel driver that holds it until
  // Close. On success returns a context; *ft_type holds the FT device type known from the device
  // descriptor, which a backend that knows better may correct. On failure nullptr and the
  // libftdi1 code in *error.
  virtual void* Open(void* device, int interface, int* error, unsigned int* ft_type) = 0;
  virtual int Close(void* context) = 0;  // closes and frees the context
  virtual int Read(void* context, std::uint8_t* buffer, int size) = 0;
  virtual int Write(void* context, const std::uint8_t* buffer, int size) = 0;
  virtual int SetChunkSize(void* context, unsigned int size) = 0;
  virtual int SetLatency(void* context, unsigned char ms) = 0;
  virtual int GetLatency(void* context, unsigned char* ms) = 0;
  virtual int Flush(void* context, bool rx, bool tx) = 0;
  virtual void SetWriteTimeout(void* context, int ms) = 0;
  virtual unsigned int MaxPacketSize(void* context) = 0;  // 64 full speed, 512 high speed
  virtual std::uint64_t NowMicroseconds() = 0;
  // libftdi1's message for the last failed find or open, "" if none.
  virtual std::string LastError() const { return ""; }
};

// What each libftdi1 operation's failure means in D2XX terms.
enum class Operation { kFind, kOpen, kClose, kRead, kWrite, kChunkSize, kLatency, kFlush };
unsigned int MapError(Operation op, int code);

std::unique_ptr<kavro::LinkProvider> MakeProvider(std::unique_ptr<FtdiBackend> backend);

}  // namespace kavro::ftdi

#endif  // KAVRO_LIBFTDI_PROVIDER_H

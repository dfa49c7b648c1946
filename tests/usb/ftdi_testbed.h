// FTDI bridges on a simulated USB bus. umockdev shows each chip to libusb as a sysfs device and
// a /dev/bus/usb node; this testbed answers the node's usbdevfs requests as an FT232R does, with
// an emulated board behind it, so the host reaches the board through the real libftdi1 and
// libusb, unprivileged. The process must run under umockdev's preload (umockdev-wrapper).
#ifndef KAVRO_FTDI_TESTBED_H
#define KAVRO_FTDI_TESTBED_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "kavro_emulator.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace kavro::usbtest {

class FtdiTestbed;

// One chip and the board behind it. Tests set fields before a library call and read them after
// it, while the host leaves the chip alone.
struct Chip {
  std::string serial, description;
  kavro::emu::Board board;
  std::uint16_t bcd_device = 0x0600;  // the chip generation: 0x0600 is an FT232R
  std::uint16_t pid = 0x6001;
  bool disconnect_claim = true;            // false: a kernel without USBDEVFS_DISCONNECT_CLAIM
  std::string kernel_driver = "ftdi_sio";  // what the kernel binds to the interface ("": none)
  std::string driver;                      // bound now: kernel_driver, "usbfs" (a program) or ""
  unsigned int unplug_after_frames = 0;    // > 0: the chip is gone right after that many frames
  // What the host did to the chip.
  unsigned char latency_ms = 16;
  unsigned int bulk_in_size = 0;              // bytes the last bulk IN transfer asked for
  std::vector<unsigned int> vendor_requests;  // bRequest << 16 | wValue of each, in order
  bool plugged = true;

 private:
  friend class FtdiTestbed;
  struct Urb {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* urb;     // the client's usbdevfs_urb, resolved
    UMockdevIoctlData* buffer;  // and its buffer
    std::uint64_t due_us;       // a bulk IN answers by then even with nothing to send
    bool done;
  };
  FtdiTestbed* bed = nullptr;
  std::string syspath;
  UMockdevIoctlBase* handler = nullptr;
  UMockdevIoctlClient* owner = nullptr;  // the client that claimed the interface
  unsigned int frames = 0;
  std::deque<Urb> urbs;
  std::deque<kavro::emu::Board::Reply> replies;  // on their way: delay_us holds the due time
  std::deque<std::uint8_t> fifo;                 // bytes the chip holds for the host
};

class FtdiTestbed {
 public:
  FtdiTestbed();
  ~FtdiTestbed();
  FtdiTestbed(const FtdiTestbed&) = delete;
  FtdiTestbed& operator=(const FtdiTestbed&) = delete;

  // True when the process runs under umockdev's preload; otherwise *why says what is missing.
  bool Ready(std::string* why) const;
  // Plugs in a chip; references stay valid while the testbed lives.
  Chip& Add(const std::string& serial, kavro::emu::Board board = kavro::emu::Board::Common(),
            std::uint16_t bcd_device = 0x0600, std::uint16_t pid = 0x6001,
            const std::string& description = "KAVRO USB Interface");
  // Pulls a chip out: its transfers end with an error and it leaves the bus.
  void Unplug(Chip& chip);

 private:
  static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* chip);
  static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* chip);
  long Ioctl(Chip& c, UMockdevIoctlClient* client, int* error,
             std::vector<UMockdevIoctlData*>* release);
  int Submit(Chip& c, UMockdevIoctlClient* client, UMockdevIoctlData* urb_data);
  void Control(Chip& c, unsigned char* setup, int* length, int* status);
  void Pump(Chip& c);
  void Drop(Chip& c);
  std::uint64_t NowUs() const;

  UMockdevTestbed* testbed_;
  std::mutex mutex_;
  std::deque<Chip> chips_;
  std::uint64_t start_us_;
};

}  // namespace kavro::usbtest

#endif  // KAVRO_FTDI_TESTBED_H

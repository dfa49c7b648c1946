// FTDI bridges on a simulated USB bus. umockdev shows each chip to libusb as a sysfs device and
// a /dev/bus/usb node; this testbed answers the node's usbdevfs requests as an FT232R does, with
// an emulated board behind it, so the host reaches the board through the real libftdi1 and
// libusb, unprivileged. The process must run under umockdev's preload (umockdev-wrapper).
#ifndef KAVRO_FTDI_TESTBED_H
#define KAVRO_FTDI_TESTBED_H

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "kavro_emulator.h"

namespace kavro::usbtest {

// One chip and the board behind it. Tests set fields before a library call and read them after
// it, while the host leaves the chip alone.
struct Chip {
  std::string serial, description;
  kavro::emu::VirtualBoard board;
  std::uint16_t bcd_device = 0x0600, pid = 0x6001;  // 0x0600: an FT232R
  std::string driver = "ftdi_sio";       // bound now: the kernel's "ftdi_sio", "usbfs" or ""
  unsigned int unplug_after_frames = 0;  // > 0: the chip is gone right after that many frames
  // What the host did to the chip.
  unsigned char latency_ms = 16;
  unsigned int bulk_in_size = 0;              // bytes the last bulk IN transfer asked for
  std::vector<unsigned int> vendor_requests;  // bRequest << 16 | wValue of each, in order
  bool plugged = true;

  // The testbed's own.
  struct Urb {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* urb;     // the client's usbdevfs_urb, resolved
    UMockdevIoctlData* buffer;  // and its buffer
    std::uint64_t due_us;       // a bulk IN answers by then even with nothing to send
    bool done;
  };
  std::mutex mutex;  // the host's libusb threads and the test
  std::string syspath;
  std::uint64_t plugged_at_us = 0;  // the board's time starts here
  UMockdevIoctlBase* handler = nullptr;
  UMockdevIoctlClient* owner = nullptr;  // the client that claimed the interface
  unsigned int frames = 0;
  std::deque<Urb> urbs;
  std::deque<kavro::emu::VirtualBoard::Reply> replies;  // on their way: delay_us holds the due time
  std::deque<std::uint8_t> fifo;                        // bytes the chip holds for the host
};

class FtdiTestbed {
 public:
  FtdiTestbed();
  ~FtdiTestbed();
  FtdiTestbed(const FtdiTestbed&) = delete;
  FtdiTestbed& operator=(const FtdiTestbed&) = delete;

  // True when the process runs under umockdev's preload (umockdev-wrapper puts it in place).
  bool Ready() const { return umockdev_in_mock_environment(); }
  // Plugs in a chip (a new device on the bus, as a chip plugged back in is); references stay
  // valid while the testbed lives.
  Chip& Add(const std::string& serial,
            kavro::emu::VirtualBoard board = kavro::emu::VirtualBoard::Common(),
            std::uint16_t bcd_device = 0x0600, std::uint16_t pid = 0x6001,
            const std::string& description = "KAVRO USB Interface");
  // Pulls a chip out: its transfers end with an error and it leaves the bus.
  void Unplug(Chip& chip);

 private:
  UMockdevTestbed* testbed_;
  std::deque<Chip> chips_;
};

}  // namespace kavro::usbtest

#endif  // KAVRO_FTDI_TESTBED_H

// The FT232R's side of usbdevfs: claim and kernel-driver binding, control requests (standard
// descriptors and FTDI's vendor requests) and bulk transfers, OUT to the board and IN in the
// chip's form, two modem-status bytes at the start of every 64-byte packet.
#include "ftdi_testbed.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace kavro::usbtest {

namespace {

constexpr int kPacket = 64;  // full-speed bulk packet
constexpr std::uint8_t kModemStatus[2] = {0x01, 0x60};

// Device, configuration, interface and the two bulk endpoints (0x81 IN, 0x02 OUT).
std::vector<std::uint8_t> Descriptors(std::uint16_t pid, std::uint16_t bcd) {
  const std::uint8_t lo = std::uint8_t(bcd), hi = std::uint8_t(bcd >> 8);
  // clang-format off
  return {18, 1, 0x00, 0x02, 0, 0, 0, 8, 0x03, 0x04, std::uint8_t(pid), std::uint8_t(pid >> 8),
          lo, hi, 1, 2, 3, 1,
          9, 2, 32, 0, 1, 1, 0, 0xA0, 45,
          9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
          7, 5, 0x81, 2, kPacket, 0, 0,
          7, 5, 0x02, 2, kPacket, 0, 0};
  // clang-format on
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> d{std::uint8_t(2 + 2 * text.size()), 3};
  for (char ch : text) d.insert(d.end(), {std::uint8_t(ch), 0});
  return d;
}

// The client memory ioctl argument arg points to, len bytes of it (a new reference).
UMockdevIoctlData* Resolve(UMockdevIoctlData* arg, std::size_t offset, std::size_t len) {
  return umockdev_ioctl_data_resolve(arg, offset, len, nullptr);
}

usbdevfs_urb& UrbOf(UMockdevIoctlData* d) {
  return *reinterpret_cast<usbdevfs_urb*>(d->data);
}

}  // namespace

FtdiTestbed::FtdiTestbed() : testbed_(umockdev_testbed_new()), start_us_(NowUs()) {}

FtdiTestbed::~FtdiTestbed() {
  for (Chip& c : chips_) {
    for (Chip::Urb& u : c.urbs) g_object_unref(u.urb), g_object_unref(u.buffer);
    g_object_unref(c.handler);
  }
  g_object_unref(testbed_);
}

bool FtdiTestbed::Ready(std::string* why) const {
  if (umockdev_in_mock_environment()) return true;
  *why = "not under umockdev's preload: start the test through umockdev-wrapper";
  return false;
}

std::uint64_t FtdiTestbed::NowUs() const {
  return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count());
}

Chip& FtdiTestbed::Add(const std::string& serial, kavro::emu::Board board, std::uint16_t bcd_device,
                       std::uint16_t pid, const std::string& description) {
  Chip& c = chips_.emplace_back();
  c.serial = serial;
  c.description = description;
  c.board = std::move(board);
  c.bcd_device = bcd_device;
  c.pid = pid;
  c.driver = c.kernel_driver;
  c.bed = this;
  const unsigned int n = static_cast<unsigned int>(chips_.size());
  char node[32], text[1024];
  std::snprintf(node, sizeof(node), "bus/usb/001/%03u", n + 1);
  c.syspath = "/sys/devices/usb1/1-" + std::to_string(n);
  std::string hex;
  for (std::uint8_t b : Descriptors(pid, bcd_device)) {
    char two[3];
    std::snprintf(two, sizeof(two), "%02X", b);
    hex += two;
  }
  std::snprintf(text, sizeof(text),
                "P: /devices/usb1/1-%u\nN: %s\nE: DEVNAME=/dev/%s\nE: DEVTYPE=usb_device\n"
                "E: SUBSYSTEM=usb\nA: busnum=1\\n\nA: devnum=%u\\n\nA: speed=12\\n\n"
                "A: bConfigurationValue=1\\n\nA: dev=189:%u\\n\nH: descriptors=%s\n",
                n, node, node, n + 1, n, hex.c_str());
  umockdev_testbed_add_from_string(testbed_, text, nullptr);
  c.handler = umockdev_ioctl_base_new();
  g_signal_connect(c.handler, "handle-ioctl", G_CALLBACK(OnIoctl), &c);
  g_signal_connect(c.handler, "client-vanished", G_CALLBACK(OnVanished), &c);
  umockdev_testbed_attach_ioctl(testbed_, (std::string("/dev/") + node).c_str(), c.handler,
                                nullptr);
  return c;
}

void FtdiTestbed::Unplug(Chip& chip) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Drop(chip);
  }
  umockdev_testbed_uevent(testbed_, chip.syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, chip.syspath.c_str());
}

// Unplugged: every transfer in flight ends with ESHUTDOWN, as the kernel ends them.
void FtdiTestbed::Drop(Chip& c) {
  c.plugged = false;
  for (Chip::Urb& u : c.urbs) {
    if (u.done) continue;
    UrbOf(u.urb).status = -ESHUTDOWN;
    UrbOf(u.urb).actual_length = 0;
    u.done = true;
  }
}

void FtdiTestbed::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* chip) {
  Chip& c = *static_cast<Chip*>(chip);
  std::lock_guard<std::mutex> lock(c.bed->mutex_);
  if (c.owner == client) c.owner = nullptr, c.driver.clear();  // a closed file gives up its claim
  for (auto it = c.urbs.begin(); it != c.urbs.end();) {
    if (it->client != client) {
      ++it;
      continue;
    }
    g_object_unref(it->urb), g_object_unref(it->buffer);
    it = c.urbs.erase(it);
  }
}

int FtdiTestbed::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* chip) {
  Chip& c = *static_cast<Chip*>(chip);
  std::vector<UMockdevIoctlData*> release;
  int error = 0;
  long result;
  {
    std::lock_guard<std::mutex> lock(c.bed->mutex_);
    result = c.bed->Ioctl(c, client, &error, &release);
  }
  umockdev_ioctl_client_complete(client, result, error);
  for (UMockdevIoctlData* d : release) g_object_unref(d);
  return TRUE;
}

long FtdiTestbed::Ioctl(Chip& c, UMockdevIoctlClient* client, int* error,
                        std::vector<UMockdevIoctlData*>* release) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto fail = [error](int e) {
    *error = e;
    return -1L;
  };
  auto at = [&](std::size_t len) {  // the memory arg points to
    UMockdevIoctlData* d = Resolve(arg, 0, len);
    release->push_back(d);
    return static_cast<void*>(d->data);
  };
  auto claim = [&]() {
    if (c.owner == client) return 0L;
    if (!c.driver.empty()) return fail(EBUSY);
    c.driver = "usbfs", c.owner = client;
    return 0L;
  };
  const bool reap = request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB;
  if (!c.plugged && !reap) return fail(ENODEV);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      *static_cast<std::uint32_t*>(at(4)) =
          USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      return 0;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_CLEAR_HALT: return 0;
    case USBDEVFS_CLAIMINTERFACE:
      return *static_cast<unsigned int*>(at(4)) == 0 ? claim() : fail(EINVAL);
    case USBDEVFS_RELEASEINTERFACE:
      if (c.owner != client) return fail(EINVAL);
      c.owner = nullptr, c.driver.clear();
      return 0;
    case USBDEVFS_GETDRIVER: {
      auto* g = static_cast<usbdevfs_getdriver*>(at(sizeof(usbdevfs_getdriver)));
      if (c.driver.empty()) return fail(ENODATA);
      std::snprintf(g->driver, sizeof(g->driver), "%s", c.driver.c_str());
      return 0;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      if (!c.disconnect_claim) return fail(ENOTTY);
      auto* d = static_cast<usbdevfs_disconnect_claim*>(at(sizeof(usbdevfs_disconnect_claim)));
      const bool named = c.driver == d->driver;
      if (!c.driver.empty() && c.owner != client) {
        if (((d->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named) ||
            ((d->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !named))
          return fail(EBUSY);
        c.driver.clear(), c.owner = nullptr;
      }
      return claim();
    }
    case USBDEVFS_IOCTL: {  // DISCONNECT unbinds whatever driver; CONNECT binds the kernel's
      auto* io = static_cast<usbdevfs_ioctl*>(at(sizeof(usbdevfs_ioctl)));
      if (unsigned(io->ioctl_code) == USBDEVFS_DISCONNECT) {
        if (c.driver.empty()) return fail(ENODATA);
        c.driver.clear(), c.owner = nullptr;
        return 0;
      }
      if (unsigned(io->ioctl_code) != USBDEVFS_CONNECT) return fail(ENOTTY);
      if (!c.driver.empty()) return fail(EBUSY);
      c.driver = c.kernel_driver;
      return c.driver.empty() ? 0 : 1;
    }
    case USBDEVFS_SUBMITURB: {
      const int e = Submit(c, client, Resolve(arg, 0, sizeof(usbdevfs_urb)));
      return e == 0 ? 0 : fail(e);
    }
    case USBDEVFS_DISCARDURB: {
      const auto addr = *reinterpret_cast<unsigned long*>(arg->data);
      for (Chip::Urb& u : c.urbs) {
        if (u.client != client || u.urb->client_addr != addr || u.done) continue;
        UrbOf(u.urb).status = -ENOENT, u.done = true;
        return 0;
      }
      return fail(EINVAL);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      Pump(c);
      auto it = std::find_if(c.urbs.begin(), c.urbs.end(),
                             [&](const Chip::Urb& u) { return u.client == client && u.done; });
      if (it == c.urbs.end()) return fail(c.plugged ? EAGAIN : ENODEV);
      UMockdevIoctlData* slot = Resolve(arg, 0, sizeof(void*));
      umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
      release->insert(release->end(), {slot, it->urb, it->buffer});
      c.urbs.erase(it);
      return 0;
    }
    default: return fail(ENOTTY);
  }
}

// Control transfers and bulk OUT complete at once; a bulk IN waits for data or the latency timer.
int FtdiTestbed::Submit(Chip& c, UMockdevIoctlClient* client, UMockdevIoctlData* urb_data) {
  usbdevfs_urb& urb = UrbOf(urb_data);
  UMockdevIoctlData* buffer =
      Resolve(urb_data, offsetof(usbdevfs_urb, buffer), std::size_t(urb.buffer_length));
  const std::uint64_t now = NowUs();
  Chip::Urb u{client, urb_data, buffer, now + c.latency_ms * 1000ull, true};
  urb.status = 0;
  urb.actual_length = urb.buffer_length;
  if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
    Control(c, buffer->data, &urb.actual_length, &urb.status);
  } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x02) {
    std::vector<kavro::emu::Board::Reply> replies;
    c.board.Receive(buffer->data, std::size_t(urb.buffer_length), double(now - start_us_) / 1e6,
                    replies);
    for (auto& r : replies) c.replies.push_back({now + r.delay_us, std::move(r.bytes)});
    if (c.unplug_after_frames != 0 && ++c.frames == c.unplug_after_frames) {
      c.urbs.push_back(u);
      Drop(c);
      return 0;
    }
  } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x81) {
    c.bulk_in_size = unsigned(urb.buffer_length);
    u.done = false;
  } else {
    g_object_unref(buffer), g_object_unref(urb_data);
    return EINVAL;
  }
  c.urbs.push_back(u);
  return 0;
}

void FtdiTestbed::Control(Chip& c, unsigned char* setup, int* length, int* status) {
  const unsigned int request = setup[1], value = setup[2] | setup[3] << 8;
  const int wanted = setup[6] | setup[7] << 8;
  std::vector<std::uint8_t> in;
  bool ok = true;
  if (setup[0] == 0x80 && request == 6) {  // GET_DESCRIPTOR
    const std::vector<std::uint8_t> all = Descriptors(c.pid, c.bcd_device);
    switch (value >> 8) {
      case 1: in.assign(all.begin(), all.begin() + 18); break;
      case 2: in.assign(all.begin() + 18, all.end()); break;
      case 3: {
        const unsigned int index = value & 0xFF;
        const char* texts[] = {"", "FTDI", c.description.c_str(), c.serial.c_str()};
        in = index == 0  ? std::vector<std::uint8_t>{4, 3, 0x09, 0x04}
             : index < 4 ? StringDescriptor(texts[index])
                         : std::vector<std::uint8_t>{};
        ok = !in.empty();
        break;
      }
      default: ok = false;
    }
  } else if (setup[0] == 0x40) {  // FTDI vendor requests, host to chip
    c.vendor_requests.push_back(request << 16 | value);
    if (request == 0 && value != 1) c.fifo.clear();  // reset, or purge of the chip-to-host FIFO
    if (request == 9) c.latency_ms = static_cast<unsigned char>(value);
  } else if (setup[0] == 0xC0 && request == 0x0A) {  // get latency timer
    in = {c.latency_ms};
  } else if (setup[0] == 0xC0 && request == 0x05) {  // poll modem status
    in.assign(kModemStatus, kModemStatus + 2);
  } else {
    ok = false;
  }
  if (!ok) {
    *status = -EPIPE;  // stall
    *length = 0;
    return;
  }
  *length = std::min<int>(int(in.size()), wanted);
  std::copy(in.begin(), in.begin() + *length, setup + 8);
  if ((setup[0] & 0x80) == 0) *length = wanted;
}

// Moves due replies into the chip's FIFO and answers the bulk IN transfers the chip would answer
// by now, in packets of two status bytes and up to 62 data bytes; a short packet ends one.
void FtdiTestbed::Pump(Chip& c) {
  const std::uint64_t now = NowUs();
  while (!c.replies.empty() && c.replies.front().delay_us <= now) {
    c.fifo.insert(c.fifo.end(), c.replies.front().bytes.begin(), c.replies.front().bytes.end());
    c.replies.pop_front();
  }
  for (Chip::Urb& u : c.urbs) {
    if (u.done) continue;
    if (c.fifo.empty() && now < u.due_us) return;
    usbdevfs_urb& urb = UrbOf(u.urb);
    unsigned char* out = u.buffer->data;
    int n = 0;
    while (urb.buffer_length - n >= 2) {
      out[n++] = kModemStatus[0], out[n++] = kModemStatus[1];
      int k = 0;
      for (; k < kPacket - 2 && n < urb.buffer_length && !c.fifo.empty(); ++k, ++n) {
        out[n] = c.fifo.front();
        c.fifo.pop_front();
      }
      if (k < kPacket - 2) break;
    }
    urb.actual_length = n;
    u.done = true;
  }
}

}  // namespace kavro::usbtest

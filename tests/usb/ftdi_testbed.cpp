// The FT232R's side of usbdevfs: claim and kernel-driver binding, control requests (standard
// descriptors and FTDI's vendor requests) and bulk transfers, OUT to the board and IN in the
// chip's form, two modem-status bytes at the start of every bulk packet (64 bytes at full speed,
// 512 on the high-speed chips).
#include "ftdi_testbed.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>

namespace kavro::usbtest {

namespace {

// The bulk packet of a chip: 512 bytes on the high-speed generations (FT2232H, FT4232H,
// FT232H), 64 on the full-speed ones.
int PacketSize(std::uint16_t bcd) {
  return bcd == 0x0700 || bcd == 0x0800 || bcd == 0x0900 ? 512 : 64;
}
constexpr std::uint8_t kModemStatus[2] = {0x01, 0x60};

// Device, configuration, interface and the two bulk endpoints (0x81 IN, 0x02 OUT).
std::vector<std::uint8_t> Descriptors(std::uint16_t pid, std::uint16_t bcd) {
  const std::uint8_t low = std::uint8_t(PacketSize(bcd)), high = std::uint8_t(PacketSize(bcd) >> 8);
  // clang-format off
  return {18, 1, 0x00, 0x02, 0, 0, 0, 8, 0x03, 0x04, std::uint8_t(pid), std::uint8_t(pid >> 8),
          std::uint8_t(bcd), std::uint8_t(bcd >> 8), 1, 2, 3, 1,
          9, 2, 32, 0, 1, 1, 0, 0xA0, 45,
          9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
          7, 5, 0x81, 2, low, high, 0,
          7, 5, 0x02, 2, low, high, 0};
  // clang-format on
}

std::uint64_t NowUs() {
  return std::uint64_t(g_get_monotonic_time());
}

usbdevfs_urb& UrbOf(UMockdevIoctlData* d) {
  return *reinterpret_cast<usbdevfs_urb*>(d->data);
}

// Unplugged: every transfer in flight ends with ESHUTDOWN, as the kernel ends them.
void Drop(Chip& c) {
  c.plugged = false;
  for (Chip::Urb& u : c.urbs) {
    if (!u.done) UrbOf(u.urb).status = -ESHUTDOWN, UrbOf(u.urb).actual_length = 0;
    u.done = true;
  }
}

void Control(Chip& c, unsigned char* setup, int* length, int* status) {
  const unsigned int request = setup[1], value = setup[2] | setup[3] << 8;
  std::vector<std::uint8_t> in;
  bool ok = true;
  if (setup[0] == 0x80 && request == 6) {  // GET_DESCRIPTOR
    const std::vector<std::uint8_t> all = Descriptors(c.pid, c.bcd_device);
    const unsigned int index = value & 0xFF;
    const std::string texts[] = {"", "FTDI", c.description, c.serial};
    if (value >> 8 == 1) in.assign(all.begin(), all.begin() + 18);
    if (value >> 8 == 2) in.assign(all.begin() + 18, all.end());
    if (value >> 8 == 3 && index == 0) in = {4, 3, 0x09, 0x04};  // US English only
    if (value >> 8 == 3 && index > 0 && index < 4) {
      in = {std::uint8_t(2 + 2 * texts[index].size()), 3};
      for (char ch : texts[index]) in.insert(in.end(), {std::uint8_t(ch), 0});
    }
    ok = !in.empty();
  } else if (setup[0] == 0x40) {  // FTDI vendor requests, host to chip
    c.vendor_requests.push_back(request << 16 | value);
    if (request == 0 && value != 1) c.fifo.clear();  // reset, or purge of the chip-to-host FIFO
    if (request == 9) c.latency_ms = static_cast<unsigned char>(value);
  } else if (setup[0] == 0xC0 && request == 0x0A) {  // get latency timer
    in = {c.latency_ms};
  } else {
    ok = false;
  }
  const int wanted = setup[6] | setup[7] << 8;
  *status = ok ? 0 : -EPIPE;  // a stall
  *length = ok ? std::min<int>(int(in.size()), wanted) : 0;
  std::copy(in.begin(), in.begin() + *length, setup + 8);
  if (ok && (setup[0] & 0x80) == 0) *length = wanted;
}

// Control transfers and bulk OUT complete at once; a bulk IN waits for data or the latency timer.
int Submit(Chip& c, UMockdevIoctlClient* client, UMockdevIoctlData* urb_data) {
  usbdevfs_urb& urb = UrbOf(urb_data);
  UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer),
                                                          std::size_t(urb.buffer_length), nullptr);
  const std::uint64_t now = NowUs();
  c.urbs.push_back({client, urb_data, buffer, now + c.latency_ms * 1000ull, true});
  urb.status = 0;
  urb.actual_length = urb.buffer_length;
  if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
    Control(c, buffer->data, &urb.actual_length, &urb.status);
  } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x02) {
    std::vector<kavro::emu::VirtualBoard::Reply> replies;
    c.board.Receive(buffer->data, std::size_t(urb.buffer_length),
                    double(now - c.plugged_at_us) / 1e6, replies);
    for (auto& r : replies) c.replies.push_back({now + r.delay_us, std::move(r.bytes)});
    if (c.unplug_after_frames != 0 && ++c.frames == c.unplug_after_frames) Drop(c);
  } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x81) {
    c.bulk_in_size = unsigned(urb.buffer_length);
    c.urbs.back().done = false;
  } else {
    c.urbs.pop_back();
    g_object_unref(buffer), g_object_unref(urb_data);
    return EINVAL;
  }
  return 0;
}

// Moves due replies into the chip's FIFO and answers the bulk IN transfers the chip would answer
// by now, in packets of two status bytes and up to 62 data bytes; a short packet ends one.
void Pump(Chip& c) {
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
    const int data = PacketSize(c.bcd_device) - 2;
    int n = 0, k = data;
    while (k == data && urb.buffer_length - n >= 2) {
      out[n++] = kModemStatus[0], out[n++] = kModemStatus[1];
      for (k = 0; k < data && n < urb.buffer_length && !c.fifo.empty(); ++k, ++n) {
        out[n] = c.fifo.front();
        c.fifo.pop_front();
      }
    }
    urb.actual_length = n;
    u.done = true;
  }
}

// The ioctl's result, or minus the errno it fails with.
long Ioctl(Chip& c, UMockdevIoctlClient* client, std::vector<UMockdevIoctlData*>* release) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto at = [&](std::size_t len) {  // the memory arg points to (each resolve a new reference)
    release->push_back(umockdev_ioctl_data_resolve(arg, 0, len, nullptr));
    return static_cast<void*>(release->back()->data);
  };
  auto claim = [&]() {
    if (c.owner != client && !c.driver.empty()) return -long(EBUSY);
    c.driver = "usbfs", c.owner = client;
    return 0L;
  };
  const bool reap = request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB;
  if (!c.plugged && !reap) return -ENODEV;
  switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
      return *static_cast<unsigned int*>(at(4)) == 0 ? claim() : -long(EINVAL);
    case USBDEVFS_RELEASEINTERFACE:
      if (c.owner != client) return -EINVAL;
      c.owner = nullptr, c.driver.clear();
      return 0;
    case USBDEVFS_DISCONNECT_CLAIM: {  // libusb asks to detach any driver except "usbfs"
      auto* d = static_cast<usbdevfs_disconnect_claim*>(at(sizeof(usbdevfs_disconnect_claim)));
      if (c.owner != client && c.driver != d->driver) c.driver.clear();
      return claim();
    }
    case USBDEVFS_IOCTL: {  // CONNECT binds the kernel's driver again
      auto* io = static_cast<usbdevfs_ioctl*>(at(sizeof(usbdevfs_ioctl)));
      if (unsigned(io->ioctl_code) != USBDEVFS_CONNECT) return -ENOTTY;
      if (!c.driver.empty()) return -EBUSY;
      c.driver = "ftdi_sio";
      return 1;
    }
    case USBDEVFS_SUBMITURB:
      return -Submit(c, client, umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
    case USBDEVFS_DISCARDURB: {
      const auto addr = *reinterpret_cast<unsigned long*>(arg->data);
      for (Chip::Urb& u : c.urbs) {
        if (u.client != client || u.urb->client_addr != addr || u.done) continue;
        UrbOf(u.urb).status = -ENOENT, u.done = true;
        return 0;
      }
      return -EINVAL;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      Pump(c);
      auto it = std::find_if(c.urbs.begin(), c.urbs.end(),
                             [&](const Chip::Urb& u) { return u.client == client && u.done; });
      if (it == c.urbs.end()) return c.plugged ? -EAGAIN : -ENODEV;
      UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
      umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
      release->insert(release->end(), {slot, it->urb, it->buffer});
      c.urbs.erase(it);
      return 0;
    }
    default: return -ENOTTY;
  }
}

int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* chip) {
  Chip& c = *static_cast<Chip*>(chip);
  std::vector<UMockdevIoctlData*> release;
  std::unique_lock<std::mutex> lock(c.mutex);
  const long result = Ioctl(c, client, &release);
  lock.unlock();
  umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? int(-result) : 0);
  for (UMockdevIoctlData* d : release) g_object_unref(d);
  return TRUE;
}

// A closed file gives up its claim and its transfers.
void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* chip) {
  Chip& c = *static_cast<Chip*>(chip);
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.owner == client) c.owner = nullptr, c.driver.clear();
  for (Chip::Urb& u : c.urbs)
    if (u.client == client) g_object_unref(u.urb), g_object_unref(u.buffer), u.client = nullptr;
  c.urbs.erase(std::remove_if(c.urbs.begin(), c.urbs.end(), [](auto& u) { return !u.client; }),
               c.urbs.end());
}

}  // namespace

FtdiTestbed::FtdiTestbed() : testbed_(umockdev_testbed_new()) {}

FtdiTestbed::~FtdiTestbed() {
  for (Chip& c : chips_) {
    for (Chip::Urb& u : c.urbs) g_object_unref(u.urb), g_object_unref(u.buffer);
    g_object_unref(c.handler);
  }
  g_object_unref(testbed_);
}

Chip& FtdiTestbed::Add(const std::string& serial, kavro::emu::VirtualBoard board,
                       std::uint16_t bcd_device, std::uint16_t pid,
                       const std::string& description) {
  Chip& c = chips_.emplace_back();
  c.serial = serial, c.description = description, c.board = std::move(board);
  c.bcd_device = bcd_device, c.pid = pid;
  c.plugged_at_us = NowUs();
  const unsigned int n = static_cast<unsigned int>(chips_.size());
  char text[1024];
  std::snprintf(text, sizeof(text), "/dev/bus/usb/001/%03u", n + 1);
  const std::string node = text;
  c.syspath = "/sys/devices/usb1/1-" + std::to_string(n);
  std::string hex;
  for (std::uint8_t b : Descriptors(pid, bcd_device))
    hex += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
  std::snprintf(text, sizeof(text),
                "P: /devices/usb1/1-%u\nN: %s\nE: DEVNAME=%s\nE: DEVTYPE=usb_device\n"
                "E: SUBSYSTEM=usb\nA: busnum=1\\n\nA: devnum=%u\\n\nA: speed=12\\n\n"
                "A: bConfigurationValue=1\\n\nA: dev=189:%u\\n\nH: descriptors=%s\n",
                n, node.c_str() + 5, node.c_str(), n + 1, n, hex.c_str());
  umockdev_testbed_add_from_string(testbed_, text, nullptr);
  c.handler = umockdev_ioctl_base_new();
  g_signal_connect(c.handler, "handle-ioctl", G_CALLBACK(OnIoctl), &c);
  g_signal_connect(c.handler, "client-vanished", G_CALLBACK(OnVanished), &c);
  umockdev_testbed_attach_ioctl(testbed_, node.c_str(), c.handler, nullptr);
  return c;
}

void FtdiTestbed::Unplug(Chip& chip) {
  {
    std::lock_guard<std::mutex> lock(chip.mutex);
    Drop(chip);
  }
  umockdev_testbed_uevent(testbed_, chip.syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, chip.syspath.c_str());
}

}  // namespace kavro::usbtest

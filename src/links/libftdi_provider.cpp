// D2XX's calls and semantics on top of libftdi1 (through the FtdiBackend seam): enumeration
// with per-channel entries, open by serial number or description, a private receive buffer
// that gives FT_GetStatus its queued-byte count, time-outs, purge and a registry of handles.
//
// Locking: the registry (open devices, the device-list snapshot, VID/PID, enumeration) has a
// lock of its own, held only for the lookup or the enumeration. Each open device has its own
// lock, held for the whole call on it: a read waiting out its time-out on one board holds up
// no other board.
#include "libftdi_provider.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

#include "clock_sum.h"

namespace kavro::ftdi {

namespace {

using kavro::FT_DEVICE_LIST_INFO_NODE;

struct ErrorRow {
  Operation op;
  int code;
  unsigned int status;
};

// libftdi1's codes are per function and overlap libusb's, so they are mapped per operation.
constexpr ErrorRow kErrorTable[] = {
    {Operation::kFind, kFindOutOfMemory, kFtInsufficientResources},
    {Operation::kFind, -5, kFtIoError},           // libusb_get_device_list failed
    {Operation::kFind, -6, kFtIoError},           // libusb_get_device_descriptor failed
    {Operation::kOpen, -3, kFtDeviceNotOpened},   // cannot set configuration
    {Operation::kOpen, -4, kFtDeviceNotOpened},   // libusb_open failed (permissions)
    {Operation::kOpen, -5, kFtDeviceNotOpened},   // claimed by a kernel driver or process
    {Operation::kOpen, -6, kFtIoError},           // reset failed
    {Operation::kOpen, -7, kFtIoError},           // baud-rate setup failed
    {Operation::kOpen, -8, kFtDeviceNotOpened},   // EPERM detaching the kernel driver
    {Operation::kOpen, -11, kFtDeviceNotOpened},  // detaching the kernel driver failed
    {Operation::kOpen, kOpenNoContext, kFtInsufficientResources},
    {Operation::kClose, -1, kFtIoError},  // releasing the interface failed
    {Operation::kRead, -666, kFtDeviceNotOpened},
    {Operation::kWrite, -666, kFtDeviceNotOpened},
    {Operation::kWrite, -1, kFtIoError},
    {Operation::kChunkSize, -1, kFtInvalidParameter},
    {Operation::kLatency, -1, kFtInvalidParameter},  // out of range
    {Operation::kLatency, -2, kFtIoError},           // USB transfer failed
    {Operation::kLatency, -3, kFtDeviceNotOpened},
    {Operation::kFlush, -1, kFtIoError},
    {Operation::kFlush, -2, kFtIoError},
    {Operation::kFlush, -3, kFtDeviceNotOpened},
};

// FT device type from the chip's bcdDevice, as libftdi1 itself detects the chip.
unsigned int TypeFromBcd(std::uint16_t bcd) {
  switch (bcd) {
    case 0x0200: return kFtDeviceAM;
    case 0x0400: return kFtDeviceBM;
    case 0x0500: return kFtDevice2232C;
    case 0x0600: return kFtDevice232R;
    case 0x0700: return kFtDevice2232H;
    case 0x0800: return kFtDevice4232H;
    case 0x0900: return kFtDevice232H;
    case 0x1000: return kFtDeviceXSeries;
    default: return kFtDeviceUnknown;
  }
}

constexpr std::uint16_t kFtdiVid = 0x0403;
constexpr unsigned int kFullSpeedPacketSize = 64;  // bytes of one USB bulk packet
constexpr std::uint16_t kDefaultPids[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

// One D2XX device: a chip, or one channel of a multi-channel chip.
struct Entry {
  UsbDevice usb;
  int interface = 0;
  std::string serial, description;
  unsigned int type = kFtDeviceUnknown;
};

struct OpenDevice {
  std::mutex mutex;     // held by every call on this device
  bool closed = false;  // a call that waited for the lock finds the device closed meanwhile
  void* context = nullptr;
  Entry entry;                         // fixed at the open
  std::deque<std::uint8_t> rx;         // received bytes not yet read by the application
  std::vector<std::uint8_t> transfer;  // one poll's USB transfer
  unsigned int read_timeout_ms = 0;
  unsigned int chunk = kFullSpeedPacketSize;
};

class Provider final : public kavro::LinkProvider {
 public:
  explicit Provider(std::unique_ptr<FtdiBackend> backend) : backend_(std::move(backend)) {}

  ~Provider() override {
    for (auto& [handle, dev] : open_) backend_->Close(dev->context);
  }

  unsigned int ListDevices(void* arg1, void* arg2, unsigned int flags) override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (flags == kFtListNumberOnly) {
      if (arg1 == nullptr) return kFtInvalidParameter;
      std::vector<Entry> list;
      if (unsigned int status = Enumerate(&list)) return status;
      *static_cast<unsigned int*>(arg1) = static_cast<unsigned int>(list.size());
      return kFtOk;
    }
    if ((flags & kFtListByIndex) == 0 || arg2 == nullptr) return kFtInvalidParameter;
    std::vector<Entry> list;
    if (unsigned int status = Enumerate(&list)) return status;
    const std::uintptr_t index = reinterpret_cast<std::uintptr_t>(arg1);
    if (index >= list.size()) return kFtDeviceNotFound;
    if ((flags & kFtOpenByDescription) != 0) {
      FillD2xxText(static_cast<char*>(arg2), kDescriptionSize, list[index].description);
    } else {
      FillD2xxText(static_cast<char*>(arg2), kSerialNumberSize, list[index].serial);
    }
    return kFtOk;
  }

  unsigned int Open(int index, void** handle) override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (handle == nullptr) return kFtInvalidParameter;
    std::vector<Entry> list;
    if (unsigned int status = Enumerate(&list)) return status;
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return kFtDeviceNotFound;
    return OpenEntry(list[static_cast<std::size_t>(index)], handle);
  }

  unsigned int OpenEx(void* arg1, unsigned int flags, void** handle) override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (arg1 == nullptr || handle == nullptr) return kFtInvalidParameter;
    if (flags != kFtOpenBySerialNumber && flags != kFtOpenByDescription) return kFtInvalidParameter;
    const std::string key(static_cast<const char*>(arg1));
    std::vector<Entry> list;
    if (unsigned int status = Enumerate(&list)) return status;
    for (const Entry& e : list) {
      if ((flags == kFtOpenBySerialNumber ? e.serial : e.description) == key)
        return OpenEntry(e, handle);
    }
    return kFtDeviceNotFound;
  }

  unsigned int Close(void* handle) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      const int rc = backend_->Close(dev.context);
      // The handle is gone whatever the close said; calls waiting for it find it closed.
      dev.closed = true;
      std::lock_guard<std::mutex> lock(registry_mutex_);
      open_.erase(handle);
      return rc < 0 ? MapError(Operation::kClose, rc) : kFtOk;
    });
  }

  unsigned int Read(void* handle, void* buffer, unsigned int count,
                    unsigned int* returned) override {
    if (returned != nullptr) *returned = 0;
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      if (buffer == nullptr || returned == nullptr) return kFtInvalidParameter;
      // Serve what is buffered; poll for the rest until the read time-out, as D2XX does.
      const std::uint64_t deadline =
          detail::LaterBy(backend_->NowMicroseconds(), std::uint64_t{dev.read_timeout_ms} * 1000);
      while (dev.rx.size() < count) {
        const unsigned int status = Poll(dev);
        if (status != kFtOk) return status;
        if (dev.rx.size() >= count || backend_->NowMicroseconds() >= deadline) break;
      }
      const unsigned int n =
          count < dev.rx.size() ? count : static_cast<unsigned int>(dev.rx.size());
      auto* out = static_cast<std::uint8_t*>(buffer);
      for (unsigned int i = 0; i < n; ++i) out[i] = dev.rx[i];
      dev.rx.erase(dev.rx.begin(), dev.rx.begin() + n);
      *returned = n;
      return kFtOk;
    });
  }

  unsigned int Write(void* handle, void* buffer, unsigned int count,
                     unsigned int* written) override {
    if (written != nullptr) *written = 0;
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      if (buffer == nullptr || written == nullptr) return kFtInvalidParameter;
      const int rc = backend_->Write(dev.context, static_cast<const std::uint8_t*>(buffer),
                                     static_cast<int>(count));
      if (rc < 0) return MapError(Operation::kWrite, rc);
      *written = static_cast<unsigned int>(rc);
      return kFtOk;
    });
  }

  unsigned int GetDeviceInfo(void* handle, unsigned int* device, unsigned int* id, char* serial,
                             char* description, void*) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      if (device != nullptr) *device = dev.entry.type;
      if (id != nullptr) *id = FtDeviceId(dev.entry.usb.vid, dev.entry.usb.pid);
      if (serial != nullptr) FillD2xxText(serial, kSerialNumberSize, dev.entry.serial);
      if (description != nullptr)
        FillD2xxText(description, kDescriptionSize, dev.entry.description);
      return kFtOk;
    });
  }

  unsigned int GetStatus(void* handle, unsigned int* rx_bytes, unsigned int* tx_bytes,
                         unsigned int* event) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      if (rx_bytes == nullptr || tx_bytes == nullptr || event == nullptr)
        return kFtInvalidParameter;
      // libftdi1 has no queue count: poll once into the private buffer and count that.
      if (unsigned int status = Poll(dev)) return status;
      *rx_bytes = static_cast<unsigned int>(dev.rx.size());
      *tx_bytes = 0;  // writes are synchronous
      *event = dev.rx.empty() ? 0 : 1;
      return kFtOk;
    });
  }

  unsigned int SetTimeouts(void* handle, unsigned int read_ms, unsigned int write_ms) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      dev.read_timeout_ms = read_ms;
      backend_->SetWriteTimeout(dev.context, static_cast<int>(write_ms));
      return kFtOk;
    });
  }

  unsigned int SetUSBParameters(void* handle, unsigned int in_size, unsigned int) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      if (in_size < 1 || in_size > 65536) return kFtInvalidParameter;
      // Whole USB packets only: libftdi1 strips two status bytes from each packet it reads.
      unsigned int packet = backend_->MaxPacketSize(dev.context);
      if (packet == 0) packet = kFullSpeedPacketSize;
      const unsigned int size = (in_size + packet - 1) / packet * packet;
      const int rc = backend_->SetChunkSize(dev.context, size);
      if (rc < 0) return MapError(Operation::kChunkSize, rc);
      dev.chunk = size;
      dev.rx.clear();  // as with D2XX, data held in the driver is lost
      return kFtOk;
    });
  }

  unsigned int SetLatencyTimer(void* handle, unsigned char ms) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      if (ms < 2) return kFtInvalidParameter;
      const int rc = backend_->SetLatency(dev.context, ms);
      return rc < 0 ? MapError(Operation::kLatency, rc) : kFtOk;
    });
  }

  unsigned int GetLatencyTimer(void* handle, unsigned char* ms) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      if (ms == nullptr) return kFtInvalidParameter;
      // ftdi_get_latency_timer answers -1 when the USB read failed, -2 with no device open.
      const int rc = backend_->GetLatency(dev.context, ms);
      if (rc == -2) return kFtDeviceNotOpened;
      return rc < 0 ? kFtIoError : kFtOk;
    });
  }

  unsigned int Purge(void* handle, unsigned int mask) override {
    return OnDevice(handle, [&](OpenDevice& dev) -> unsigned int {
      const bool rx = (mask & kFtPurgeRx) != 0, tx = (mask & kFtPurgeTx) != 0;
      if (!rx && !tx) return kFtOk;
      if (rx) dev.rx.clear();
      const int rc = backend_->Flush(dev.context, rx, tx);
      return rc < 0 ? MapError(Operation::kFlush, rc) : kFtOk;
    });
  }

  unsigned int CreateDeviceInfoList(unsigned int* count) override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (count == nullptr) return kFtInvalidParameter;
    std::vector<Entry> list;
    if (unsigned int status = Enumerate(&list)) return status;
    snapshot_.clear();
    for (std::size_t i = 0; i < list.size(); ++i) {
      const Entry& e = list[i];
      FT_DEVICE_LIST_INFO_NODE node{};
      void* ours = OwnHandle(e);
      node.Flags = (ours ? kFtFlagsOpened : 0u) | (e.usb.high_speed ? kFtFlagsHiSpeed : 0u);
      node.Type = e.type;
      node.ID = FtDeviceId(e.usb.vid, e.usb.pid);
      node.LocId = static_cast<unsigned int>(i + 1);
      FillD2xxText(node.SerialNumber, sizeof(node.SerialNumber), e.serial);
      FillD2xxText(node.Description, sizeof(node.Description), e.description);
      node.ftHandle = ours;
      snapshot_.push_back(node);
    }
    *count = static_cast<unsigned int>(snapshot_.size());
    return kFtOk;
  }

  unsigned int GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, unsigned int* count) override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (list == nullptr || count == nullptr) return kFtInvalidParameter;
    const std::size_t n = *count < snapshot_.size() ? *count : snapshot_.size();
    std::copy_n(snapshot_.begin(), n, list);
    *count = static_cast<unsigned int>(n);
    return kFtOk;
  }

  unsigned int SetVIDPID(unsigned int vid, unsigned int pid) override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (vid > 0xFFFF || pid > 0xFFFF) return kFtInvalidParameter;
    vid_ = static_cast<std::uint16_t>(vid);
    pid_ = static_cast<std::uint16_t>(pid);
    return kFtOk;
  }

  unsigned int GetVIDPID(unsigned int* vid, unsigned int* pid) override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    if (vid == nullptr || pid == nullptr) return kFtInvalidParameter;
    *vid = vid_;
    *pid = pid_;
    return kFtOk;
  }

  std::uint64_t NowMicroseconds() override { return backend_->NowMicroseconds(); }

  // The status query is the wait: its USB transfer ends only when the chip sends a packet, which
  // it does when bytes come or else once every latency-timer period (2 ms as the library sets
  // it). So the next query may come at once; a sleep here would only make replies later.
  unsigned int WaitForRx(void*, unsigned int, std::uint64_t) override { return kFtOk; }

  // The last libftdi1 failure message: it often says why a board cannot be opened (a kernel
  // driver holds it, no permission).
  std::string Diagnostic() const override {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    return backend_->LastError();
  }

  std::string Name() const override { return "libftdi1"; }

 private:
  // Lists the FTDI chips with the default VID/PIDs and the one set by SetVIDPID, one entry
  // per channel, with D2XX's channel suffixes.
  unsigned int Enumerate(std::vector<Entry>* list) {
    std::vector<UsbDevice> found;
    backend_->BeginEnumeration();
    for (std::uint16_t pid : kDefaultPids) {
      const int rc = backend_->FindAll(kFtdiVid, pid, &found);
      if (rc < 0) return MapError(Operation::kFind, rc);
    }
    bool searched = false;  // already among the defaults?
    for (std::uint16_t pid : kDefaultPids) searched = searched || (vid_ == kFtdiVid && pid_ == pid);
    if (!searched) {
      const int rc = backend_->FindAll(vid_, pid_, &found);
      if (rc < 0) return MapError(Operation::kFind, rc);
    }
    for (const UsbDevice& usb : found) {
      const int channels = usb.interfaces < 1 ? 1 : (usb.interfaces > 4 ? 4 : usb.interfaces);
      for (int i = 0; i < channels; ++i) {
        Entry e;
        e.usb = usb;
        e.interface = i;
        e.type = TypeFromBcd(usb.bcd_device);
        e.serial = usb.serial;
        e.description = usb.description;
        if (channels > 1 && usb.strings_read) {
          e.serial += static_cast<char>('A' + i);
          e.description += std::string(" ") + static_cast<char>('A' + i);
        }
        // Always room for the terminator, as in D2XX's own lists.
        if (e.serial.size() >= kSerialNumberSize) e.serial.resize(kSerialNumberSize - 1);
        if (e.description.size() >= kDescriptionSize) e.description.resize(kDescriptionSize - 1);
        list->push_back(std::move(e));
      }
    }
    return kFtOk;
  }

  unsigned int OpenEntry(const Entry& e, void** handle) {
    if (OwnHandle(e) != nullptr) return kFtDeviceNotOpened;
    int error = 0;
    unsigned int type = e.type;
    void* context = backend_->Open(e.usb.device, e.interface, &error, &type);
    if (context == nullptr) return MapError(Operation::kOpen, error);
    auto dev = std::make_shared<OpenDevice>();
    dev->context = context;
    dev->entry = e;
    dev->entry.type = type;
    void* h = dev.get();
    open_[h] = std::move(dev);
    *handle = h;
    return kFtOk;
  }

  void* OwnHandle(const Entry& e) {
    for (auto& [handle, dev] : open_) {
      if (dev->entry.usb.device == e.usb.device && dev->entry.interface == e.interface)
        return handle;
    }
    return nullptr;
  }

  // Runs body on the open device behind handle, under that device's lock; unknown or closed
  // handles give FT_INVALID_HANDLE. The registry lock is held only for the lookup.
  template <typename Body>
  unsigned int OnDevice(void* handle, Body body) {
    std::shared_ptr<OpenDevice> dev;
    {
      std::lock_guard<std::mutex> lock(registry_mutex_);
      auto it = open_.find(handle);
      if (it == open_.end()) return kFtInvalidHandle;
      dev = it->second;  // keeps the device alive should a close on another thread win
    }
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (dev->closed) return kFtInvalidHandle;
    return body(*dev);
  }

  // One full-chunk read into the private buffer; 0 bytes is a status-only transfer.
  unsigned int Poll(OpenDevice& dev) {
    dev.transfer.resize(dev.chunk);
    const int rc =
        backend_->Read(dev.context, dev.transfer.data(), static_cast<int>(dev.transfer.size()));
    if (rc < 0) return MapError(Operation::kRead, rc);
    dev.rx.insert(dev.rx.end(), dev.transfer.begin(), dev.transfer.begin() + rc);
    return kFtOk;
  }

  std::unique_ptr<FtdiBackend> backend_;
  mutable std::mutex registry_mutex_;
  std::map<void*, std::shared_ptr<OpenDevice>> open_;
  std::vector<FT_DEVICE_LIST_INFO_NODE> snapshot_;
  std::uint16_t vid_ = kFtdiVid, pid_ = 0x6001;
};

}  // namespace

unsigned int MapError(Operation op, int code) {
  for (const ErrorRow& row : kErrorTable) {
    if (row.op == op && row.code == code) return row.status;
  }
  // Unlisted failures: transfers and flushes are I/O errors (a libusb error, an unplug),
  // everything else a generic failure.
  switch (op) {
    case Operation::kRead:
    case Operation::kWrite:
    case Operation::kFlush: return kFtIoError;
    default: return kFtOtherError;
  }
}

std::unique_ptr<kavro::LinkProvider> MakeProvider(std::unique_ptr<FtdiBackend> backend) {
  return std::make_unique<Provider>(std::move(backend));
}

}  // namespace kavro::ftdi

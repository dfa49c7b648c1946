// The real libftdi1 (and libusb) calls behind the libftdi1 provider.
#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <cstring>

#include "libftdi_provider.h"

namespace kavro::ftdi {

namespace {

class LibftdiBackend final : public FtdiBackend {
 public:
  ~LibftdiBackend() override {
    BeginEnumeration();
    if (list_ != nullptr) ftdi_free(list_);
  }

  void BeginEnumeration() override {
    for (libusb_device* d : found_) libusb_unref_device(d);
    found_.clear();
  }

  // One libusb context for every enumeration, kept while the backend lives: a device found
  // belongs to the context that found it and is opened in it, so the context must outlive
  // every open handle, and the same chip stays the same device from one enumeration to the
  // next (which tells the provider a chip is already open).
  int FindAll(std::uint16_t vid, std::uint16_t pid, std::vector<UsbDevice>* out) override {
    if (list_ == nullptr && (list_ = ftdi_new()) == nullptr) return kFindOutOfMemory;
    ftdi_context* ctx = list_;
    ftdi_device_list* list = nullptr;
    const int count = ftdi_usb_find_all(ctx, &list, vid, pid);
    if (count < 0) {
      Remember(ctx);
      return count;
    }
    for (ftdi_device_list* item = list; item != nullptr; item = item->next) {
      UsbDevice d;
      d.device = item->dev;
      libusb_ref_device(item->dev);  // kept until the next enumeration
      found_.push_back(item->dev);
      libusb_device_descriptor desc{};
      if (libusb_get_device_descriptor(item->dev, &desc) == 0) {
        d.vid = desc.idVendor;
        d.pid = desc.idProduct;
        d.bcd_device = desc.bcdDevice;
      }
      libusb_config_descriptor* config = nullptr;
      if (libusb_get_config_descriptor(item->dev, 0, &config) == 0) {
        d.interfaces = config->bNumInterfaces;
        libusb_free_config_descriptor(config);
      }
      d.high_speed = libusb_get_device_speed(item->dev) >= LIBUSB_SPEED_HIGH;
      char description[kDescriptionSize] = {}, serial[kSerialNumberSize] = {};
      // get_strings2 leaves an open device alone (get_strings would close it).
      if (ftdi_usb_get_strings2(ctx, item->dev, nullptr, 0, description, sizeof(description),
                                serial, sizeof(serial)) == 0) {
        d.description.assign(description, strnlen(description, sizeof(description)));
        d.serial.assign(serial, strnlen(serial, sizeof(serial)));
      } else {
        d.strings_read = false;  // listed all the same, as D2XX lists devices open elsewhere
      }
      out->push_back(d);
    }
    ftdi_list_free(&list);
    return count;
  }

  // The FT device type the provider knows from bcdDevice is the one libftdi1 detects too, so
  // *ft_type is left as it is.
  void* Open(void* device, int interface, int* error, unsigned int*) override {
    ftdi_context* ctx = ftdi_new();
    if (ctx == nullptr) {
      *error = kOpenNoContext;
      return nullptr;
    }
    // The kernel's serial driver gives up this chip's interface while it is open and gets it
    // back on close; other USB-serial adapters keep theirs, so nobody needs rmmod.
    ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    int rc = ftdi_set_interface(ctx, static_cast<ftdi_interface>(INTERFACE_A + interface));
    if (rc == 0) rc = ftdi_usb_open_dev(ctx, static_cast<libusb_device*>(device));
    if (rc < 0) {
      *error = rc;
      Remember(ctx);
      ftdi_free(ctx);
      return nullptr;
    }
    return ctx;
  }

  int Close(void* context) override {
    auto* ctx = static_cast<ftdi_context*>(context);
    const int rc = ftdi_usb_close(ctx);
    ftdi_free(ctx);
    return rc;
  }

  int Read(void* context, std::uint8_t* buffer, int size) override {
    return ftdi_read_data(static_cast<ftdi_context*>(context), buffer, size);
  }
  int Write(void* context, const std::uint8_t* buffer, int size) override {
    return ftdi_write_data(static_cast<ftdi_context*>(context), buffer, size);
  }
  int SetChunkSize(void* context, unsigned int size) override {
    return ftdi_read_data_set_chunksize(static_cast<ftdi_context*>(context), size);
  }
  int SetLatency(void* context, unsigned char ms) override {
    return ftdi_set_latency_timer(static_cast<ftdi_context*>(context), ms);
  }
  int GetLatency(void* context, unsigned char* ms) override {
    return ftdi_get_latency_timer(static_cast<ftdi_context*>(context), ms);
  }
  int Flush(void* context, bool rx, bool tx) override {
    auto* ctx = static_cast<ftdi_context*>(context);
    if (rx && tx) return ftdi_tcioflush(ctx);
    return rx ? ftdi_tciflush(ctx) : ftdi_tcoflush(ctx);
  }
  void SetWriteTimeout(void* context, int ms) override {
    static_cast<ftdi_context*>(context)->usb_write_timeout = ms;
  }
  unsigned int MaxPacketSize(void* context) override {
    return static_cast<ftdi_context*>(context)->max_packet_size;
  }
  std::uint64_t NowMicroseconds() override { return SteadyMicroseconds(); }

  std::string LastError() const override { return last_error_; }

 private:
  // Keeps libftdi1's message for the failure just seen (it has none before the first failure).
  void Remember(ftdi_context* ctx) {
    const char* text = ftdi_get_error_string(ctx);
    last_error_ = text != nullptr ? text : "";
  }

  ftdi_context* list_ = nullptr;  // the enumeration context
  std::vector<libusb_device*> found_;
  std::string last_error_;
};

}  // namespace

}  // namespace kavro::ftdi

namespace kavro {

bool LibftdiLinkAvailable() {
  return true;
}

LinkProvider* NewLibftdiLink() {
  return ftdi::MakeProvider(std::make_unique<ftdi::LibftdiBackend>()).release();
}

}  // namespace kavro

// The libftdi1 provider: D2XX semantics over scripted libftdi1 answers, a whole command through
// it, and the real libftdi1 on a machine with no board.
#include <cstring>
#include <map>
#include <memory>

#include "fixture.h"
#include "libftdi_provider.h"

namespace {

using kavro::ftdi::FtdiBackend;
using kavro::ftdi::UsbDevice;

// libftdi1 as a script: the chips on the bus, and per open chip the bytes its reads return.
// A chip can carry an emulated board that answers what is written to it.
class ScriptedFtdi final : public FtdiBackend {
 public:
  struct Chip {
    UsbDevice usb;
    int open_error = 0;           // what ftdi_usb_open_dev answers (0: success)
    std::deque<int> read_errors;  // negative codes the next reads return
    std::deque<Bytes> transfers;  // what successive reads return (empty: status-only)
    Board* board = nullptr;
    std::vector<Bytes> written;
    unsigned int chunk = 0;
    int write_timeout = 5000;
    unsigned char latency = 16;
    int flushes = 0;
    int open_count = 0;
  };

  std::vector<Chip> chips;
  void Add(const UsbDevice& usb) {
    chips.emplace_back();
    chips.back().usb = usb;
  }
  int find_error = 0;
  std::uint64_t now = 0;

  int FindAll(std::uint16_t vid, std::uint16_t pid, std::vector<UsbDevice>* out) override {
    if (find_error) return find_error;
    int n = 0;
    for (Chip& c : chips) {
      if (c.usb.vid == vid && c.usb.pid == pid) {
        out->push_back(c.usb);
        ++n;
      }
    }
    return n;
  }
  void* Open(void* device, int, int* error, unsigned int* type) override {
    for (Chip& c : chips) {
      if (c.usb.device != device) continue;
      if (c.open_error) {
        *error = c.open_error;
        return nullptr;
      }
      ++c.open_count;
      *type = 5;
      return &c;
    }
    *error = -3;
    return nullptr;
  }
  int Close(void* ctx) override {
    --static_cast<Chip*>(ctx)->open_count;
    return 0;
  }
  int Read(void* ctx, std::uint8_t* buffer, int size) override {
    Chip& c = *static_cast<Chip*>(ctx);
    now += 100;
    if (!c.read_errors.empty()) {
      const int e = c.read_errors.front();
      c.read_errors.pop_front();
      return e;
    }
    if (c.transfers.empty()) return 0;  // only the two modem-status bytes came
    Bytes& t = c.transfers.front();
    if (t.empty()) {  // a transfer with only the modem-status bytes
      c.transfers.pop_front();
      return 0;
    }
    const int n = static_cast<int>(t.size()) < size ? static_cast<int>(t.size()) : size;
    std::memcpy(buffer, t.data(), static_cast<std::size_t>(n));
    t.erase(t.begin(), t.begin() + n);
    if (t.empty()) c.transfers.pop_front();
    return n;
  }
  int Write(void* ctx, const std::uint8_t* buffer, int size) override {
    Chip& c = *static_cast<Chip*>(ctx);
    c.written.emplace_back(buffer, buffer + size);
    if (c.board != nullptr) {
      std::vector<Board::Reply> replies;
      c.board->Receive(buffer, static_cast<std::size_t>(size), 0, replies);
      // The reply comes back two bytes per USB transfer, after one empty transfer.
      for (const Board::Reply& r : replies) {
        c.transfers.push_back({});
        for (std::size_t i = 0; i < r.bytes.size(); i += 2)
          c.transfers.push_back(
              Bytes(r.bytes.begin() + static_cast<long>(i),
                    r.bytes.begin() + static_cast<long>(std::min(i + 2, r.bytes.size()))));
      }
    }
    return size;
  }
  int SetChunkSize(void* ctx, unsigned int size) override {
    static_cast<Chip*>(ctx)->chunk = size;
    return 0;
  }
  int SetLatency(void* ctx, unsigned char ms) override {
    static_cast<Chip*>(ctx)->latency = ms;
    return 0;
  }
  int GetLatency(void* ctx, unsigned char* ms) override {
    *ms = static_cast<Chip*>(ctx)->latency;
    return 0;
  }
  int Flush(void* ctx, bool, bool) override {
    Chip& c = *static_cast<Chip*>(ctx);
    ++c.flushes;
    c.transfers.clear();
    return 0;
  }
  void SetWriteTimeout(void* ctx, int ms) override { static_cast<Chip*>(ctx)->write_timeout = ms; }
  unsigned int MaxPacketSize(void*) override { return 64; }
  std::uint64_t NowMicroseconds() override { return now += 5; }
  std::string LastError() const override { return last_error; }
  std::string last_error;
};

UsbDevice Chip(std::uintptr_t id, std::uint16_t pid, const char* serial, const char* desc,
               int interfaces, std::uint16_t bcd = 0x0600) {
  UsbDevice d;
  d.device = reinterpret_cast<void*>(id);
  d.vid = 0x0403;
  d.pid = pid;
  d.bcd_device = bcd;
  d.interfaces = interfaces;
  d.serial = serial;
  d.description = desc;
  return d;
}

class Libftdi : public ::testing::Test {
 protected:
  void SetUp() override {
    auto backend = std::make_unique<ScriptedFtdi>();
    ftdi = backend.get();
    ftdi->Add(Chip(1, 0x6001, "KV0001", "KAVRO USB Interface", 1));
    ftdi->Add(Chip(2, 0x6010, "FT2232X", "Dual RS232", 2, 0x0700));
    provider = kavro::ftdi::MakeProvider(std::move(backend));
    dll.UseLink(provider.get());
  }
  void OpenKv0001() {
    char serial[] = "KV0001";
    dll.Open_Device_Connection(serial);
    ASSERT_NE(dll.DeviceHandle, nullptr) << dll.ErrorText;
  }
  ScriptedFtdi* ftdi = nullptr;
  std::unique_ptr<kavro::LinkProvider> provider;
  KAVRO_USB_DLL dll;
};

TEST_F(Libftdi, EnumeratesEachChannelWithD2xxSuffixes) {
  EXPECT_EQ(dll.Get_Device_Count(), "3");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(0)), "KV0001");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(1)), "FT2232XA");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(2)), "FT2232XB");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(3)), "Error");
  EXPECT_STREQ(dll.ErrorText, "Device Not Found");

  unsigned int n = 0;
  ASSERT_EQ(provider->CreateDeviceInfoList(&n), 0u);
  ASSERT_EQ(n, 3u);
  std::vector<kavro::FT_DEVICE_LIST_INFO_NODE> list(n);
  ASSERT_EQ(provider->GetDeviceInfoList(list.data(), &n), 0u);
  EXPECT_STREQ(list[2].Description, "Dual RS232 B");
  EXPECT_EQ(list[2].Type, 6u);
  EXPECT_EQ(list[0].ID, 0x04036001u);

  // A chip whose strings cannot be read (no permission) is still counted.
  UsbDevice hidden = Chip(3, 0x6014, "", "", 1);
  hidden.strings_read = false;
  ftdi->Add(hidden);
  EXPECT_EQ(dll.Get_Device_Count(), "4");

  // A custom VID/PID is searched as well.
  UsbDevice custom = Chip(4, 0xBEEF, "CUSTOM", "Custom", 1);
  custom.vid = 0x1234;
  ftdi->Add(custom);
  EXPECT_EQ(dll.Get_Device_Count(), "4");
  EXPECT_EQ(provider->SetVIDPID(0x1234, 0xBEEF), 0u);
  EXPECT_EQ(dll.Get_Device_Count(), "5");

  ftdi->find_error = -5;
  EXPECT_EQ(dll.Get_Device_Count(), "Error");
  EXPECT_STREQ(dll.ErrorText, "IO Error");
}

TEST_F(Libftdi, OpensBySerialAndAppliesTheSettings) {
  OpenKv0001();
  EXPECT_EQ(dll.ftDevice, 5u);
  EXPECT_EQ(ftdi->chips[0].open_count, 1);
  EXPECT_EQ(ftdi->chips[0].write_timeout, 500);
  EXPECT_EQ(ftdi->chips[0].chunk, 64u);  // 8 rounded up to a whole USB packet
  EXPECT_EQ(ftdi->chips[0].latency, 2);
  unsigned char latency = 0;
  EXPECT_EQ(provider->GetLatencyTimer(dll.DeviceHandle, &latency), 0u);
  EXPECT_EQ(latency, 2);
  EXPECT_EQ(provider->SetLatencyTimer(dll.DeviceHandle, 1), 6u);

  // Open twice: refused; the second channel of the dual chip opens by its suffixed serial.
  KAVRO_USB_DLL other;
  other.UseLink(provider.get());
  char same[] = "KV0001";
  other.Open_Device_Connection(same);
  EXPECT_EQ(other.ErrorStatus, 3u);
  char channel_b[] = "FT2232XB";
  other.Open_Device_Connection(channel_b);
  EXPECT_NE(other.DeviceHandle, nullptr) << other.ErrorText;
}

TEST_F(Libftdi, OpenErrorsAreMapped) {
  ftdi->chips[0].open_error = -5;  // claimed by ftdi_sio or another process
  ftdi->last_error = "unable to claim usb device";
  char serial[] = "KV0001";
  dll.Open_Device_Connection(serial);
  EXPECT_EQ(dll.ErrorStatus, 3u);
  EXPECT_STREQ(dll.ErrorText, "Device Not Opened");
  EXPECT_EQ(provider->Diagnostic(), "unable to claim usb device");
  ftdi->chips[0].open_error = -7;
  dll.Open_Device_Connection(serial);
  EXPECT_EQ(dll.ErrorStatus, 4u);
  char unknown[] = "NOPE";
  dll.Open_Device_Connection(unknown);
  EXPECT_EQ(dll.ErrorStatus, 2u);
  EXPECT_EQ(kavro::ftdi::MapError(kavro::ftdi::Operation::kOpen, -4), 3u);
  EXPECT_EQ(kavro::ftdi::MapError(kavro::ftdi::Operation::kLatency, -3), 3u);
}

TEST_F(Libftdi, QueueCountComesFromPollsIntoThePrivateBuffer) {
  OpenKv0001();
  void* h = dll.DeviceHandle;
  auto& chip = ftdi->chips[0];
  chip.transfers = {{}, B({1, 2}), B({3})};  // a status-only transfer, then data over two polls
  unsigned int rx = 9, tx = 9, ev = 9;
  EXPECT_EQ(provider->GetStatus(h, &rx, &tx, &ev), 0u);
  EXPECT_EQ(rx, 0u);
  EXPECT_EQ(provider->GetStatus(h, &rx, &tx, &ev), 0u);
  EXPECT_EQ(rx, 2u);
  EXPECT_EQ(provider->GetStatus(h, &rx, &tx, &ev), 0u);
  EXPECT_EQ(rx, 3u);
  std::uint8_t buf[8] = {};
  unsigned int got = 0;
  EXPECT_EQ(provider->Read(h, buf, 3, &got), 0u);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(Bytes(buf, buf + 3), B({1, 2, 3}));

  // A read asking for more than arrives returns what came by the read time-out.
  chip.transfers = {B({4})};
  EXPECT_EQ(provider->Read(h, buf, 5, &got), 0u);
  EXPECT_EQ(got, 1u);

  // Purge empties the private buffer and flushes the chip.
  chip.transfers = {B({5, 6})};
  EXPECT_EQ(provider->GetStatus(h, &rx, &tx, &ev), 0u);
  EXPECT_EQ(rx, 2u);
  EXPECT_EQ(provider->Purge(h, 3), 0u);
  EXPECT_EQ(chip.flushes, 1);
  EXPECT_EQ(provider->GetStatus(h, &rx, &tx, &ev), 0u);
  EXPECT_EQ(rx, 0u);

  // An unplug during a read is an I/O error.
  chip.read_errors = {-4};
  EXPECT_EQ(provider->Read(h, buf, 1, &got), 4u);
}

TEST_F(Libftdi, DoubleCloseAndStaleHandles) {
  OpenKv0001();
  void* h = dll.DeviceHandle;
  dll.Close_Device_Connection(h);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_EQ(ftdi->chips[0].open_count, 0);
  dll.Close_Device_Connection(h);
  EXPECT_EQ(dll.ErrorStatus, 1u);
  unsigned int rx, tx, ev;
  EXPECT_EQ(provider->GetStatus(h, &rx, &tx, &ev), 1u);
  EXPECT_EQ(provider->GetStatus(nullptr, &rx, &tx, &ev), 1u);
}

TEST_F(Libftdi, AWholeCommandRunsThroughTheProvider) {
  Board board = Board::Common();
  board.forced_readings.push_back({2, 0, 0x01, 0x00});
  ftdi->chips[0].board = &board;
  OpenKv0001();
  EXPECT_EQ(dll.Normal_Data_Request(dll.DeviceHandle, 0), "256") << dll.ErrorText;
  ASSERT_EQ(board.transcript.size(), 2u);
  EXPECT_EQ(board.transcript[1], B({2, 4, 0x42, 0xAA}));
  EXPECT_EQ(dll.PacketReceived,
            "020842020001"
            "00aa");

  // The board goes away in the middle of a command: an I/O error, reported as such.
  ftdi->chips[0].read_errors = {-4};
  EXPECT_EQ(dll.Slave_Activity_Inquiry(dll.DeviceHandle), "Error");
  EXPECT_EQ(dll.ErrorStatus, 4u);
  EXPECT_STREQ(dll.ErrorText, "IO Error");
}

#ifdef KAVRO_HAVE_LIBFTDI
// The real libftdi1 on this machine, where no board is attached.
TEST(RealLibftdi, NoBoardAttached) {
  ASSERT_TRUE(kavro::LibftdiLinkAvailable());
  std::unique_ptr<kavro::LinkProvider> link(kavro::NewLibftdiLink());
  ASSERT_NE(link, nullptr);
  KAVRO_USB_DLL dll;
  dll.UseLink(link.get());
  EXPECT_EQ(dll.Get_Device_Count(), "0") << dll.ErrorText;
  EXPECT_EQ(dll.Get_Device_Serial_Number(nullptr), "Error");
  EXPECT_EQ(dll.ErrorStatus, 2u);
  EXPECT_STREQ(dll.ErrorText, "Device Not Found");
  char serial[] = "KV0001";
  dll.Open_Device_Connection(serial);
  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, 2u);
  EXPECT_STREQ(dll.ErrorText, "Device Not Found");
}
#endif

}  // namespace

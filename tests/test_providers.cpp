// The link providers that can run here, held to one D2XX contract: the emulator, and the
// libftdi1 provider over scripted libftdi1 answers. Then what only a script can make libftdi1 do.
#include <deque>
#include <memory>

#include "fixture.h"
#include "links/libftdi_provider.h"

namespace {

template <typename T>
T Pop(std::deque<T>& queue) {
  if (queue.empty()) return T();
  T front = std::move(queue.front());
  queue.pop_front();
  return front;
}

// libftdi1 as a script, for what libftdi1 cannot be made to do on a simulated USB device: the
// chips on the bus and what their reads and requests return. A chip can carry an emulated board
// that answers what is written to it, two bytes per USB transfer.
class ScriptedFtdi final : public kavro::ftdi::FtdiBackend {
 public:
  struct Chip {
    kavro::ftdi::UsbDevice usb;
    std::unique_ptr<VirtualBoard> board;
    std::deque<int> errors;       // failures the next reads return
    std::deque<Bytes> transfers;  // then what they return; {} carries the status bytes only
    int latency_error = 0, flush_error = 0;
    unsigned int packet = 64, chunk = 0;
    bool open = false;
  };
  std::deque<Chip> chips;
  int find_error = 0, reads = 0;
  std::uint64_t now = 0;  // the clock moves by 100 us with every read

  Chip& Add(std::string serial, std::string description = "", int interfaces = 1) {
    Chip& c = chips.emplace_back();
    c.usb = {&c, 0x0403, 0x6001, 0x0600, interfaces, false, true, serial, description};
    return c;
  }
  static Chip& Of(void* context) { return *static_cast<Chip*>(context); }

  int FindAll(std::uint16_t vid, std::uint16_t pid,
              std::vector<kavro::ftdi::UsbDevice>* out) override {
    for (const Chip& c : chips)
      if (c.usb.vid == vid && c.usb.pid == pid) out->push_back(c.usb);
    return find_error;
  }
  void* Open(void* device, int, int*, unsigned int*) override {
    Of(device).open = true;
    return device;
  }
  int Close(void* context) override {
    Of(context).open = false;
    return 0;
  }
  int Read(void* context, std::uint8_t* buffer, int) override {
    now += 100;
    if (++reads > 100000) return -4;  // a wait that would never end: the chip goes away
    if (const int error = Pop(Of(context).errors)) return error;
    const Bytes transfer = Pop(Of(context).transfers);
    std::copy(transfer.begin(), transfer.end(), buffer);
    return static_cast<int>(transfer.size());
  }
  int Write(void* context, const std::uint8_t* buffer, int size) override {
    Chip& c = Of(context);
    std::vector<VirtualBoard::Reply> replies;
    if (c.board) c.board->Receive(buffer, static_cast<std::size_t>(size), 0, replies);
    for (const VirtualBoard::Reply& r : replies) {
      c.transfers.emplace_back();
      for (std::size_t i = 0; i < r.bytes.size(); i += 2)
        c.transfers.emplace_back(r.bytes.begin() + i,
                                 r.bytes.begin() + std::min(i + 2, r.bytes.size()));
    }
    return size;
  }
  int SetChunkSize(void* context, unsigned int size) override {
    Of(context).chunk = size;
    return 0;
  }
  int SetLatency(void* context, unsigned char) override { return Of(context).latency_error; }
  int GetLatency(void* context, unsigned char*) override { return Of(context).latency_error; }
  int Flush(void* context, bool rx, bool) override {
    if (rx) Of(context).transfers.clear();
    return Of(context).flush_error;
  }
  void SetWriteTimeout(void*, int) override {}
  unsigned int MaxPacketSize(void* context) override { return Of(context).packet; }
  std::uint64_t NowMicroseconds() override { return now; }
};

// A provider with the board KV0001 behind it.
struct Rig {
  std::unique_ptr<kavro::LinkProvider> link;
  VirtualBoard* board;
  std::function<void()> fail_next_transfer;  // as when the board is unplugged
  ScriptedFtdi* ftdi = nullptr;              // the script behind a libftdi1 provider
  ScriptedFtdi::Chip* chip = nullptr;        // and its chip KV0001
};

Rig Emulator() {
  auto bus = std::make_unique<VirtualBus>();
  VirtualBus* b = bus.get();
  VirtualBoard* board = &bus->AddDevice("KV0001").board;
  return {std::move(bus), board, [b] { b->FailCall(Call::kGetStatus, 4); }};
}

Rig ScriptedLibftdi() {
  auto backend = std::make_unique<ScriptedFtdi>();
  ScriptedFtdi* ftdi = backend.get();
  ScriptedFtdi::Chip& chip = ftdi->Add("KV0001", "KAVRO USB Interface");
  chip.board = std::make_unique<VirtualBoard>();
  return {kavro::ftdi::MakeProvider(std::move(backend)), chip.board.get(),
          [&chip] { chip.errors.push_back(-4); }, ftdi, &chip};
}

// KV0001 opened through the rig's provider.
class Opened : public ::testing::Test {
 protected:
  void Start(Rig (*make)()) {
    rig = make();
    dll.UseLink(rig.link.get());
    other.UseLink(rig.link.get());
    dll.Open_Device_Connection(serial);
    ASSERT_NE(h = dll.DeviceHandle, nullptr) << dll.ErrorText;
  }
  Rig rig;
  K dll, other;
  char serial[7] = "KV0001";
  void* h = nullptr;
};

class Contract : public Opened, public ::testing::WithParamInterface<Rig (*)()> {
 protected:
  void SetUp() override { Start(GetParam()); }
};

TEST_P(Contract, ABoardOpensOnceBySerialNumberAndItsHandleEndsWithTheClose) {
  other.Open_Device_Connection(serial);
  EXPECT_STREQ(other.ErrorText, "Device Not Opened");

  dll.Close_Device_Connection(h);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  dll.Close_Device_Connection(h);
  EXPECT_EQ(dll.ErrorStatus, 1u);  // the handle ended with the first
  other.Open_Device_Connection(serial);
  EXPECT_NE(other.DeviceHandle, nullptr) << other.ErrorText;
}

TEST_P(Contract, FailedTransfersAndMissingRepliesEndTheCommandAndLeaveTheLinkClean) {
  rig.fail_next_transfer();
  EXPECT_EQ(dll.Slave_Activity_Inquiry(h), "Error");
  EXPECT_EQ(dll.ErrorStatus, 4u);
  EXPECT_STREQ(dll.ErrorText, "IO Error");

  rig.board->faults.push_back(Fault(ReplyFault::kDrop));
  const std::uint64_t start = rig.link->NowMicroseconds();
  EXPECT_EQ(dll.Slave_Activity_Inquiry(h), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_GT(rig.link->NowMicroseconds() - start, 10000u);  // on the provider's own clock

  // A partial reply is purged at the time-out: the next reply is read on its own.
  rig.board->faults.push_back(Fault(ReplyFault::kReplace, FromHex("00 04 01")));
  EXPECT_EQ(dll.Slave_Activity_Inquiry(h), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dll.Slave_Activity_Inquiry(h), "0") << dll.ErrorText;
}

INSTANTIATE_TEST_SUITE_P(Providers, Contract, ::testing::Values(&Emulator, &ScriptedLibftdi),
                         [](const auto& info) {
                           return info.index ? "ScriptedLibftdi" : "Emulator";
                         });

class Libftdi : public Opened {
 protected:
  void SetUp() override { Start(&ScriptedLibftdi); }
};

// Multi-channel and high-speed chips, and chips whose strings cannot be read.
TEST_F(Libftdi, ListsEveryChannelOfEveryChipWithD2xxNamesAndFlags) {
  rig.ftdi->Add("FT2232X", "Dual RS232", 2).usb.high_speed = true;
  rig.ftdi->Add("", "", 5).usb.strings_read = false;  // no permission: counted, unnamed
  // Found once its VID/PID is set:
  rig.ftdi->Add("CUSTOM", std::string(64, 'D'), 0).usb.vid = 0x1234;
  EXPECT_EQ(dll.Get_Device_Count(), "7");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(2)), "FT2232XB");
  EXPECT_EQ(rig.link->SetVIDPID(0x1234, 0x6001), 0u);
  unsigned int n = 0;
  ASSERT_EQ(rig.link->CreateDeviceInfoList(&n), 0u);
  std::vector<kavro::FT_DEVICE_LIST_INFO_NODE> list(++n);  // room for one more than there are
  ASSERT_EQ(rig.link->GetDeviceInfoList(list.data(), &n), 0u);
  std::vector<std::string> rows;
  for (unsigned int i = 0; i < n; ++i) {
    char row[160];
    std::snprintf(row, sizeof(row), "%u %08x %u %s|%s", list[i].Flags, list[i].ID, list[i].LocId,
                  list[i].SerialNumber, list[i].Description);
    rows.push_back(row);
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"1 04036001 1 KV0001|KAVRO USB Interface",
                                            "2 04036001 2 FT2232XA|Dual RS232 A",
                                            "2 04036001 3 FT2232XB|Dual RS232 B", "0 04036001 4 |",
                                            "0 04036001 5 |", "0 04036001 6 |", "0 04036001 7 |",
                                            "0 12346001 8 CUSTOM|" + std::string(63, 'D')}));
  EXPECT_EQ(std::make_pair(list[0].ftHandle, list[1].ftHandle), std::make_pair(h, (void*)0));
  void *a = nullptr, *b = nullptr;  // the channels of one chip open on their own
  char channel_a[] = "FT2232XA", channel_b[] = "FT2232XB";
  EXPECT_EQ(rig.link->OpenEx(channel_a, 1, &a) + rig.link->OpenEx(channel_b, 1, &b), 0u);
}

// Failures libusb does not give on a simulated device, each with its D2XX status.
TEST_F(Libftdi, LibftdiFailuresBecomeTheirD2xxStatus) {
  unsigned char ms = 0;
  rig.chip->packet = 512;  // high speed: whole 512-byte packets
  EXPECT_EQ(rig.link->SetUSBParameters(h, 513, 8), 0u);
  EXPECT_EQ(rig.chip->chunk, 1024u);
  rig.chip->packet = 0;  // not known: taken as full speed
  EXPECT_EQ(rig.link->SetUSBParameters(h, 1, 8), 0u);
  EXPECT_EQ(rig.chip->chunk, 64u);
  rig.chip->flush_error = -3;  // libftdi1: the device is not open
  EXPECT_EQ(rig.link->Purge(h, 3), 3u);
  rig.chip->latency_error = -1;  // libftdi1: out of range when setting, the USB read failed getting
  EXPECT_EQ(rig.link->SetLatencyTimer(h, 2), 6u);
  EXPECT_EQ(rig.link->GetLatencyTimer(h, &ms), 4u);
  rig.chip->latency_error = -3;  // libftdi1: no device open
  EXPECT_EQ(rig.link->SetLatencyTimer(h, 2), 3u);
  rig.chip->latency_error = -2;  // setting: the USB transfer failed; getting: no device open
  EXPECT_EQ(rig.link->GetLatencyTimer(h, &ms), 3u);
  dll.Close_Device_Connection(h);
  dll.Open_Device_Connection(serial);
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  EXPECT_FALSE(rig.chip->open);  // closed again, not left claimed
  rig.ftdi->find_error = -5;
  EXPECT_EQ(dll.Get_Device_Count(), "Error");
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  void* other = nullptr;  // every call that lists the chips fails as the listing did
  char text[64];
  unsigned int count = 0;
  EXPECT_EQ(
      std::vector<unsigned int>({rig.link->Open(0, &other), rig.link->OpenEx(serial, 1, &other),
                                 rig.link->ListDevices(nullptr, text, 0x40000001),
                                 rig.link->CreateDeviceInfoList(&count)}),
      std::vector<unsigned int>(4, 4u));
  EXPECT_EQ(other, nullptr);
}

// A read's time-out runs to the clock's end at most: near it, the read still waits for its bytes.
TEST_F(Libftdi, AReadNearTheClocksEndWaitsOutItsTimeOut) {
  rig.ftdi->now = ~std::uint64_t{0} - 1000000;
  rig.chip->transfers = {{}, {}, {0x01, 0x02}};
  unsigned char got[2] = {};
  unsigned int n = 0;
  EXPECT_EQ(rig.link->SetTimeouts(h, 5000, 0) + rig.link->Read(h, got, 2, &n), 0u);
  EXPECT_EQ(ToHex(got, n), "01 02");
}

}  // namespace

// The link providers that can run here, held to one D2XX contract: the emulator, and the
// libftdi1 provider over scripted libftdi1 answers. Then what only the libftdi1 provider does.
#include <cstring>
#include <deque>
#include <memory>

#include "fixture.h"
#include "libftdi_provider.h"

namespace {

template <typename T>
T Pop(std::deque<T>& queue) {
  if (queue.empty()) return T();
  T front = std::move(queue.front());
  queue.pop_front();
  return front;
}

// libftdi1 as a script: the chips on the bus and what their reads return. A chip can carry an
// emulated board that answers what is written to it, two bytes per USB transfer.
class ScriptedFtdi final : public kavro::ftdi::FtdiBackend {
 public:
  struct Chip {
    kavro::ftdi::UsbDevice usb;
    std::unique_ptr<Board> board;
    std::deque<int> errors;       // failures the next reads return
    std::deque<Bytes> transfers;  // then what they return; {} carries the status bytes only
    int open_error = 0, latency_error = 0, flush_error = 0, write_timeout = 0;
    unsigned int packet = 64, chunk = 0;
    unsigned char latency = 16;
    std::string flushes;
    bool open = false;
  };
  std::deque<Chip> chips;
  int find_error = 0, reads = 0;
  std::uint64_t now = 0, step = 100;  // the clock moves by step with every read
  std::string last_error;

  Chip& Add(std::uintptr_t id, std::string serial, std::string description = "",
            std::uint16_t bcd = 0x0600, int interfaces = 1) {
    Chip& c = chips.emplace_back();
    c.usb.device = reinterpret_cast<void*>(id);
    c.usb.vid = 0x0403;
    c.usb.pid = 0x6001;
    c.usb.bcd_device = bcd;
    c.usb.interfaces = interfaces;
    c.usb.serial = std::move(serial);
    c.usb.description = std::move(description);
    return c;
  }
  static Chip& Of(void* context) { return *static_cast<Chip*>(context); }

  int FindAll(std::uint16_t vid, std::uint16_t pid,
              std::vector<kavro::ftdi::UsbDevice>* out) override {
    for (const Chip& c : chips)
      if (c.usb.vid == vid && c.usb.pid == pid) out->push_back(c.usb);
    return find_error;
  }
  void* Open(void* device, int, int* error, unsigned int*) override {
    for (Chip& c : chips)
      if (c.usb.device == device) return (c.open = (*error = c.open_error) == 0) ? &c : nullptr;
    return nullptr;
  }
  int Close(void* context) override {
    Of(context).open = false;
    return 0;
  }
  int Read(void* context, std::uint8_t* buffer, int) override {
    now += step;
    if (++reads > 100000) return -4;  // a wait that would never end: the chip goes away
    if (const int error = Pop(Of(context).errors)) return error;
    const Bytes transfer = Pop(Of(context).transfers);
    std::copy(transfer.begin(), transfer.end(), buffer);
    return static_cast<int>(transfer.size());
  }
  int Write(void* context, const std::uint8_t* buffer, int size) override {
    Chip& c = Of(context);
    std::vector<Board::Reply> replies;
    if (c.board) c.board->Receive(buffer, static_cast<std::size_t>(size), 0, replies);
    for (const Board::Reply& r : replies) {
      c.transfers.emplace_back();
      for (auto i = r.bytes.begin(); i < r.bytes.end(); i += 2)
        c.transfers.emplace_back(i, i + 1 < r.bytes.end() ? i + 2 : r.bytes.end());
    }
    return size;
  }
  int SetChunkSize(void* context, unsigned int size) override {
    Of(context).chunk = size;
    return 0;
  }
  int SetLatency(void* context, unsigned char ms) override {
    if (Of(context).latency_error == 0) Of(context).latency = ms;
    return Of(context).latency_error;
  }
  int GetLatency(void* context, unsigned char* ms) override {
    *ms = Of(context).latency;
    return Of(context).latency_error;
  }
  int Flush(void* context, bool rx, bool tx) override {
    Of(context).flushes += std::string(rx ? "rx" : "") + (tx ? "tx" : "") + " ";
    if (rx) Of(context).transfers.clear();
    return Of(context).flush_error;
  }
  void SetWriteTimeout(void* context, int ms) override { Of(context).write_timeout = ms; }
  unsigned int MaxPacketSize(void* context) override { return Of(context).packet; }
  std::uint64_t NowMicroseconds() override { return now; }
  std::string LastError() const override { return last_error; }
};

// A provider with the board KV0001 behind it.
struct Rig {
  std::unique_ptr<kavro::LinkProvider> link;
  Board* board;
  std::function<void()> fail_next_transfer;  // as when the board is unplugged
};

Rig Emulator() {
  auto bus = std::make_unique<VirtualBus>();
  VirtualBus* b = bus.get();
  Board* board = &bus->AddDevice("KV0001").board;
  return {std::move(bus), board, [b] { b->FailCall(Call::kGetStatus, 4); }};
}

Rig ScriptedLibftdi() {
  auto backend = std::make_unique<ScriptedFtdi>();
  ScriptedFtdi::Chip& chip = backend->Add(1, "KV0001");
  chip.board = std::make_unique<Board>();
  Board* board = chip.board.get();
  return {kavro::ftdi::MakeProvider(std::move(backend)), board,
          [&chip] { chip.errors.push_back(-4); }};
}

class Contract : public ::testing::TestWithParam<Rig (*)()> {
 protected:
  void SetUp() override {
    rig = GetParam()();
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

TEST_P(Contract, ABoardOpensOnceBySerialNumberAndItsHandleEndsWithTheClose) {
  EXPECT_EQ(dll.Slave_Activity_Inquiry(h), "0") << dll.ErrorText;
  other.Open_Device_Connection(serial);
  EXPECT_STREQ(other.ErrorText, "Device Not Opened");
  char unknown[] = "KV9999";
  other.Open_Device_Connection(unknown);
  EXPECT_STREQ(other.ErrorText, "Device Not Found");

  dll.Close_Device_Connection(h);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  dll.Close_Device_Connection(h);
  EXPECT_EQ(dll.ErrorStatus, 1u);
  EXPECT_EQ(dll.Slave_Activity_Inquiry(h), "Error");
  EXPECT_STREQ(dll.ErrorText, "Invalid Handle");
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
                           return info.param == &Emulator ? "Emulator" : "ScriptedLibftdi";
                         });

class Libftdi : public ::testing::Test {
 protected:
  void SetUp() override {
    auto backend = std::make_unique<ScriptedFtdi>();
    ftdi = backend.get();
    chip = &ftdi->Add(1, "KV0001", "KAVRO USB Interface");
    provider = kavro::ftdi::MakeProvider(std::move(backend));
    dll.UseLink(provider.get());
  }
  void* Open() {
    char serial[] = "KV0001";
    dll.Open_Device_Connection(serial);
    return dll.DeviceHandle;
  }
  ScriptedFtdi* ftdi = nullptr;
  ScriptedFtdi::Chip* chip = nullptr;
  std::unique_ptr<kavro::LinkProvider> provider;
  K dll;
  unsigned int rx = 0, tx = 0, event = 0;
};

TEST_F(Libftdi, ListsEveryChannelOfEveryChipWithD2xxNamesTypesAndFlags) {
  ftdi->Add(2, "FT2232X", "Dual RS232", 0x0700, 2).usb.high_speed = true;
  ftdi->Add(3, "0123456789ABCDEF", std::string(64, 'D'), 0x0200);
  ftdi->Add(4, "", "", 0x0800, 2).usb.strings_read = false;  // no permission: counted, unnamed
  for (std::uint16_t bcd : {0x0400, 0x0500, 0x0900, 0x1000, 0x1234}) ftdi->Add(bcd, "", "", bcd);
  ftdi->Add(5, "CUSTOM").usb.vid = 0x1234;  // found once its VID/PID is set
  void* h = Open();
  EXPECT_EQ(dll.Get_Device_Count(), "11");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(2)), "FT2232XB");
  EXPECT_EQ(provider->SetVIDPID(0x1234, 0x6001), 0u);

  unsigned int n = 0;
  ASSERT_EQ(provider->CreateDeviceInfoList(&n), 0u);
  std::vector<kavro::FT_DEVICE_LIST_INFO_NODE> list(n);
  ASSERT_EQ(provider->GetDeviceInfoList(list.data(), &n), 0u);
  std::vector<std::string> rows;
  for (const auto& node : list) {
    char row[160];
    std::snprintf(row, sizeof(row), "%u %u %08x %u %s|%s", node.Flags, node.Type, node.ID,
                  node.LocId, node.SerialNumber, node.Description);
    rows.push_back(row);
  }
  // clang-format off
  EXPECT_EQ(rows, (std::vector<std::string>{
      "1 5 04036001 1 KV0001|KAVRO USB Interface", "2 6 04036001 2 FT2232XA|Dual RS232 A",
      "2 6 04036001 3 FT2232XB|Dual RS232 B", "0 1 04036001 4 0123456789ABCDE|" + std::string(63, 'D'),
      "0 7 04036001 5 |", "0 7 04036001 6 |", "0 0 04036001 7 |", "0 4 04036001 8 |",
      "0 8 04036001 9 |", "0 9 04036001 10 |", "0 3 04036001 11 |", "0 5 12346001 12 CUSTOM|"}));
  // clang-format on
  EXPECT_EQ(list[0].ftHandle, h);
  EXPECT_EQ(list[1].ftHandle, nullptr);
}

TEST_F(Libftdi, RefusesMissingArgumentsAndWritesNoFurtherThanD2xxBuffers) {
  void* h = Open();
  unsigned int n = 99, m = 99;
  std::uint8_t bytes[4] = {};
  char text[80] = {};
  // clang-format off
  const unsigned int refused[] = {
      provider->ListDevices(nullptr, nullptr, kavro::kFtListNumberOnly),
      provider->ListDevices(nullptr, nullptr, kavro::kFtListByIndex),
      provider->ListDevices(nullptr, text, kavro::kFtOpenBySerialNumber), provider->Open(0, nullptr),
      provider->OpenEx(nullptr, 1, &h), provider->OpenEx(text, 4, &h), provider->OpenEx(text, 1, nullptr),
      provider->Read(h, nullptr, 1, &n), provider->Read(h, bytes, 1, nullptr),
      provider->Write(h, nullptr, 1, &n), provider->Write(h, bytes, 1, nullptr),
      provider->GetStatus(h, &n, nullptr, &m), provider->GetLatencyTimer(h, nullptr),
      provider->CreateDeviceInfoList(nullptr), provider->GetDeviceInfoList(nullptr, &n),
      provider->GetVIDPID(&n, nullptr), provider->SetVIDPID(0x10000, 1), provider->SetVIDPID(1, 0x10000)};
  // clang-format on
  for (unsigned int status : refused) EXPECT_EQ(status, 6u);
  EXPECT_EQ(provider->SetVIDPID(0xFFFF, 0xFFFF), 0u);
  EXPECT_EQ(provider->GetVIDPID(&n, &m), 0u);
  EXPECT_EQ(n + m, 0x1FFFEu);
  // Counts are zeroed even for a handle that is not open.
  EXPECT_EQ(provider->Read(&n, bytes, 1, &n) + provider->Write(&m, bytes, 1, &m), 2u);
  EXPECT_EQ(n + m, 0u);
  // A serial number fills at most its 16 bytes, a description its 64.
  std::memset(text, 'X', sizeof(text));
  provider->ListDevices(nullptr, text, kavro::kFtListByIndex | kavro::kFtOpenBySerialNumber);
  EXPECT_EQ(std::string(text, 17), std::string("KV0001") + std::string(10, '\0') + "X");
  std::memset(text, 'X', sizeof(text));
  provider->ListDevices(nullptr, text, kavro::kFtListByIndex | kavro::kFtOpenByDescription);
  EXPECT_EQ(std::string(text, 65), "KAVRO USB Interface" + std::string(45, '\0') + "X");
}

TEST_F(Libftdi, ReadsInWholeUsbPacketsAndLosesWhatItHeldWhenTheSizeChanges) {
  void* h = Open();
  const std::pair<unsigned int, unsigned int> sizes[] = {{1, 64}, {65, 128}, {65536, 65536}};
  for (auto [asked, chunk] : sizes) {
    chip->transfers = {{1, 2}};
    provider->GetStatus(h, &rx, &tx, &event);
    EXPECT_EQ(provider->SetUSBParameters(h, asked, 8), 0u);
    EXPECT_EQ(chip->chunk, chunk);
    provider->GetStatus(h, &rx, &tx, &event);
    EXPECT_EQ(rx, 0u);
  }
  chip->packet = 512;  // high speed
  EXPECT_EQ(provider->SetUSBParameters(h, 513, 8), 0u);
  EXPECT_EQ(chip->chunk, 1024u);
  chip->packet = 0;  // not known: taken as full speed
  EXPECT_EQ(provider->SetUSBParameters(h, 8, 8), 0u);
  EXPECT_EQ(chip->chunk, 64u);
  EXPECT_EQ(provider->SetUSBParameters(h, 0, 8) + provider->SetUSBParameters(h, 65537, 8), 12u);
}

TEST_F(Libftdi, LatencyTimerFailuresAreReportedAndEndTheOpen) {
  void* h = Open();
  unsigned char ms = 0;
  EXPECT_EQ(provider->GetLatencyTimer(h, &ms), 0u);
  EXPECT_EQ(ms, 2);
  EXPECT_EQ(provider->SetLatencyTimer(h, 1), 6u);  // D2XX's range starts at 2
  chip->latency_error =
      -1;  // libftdi1: out of range when setting, the USB read failed when getting
  EXPECT_EQ(provider->SetLatencyTimer(h, 2), 6u);
  EXPECT_EQ(provider->GetLatencyTimer(h, &ms), 4u);
  chip->latency_error = -2;  // setting: the USB transfer failed
  dll.Close_Device_Connection(h);
  EXPECT_EQ(Open(), nullptr);
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  EXPECT_FALSE(chip->open);  // closed again, not left claimed
}

TEST_F(Libftdi, AReadWaitsUpToItsTimeOutOnLibftdisClock) {
  void* h = Open();
  EXPECT_EQ(chip->write_timeout, 500);
  std::uint8_t byte = 0;
  unsigned int got = 0;
  EXPECT_EQ(provider->SetTimeouts(h, 5, 0), 0u);
  for (std::size_t empty : {20, 60}) {  // 2 ms of status-only transfers, then 6 ms: too late
    chip->transfers.assign(empty, Bytes{});
    chip->transfers.push_back({0x42});
    EXPECT_EQ(provider->Read(h, &byte, 1, &got), 0u);
    EXPECT_EQ(got, empty == 20 ? 1u : 0u);
  }
  // A clock that stands still: with no time-out the read ends after one look.
  ftdi->step = 0;
  EXPECT_EQ(provider->SetTimeouts(h, 0, 0), 0u);
  chip->transfers = {{}, {0x44}};
  EXPECT_EQ(provider->Read(h, &byte, 1, &got), 0u);
  EXPECT_EQ(got, 0u);
}

TEST_F(Libftdi, PurgeEmptiesOnlyTheQueuesItNames) {
  void* h = Open();
  chip->transfers = {{1, 2}};
  provider->GetStatus(h, &rx, &tx, &event);
  for (unsigned int mask : {kavro::kFtPurgeTx, 0u, kavro::kFtPurgeRx}) {
    EXPECT_EQ(provider->Purge(h, mask), 0u);
    provider->GetStatus(h, &rx, &tx, &event);
    EXPECT_EQ(rx, mask == kavro::kFtPurgeRx ? 0u : 2u) << mask;
  }
  EXPECT_EQ(chip->flushes, "tx rx ");
  chip->flush_error = -3;  // libftdi1: the device is not open
  EXPECT_EQ(provider->Purge(h, 3), 3u);
}

TEST_F(Libftdi, FailuresToFindOrClaimAChipComeWithLibftdisReason) {
  chip->open_error = -5;  // claimed by the kernel's driver or another process
  ftdi->last_error = "unable to claim usb device";
  EXPECT_EQ(Open(), nullptr);
  EXPECT_STREQ(dll.ErrorText, "Device Not Opened");
  EXPECT_EQ(provider->Diagnostic(), "unable to claim usb device");
  ftdi->find_error = -5;
  EXPECT_EQ(dll.Get_Device_Count(), "Error");
  EXPECT_STREQ(dll.ErrorText, "IO Error");
}

}  // namespace

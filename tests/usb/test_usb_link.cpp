// The libftdi1 link end to end: the library, its libftdi1 provider, the typed API and the kavro
// tool through the real libftdi1 and libusb, to emulated boards behind simulated FTDI chips.
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <set>

#include "../fixture.h"
#include "ftdi_testbed.h"
#include "kavro/board.h"

namespace {

using kavro::usbtest::Chip;
using Requests = std::vector<unsigned int>;

constexpr unsigned int kReset = 0x00000, kPurgeHostToChip = 0x00001, kPurgeChipToHost = 0x00002,
                       kBaud9600 = 0x34138, kLatency2 = 0x90002;

class UsbLink : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bed.Ready())
      GTEST_SKIP() << "not under umockdev's preload: start through umockdev-wrapper";
    chip = &bed.Add("KV0001");
    chip->board.restart_time_us = 20000;
    dll.UseLink(link.get());
  }
  void* Open(KAVRO_USB_DLL& d, std::string serial = "KV0001") {
    d.Open_Device_Connection(serial.data());
    return d.DeviceHandle;
  }

  kavro::usbtest::FtdiTestbed bed;
  std::unique_ptr<kavro::LinkProvider> link{kavro::NewLibftdiLink()};
  KAVRO_USB_DLL dll;
  Chip* chip = nullptr;
};

// The library's link settings reach the chip, nothing else is set on it, and the kernel's serial
// driver leaves only the opened chip, for as long as it is open. Another provider's open of the
// chip is refused by the claim libusb holds (the provider refuses its own second open itself).
TEST_F(UsbLink, OpenConfiguresTheChipAndTakesItFromTheSerialDriverAlone) {
  Chip& other = bed.Add("KV0002");
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  EXPECT_EQ(dll.ftDevice, 5u);  // FT232R
  EXPECT_EQ(chip->vendor_requests, (Requests{kReset, kBaud9600, kLatency2}));
  EXPECT_EQ(chip->driver, "usbfs");
  EXPECT_EQ(other.driver, "ftdi_sio");
  EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "0") << dll.ErrorText;
  EXPECT_EQ(chip->bulk_in_size, 64u);  // 8-byte transfers, rounded up to whole packets
  KAVRO_USB_DLL second;
  std::unique_ptr<kavro::LinkProvider> other_link{kavro::NewLibftdiLink()};
  second.UseLink(other_link.get());
  EXPECT_EQ(Open(second), nullptr);
  EXPECT_EQ(second.ErrorStatus, kavro::kFtDeviceNotOpened);
  EXPECT_NE(other_link->Diagnostic().find("unable to claim usb device"), std::string::npos);
  EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "0") << dll.ErrorText;
  dll.Close_Device_Connection(handle);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_EQ(chip->driver, "ftdi_sio");
}

TEST_F(UsbLink, CommandsReachTheBoardAndItsRepliesComeBack) {
  chip->board.forced_readings.push_back({2, 0x00, 0x01, 0x00});
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "256") << dll.ErrorText;
  EXPECT_EQ(dll.BoardType, 3u);
  EXPECT_EQ(dll.Get_Fullscale_Load(handle, 0), "5000") << dll.ErrorText;
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 7, 0), "0") << dll.ErrorText;
  EXPECT_EQ(dll.Reset_Board(handle), "0") << dll.ErrorText;
  EXPECT_EQ(chip->board.transcript,
            (std::vector<Bytes>{FromHex("01 04 44 aa"), FromHex("02 04 42 aa"),
                                FromHex("03 04 44 aa"), FromHex("04 05 82 5e aa"),
                                FromHex("05 04 44 aa"), FromHex("06 05 82 64 aa"),
                                FromHex("07 05 29 07 aa"), FromHex("08 04 45 aa")}));
}

// The reply never comes: the command ends at its budget and both FIFOs are purged. Then the chip
// is gone: every call on its handle is an I/O error, and the handle is given up all the same.
TEST_F(UsbLink, AMissingReplyTimesOutAndAnUnpluggedChipFailsEveryCall) {
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  chip->board.faults = {ReplyFault{}, Fault(ReplyFault::kDrop)};  // the version exchange passes
  chip->vendor_requests.clear();
  const std::uint64_t start = link->NowMicroseconds();  // the provider's clock: the real one
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "Error");
  const std::uint64_t us = link->NowMicroseconds() - start;
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_GE(us, 10000u);
  EXPECT_LT(us, 500000u);
  EXPECT_EQ(chip->vendor_requests, (Requests{kPurgeHostToChip, kPurgeChipToHost}));
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0).find("Error"), std::string::npos) << dll.ErrorText;
  bed.Unplug(*chip);
  EXPECT_EQ(dll.Get_Device_Count(), "0");
  unsigned char latency = 0, byte = 0;
  unsigned int n = 0, rx, tx, ev;
  for (unsigned int status :
       {link->SetLatencyTimer(handle, 5), link->GetLatencyTimer(handle, &latency),
        link->Purge(handle, 3), link->Write(handle, &byte, 1, &n), link->Read(handle, &byte, 1, &n),
        link->GetStatus(handle, &rx, &tx, &ev)})
    EXPECT_EQ(status, kavro::kFtIoError);
  EXPECT_EQ(link->Close(handle), kavro::kFtIoError);  // given up all the same
  dll.Close_Device_Connection(handle);
  EXPECT_EQ(dll.ErrorStatus, kavro::kFtInvalidHandle);
}

// The cable pulled while a reading is on its way, then plugged back in: the typed API reports
// the loss, reopens the board by its serial number at a later call, and the new chip gets the
// link settings and the board its configuration again.
TEST_F(UsbLink, ATypedBoardReconnectsToTheChipPluggedBackIn) {
  std::vector<std::pair<kavro::BoardEventKind, unsigned int>> events;  // with reopen attempts
  kavro::OpenOptions options;
  options.link = link.get();
  options.calibrated_loads = false;
  options.reconnect.first_delay_us = 1;  // reopened at the next call
  options.on_event = [&](const kavro::BoardEvent& e) { events.emplace_back(e.kind, e.attempts); };
  kavro::Result<kavro::Board> board = kavro::Board::Open("KV0001", options);
  ASSERT_TRUE(board.ok()) << board.error().Describe();
  ASSERT_TRUE(board->SetSamplingRate(7).ok());
  chip->unplug_after_frames = 1;  // gone once the reading's request is out
  kavro::Result<kavro::Reading> lost = board->Read();
  EXPECT_EQ(lost.error().kind, kavro::ErrorKind::kDisconnected);
  EXPECT_EQ(lost.error().text, "IO Error");
  bed.Unplug(*chip);
  EXPECT_EQ(board->Read().error().text, "reconnecting: Device Not Found");
  Chip& back = bed.Add("KV0001");
  back.board.forced_readings.push_back({2, 0x00, 0x01, 0x00});
  kavro::Result<kavro::Reading> reading = board->Read();
  ASSERT_TRUE(reading.ok()) << reading.error().Describe();
  EXPECT_EQ(reading->counts, 256);
  EXPECT_EQ(events, (decltype(events){{kavro::BoardEventKind::kDisconnected, 0},
                                      {kavro::BoardEventKind::kReconnected, 2}}));
  EXPECT_EQ(back.vendor_requests, (Requests{kReset, kBaud9600, kLatency2}));
  EXPECT_EQ(back.bulk_in_size, 64u);
  EXPECT_EQ(back.board.ConfigByte(0) & 0x0F, 7);
}

// The D2XX calls the library makes no use of, answered from the chip through libftdi1.
TEST_F(UsbLink, TheProviderAnswersFromTheChip) {
  kavro::LinkProvider& p = *link;
  void* h = nullptr;
  ASSERT_EQ(p.OpenEx(const_cast<char*>("KAVRO USB Interface"), 2, &h), kavro::kFtOk);
  unsigned int type = 0, id = 0, count = 0, rx = 0, tx = 0, event = 0, got = 0, vid = 0, pid = 0;
  char serial[16], description[64];
  EXPECT_EQ(p.GetDeviceInfo(h, &type, &id, serial, description, nullptr), kavro::kFtOk);
  EXPECT_EQ(std::make_tuple(type, id, std::string(serial)),
            std::make_tuple(5u, 0x04036001u, std::string("KV0001")));
  unsigned char latency = 0;
  EXPECT_EQ(p.SetLatencyTimer(h, 7), kavro::kFtOk);
  EXPECT_EQ(p.GetLatencyTimer(h, &latency), kavro::kFtOk);
  EXPECT_EQ(latency, 7);  // as the chip answers it
  EXPECT_EQ(p.SetUSBParameters(h, 65, 128), kavro::kFtOk);
  EXPECT_EQ(p.SetTimeouts(h, 30, 30), kavro::kFtOk);
  // A raw version frame and its reply, counted by the status query before it is read.
  std::uint8_t frame[] = {1, 4, 0x44, 0xAA}, reply[16] = {};
  EXPECT_EQ(p.Write(h, frame, 0, &got), kavro::kFtOk);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(p.Write(h, frame, 4, &got), kavro::kFtOk);
  EXPECT_EQ(got, 4u);
  for (int i = 0; i < 100 && rx < 8; ++i) p.GetStatus(h, &rx, &tx, &event);
  EXPECT_EQ(std::make_pair(rx, event), std::make_pair(8u, 1u));
  EXPECT_EQ(chip->bulk_in_size, 128u);
  EXPECT_EQ(p.Read(h, reply, 8, &got), kavro::kFtOk);
  EXPECT_EQ(Bytes(reply, reply + got), (Bytes{1, 8, 0x44, 3, 1, 2, 0x34, 0xAA}));
  // Nothing to read: the read time-out ends the wait with what came, nothing.
  const std::uint64_t start = p.NowMicroseconds();
  EXPECT_EQ(p.Read(h, reply, 4, &got), kavro::kFtOk);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(p.NowMicroseconds() - start, 30000u);
  chip->vendor_requests.clear();
  for (unsigned int mask : {1u, 2u, 3u}) EXPECT_EQ(p.Purge(h, mask), kavro::kFtOk);
  EXPECT_EQ(chip->vendor_requests,
            (Requests{kPurgeChipToHost, kPurgeHostToChip, kPurgeHostToChip, kPurgeChipToHost}));
  // Missing out-arguments and bad values are refused; counts are zeroed all the same.
  // clang-format off
  const unsigned int refused[] = {
      p.Write(h, nullptr, 1, &got), p.Write(h, reply, 1, nullptr), p.Read(h, nullptr, 1, &got),
      p.Read(h, reply, 1, nullptr), p.GetStatus(h, nullptr, &tx, &event),
      p.GetLatencyTimer(h, nullptr), p.SetLatencyTimer(h, 1), p.SetUSBParameters(h, 0, 8),
      p.SetUSBParameters(h, 65537, 8), p.CreateDeviceInfoList(nullptr),
      p.GetDeviceInfoList(nullptr, &count), p.GetVIDPID(&id, nullptr), p.Open(0, nullptr),
      p.OpenEx(nullptr, 1, &h), p.OpenEx(serial, 4, &h), p.OpenEx(serial, 1, nullptr),
      p.ListDevices(nullptr, nullptr, 0x80000000), p.ListDevices(nullptr, nullptr, 0x40000000),
      p.ListDevices(nullptr, serial, 1), p.SetVIDPID(0x10000, 1), p.SetVIDPID(1, 0x10000)};
  // clang-format on
  for (unsigned int status : refused) EXPECT_EQ(status, kavro::kFtInvalidParameter);
  EXPECT_EQ(p.Read(&got, reply, 1, &got) + p.Write(&tx, reply, 1, &tx), 2u);
  EXPECT_EQ(got + tx, 0u);
  EXPECT_EQ(p.Close(h), kavro::kFtOk);
  EXPECT_EQ(p.Open(0, &h), kavro::kFtOk);
  for (int index : {-1, 1}) EXPECT_EQ(p.Open(index, &h), kavro::kFtDeviceNotFound);
  EXPECT_EQ(p.GetVIDPID(&vid, &pid), kavro::kFtOk);
  EXPECT_EQ(vid << 16 | pid, 0x04036001u);
  EXPECT_EQ(p.SetVIDPID(0xFFFF, 0xFFFF), kavro::kFtOk);
}

// Each chip is counted, named as far as D2XX's 16- and 64-byte buffers hold, and opened by that
// serial number with the device type of its generation.
TEST_F(UsbLink, ChipsAreListedAndOpenedWithTheirNamesAndTypes) {
  const struct {
    std::uint16_t bcd, pid;
    unsigned int type;
  } chips[] = {{0x0400, 0x6001, 0}, {0x0200, 0x6001, 1}, {0x0500, 0x6010, 4},
               {0x0700, 0x6010, 6}, {0x0800, 0x6011, 7}, {0x0900, 0x6014, 8},
               {0x1000, 0x6015, 9}, {0x2000, 0x6001, 3}};  // unknown generation
  std::vector<Chip*> added;
  for (const auto& c : chips)
    added.push_back(&bed.Add(std::to_string(c.bcd) + "-LONG-SERIAL", VirtualBoard::Common(),
                             c.bcd, c.pid, std::string(70, 'D')));
  EXPECT_EQ(dll.Get_Device_Count(), "9");
  std::set<std::string> found;  // in the bus's order, which is not the order of plugging
  for (std::uintptr_t i = 0; i < 9; ++i) {
    char description[64] = {};
    EXPECT_EQ(link->ListDevices((void*)i, description, 0x40000002), kavro::kFtOk);
    found.insert(dll.Get_Device_Serial_Number((void*)i) + "/" + description);
  }
  EXPECT_EQ(found.size(), 9u);
  EXPECT_EQ(found.count("KV0001/KAVRO USB Interface"), 1u);
  EXPECT_EQ(found.count("1024-LONG-SERIA/" + std::string(63, 'D')), 1u);
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(9)), "Error");
  EXPECT_EQ(dll.ErrorStatus, kavro::kFtDeviceNotFound);
  for (std::size_t i = 0; i < std::size(chips); ++i) {
    const auto& c = chips[i];
    void* h = Open(dll, (std::to_string(c.bcd) + "-LONG-SERIAL").substr(0, 15));
    ASSERT_NE(h, nullptr) << dll.ErrorText;
    EXPECT_EQ(dll.ftDevice, c.type) << c.bcd;
    // Reads come in whole packets of the chip's own size: 512 bytes on the high-speed chips.
    EXPECT_EQ(dll.Slave_Activity_Inquiry(h), "0") << dll.ErrorText;
    EXPECT_EQ(added[i]->bulk_in_size,
              c.type >= 6 && c.type <= 8 ? 512u : 64u) << c.bcd;
    dll.Close_Device_Connection(h);
  }
}

#ifdef KAVRO_TOOL
// The kavro tool, a separate program, on the same simulated bus.
std::pair<int, std::string> Kavro(const std::string& args) {
  FILE* p = popen((std::string(KAVRO_TOOL) + " --link ftdi " + args + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
  const int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(UsbLink, TheToolWorksTheBoardThroughLibftdi) {
  const std::pair<const char*, const char*> runs[] = {
      {"list", "  0  KV0001\n"},
      {"info -s KV0001", "    full-scale load     5000\n"},
      {"read -n 3 -i 10 --raw --format csv", ""},
      {"config --rate 9", ""},
      {"reset", ""}};
  for (auto [args, expected] : runs) {
    auto [code, out] = Kavro(args);
    EXPECT_EQ(code, 0) << args << "\n" << out;
    EXPECT_NE(out.find(expected), std::string::npos) << out;
  }
  EXPECT_EQ(chip->board.ConfigByte(0) & 0x0F, 9);
  EXPECT_EQ(chip->driver, "ftdi_sio");  // given back when the tool ended
  // Held by this process: the tool is refused and says why.
  ASSERT_NE(Open(dll), nullptr) << dll.ErrorText;
  auto [code, out] = Kavro("info");
  EXPECT_EQ(code, 1);
  EXPECT_NE(out.find("another program"), std::string::npos) << out;
}
#endif

}  // namespace

// The libftdi1 link end to end: the library, its libftdi1 provider and the kavro tool through the
// real libftdi1 and libusb, to emulated boards behind simulated FTDI chips.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>

#include "KAVRO_USB_DLL.h"
#include "ftdi_testbed.h"

namespace {

using kavro::emu::Board;
using kavro::emu::ReplyFault;
using kavro::usbtest::Chip;
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned int kReset = 0x00000, kPurgeHostToChip = 0x00001, kPurgeChipToHost = 0x00002,
                       kBaud9600 = 0x34138, kLatency2 = 0x90002;

class UsbLink : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!bed.Ready(&why)) GTEST_SKIP() << why;
    chip = &bed.Add("KV0001");
    chip->board.restart_time_us = 20000;
    dll.UseLink(link.get());
  }
  void* Open(KAVRO_USB_DLL& d, const char* serial = "KV0001") {
    std::string s(serial);
    d.Open_Device_Connection(s.data());
    return d.DeviceHandle;
  }
  template <typename F>
  double Ms(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }

  kavro::usbtest::FtdiTestbed bed;
  std::unique_ptr<kavro::LinkProvider> link{kavro::NewLibftdiLink()};
  KAVRO_USB_DLL dll;
  Chip* chip = nullptr;
};

TEST_F(UsbLink, CountsTheChipsAndReadsTheirSerials) {
  bed.Add("KV0002-LONG-SERIAL", Board::Common(), 0x0600, 0x6001, std::string(70, 'D'));
  EXPECT_EQ(dll.Get_Device_Count(), "2");
  std::set<std::string> found;  // in the bus's order, which is not the order of plugging
  for (std::uintptr_t i : {0, 1}) {
    char description[64] = {};
    EXPECT_EQ(link->ListDevices((void*)i, description, 0x40000002), kavro::kFtOk);
    found.insert(dll.Get_Device_Serial_Number((void*)i) + "/" + description);
  }
  // Strings are cut to what D2XX's 16- and 64-byte buffers hold.
  EXPECT_EQ(found, (std::set<std::string>{"KV0001/KAVRO USB Interface",
                                          "KV0002-LONG-SER/" + std::string(63, 'D')}));
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(2)), "Error");
  EXPECT_EQ(dll.ErrorStatus, kavro::kFtDeviceNotFound);
}

// The library's link settings reach the chip, nothing else is set on it, and the kernel's serial
// driver leaves only the opened chip, for as long as it is open.
TEST_F(UsbLink, OpenConfiguresTheChipAndBorrowsItFromTheSerialDriver) {
  Chip& other = bed.Add("KV0002");
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_EQ(dll.ftDevice, 5u);  // FT232R
  EXPECT_EQ(chip->vendor_requests, (std::vector<unsigned int>{kReset, kBaud9600, kLatency2}));
  EXPECT_EQ(chip->latency_ms, 2);
  EXPECT_EQ(chip->driver, "usbfs");
  EXPECT_EQ(other.driver, "ftdi_sio");
  EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "0") << dll.ErrorText;
  EXPECT_EQ(chip->bulk_in_size, 64u);  // 8-byte transfers, rounded up to whole packets
  dll.Close_Device_Connection(handle);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_EQ(chip->driver, "ftdi_sio");
  // A kernel without the one-step detach-and-claim: the driver is asked for, detached, then
  // the interface claimed.
  chip->disconnect_claim = false;
  handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  EXPECT_EQ(chip->driver, "usbfs");
  dll.Close_Device_Connection(handle);
  EXPECT_EQ(chip->driver, "ftdi_sio");
  // A machine without the serial driver: nothing to detach, nothing to give back.
  other.kernel_driver = other.driver = "";
  handle = Open(dll, "KV0002");
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  dll.Close_Device_Connection(handle);
  EXPECT_EQ(other.driver, "");
}

TEST_F(UsbLink, CommandsReachTheBoardAndItsRepliesComeBack) {
  chip->board.forced_readings.push_back({2, 0x00, 0x01, 0x00});
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "256") << dll.ErrorText;
  EXPECT_EQ(dll.BoardType, 3u);
  EXPECT_EQ(dll.Get_Fullscale_Load(handle, 0), "5000") << dll.ErrorText;
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 7, 0), "0") << dll.ErrorText;
  EXPECT_EQ(chip->board.ConfigByte(0) & 0x0F, 7);
  EXPECT_EQ(dll.Reset_Board(handle), "0") << dll.ErrorText;
  const std::vector<Bytes>& wire = chip->board.transcript;
  ASSERT_GE(wire.size(), 2u);
  EXPECT_EQ(wire[0], (Bytes{1, 4, 0x44, 0xAA}));
  EXPECT_EQ(wire[1], (Bytes{2, 4, 0x42, 0xAA}));
  EXPECT_EQ(wire.back(), (Bytes{std::uint8_t(wire.size()), 4, 0x45, 0xAA}));
}

TEST_F(UsbLink, FaultyRepliesEndTheCommandWithTheirReason) {
  struct Case {
    ReplyFault::Kind kind;
    const char* text;
  } cases[] = {{ReplyFault::kDrop, "Timeout Error"},
               {ReplyFault::kCorruptNumber, "Packet Number Error"},
               {ReplyFault::kErrorReply, "Command Error"}};
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  for (const Case& c : cases) {
    chip->board.faults = {ReplyFault{}, ReplyFault{}};  // the version exchange passes
    chip->board.faults.back().kind = c.kind;
    chip->vendor_requests.clear();
    std::string result;
    const double ms = Ms([&] { result = dll.Normal_Data_Request(handle, 0); });
    EXPECT_EQ(result, "Error");
    EXPECT_STREQ(dll.ErrorText, c.text);
    if (c.kind != ReplyFault::kDrop) continue;
    EXPECT_GE(ms, 10.0);  // the measurement's budget, then both FIFOs purged
    EXPECT_LT(ms, 500.0);
    EXPECT_EQ(chip->vendor_requests,
              (std::vector<unsigned int>{kPurgeHostToChip, kPurgeChipToHost}));
  }
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0).find("Error"), std::string::npos) << dll.ErrorText;
}

TEST_F(UsbLink, AChipUnpluggedMidCommandGivesAnIoError) {
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  chip->unplug_after_frames = 2;  // the version exchange, then gone once the request is out
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "Error");
  EXPECT_EQ(dll.ErrorStatus, kavro::kFtIoError);
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  bed.Unplug(*chip);
  EXPECT_EQ(dll.Get_Device_Count(), "0");
  unsigned char latency = 0, byte = 0;
  unsigned int n = 0, rx, tx, ev;
  EXPECT_EQ(link->SetLatencyTimer(handle, 5), kavro::kFtIoError);
  EXPECT_EQ(link->GetLatencyTimer(handle, &latency), kavro::kFtIoError);
  EXPECT_EQ(link->Purge(handle, 3), kavro::kFtIoError);
  EXPECT_EQ(link->Write(handle, &byte, 1, &n), kavro::kFtIoError);
  EXPECT_EQ(link->GetStatus(handle, &rx, &tx, &ev), kavro::kFtIoError);
  dll.Close_Device_Connection(handle);  // the handle is given up even though the chip is gone
  dll.Close_Device_Connection(handle);
  EXPECT_EQ(dll.ErrorStatus, kavro::kFtInvalidHandle);
}

TEST_F(UsbLink, ASecondOpenOfAnOpenChipIsRefused) {
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  KAVRO_USB_DLL same_link, own_link;
  std::unique_ptr<kavro::LinkProvider> other{kavro::NewLibftdiLink()};
  same_link.UseLink(link.get());
  own_link.UseLink(other.get());
  for (KAVRO_USB_DLL* d : {&same_link, &own_link}) {
    EXPECT_EQ(Open(*d), nullptr);
    EXPECT_EQ(d->ErrorStatus, kavro::kFtDeviceNotOpened);
  }
  EXPECT_EQ(chip->driver, "usbfs");
  EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "0") << dll.ErrorText;
}

// The D2XX calls the library makes no use of, answered from the chip through libftdi1.
TEST_F(UsbLink, TheProviderAnswersFromTheChip) {
  kavro::LinkProvider& p = *link;
  void* h = nullptr;
  ASSERT_EQ(p.OpenEx(const_cast<char*>("KAVRO USB Interface"), 2, &h), kavro::kFtOk);
  unsigned int type = 0, id = 0, count = 0, rx = 0, tx = 0, event = 0, got = 0;
  char serial[16], description[64];
  EXPECT_EQ(p.GetDeviceInfo(h, &type, &id, serial, description, nullptr), kavro::kFtOk);
  EXPECT_EQ(type, 5u);
  EXPECT_EQ(id, 0x04036001u);
  EXPECT_STREQ(serial, "KV0001");
  ASSERT_EQ(p.CreateDeviceInfoList(&count), kavro::kFtOk);
  ASSERT_EQ(count, 1u);
  kavro::FT_DEVICE_LIST_INFO_NODE node{};
  EXPECT_EQ(p.GetDeviceInfoList(&node, &count), kavro::kFtOk);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(node.Flags, 1u);  // open, full speed
  EXPECT_EQ(node.Type, 5u);
  EXPECT_EQ(node.LocId, 1u);
  EXPECT_STREQ(node.SerialNumber, "KV0001");
  EXPECT_EQ(node.ftHandle, h);
  unsigned char latency = 0;
  EXPECT_EQ(p.SetLatencyTimer(h, 7), kavro::kFtOk);
  EXPECT_EQ(p.GetLatencyTimer(h, &latency), kavro::kFtOk);
  EXPECT_EQ(latency, 7);
  EXPECT_EQ(chip->latency_ms, 7);
  EXPECT_EQ(p.SetLatencyTimer(h, 1), kavro::kFtInvalidParameter);
  EXPECT_EQ(p.SetUSBParameters(h, 128, 128), kavro::kFtOk);
  EXPECT_EQ(p.SetTimeouts(h, 30, 30), kavro::kFtOk);
  // A raw version frame and its reply, counted by the status query before it is read.
  std::uint8_t frame[] = {1, 4, 0x44, 0xAA}, reply[16] = {};
  EXPECT_EQ(p.Write(h, frame, 0, &got), kavro::kFtOk);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(p.Write(h, frame, 4, &got), kavro::kFtOk);
  EXPECT_EQ(got, 4u);
  for (int i = 0; i < 100 && rx < 8; ++i) p.GetStatus(h, &rx, &tx, &event);
  EXPECT_EQ(rx, 8u);
  EXPECT_EQ(event, 1u);
  EXPECT_EQ(chip->bulk_in_size, 128u);
  EXPECT_EQ(p.Read(h, reply, 8, &got), kavro::kFtOk);
  EXPECT_EQ(Bytes(reply, reply + got), (Bytes{1, 8, 0x44, 3, 1, 2, 0x34, 0xAA}));
  // Nothing to read: the read time-out ends the wait with what came, nothing.
  const double ms = Ms([&] { EXPECT_EQ(p.Read(h, reply, 4, &got), kavro::kFtOk); });
  EXPECT_EQ(got, 0u);
  EXPECT_GE(ms, 30.0);
  chip->vendor_requests.clear();
  for (unsigned int mask : {1u, 2u, 3u}) EXPECT_EQ(p.Purge(h, mask), kavro::kFtOk);
  EXPECT_EQ(chip->vendor_requests, (std::vector<unsigned int>{kPurgeChipToHost, kPurgeHostToChip,
                                                              kPurgeHostToChip, kPurgeChipToHost}));
  EXPECT_EQ(p.Close(h), kavro::kFtOk);
  EXPECT_EQ(p.Close(h), kavro::kFtInvalidHandle);
  EXPECT_EQ(p.Open(0, &h), kavro::kFtOk);
  for (int index : {-1, 1}) EXPECT_EQ(p.Open(index, &h), kavro::kFtDeviceNotFound);
  unsigned int vid = 0, pid = 0;
  EXPECT_EQ(p.GetVIDPID(&vid, &pid), kavro::kFtOk);
  EXPECT_EQ(vid << 16 | pid, 0x04036001u);
  EXPECT_EQ(p.SetVIDPID(0x1234, 0x5678), kavro::kFtOk);  // searched besides FTDI's own
  EXPECT_EQ(p.CreateDeviceInfoList(&count), kavro::kFtOk);
  EXPECT_EQ(count, 1u);
  // Missing out-arguments are refused.
  const unsigned int refused[] = {p.Write(h, nullptr, 1, &got),
                                  p.Read(h, nullptr, 1, &got),
                                  p.GetStatus(h, nullptr, &tx, &event),
                                  p.GetLatencyTimer(h, nullptr),
                                  p.CreateDeviceInfoList(nullptr),
                                  p.GetDeviceInfoList(nullptr, &count),
                                  p.GetVIDPID(&vid, nullptr),
                                  p.Open(0, nullptr),
                                  p.ListDevices(nullptr, nullptr, 0x80000000)};
  for (unsigned int status : refused) EXPECT_EQ(status, kavro::kFtInvalidParameter);
}

TEST_F(UsbLink, TheDeviceTypeComesFromTheChipGeneration) {
  const struct {
    std::uint16_t bcd, pid;
    unsigned int type;  // listed and opened alike
  } chips[] = {{0x0400, 0x6001, 0}, {0x0200, 0x6001, 1}, {0x0500, 0x6010, 4},
               {0x0700, 0x6010, 6}, {0x0800, 0x6011, 7}, {0x0900, 0x6014, 8},
               {0x1000, 0x6015, 9}, {0x2000, 0x6001, 3}};  // unknown generation
  for (const auto& c : chips) bed.Add("T" + std::to_string(c.bcd), Board::Common(), c.bcd, c.pid);
  unsigned int count = 0;
  ASSERT_EQ(link->CreateDeviceInfoList(&count), kavro::kFtOk);
  ASSERT_EQ(count, 9u);
  std::vector<kavro::FT_DEVICE_LIST_INFO_NODE> nodes(count);
  link->GetDeviceInfoList(nodes.data(), &count);
  for (const auto& c : chips) {
    const std::string serial = "T" + std::to_string(c.bcd);
    for (const auto& node : nodes) {
      if (node.SerialNumber == serial) {
        EXPECT_EQ(node.Type, c.type) << serial;
      }
    }
    void* h = Open(dll, serial.c_str());
    ASSERT_NE(h, nullptr) << dll.ErrorText;
    EXPECT_EQ(dll.ftDevice, c.type) << serial;
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
  auto [code, out] = Kavro("list");
  EXPECT_EQ(code, 0);
  EXPECT_NE(out.find("  0  KV0001\n"), std::string::npos) << out;
  std::tie(code, out) = Kavro("info -s KV0001");
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find("  board type      3\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    full-scale load     5000\n"), std::string::npos) << out;
  std::tie(code, out) = Kavro("read -n 3 -i 10 --raw --format csv");
  EXPECT_EQ(code, 0) << out;
  std::tie(code, out) = Kavro("config --rate 9");
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(chip->board.ConfigByte(0) & 0x0F, 9);
  std::tie(code, out) = Kavro("reset");
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(chip->driver, "ftdi_sio");  // given back when the tool ended
  // Held by this process: the tool is refused and says why.
  void* handle = Open(dll);
  ASSERT_NE(handle, nullptr) << dll.ErrorText;
  std::tie(code, out) = Kavro("info");
  EXPECT_EQ(code, 1);
  EXPECT_NE(out.find("another program"), std::string::npos) << out;
}
#endif

}  // namespace

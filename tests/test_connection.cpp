// Enumeration, opening and closing boards, and the descriptions of D2XX statuses.
#include <cstring>

#include "fixture.h"

namespace {

class Connection : public ::testing::Test {
 protected:
  void SetUp() override { dll.UseLink(&bus); }
  void OpenSerial(const char* serial) {
    std::snprintf(buffer, sizeof(buffer), "%s", serial);
    dll.Open_Device_Connection(buffer);
  }
  VirtualBus bus;
  K dll;
  char buffer[64];
};

TEST_F(Connection, CountsBoardsAndListsTheirSerialNumbers) {
  EXPECT_EQ(dll.Get_Device_Count(), "0");
  bus.AddDevice("KV0001");
  bus.AddDevice("A123456789ABCDE");   // 15 characters, the longest a serial number can be
  bus.AddDevice("0123456789ABCDEF");  // D2XX fills all 16 bytes, with no terminator
  EXPECT_EQ(dll.Get_Device_Count(), "3");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(1)), "A123456789ABCDE");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(2)), "0123456789ABCDE");
  // An index equal to the count names no device: the serial number stays as it was.
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(3)), "Error");
  EXPECT_EQ(Status(dll), "2 Device Not Found");
  EXPECT_STREQ(dll.SerialNumber, "0123456789ABCDE");
  // A later success clears the text but keeps the status of the failure.
  EXPECT_EQ(dll.Get_Device_Count(), "3");
  EXPECT_EQ(Status(dll), "2 ");
}

TEST_F(Connection, OpenAppliesTheLinkConfiguration) {
  VirtualBus::Device& dev = bus.AddDevice("KV0001");
  std::strcpy(dll.ErrorText, "stale");
  OpenSerial("KV0001");
  ASSERT_NE(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.DeviceHandle, dll.ftHandle);
  EXPECT_EQ(Status(dll), "0 ");
  // The chip type, then the time-outs, transfer sizes and latency the open set.
  const std::vector<unsigned int> link = {dll.ftDevice,          dev.read_timeout_ms,
                                          dev.write_timeout_ms,  dev.in_transfer_size,
                                          dev.out_transfer_size, dev.latency_ms};
  EXPECT_EQ(link, std::vector<unsigned int>({5, 500, 500, 8, 8, 2}));
  const Call expected[] = {Call::kOpenEx,      Call::kGetDeviceInfo,    Call::kGetStatus,
                           Call::kSetTimeouts, Call::kSetUSBParameters, Call::kSetLatencyTimer};
  ASSERT_EQ(bus.log().size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(bus.log()[i].call, expected[i]) << i;
}

TEST_F(Connection, UnknownMissingAndOverlongSerialNumbersOpenNothing) {
  bus.AddDevice("KV0001");
  OpenSerial("KV9999");
  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, 2u);
  EXPECT_EQ(bus.log().size(), 1u);  // no configuration call
  // Refused before any D2XX call: truncating a serial number could open another board.
  dll.Open_Device_Connection(nullptr);
  EXPECT_EQ(Status(dll), "6 Invalid Parameter");
  dll.ErrorStatus = 0;
  OpenSerial("KV00010000000001");
  EXPECT_EQ(dll.ErrorStatus, 6u);
  EXPECT_EQ(bus.log().size(), 1u);
}

// An unplugged board leaves the list and cannot be opened; once plugged in again it opens with its
// power-on configuration, while the handle from before stays dead until it is closed.
TEST_F(Connection, AReplugGivesAFreshlyPoweredBoardAndKeepsTheOldHandleDead) {
  VirtualBoard board = VirtualBoard::Type0();
  board.SetPowerOnConfigByte(0, 0x24);
  board.faults.push_back(Fault(ReplyFault::kHold, {}, 1000000));  // still on its way at the unplug
  VirtualBus::Device& kv0001 = bus.AddDevice("KV0001", board);
  bus.AddDevice("KV0002");
  OpenSerial("KV0001");
  void* old = dll.DeviceHandle;
  EXPECT_EQ(dll.Slave_Activity_Inquiry(old), "Error");
  EXPECT_EQ(dll.Set_ADC_Configuration2(old, 0x37, 0), "0");
  ASSERT_TRUE(bus.Unplug("KV0001"));
  EXPECT_EQ(&bus.device(0), &kv0001);  // absent, not erased: references to it stay good
  EXPECT_EQ(dll.Get_Device_Count(), "1");
  EXPECT_EQ(dll.Get_Device_Serial_Number(nullptr), "KV0002");
  OpenSerial("KV0001");
  EXPECT_STREQ(dll.ErrorText, "Device Not Found");
  ASSERT_TRUE(bus.Replug("KV0001"));
  OpenSerial("KV0001");
  ASSERT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(dll.Get_ADC_Configuration(0x7A, 0), "Finished");
  EXPECT_EQ(dll.AdcConfigUpper * 16 + dll.AdcSamplingRate, 0x24);
  EXPECT_EQ(dll.Slave_Activity_Inquiry(old), "Error");
  EXPECT_EQ(dll.ErrorStatus, 4u);
  for (unsigned int status : {0u, 1u}) {  // the first close releases the handle
    dll.Close_Device_Connection(old);
    EXPECT_EQ(dll.ErrorStatus, status);
  }
}

TEST(StatusDescription, ReplacesErrorTextAndNothingElse) {
  const std::pair<unsigned int, const char*> rows[] = {{0, "OK"},
                                                       {19, "Device List Not Ready"},
                                                       {20, "Unknown Error"},
                                                       {0xFFFFFFFFu, "Unknown Error"}};
  K dll;
  dll.ErrorStatus = 77;
  for (char mode : {0, 1}) {
    dll.SimulationMode = mode;
    for (auto [status, text] : rows) {
      std::strcpy(dll.ErrorText, "a longer previous text that must vanish entirely");
      dll.GetErrorDescription(status);
      EXPECT_STREQ(dll.ErrorText, text);
    }
  }
  EXPECT_EQ(dll.ErrorStatus, 77u);
}

}  // namespace

namespace {

// Each wrapper method makes its one call with the arguments the link block holds and leaves the
// call's status in ftStatus, a failure and the success after it alike.
TEST(LinkWrapper, EveryCallLeavesItsStatusAndOutputs) {
  OneBoard b;
  K& d = b.dll;
  struct Row {
    Call call;
    std::function<unsigned int()> run;  // the call, then the output it filled in
    unsigned int arg1, arg2, out;
  };
  const unsigned int by_index = kavro::kFtListByIndex;
  const Row rows[] = {
      {Call::kListDevices, [&] { return d.KAVRO_FT_GetDeviceCount(), d.numDevs; },
       kavro::kFtListNumberOnly, 0, 1},
      {Call::kListDevices,
       [&] { return d.KAVRO_FT_GetDeviceSerialNumber(nullptr), unsigned(d.SerialNumber[5]); },
       by_index | kavro::kFtOpenBySerialNumber, 0, '1'},
      {Call::kListDevices,
       [&] { return d.KAVRO_FT_GetDeviceDescription(nullptr), unsigned(d.Description[0]); },
       by_index | kavro::kFtOpenByDescription, 0, 'K'},
      {Call::kGetDeviceInfo, [&] { return d.KAVRO_FT_GetDeviceInfo(), d.ftDevice; }, 0, 0, 5},
      {Call::kGetStatus, [&] { return d.KAVRO_FT_GetStatus(), d.RxBytes + d.TxBytes; }, 0, 0, 0},
      {Call::kSetTimeouts, [&] { return d.KAVRO_FT_SetTimeouts(300, 400), 0u; }, 300, 400, 0},
      {Call::kSetUSBParameters, [&] { return d.KAVRO_FT_SetUSBParameters(64, 128), 0u; }, 64, 128,
       0},
      {Call::kSetLatencyTimer, [&] { return d.KAVRO_FT_SetLatencyTimer(7), 0u; }, 7, 0, 0},
      {Call::kGetLatencyTimer, [&] { return d.KAVRO_FT_GetLatencyTimer(), 0u; }, 0, 0, 0},
      {Call::kRead, [&] { return d.KAVRO_FT_Read(2000, 1000); }, 24, 0, 0},   // what fits
      {Call::kRead, [&] { return d.KAVRO_FT_Read(10, 5000); }, 0, 0, 0},
      {Call::kWrite, [&] { return d.KAVRO_FT_Write(1025), 0u; }, 1024, 0, 0},
      {Call::kPurge, [&] { return d.KAVRO_FT_Purge(), 0u; }, 3, 0, 0},
      {Call::kCreateDeviceInfoList, [&] { return d.KAVRO_FT_CreateDeviceInfoList(), d.numDevs; },
       0, 0, 1},
      {Call::kGetDeviceInfoList, [&] { return d.KAVRO_FT_GetDeviceInfoList(), d.devInfo->LocId; },
       0, 0, 1},
      {Call::kSetVIDPID, [&] { return d.VID = 0x0403, d.PID = 0x6015, d.KAVRO_FT_SetVIDPID(), 0u; },
       0x0403, 0x6015, 0},
      {Call::kGetVIDPID, [&] { return d.VID = d.PID = 0, d.KAVRO_FT_GetVIDPID(), d.PID; }, 0, 0,
       0x6015},
      {Call::kClose, [&] { return d.KAVRO_FT_Close(), 0u; }, 0, 0, 0},
      {Call::kOpen, [&] { return d.KAVRO_FT_OpenByIndex(0), unsigned(d.ftHandle != nullptr); },
       0, 0, 1},
      {Call::kClose, [&] { return d.KAVRO_FT_Close(), 0u; }, 0, 0, 0},
      {Call::kOpenEx, [&] { return d.KAVRO_FT_OpenExBySerialNumber(), 0u; },
       kavro::kFtOpenBySerialNumber, 0, 0},
      {Call::kClose, [&] { return d.KAVRO_FT_Close(), 0u; }, 0, 0, 0},
      {Call::kOpenEx, [&] { return d.KAVRO_FT_OpenExByDescription(), 0u; },
       kavro::kFtOpenByDescription, 0, 0},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    b.bus.FailCall(row.call, 100 + i);
    d.ftStatus = 0;
    row.run();
    EXPECT_EQ(d.ftStatus, 100 + i) << i;
    b.bus.ClearLog();
    d.ftStatus = 77;
    EXPECT_EQ(row.run(), row.out) << i;
    EXPECT_EQ(d.ftStatus, 0u) << i;
    const kavro::emu::CallRecord last = b.bus.log().back();
    EXPECT_EQ(std::vector<unsigned int>({unsigned(last.call), last.arg1, last.arg2}),
              std::vector<unsigned int>({unsigned(row.call), row.arg1, row.arg2}))
        << i;
  }
}

}  // namespace

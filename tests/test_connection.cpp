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

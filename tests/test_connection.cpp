// Enumeration, and opening and closing boards on the emulated bus.
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
  KAVRO_USB_DLL dll;
  char buffer[64];
};

TEST_F(Connection, CountsNoDeviceAndSeveral) {
  EXPECT_EQ(dll.Get_Device_Count(), "0");
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(dll.ftStatus, 0u);
  bus.AddDevice("KV0001");
  bus.AddDevice("KV0002");
  bus.AddDevice("A123456789ABCDE");  // 15 characters, the longest a serial can be
  EXPECT_EQ(dll.Get_Device_Count(), "3");
  EXPECT_EQ(dll.numDevs, 3u);
}

TEST_F(Connection, ListsSerialNumbersByIndex) {
  bus.AddDevice("KV0001");
  bus.AddDevice("A123456789ABCDE");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(0)), "KV0001");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(1)), "A123456789ABCDE");
  EXPECT_STREQ(dll.SerialNumber, "A123456789ABCDE");

  // An index equal to the count names no device: the serial number stays as it was.
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(2)), "Error");
  EXPECT_EQ(dll.ErrorStatus, 2u);
  EXPECT_STREQ(dll.ErrorText, "Device Not Found");
  EXPECT_STREQ(dll.SerialNumber, "A123456789ABCDE");
}

TEST_F(Connection, FailingListCallsReportTheStatusAndAreKeptAcrossALaterSuccess) {
  bus.AddDevice("KV0001");
  bus.FailCall(Call::kListDevices, 19);
  EXPECT_EQ(dll.Get_Device_Count(), "Error");
  EXPECT_EQ(dll.ErrorStatus, 19u);
  EXPECT_STREQ(dll.ErrorText, "Device List Not Ready");

  EXPECT_EQ(dll.Get_Device_Count(), "1");
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(dll.ErrorStatus, 19u);  // success does not reset it

  bus.FailCall(Call::kListDevices, 4);
  EXPECT_EQ(dll.Get_Device_Serial_Number(nullptr), "Error");
  EXPECT_STREQ(dll.ErrorText, "IO Error");
}

TEST_F(Connection, OpenAppliesTheLinkConfiguration) {
  auto& dev = bus.AddDevice("KV0001");
  std::strcpy(dll.ErrorText, "stale");
  OpenSerial("KV0001");
  ASSERT_NE(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.DeviceHandle, dll.ftHandle);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_STREQ(dll.SerialNumber, "KV0001");
  EXPECT_EQ(dll.ftDevice, 5u);
  EXPECT_TRUE(dev.open);
  EXPECT_EQ(dev.read_timeout_ms, 500u);
  EXPECT_EQ(dev.write_timeout_ms, 500u);
  EXPECT_EQ(dev.in_transfer_size, 8u);
  EXPECT_EQ(dev.out_transfer_size, 8u);
  EXPECT_EQ(dev.latency_ms, 2);

  const Call expected[] = {Call::kOpenEx,      Call::kGetDeviceInfo,    Call::kGetStatus,
                           Call::kSetTimeouts, Call::kSetUSBParameters, Call::kSetLatencyTimer};
  ASSERT_EQ(bus.log().size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(bus.log()[i].call, expected[i]) << i;
}

TEST_F(Connection, UnknownSerialMakesNoConfigurationCall) {
  bus.AddDevice("KV0001");
  OpenSerial("KV9999");
  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, 2u);
  EXPECT_STREQ(dll.ErrorText, "Device Not Found");
  EXPECT_EQ(bus.log().size(), 1u);
}

TEST_F(Connection, ABoardOpenElsewhereCannotBeOpenedAgain) {
  bus.AddDevice("KV0001");
  OpenSerial("KV0001");
  KAVRO_USB_DLL other;
  other.UseLink(&bus);
  other.Open_Device_Connection(buffer);
  EXPECT_EQ(other.DeviceHandle, nullptr);
  EXPECT_EQ(other.ErrorStatus, 3u);
  EXPECT_STREQ(other.ErrorText, "Device Not Opened");
}

TEST_F(Connection, NullOrOverlongSerialIsRefusedWithoutAnyD2xxCall) {
  bus.AddDevice("KV0001");
  dll.DeviceHandle = &bus;
  dll.Open_Device_Connection(nullptr);
  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, 6u);
  EXPECT_STREQ(dll.ErrorText, "Invalid Parameter");

  OpenSerial("KV00010000000001");  // 16 characters
  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, 6u);
  EXPECT_TRUE(bus.log().empty());
}

// Each of the six open steps failing in turn: the right status and text, no later step, and
// the device closed again when it had been opened.
class OpenStepFailure : public Connection, public ::testing::WithParamInterface<int> {};

TEST_P(OpenStepFailure, ReportsAndClosesTheHalfOpenedDevice) {
  const Call steps[] = {Call::kOpenEx,      Call::kGetDeviceInfo,    Call::kGetStatus,
                        Call::kSetTimeouts, Call::kSetUSBParameters, Call::kSetLatencyTimer};
  const unsigned int statuses[] = {2, 1, 4, 18, 6, 17};
  const char* texts[] = {"Device Not Found", "Invalid Handle",    "IO Error",
                         "Other Errors",     "Invalid Parameter", "Not Supported"};
  const int step = GetParam();
  auto& dev = bus.AddDevice("KV0001");
  bus.FailCall(steps[step], statuses[step]);
  OpenSerial("KV0001");

  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, statuses[step]);
  EXPECT_STREQ(dll.ErrorText, texts[step]);
  EXPECT_FALSE(dev.open);
  // The calls made: the steps up to the failing one, then the close (after an open).
  const std::size_t expected = step == 0 ? 1 : static_cast<std::size_t>(step) + 2;
  ASSERT_EQ(bus.log().size(), expected);
  for (int i = 0; i <= step; ++i) EXPECT_EQ(bus.log()[i].call, steps[i]);
  if (step > 0) {
    EXPECT_EQ(bus.log().back().call, Call::kClose);
  }

  // The board can be opened again at once.
  OpenSerial("KV0001");
  EXPECT_NE(dll.DeviceHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(EachStep, OpenStepFailure, ::testing::Range(0, 6));

TEST_F(Connection, LatencyStepFailureKeepsEarlierSettingsUntilTheClose) {
  auto& dev = bus.AddDevice("KV0001");
  bus.FailCall(Call::kSetLatencyTimer, 4);
  OpenSerial("KV0001");
  EXPECT_EQ(dev.read_timeout_ms, 500u);
  EXPECT_EQ(dev.in_transfer_size, 8u);
  EXPECT_EQ(dev.latency_ms, 16);  // never applied
}

TEST_F(Connection, CloseOfOpenClosedAndNullHandles) {
  auto& dev = bus.AddDevice("KV0001");
  OpenSerial("KV0001");
  void* h = dll.DeviceHandle;
  std::strcpy(dll.ErrorText, "stale");
  dll.Close_Device_Connection(h);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_FALSE(dev.open);
  EXPECT_EQ(dll.DeviceHandle, h);  // closing does not clear it

  dll.Close_Device_Connection(h);  // already closed
  EXPECT_EQ(dll.ErrorStatus, 1u);
  EXPECT_STREQ(dll.ErrorText, "Invalid Handle");
  EXPECT_EQ(dll.ftHandle, h);

  dll.Close_Device_Connection(nullptr);
  EXPECT_EQ(dll.ErrorStatus, 1u);
  EXPECT_STREQ(dll.ErrorText, "Invalid Handle");

  // A later successful count leaves that status in place, with no text.
  EXPECT_EQ(dll.Get_Device_Count(), "1");
  EXPECT_EQ(dll.ErrorStatus, 1u);
  EXPECT_STREQ(dll.ErrorText, "");
}

TEST_F(Connection, CloseFailureIsReported) {
  bus.AddDevice("KV0001");
  OpenSerial("KV0001");
  bus.FailCall(Call::kClose, 4);
  dll.Close_Device_Connection(dll.DeviceHandle);
  EXPECT_EQ(dll.ErrorStatus, 4u);
  EXPECT_STREQ(dll.ErrorText, "IO Error");
}

TEST_F(Connection, OneInstanceCanOpenTwoBoards) {
  bus.AddDevice("KV0001");
  bus.AddDevice("KV0002");
  OpenSerial("KV0001");
  void* first = dll.DeviceHandle;
  OpenSerial("KV0002");
  void* second = dll.DeviceHandle;
  EXPECT_NE(first, second);
  dll.Close_Device_Connection(first);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  dll.Close_Device_Connection(second);
  EXPECT_EQ(dll.ErrorStatus, 0u);
}

}  // namespace

// Status descriptions, the result convention and simulation mode of the link-level methods.
#include <cstring>

#include "fixture.h"

namespace {

struct StatusRow {
  unsigned int code;
  const char* text;
};

void PrintTo(const StatusRow& row, std::ostream* os) {
  *os << "status " << row.code;
}

const StatusRow kRows[] = {
    {0, "OK"},
    {1, "Invalid Handle"},
    {2, "Device Not Found"},
    {3, "Device Not Opened"},
    {4, "IO Error"},
    {5, "Insufficient Resources"},
    {6, "Invalid Parameter"},
    {7, "Invalid Baud Rate"},
    {8, "Device Not Opened For Erase"},
    {9, "Device Not Opened For Write"},
    {10, "Failed to Write Device"},
    {11, "EEPROM Read Failed"},
    {12, "EEPROM Write Failed"},
    {13, "EEPROM Erased Failed"},
    {14, "EEPROM Not Present"},
    {15, "EEPROM Not Programmed"},
    {16, "Invalid Arguments"},
    {17, "Not Supported"},
    {18, "Other Errors"},
    {19, "Device List Not Ready"},
    {20, "Unknown Error"},
    {0xFFFFFFFFu, "Unknown Error"},
};

class StatusDescription : public ::testing::TestWithParam<StatusRow> {};

TEST_P(StatusDescription, WritesTheFixedTextAndTouchesNothingElse) {
  KAVRO_USB_DLL dll;
  std::strcpy(dll.ErrorText, "a longer previous text that must vanish entirely");
  dll.ErrorStatus = 77;
  dll.GetErrorDescription(GetParam().code);
  EXPECT_STREQ(dll.ErrorText, GetParam().text);
  EXPECT_EQ(dll.ErrorStatus, 77u);
  // Simulation mode makes no difference.
  dll.SimulationMode = 1;
  dll.GetErrorDescription(GetParam().code);
  EXPECT_STREQ(dll.ErrorText, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(AllCodes, StatusDescription, ::testing::ValuesIn(kRows));

TEST(FreshInstance, StartsZeroedAndEmpty) {
  KAVRO_USB_DLL dll;
  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(dll.PacketNumber, 0);
  EXPECT_EQ(dll.BoardType, 0u);
  EXPECT_TRUE(dll.PacketSent.empty());
  EXPECT_TRUE(dll.WriteStatus.empty());
  EXPECT_EQ(dll.SimulationMode, 0);
}

TEST(Simulation, LinkMethodsAnswerWithoutAnyD2xxCall) {
  VirtualBus bus;
  bus.AddDevice("KV0001");
  KAVRO_USB_DLL dll;
  dll.UseLink(&bus);
  dll.SimulationMode = 1;
  dll.SimSerialNumber = 12345;
  std::strcpy(dll.ErrorText, "kept");
  dll.ErrorStatus = 4;

  char serial[] = "whatever";
  dll.Open_Device_Connection(serial);
  ASSERT_NE(dll.DeviceHandle, nullptr);
  EXPECT_EQ(*static_cast<int*>(dll.DeviceHandle), 123456);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_STREQ(dll.ErrorText, "kept");  // a simulated open does not clear it

  void* first = dll.DeviceHandle;
  *static_cast<int*>(first) = 0;  // an application scribbling on the block
  dll.Open_Device_Connection(serial);
  EXPECT_EQ(*static_cast<int*>(dll.DeviceHandle), 123456);

  dll.ErrorStatus = 3;
  dll.Close_Device_Connection(dll.DeviceHandle);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  EXPECT_STREQ(dll.ErrorText, "kept");

  EXPECT_EQ(dll.Get_Device_Count(), "1");
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(7)), "12345");
  dll.SimSerialNumber = -7;
  EXPECT_EQ(dll.Get_Device_Serial_Number(nullptr), "-7");

  EXPECT_TRUE(bus.log().empty());
}

TEST(Simulation, AnyOtherValueTalksToTheDevice) {
  VirtualBus bus;
  bus.AddDevice("KV0001");
  bus.AddDevice("KV0002");
  KAVRO_USB_DLL dll;
  dll.UseLink(&bus);
  for (char mode : {0, 2}) {
    dll.SimulationMode = mode;
    EXPECT_EQ(dll.Get_Device_Count(), "2");
  }
  EXPECT_EQ(bus.CountCalls(Call::kListDevices), 2u);
}

}  // namespace

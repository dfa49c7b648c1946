// The default link: the vendor D2XX library found by the dynamic loader. Run once with the
// emulator's drop-in libftd2xx.so on LD_LIBRARY_PATH, and once with no such library at all.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "KAVRO_USB_DLL.h"

namespace {

TEST(DropIn, DefaultInstanceEnumeratesOpensAndTalksToABoard) {
  // Our own handle on the same library, for its control API.
  void* lib = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto add_board = reinterpret_cast<int (*)(const char*, unsigned int, unsigned int)>(
      dlsym(lib, "kavroemu_add_board"));
  auto fail_call = reinterpret_cast<int (*)(const char*, unsigned int, unsigned int)>(
      dlsym(lib, "kavroemu_fail_call"));
  ASSERT_NE(add_board, nullptr);
  ASSERT_NE(fail_call, nullptr);
  ASSERT_EQ(add_board("DROPIN01", 3, 1), 0);
  ASSERT_EQ(add_board("DROPIN02", 9, 4), 1);

  KAVRO_USB_DLL dll;  // no provider chosen: the vendor library
  EXPECT_EQ(dll.CurrentLink().Diagnostic(), "");
  EXPECT_EQ(dll.Get_Device_Count(), "2");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(1)), "DROPIN02");

  char serial[] = "DROPIN02";
  dll.Open_Device_Connection(serial);
  ASSERT_NE(dll.DeviceHandle, nullptr) << dll.ErrorText;
  EXPECT_EQ(dll.ErrorStatus, 0u);

  dll.Get_Version_of_Board(dll.DeviceHandle);
  EXPECT_EQ(dll.BoardType, 9u) << dll.ErrorText;

  ASSERT_EQ(fail_call("FT_Close", 4, 1), 0);
  dll.Close_Device_Connection(dll.DeviceHandle);
  EXPECT_EQ(dll.ErrorStatus, 4u);
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  dll.Close_Device_Connection(dll.DeviceHandle);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  dlclose(lib);
}

TEST(NoVendor, EveryCallFailsCleanlyAndTheReasonNamesTheFileTried) {
  KAVRO_USB_DLL dll;
  dll.UseLink(&kavro::VendorLink());  // chosen: the default would fall back to libftdi1
  const std::string why = dll.CurrentLink().Diagnostic();
  EXPECT_NE(why.find("libftd2xx"), std::string::npos) << why;

  EXPECT_EQ(dll.Get_Device_Count(), "Error");
  EXPECT_EQ(dll.ErrorStatus, 18u);
  EXPECT_STREQ(dll.ErrorText, "Other Errors");
  EXPECT_EQ(dll.Get_Device_Serial_Number(nullptr), "Error");

  char serial[] = "KV0001";
  dll.Open_Device_Connection(serial);
  EXPECT_EQ(dll.DeviceHandle, nullptr);
  EXPECT_EQ(dll.ErrorStatus, 18u);
  dll.Close_Device_Connection(nullptr);
  EXPECT_EQ(dll.ErrorStatus, 18u);
  EXPECT_STREQ(dll.ErrorText, "Other Errors");
}

}  // namespace

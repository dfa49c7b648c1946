// The default link, the vendor D2XX library found by the dynamic loader, in three settings: the
// emulator's drop-in libftd2xx.so, no such library at all, and a library of that name without
// the D2XX functions. Each runs in its own process (see CMakeLists.txt).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "KAVRO_USB_DLL.h"

namespace {

// clang-format off
const char* const kFunctions[] = {
    "FT_ListDevices", "FT_Open", "FT_OpenEx", "FT_Close", "FT_Read", "FT_Write", "FT_GetDeviceInfo",
    "FT_GetStatus", "FT_SetTimeouts", "FT_SetUSBParameters", "FT_SetLatencyTimer", "FT_GetLatencyTimer",
    "FT_Purge", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_SetVIDPID", "FT_GetVIDPID"};
// clang-format on

// Calls each D2XX function once through link, in the order above, and lists their statuses.
std::string EveryStatus(kavro::LinkProvider& link) {
  unsigned int a = 0, b = 0, c = 0;
  unsigned char ms = 0;
  char text[64] = {};
  void* h = nullptr;
  kavro::FT_DEVICE_LIST_INFO_NODE node{};
  // clang-format off
  const unsigned int statuses[] = {
      link.ListDevices(&a, nullptr, kavro::kFtListNumberOnly), link.Open(0, &h), link.OpenEx(text, 1, &h),
      link.Close(h), link.Read(h, text, 1, &a), link.Write(h, text, 1, &a),
      link.GetDeviceInfo(h, &a, &b, text, text, nullptr), link.GetStatus(h, &a, &b, &c),
      link.SetTimeouts(h, 1, 1), link.SetUSBParameters(h, 64, 64), link.SetLatencyTimer(h, 2),
      link.GetLatencyTimer(h, &ms), link.Purge(h, 3), link.CreateDeviceInfoList(&a),
      link.GetDeviceInfoList(&node, &a), link.SetVIDPID(0x0403, 0x6001), link.GetVIDPID(&a, &b)};
  // clang-format on
  std::string out;
  for (unsigned int s : statuses) out += (out.empty() ? "" : " ") + std::to_string(s);
  return out;
}

const char kAllFailed[] = "18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18";

TEST(DropIn, TheDefaultInstanceFindsTheLibraryAndReachesEachOfItsFunctions) {
  void* lib = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);  // for the emulator's control API
  ASSERT_NE(lib, nullptr) << dlerror();
  auto add_board = reinterpret_cast<int (*)(const char*, unsigned int, unsigned int)>(
      dlsym(lib, "kavroemu_add_board"));
  auto fail_call = reinterpret_cast<int (*)(const char*, unsigned int, unsigned int)>(
      dlsym(lib, "kavroemu_fail_call"));
  ASSERT_TRUE(add_board && fail_call);
  ASSERT_EQ(add_board("DROPIN01", 3, 1), 2);  // after the ready-made boards it starts with
  ASSERT_EQ(add_board("DROPIN02", 9, 4), 3);

  KAVRO_USB_DLL dll;  // no provider chosen: the vendor library
  EXPECT_EQ(dll.CurrentLink().Diagnostic(), "");
  EXPECT_EQ(dll.Get_Device_Count(), "4");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(1)), "KAVRO-0009");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(3)), "DROPIN02");
  char serial[] = "DROPIN02";
  dll.Open_Device_Connection(serial);
  ASSERT_NE(dll.DeviceHandle, nullptr) << dll.ErrorText;
  dll.Get_Version_of_Board(dll.DeviceHandle);
  EXPECT_EQ(dll.BoardType, 9u) << dll.ErrorText;
  dll.Close_Device_Connection(dll.DeviceHandle);
  EXPECT_EQ(dll.ErrorStatus, 0u);

  // Each function failing with its own status shows that each call reaches its own function.
  for (unsigned int i = 0; i < 17; ++i) ASSERT_EQ(fail_call(kFunctions[i], i + 1, 1), 0);
  EXPECT_EQ(EveryStatus(dll.CurrentLink()), "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17");
  dlclose(lib);
}

TEST(NoVendor, EveryCallFailsAndTheReasonNamesTheFilesTried) {
  KAVRO_USB_DLL dll;
  dll.UseLink(&kavro::VendorLink());  // chosen: the default would fall back to libftdi1
  const std::string why = dll.CurrentLink().Diagnostic();
  EXPECT_EQ(why.rfind("the D2XX library could not be loaded: tried libftd2xx.so (", 0), 0u) << why;
  EXPECT_EQ(EveryStatus(dll.CurrentLink()), kAllFailed);
  EXPECT_EQ(dll.Get_Device_Count(), "Error");
  EXPECT_STREQ(dll.ErrorText, "Other Errors");
}

TEST(NotD2xx, ALibraryLackingTheD2xxFunctionsIsNeverCalledAndTheyAreNamed) {
  KAVRO_USB_DLL dll;
  dll.UseLink(&kavro::VendorLink());  // chosen: the default would fall back to libftdi1
  EXPECT_EQ(dll.CurrentLink().Diagnostic(),
            "the D2XX library was loaded but lacks FT_ListDevices, FT_Open, FT_OpenEx, FT_Close, "
            "FT_Read, FT_Write, FT_GetDeviceInfo, FT_GetStatus, FT_SetTimeouts, "
            "FT_SetUSBParameters, FT_SetLatencyTimer, FT_GetLatencyTimer, FT_Purge, "
            "FT_CreateDeviceInfoList, FT_GetDeviceInfoList");
  EXPECT_EQ(EveryStatus(dll.CurrentLink()), kAllFailed);
}

}  // namespace

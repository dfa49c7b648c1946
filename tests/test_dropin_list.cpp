// The vendor provider's device list on the emulator's drop-in libftd2xx.so, which, as D2XX
// does, writes its whole list whatever the caller's array holds.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "KAVRO_USB_DLL.h"

TEST(DropInList, TheVendorProviderCopiesNoMoreNodesThanTheCallerHolds) {
  void* lib = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto add_board = reinterpret_cast<int (*)(const char*, unsigned int, unsigned int)>(
      dlsym(lib, "kavroemu_add_board"));
  ASSERT_NE(add_board, nullptr);
  add_board("L1", 3, 1);
  unsigned int count = 0;
  ASSERT_EQ(kavro::VendorLink().CreateDeviceInfoList(&count), 0u);
  kavro::FT_DEVICE_LIST_INFO_NODE nodes[3] = {};
  nodes[2].Flags = 0xABCD;
  count = 2;
  EXPECT_EQ(kavro::VendorLink().GetDeviceInfoList(nodes, &count), 0u);
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(nodes[1].SerialNumber, "KAVRO-0009");  // the ready-made boards come first
  EXPECT_EQ(nodes[2].Flags, 0xABCDu);
  dlclose(lib);
}

// The vendor library's wait for replies, on the emulator's drop-in libftd2xx.so: run once with a
// drop-in that has FT_SetEventNotification, which the library then waits on, and once with one
// that lacks it, as older libraries do, where the library waits its own way.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "KAVRO_USB_DLL.h"

TEST(DropInWait, RepliesThatTakeTimeComeWithoutBusyPollingWithOrWithoutEvents) {
  void* lib = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto add_board = reinterpret_cast<int (*)(const char*, unsigned int, unsigned int)>(
      dlsym(lib, "kavroemu_add_board"));
  auto set_latency = reinterpret_cast<int (*)(const char*, unsigned int)>(
      dlsym(lib, "kavroemu_set_reply_latency"));
  auto count = reinterpret_cast<long (*)(const char*)>(dlsym(lib, "kavroemu_count_calls"));
  ASSERT_TRUE(add_board && set_latency && count);
  const bool events = dlsym(lib, "FT_SetEventNotification") != nullptr;
  ASSERT_EQ(add_board("WAIT01", 3, 1), 2);
  ASSERT_EQ(set_latency("WAIT01", 2000), 0);

  KAVRO_USB_DLL dll;
  char serial[] = "WAIT01";
  dll.Open_Device_Connection(serial);
  ASSERT_NE(dll.DeviceHandle, nullptr) << dll.ErrorText;
  const long polls_before = count("FT_GetStatus");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(dll.Slave_Activity_Inquiry(dll.DeviceHandle), "0");
  // A busy wait asks thousands of times per reply.
  EXPECT_LE(count("FT_GetStatus") - polls_before, 10 * 10);
  EXPECT_EQ(count("FT_SetEventNotification"), events ? 1 : 0);
  dll.Close_Device_Connection(dll.DeviceHandle);
  EXPECT_EQ(dll.ErrorStatus, 0u);
  dlclose(lib);
}

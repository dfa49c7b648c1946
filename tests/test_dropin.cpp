// The default link, the vendor D2XX library found by the dynamic loader, in three settings: the
// emulator's drop-in libftd2xx.so (its calls, its device list bounded by the caller's array, its
// waits for replies), no such library at all, where the default falls back to libftdi1, and a
// library of that name without the D2XX functions. Each runs in its own process (see
// CMakeLists.txt). On Windows the drop-in is ftd2xx.dll, found by Windows' search order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KAVRO_USB_DLL.h"
#include "kavro/kavro.h"
#include "platform/platform.h"

namespace {

// clang-format off
const char* const kFunctions[] = {
    "FT_ListDevices", "FT_Open", "FT_OpenEx", "FT_Close", "FT_Read", "FT_Write", "FT_GetDeviceInfo",
    "FT_GetStatus", "FT_SetTimeouts", "FT_SetUSBParameters", "FT_SetLatencyTimer", "FT_GetLatencyTimer",
    "FT_Purge", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_SetVIDPID", "FT_GetVIDPID"};
// clang-format on

// Calls each D2XX function once through link, in the order above, and lists their statuses.
std::vector<unsigned int> EveryStatus(kavro::LinkProvider& link) {
  unsigned int a = 0, b = 0, c = 0;
  unsigned char ms = 0;
  char text[64] = {};
  void* h = nullptr;
  kavro::FT_DEVICE_LIST_INFO_NODE node{};
  // clang-format off
  return {
      link.ListDevices(&a, nullptr, kavro::kFtListNumberOnly), link.Open(0, &h), link.OpenEx(text, 1, &h),
      link.Close(h), link.Read(h, text, 1, &a), link.Write(h, text, 1, &a),
      link.GetDeviceInfo(h, &a, &b, text, text, nullptr), link.GetStatus(h, &a, &b, &c),
      link.SetTimeouts(h, 1, 1), link.SetUSBParameters(h, 64, 64), link.SetLatencyTimer(h, 2),
      link.GetLatencyTimer(h, &ms), link.Purge(h, 3), link.CreateDeviceInfoList(&a),
      link.GetDeviceInfoList(&node, &a), link.SetVIDPID(0x0403, 0x6001), link.GetVIDPID(&a, &b)};
  // clang-format on
}

const std::vector<unsigned int> kAllFailed(17, 18);  // "Other Errors" from each

// The vendor library's first name here: libftd2xx.so, libftd2xx.dylib or ftd2xx.dll.
const std::string kVendorLibrary = kavro::platform::VendorLibraryNames().front();

// The drop-in emulator's functions, from the library the loader finds by that name.
struct Emulator {
  Emulator() : lib(kavro::platform::OpenLibrary(kVendorLibrary, &why)) {}
  ~Emulator() { kavro::platform::CloseLibrary(lib); }
  template <typename F>
  F* Get(const char* name) const {
    return reinterpret_cast<F*>(kavro::platform::LibrarySymbol(lib, name));
  }
  std::string why;
  void* lib;
};

TEST(DropIn, TheDefaultInstanceFindsTheLibraryAndReachesEachOfItsFunctions) {
  Emulator emu;
  auto add_board = emu.Get<int(const char*, unsigned int, unsigned int)>("kavroemu_add_board");
  auto fail_call = emu.Get<int(const char*, unsigned int, unsigned int)>("kavroemu_fail_call");
  ASSERT_TRUE(add_board && fail_call) << emu.why;
  ASSERT_EQ(add_board("DROPIN02", 9, 4), 2);  // after the ready-made boards it starts with

  KAVRO_USB_DLL dll;  // no provider chosen: the vendor library
  EXPECT_EQ(dll.CurrentLink().Diagnostic(), "");
  EXPECT_EQ(dll.Get_Device_Count(), "3");
  EXPECT_EQ(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(2)), "DROPIN02");
  char serial[] = "DROPIN02";
  dll.Open_Device_Connection(serial);
  ASSERT_NE(dll.DeviceHandle, nullptr) << dll.ErrorText;
  dll.Get_Version_of_Board(dll.DeviceHandle);
  EXPECT_EQ(dll.BoardType, 9u) << dll.ErrorText;

  // D2XX writes its whole device list whatever the caller's array holds; the provider does not.
  // A third node, marked in its Flags, behind the two the caller makes room for.
  kavro::FT_DEVICE_LIST_INFO_NODE nodes[3] = {{}, {}, {0xABCD, 0, 0, 0, {}, {}, nullptr}};
  unsigned int all = 0, count = 2;
  ASSERT_EQ(kavro::VendorLink().CreateDeviceInfoList(&all), 0u);
  EXPECT_EQ(kavro::VendorLink().GetDeviceInfoList(nodes, &count), 0u);
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(nodes[1].SerialNumber, "KAVRO-0009");  // the ready-made boards come first
  EXPECT_EQ(nodes[2].Flags, 0xABCDu);

  // Each function failing with its own status shows that each call reaches its own function.
  for (unsigned int i = 0; i < 17; ++i) ASSERT_EQ(fail_call(kFunctions[i], i + 1, 1), 0);
  EXPECT_EQ(EveryStatus(dll.CurrentLink()),
            (std::vector<unsigned int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
}

// Run once with a drop-in that has FT_SetEventNotification, which the library then waits on, and
// once with one that lacks it, as older libraries do, where the library waits its own way.
TEST(DropInWait, RepliesThatTakeTimeComeWithoutBusyPollingWithOrWithoutEvents) {
  Emulator emu;
  auto set_latency = emu.Get<int(const char*, unsigned int)>("kavroemu_set_reply_latency");
  auto count = emu.Get<long long(const char*)>("kavroemu_count_calls");
  ASSERT_TRUE(set_latency && count) << emu.why;
  const bool events = emu.Get<void>("FT_SetEventNotification") != nullptr;
  ASSERT_EQ(set_latency("KAVRO-0001", 2000), 0);  // a ready-made board

  KAVRO_USB_DLL dll;
  char serial[] = "KAVRO-0001";
  dll.Open_Device_Connection(serial);
  ASSERT_NE(dll.DeviceHandle, nullptr) << dll.ErrorText;
  const long long polls_before = count("FT_GetStatus");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(dll.Slave_Activity_Inquiry(dll.DeviceHandle), "0");
  // A busy wait asks thousands of times per reply.
  EXPECT_LE(count("FT_GetStatus") - polls_before, 10 * 10);
  EXPECT_EQ(count("FT_SetEventNotification"), events ? 1 : 0);
}

// The receive event the library gives a D2XX library (a Win32 event on Windows, the EVENT_HANDLE
// pair elsewhere), signalled by the drop-in: a reply wakes a wait on it, and with nothing to
// come a wait ends at its time-out.
TEST(DropInWait, AReplyWakesAWaitOnTheReceiveEventAndATimeOutEndsOne) {
  Emulator emu;
  auto notify = emu.Get<unsigned int(void*, unsigned int, void*)>("FT_SetEventNotification");
  if (notify == nullptr) GTEST_SKIP() << "this drop-in stands for a library without events";
  auto open = emu.Get<unsigned int(void*, unsigned int, void**)>("FT_OpenEx");
  auto write = emu.Get<unsigned int(void*, void*, unsigned int, unsigned int*)>("FT_Write");
  auto queued = emu.Get<unsigned int(void*, unsigned int*, unsigned int*, unsigned int*)>("FT_GetStatus");
  auto close = emu.Get<unsigned int(void*)>("FT_Close");
  auto set_latency = emu.Get<int(const char*, unsigned int)>("kavroemu_set_reply_latency");
  ASSERT_TRUE(open && write && queued && close && set_latency) << emu.why;
  ASSERT_EQ(set_latency("KAVRO-0009", 30000), 0);
  char serial[] = "KAVRO-0009";
  void* h = nullptr;
  ASSERT_EQ(open(serial, kavro::kFtOpenBySerialNumber, &h), 0u);
  kavro::platform::RxEvent event;
  ASSERT_EQ(notify(h, kavro::kFtEventRxChar, event.parameter()), 0u);

  const std::uint64_t before = kavro::SteadyMicroseconds();
  EXPECT_FALSE(event.Wait(20000));  // nothing asked for, nothing comes
  EXPECT_GE(kavro::SteadyMicroseconds() - before, 19000u);

  unsigned char request[] = {0x01, 0x04, 0x44, 0xAA};  // packet 1 of a session, as a board gets it
  unsigned int put = 0, rx = 0, tx = 0, events = 0;
  ASSERT_EQ(write(h, request, sizeof(request), &put), 0u);
  ASSERT_EQ(queued(h, &rx, &tx, &events), 0u);
  EXPECT_EQ(rx, 0u);  // the reply is 30 ms away
  EXPECT_TRUE(event.Wait(10000000));
  ASSERT_EQ(queued(h, &rx, &tx, &events), 0u);
  EXPECT_GT(rx, 0u);
  EXPECT_EQ(close(h), 0u);
}

TEST(NoVendor, EveryCallFailsAndTheReasonNamesTheFilesTried) {
  const std::string why = kavro::VendorLink().Diagnostic();
  EXPECT_EQ(why.rfind("the D2XX library could not be loaded: tried " + kVendorLibrary + " (", 0), 0u)
      << why;
  EXPECT_EQ(EveryStatus(kavro::VendorLink()), kAllFailed);
}

TEST(NoVendor, TheDefaultLinkFallsBackToLibftdiAndCopiesOfAnInstanceShareIt) {
  ASSERT_FALSE(kavro::VendorLink().Available());
  const bool libftdi = kavro::LibftdiLinkAvailable();
  KAVRO_USB_DLL dll;
  kavro::LinkProvider& link = dll.CurrentLink();
  EXPECT_EQ(link.Name(), libftdi ? "libftdi1" : "vendor D2XX library");
  {
    KAVRO_USB_DLL copy = dll, assigned;
    assigned = copy;
    EXPECT_EQ(&assigned.CurrentLink(), &link);
  }  // the copies go first: the provider stays for dll
  dll.UseLink(&kavro::VendorLink());
  dll.UseLink(nullptr);
  EXPECT_EQ(&dll.CurrentLink(), &link);
  EXPECT_EQ(kavro::Board::Open("KV0001").error().kind,
            libftdi ? kavro::ErrorKind::kNotFound : kavro::ErrorKind::kLinkUnavailable);

  kavro::OpenOptions vendor;
  vendor.link = &kavro::VendorLink();
  const kavro::Error e = kavro::Board::Open("KV0001", vendor).error();
  EXPECT_EQ(std::make_pair(e.kind, e.status),
            std::make_pair(kavro::ErrorKind::kLinkUnavailable, 18u));
  EXPECT_NE(e.hint.find("tried " + kVendorLibrary), std::string::npos) << e.hint;
  EXPECT_NE(e.hint.find("; install FTDI's D2XX library, or use the libftdi1 link"),
            std::string::npos);
}

TEST(NotD2xx, ALibraryLackingTheD2xxFunctionsIsNeverCalledAndTheyAreNamed) {
  EXPECT_EQ(kavro::VendorLink().Diagnostic(),
            "the D2XX library was loaded but lacks FT_ListDevices, FT_Open, FT_OpenEx, FT_Close, "
            "FT_Read, FT_Write, FT_GetDeviceInfo, FT_GetStatus, FT_SetTimeouts, "
            "FT_SetUSBParameters, FT_SetLatencyTimer, FT_GetLatencyTimer, FT_Purge, "
            "FT_CreateDeviceInfoList, FT_GetDeviceInfoList");
  EXPECT_EQ(EveryStatus(kavro::VendorLink()), kAllFailed);
}

}  // namespace

// Boards unplugged and plugged in again on the emulated bus, by hand and on the bus clock.
#include <tuple>
#include <vector>

#include "fixture.h"

namespace {

// After a replug the board has its power-on configuration again and keeps its calibration; the
// bridge starts from its defaults with nothing queued, and the handle from before stays dead.
TEST(Unplug, AReplugGivesAFreshlyPoweredBoardAndKeepsOldHandlesDead) {
  for (auto [board, channel, config_register] : std::vector<std::tuple<Board, int, int>>{
           {Board::Common(), 0, 0x64}, {Board::Type0(), 0, 0x7A}, {Board::Type9(), 1, 0x64}}) {
    board.SetPowerOnConfigByte(channel, 0x24);
    // The reply to the first inquiry stays on its way.
    board.faults.push_back(Fault(ReplyFault::kHold, {}, 1000000));
    OneBoard b(board);
    auto& [bus, dev, dll, handle] = b;
    std::string serial = dev.serial;
    EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "Error");
    EXPECT_EQ(dll.Set_ADC_Configuration2(handle, 0x37, channel), "0");
    EXPECT_FALSE(bus.Replug(serial));
    ASSERT_TRUE(bus.Unplug(serial) && bus.Replug(serial));

    EXPECT_TRUE(dev.pending.empty());
    EXPECT_EQ(dev.latency_ms, 16);
    dll.Open_Device_Connection(&serial[0]);  // the old handle was never closed
    ASSERT_STREQ(dll.ErrorText, "");
    EXPECT_EQ(dll.Get_Fullscale_Load(dll.DeviceHandle, channel), "5000");
    EXPECT_EQ(dll.Get_ADC_Configuration(config_register, channel), "Finished");
    EXPECT_EQ(dll.AdcConfigUpper * 16 + dll.AdcSamplingRate, 0x24);
    EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "Error");
    EXPECT_EQ(dll.ErrorStatus, 4u);
  }
}

// On virtual time the bus clock moves 20 us with every status poll, so a scheduled unplug lands
// in the middle of a host's polls, and the replug while another host polls.
TEST(Unplug, AScheduledUnplugTakesTheDeviceOffTheListAndKillsItsHandleUntilClosed) {
  OneBoard b;
  auto& [bus, dev, dll, handle] = b;
  bus.AddDevice("KV0002");
  KAVRO_USB_DLL other;
  other.UseLink(&bus);
  char kv0001[] = "KV0001", kv0002[] = "KV0002";
  other.Open_Device_Connection(kv0002);
  const std::uint64_t start = bus.now_us();
  bus.ScheduleUnplug("KV0001", 1000, 3000);
  int inquiries = 0;
  while (dll.Slave_Activity_Inquiry(handle) == "0") ++inquiries;
  EXPECT_EQ(inquiries, 24);  // 40 us each: the 25th loses the board once its reply is queued
  EXPECT_EQ(bus.now_us(), start + 1000);
  EXPECT_EQ(&bus.device(0), &dev);  // still there, only absent: references stay good
  EXPECT_EQ(dll.Get_Device_Count(), "1");
  EXPECT_EQ(dll.Get_Device_Serial_Number(nullptr), "KV0002");
  dll.Open_Device_Connection(kv0001);
  EXPECT_STREQ(dll.ErrorText, "Device Not Found");
  for (unsigned int status : {0u, 1u}) {  // the first close releases the handle
    dll.Close_Device_Connection(handle);
    EXPECT_EQ(dll.ErrorStatus, status);
  }
  while (other.Get_Device_Count() == "1")
    ASSERT_EQ(other.Slave_Activity_Inquiry(other.DeviceHandle), "0");
  EXPECT_EQ(bus.now_us(), start + 4000);
  dll.Open_Device_Connection(kv0001);
  EXPECT_STREQ(dll.ErrorText, "");
}

}  // namespace

// One provider shared by several instances and threads: device lists bounded by the caller's
// array, libftdi1 boards that do not wait for each other, and an emulated bus that two
// instances use while a third thread plugs boards in and out and injects faults.
#include <atomic>
#include <thread>

#include "fixture.h"
#include "kavro/kavro_c.h"
#include "links/libftdi_provider.h"

namespace {

// Two FTDI chips, KV0001 and KV0002, that answer nothing. At stage 1 the next read on KV0001
// is slow (stage 2): it waits up to a second, as a USB read waiting out its time-out, for a
// read on KV0002 (stage 3), or gives up (stage 4).
struct TwoChips final : kavro::ftdi::FtdiBackend {
  int FindAll(std::uint16_t vid, std::uint16_t pid,
              std::vector<kavro::ftdi::UsbDevice>* out) override {
    for (std::uintptr_t chip = 1; pid == 0x6001 && chip <= 2; ++chip)
      out->push_back({reinterpret_cast<void*>(chip), vid, pid, 0, 1, false, true,
                      "KV000" + std::to_string(chip), ""});
    return 0;
  }
  int Read(void* context, std::uint8_t*, int) override {
    int slow = 1, waiting = 2;
    if (context == reinterpret_cast<void*>(2)) stage.compare_exchange_strong(waiting, 3);
    const std::uint64_t until = kavro::SteadyMicroseconds() + 1000000;
    if (context == reinterpret_cast<void*>(1) && stage.compare_exchange_strong(slow, 2)) {
      while (stage == 2 && kavro::SteadyMicroseconds() < until) std::this_thread::yield();
      stage.compare_exchange_strong(waiting, 4);  // gave up: no read on KV0002 came meanwhile
    }
    return 0;
  }
  void* Open(void* device, int, int*, unsigned int*) override { return device; }
  int Close(void*) override { return 0; }
  int Write(void*, const std::uint8_t*, int size) override { return size; }
  int SetChunkSize(void*, unsigned int) override { return 0; }
  int SetLatency(void*, unsigned char) override { return 0; }
  int GetLatency(void*, unsigned char*) override { return 0; }
  int Flush(void*, bool, bool) override { return 0; }
  void SetWriteTimeout(void*, int) override {}
  unsigned int MaxPacketSize(void*) override { return 64; }
  std::uint64_t NowMicroseconds() override { return kavro::SteadyMicroseconds(); }
  std::atomic<int> stage{0};
};

// A provider whose list has grown by one since it was counted, as when a board is plugged in
// or another instance lists at that moment.
struct Undercounting final : kavro::ForwardingLink {
  using ForwardingLink::ForwardingLink;
  unsigned int CreateDeviceInfoList(unsigned int* count) override {
    const unsigned int status = ForwardingLink::CreateDeviceInfoList(count);
    --*count;
    return status;
  }
};

TEST(DeviceList, NeverHoldsMoreNodesThanItCountedAndTrustsNoFailedCount) {
  VirtualBus bus;
  for (const char* serial : {"KV0001", "KV0002"}) bus.AddDevice(serial);
  auto libftdi = kavro::ftdi::MakeProvider(std::make_unique<TwoChips>());
  KAVRO_USB_DLL dll;
  for (kavro::LinkProvider* provider : {static_cast<kavro::LinkProvider*>(&bus), libftdi.get()}) {
    Undercounting undercounting(*provider);
    dll.UseLink(&undercounting);
    dll.KAVRO_FT_GetDeviceInfoList();
    ASSERT_EQ(dll.numDevs, 1u);
    EXPECT_STREQ(dll.devInfo[0].SerialNumber, "KV0001");
  }
  dll.UseLink(&bus);
  bus.FailCall(Call::kCreateDeviceInfoList, 4);
  dll.KAVRO_FT_GetDeviceInfoList();
  EXPECT_EQ(dll.ftStatus, 4u);
  EXPECT_EQ(bus.CountCalls(Call::kGetDeviceInfoList), 1u);  // no copy after the failed count
}

TEST(Sharing, ASlowReadOnOneLibftdiBoardHoldsUpNoOtherBoard) {
  auto owned = std::make_unique<TwoChips>();
  TwoChips& chips = *owned;
  auto provider = kavro::ftdi::MakeProvider(std::move(owned));
  char kv0001[] = "KV0001", kv0002[] = "KV0002";
  void *first = nullptr, *second = nullptr;
  ASSERT_EQ(provider->OpenEx(kv0001, 1, &first) + provider->OpenEx(kv0002, 1, &second), 0u);
  auto poll = [&](void* handle) {
    unsigned int rx, tx, event;
    return provider->GetStatus(handle, &rx, &tx, &event);
  };
  chips.stage = 1;
  std::thread slow(poll, first);
  while (chips.stage == 1) std::this_thread::yield();
  unsigned int count = 0;  // while KV0001's read waits, the bus is listed and KV0002 polled
  EXPECT_EQ(provider->CreateDeviceInfoList(&count) + poll(second), 0u);
  slow.join();
  EXPECT_EQ(chips.stage, 3) << "KV0002 was polled only after the read on KV0001 gave up";
}

// Two instances on two threads share one bus, each with its own board, while a third thread
// adds boards, unplugs and replugs both, injects faults and reads and clears the log. Every
// answer is the board's value or "Error" with a reason.
TEST(Sharing, TwoInstancesOnTwoThreadsWhileBoardsComeAndGo) {
  VirtualBus bus;
  bus.AddDevice("T3", VirtualBoard(3, 2));
  bus.AddDevice("T9", VirtualBoard(9, 2));
  std::atomic<bool> stop{false};
  std::atomic<int> asked{0}, wrong{0};
  auto instance = [&](std::string serial, const std::string& offset) {
    KAVRO_USB_DLL dll;
    dll.UseLink(&bus);
    while (!stop) {
      dll.Open_Device_Connection(&serial[0]);
      const std::string r = dll.Get_Offset_Value(dll.DeviceHandle, 1);
      if (r != offset && (r != "Error" || dll.ErrorText[0] == '\0')) ++wrong;
      dll.Close_Device_Connection(dll.DeviceHandle);
      ++asked;
      std::this_thread::yield();  // lets the third thread in: the bus's lock is not fair
    }
  };
  std::thread a(instance, "T3", "1000"), b(instance, "T9", "8389618");
  for (int i = 0; i < 40; ++i) {
    for (const int before = asked; asked < before + 2;) std::this_thread::yield();
    const std::string board = i % 2 ? "T3" : "T9";
    bus.AddDevice("X" + std::to_string(i));
    bus.Unplug(board);
    bus.FailCall(i % 3 ? Call::kGetStatus : Call::kRead, kavro::kFtIoError, 1 + i % 5);
    bus.WithDevice("T3", [](VirtualBus::Device& d) {
      d.board.faults.push_back(Fault(ReplyFault::kHold, {}, 500));
    });
    bus.Replug(board);
    bus.ScheduleUnplug("T9", 40, 0);
    bus.logging = i % 2 == 0;
    if (bus.log().size() > 1000 || bus.CountCalls(Call::kWrite) > 1000) bus.ClearLog();
  }
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace

// The C interface: the library's recording thread fills the buffer, a second thread fetches
// from it, and a third closes the board while both are at work. Every row taken reaches the
// fetcher or stays buffered, and the closed board answers a status.
TEST(Sharing, CInterfaceCloseWhileRecordingAndFetching) {
  kavro_emulator* emu = nullptr;
  ASSERT_EQ(kavro_emulator_new(1, &emu), KAVRO_OK);  // real time: the threads truly overlap
  kavro_open_options o;
  kavro_open_options_init(&o);
  o.link = KAVRO_LINK_EMULATOR;
  o.emulator = emu;
  o.calibrated_loads = 0;
  kavro_board* board = nullptr;
  ASSERT_EQ(kavro_open("KAVRO-0009", &o, &board), KAVRO_OK);
  const std::uint32_t channels[] = {0, 3};
  ASSERT_EQ(kavro_record_start(board, channels, 2, 2000), KAVRO_OK);
  std::atomic<std::size_t> fetched{0};
  std::thread fetcher([&] {
    kavro_record_summary s{};
    s.size = sizeof s;
    double loads[8];
    std::size_t got = 0;
    do {
      ASSERT_EQ(kavro_record_status(board, &s), KAVRO_OK);
      ASSERT_EQ(kavro_record_fetch(board, 8, nullptr, loads, nullptr, nullptr, nullptr, &got),
                KAVRO_OK);
      fetched += got;
    } while (s.running != 0);
  });
  std::thread closer([&] {  // once rows flow, however slowly this machine runs
    for (int i = 0; fetched < 4 && i < 5000; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(kavro_close(board), KAVRO_OK);
  });
  closer.join();
  fetcher.join();
  kavro_record_summary s{};
  s.size = sizeof s;
  ASSERT_EQ(kavro_record_status(board, &s), KAVRO_OK);
  EXPECT_EQ(s.stopped, 1);
  EXPECT_GE(s.readings + s.errors, 4u);
  EXPECT_EQ(fetched + s.buffered, s.readings + s.errors);
  kavro_reading r{};
  r.size = sizeof r;
  EXPECT_EQ(kavro_read(board, 0, &r), KAVRO_CLOSED);
  kavro_release(board);
  kavro_emulator_free(emu);
}

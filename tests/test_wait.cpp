// Waiting for replies between status queries: the emulator's wait on virtual time ends budgets
// exactly where they end, the library's own wait serves providers that cannot wait, and on the
// real clock bytes arrive when due, announced to an event whether or not anyone asks.
#include <atomic>
#include <thread>

#include "fixture.h"

namespace {

// A reply held d microseconds arrives d after the request; the activity inquiry's budget is 10 ms
// of virtual time, and the wait jumps to the reply or to the budget's end instead of polling.
TEST(Wait, AReplyDueAtTheBudgetsEndIsAcceptedOneMicrosecondLaterTimesOut) {
  OneBoard one;
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0"}, {9999, "0"}, {10000, "0"}, {10001, "Error"}, {20000000, "Error"}};
  for (auto [held_us, result] : cases) {
    one.dev.board.faults.push_back(Fault(ReplyFault::kHold, {}, held_us));
    one.bus.ClearLog();
    const std::uint64_t start = one.bus.now_us();
    EXPECT_EQ(one.dll.Slave_Activity_Inquiry(one.h), result) << held_us;
    EXPECT_STREQ(one.dll.ErrorText, held_us <= 10000 ? "" : "Timeout Error") << held_us;
    EXPECT_LE(one.bus.CountCalls(Call::kGetStatus), 3u) << held_us;
    // The write's status query takes 20 us, then the budget runs out 1 us past its 10 ms.
    if (held_us > 10000) {
      EXPECT_EQ(one.bus.now_us() - start, 20u + 10001u) << held_us;
    }
  }
}

// The reset's restart notice never comes; 2.5 s into its 10 s budget the board is unplugged.
TEST(Wait, ABoardUnpluggedDuringALongWaitFailsTheWaitThen) {
  OneBoard one;
  one.dev.board.faults = {Fault(ReplyFault::kNone), Fault(ReplyFault::kDrop)};
  one.bus.ScheduleUnplug("KV0001", 2500000, 1000000);
  const std::uint64_t start = one.bus.now_us();
  EXPECT_EQ(one.dll.Reset_Board(one.h), "Error");
  EXPECT_STREQ(one.dll.ErrorText, "IO Error");
  EXPECT_EQ(one.bus.now_us() - start, 2500000u);
}

// A provider that cannot wait, or whose wait fails: the library sleeps between its queries.
struct NoWait : kavro::ForwardingLink {
  NoWait(kavro::LinkProvider& inner, unsigned int status) : ForwardingLink(inner), status(status) {}
  unsigned int WaitForRx(void*, unsigned int, std::uint64_t) override { return status; }
  unsigned int status;
};

TEST(Wait, ProvidersThatCannotWaitStillGetTheirReplies) {
  OneBoard one;
  one.bus.poll_step_us = 500;  // fewer real sleeps per virtual budget
  for (unsigned int status : {kavro::kFtNotSupported, kavro::kFtIoError}) {
    NoWait link(one.bus, status);
    one.dll.UseLink(&link);
    one.dev.board.faults = {Fault(ReplyFault::kHold, {}, 4000)};
    EXPECT_EQ(one.dll.Normal_Data_Request(one.h, 0), "1001000") << status;
    one.dev.board.faults = {Fault(ReplyFault::kHold, {}, 1000), Fault(ReplyFault::kDrop)};
    EXPECT_EQ(one.dll.Normal_Data_Request(one.h, 0), "Error");
    EXPECT_STREQ(one.dll.ErrorText, "Timeout Error");
  }
}

// On the real clock nothing is there before it is due, and then it is, announced, without a
// status query to bring it in.
TEST(RealClock, BytesArriveWhenDueAndSignalTheEventUnasked) {
  VirtualBus bus(VirtualBus::Clock::kReal);
  bus.AddDevice("KV0001").board.reply_latency_us = 3000;
  void* h = nullptr;
  char serial[] = "KV0001";
  ASSERT_EQ(bus.OpenEx(serial, kavro::kFtOpenBySerialNumber, &h), kavro::kFtOk);
  std::atomic<int> signals{0};
  ASSERT_EQ(bus.SetEventNotification(h, kavro::kFtEventRxChar, [&] { ++signals; }), 0u);
  unsigned char frame[] = {1, 4, 1, 0xAA};
  unsigned int n = 0, rx = 0, tx, event;
  const std::uint64_t sent = bus.now_us();  // the reply is due 3 ms after the write, or later
  ASSERT_EQ(bus.Write(h, frame, 4, &n) + bus.WaitForRx(h, 4, sent + 2000), 0u);
  ASSERT_EQ(bus.GetStatus(h, &rx, &tx, &event), 0u);
  EXPECT_TRUE(rx == 0 || bus.now_us() >= sent + 3000);
  for (int ms = 0; ms < 5000 && signals == 0; ++ms)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(signals, 1);
  EXPECT_GE(bus.now_us(), sent + 3000);
  EXPECT_EQ(bus.CountCalls(Call::kGetStatus), 1u);
  ASSERT_EQ(bus.GetStatus(h, &rx, &tx, &event), 0u);
  EXPECT_EQ(rx, 4u);
}

}  // namespace

// Framing, numbering, reply validation and traces, through the public class on an emulated
// board.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "fixture.h"

namespace {

class Packet : public BoardTest {
 protected:
  void SetUp() override { Open(); }
  // Puts bytes in the bridge's receive path as if the board had sent them.
  void Arrive(const Bytes& bytes, std::uint64_t after_us = 0) {
    dev->pending.push_back({bus.now_us() + after_us, bytes});
  }
  void Expect(int number, int length, int code) {
    dll.RxPacketNumber = static_cast<unsigned char>(number);
    dll.RxLength = static_cast<unsigned char>(length);
    dll.RxCommand = static_cast<unsigned char>(code);
    dll.EndOfPacket = 0xAA;
  }
  std::string Data() const {
    char text[17];
    for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02x", dll.PacketData[i]);
    return text;
  }
};

TEST_F(Packet, NumbersRunFrom1To254AndWrap) {
  const std::pair<int, int> cases[] = {{0, 1}, {1, 2}, {253, 254}, {254, 1}, {255, 1}};
  for (auto [before, after] : cases) {
    dll.PacketNumber = static_cast<unsigned char>(before);
    dll.NextPacketNumber();
    EXPECT_EQ(dll.PacketNumber, after) << before;
  }
  // Two commands in a row take consecutive numbers, across the wrap.
  dll.PacketNumber = 253;
  dll.Slave_Activity_Inquiry(handle);
  dll.Slave_Activity_Inquiry(handle);
  dll.Slave_Activity_Inquiry(handle);
  ASSERT_EQ(Sent().size(), 3u);
  EXPECT_EQ(Sent()[0], B({254, 4, 1, 0xAA}));
  EXPECT_EQ(Sent()[1], B({1, 4, 1, 0xAA}));
  EXPECT_EQ(Sent()[2], B({2, 4, 1, 0xAA}));
}

// Which PacketData bytes each frame length carries, in both frame forms.
TEST_F(Packet, DataBytesCopiedByFrameLength) {
  const unsigned char data[8] = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7};
  for (signed char mode : {0, 1}) {
    for (int n = 4; n <= 10; ++n) {
      std::memset(dll.TxBuffer, 0xEE, 16);
      std::memcpy(dll.PacketData, data, 8);
      dll.PacketNumber = 9;
      dll.TxLength = static_cast<unsigned char>(n);
      dll.TxCommand = 0x77;
      dll.TxChannel = 0xC5;
      dll.EndOfPacket = 0xAA;
      dll.WritePacket(mode);
      ASSERT_EQ(dll.WriteStatus, "Finished");
      Bytes expected(static_cast<std::size_t>(n), 0xEE);  // bytes not written keep their value
      expected[0] = 9;
      expected[1] = static_cast<std::uint8_t>(n);
      expected[2] = 0x77;
      const int header = mode == 1 ? 4 : 3;
      if (mode == 1) expected[3] = 0xC5;
      const int copies =
          mode == 0 ? (n >= 5 && n <= 8 ? n - 4 : 0) : (n >= 6 && n <= 9 ? n - 5 : 0);
      for (int i = 0; i < copies; ++i) expected[static_cast<std::size_t>(header + i)] = data[i];
      expected[static_cast<std::size_t>(n - 1)] = 0xAA;  // the trailer wins over the header
      EXPECT_EQ(Sent().back(), expected) << "mode " << int(mode) << " length " << n;
    }
  }
}

TEST_F(Packet, OtherModesSendTheBufferAsItStandsAndTraceIt) {
  const Bytes raw = {0x10, 0x20, 0x30, 0x40, 0x50};
  std::memcpy(dll.TxBuffer, raw.data(), raw.size());
  dll.TxLength = 5;
  dll.WritePacket(7);
  EXPECT_EQ(dll.WriteStatus, "Finished");
  EXPECT_EQ(Sent().back(), raw);
  EXPECT_EQ(dll.PacketSent, "1020304050");
}

TEST_F(Packet, ZeroLengthIsRefusedUnsentAndShortLengthsStayInTheBuffer) {
  dll.TxLength = 0;
  dll.PacketSent = "old";
  dll.WritePacket(0);
  EXPECT_EQ(dll.WriteStatus, "");
  EXPECT_EQ(dll.PacketSent, "");
  EXPECT_STREQ(dll.ErrorText, "Packet Size Error");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(bus.CountCalls(Call::kWrite), 0u);

  // Length 1: the trailer is the whole frame.
  dll.TxLength = 1;
  dll.EndOfPacket = 0xAA;
  dll.PacketNumber = 5;
  dll.WritePacket(0);
  EXPECT_EQ(Sent().back(), B({0xAA}));
}

TEST_F(Packet, LinkFailuresWhileWriting) {
  dll.TxLength = 4;
  dll.PacketSent = "old";
  bus.FailCall(Call::kGetStatus, 4);
  dll.WritePacket(0);
  EXPECT_EQ(dll.WriteStatus, "");
  EXPECT_EQ(dll.PacketSent, "");
  EXPECT_EQ(dll.ErrorStatus, 4u);
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  EXPECT_TRUE(Sent().empty());

  dll.PacketNumber = 7;
  dll.TxCommand = 1;
  dll.EndOfPacket = 0xAA;
  bus.FailCall(Call::kWrite, 10);
  dll.WritePacket(0);
  EXPECT_EQ(dll.WriteStatus, "");
  EXPECT_EQ(dll.PacketSent, "070401aa");  // traced before the write
  EXPECT_EQ(dll.ErrorStatus, 10u);
  EXPECT_STREQ(dll.ErrorText, "Failed to Write Device");

  dll.WritePacket(0);
  EXPECT_EQ(dll.WriteStatus, "Finished");
  EXPECT_EQ(dll.ErrorStatus, 0u);
}

TEST_F(Packet, AcceptsAReplyAndCopiesItsDataByLength) {
  struct Case {
    Bytes reply;
    const char* data;
  };
  const Case cases[] = {
      {B({7, 4, 1, 0xAA}), "0000000000000000"},
      {B({7, 5, 1, 0x11, 0xAA}), "1100000000000000"},
      {B({7, 6, 1, 0x11, 0x22, 0xAA}), "1122000000000000"},
      {B({7, 7, 1, 0x11, 0x22, 0x33, 0xAA}), "1122330000000000"},
      {B({7, 8, 1, 0x09, 0x01, 0x02, 0x34, 0xAA}), "0901023400000000"},
      {B({7, 9, 1, 1, 2, 3, 4, 5, 0xAA}), "0000000000000000"},
      {B({7, 10, 1, 1, 2, 3, 4, 5, 6, 0xAA}), "0102030405060000"},
      {B({7, 11, 1, 1, 2, 3, 4, 5, 6, 7, 0xAA}), "0000000000000000"},
      {B({7, 12, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA}), "0102030405060708"},
  };
  for (const Case& c : cases) {
    std::memset(dll.PacketData, 0x5A, 8);
    Expect(7, static_cast<int>(c.reply.size()), 1);
    Arrive(c.reply);
    dll.ReadPacket(10);
    ASSERT_EQ(dll.ReadStatus, "Finished") << Err();
    EXPECT_EQ(Data(), c.data) << c.reply.size();
  }
  EXPECT_EQ(dll.PacketReceived, "070c010102030405060708aa");
}

TEST_F(Packet, EveryRejectionOfTheFailureTable) {
  struct Case {
    Bytes reply;
    int length;
    int code;
    const char* error;
  };
  const Case cases[] = {
      {B({8, 4, 1, 0xAA}), 4, 0x01, "Packet Number Error"},
      {B({7, 5, 'L', 0, 0xAA}), 5, 0x44, "TEDS Error"},
      {B({7, 5, 'M', 0, 0xAA}), 5, 0x44, "Command Error"},
      {B({7, 5, 'N', 0, 0xAA}), 5, 0x44, "Packet Frame Error"},
      {B({7, 5, 'O', 0, 0xAA}), 5, 0x44, "Packet Command Error"},
      {B({7, 5, 0x4D, 0, 0xAA}), 4, 0x01, "Command Error"},  // before the length check
      {B({7, 5, 1, 0, 0xAA}), 4, 0x01, "Packet Size Error"},
      {B({7, 4, 0x44, 0xAA}), 4, 0x01, "Command Number Error"},
      {B({7, 4, 'M', 0xAA}), 4, 0x01, "Command Error"},  // error code with a wrong length byte
      {B({7, 4, 1, 0x55}), 4, 0x01, "End Of Packet Error"},
  };
  for (const Case& c : cases) {
    dll.ErrorStatus = 0;
    dll.PacketReceived = "old";
    Expect(7, c.length, c.code);
    Arrive(c.reply);
    dll.ReadPacket(10);
    EXPECT_EQ(dll.ReadStatus, "");
    EXPECT_STREQ(dll.ErrorText, c.error);
    EXPECT_EQ(Data(), "0000000000000000");
    EXPECT_EQ(dll.PacketReceived, "");
    EXPECT_EQ(dll.ErrorStatus, 0u);
    EXPECT_EQ(dev->purges, 0u);
  }
}

TEST_F(Packet, LinkFailuresWhileReading) {
  Expect(7, 4, 1);
  Arrive(B({7, 4, 1, 0xAA}));
  bus.FailCall(Call::kGetStatus, 4);
  dll.ReadPacket(10);
  EXPECT_EQ(dll.ReadStatus, "");
  EXPECT_EQ(dll.ErrorStatus, 4u);
  EXPECT_STREQ(dll.ErrorText, "IO Error");

  bus.FailCall(Call::kRead, 18);
  dll.ReadPacket(10);
  EXPECT_EQ(dll.ErrorStatus, 18u);
  EXPECT_STREQ(dll.ErrorText, "Other Errors");
  EXPECT_EQ(dev->purges, 0u);
}

TEST_F(Packet, TimeOutWithNothingOrTooLittlePurgesBothQueues) {
  Expect(7, 8, 0x40);
  const std::uint64_t start = bus.now_us();
  dll.ReadPacket(10);
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dll.ReadStatus, "");
  // The budget runs out right after 10 ms of link time, not before.
  EXPECT_GT(bus.now_us() - start, 10000u);
  EXPECT_LE(bus.now_us() - start, 10000u + 2 * bus.poll_step_us);
  EXPECT_EQ(dev->purges, 1u);
  ASSERT_FALSE(bus.log().empty());
  EXPECT_EQ(bus.log().back().call, Call::kPurge);
  EXPECT_EQ(bus.log().back().arg1, 3u);

  Arrive(B({7, 8, 0x40}));  // 3 bytes only
  dll.ReadPacket(10);
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dev->purges, 2u);
  EXPECT_TRUE(dev->rx.empty());

  // A partial reply whose number and code match: purged and reported as a time-out.
  Arrive(B({7, 8, 0x40, 1, 2, 3}));
  dll.ReadPacket(10);
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dev->purges, 3u);
}

TEST_F(Packet, TimeOutReportsAShortErrorReplyWithoutPurging) {
  Expect(7, 8, 0x42);
  Arrive(B({7, 5, 'M', 0, 0xAA}));
  dll.ReadPacket(10);
  EXPECT_STREQ(dll.ErrorText, "Command Error");
  EXPECT_EQ(dev->purges, 0u);

  Expect(7, 8, 0x40);
  Arrive(B({7, 4, 1, 0xAA}));
  dll.ReadPacket(10);
  EXPECT_STREQ(dll.ErrorText, "Command Number Error");

  Arrive(B({6, 4, 0x40, 0xAA}));
  dll.ReadPacket(10);
  EXPECT_STREQ(dll.ErrorText, "Packet Number Error");
  EXPECT_EQ(dev->purges, 0u);
}

TEST_F(Packet, ShiftedRepliesWholeAndSplit) {
  Expect(7, 4, 1);
  Arrive(B({0xFF, 7, 4, 1, 0xAA}));
  dll.ReadPacket(10);
  EXPECT_EQ(dll.ReadStatus, "Finished") << Err();
  EXPECT_EQ(dll.RxLength, 5);
  EXPECT_EQ(dll.PacketReceived, "ff070401aa");

  // The reply comes in two parts 3 ms apart, the first one byte short of RxLength: the wait
  // goes on until the second part is queued too, and the reply is read and judged whole,
  // whatever stale byte sits in the buffer.
  for (std::uint8_t stale : {0x00, 0xAA}) {
    dll.RxBuffer[4] = stale;
    Expect(9, 8, 0x44);
    Arrive(B({0xFF, 9, 8, 0x44, 1, 2, 3}));
    Arrive(B({4, 0x55}), 3000);  // the rest, 3 ms later, with a broken trailer
    dll.ReadPacket(100);
    EXPECT_STREQ(dll.ErrorText, "End Of Packet Error");
    EXPECT_EQ(dll.ReadStatus, "");

    Expect(9, 8, 0x44);
    Arrive(B({0xFF, 9, 8, 0x44, 1, 2, 3}));
    Arrive(B({4, 0xAA}), 3000);
    dll.ReadPacket(100);
    EXPECT_EQ(dll.ReadStatus, "Finished") << Err();
    EXPECT_EQ(Data(), "0102030400000000");
    EXPECT_EQ(dll.PacketReceived, "ff09084401020304aa");
  }

  // A shifted reply that never completes is a time-out.
  Expect(9, 8, 0x44);
  Arrive(B({0xFF, 9, 8, 0x44, 1, 2, 3, 4}));
  dll.ReadPacket(10);
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dev->purges, 1u);
}

TEST_F(Packet, RepliesArrivingInSmallTransfersAreReadWhole) {
  dev->chunk_bytes = 3;
  dev->board.reply_latency_us = 1500;
  EXPECT_EQ(dll.Version_of_Board(handle), "0") << Err();
  EXPECT_EQ(Data(), "0301023400000000");
}

TEST_F(Packet, MoreThan1024BytesQueuedNeverOverrunTheBuffer) {
  dev->chunk_bytes = 4096;
  Expect(7, 4, 1);
  Bytes flood = B({7, 4, 1, 0xAA});
  flood.resize(3000, 0x55);
  Arrive(flood);
  dll.ReadPacket(10);
  EXPECT_EQ(dll.ReadStatus, "Finished") << Err();  // judged on its own bytes
  EXPECT_EQ(dev->rx.size(), 3000u - 1024u);        // the rest stays queued
  ASSERT_FALSE(bus.log().empty());
  for (const auto& r : bus.log()) {
    if (r.call == Call::kRead) {
      EXPECT_LE(r.arg1, 1024u);
    }
  }
}

TEST_F(Packet, ANegativeBudgetTimesOutWithoutTouchingTheQueue) {
  Expect(7, 8, 0x44);
  dll.RxBytes = 6;  // left by an earlier call
  Arrive(B({7, 5, 'M', 0, 0xAA}));
  dll.ReadPacket(-1);
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(bus.CountCalls(Call::kRead), 0u);
}

TEST_F(Packet, ExpectingLessThanAFrameIsRefused) {
  Expect(7, 3, 1);
  Arrive(B({7, 3, 1}));
  dll.ReadPacket(10);
  EXPECT_EQ(dll.ReadStatus, "");
  EXPECT_STREQ(dll.ErrorText, "Packet Size Error");
}

TEST_F(Packet, TracesAreLowercaseHex) {
  dll.TxLength = 5;
  std::memcpy(dll.TxBuffer, "\x0a\x05\x50\x02\xaa", 5);
  dll.GetPacketSent();
  EXPECT_EQ(dll.PacketSent, "0a055002aa");
  dll.TxLength = 0;
  dll.GetPacketSent();
  EXPECT_EQ(dll.PacketSent, "");
  dll.RxLength = 2;
  dll.RxBuffer[0] = 0xAB;
  dll.RxBuffer[1] = 0x0C;
  dll.GetPacketReceived();
  EXPECT_EQ(dll.PacketReceived, "ab0c");
}

TEST_F(Packet, SimulationChangesNothing) {
  dll.PacketNumber = 41;
  dll.WriteStatus = "Finished";
  dll.ReadStatus = "";
  dll.PacketSent = "sent";
  dll.PacketReceived = "received";
  dll.SimulationMode = 1;
  dll.NextPacketNumber();
  dll.TxLength = 4;
  dll.WritePacket(0);
  dll.ReadPacket(10);
  dll.GetPacketSent();
  dll.GetPacketReceived();
  EXPECT_EQ(dll.PacketNumber, 41);
  EXPECT_EQ(dll.WriteStatus, "Finished");
  EXPECT_EQ(dll.ReadStatus, "");
  EXPECT_EQ(dll.PacketSent, "sent");
  EXPECT_EQ(dll.PacketReceived, "received");
  EXPECT_TRUE(bus.log().empty());
}

TEST(RealClock, TenMillisecondBudgetEndsOnTime) {
  VirtualBus bus(VirtualBus::Clock::kReal);
  auto& dev = bus.AddDevice("KV0001");
  KAVRO_USB_DLL dll;
  dll.UseLink(&bus);
  char serial[] = "KV0001";
  dll.Open_Device_Connection(serial);
  ASSERT_NE(dll.DeviceHandle, nullptr);
  bus.logging = false;
  // Wall time is shared with the rest of the machine: every run must last at least the budget,
  // and the best of three must end within 2 ms after it.
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    dev.board.faults.push_back(Fault(ReplyFault::kDrop));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dll.Slave_Activity_Inquiry(dll.DeviceHandle), "Error");
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_STREQ(dll.ErrorText, "Timeout Error");
    EXPECT_GE(ms, 10.0);
    best = std::min(best, ms);
  }
  EXPECT_LE(best, 12.0);
}

}  // namespace

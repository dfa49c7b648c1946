// The packet layer on its own: numbering, framing by length, and the read's bound. (The rules by
// which replies are accepted or refused, and the data bytes an accepted reply leaves, are judged
// case by case by the reply-stream fuzz target over its seed corpus.)
#include <cstring>

#include "fixture.h"

namespace {

class Packet : public ::testing::Test, protected OneBoard {};

TEST_F(Packet, NumbersRunFrom1To254) {
  const std::pair<int, int> cases[] = {{0, 1}, {1, 2}, {253, 254}, {254, 1}, {255, 1}};
  for (auto [before, after] : cases) {
    dll.PacketNumber = static_cast<unsigned char>(before);
    dll.NextPacketNumber();
    EXPECT_EQ(dll.PacketNumber, after) << before;
  }
}

TEST_F(Packet, FramesCarryAsManyDataBytesAsTheirLengthHasRoomFor) {
  const struct {
    signed char mode;
    int length;
    const char* frame;
  } cases[] = {
      {0, 4, "09 04 77 aa"},
      {0, 5, "09 05 77 d0 aa"},
      {0, 8, "09 08 77 d0 d1 d2 d3 aa"},
      {0, 9, "09 09 77 ee ee ee ee ee aa"},
      {1, 5, "09 05 77 c5 aa"},
      {1, 6, "09 06 77 c5 d0 aa"},
      {1, 9, "09 09 77 c5 d0 d1 d2 d3 aa"},
      {1, 10, "09 0a 77 c5 ee ee ee ee ee aa"},
      {0, 1, "aa"},              // the trailer wins over the header
      {7, 5, "ee ee ee ee ee"},  // any other mode sends the buffer as it stands
  };
  const unsigned char data[8] = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7};
  for (const auto& c : cases) {
    std::memset(dll.TxBuffer, 0xEE, 16);
    std::memcpy(dll.PacketData, data, sizeof(data));
    dll.PacketNumber = 9;
    dll.TxLength = static_cast<unsigned char>(c.length);
    dll.TxCommand = 0x77;
    dll.TxChannel = 0xC5;
    dll.EndOfPacket = 0xAA;
    dll.WritePacket(c.mode);
    EXPECT_EQ(Wire().back(), c.frame);
    EXPECT_EQ(dll.PacketSent, Compact(c.frame));
  }
  dll.TxLength = 0;  // the trailer would fall before the buffer
  dll.WritePacket(0);
  EXPECT_EQ(dll.WriteStatus, "");
  EXPECT_STREQ(dll.ErrorText, "Packet Size Error");
  EXPECT_EQ(Wire().size(), 10u);
}

TEST_F(Packet, AFrameIsTracedOnceBuiltEvenIfItsWriteFails) {
  dll.PacketNumber = 7;
  dll.TxLength = 4;
  dll.TxCommand = 1;
  dll.EndOfPacket = 0xAA;
  dll.PacketSent = "old";
  bus.FailCall(Call::kGetStatus, 4);
  dll.WritePacket(0);
  EXPECT_EQ(dll.PacketSent, "");
  bus.FailCall(Call::kWrite, 10);
  dll.WritePacket(0);
  EXPECT_EQ(dll.PacketSent, "070401aa");
  EXPECT_EQ(dll.WriteStatus, "");
  EXPECT_EQ(dll.ErrorStatus, 10u);
  EXPECT_STREQ(dll.ErrorText, "Failed to Write Device");
  dll.WritePacket(0);
  EXPECT_EQ(dll.WriteStatus, "Finished");
  EXPECT_EQ(dll.ErrorStatus, 0u);
}

TEST_F(Packet, MoreThanTheBufferHoldsIsNeverReadAtOnce) {
  dev.chunk_bytes = 4096;
  dll.RxPacketNumber = 7;
  dll.RxLength = 4;
  dll.RxCommand = 1;
  dll.EndOfPacket = 0xAA;
  Bytes flood = FromHex("07 04 01 aa");
  flood.resize(3000, 0x55);
  dev.pending.push_back({bus.now_us(), flood});
  dll.ReadPacket(10);
  EXPECT_EQ(dll.ReadStatus, "Finished");
  EXPECT_EQ(dev.rx.size(), 3000u - 1024u);  // the rest stays queued
}

TEST_F(Packet, SimulationChangesNothing) {
  dll.PacketNumber = 41;
  dll.WriteStatus = dll.ReadStatus = dll.PacketSent = dll.PacketReceived = "kept";
  dll.SimulationMode = 1;
  dll.NextPacketNumber();
  dll.WritePacket(0);
  dll.ReadPacket(10);
  dll.GetPacketSent();
  dll.GetPacketReceived();
  EXPECT_EQ(dll.PacketNumber, 41);
  EXPECT_EQ(dll.WriteStatus + dll.ReadStatus + dll.PacketSent + dll.PacketReceived,
            "keptkeptkeptkept");
  EXPECT_TRUE(bus.log().empty());
}

}  // namespace

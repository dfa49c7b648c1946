// Activity inquiry, version and reset; and every command's frame on the wire.
#include <functional>

#include "fixture.h"

namespace {

class BoardManagement : public BoardTest {
 protected:
  void SetUp() override { Open(); }
};

TEST_F(BoardManagement, ActivityInquiry) {
  dll.PacketNumber = 6;
  EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "0");
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(Sent().back(), B({7, 4, 1, 0xAA}));
  EXPECT_EQ(dll.PacketSent, "070401aa");
  EXPECT_EQ(dll.PacketReceived, "070401aa");

  Queue(Fault(ReplyFault::kDrop));
  EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
}

TEST_F(BoardManagement, VersionIsDecodedIntoBoardTypeAndOneCharacterFields) {
  dev->board.version = {9, 1, 2, 0x34};
  dll.Get_Version_of_Board(handle);
  EXPECT_EQ(dll.BoardType, 9u);
  EXPECT_EQ(dll.VersionField1, std::string(1, '\x09'));
  EXPECT_EQ(dll.VersionField2, std::string(1, '\x01'));
  EXPECT_EQ(dll.VersionField3, std::string(1, '\x02'));
  EXPECT_EQ(dll.VersionField4, std::string(1, '\x03'));
  EXPECT_EQ(dll.VersionField5, std::string(1, '\x04'));
  EXPECT_EQ(dll.WriteStatus, "Finished");
  EXPECT_EQ(dll.ReadStatus, "Finished");

  dev->board.version = {0, 0, 0, 0};
  dll.Get_Version_of_Board(handle);
  EXPECT_EQ(dll.BoardType, 0u);
  EXPECT_EQ(dll.VersionField1, std::string(1, '\0'));  // a NUL character, length 1
}

TEST_F(BoardManagement, FailedVersionRequest) {
  Queue(Fault(ReplyFault::kDrop));
  dll.Get_Version_of_Board(handle);
  EXPECT_EQ(dll.BoardType, 255u);
  for (const std::string* f : {&dll.VersionField1, &dll.VersionField2, &dll.VersionField3,
                               &dll.VersionField4, &dll.VersionField5}) {
    EXPECT_EQ(*f, "Error");
  }
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dll.Version_of_Board(handle), "0");

  bus.FailCall(Call::kWrite, 4);
  EXPECT_EQ(dll.Version_of_Board(handle), "Error");
  EXPECT_STREQ(dll.ErrorText, "IO Error");
}

TEST_F(BoardManagement, ResetWaitsForAcknowledgementAndRestartNotice) {
  dll.PacketNumber = 20;
  const std::uint64_t start = bus.now_us();
  EXPECT_EQ(dll.Reset_Board(handle), "0") << Err();
  EXPECT_GE(bus.now_us() - start, dev->board.restart_time_us);
  EXPECT_EQ(Sent().size(), 1u);  // nothing is sent between the two stages
  EXPECT_EQ(Sent()[0], B({21, 4, 0x45, 0xAA}));
  EXPECT_EQ(dll.PacketReceived, "010445aa");
  EXPECT_EQ(dll.PacketNumber, 21);  // the reset leaves the numbering alone
}

TEST_F(BoardManagement, ResetFailures) {
  // No acknowledgement (and no notice): the second stage never starts.
  Queue(Fault(ReplyFault::kDrop));
  Queue(Fault(ReplyFault::kDrop));
  EXPECT_EQ(dll.Reset_Board(handle), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");

  // Acknowledged, but no restart notice within 10 s.
  dev->board.restart_time_us = 10'500'000;
  const std::uint64_t start = bus.now_us();
  EXPECT_EQ(dll.Reset_Board(handle), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_GT(bus.now_us() - start, 10'000'000u);
  dev->board.restart_time_us = 1000;

  Queue(Fault(ReplyFault::kNone));
  Queue(Fault(ReplyFault::kCorruptNumber));  // notice numbered 2
  EXPECT_EQ(dll.Reset_Board(handle), "Error");
  EXPECT_STREQ(dll.ErrorText, "Packet Number Error");

  Queue(Fault(ReplyFault::kNone));
  Queue(Fault(ReplyFault::kPrefixFF));
  EXPECT_EQ(dll.Reset_Board(handle), "0") << Err();
  EXPECT_EQ(dll.PacketReceived, "ff010445aa");
}

TEST_F(BoardManagement, SimulationSendsNothing) {
  dll.SimulationMode = 1;
  dll.ftHandle = nullptr;
  dll.SimVersionField1 = 0x10C;
  dll.SimVersionField2 = 65;
  EXPECT_EQ(dll.Slave_Activity_Inquiry(handle), "0");
  EXPECT_EQ(dll.Version_of_Board(handle), "0");
  EXPECT_EQ(dll.Reset_Board(handle), "0");
  dll.Get_Version_of_Board(handle);
  EXPECT_EQ(dll.BoardType, 268u);
  EXPECT_EQ(dll.VersionField1, std::string(1, '\x0C'));
  EXPECT_EQ(dll.VersionField2, "A");
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(dll.ftHandle, nullptr);
  EXPECT_TRUE(Sent().empty());
}

// The request frames of every command, byte for byte, on a common board and on type 9.
struct FrameCase {
  const char* name;
  Board (*board)();
  std::function<std::string(KAVRO_USB_DLL&, void*)> call;
  std::vector<Bytes> frames;  // with the first packet number 0x10
};

void PrintTo(const FrameCase& c, std::ostream* os) {
  *os << c.name;
}

class CommandFrames : public BoardTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(CommandFrames, ByteForByte) {
  Open(GetParam().board());
  dll.PacketNumber = 0x0F;
  GetParam().call(dll, handle);
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(Sent(), GetParam().frames);
}

const Bytes kVersion10 = {0x10, 4, 0x44, 0xAA};

INSTANTIATE_TEST_SUITE_P(
    AllCommands, CommandFrames,
    ::testing::Values(
        FrameCase{"Activity",
                  Board::Common,
                  [](auto& d, void* h) { return d.Slave_Activity_Inquiry(h); },
                  {B({0x10, 4, 0x01, 0xAA})}},
        FrameCase{"Version",
                  Board::Common,
                  [](auto& d, void* h) { return d.Version_of_Board(h); },
                  {kVersion10}},
        FrameCase{"Reset",
                  Board::Common,
                  [](auto& d, void* h) { return d.Reset_Board(h); },
                  {B({0x10, 4, 0x45, 0xAA})}},
        FrameCase{"Offset",
                  Board::Common,
                  [](auto& d, void* h) { return d.Get_Offset_Value(h, 2); },
                  {kVersion10, B({0x11, 4, 0x40, 0xAA})}},
        FrameCase{"OffsetType9",
                  Board::Type9,
                  [](auto& d, void* h) { return d.Get_Offset_Value(h, 2); },
                  {kVersion10, B({0x11, 5, 0x50, 2, 0xAA})}},
        FrameCase{"Fullscale",
                  Board::Common,
                  [](auto& d, void* h) { return d.Get_Fullscale_Value(h, 2); },
                  {kVersion10, B({0x11, 4, 0x41, 0xAA})}},
        FrameCase{"FullscaleType9",
                  Board::Type9,
                  [](auto& d, void* h) { return d.Get_Fullscale_Value(h, 3); },
                  {kVersion10, B({0x11, 5, 0x51, 3, 0xAA})}},
        FrameCase{"Normal",
                  Board::Common,
                  [](auto& d, void* h) { return d.Normal_Data_Request(h, 1); },
                  {kVersion10, B({0x11, 4, 0x42, 0xAA})}},
        FrameCase{"NormalType9",
                  Board::Type9,
                  [](auto& d, void* h) { return d.Normal_Data_Request(h, 1); },
                  {kVersion10, B({0x11, 5, 0x52, 1, 0xAA})}},
        FrameCase{"Eeprom",
                  Board::Common,
                  [](auto& d, void* h) { return d.Read_EEPROM_Register(h, 0x21); },
                  {B({0x10, 5, 0x82, 0x21, 0xAA})}},
        FrameCase{"ChannelRegister",
                  Board::Type9,
                  [](auto& d, void* h) { return d.Read_Channel_Register(h, 3, 0x21); },
                  {B({0x10, 6, 0x86, 3, 0x21, 0xAA})}},
        FrameCase{"SetConfig2",
                  Board::Common,
                  [](auto& d, void* h) { return d.Set_ADC_Configuration2(h, 0x35, 1); },
                  {kVersion10, B({0x11, 5, 0x29, 0x35, 0xAA})}},
        FrameCase{"SetConfig2Type9",
                  Board::Type9,
                  [](auto& d, void* h) { return d.Set_ADC_Configuration2(h, 0x35, 1); },
                  {kVersion10, B({0x11, 6, 0x39, 1, 0x35, 0xAA})}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

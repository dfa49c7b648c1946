// Register reads and the calibration values built on them.
#include <functional>

#include "fixture.h"

namespace {

class Registers : public BoardTest {};

TEST_F(Registers, EepromReadAnswersTwoRawCharacters) {
  Open();
  dev->board.eeprom[0x21] = {0x99, 0x00, 0x05};
  dll.PacketNumber = 0x1F;
  const std::string r = dll.Read_EEPROM_Register(handle, 0x21);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], '\0');
  EXPECT_EQ(r[1], '\x05');
  EXPECT_EQ(dll.EepromData1, 0);
  EXPECT_EQ(dll.EepromData2, 5);
  EXPECT_EQ(Sent().back(), B({0x20, 5, 0x82, 0x21, 0xAA}));
  EXPECT_EQ(dll.PacketData[0], 0x99);

  // Addresses 0 and 255 go out unchanged; consecutive reads take consecutive numbers.
  dev->board.eeprom[255] = {0, 0x31, 0x32};
  EXPECT_EQ(dll.Read_EEPROM_Register(handle, 0), std::string(2, '\0'));
  EXPECT_EQ(dll.Read_EEPROM_Register(handle, 255), "12");
  EXPECT_EQ(Sent()[1], B({0x21, 5, 0x82, 0, 0xAA}));
  EXPECT_EQ(Sent()[2], B({0x22, 5, 0x82, 255, 0xAA}));
}

TEST_F(Registers, FailedEepromReadKeepsTheLastBytes) {
  Open();
  dev->board.eeprom[1] = {0, 7, 8};
  dll.Read_EEPROM_Register(handle, 1);
  Queue(Fault(ReplyFault::kCorruptTrailer));
  EXPECT_EQ(dll.Read_EEPROM_Register(handle, 2), "Error");
  EXPECT_STREQ(dll.ErrorText, "End Of Packet Error");
  EXPECT_EQ(dll.EepromData1, 7);
  EXPECT_EQ(dll.EepromData2, 8);
}

TEST_F(Registers, ChannelRegisterReadAnswersOneRawCharacter) {
  Open(Board::Type9());
  dev->board.channels[3].registers[0x21] = {1, 2, 0x41};
  dll.PacketNumber = 0x1F;
  EXPECT_EQ(dll.Read_Channel_Register(handle, 3, 0x21), "A");
  EXPECT_EQ(Sent().back(), B({0x20, 6, 0x86, 3, 0x21, 0xAA}));
  dev->board.channels[0].registers[255] = {0, 0, 0};
  EXPECT_EQ(dll.Read_Channel_Register(handle, 0, 255), std::string(1, '\0'));

  // A channel the board does not have: the board refuses the data.
  EXPECT_EQ(dll.Read_Channel_Register(handle, 255, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Command Error");
  EXPECT_EQ(Sent().back(), B({0x22, 6, 0x86, 255, 0, 0xAA}));
}

TEST_F(Registers, AReplyWithTheOtherReadsCodeIsRefused) {
  Open(Board::Type9());
  dll.PacketNumber = 4;
  Queue(Replace(B({5, 7, 0x82, 1, 2, 3, 0xAA})));
  EXPECT_EQ(dll.Read_Channel_Register(handle, 0, 0x10), "Error");
  EXPECT_STREQ(dll.ErrorText, "Command Number Error");
  for (unsigned char b : dll.PacketData) EXPECT_EQ(b, 0);
}

TEST_F(Registers, SimulationSendsNothingAndKeepsEverything) {
  Open();
  dll.Read_EEPROM_Register(handle, 0x40);
  const unsigned char number = dll.PacketNumber;
  const unsigned char e1 = dll.EepromData1, e2 = dll.EepromData2;
  dll.SimulationMode = 1;
  dll.ftHandle = nullptr;
  EXPECT_EQ(dll.Read_EEPROM_Register(handle, 1), "0");
  EXPECT_EQ(dll.Read_Channel_Register(handle, 1, 1), "0");
  EXPECT_EQ(dll.PacketNumber, number);
  EXPECT_EQ(dll.EepromData1, e1);
  EXPECT_EQ(dll.EepromData2, e2);
  EXPECT_EQ(dll.ftHandle, nullptr);
  EXPECT_EQ(Sent().size(), 1u);
}

// The four calibration queries on each kind of board.
using Query = std::string (KAVRO_USB_DLL::*)(void*, unsigned char);

struct CalibrationCase {
  const char* name;
  Board (*board)();
  Query query;
  const char* value;                // with SetCalibration(ch, 1234, 54321, 7, 3)
  std::vector<std::uint8_t> reads;  // register addresses read, in order (after the version)
  bool channel_reads;
};

void PrintTo(const CalibrationCase& c, std::ostream* os) {
  *os << c.name;
}

class Calibration : public BoardTest, public ::testing::WithParamInterface<CalibrationCase> {};

TEST_P(Calibration, ReadsTheRegistersOfTheBoardsType) {
  const CalibrationCase& c = GetParam();
  Open(c.board());
  dev->board.SetCalibration(2, 1234, 54321, 7, 3);
  EXPECT_EQ((dll.*c.query)(handle, 2), c.value);
  EXPECT_STREQ(dll.ErrorText, "");
  ASSERT_EQ(Sent().size(), 1 + c.reads.size());
  EXPECT_EQ(Sent()[0][2], 0x44);
  for (std::size_t i = 0; i < c.reads.size(); ++i) {
    const Bytes& f = Sent()[i + 1];
    if (c.channel_reads) {
      EXPECT_EQ(f, B({f[0], 6, 0x86, 2, c.reads[i], 0xAA}));
    } else {
      EXPECT_EQ(f, B({f[0], 5, 0x82, c.reads[i], 0xAA}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllQueries, Calibration,
    ::testing::Values(
        CalibrationCase{
            "OffsetCommon", Board::Common, &KAVRO_USB_DLL::Get_Offset_Load, "1234", {0x40}, false},
        CalibrationCase{"FullscaleCommon",
                        Board::Common,
                        &KAVRO_USB_DLL::Get_Fullscale_Load,
                        "54321",
                        {0x5E},
                        false},
        CalibrationCase{
            "UnitCommon", Board::Common, &KAVRO_USB_DLL::Get_Unit_Code, "7", {0x6A}, false},
        CalibrationCase{
            "PointCommon", Board::Common, &KAVRO_USB_DLL::Get_Decimal_Point, "3", {0x72}, false},
        CalibrationCase{
            "OffsetType0", Board::Type0, &KAVRO_USB_DLL::Get_Offset_Load, "1234", {0x50}, false},
        CalibrationCase{"FullscaleType0",
                        Board::Type0,
                        &KAVRO_USB_DLL::Get_Fullscale_Load,
                        "54321",
                        {0x76},
                        false},
        CalibrationCase{
            "UnitType0", Board::Type0, &KAVRO_USB_DLL::Get_Unit_Code, "7", {0x7E}, false},
        CalibrationCase{
            "PointType0", Board::Type0, &KAVRO_USB_DLL::Get_Decimal_Point, "0", {}, false},
        CalibrationCase{"OffsetType9",
                        Board::Type9,
                        &KAVRO_USB_DLL::Get_Offset_Load,
                        "1234",
                        {0x41, 0x40},
                        true},
        CalibrationCase{"FullscaleType9",
                        Board::Type9,
                        &KAVRO_USB_DLL::Get_Fullscale_Load,
                        "54321",
                        {0x5F, 0x5E},
                        true},
        CalibrationCase{
            "UnitType9", Board::Type9, &KAVRO_USB_DLL::Get_Unit_Code, "7", {0x6A}, true},
        CalibrationCase{
            "PointType9", Board::Type9, &KAVRO_USB_DLL::Get_Decimal_Point, "3", {0x72}, true},
        CalibrationCase{"Type12IsCommon",
                        Board::Type12,
                        &KAVRO_USB_DLL::Get_Offset_Load,
                        "1234",
                        {0x40},
                        false}),
    [](const auto& info) { return std::string(info.param.name); });

class CalibrationValues : public BoardTest {};

TEST_F(CalibrationValues, SixteenBitValuesAreUnsigned) {
  Open();
  dev->board.eeprom[0x40] = {0x12, 0xFF, 0xFF};
  EXPECT_EQ(dll.Get_Offset_Load(handle, 0), "65535");
  dev->board.eeprom[0x40] = {0x12, 0x01, 0x00};
  EXPECT_EQ(dll.Get_Offset_Load(handle, 0), "256");
  dev->board.eeprom[0x40] = {0x12, 0x03, 0xE8};
  EXPECT_EQ(dll.Get_Offset_Load(handle, 0), "1000");
  EXPECT_EQ(dll.RegisterHigh, 0x03);
  EXPECT_EQ(dll.RegisterLow, 0xE8);
  dev->board.eeprom[0x6A] = {0x12, 0x03, 0xE8};
  EXPECT_EQ(dll.Get_Unit_Code(handle, 0), "232");  // b2 alone, b0 plays no part
  // The channel is not sent on EEPROM boards: every channel gives the same value.
  EXPECT_EQ(dll.Get_Unit_Code(handle, 200), "232");
}

TEST_F(CalibrationValues, Type9ReadsHighByteFirstAndKeepsTheBaseAddress) {
  Open(Board::Type9());
  dev->board.SetCalibration(1, 0xFFFF, 0, 0, 0);
  EXPECT_EQ(dll.Get_Offset_Load(handle, 1), "65535");
  EXPECT_EQ(dll.RegisterAddress, 0x40);

  // The second read failing leaves the new high byte and the old low byte.
  dll.RegisterLow = 0x11;
  dev->board.SetCalibration(1, 0xAB00, 0, 0, 0);
  Queue(Fault(ReplyFault::kNone));
  Queue(Fault(ReplyFault::kNone));
  Queue(Fault(ReplyFault::kDrop));
  EXPECT_EQ(dll.Get_Offset_Load(handle, 1), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dll.RegisterHigh, 0xAB);
  EXPECT_EQ(dll.RegisterLow, 0x11);
}

TEST_F(CalibrationValues, UnsupportedBoardTypesAreRefusedWithoutARead) {
  for (unsigned int type : {5u, 10u, 15u, 17u, 255u}) {
    VirtualBus::Device& d = bus.AddDevice("T" + std::to_string(type), Board(type, 1));
    dll.UseLink(&bus);
    char serial[16];
    std::snprintf(serial, sizeof(serial), "T%u", type);
    dll.Open_Device_Connection(serial);
    ASSERT_NE(dll.DeviceHandle, nullptr);
    dll.RegisterAddress = 0x99;
    for (Query q : {&KAVRO_USB_DLL::Get_Offset_Load, &KAVRO_USB_DLL::Get_Fullscale_Load,
                    &KAVRO_USB_DLL::Get_Unit_Code, &KAVRO_USB_DLL::Get_Decimal_Point}) {
      EXPECT_EQ((dll.*q)(dll.DeviceHandle, 0), "Error") << type;
      EXPECT_STREQ(dll.ErrorText, "Invalid Type of Board");
    }
    EXPECT_EQ(dll.RegisterAddress, 0x99);
    for (const Bytes& f : d.board.transcript) {
      EXPECT_EQ(f[2], 0x44);  // only version requests
    }
  }
}

TEST_F(CalibrationValues, FailuresAtEachExchange) {
  Open(Board::Type0());
  Queue(Fault(ReplyFault::kDrop));
  EXPECT_EQ(dll.Get_Decimal_Point(handle, 0), "Error");  // the version exchange failed
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dll.BoardType, 255u);

  Queue(Fault(ReplyFault::kNone));
  Queue(ErrorReply('O'));
  EXPECT_EQ(dll.Get_Unit_Code(handle, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Packet Command Error");
  EXPECT_EQ(dll.RegisterAddress, 0x7E);  // the address being read
}

TEST_F(CalibrationValues, SimulationAnswersTheSimulatedValues) {
  Open();
  dll.SimulationMode = 1;
  dll.SimOffsetLoad = -5;
  dll.SimFullscaleLoad = 70000;
  dll.SimUnitCode = 3;
  dll.SimDecimalPoint = 2;
  dll.BoardType = 42;
  EXPECT_EQ(dll.Get_Offset_Load(handle, 0), "-5");
  EXPECT_EQ(dll.Get_Fullscale_Load(handle, 0), "70000");
  EXPECT_EQ(dll.Get_Unit_Code(handle, 0), "3");
  EXPECT_EQ(dll.Get_Decimal_Point(handle, 0), "2");
  EXPECT_EQ(dll.BoardType, 42u);
  EXPECT_TRUE(Sent().empty());
}

}  // namespace

// Converter value arithmetic and the three measurement requests.
#include <cstring>

#include "fixture.h"

namespace {

struct AdcCase {
  unsigned char s, h, m, l;
  std::string text;
};

void PrintTo(const AdcCase& c, std::ostream* os) {
  *os << int(c.s) << "," << int(c.h) << "," << int(c.m) << "," << int(c.l);
}

// A 15-character text with NUL bytes in it.
std::string Text(const char (&raw)[16]) { return std::string(raw, 15); }

class AdcValue : public ::testing::TestWithParam<AdcCase> {};

TEST_P(AdcValue, Text) {
  KAVRO_USB_DLL dll;
  std::strcpy(dll.ErrorText, "caller's");
  const AdcCase& c = GetParam();
  EXPECT_EQ(dll.Calculate_ADC_Value(c.s, c.h, c.m, c.l), c.text);
  EXPECT_STREQ(dll.ErrorText, "caller's");  // never touched, even for "Error"
  dll.SimulationMode = 1;
  EXPECT_EQ(dll.Calculate_ADC_Value(c.s, c.h, c.m, c.l), "0");
}

INSTANTIATE_TEST_SUITE_P(DecisionTable, AdcValue,
                         ::testing::Values(
                             // Positive readings, both ends of the range.
                             AdcCase{2, 0, 0, 0, "0"}, AdcCase{2, 0, 0, 1, "1"},
                             AdcCase{2, 0, 1, 0, "256"}, AdcCase{2, 0xFF, 0xFF, 0xFF, "16777215"},
                             // Negative readings, both ends, and bit 23 of the magnitude set.
                             AdcCase{1, 0, 0, 0, "-16777216"}, AdcCase{1, 0, 0, 1, "-16777215"},
                             AdcCase{1, 0x80, 0, 0, "-8388608"}, AdcCase{1, 0xFF, 0xFF, 0xFF, "-1"},
                             // Limit and fault markers, and what is near them.
                             AdcCase{0, 0, 0, 0, "Error"},
                             AdcCase{0, 0xFF, 0xFF, 0xFF, "Negative Overflow"},
                             AdcCase{0, 0x12, 0x34, 0x56, ""}, AdcCase{0, 0xFF, 0xFF, 0xFE, ""},
                             AdcCase{3, 0, 0, 0, "Positive Overflow"}, AdcCase{3, 0, 0, 1, ""},
                             AdcCase{0xFF, 0xFF, 0xFF, 0xFF, "Unassigned"},
                             // Not a reading: the raw bytes, NULs included, always 15 characters.
                             AdcCase{0xFF, 0xFF, 0xFF, 0xFE, Text("Data \xff, \xff, \xff, \xfe")},
                             AdcCase{0x41, 0x42, 0x43, 0x44, "Data A, B, C, D"},
                             AdcCase{4, 0, 0, 0, Text("Data \x04, \0, \0, \0")},
                             AdcCase{0x80, 0x00, 0x31, 0x00, Text("Data \x80, \0, 1, \0")}));

TEST(AdcValueText, DataTextKeepsItsNulBytes) {
  KAVRO_USB_DLL dll;
  const std::string t = dll.Calculate_ADC_Value(4, 0, 0x41, 0);
  ASSERT_EQ(t.size(), 15u);
  EXPECT_EQ(t.compare(0, 5, "Data "), 0);
  EXPECT_EQ(t[5], '\x04');
  EXPECT_EQ(t[8], '\0');
  EXPECT_EQ(t[11], 'A');
  EXPECT_EQ(t[14], '\0');
}

class Measurement : public BoardTest {};

TEST_F(Measurement, CommonBoardSendsVersionThenRequestAndConvertsTheReading) {
  Open(Board(4, 1));
  dll.PacketNumber = 6;
  dev->board.forced_readings.push_back({2, 0x00, 0x01, 0x00});
  EXPECT_EQ(dll.Normal_Data_Request(handle, 5), "256");
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(Sent(), (std::vector<Bytes>{B({7, 4, 0x44, 0xAA}), B({8, 4, 0x42, 0xAA})}));
  EXPECT_EQ(dll.BoardType, 4u);

  dev->board.forced_readings.push_back({1, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(dll.Get_Offset_Value(handle, 2), "-1");
  dev->board.forced_readings.push_back({3, 0, 0, 0});
  EXPECT_EQ(dll.Get_Fullscale_Value(handle, 9), "Positive Overflow");
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{0x44, 0x42, 0x44, 0x40, 0x44, 0x41}));

  // An all-zero payload is the converter's fault marker: "Error" with no reason text,
  // which tells it apart from a failed exchange.
  dev->board.forced_readings.push_back({0, 0, 0, 0});
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "");
}

TEST_F(Measurement, ReadingsComeFromTheBoardsSignal) {
  Open();
  auto& ch = dev->board.channels[0];
  ch.offset_reading = -123456;
  ch.fullscale_reading = 16777215;
  ch.signal.level = 4242;
  EXPECT_EQ(dll.Get_Offset_Value(handle, 0), "-123456");
  EXPECT_EQ(dll.Get_Fullscale_Value(handle, 0), "16777215");
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "4242");
  ch.signal.level = -20000000;  // beyond the converter's range
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "Negative Overflow");
}

TEST_F(Measurement, Type9UsesChannelFramesAndPlainCounts) {
  Open(Board::Type9());
  dll.PacketNumber = 0x0F;
  dev->board.forced_readings.push_back({0x07, 0x01, 0x00, 0x00});
  EXPECT_EQ(dll.Get_Offset_Value(handle, 2), "65536");  // byte 0 ignored, no sign
  EXPECT_EQ(Sent()[1], B({0x11, 5, 0x50, 2, 0xAA}));
  dev->board.forced_readings.push_back({0x99, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(dll.Normal_Data_Request(handle, 3), "16777215");
  dev->board.forced_readings.push_back({0, 0, 0, 0});
  EXPECT_EQ(dll.Get_Fullscale_Value(handle, 1), "0");  // a count, not the fault marker
  EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{0x44, 0x50, 0x44, 0x52, 0x44, 0x51}));

  dev->board.channels[3].signal.level = 9000000;
  EXPECT_EQ(dll.Normal_Data_Request(handle, 3), "9000000");
}

TEST_F(Measurement, NoBoardTypeIsRefused) {
  Open(Board(200, 1));
  dev->board.forced_readings.push_back({2, 0, 0, 7});
  EXPECT_EQ(dll.Get_Offset_Value(handle, 0), "7");
  EXPECT_EQ(Sent().back(), B({2, 4, 0x40, 0xAA}));
}

TEST_F(Measurement, EachExchangeFailingEndsTheCall) {
  Open();
  // The version exchange.
  Queue(Fault(ReplyFault::kDrop));
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(Sent().size(), 1u);
  // The measurement's write.
  bus.FailCall(Call::kWrite, 4, 2);
  EXPECT_EQ(dll.Get_Offset_Value(handle, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  EXPECT_EQ(dll.ErrorStatus, 4u);
  // The measurement's reply: too late for its 10 ms.
  Queue(Fault(ReplyFault::kNone));
  Queue(Hold(15000));
  EXPECT_EQ(dll.Get_Fullscale_Value(handle, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  // A board error reply.
  Queue(Fault(ReplyFault::kNone));
  Queue(ErrorReply('L'));
  EXPECT_EQ(dll.Normal_Data_Request(handle, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "TEDS Error");
}

TEST_F(Measurement, SimulationAnswersFromTheSimulatedValues) {
  Open();
  dll.SimulationMode = 1;
  dll.BoardType = 77;
  const struct {
    int offset, fullscale;
    const char* mid;
  } cases[] = {{100, 205, "152"},
               {100, 301, "200"},
               {-301, 0, "-150"},
               {-7, 0, "-3"},
               // The difference wraps; the result is held to the 32-bit range.
               {2147483647, -2, "2147483647"},
               {-2147483647 - 1, 2147483647, "-2147483648"},  // wrapped to -1, then held
               {2147483647, 2147483647, "2147483647"}};
  for (const auto& c : cases) {
    dll.SimOffsetValue = c.offset;
    dll.SimFullscaleValue = c.fullscale;
    EXPECT_EQ(dll.Normal_Data_Request(handle, 0), c.mid) << c.offset << " " << c.fullscale;
    EXPECT_EQ(dll.Get_Offset_Value(handle, 0), std::to_string(c.offset));
    EXPECT_EQ(dll.Get_Fullscale_Value(handle, 0), std::to_string(c.fullscale));
  }
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(dll.BoardType, 77u);
}

}  // namespace

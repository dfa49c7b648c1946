// Every command as it meets a board: the frames it puts on the wire, the replies the board
// gives (scripted byte for byte), what it answers, its ErrorText and the fields it leaves; how
// long it waits for each reply. Then the packet layer on its own: numbering, framing by length
// and the read's bound. (The rules by which replies are accepted or refused, and the data bytes
// an accepted reply leaves, are judged case by case by the reply-stream fuzz target over its seed
// corpus.)
#include <cstring>

#include "fixture.h"

namespace {

// The version request answers through the five version fields.
const Command kGetVersion = [](K& d, void* h) {
  d.Get_Version_of_Board(h);
  return VersionFields(d);
};

// The fields an application reads after a command, where they differ from a fresh instance.
std::string Fields(const K& d) {
  std::string out;
  char text[64];
  if (d.BoardType != 0 || !d.VersionField1.empty()) out += "type " + std::to_string(d.BoardType);
  if (d.RegisterAddress != 0 || d.RegisterHigh != 0 || d.RegisterLow != 0) {
    std::snprintf(text, sizeof(text), " register %02x = %02x %02x", d.RegisterAddress,
                  d.RegisterHigh, d.RegisterLow);
    out += text;
  }
  if (d.AdcConfigUpper != 0 || d.AdcSamplingRate != 0)
    out += " config " + std::to_string(d.AdcConfigUpper) + "/" + std::to_string(d.AdcSamplingRate);
  if (d.EepromData1 != 0 || d.EepromData2 != 0) {
    std::snprintf(text, sizeof(text), " eeprom %02x %02x", d.EepromData1, d.EepromData2);
    out += text;
  }
  return out[0] == ' ' ? out.substr(1) : out;
}

struct Exchange {
  const char* what;
  Command command;
  std::vector<const char*> sent;     // the frames on the wire; the first is numbered 0x10
  std::vector<const char*> replies;  // the board's replies, in order ("": none comes)
  std::string result;
  const char* error;   // ErrorText afterwards
  const char* fields;  // Fields() afterwards
};

// The version request every board-type-dependent command sends first, and replies to it.
const char* const kAsk = "10 04 44 aa";
const char* const kType0 = "10 08 44 00 01 02 34 aa";
const char* const kType3 = "10 08 44 03 01 02 34 aa";
const char* const kType9 = "10 08 44 09 01 02 34 aa";
const char* const kType12 = "10 08 44 0c 01 02 34 aa";

// clang-format off
const Exchange kExchanges[] = {
    // Board management.
    {"activity inquiry", Bind(&K::Slave_Activity_Inquiry), {"10 04 01 aa"}, {"10 04 01 aa"}, "0", "", ""},
    {"version", kGetVersion, {kAsk}, {"10 08 44 09 01 02 35 aa"}, "09 01 02 03 05", "", "type 9"},
    {"version, wrong reply code", kGetVersion, {kAsk}, {"10 08 45 09 01 02 34 aa"},
     "Error Error Error Error Error", "Command Number Error", "type 255"},
    {"reset", Bind(&K::Reset_Board), {"10 04 45 aa"}, {"10 04 01 aa", "01 04 45 aa"}, "0", "", ""},
    {"reset, restart notice numbered 2", Bind(&K::Reset_Board), {"10 04 45 aa"},
     {"10 04 01 aa", "02 04 45 aa"}, "Error", "Packet Number Error", ""},
    {"reset, restart notice after a stray 0xff", Bind(&K::Reset_Board), {"10 04 45 aa"},
     {"10 04 01 aa", "ff 01 04 45 aa"}, "0", "", ""},
    // Measurement: the converter's text on every type but 9, a plain 24-bit count on type 9.
    {"normal data, type 3", Bind(&K::Normal_Data_Request, 5), {kAsk, "11 04 42 aa"},
     {kType3, "11 08 42 02 00 01 00 aa"}, "256", "", "type 3"},
    {"normal data, type 9", Bind(&K::Normal_Data_Request, 1), {kAsk, "11 05 52 01 aa"},
     {kType9, "11 08 52 00 00 00 00 aa"}, "0", "", "type 9"},
    {"normal data, no version reply", Bind(&K::Normal_Data_Request, 0), {kAsk}, {""}, "Error",
     "Timeout Error", "type 255"},
    {"normal data, short TEDS error reply", Bind(&K::Normal_Data_Request, 0), {kAsk, "11 04 42 aa"},
     {kType3, "11 05 4c 00 aa"}, "Error", "TEDS Error", "type 3"},
    {"offset, type 200", Bind(&K::Get_Offset_Value, 2), {kAsk, "11 04 40 aa"},
     {"10 08 44 c8 01 02 34 aa", "11 08 40 01 ff ff ff aa"}, "-1", "", "type 200"},
    {"offset, type 9", Bind(&K::Get_Offset_Value, 2), {kAsk, "11 05 50 02 aa"},
     {kType9, "11 08 50 07 01 00 00 aa"}, "65536", "", "type 9"},
    {"fullscale, type 3", Bind(&K::Get_Fullscale_Value, 3), {kAsk, "11 04 41 aa"},
     {kType3, "11 08 41 03 00 00 00 aa"}, "Positive Overflow", "", "type 3"},
    {"fullscale, type 9", Bind(&K::Get_Fullscale_Value, 3), {kAsk, "11 05 51 03 aa"},
     {kType9, "11 08 51 99 ff ff ff aa"}, "16777215", "", "type 9"},
    // Register reads answer raw characters, not digits.
    {"EEPROM register", Bind(&K::Read_EEPROM_Register, 0x21), {"10 05 82 21 aa"},
     {"10 07 82 99 00 05 aa"}, std::string("\0\x05", 2), "", "eeprom 00 05"},
    {"channel register", Bind(&K::Read_Channel_Register, 3, 0xFF), {"10 06 86 03 ff aa"},
     {"10 07 86 01 02 41 aa"}, "A", "", ""},
    // Calibration: EEPROM addresses by type 0 or a common type; the channel's registers on type 9.
    {"offset load, type 3", Bind(&K::Get_Offset_Load, 2), {kAsk, "11 05 82 40 aa"},
     {kType3, "11 07 82 12 03 e8 aa"}, "1000", "", "type 3 register 40 = 03 e8 eeprom 03 e8"},
    {"fullscale load, type 3", Bind(&K::Get_Fullscale_Load, 2), {kAsk, "11 05 82 5e aa"},
     {kType3, "11 07 82 00 ff ff aa"}, "65535", "", "type 3 register 5e = ff ff eeprom ff ff"},
    {"unit code, type 3", Bind(&K::Get_Unit_Code, 2), {kAsk, "11 05 82 6a aa"},
     {kType3, "11 07 82 12 03 e8 aa"}, "232", "", "type 3 register 6a = 00 00 eeprom 03 e8"},
    {"decimal point, type 3", Bind(&K::Get_Decimal_Point, 2), {kAsk, "11 05 82 72 aa"},
     {kType3, "11 07 82 00 00 03 aa"}, "3", "", "type 3 register 72 = 00 00 eeprom 00 03"},
    {"offset load, type 0", Bind(&K::Get_Offset_Load, 2), {kAsk, "11 05 82 50 aa"},
     {kType0, "11 07 82 00 01 00 aa"}, "256", "", "type 0 register 50 = 01 00 eeprom 01 00"},
    {"fullscale load, type 0", Bind(&K::Get_Fullscale_Load, 2), {kAsk, "11 05 82 76 aa"},
     {kType0, "11 07 82 00 00 07 aa"}, "7", "", "type 0 register 76 = 00 07 eeprom 00 07"},
    {"unit code, type 0", Bind(&K::Get_Unit_Code, 2), {kAsk, "11 05 82 7e aa"},
     {kType0, "11 07 82 00 00 07 aa"}, "7", "", "type 0 register 7e = 00 00 eeprom 00 07"},
    {"decimal point, type 0", Bind(&K::Get_Decimal_Point, 2), {kAsk}, {kType0}, "0", "", "type 0"},
    {"offset load, type 9", Bind(&K::Get_Offset_Load, 2), {kAsk, "11 06 86 02 41 aa", "12 06 86 02 40 aa"},
     {kType9, "11 07 86 00 00 ab aa", "12 07 86 00 00 11 aa"}, "43793", "", "type 9 register 40 = ab 11"},
    {"offset load, type 9, low byte lost", Bind(&K::Get_Offset_Load, 2), {kAsk, "11 06 86 02 41 aa", "12 06 86 02 40 aa"},
     {kType9, "11 07 86 00 00 ab aa", ""}, "Error", "Timeout Error", "type 9 register 40 = ab 00"},
    {"fullscale load, type 9", Bind(&K::Get_Fullscale_Load, 1), {kAsk, "11 06 86 01 5f aa", "12 06 86 01 5e aa"},
     {kType9, "11 07 86 00 00 01 aa", "12 07 86 00 00 02 aa"}, "258", "", "type 9 register 5e = 01 02"},
    {"unit code, type 9", Bind(&K::Get_Unit_Code, 1), {kAsk, "11 06 86 01 6a aa"},
     {kType9, "11 07 86 00 00 05 aa"}, "5", "", "type 9 register 6a = 00 00"},
    {"decimal point, type 9", Bind(&K::Get_Decimal_Point, 1), {kAsk, "11 06 86 01 72 aa"},
     {kType9, "11 07 86 00 00 02 aa"}, "2", "", "type 9 register 72 = 00 00"},
    {"offset load, type 5", Bind(&K::Get_Offset_Load, 0), {kAsk}, {"10 08 44 05 01 02 34 aa"}, "Error",
     "Invalid Type of Board", "type 5"},
    // Converter configuration: read the byte, keep its upper field, write it with the new rate.
    {"rate, type 3", Bind(&K::Set_ADC_Configuration, 7, 3), {kAsk, "11 05 82 64 aa", "12 05 29 57 aa"},
     {kType3, "11 07 82 00 00 5c aa", "12 04 01 aa"}, "0", "", "type 3 register 64 = 00 00 config 5/12 eeprom 00 5c"},
    {"rate, type 0", Bind(&K::Set_ADC_Configuration, 1, 0), {kAsk, "11 05 82 7a aa", "12 05 29 41 aa"},
     {kType0, "11 07 82 00 00 c3 aa", "12 04 01 aa"}, "0", "", "type 0 register 7a = 00 00 config 4/3 eeprom 00 c3"},
    {"rate, type 9", Bind(&K::Set_ADC_Configuration, 9, 2), {kAsk, "11 06 86 02 64 aa", "12 06 39 02 39 aa"},
     {kType9, "11 07 86 00 00 35 aa", "12 04 01 aa"}, "0", "", "type 9 register 64 = 00 00 config 3/5"},
    {"rate 15, type 12", Bind(&K::Set_ADC_Configuration, 15, 0), {kAsk, "11 05 82 64 aa", "12 05 29 2b aa"},
     {kType12, "11 07 82 00 00 20 aa", "12 04 01 aa"}, "0", "", "type 12 register 64 = 00 00 config 2/0 eeprom 00 20"},
    {"rate 16", Bind(&K::Set_ADC_Configuration, 16, 0), {}, {}, "Error", "Invalid Sampling Rate", ""},
    {"rate, unacknowledged", Bind(&K::Set_ADC_Configuration, 1, 0), {kAsk, "11 05 82 64 aa", "12 05 29 01 aa"},
     {kType3, "11 07 82 00 00 00 aa", "12 05 4e 00 aa"}, "Error", "Packet Frame Error", "type 3 register 64 = 00 00"},
    {"whole byte, type 3", Bind(&K::Set_ADC_Configuration2, 0xFF, 1), {kAsk, "11 05 29 ff aa"},
     {kType3, "11 04 01 aa"}, "0", "", "type 3"},
    {"whole byte, type 12", Bind(&K::Set_ADC_Configuration2, 0xFF, 0), {kAsk, "11 05 29 7b aa"},
     {kType12, "11 04 01 aa"}, "0", "", "type 12 config 7/11"},
    {"read configuration", [](K& d, void*) { return d.Get_ADC_Configuration(0x64, 2); },
     {"10 05 82 64 aa"}, {"10 07 82 00 00 c3 aa"}, "Finished", "", "config 4/3 eeprom 00 c3"},
    {"read configuration, type 9", [](K& d, void* h) { d.Get_Version_of_Board(h); return d.Get_ADC_Configuration(0x64, 2); },
     {kAsk, "11 06 86 02 64 aa"}, {kType9, "11 07 86 00 00 29 aa"}, "Finished", "", "type 9 config 2/9"},
};
// clang-format on

TEST(Commands, SendTheirFramesAndAnswerFromTheReplies) {
  for (const Exchange& x : kExchanges) {
    SCOPED_TRACE(x.what);
    OneBoard one(VirtualBoard(3, 4));
    for (const char* r : x.replies)
      one.dev.board.faults.push_back(*r ? Fault(ReplyFault::kReplace, FromHex(r))
                                        : Fault(ReplyFault::kDrop));
    K& dll = one.dll;
    dll.PacketNumber = 0x0F;
    std::strcpy(dll.ErrorText, "left from before");
    dll.ErrorStatus = 99;

    EXPECT_EQ(x.command(dll, one.h), x.result);
    EXPECT_STREQ(dll.ErrorText, x.error);
    const std::vector<std::string> wire = one.Wire();
    EXPECT_EQ(wire, std::vector<std::string>(x.sent.begin(), x.sent.end()));
    EXPECT_EQ(Fields(dll), x.fields);
    // The traces: the last frame sent, and the last reply when every exchange succeeded.
    EXPECT_EQ(dll.PacketSent, wire.empty() ? "" : Compact(wire.back()));
    if (*x.error == '\0' && !x.replies.empty()) {
      EXPECT_EQ(dll.PacketReceived, Compact(x.replies.back()));
    }
    // The packet fields: the last request sent (ErrorStatus cleared once it went out)...
    const Bytes tx = wire.empty() ? Bytes{0x0F, 0, 0} : FromHex(wire.back());
    const bool channel_frame = tx.size() > 3 && (tx[2] == 0x39 || (tx[2] & 0xF0) == 0x50);
    EXPECT_EQ(std::make_tuple(dll.PacketNumber, dll.TxLength, dll.TxCommand, dll.TxChannel,
                              dll.EndOfPacket, dll.ErrorStatus, dll.WriteStatus),
              std::make_tuple(tx[0], tx[1], tx[2], channel_frame ? tx[3] : 0,
                              wire.empty() ? 0 : 0xAA, wire.empty() ? 99u : 0u,
                              wire.empty() ? "" : "Finished"));
    // ...and the last reply when it was accepted (a restart notice is numbered 1), else none.
    const bool accepted = !x.replies.empty() && (*x.error == '\0' ||
                                                 std::string(x.error) == "Invalid Type of Board");
    const Bytes rx = accepted ? FromHex(x.replies.back()) : Bytes{0, 0, 0, 0};
    const std::size_t shift = rx[0] == 0xFF ? 1 : 0;
    Bytes data(8, 0);
    if (accepted) std::copy(rx.begin() + 3 + shift, rx.end() - 1, data.begin());
    EXPECT_EQ(ToHex(dll.PacketData, 8) + " " + dll.ReadStatus,
              ToHex(data.data(), 8) + (accepted ? " Finished" : " "));
    if (accepted) {
      EXPECT_EQ(std::make_tuple(dll.RxPacketNumber, dll.RxLength, dll.RxCommand),
                std::make_tuple(rx[shift], static_cast<unsigned char>(rx.size()), rx[shift + 2]));
    }
  }
}

// Each reply budget at its edge, on virtual time: a reply that comes as the budget ends, or
// while the last status query after it runs (it takes 20 us), is accepted; one that comes a
// millisecond later is a time-out that ends with that last look, 1 us past the budget and 20 us
// later. The wait jumps to the reply or to the budget's end instead of polling for it.
TEST(Commands, WaitForEachReplyAsLongAsItsBudget) {
  const struct {
    const char* what;
    unsigned int type;
    Command command;
    std::size_t reply;  // which of the command's replies is late
    std::uint64_t ms;
  } budgets[] = {
      {"activity", 3, Bind(&K::Slave_Activity_Inquiry), 0, 10},
      {"version", 3, Bind(&K::Version_of_Board), 0, 100},
      {"reset acknowledgement", 3, Bind(&K::Reset_Board), 0, 1000},
      {"restart notice", 3, Bind(&K::Reset_Board), 1, 10000},
      {"normal data", 3, Bind(&K::Normal_Data_Request, 0), 1, 10},
      {"normal data, type 9", 9, Bind(&K::Normal_Data_Request, 0), 1, 10},
      {"offset", 3, Bind(&K::Get_Offset_Value, 0), 1, 10},
      {"offset, type 9", 9, Bind(&K::Get_Offset_Value, 0), 1, 10},
      {"fullscale", 3, Bind(&K::Get_Fullscale_Value, 0), 1, 10},
      {"fullscale, type 9", 9, Bind(&K::Get_Fullscale_Value, 0), 1, 10},
      {"EEPROM register", 3, Bind(&K::Read_EEPROM_Register, 0x40), 0, 50},
      {"channel register", 9, Bind(&K::Read_Channel_Register, 0, 0x40), 0, 50},
      {"configuration", 3, Bind(&K::Set_ADC_Configuration2, 0x13, 0), 1, 2000},
      {"channel configuration", 9, Bind(&K::Set_ADC_Configuration2, 0x13, 0), 1, 2000},
  };
  for (const auto& b : budgets) {
    for (std::uint64_t late_us : {0, 1, 21, 1000}) {
      OneBoard one(VirtualBoard(b.type, 1));
      // The restart notice comes after a late acknowledgement, or at once to be late itself.
      one.dev.board.restart_time_us = b.reply == 0 ? 2'000'000 : 0;
      one.dev.board.faults.resize(b.reply);
      one.dev.board.faults.push_back(Fault(ReplyFault::kHold, {}, b.ms * 1000 + late_us));
      const std::uint64_t start = one.bus.now_us();
      const std::string result = b.command(one.dll, one.h);
      SCOPED_TRACE(std::string(b.what) + " " + std::to_string(late_us) + " " + result);
      EXPECT_STREQ(one.dll.ErrorText, late_us > 21 ? "Timeout Error" : "");
      EXPECT_LE(one.bus.CountCalls(Call::kGetStatus), 9u);  // polling would ask hundreds of times
      if (late_us > 21 && b.reply == 0) {  // the write's status query takes 20 us too
        EXPECT_EQ(one.bus.now_us() - start, 20 + b.ms * 1000 + 1 + 20);
      }
    }
  }
}

TEST(Commands, TurnFourConverterBytesIntoText) {
  const struct {
    unsigned char s, h, m, l;
    std::string text;
  } cases[] = {
      // clang-format off
      {2, 0, 0, 0, "0"}, {2, 0, 0, 1, "1"}, {2, 0, 1, 0, "256"}, {2, 0xFF, 0xFF, 0xFF, "16777215"},
      {1, 0, 0, 0, "-16777216"}, {1, 0, 0, 1, "-16777215"}, {1, 0x80, 0, 0, "-8388608"},
      {1, 0xFF, 0xFF, 0xFF, "-1"}, {0, 0, 0, 0, "Error"}, {0, 0xFF, 0xFF, 0xFF, "Negative Overflow"},
      {0, 0xFF, 0xFF, 0xFE, ""}, {0, 0, 0, 1, ""}, {3, 0, 0, 0, "Positive Overflow"}, {3, 0, 0, 1, ""},
      {0xFF, 0xFF, 0xFF, 0xFF, "Unassigned"}, {0xFF, 0xFF, 0xFF, 0xFE, "Data \xff, \xff, \xff, \xfe"},
      {0x41, 0x42, 0x43, 0x44, "Data A, B, C, D"}, {4, 0, 0x41, 0, std::string("Data \x04, \0, A, \0", 15)},
      // clang-format on
  };
  K dll;
  std::strcpy(dll.ErrorText, "the caller's");
  for (const auto& c : cases)
    EXPECT_EQ(dll.Calculate_ADC_Value(c.s, c.h, c.m, c.l), c.text) << int(c.s) << " " << int(c.l);
  EXPECT_STREQ(dll.ErrorText, "the caller's");
}

class Packet : public ::testing::Test, protected OneBoard {};
using BoardTypes = Packet;

// The reset's restart notice never comes; 2.5 s into its 10 s budget the board is unplugged.
TEST_F(Packet, ABoardUnpluggedDuringALongWaitFailsTheWaitThen) {
  dev.board.faults = {Fault(ReplyFault::kNone), Fault(ReplyFault::kDrop)};
  bus.ScheduleUnplug("KV0001", 2500000, 1000000);
  const std::uint64_t start = bus.now_us();
  EXPECT_EQ(dll.Reset_Board(h), "Error");
  EXPECT_STREQ(dll.ErrorText, "IO Error");
  EXPECT_EQ(bus.now_us() - start, 2500000u);
}

// A provider that cannot wait, or whose wait fails: the library sleeps between its queries.
struct NoWait : kavro::ForwardingLink {
  NoWait(kavro::LinkProvider& inner, unsigned int status) : ForwardingLink(inner), status(status) {}
  unsigned int WaitForRx(void*, unsigned int, std::uint64_t) override { return status; }
  unsigned int status;
};

TEST_F(Packet, RepliesComeOnProvidersThatCannotWait) {
  bus.poll_step_us = 500;  // fewer real sleeps per virtual budget
  for (unsigned int status : {kavro::kFtNotSupported, kavro::kFtIoError}) {
    NoWait link(bus, status);
    dll.UseLink(&link);
    dev.board.faults = {Fault(ReplyFault::kHold, {}, 4000)};
    EXPECT_EQ(dll.Normal_Data_Request(h, 0), "1001000") << status;
    dev.board.faults = {Fault(ReplyFault::kHold, {}, 1000), Fault(ReplyFault::kDrop)};
    EXPECT_EQ(dll.Normal_Data_Request(h, 0), "Error");
    EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  }
}

// On the real clock, between the status queries that find too little, the library sleeps when
// its provider cannot wait, instead of asking again at once.
TEST(Pacing, AProviderThatCannotWaitIsAskedBetweenSleeps) {
  VirtualBus bus(VirtualBus::Clock::kReal);
  bus.AddDevice("KV0001").board.faults = {Fault(ReplyFault::kHold, {}, 20000)};
  NoWait link(bus, kavro::kFtNotSupported);
  K dll;
  dll.UseLink(&link);
  char serial[] = "KV0001";
  dll.Open_Device_Connection(serial);
  EXPECT_EQ(dll.Normal_Data_Request(dll.DeviceHandle, 0), "1001000");
  EXPECT_LT(bus.CountCalls(Call::kGetStatus), 2000u);  // asking at once: tens of thousands
}

// Replies that have been slow set a long first sleep, but never one past a short budget: a
// 10 ms wait after a 150 ms reply still ends near its 10 ms.
TEST(Pacing, AWaitNeverSleepsPastItsBudgetWhenRepliesHaveBeenSlow) {
  VirtualBus bus(VirtualBus::Clock::kReal);
  bus.AddDevice("KV0001").board.faults = {Fault(ReplyFault::kHold, {}, 150000),
                                          Fault(ReplyFault::kDrop)};
  NoWait link(bus, kavro::kFtNotSupported);
  K dll;
  dll.UseLink(&link);
  char serial[] = "KV0001";
  dll.Open_Device_Connection(serial);
  dll.TxCommand = dll.RxCommand = 0x44;
  dll.TxLength = 4;
  dll.RxLength = 8;
  dll.EndOfPacket = 0xAA;
  const auto version_exchange_us = [&](int budget_ms) {
    dll.NextPacketNumber();
    dll.RxPacketNumber = dll.PacketNumber;
    dll.WritePacket(0);
    const std::uint64_t start = bus.now_us();
    dll.ReadPacket(budget_ms);
    return bus.now_us() - start;
  };
  EXPECT_GE(version_exchange_us(2000), 150000u);
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_LT(version_exchange_us(10), 80000u);
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
}

// One character per board type 0 to 17, then 255: '+' served, '-' refused as an invalid type.
TEST_F(BoardTypes, EachCommandServesTheTypesItIsMadeFor) {
  std::string rate, whole_byte, unit_code, measurement_errors;
  // A served rate lands in the configuration byte, capped at 11 on type 12 only.
  auto served = [&](const std::string& result, unsigned int type) {
    const int low = dev.board.ConfigByte(0) & 0x0F;
    dev.board.SetConfigByte(0, 0);
    if (result == "Error") return std::string(dll.ErrorText) == "Invalid Type of Board" ? '-' : '?';
    return *dll.ErrorText == '\0' && low == (type == 12 ? 11 : 15) ? '+' : '?';
  };
  dev.board.SetConfigByte(0, 0);
  for (unsigned int type = 0; type < 19; ++type) {
    dev.board.version[0] = static_cast<std::uint8_t>(type < 18 ? type : 255);
    rate += served(dll.Set_ADC_Configuration(h, 15, 0), type);
    whole_byte += served(dll.Set_ADC_Configuration2(h, 0x1F, 0), type);
    unit_code += dll.Get_Unit_Code(h, 0) == "Error" ? '-' : '+';
    if (dll.Normal_Data_Request(h, 0) == "Error") measurement_errors += dll.ErrorText;
  }
  EXPECT_EQ(rate, "+++++-++++-++++-+--");
  EXPECT_EQ(unit_code, "+++++-++++-++++-+--");
  EXPECT_EQ(whole_byte, "+++++++++++++++-+--");
  EXPECT_EQ(measurement_errors, "");
}

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
      {0, 8, "09 08 77 d0 d1 d2 d3 aa"},
      {0, 9, "09 09 77 ee ee ee ee ee aa"},
      {1, 5, "09 05 77 c5 aa"},
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
  EXPECT_EQ(Wire().size(), 8u);
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
  EXPECT_EQ(Status(dll), "10 Failed to Write Device");
  dll.WritePacket(0);
  EXPECT_EQ(dll.WriteStatus, "Finished");
  EXPECT_EQ(dll.ErrorStatus, 0u);
  // A command's request the same: its data byte stays, and the last reply's fields too.
  dll.ReadStatus = "kept";
  bus.FailCall(Call::kWrite, 10);
  EXPECT_EQ(dll.Read_EEPROM_Register(h, 0x21), "Error");
  EXPECT_EQ(dll.PacketSent + " " + dll.WriteStatus + ToHex(dll.PacketData, 2) + dll.ReadStatus,
            "08058221aa 21 00kept");
}

// The traces rendered again from the buffers, as far as their lengths say; not in simulation.
TEST_F(Packet, TracesAreRenderedFromTheBuffersOnRequest) {
  std::memcpy(dll.TxBuffer, "\x07\x05\x82\xab\xaa", 5);
  std::memcpy(dll.RxBuffer, "\x07\x04\x01\xaa", 4);
  for (char mode : {0, 1}) {
    dll.SimulationMode = mode;
    dll.TxLength = static_cast<unsigned char>(5 - mode);
    dll.RxLength = 3;
    dll.GetPacketSent();
    dll.GetPacketReceived();
    EXPECT_EQ(dll.PacketSent + " " + dll.PacketReceived, "070582abaa 070401");
  }
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

// A provider whose reads end short, as a read that times out does: at most two bytes each.
struct ShortReads : kavro::ForwardingLink {
  using ForwardingLink::ForwardingLink;
  unsigned int Read(void* h, void* buffer, unsigned int count, unsigned int* got) override {
    return ForwardingLink::Read(h, buffer, std::min(count, 2u), got);
  }
};

// RxBuffer still holds an earlier reply that would pass; only the bytes that came are judged,
// the whole of the reply is taken, and its data (none from an error reply) is what it carries.
TEST_F(Packet, AShortReadIsJudgedByTheBytesItGot) {
  ShortReads link(bus);
  dll.UseLink(&link);
  dll.EndOfPacket = 0xAA;
  std::string got;
  for (const char* reply : {"07 08 42 05 06 07 08 aa", "07 05 4c 00 aa"}) {
    const Bytes stale = FromHex("07 08 42 01 02 03 04 aa");
    std::copy(stale.begin(), stale.end(), dll.RxBuffer);
    dll.RxPacketNumber = 7;
    dll.RxLength = 8;
    dll.RxCommand = 0x42;
    dev.pending.push_back({bus.now_us(), FromHex(reply)});
    dll.ReadPacket(10);
    got += dll.PacketReceived + " " + ToHex(dll.PacketData, 4) + " " + dll.ErrorText + " " +
           std::to_string(dev.rx.size()) + "; ";
  }
  EXPECT_EQ(got, "07084205060708aa 05 06 07 08  0;  00 00 00 00 TEDS Error 0; ");
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

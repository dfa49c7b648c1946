// Converter configuration: reading, setting the rate, writing a whole byte.
#include "fixture.h"

namespace {

class AdcConfig : public BoardTest {};

TEST_F(AdcConfig, SetRateReadsModifiesAndWritesOnACommonBoard) {
  Open();
  dev->board.SetConfigByte(0, 0x5C);  // upper field 5, rate 12
  dll.PacketNumber = 0x0F;
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 7, 3), "0") << Err();
  EXPECT_STREQ(dll.ErrorText, "");
  EXPECT_EQ(Sent(), (std::vector<Bytes>{B({0x10, 4, 0x44, 0xAA}), B({0x11, 5, 0x82, 0x64, 0xAA}),
                                        B({0x12, 5, 0x29, 0x57, 0xAA})}));
  EXPECT_EQ(dev->board.ConfigByte(0), 0x57);
  EXPECT_EQ(dll.RegisterAddress, 0x64);
  // The fields still hold what was read before the write.
  EXPECT_EQ(dll.AdcConfigUpper, 5);
  EXPECT_EQ(dll.AdcSamplingRate, 12);
}

TEST_F(AdcConfig, Type0ReadsItsOwnRegister) {
  Open(Board::Type0());
  dev->board.SetConfigByte(0, 0xC3);  // bit 7 is ignored
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 1, 0), "0") << Err();
  EXPECT_EQ(Sent()[1], B({2, 5, 0x82, 0x7A, 0xAA}));
  EXPECT_EQ(Sent()[2], B({3, 5, 0x29, 0x41, 0xAA}));
}

TEST_F(AdcConfig, Type9WorksOnTheNamedChannel) {
  Open(Board::Type9());
  dev->board.SetConfigByte(2, 0x35);
  dev->board.SetConfigByte(1, 0x70);
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 9, 2), "0") << Err();
  EXPECT_EQ(Codes(), (std::vector<std::uint8_t>{0x44, 0x86, 0x39}));
  EXPECT_EQ(Sent()[1], B({2, 6, 0x86, 2, 0x64, 0xAA}));
  EXPECT_EQ(Sent()[2], B({3, 6, 0x39, 2, 0x39, 0xAA}));
  EXPECT_EQ(dev->board.ConfigByte(2), 0x39);
  EXPECT_EQ(dev->board.ConfigByte(1), 0x70);  // other channels untouched

  // Reading back through the open handle: the channel register alone.
  bus.ClearLog();
  EXPECT_EQ(dll.Get_ADC_Configuration(0x64, 2), "Finished");
  EXPECT_EQ(dll.AdcConfigUpper, 3);
  EXPECT_EQ(dll.AdcSamplingRate, 9);
  EXPECT_EQ(Sent().size(), 4u);
  EXPECT_EQ(Sent().back(), B({4, 6, 0x86, 2, 0x64, 0xAA}));
}

TEST_F(AdcConfig, GetConfigurationSplitsTheByte) {
  Open();
  dll.BoardType = 3;
  dev->board.SetConfigByte(0, 0xC3);
  EXPECT_EQ(dll.Get_ADC_Configuration(0x64, 0), "Finished");
  EXPECT_EQ(dll.AdcConfigUpper, 4);
  EXPECT_EQ(dll.AdcSamplingRate, 3);
  Queue(Fault(ReplyFault::kDrop));
  EXPECT_EQ(dll.Get_ADC_Configuration(0x64, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(dll.AdcConfigUpper, 4);
}

TEST_F(AdcConfig, RateLimits) {
  Open(Board::Type12());
  dll.PacketNumber = 0;
  for (int rate = 16; rate <= 255; rate += 239) {
    EXPECT_EQ(dll.Set_ADC_Configuration(handle, static_cast<unsigned char>(rate), 0), "Error");
    EXPECT_STREQ(dll.ErrorText, "Invalid Sampling Rate");
  }
  EXPECT_TRUE(Sent().empty());

  // Type 12 has no rate above 11.
  dev->board.SetConfigByte(0, 0x20);
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 15, 0), "0");
  EXPECT_EQ(Sent().back()[3], 0x2B);
  EXPECT_EQ(dll.Set_ADC_Configuration2(handle, 0xFF, 0), "0");
  EXPECT_EQ(Sent().back()[3], 0x7B);
  EXPECT_EQ(dll.AdcConfigUpper, 7);
  EXPECT_EQ(dll.AdcSamplingRate, 11);
}

TEST_F(AdcConfig, WholeByteIsSentUnchangedElsewhere) {
  Open();
  EXPECT_EQ(dll.Set_ADC_Configuration2(handle, 0xFF, 0), "0");
  EXPECT_EQ(Sent().back(), B({2, 5, 0x29, 0xFF, 0xAA}));
  EXPECT_EQ(dev->board.ConfigByte(0), 0xFF);
}

TEST_F(AdcConfig, BoardTypesTheSettersServe) {
  struct Case {
    unsigned int type;
    bool first, second;
  };
  const Case cases[] = {{5, false, true},   {10, false, true}, {15, false, false},
                        {17, false, false}, {16, true, true},  {11, true, true}};
  for (const Case& c : cases) {
    bus.AddDevice("T" + std::to_string(c.type), Board(c.type, 1));
    dll.UseLink(&bus);
    char serial[16];
    std::snprintf(serial, sizeof(serial), "T%u", c.type);
    dll.Open_Device_Connection(serial);
    ASSERT_NE(dll.DeviceHandle, nullptr);
    void* h = dll.DeviceHandle;
    EXPECT_EQ(dll.Set_ADC_Configuration(h, 1, 0), c.first ? "0" : "Error") << c.type;
    if (!c.first) {
      EXPECT_STREQ(dll.ErrorText, "Invalid Type of Board");
    }
    EXPECT_EQ(dll.Set_ADC_Configuration2(h, 0x12, 0), c.second ? "0" : "Error") << c.type;
    if (!c.second) {
      EXPECT_STREQ(dll.ErrorText, "Invalid Type of Board");
    }
  }
}

TEST_F(AdcConfig, EachExchangeFailingEndsTheCall) {
  Open();
  Queue(Fault(ReplyFault::kDrop));
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 3, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_EQ(Sent().size(), 1u);

  Queue(Fault(ReplyFault::kNone));
  Queue(ErrorReply('N'));
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 3, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Packet Frame Error");
  EXPECT_EQ(Sent().size(), 3u);

  // The acknowledgement of the write never comes within its 2000 ms.
  Queue(Fault(ReplyFault::kNone));
  Queue(Fault(ReplyFault::kNone));
  Queue(Hold(2'100'000));
  const std::uint64_t start = bus.now_us();
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 3, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Timeout Error");
  EXPECT_GT(bus.now_us() - start, 2'000'000u);
  EXPECT_EQ(Sent().size(), 6u);

  bus.FailCall(Call::kWrite, 1, 2);
  EXPECT_EQ(dll.Set_ADC_Configuration2(handle, 3, 0), "Error");
  EXPECT_STREQ(dll.ErrorText, "Invalid Handle");
  EXPECT_EQ(dll.ErrorStatus, 1u);
}

TEST_F(AdcConfig, SetterAddressesTheBoardItIsGiven) {
  Open(Board::Common(), "FIRST");
  void* first = handle;
  VirtualBus::Device* first_dev = dev;
  Open(Board::Common(), "SECOND");  // DeviceHandle now names the second board
  first_dev->board.SetConfigByte(0, 0x30);
  dev->board.SetConfigByte(0, 0x60);
  EXPECT_EQ(dll.Set_ADC_Configuration(first, 2, 0), "0") << Err();
  EXPECT_EQ(first_dev->board.ConfigByte(0), 0x32);
  EXPECT_EQ(dev->board.ConfigByte(0), 0x60);
  EXPECT_EQ(first_dev->board.transcript.size(), 3u);
  EXPECT_TRUE(dev->board.transcript.empty());
}

TEST_F(AdcConfig, Simulation) {
  Open();
  dll.SimulationMode = 1;
  dll.SimAdcSamplingRate = 9;
  dll.SimAdcConfigUpper = 0x105;
  EXPECT_EQ(dll.Get_ADC_Configuration(0x64, 0), "Finished");
  EXPECT_EQ(dll.AdcConfigUpper, 5);
  EXPECT_EQ(dll.AdcSamplingRate, 9);
  EXPECT_EQ(dll.Set_ADC_Configuration(handle, 200, 0), "0");  // not validated here
  EXPECT_EQ(dll.SimAdcSamplingRate, 0);
  EXPECT_EQ(dll.Set_ADC_Configuration2(handle, 1, 0), "0");
  EXPECT_TRUE(Sent().empty());
}

}  // namespace

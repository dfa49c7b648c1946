// Every public method in simulation, with each of its D2XX calls failing and with bad handles;
// a long run.
#include <cstring>
#include <fstream>
#include <map>

#include "fixture.h"

namespace {

struct Method {
  const char* name;
  bool takes_handle;
  Command run;            // answers "Error" when the method failed
  const char* simulated;  // its answer in simulation mode, from the values Simulate() sets
};

void Simulate(K& d) {
  d.SimulationMode = 1;
  // clang-format off
  d.SimSerialNumber = 12345; d.SimOffsetValue = 100; d.SimFullscaleValue = 301; d.SimOffsetLoad = -5;
  d.SimFullscaleLoad = 70000; d.SimAdcConfigUpper = 0x105; d.SimAdcSamplingRate = 9; d.SimUnitCode = 3;
  d.SimDecimalPoint = 2; d.SimVersionField1 = 0x10C; d.SimVersionField2 = 0x41; d.SimVersionField3 = 0x142;
  d.SimVersionField4 = 0x43; d.SimVersionField5 = 0x244;
  // clang-format on
}

// clang-format off
const Method kMethods[] = {
    {"Open_Device_Connection", false, [](K& d, void*) {
       char serial[] = "KV0003";
       d.Open_Device_Connection(serial);
       return std::string(d.DeviceHandle ? "0" : "Error");
     }, "0"},
    {"Close_Device_Connection", true, [](K& d, void* h) {
       d.Close_Device_Connection(h);
       return std::string(d.ErrorStatus ? "Error" : "0");
     }, "0"},
    {"Get_Device_Count", false, [](K& d, void*) { return d.Get_Device_Count(); }, "1"},
    {"Get_Device_Serial_Number", false, [](K& d, void*) { return d.Get_Device_Serial_Number(nullptr); }, "12345"},
    {"Slave_Activity_Inquiry", true, Bind(&K::Slave_Activity_Inquiry), "0"},
    {"Version_of_Board", true, Bind(&K::Version_of_Board), "0"},
    {"Get_Version_of_Board", true, [](K& d, void* h) {
       d.Get_Version_of_Board(h);
       return d.BoardType == 255 ? "Error" : std::to_string(d.BoardType) + " " + VersionFields(d);
     },
     "268 0c 41 42 43 44"},
    {"Reset_Board", true, Bind(&K::Reset_Board), "0"},
    {"Set_ADC_Configuration", true, Bind(&K::Set_ADC_Configuration, 5, 1), "0"},
    {"Set_ADC_Configuration2", true, Bind(&K::Set_ADC_Configuration2, 0x25, 1), "0"},
    {"Get_ADC_Configuration", false, [](K& d, void*) {
       const std::string r = d.Get_ADC_Configuration(0x64, 1);
       return r != "Finished" ? r : r + " " + std::to_string(d.AdcConfigUpper) + "/" + std::to_string(d.AdcSamplingRate);
     }, "Finished 5/9"},
    {"Calculate_ADC_Value", false, [](K& d, void*) { return d.Calculate_ADC_Value(2, 0, 1, 0); }, "0"},
    {"Normal_Data_Request", true, Bind(&K::Normal_Data_Request, 1), "200"},
    {"Get_Offset_Value", true, Bind(&K::Get_Offset_Value, 1), "100"},
    {"Get_Fullscale_Value", true, Bind(&K::Get_Fullscale_Value, 1), "301"},
    {"Read_EEPROM_Register", true, Bind(&K::Read_EEPROM_Register, 0x40), "0"},
    {"Read_Channel_Register", true, Bind(&K::Read_Channel_Register, 1, 0x40), "0"},
    {"Get_Offset_Load", true, Bind(&K::Get_Offset_Load, 1), "-5"},
    {"Get_Fullscale_Load", true, Bind(&K::Get_Fullscale_Load, 1), "70000"},
    {"Get_Unit_Code", true, Bind(&K::Get_Unit_Code, 1), "3"},
    {"Get_Decimal_Point", true, Bind(&K::Get_Decimal_Point, 1), "2"},
};
// clang-format on

TEST(Simulation, EveryMethodAnswersFromTheSimulatedValuesWithoutTheLink) {
  for (const Method& m : kMethods) {
    OneBoard one;  // open, but simulation makes no D2XX call even so
    K& d = one.dll;
    Simulate(d);
    std::strcpy(d.ErrorText, "stale");
    d.ErrorStatus = 4;
    d.PacketSent = d.PacketReceived = "stale";
    EXPECT_EQ(m.run(d, one.h), m.simulated) << m.name;
    d.GetPacketSent();
    d.GetPacketReceived();
    EXPECT_EQ(d.PacketSent + d.PacketReceived, "stalestale") << m.name;  // no frame went by
    // Open, close and the converter arithmetic leave ErrorText alone; every other method clears it.
    const std::string name = m.name;
    const bool keeps = name == "Open_Device_Connection" || name == "Close_Device_Connection" ||
                       name == "Calculate_ADC_Value";
    EXPECT_STREQ(d.ErrorText, keeps ? "stale" : "") << m.name;
    EXPECT_TRUE(one.bus.log().empty()) << m.name;
    if (name == "Open_Device_Connection") {
      EXPECT_EQ(*static_cast<int*>(d.DeviceHandle), 123456);
    }
    if (name == "Set_ADC_Configuration") {
      EXPECT_EQ(d.SimAdcSamplingRate, 0);
    }
  }
  // The simulated reading is the midpoint, truncated toward zero; the difference wraps like the
  // board's 32-bit arithmetic and the result is held to the 32-bit range.
  const struct {
    int offset, fullscale;
    const char* reading;
  } midpoints[] = {{100, 205, "152"},
                   {-7, 0, "-3"},
                   {0, INT32_MIN, "-1073741824"},
                   {INT32_MIN, 0, "-2147483648"},
                   {INT32_MAX, -2, "2147483647"},
                   {INT32_MIN, INT32_MAX, "-2147483648"}};
  K d;
  Simulate(d);
  for (const auto& c : midpoints) {
    d.SimOffsetValue = c.offset;
    d.SimFullscaleValue = c.fullscale;
    EXPECT_EQ(d.Normal_Data_Request(nullptr, 0), c.reading) << c.offset << " " << c.fullscale;
  }
}

// Three boards of a type: KV0001 open on the instance under test, KV0002 open on another
// instance (a spare handle with nothing stale queued) and KV0003 closed, for opening.
struct Rig {
  explicit Rig(unsigned int type) {
    for (const char* serial : {"KV0001", "KV0002", "KV0003"}) {
      VirtualBoard board(type, 4);
      board.restart_time_us = 2000;
      bus.AddDevice(serial, std::move(board));
    }
    dll.UseLink(&bus);
    other.UseLink(&bus);
    char first[] = "KV0001", second[] = "KV0002";
    dll.Open_Device_Connection(first);
    other.Open_Device_Connection(second);
    dll.BoardType = type;  // as a version request would have left it
    bus.ClearLog();
  }
  std::size_t Frames() const {
    return bus.device(0).board.transcript.size() + bus.device(2).board.transcript.size();
  }
  VirtualBus bus;
  K dll, other;  // boards KV0001 and KV0002
};

TEST(LinkFailure, EveryD2xxCallOfEveryMethodFailingIsReportedThenForgotten) {
  const std::pair<unsigned int, const char*> statuses[] = {
      {1, "Invalid Handle"}, {4, "IO Error"}, {18, "Other Errors"}};
  for (unsigned int type : {3u, 9u}) {
    for (const Method& m : kMethods) {
      SCOPED_TRACE(std::string(m.name) + ", type " + std::to_string(type));
      std::vector<kavro::emu::CallRecord> calls;
      {
        Rig rig(type);
        rig.dll.SimulationMode = 2;  // anything but 1 works on the device
        ASSERT_NE(m.run(rig.dll, rig.dll.DeviceHandle), "Error") << rig.dll.ErrorText;
        calls = rig.bus.log();
        EXPECT_EQ(calls.empty(), std::string(m.name) == "Calculate_ADC_Value");
      }
      std::map<Call, unsigned int> seen;
      std::size_t frames_before = 0;
      for (std::size_t i = 0; i < calls.size(); ++i) {
        const auto [status, text] = statuses[i % 3];
        const unsigned int nth = ++seen[calls[i].call];
        SCOPED_TRACE(std::string(kavro::emu::CallName(calls[i].call)) + " #" + std::to_string(nth));
        Rig rig(type);
        rig.bus.FailCall(calls[i].call, status, nth);
        EXPECT_EQ(m.run(rig.dll, rig.dll.DeviceHandle), "Error");
        EXPECT_EQ(Status(rig.dll), std::to_string(status) + " " + text);
        EXPECT_EQ(rig.Frames(), frames_before) << "sent more after the failure";
        // The next call that succeeds leaves no error text behind.
        rig.dll.DeviceHandle = rig.other.DeviceHandle;
        EXPECT_NE(m.run(rig.dll, rig.other.DeviceHandle), "Error") << rig.dll.ErrorText;
        EXPECT_STREQ(rig.dll.ErrorText, "");
        if (calls[i].call == Call::kWrite) ++frames_before;
      }
    }
  }
}

TEST(BadHandle, EveryCommandRefusesNullClosedAndUnknownHandles) {
  Rig rig(3);
  void* closed = rig.other.DeviceHandle;
  rig.other.Close_Device_Connection(closed);
  for (const Method& m : kMethods) {
    if (!m.takes_handle) continue;
    for (void* bad : {static_cast<void*>(nullptr), closed, reinterpret_cast<void*>(0xDEAD)}) {
      rig.dll.ErrorStatus = 0;
      EXPECT_EQ(m.run(rig.dll, bad), "Error") << m.name;
      EXPECT_EQ(Status(rig.dll), "1 Invalid Handle") << m.name;
    }
  }
}

long ResidentKilobytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4;
}

TEST(Endurance, HundredThousandOpenCommandCloseCycles) {
  VirtualBus bus;
  bus.logging = false;
  bus.AddDevice("KV0001").board.keep_transcript = false;
  K dll;
  dll.UseLink(&bus);
  char serial[] = "KV0001";
  long after_warmup = 0;
  int failures = 0;
  for (int cycle = 1; cycle <= 100000; ++cycle) {
    dll.Open_Device_Connection(serial);
    failures += dll.Normal_Data_Request(dll.DeviceHandle, 0) == "Error";
    dll.Close_Device_Connection(dll.DeviceHandle);
    failures += dll.ErrorStatus != 0;
    if (cycle == 10000) after_warmup = ResidentKilobytes();
  }
  EXPECT_EQ(failures, 0);
#if defined(__SANITIZE_ADDRESS__)
  const long allowed_kb = 1L << 30;  // AddressSanitizer's quarantine grows by design
#else
  const long allowed_kb = 1024;
#endif
  EXPECT_LT(ResidentKilobytes() - after_warmup, allowed_kb) << "memory grew";
}

}  // namespace

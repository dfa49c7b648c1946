// Fuzz target: arbitrary sequences of public calls with arbitrary arguments against emulated
// boards of arbitrary types, with link failures and reply faults injected. Every text result
// must be one of the forms the method can answer, and ErrorText must stay a terminated text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

namespace {

using kavro::emu::VirtualBoard;
using kavro::emu::Call;
using kavro::emu::ReplyFault;
using kavro::emu::VirtualBus;

struct Input {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
};

[[noreturn]] void Fail(const char* method, const std::string& result) {
  std::fprintf(stderr, "%s answered an impossible text (%zu bytes): ", method, result.size());
  for (unsigned char c : result) std::fprintf(stderr, "%02x ", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool IsNumber(const std::string& t) {
  std::size_t i = t.size() > 1 && t[0] == '-' ? 1 : 0;
  if (i == t.size() || (t[i] == '0' && t.size() > i + 1)) return false;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
  }
  return t.size() <= 11;
}
bool IsNumberOrError(const std::string& t) {
  return IsNumber(t) || t == "Error";
}
bool IsDone(const std::string& t) {
  return t == "0" || t == "Error";
}
bool IsReading(const std::string& t) {
  return IsNumberOrError(t) || t == "Negative Overflow" || t == "Positive Overflow" ||
         t == "Unassigned" || t.empty() || (t.size() == 15 && t.compare(0, 5, "Data ") == 0);
}

using K = KAVRO_USB_DLL;
using U8 = std::uint8_t;

// Operations 9 to 27: one public method each, with what it can answer.
struct Method {
  const char* name;
  std::string (*call)(K& d, void* h, U8 x, U8 y, Input& in);
  bool (*possible)(const std::string&);
};
// clang-format off
const Method kMethods[] = {
    {"Get_Device_Count", [](K& d, void*, U8, U8, Input&) { return d.Get_Device_Count(); }, IsNumberOrError},
    {"Get_Device_Serial_Number", [](K& d, void*, U8 x, U8, Input&) {
       return d.Get_Device_Serial_Number(reinterpret_cast<void*>(std::uintptr_t{x})); },
     [](const std::string& t) { return t.size() <= 15 || IsNumber(t); }},
    {"Slave_Activity_Inquiry", [](K& d, void* h, U8, U8, Input&) { return d.Slave_Activity_Inquiry(h); }, IsDone},
    {"Version_of_Board", [](K& d, void* h, U8, U8, Input&) { return d.Version_of_Board(h); }, IsDone},
    {"Get_Version_of_Board", [](K& d, void* h, U8, U8, Input&) { d.Get_Version_of_Board(h); return std::string("0"); }, IsDone},
    {"Reset_Board", [](K& d, void* h, U8, U8, Input&) { return d.Reset_Board(h); }, IsDone},
    {"Set_ADC_Configuration", [](K& d, void* h, U8 x, U8 y, Input&) { return d.Set_ADC_Configuration(h, x, y); }, IsDone},
    {"Set_ADC_Configuration2", [](K& d, void* h, U8 x, U8 y, Input&) { return d.Set_ADC_Configuration2(h, x, y); }, IsDone},
    {"Get_ADC_Configuration", [](K& d, void*, U8 x, U8 y, Input&) { return d.Get_ADC_Configuration(x, y); },
     [](const std::string& t) { return t == "Finished" || t == "Error"; }},
    {"Calculate_ADC_Value", [](K& d, void*, U8 x, U8 y, Input& in) {
       const U8 m = in.Byte();
       return d.Calculate_ADC_Value(x, y, m, in.Byte()); }, IsReading},
    {"Normal_Data_Request", [](K& d, void* h, U8 x, U8, Input&) { return d.Normal_Data_Request(h, x); }, IsReading},
    {"Get_Offset_Value", [](K& d, void* h, U8 x, U8, Input&) { return d.Get_Offset_Value(h, x); }, IsReading},
    {"Get_Fullscale_Value", [](K& d, void* h, U8 x, U8, Input&) { return d.Get_Fullscale_Value(h, x); }, IsReading},
    {"Read_EEPROM_Register", [](K& d, void* h, U8 x, U8, Input&) { return d.Read_EEPROM_Register(h, x); },
     [](const std::string& t) { return IsDone(t) || t.size() == 2; }},
    {"Read_Channel_Register", [](K& d, void* h, U8 x, U8 y, Input&) { return d.Read_Channel_Register(h, x, y); },
     [](const std::string& t) { return IsDone(t) || t.size() == 1; }},
    {"Get_Offset_Load", [](K& d, void* h, U8 x, U8, Input&) { return d.Get_Offset_Load(h, x); }, IsNumberOrError},
    {"Get_Fullscale_Load", [](K& d, void* h, U8 x, U8, Input&) { return d.Get_Fullscale_Load(h, x); }, IsNumberOrError},
    {"Get_Unit_Code", [](K& d, void* h, U8 x, U8, Input&) { return d.Get_Unit_Code(h, x); }, IsNumberOrError},
    {"Get_Decimal_Point", [](K& d, void* h, U8 x, U8, Input&) { return d.Get_Decimal_Point(h, x); }, IsNumberOrError},
};
// clang-format on

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  VirtualBus bus;
  bus.logging = false;
  bus.poll_step_us = 500;  // keeps the 10 s reset budget cheap
  VirtualBoard a(in.Byte(), 1 + in.Byte() % 4);
  VirtualBoard b(in.Byte(), 1 + in.Byte() % 4);
  a.keep_transcript = b.keep_transcript = false;
  bus.AddDevice("FUZZA", std::move(a));
  bus.AddDevice("FUZZB", std::move(b));
  KAVRO_USB_DLL dll;
  dll.UseLink(&bus);
  void* handles[4] = {nullptr, nullptr, nullptr, reinterpret_cast<void*>(0x1234)};

  for (int step = 0; step < 64 && in.n > 0; ++step) {
    const std::uint8_t op = in.Byte();
    const std::uint8_t x = in.Byte(), y = in.Byte();
    void* h = handles[x % 4];
    if (op % 32 >= 9 && op % 32 <= 27) {
      const Method& m = kMethods[op % 32 - 9];
      const std::string r = m.call(dll, h, x, y, in);
      if (!m.possible(r)) Fail(m.name, r);
    }
    switch (op % 32) {
      case 0: {
        char serial[16];
        std::snprintf(serial, sizeof(serial), x & 1 ? "FUZZB" : (x & 2 ? "FUZZA" : "NOPE"));
        dll.Open_Device_Connection(x == 255 ? nullptr : serial);
        handles[(x & 1) ? 1 : 0] = dll.DeviceHandle;
        break;
      }
      case 1: dll.Close_Device_Connection(h); break;
      case 2: dll.SimulationMode = static_cast<char>(x % 3); break;
      case 3:
        bus.FailCall(static_cast<Call>(x % static_cast<int>(Call::kCount)), y % 21, 1 + y % 3);
        break;
      case 4: {
        ReplyFault f;
        f.kind = static_cast<ReplyFault::Kind>(x % 13);
        f.delay_us = y * 1000u;
        f.error_code = static_cast<std::uint8_t>('L' + y % 4);
        f.count = y % 9;
        f.bytes.assign(y % 12, x);
        bus.device(y % 2).board.faults.push_back(f);
        break;
      }
      case 5: bus.device(x % 2).board.version[0] = y; break;
      case 6: bus.device(x % 2).board.teds_fault = y & 1; break;
      case 7:
        bus.device(x % 2).board.forced_readings.push_back({x, y, in.Byte(), in.Byte()});
        break;
      case 8: dll.GetErrorDescription(x * 0x01010101u); break;
      case 28:
        // The packet layer directly, with arbitrary lengths and modes.
        dll.ftHandle = h;
        dll.TxLength = x;
        dll.TxCommand = y;
        dll.WritePacket(static_cast<signed char>(in.Byte() % 4));
        break;
      case 29:
        dll.ftHandle = h;
        dll.RxLength = x;
        dll.RxPacketNumber = y;
        dll.RxCommand = in.Byte();
        dll.ReadPacket(in.Byte() % 30);
        break;
      case 30: {
        int* sims[] = {&dll.SimOffsetValue, &dll.SimFullscaleValue, &dll.SimOffsetLoad,
                       &dll.SimVersionField1};
        const std::uint8_t bytes[4] = {x, y, in.Byte(), in.Byte()};
        std::memcpy(sims[x % 4], bytes, 4);
        break;
      }
      case 31:
        dll.PacketNumber = x;
        dll.NextPacketNumber();
        dll.GetPacketSent();
        dll.GetPacketReceived();
        break;
    }
    if (std::memchr(dll.ErrorText, '\0', sizeof(dll.ErrorText)) == nullptr)
      Fail("ErrorText", "not terminated");
  }
  return 0;
}

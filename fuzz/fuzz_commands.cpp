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

using kavro::emu::Board;
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

bool IsReading(const std::string& t) {
  return IsNumber(t) || t == "Error" || t == "Negative Overflow" || t == "Positive Overflow" ||
         t == "Unassigned" || t.empty() || (t.size() == 15 && t.compare(0, 5, "Data ") == 0);
}

void Check(bool ok, const char* method, const std::string& result) {
  if (!ok) Fail(method, result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  VirtualBus bus;
  bus.logging = false;
  bus.poll_step_us = 500;  // keeps the 10 s reset budget cheap
  Board a(in.Byte(), 1 + in.Byte() % 4);
  Board b(in.Byte(), 1 + in.Byte() % 4);
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
    std::string r;
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
      case 9:
        r = dll.Get_Device_Count();
        Check(IsNumber(r) || r == "Error", "Get_Device_Count", r);
        break;
      case 10:
        r = dll.Get_Device_Serial_Number(reinterpret_cast<void*>(static_cast<std::uintptr_t>(x)));
        Check(r.size() <= 15 || IsNumber(r), "Get_Device_Serial_Number", r);
        break;
      case 11:
        r = dll.Slave_Activity_Inquiry(h);
        Check(r == "0" || r == "Error", "Slave_Activity_Inquiry", r);
        break;
      case 12:
        r = dll.Version_of_Board(h);
        Check(r == "0" || r == "Error", "Version_of_Board", r);
        break;
      case 13: dll.Get_Version_of_Board(h); break;
      case 14:
        r = dll.Reset_Board(h);
        Check(r == "0" || r == "Error", "Reset_Board", r);
        break;
      case 15:
        r = dll.Set_ADC_Configuration(h, x, y);
        Check(r == "0" || r == "Error", "Set_ADC_Configuration", r);
        break;
      case 16:
        r = dll.Set_ADC_Configuration2(h, x, y);
        Check(r == "0" || r == "Error", "Set_ADC_Configuration2", r);
        break;
      case 17:
        r = dll.Get_ADC_Configuration(x, y);
        Check(r == "Finished" || r == "Error", "Get_ADC_Configuration", r);
        break;
      case 18:
        r = dll.Calculate_ADC_Value(x, y, in.Byte(), in.Byte());
        Check(IsReading(r) || r == "0", "Calculate_ADC_Value", r);
        break;
      case 19:
        r = dll.Normal_Data_Request(h, x);
        Check(IsReading(r), "Normal_Data_Request", r);
        break;
      case 20:
        r = dll.Get_Offset_Value(h, x);
        Check(IsReading(r), "Get_Offset_Value", r);
        break;
      case 21:
        r = dll.Get_Fullscale_Value(h, x);
        Check(IsReading(r), "Get_Fullscale_Value", r);
        break;
      case 22:
        r = dll.Read_EEPROM_Register(h, x);
        Check(r == "0" || r == "Error" || r.size() == 2, "Read_EEPROM_Register", r);
        break;
      case 23:
        r = dll.Read_Channel_Register(h, x, y);
        Check(r == "0" || r == "Error" || r.size() == 1, "Read_Channel_Register", r);
        break;
      case 24:
        r = dll.Get_Offset_Load(h, x);
        Check(IsNumber(r) || r == "Error", "Get_Offset_Load", r);
        break;
      case 25:
        r = dll.Get_Fullscale_Load(h, x);
        Check(IsNumber(r) || r == "Error", "Get_Fullscale_Load", r);
        break;
      case 26:
        r = dll.Get_Unit_Code(h, x);
        Check(IsNumber(r) || r == "Error", "Get_Unit_Code", r);
        break;
      case 27:
        r = dll.Get_Decimal_Point(h, x);
        Check(IsNumber(r) || r == "Error", "Get_Decimal_Point", r);
        break;
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
        std::int32_t v;
        const std::uint8_t bytes[4] = {x, y, in.Byte(), in.Byte()};
        std::memcpy(&v, bytes, 4);
        *sims[x % 4] = v;
        break;
      }
      default:
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

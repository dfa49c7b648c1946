// Benchmarks of the library's commands against a zero-latency emulated board, with the heap
// allocations each call makes. The emulator's own cost for an exchange is measured alone, so
// the library's share can be told apart: library = exchange - emulator.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "KAVRO_USB_DLL.h"
#include "kavro_emulator.h"

namespace {
std::atomic<long long> g_allocations{0};
}

// Every heap allocation in the process goes through here.
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using kavro::emu::VirtualBoard;
using kavro::emu::VirtualBus;

struct Rig {
  explicit Rig(VirtualBoard board) {
    board.keep_transcript = false;
    bus.logging = false;
    bus.AddDevice("BENCH", std::move(board));
    dll.UseLink(&bus);
    char serial[] = "BENCH";
    dll.Open_Device_Connection(serial);
    handle = dll.DeviceHandle;
  }
  VirtualBus bus;
  KAVRO_USB_DLL dll;
  void* handle = nullptr;
};

// Runs body once to reach steady state, then counts allocations per iteration.
template <typename Body>
void Measure(benchmark::State& state, Body body) {
  body();
  const long long before = g_allocations.load();
  for (auto _ : state) body();
  state.counters["allocs/call"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

void BM_Calculate_ADC_Value(benchmark::State& state) {
  KAVRO_USB_DLL dll;
  unsigned char b = 0;
  Measure(state, [&] { benchmark::DoNotOptimize(dll.Calculate_ADC_Value(2, 0x12, b++, 0x56)); });
}
BENCHMARK(BM_Calculate_ADC_Value);

void BM_GetErrorDescription(benchmark::State& state) {
  KAVRO_USB_DLL dll;
  unsigned int code = 0;
  Measure(state, [&] {
    dll.GetErrorDescription(code++ % 21);
    benchmark::DoNotOptimize(dll.ErrorText);
  });
}
BENCHMARK(BM_GetErrorDescription);

// The emulator alone: the provider calls one exchange makes, in the library's order (status
// query, write, clock, clock, status query, read, clock), without the library around them.
void BM_EmulatorExchangeAlone(benchmark::State& state) {
  Rig rig(VirtualBoard::Common());
  unsigned char frame[4] = {1, 4, 0x01, 0xAA};
  unsigned char reply[16];
  unsigned int n, rx, tx, ev;
  Measure(state, [&] {
    rig.bus.GetStatus(rig.handle, &rx, &tx, &ev);
    rig.bus.Write(rig.handle, frame, 4, &n);
    rig.bus.NowMicroseconds();
    rig.bus.NowMicroseconds();
    rig.bus.GetStatus(rig.handle, &rx, &tx, &ev);
    rig.bus.Read(rig.handle, reply, rx, &n);
    rig.bus.NowMicroseconds();  // how long the reply took, for the pace of the library's wait
  });
  if (n != 4) state.SkipWithError("no reply");
}
BENCHMARK(BM_EmulatorExchangeAlone);

// One exchange through the packet layer: WritePacket then ReadPacket.
void BM_OneExchange(benchmark::State& state) {
  Rig rig(VirtualBoard::Common());
  KAVRO_USB_DLL& d = rig.dll;
  Measure(state, [&] {
    d.ftHandle = rig.handle;
    d.NextPacketNumber();
    d.TxLength = 4;
    d.TxCommand = 0x01;
    d.EndOfPacket = 0xAA;
    d.RxPacketNumber = d.PacketNumber;
    d.RxLength = 4;
    d.RxCommand = 0x01;
    d.WritePacket(0);
    d.ReadPacket(10);
  });
  if (d.ReadStatus != "Finished") state.SkipWithError("exchange failed");
}
BENCHMARK(BM_OneExchange);

void BM_Normal_Data_Request(benchmark::State& state) {
  Rig rig(VirtualBoard::Common());
  Measure(state, [&] { benchmark::DoNotOptimize(rig.dll.Normal_Data_Request(rig.handle, 0)); });
  if (rig.dll.ErrorText[0]) state.SkipWithError(rig.dll.ErrorText);
}
BENCHMARK(BM_Normal_Data_Request);

void BM_Get_Offset_Load_Type9(benchmark::State& state) {
  Rig rig(VirtualBoard::Type9());
  Measure(state, [&] { benchmark::DoNotOptimize(rig.dll.Get_Offset_Load(rig.handle, 1)); });
  if (rig.dll.ErrorText[0]) state.SkipWithError(rig.dll.ErrorText);
}
BENCHMARK(BM_Get_Offset_Load_Type9);

void BM_Set_ADC_Configuration(benchmark::State& state) {
  Rig rig(VirtualBoard::Common());
  Measure(state,
          [&] { benchmark::DoNotOptimize(rig.dll.Set_ADC_Configuration(rig.handle, 7, 0)); });
  if (rig.dll.ErrorText[0]) state.SkipWithError(rig.dll.ErrorText);
}
BENCHMARK(BM_Set_ADC_Configuration);

}  // namespace

BENCHMARK_MAIN();

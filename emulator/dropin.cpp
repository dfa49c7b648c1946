// The emulator as a drop-in D2XX library (libftd2xx.so): the D2XX C API on one process-wide
// virtual bus that starts with the ready-made boards, plus the small C control API of
// kavro_dropin.h to put more boards on it, unplug and replug them and inject faults. Lets any D2XX
// program, and the library's default vendor path, run without hardware.
#include <climits>
#include <cstring>

#include "kavro_dropin.h"
#include "kavro_emulator.h"
#include "platform/platform.h"

using kavro::emu::VirtualBoard;
using kavro::emu::VirtualBus;

namespace {

// Replies come at once unless kavroemu_set_reply_latency says otherwise, and time is real:
// programs using this library measure their own time-outs on the wall clock. No call log: a
// long-running program would grow it forever.
struct DropInBus : VirtualBus {
  DropInBus() : VirtualBus(Clock::kReal) {
    logging = false;
    kavro::emu::AddReadyMadeBoards(*this);
  }
};

// Made once and never destroyed: its notifier thread cannot be joined while the library is
// unloaded at the process's exit (Windows holds its loader lock then, which the thread needs
// to end), and a D2XX program may still call in from its own threads until then.
VirtualBus& Bus() {
  static DropInBus& bus = *new DropInBus;
  return bus;
}

}  // namespace

#if defined(_WIN32)
#define KAVRO_EXPORT extern "C" __declspec(dllexport)
#else
#define KAVRO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// What an exported call does before the bus takes it. D2XX's own FT_GetDeviceInfoList writes
// the whole snapshot, so the caller's array must hold as many nodes as FT_CreateDeviceInfoList
// counted; the bus's is bounded by *count on entry, which is therefore lifted out of the way.
void AsD2xx(kavro::FT_DEVICE_LIST_INFO_NODE*, unsigned int* count) {
  if (count != nullptr) *count = UINT_MAX;
}
template <typename... Args>
void AsD2xx(Args...) {}

}  // namespace

// Every D2XX call of the list as an exported FT_ function on the bus.
#define KAVRO_DROPIN_EXPORT(name, params, args, need) \
  KAVRO_EXPORT unsigned int FT_##name params {        \
    AsD2xx args;                                      \
    return Bus().name args;                           \
  }
KAVRO_D2XX_CALLS(KAVRO_DROPIN_EXPORT)
#undef KAVRO_DROPIN_EXPORT

#if !defined(KAVRO_DROPIN_WITHOUT_EVENTS)  // a build standing for an older library without it
// The event (the EVENT_HANDLE's condition variable; on Windows the event HANDLE) is signalled
// whenever bytes reach the receive queue, when they are due, whether or not the program is
// asking for them.
KAVRO_EXPORT unsigned int FT_SetEventNotification(void* h, unsigned int mask, void* param) {
  if ((mask & kavro::kFtEventRxChar) != 0 && param == nullptr) return kavro::kFtInvalidParameter;
  std::function<void()> signal;
  if (param != nullptr) signal = [param] { kavro::platform::SignalEvent(param); };
  return Bus().SetEventNotification(h, mask, std::move(signal));
}
#endif

// The control API, as kavro_dropin.h describes it.

KAVRO_EXPORT int kavroemu_add_board(const char* serial, unsigned int board_type,
                                    unsigned int channels) {
  if (serial == nullptr || std::strlen(serial) >= kavro::kSerialNumberSize) return -1;
  VirtualBoard board(board_type, channels);
  board.keep_transcript = false;
  return Bus().ListIndex(Bus().AddDevice(serial, std::move(board)));
}

KAVRO_EXPORT void kavroemu_unplug(const char* serial) {
  if (serial != nullptr) Bus().Unplug(serial);
}

KAVRO_EXPORT int kavroemu_replug(const char* serial) {
  return serial != nullptr && Bus().Replug(serial) ? 0 : -1;
}

KAVRO_EXPORT int kavroemu_schedule_unplug(const char* serial, unsigned long long after_us,
                                          unsigned long long for_us) {
  if (serial == nullptr || !Bus().WithDevice(serial, [](VirtualBus::Device&) {})) return -1;
  Bus().ScheduleUnplug(serial, after_us, for_us);
  return 0;
}

KAVRO_EXPORT int kavroemu_fail_call(const char* function, unsigned int status, unsigned int nth) {
  kavro::emu::Call call;
  if (function == nullptr || !kavro::emu::CallFromName(function, &call)) return -1;
  if (nth == 0) {
    Bus().FailEveryCall(call, status);
  } else {
    Bus().FailCall(call, status, nth);
  }
  return 0;
}

KAVRO_EXPORT void kavroemu_clear_faults(void) {
  Bus().ClearFaults();
}

KAVRO_EXPORT int kavroemu_set_reply_latency(const char* serial, unsigned int latency_us) {
  if (serial == nullptr) return -1;
  return Bus().WithDevice(serial,
                          [&](VirtualBus::Device& d) { d.board.reply_latency_us = latency_us; })
             ? 0
             : -1;
}

KAVRO_EXPORT long long kavroemu_count_calls(const char* function) {
  kavro::emu::Call call;
  if (function == nullptr || !kavro::emu::CallFromName(function, &call)) return -1;
  return static_cast<long long>(Bus().CountCalls(call));
}

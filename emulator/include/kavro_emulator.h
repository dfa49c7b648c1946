// The board emulator: a virtual USB bus of FTDI bridges with boards behind them that speak
// the board's packet protocol. It implements the D2XX calls with D2XX's own semantics, so the
// library's real protocol code runs unchanged on top of it. Time is virtual by default: every
// status poll advances the clock by a small step and a wait for bytes jumps it to the next
// event, so long reply budgets run out at once in real time and exactly where the budget says
// in virtual time.
#ifndef KAVRO_EMULATOR_H
#define KAVRO_EMULATOR_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kavro/link.h"
#include "kavro_emulator_protocol.h"

namespace kavro::emu {

using Bytes = std::vector<std::uint8_t>;

// The D2XX functions, for fault injection and the call log: the provider's calls, and the
// event notification the drop-in library takes besides them.
enum class Call : unsigned char {
  KAVRO_D2XX_CALLS(KAVRO_D2XX_ENUMERATOR)  // then
  kSetEventNotification,
  kCount
};
const char* CallName(Call call);
// The Call named by its D2XX function name ("FT_GetStatus") or short name ("GetStatus").
bool CallFromName(const std::string& name, Call* call);

struct CallRecord {
  Call call;
  unsigned int status;  // the injected status, kFtOk when the call ran normally
  int device;           // index of the device the call addressed, -1 when none
  unsigned int arg1;
  unsigned int arg2;
};

// A scripted change to one reply of a board. Each reply the board produces takes the next
// fault from its queue; kNone passes a reply through untouched (to reach a later reply).
struct ReplyFault {
  enum Kind {
    kNone,
    kDrop,            // the reply never comes
    kHold,            // the reply comes delay_us later than usual
    kCorruptNumber,   // packet number + 1
    kCorruptLength,   // length byte + 1
    kCorruptCode,     // reply code XOR 0x20
    kCorruptTrailer,  // trailer 0x55
    kPrefixFF,        // a 0xFF byte before the reply
    kErrorReply,      // a 5-byte error reply with code error_code instead
    kAppend,          // bytes appended after the reply
    kReplace,         // bytes sent instead of the reply
    kTruncate,        // only the first count bytes are sent
    kFlood,           // count junk bytes (0x55) appended after the reply
  };
  Kind kind = kNone;
  std::uint64_t delay_us = 0;
  std::uint8_t error_code = kCommandError;
  Bytes bytes;
  unsigned int count = 0;
};

// The shape of a channel's current reading over time, in converter counts.
struct Signal {
  enum Shape { kConstant, kRamp, kSine, kNoise };
  Shape shape = kConstant;
  double level = 0;      // the constant part
  double amplitude = 0;  // ramp height, sine amplitude or noise half-width
  double period_s = 1;   // ramp or sine period
};

struct Channel {
  std::array<std::array<std::uint8_t, 3>, 256> registers{};  // b0, b1, b2 of each register
  std::int32_t offset_reading = 0;
  std::int32_t fullscale_reading = 0;
  Signal signal;
  std::uint8_t power_on_config = 0;  // type 9: the channel's configuration byte after power-on
};

// One emulated board behind a bridge on the VirtualBus: its version, EEPROM, channels and how
// it answers.
class VirtualBoard {
 public:
  // A board of the given type with the given number of channels and default calibration.
  explicit VirtualBoard(unsigned int board_type = kTypeCommon, unsigned int channel_count = 1);

  // Ready-made boards.
  static VirtualBoard Common();  // type 3, one channel
  static VirtualBoard Type0();   // type 0, one channel
  static VirtualBoard Type9();   // type 9, four channels
  static VirtualBoard Type12();  // type 12, one channel

  unsigned int type() const { return version[0]; }
  // Stores calibration data at the addresses the board's type keeps it at.
  void SetCalibration(unsigned int channel, std::uint16_t offset_load, std::uint16_t fullscale_load,
                      std::uint8_t unit_code, std::uint8_t decimal_point);
  // The converter configuration byte as the board holds it (per channel on type 9).
  std::uint8_t ConfigByte(unsigned int channel) const;
  void SetConfigByte(unsigned int channel, std::uint8_t value);
  std::uint8_t ConfigRegister() const { return ConfigRegisterOf(type()); }
  // The configuration byte the board has after power-on (per channel on type 9): the value it
  // was constructed with (0) unless set here. Setting it sets the current byte as well.
  void SetPowerOnConfigByte(unsigned int channel, std::uint8_t value);
  // Powers the board on again: the configuration bytes go back to their power-on values, so a
  // host that changed them must apply them again. The stored calibration (the EEPROM and the
  // other channel registers) is kept.
  void PowerOn();

  // The four reply bytes of a reading, in the board's form: converter code on every type but
  // 9 (status byte 2 or 1 and a 24-bit magnitude, overflow markers outside the range), a
  // plain 24-bit count on type 9.
  std::array<std::uint8_t, 4> Encode(double counts) const;
  double Reading(unsigned int channel, double t_seconds);

  // Handles one frame written by the host; appends the replies with their delays from now.
  struct Reply {
    std::uint64_t delay_us;
    Bytes bytes;
  };
  void Receive(const std::uint8_t* frame, std::size_t size, double t_seconds,
               std::vector<Reply>& replies);

  std::array<std::uint8_t, 4> version{};  // type, then the firmware version bytes
  std::array<std::array<std::uint8_t, 3>, 256> eeprom{};
  std::vector<Channel> channels;
  bool teds_fault = false;                 // every well-formed frame gets a TEDS error reply
  std::uint64_t reply_latency_us = 0;      // from the write to the first reply byte
  std::uint64_t restart_time_us = 300000;  // from the reset acknowledgement to the notice
  std::deque<ReplyFault> faults;           // applied one per reply, in order
  std::deque<std::array<std::uint8_t, 4>> forced_readings;  // next measurement replies' data
  std::vector<Bytes> transcript;                            // every frame the host wrote, in order
  bool keep_transcript = true;  // off for long runs, so memory stays flat

 private:
  void Answer(std::uint64_t delay_us, Bytes bytes, std::vector<Reply>& replies);
  std::uint32_t noise_state_ = 12345;
  std::uint8_t power_on_config_ = 0;  // the board-wide byte after power-on (types but 9)
};

// A virtual USB bus with FTDI bridges on it, usable as the library's link provider.
//
// Waiting (WaitForRx): on virtual time the clock jumps to the next thing that can happen on the
// bus (a reply falling due, a scheduled unplug or replug) or to the deadline, so a long wait
// costs a handful of calls and ends exactly where it says. On the real clock the caller sleeps
// until then, woken early by anything that changes the bus; bytes are there when they are due.
//
// Threads: every member function takes the bus's one lock, so several threads may use the bus
// at once (instances on their own threads, and a thread that plugs boards in and out and
// injects faults). A Device& from AddDevice or device() stays valid while the bus lives, but
// reading or changing a device through it is not locked: do that only while no other thread
// uses the bus (while setting up, or once the threads have joined), and use WithDevice while
// they run. logging and poll_step_us may be set from any thread at any time.
class VirtualBus : public kavro::LinkProvider {
 public:
  enum class Clock { kVirtual, kReal };
  explicit VirtualBus(Clock clock = Clock::kVirtual);
  ~VirtualBus() override;

  struct Device {
    std::string serial;
    std::string description;
    unsigned int ft_type = kavro::kFtDevice232R;
    VirtualBoard board;
    bool present = true;  // false while unplugged
    // Bridge state; a device plugged in again starts from these values.
    bool open = false;
    void* handle = nullptr;
    unsigned int read_timeout_ms = 0, write_timeout_ms = 0;
    unsigned int in_transfer_size = 4096, out_transfer_size = 4096;
    unsigned char latency_ms = 16;
    std::deque<std::uint8_t> rx;  // received bytes the host can read
    struct Pending {
      std::uint64_t due_us;
      Bytes bytes;
    };
    std::deque<Pending> pending;  // replies on their way, in the order they fall due
    std::function<void()> on_rx;  // the event notification set on the open handle, if any
    // What the tests set and count.
    unsigned int chunk_bytes = 64;  // bytes a status poll can bring in at most
    unsigned int purges = 0;
  };

  // Adds a device at the end of the device list. The device, and the reference, stay while the
  // bus lives: unplugging only marks it absent.
  Device& AddDevice(const std::string& serial, VirtualBoard board = VirtualBoard::Common(),
                    const std::string& description = "KAVRO USB Interface");
  // Devices in the order they were added, unplugged ones included.
  Device& device(std::size_t index);
  const Device& device(std::size_t index) const;
  std::size_t device_count() const;
  // Where the device stands in the device list now (list-by-index, open by index); -1 while it
  // is unplugged.
  int ListIndex(const Device& device) const;
  // Runs fn on the first device with that serial number under the bus's lock; false when there
  // is none. The way to look at or change a device while other threads use the bus.
  bool WithDevice(const std::string& serial, const std::function<void(Device&)>& fn);

  // Unplugs the device with that serial number: it leaves the device list, and calls on a
  // handle that was open on it fail with FT_IO_ERROR until the handle is closed (once, with
  // FT_OK). False when no such device is plugged in.
  bool Unplug(const std::string& serial);
  // Plugs an unplugged device in again, freshly powered: back in the device list, bridge
  // settings at their defaults, queues empty, replies on their way dropped, the board's
  // configuration at its power-on values (VirtualBoard::PowerOn). Handles from before stay dead; a
  // new open works whether or not they were closed. False when no such device is unplugged.
  bool Replug(const std::string& serial);
  // Unplugs the device at the first call the bus takes once after_us have passed on the bus
  // clock (virtual or real) from now, and plugs it in again for_us later; with every_us (more
  // than for_us, else it is taken as 0), again every_us after each unplug while the bus lives.
  // The bus checks its schedule on every call, a host polling for a reply included.
  void ScheduleUnplug(const std::string& serial, std::uint64_t after_us, std::uint64_t for_us,
                      std::uint64_t every_us = 0);

  // Makes the nth next call of a D2XX function fail with status (nth = 1: the next one).
  void FailCall(Call call, unsigned int status, unsigned int nth = 1);
  // Makes every call of a D2XX function fail with status until ClearFaults.
  void FailEveryCall(Call call, unsigned int status);
  void ClearFaults();

  // A copy of the call log.
  std::vector<CallRecord> log() const;
  // Forgets the log and the call counts.
  void ClearLog();
  // Calls of a function since the bus was made or the log cleared (counted even with
  // logging off).
  std::size_t CountCalls(Call call) const;
  std::atomic<bool> logging{true};

  // The bus clock: virtual time, or real time since the bus was made.
  std::uint64_t now_us() const;
  std::atomic<std::uint64_t> poll_step_us{20};  // virtual time one status poll takes

  // LinkProvider.
  KAVRO_D2XX_CALLS(KAVRO_D2XX_OVERRIDE)
  std::uint64_t NowMicroseconds() override;
  // On virtual time moves the clock on to the deadline, carrying out the scheduled unplugs and
  // replugs that fall due on the way, so a recording that waits for its next reading lets them
  // happen; on real time it sleeps.
  void SleepUntil(std::uint64_t deadline_us) override { AdvanceTo(deadline_us); }
  std::string Name() const override { return "board emulator"; }
  unsigned int WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) override;

  // D2XX's FT_SetEventNotification: with FT_EVENT_RXCHAR in mask, signal is called (under the
  // bus's lock, so it must not call the bus) whenever bytes reach the receive queue of the
  // device behind handle, until the handle is closed or the notification set again without
  // it. On the real clock a thread of the bus then delivers the bytes when they fall due,
  // whether or not anyone asks for them.
  unsigned int SetEventNotification(void* handle, unsigned int mask, std::function<void()> signal);

 private:
  struct CallFault {
    unsigned int countdown = 0;  // fails when it reaches 0 from 1
    unsigned int status = 0;
    bool every = false;
  };
  struct ScheduledUnplug {
    std::string serial;
    std::uint64_t unplug_at_us, replug_at_us;
    std::uint64_t every_us = 0;  // 0: once
    bool unplugged = false;
  };
  using Lock = std::unique_lock<std::mutex>;

  // Takes the lock and carries out the scheduled unplugs that are due: every call into the
  // bus starts here.
  Lock Hold();
  // Carries out the scheduled unplugs and replugs that are due. Called under the lock.
  void RunSchedule();
  // When the next thing happens on the bus: a reply on device only (or on any open device
  // when only is nullptr) falls due, or a scheduled unplug or replug; never later than limit.
  std::uint64_t NextEvent(const Device* only, std::uint64_t limit) const;
  // Sleeps (real clock) until the bus clock reaches wake_us or the bus changes; false when it
  // changed. Called under the lock, which it releases meanwhile.
  bool SleepUntil(Lock& lock, std::uint64_t wake_us);
  // Wakes the threads sleeping in WaitForRx or the notifier: something on the bus changed.
  void Changed() { changed_.notify_all(); }
  // The notifier thread: delivers due bytes to devices with an event notification.
  void Notify();
  // Records the call and decides its injected outcome; kFtOk means "run it".
  unsigned int Enter(Call call, int device, unsigned int a1 = 0, unsigned int a2 = 0);
  // The open device behind handle, or nullptr; *index is its index, also for a handle whose
  // device was unplugged while it was open (-1 for an unknown handle).
  Device* FromHandle(void* handle, int* index);
  // The index of the present device at list position, or of the first present device whose
  // serial number (or description) is key; -1 when there is none.
  int Listed(std::size_t position) const;
  int Named(const std::string& key, bool by_description, bool present) const;
  unsigned int OpenIndex(int index, void** handle);
  // Runs body on the device behind handle, under the lock, after the call is recorded and its
  // injected failure (if any) decided; unknown handles give FT_INVALID_HANDLE, handles whose
  // device was unplugged FT_IO_ERROR (a close releases them).
  template <typename Body>
  unsigned int OnDevice(Call call, void* handle, Body body, unsigned int a1 = 0,
                        unsigned int a2 = 0);
  // Unplugs (in false) or plugs in again the first device with that serial number that is
  // plugged in (or not); false when there is none. Called under the lock.
  bool Plug(const std::string& serial, bool in);
  void UnplugDevice(Device& d, int index);
  void ReplugDevice(Device& d);
  void Deliver(Device& d);
  std::uint64_t TimeNow() const;
  void AdvanceTo(std::uint64_t deadline_us);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t sleep_late_us_ = 0;  // how late timed sleeps have been ending, learnt
  std::thread notifier_;             // runs Notify once a notification is set (real clock)
  bool stopping_ = false;
  std::deque<Device> devices_;         // never erased from: references stay valid
  std::map<void*, int> dead_handles_;  // handles open when their device was unplugged
  std::vector<ScheduledUnplug> schedule_;
  std::array<CallFault, static_cast<std::size_t>(Call::kCount)> faults_{};
  std::vector<CallRecord> log_;
  std::array<std::size_t, static_cast<std::size_t>(Call::kCount)> counts_{};
  std::vector<kavro::FT_DEVICE_LIST_INFO_NODE> snapshot_;
  Clock clock_;
  std::uint64_t now_us_ = 0;
  std::uint64_t real_start_us_ = 0;
  std::uintptr_t next_handle_ = 0x1000;
  unsigned int vid_ = 0x0403, pid_ = 0x6001;
};

// Adds the ready-made boards: KAVRO-0001 (type 3, one channel, a sine load, calibrated 0 to
// 500.0 with unit code 2) and KAVRO-0009 (type 9, four channels), both answering after 1.5 ms.
void AddReadyMadeBoards(VirtualBus& bus);

}  // namespace kavro::emu

#endif  // KAVRO_EMULATOR_H

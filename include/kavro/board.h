// kavro::Board: one board opened by serial number, with typed results. Readings come with
// their calibrated load, overflow state and times; the calibration record converts counts to
// loads; a tare zeroes a channel; and a board whose link goes away (cable knocked out, brown-
// out) is reopened on later calls, with its converter configuration applied again.
//
// Built on the KAVRO_USB_DLL class: every board has an instance of its own. Calls on one board
// from several threads are serialised; two boards share nothing. Nothing here throws.
#ifndef KAVRO_BOARD_H
#define KAVRO_BOARD_H

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kavro/export.h"
#include "kavro/link.h"
#include "kavro/result.h"
#include "kavro/settings.h"

namespace kavro {

namespace detail {
struct BoardAccess;
}

enum class BoardEventKind { kDisconnected, kReconnected, kGaveUp };

// "disconnected", "reconnected", "gave up".
KAVRO_API const char* BoardEventKindName(BoardEventKind kind);

struct BoardEvent {
  BoardEventKind kind = BoardEventKind::kDisconnected;
  std::string serial;
  std::uint64_t monotonic_us = 0;  // when it happened, on the board's clock
  std::chrono::system_clock::time_point wall;
  // kReconnected, kGaveUp: from the failure that showed the link gone to the reopen that
  // succeeded (kReconnected) or to giving up.
  std::uint64_t gap_us = 0;
  unsigned int attempts = 0;  // reopen attempts since the disconnect
  // What failed (kDisconnected); the last failure before the event (kGaveUp, kReconnected): the
  // one that showed the link gone, or the last reopen attempt that failed.
  Error error;
};

// How a board reopens itself after its link went away. The first reopen comes first_delay_us
// after the loss. While the board is not attached (the open finds no such serial number) it
// is tried again every first_delay_us; an open that fails on an attached board doubles the
// delay before the next one, up to max_delay_us. With reconnecting on, Board::Open refuses
// (kInvalidArgument) a first delay of 0 and a delay that runs past the end of the board's clock.
struct ReconnectOptions {
  bool enabled = true;                     // false: the first link loss is final
  std::uint64_t first_delay_us = 100'000;  // first reopen, and the period while not attached
  std::uint64_t max_delay_us = 2'000'000;  // the longest delay after failed opens
  std::uint64_t give_up_after_us = 0;      // 0: never give up for time
  unsigned int max_attempts = 0;           // reopens tried, of either kind; 0: unlimited
};

struct OpenOptions {
  // nullptr: the vendor library when it loads, else libftdi1. The board runs on the link's
  // clock (NowMicroseconds, SleepUntil): its replies, reconnect delays and recordings.
  LinkProvider* link = nullptr;
  ReconnectOptions reconnect;
  // Connection events, called after the board's lock is released (so the callback may call
  // the board), one at a time, each once and in the order they happened: on the thread whose
  // call noticed them or, when another thread is handing events on at that moment, on that
  // thread after the ones it holds. It must not throw.
  std::function<void(const BoardEvent&)> on_event;
  // Read gives calibrated loads, reading a channel's calibration from the board at its first
  // reading. false: counts only, and no calibration traffic unless asked for.
  bool calibrated_loads = true;
  // A settings file (Settings::DefaultPath() for the user's) whose entries for this serial
  // number are applied: a channel's user calibration gives its loads instead of the board's,
  // its default tare is taken off from the open, its unit label names its loads. "": none. A
  // missing file applies nothing; one that cannot be read fails the open (kInvalidArgument).
  std::string settings;
};

enum class ReadingState {
  kOk,                // counts valid
  kPositiveOverflow,  // "Positive Overflow"
  kNegativeOverflow,  // "Negative Overflow"
  kConverterFault,    // four zero bytes from the converter ("Error" with no ErrorText)
  kUnassigned,        // "Unassigned"
  kUnrecognised,      // "" or "Data ..." (the text is kept in raw)
};

// Which calibration turned a reading's counts into its load.
enum class LoadCalibration { kNone, kBoard, kUser };
// "none", "board", "user".
KAVRO_API const char* LoadCalibrationName(LoadCalibration calibration);

struct Reading {
  unsigned int channel = 0;
  ReadingState state = ReadingState::kOk;
  std::int64_t counts = 0;     // valid when state == kOk
  std::optional<double> load;  // calibrated, tare applied: when kOk and the calibration is usable
  std::string raw;             // the library's text as it came
  std::uint64_t monotonic_us = 0;  // when it was taken (reply received), on the board's clock
  std::chrono::system_clock::time_point wall;  // the same moment on the wall clock
  // The calibration that gave load: the board's stored one, or the user's from the settings
  // (made at calibration_date, UTC ISO-8601); kNone when there is no load.
  LoadCalibration calibration = LoadCalibration::kNone;
  std::string calibration_date;
  // The unit of load: the settings' label, else "unit code N" from the board's calibration
  // (this library has no names for the codes); "" when neither is known.
  std::string unit;
};

struct KAVRO_API Calibration {
  std::int64_t offset_reading = 0, fullscale_reading = 0;  // converter counts
  std::uint32_t offset_load = 0, fullscale_load = 0;       // stored loads (16-bit)
  unsigned int unit_code = 0, decimal_point = 0;

  // Two-point conversion: (offset_load + (counts - offset_reading) * (fullscale_load -
  // offset_load) / (fullscale_reading - offset_reading)) / 10^decimal_point. kBadCalibration
  // when the two readings are equal.
  Result<double> ToLoad(std::int64_t counts) const;
};

struct KAVRO_API ConverterConfig {
  std::uint8_t rate = 0;   // sampling-rate code, bits 0-3
  std::uint8_t upper = 0;  // bits 4-6
  std::uint8_t Byte() const { return static_cast<std::uint8_t>(upper * 16 + rate); }
};

struct BoardInfo {
  std::string serial;
  unsigned int type = 0;
  std::array<std::uint8_t, 5> version{};  // the five version fields as numbers
  unsigned int channels = 1;              // 1, or on type 9 as many as answer (probed at open)
};

class KAVRO_API Board {
 public:
  // Opens the board with that serial number. kNotFound, kCannotOpen, kLinkUnavailable, ...
  static Result<Board> Open(const std::string& serial, OpenOptions options = {});
  // Opens the only board attached; kNotFound when there is none, kInvalidArgument naming the
  // serial numbers when there are several.
  static Result<Board> OpenOnly(OpenOptions options = {});
  // The serial numbers of the attached boards (nullptr: the default link).
  static Result<std::vector<std::string>> List(LinkProvider* link = nullptr);

  Board();  // holds no board: every call answers kInvalidArgument
  Board(Board&&) noexcept;
  Board& operator=(Board&&) noexcept;
  ~Board();  // closes the board

  // A copy, answered at once and whole while another thread runs a long command or reopens the
  // board (which learns its type and version again).
  BoardInfo info() const;
  // kInvalidArgument naming the channels the board has when it has no such channel: the check
  // every channel's call makes, for callers that check a whole list before they start.
  Status CheckChannel(unsigned int channel) const;
  // "vendor D2XX library", "libftdi1", "board emulator", or the provider's own name.
  std::string link_description() const;

  // One reading: a single request and its reply (once the channel's calibration is at hand,
  // which the first reading fetches when loads are wanted). The board's type, which decides the
  // request, is the one learnt at the open, or at the latest reopen after a loss.
  Result<Reading> Read(unsigned int channel = 0);
  // The channel's calibration record, read once and kept (the EEPROM survives power cycles).
  Result<Calibration> GetCalibration(unsigned int channel = 0);
  Status RefreshCalibration(unsigned int channel = 0);  // reads it again
  Result<ConverterConfig> GetConverterConfig(unsigned int channel = 0);
  // Both are remembered and applied again after a reconnect, in the order made.
  Status SetSamplingRate(std::uint8_t rate, unsigned int channel = 0);
  Status SetConverterByte(std::uint8_t byte, unsigned int channel = 0);
  Result<std::array<std::uint8_t, 3>> ReadEepromRegister(std::uint8_t address);
  Result<std::array<std::uint8_t, 3>> ReadChannelRegister(unsigned int channel,
                                                          std::uint8_t address);
  Status Reset();
  Status Ping();  // activity inquiry

  // Zeroes a channel: the tare is the mean calibrated load (by the user's calibration when
  // the settings hold one) of `samples` readings; later loads
  // are reduced by it until ClearTare. Returns the tare.
  Result<double> Tare(unsigned int channel = 0, unsigned int samples = 10);
  void ClearTare(unsigned int channel = 0);
  std::optional<double> tare(unsigned int channel = 0) const;
  // What the settings the board was opened with hold for the channel (empty without them).
  ChannelSettings settings(unsigned int channel = 0) const;

  // False after the link went away, until a reopen succeeds. Answers at once, also while
  // another thread waits on a long command (a reset).
  bool connected() const;

 private:
  friend struct detail::BoardAccess;
  struct Impl;
  explicit Board(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kavro

#endif  // KAVRO_BOARD_H

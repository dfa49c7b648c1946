// The inside of a kavro::Board, shared by the board's methods and the recording loop.
#ifndef KAVRO_API_BOARD_IMPL_H
#define KAVRO_API_BOARD_IMPL_H

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/steps.h"
#include "KAVRO_USB_DLL.h"
#include "errors.h"
#include "kavro/board.h"

namespace kavro {

struct Board::Impl {
  Impl(const std::string& serial, OpenOptions opened_with);
  ~Impl();

  // What the board remembers per channel. Configuration set through the board sits at the
  // channel it applies to: the channel on type 9, channel 0 for a board-wide byte.
  struct ChannelState {
    std::optional<Calibration> calibration;
    std::optional<Error> calibration_failed;  // a failure that reading again does not mend
    std::optional<double> tare;
    std::optional<std::uint8_t> config_byte;  // SetConverterByte, then
    std::optional<std::uint8_t> config_rate;  // SetSamplingRate on top of it
    ChannelSettings settings;                 // from the settings file the board opened with
  };

  // How much the board was gone up to a moment, for a recording's gap count.
  struct Tally {
    std::uint64_t disconnects = 0;
    std::uint64_t gone_us = 0;
    bool disconnected = false;
    bool gave_up = false;
  };

  // Opens the serial number and learns type, version and channels.
  Status Open();
  // Opens the serial number: the first open, or a reopen after a loss (stage kOpen).
  Status OpenHandle(detail::Stage stage);
  // Classifies a failure of a command step on the board's open handle (none: success).
  // Checked also closes the handle when the link is gone and notes the loss.
  Status Attempted(const detail::Failure& failure);
  Status Checked(const detail::Failure& failure);
  // The version exchange: the board's type and version into info.
  Status LearnVersion();
  // A register read's three reply bytes.
  Result<std::array<std::uint8_t, 3>> Register(const detail::Step<detail::RegisterBytes>& r);

  // Makes sure the board is open: reopens it after a loss when the backoff allows.
  Status Ready();
  Status Reopen();
  // Refuses reconnect delays that make no sense, before the board is opened.
  Status CheckReconnect() const;
  void LinkLost(const Error& error);
  void GiveUp(std::uint64_t now);
  Error GaveUpError() const;
  void Emit(BoardEventKind kind, std::uint64_t now, std::uint64_t gap, const Error& error);
  // Hands the events noticed so far to on_event, in order; called without the board's lock.
  void Deliver();
  // The open handle, or nullptr while the link is gone. Under the lock.
  void SetHandle(void* h);

  Status CheckChannel(unsigned int channel) const;
  unsigned int ConfigChannel(unsigned int channel) const;
  Result<Calibration> Calibrated(unsigned int channel);
  Result<Calibration> FetchCalibration(unsigned int channel);
  // A reading without the tare; calibrated when the channel's calibration is at hand.
  Result<Reading> Measure(unsigned int channel);
  // The load of counts on a channel: by the user's calibration when the settings hold one,
  // else by the board's stored one, once read.
  Result<double> Load(unsigned int channel, std::int64_t counts) const;
  std::chrono::system_clock::time_point Wall(std::uint64_t monotonic_us) const;
  Tally Count(std::uint64_t now) const;  // under the lock
  bool Reconnects() const { return options.reconnect.enabled && !gave_up; }

  KAVRO_USB_DLL dll;
  OpenOptions options;
  LinkProvider* clock;  // the link, whose clock the board runs on
  // Written under the board's lock and info_mutex (a reopen learns type and version again),
  // read by info() under info_mutex alone, so that it answers at once during a long command.
  BoardInfo info;
  mutable std::mutex info_mutex;
  std::vector<ChannelState> channels;
  void* handle = nullptr;  // nullptr while the link is gone
  // What the getters answer without the board's lock, which a long command may hold for
  // seconds: whether the handle is open, and the link's name.
  std::atomic<bool> linked{false};
  std::string link_name;
  std::chrono::system_clock::time_point wall_at_open;
  std::uint64_t monotonic_at_open = 0;

  // Link loss and reconnection.
  bool gave_up = false;
  std::uint64_t lost_at = 0, next_attempt_at = 0, delay = 0;
  unsigned int attempts = 0;
  Error last_error;
  std::uint64_t disconnects = 0, closed_gaps_us = 0;

  mutable std::mutex mutex;  // serialises every call on the board

  // Events are noticed under the board's lock and delivered after it, by one thread at a time:
  // a thread that finds another delivering leaves its events to that one, so every event
  // reaches on_event once and in the order it happened.
  std::mutex events_mutex;  // guards what follows
  std::vector<BoardEvent> events;
  bool delivering = false;
};

namespace detail {

// The way in for the recording loop and the board's helpers (Board::Impl is private).
struct BoardAccess {
  using Impl = Board::Impl;
  static Impl* Of(Board& board) { return board.impl_.get(); }
};
using BoardImpl = BoardAccess::Impl;

// The error of a Board that holds no board (default-constructed or moved from).
Error NoBoard();
// kInvalidArgument for a channel the board does not have, naming the ones it has.
Error NoSuchChannel(const BoardInfo& info, unsigned int channel);

}  // namespace detail

}  // namespace kavro

#endif  // KAVRO_API_BOARD_IMPL_H

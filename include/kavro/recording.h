// The recording loop: readings of one or more channels of a board at a fixed interval on the
// board's monotonic clock, each handed to a sink as it is taken.
#ifndef KAVRO_RECORDING_H
#define KAVRO_RECORDING_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kavro/board.h"
#include "kavro/export.h"
#include "kavro/result.h"

namespace kavro {

struct RecordOptions {
  std::vector<unsigned int> channels{0};  // each due time reads every channel, in order
  bool all_channels = false;  // every channel each board has instead (channels is not used)
  std::uint64_t interval_us = 100'000;    // 0: as fast as the board answers
  // Record refuses (kInvalidArgument) an interval whose due times run past the end of the
  // board's clock before the count or the duration ends the recording.
  std::uint64_t count = 0;                // due times to take; 0: until duration or stop
  std::uint64_t duration_us = 0;          // 0: until count or stop
  // Polled before each due time and at least every 20 ms while waiting; true ends the
  // recording. Must not throw.
  std::function<bool()> should_stop;
};

struct Sample {
  std::string serial;
  std::uint64_t index = 0;   // k: due at start + k * interval
  std::uint64_t due_us = 0;  // that due time, on the board's clock
  Result<Reading> reading;   // one per channel
  unsigned int channel = 0;  // the channel read, also when the reading failed
};

// Why a recording ended.
enum class RecordEnd {
  kCountReached,     // count due times taken
  kDurationReached,  // duration_us passed
  kStopped,          // should_stop answered true
  kSinkDeclined,     // the sink returned false
  kGaveUp,           // reconnecting gave up
};

// "count reached", "duration reached", "stopped", "sink declined", "gave up reconnecting".
KAVRO_API const char* RecordEndName(RecordEnd end);

struct KAVRO_API RecordSummary {
  std::string serial;           // the board's; "" for the totals of several boards
  std::uint64_t due_times = 0;  // due times taken
  std::uint64_t readings = 0;   // successful readings
  std::uint64_t errors = 0;     // failed readings
  // Due times skipped because they had passed (a stall), counted instead of fired as a burst.
  std::uint64_t missed = 0;
  // Disconnects during the recording and the time the board was gone in it.
  std::uint64_t gaps = 0, gap_us = 0;
  std::uint64_t elapsed_us = 0;
  RecordEnd ended = RecordEnd::kCountReached;  // why the recording ended
  bool stopped = false;                        // ended by should_stop (ended is kStopped)
  bool sink_stopped = false;  // ended because the sink returned false (kSinkDeclined)
  bool gave_up = false;       // ended because reconnecting gave up (kGaveUp)
  double rate() const;        // successful readings per second over elapsed_us
};

// Takes readings on the board's clock: the k-th due time is start + k * interval, whatever
// each reading costs, so nothing drifts over hours. A due time that has already passed when
// the previous one is done is skipped and counted in `missed` (the latest passed one is still
// taken, late). The sink returns false to stop (e.g. the output can no longer be written); it
// must not throw. Connection events reach the board's on_event as they happen.
// kInvalidArgument for no channels or a channel the board does not have.
KAVRO_API Result<RecordSummary> Record(Board& board, const RecordOptions& options,
                                       const std::function<bool(const Sample&)>& sink);

// A recording of several boards: a line per board, and the totals.
struct KAVRO_API MultiRecordSummary {
  std::vector<RecordSummary> boards;  // one per board, in the order they were given
  // Sums over the boards, but due_times: the due times of the one schedule that were handed
  // out, and elapsed_us: the whole recording's. ended says why the recording ended.
  RecordSummary total;
};

// Records several boards on one schedule: the k-th due time is start + k * interval on the
// boards' one clock (boards opened on different clocks are refused). Each board is read on a
// thread of its own, so a board that is slow, times out or is unplugged (and reconnects, on its
// own) delays no other: when a due time comes while a board is still busy with an earlier one,
// that board takes the latest due time once it is free and counts the ones it skipped in its
// `missed`. Each board gives one sample per channel and due time it takes, in due-time order;
// the samples of one due time may come in any board order. The sink is called from one thread
// at a time (the boards' threads take turns), never while the call holds a lock of a board,
// and false from it ends the recording. The boards' on_event is called on their own threads,
// possibly at the same time as another board's. A board whose reconnecting gave up leaves the
// recording (its summary's ended is kGaveUp); the recording ends with kGaveUp when none is
// left. With interval 0 the boards go in step: the next due time when every board is done.
// Timing on virtual time (the emulator): a wait on the bus moves time for every board, so a
// read that times out there delays the others; an unplugged board does not.
// kInvalidArgument for no boards, a board given twice, no channels, or a channel a board lacks
// (the error names the board).
KAVRO_API Result<MultiRecordSummary> Record(const std::vector<Board*>& boards,
                                            const RecordOptions& options,
                                            const std::function<bool(const Sample&)>& sink);

}  // namespace kavro

#endif  // KAVRO_RECORDING_H

// The recording loop: due times on the board's clock, missed ones skipped and counted, gaps
// from disconnects taken from the board's own tally.
#include "kavro/recording.h"

#include <algorithm>

#include "../clock_sum.h"
#include "board_impl.h"

namespace kavro {

namespace {

constexpr std::uint64_t kStopPollUs = 20'000;  // how often a waiting recording asks should_stop

}  // namespace

const char* RecordEndName(RecordEnd end) {
  switch (end) {
    case RecordEnd::kCountReached: return "count reached";
    case RecordEnd::kDurationReached: return "duration reached";
    case RecordEnd::kStopped: return "stopped";
    case RecordEnd::kSinkDeclined: return "sink declined";
    case RecordEnd::kGaveUp: return "gave up reconnecting";
  }
  return "unknown";
}

double RecordSummary::rate() const {
  return elapsed_us == 0 ? 0.0 : static_cast<double>(readings) * 1e6 / elapsed_us;
}

Result<RecordSummary> Record(Board& board, const RecordOptions& options,
                             const std::function<bool(const Sample&)>& sink) {
  detail::BoardImpl* impl = detail::BoardAccess::Of(board);
  if (impl == nullptr) return detail::NoBoard();
  if (options.channels.empty())
    return detail::OwnError(ErrorKind::kInvalidArgument, "nothing to record: no channels given");
  for (unsigned int channel : options.channels) {
    if (channel >= board.info().channels) return detail::NoSuchChannel(board.info(), channel);
  }
  auto tally = [impl](std::uint64_t now) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->Count(now);
  };
  LinkProvider& clock = *impl->clock;
  const std::uint64_t interval = options.interval_us;
  const std::uint64_t start = clock.NowMicroseconds();
  // The schedule must fit on the clock: up to its last due time by count, or its duration, or
  // (when it ends by neither) at least up to its second due time.
  if (interval != 0) {
    const std::uint64_t steps = options.count != 0 ? options.count - 1 : 1;
    const bool by_count = steps <= detail::kClockEnd / interval &&
                          detail::FitsOnClock(start, steps * interval);
    const bool by_duration =
        options.duration_us != 0 && detail::FitsOnClock(start, options.duration_us);
    if (!by_count && !by_duration) {
      return detail::OwnError(ErrorKind::kInvalidArgument,
                              "an interval of " + std::to_string(interval) +
                                  " us: the recording's due times run past the end of the clock");
    }
  }
  const detail::BoardImpl::Tally before = tally(start);
  RecordSummary summary;
  for (std::uint64_t k = 0;;) {
    if (options.count != 0 && summary.due_times >= options.count) {
      summary.ended = RecordEnd::kCountReached;
      break;
    }
    const std::uint64_t offset =
        interval != 0 ? detail::Intervals(k, interval) : clock.NowMicroseconds() - start;
    const std::uint64_t due = detail::LaterBy(start, interval != 0 ? offset : 0);
    if (options.duration_us != 0 && offset >= options.duration_us) {
      summary.ended = RecordEnd::kDurationReached;
      break;
    }
    for (;;) {
      if (options.should_stop && options.should_stop()) {
        summary.stopped = true;
        summary.ended = RecordEnd::kStopped;
        break;
      }
      const std::uint64_t now = clock.NowMicroseconds();
      if (now >= due) break;
      clock.SleepUntil(std::min(due, detail::LaterBy(now, kStopPollUs)));
    }
    if (summary.stopped) break;

    ++summary.due_times;
    for (unsigned int channel : options.channels) {
      const Sample sample{impl->info.serial, k, due, board.Read(channel), channel};
      ++(sample.reading ? summary.readings : summary.errors);
      if (!sink(sample)) {
        summary.sink_stopped = true;
        summary.ended = RecordEnd::kSinkDeclined;
        break;
      }
    }
    if (summary.sink_stopped) break;
    const std::uint64_t after = clock.NowMicroseconds();
    if (tally(after).gave_up) {
      summary.gave_up = true;
      summary.ended = RecordEnd::kGaveUp;
      break;
    }
    if (interval == 0) {
      ++k;
      continue;
    }
    // The next due time is the one after k, or the latest that has already passed if the
    // readings overran: those in between are missed, not fired in a burst.
    const std::uint64_t latest = (after - start) / interval;
    const std::uint64_t next = std::max(k + 1, latest);
    summary.missed += next - (k + 1);
    k = next;
  }
  const std::uint64_t end = clock.NowMicroseconds();
  const detail::BoardImpl::Tally after = tally(end);
  summary.elapsed_us = end - start;
  summary.gaps = after.disconnects - before.disconnects + (before.disconnected ? 1 : 0);
  summary.gap_us = after.gone_us - before.gone_us;
  return summary;
}

}  // namespace kavro

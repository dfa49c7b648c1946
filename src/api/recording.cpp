// The recording loop: due times on the boards' clock, missed ones skipped and counted, gaps
// from disconnects taken from each board's own tally; several boards read side by side.
#include "kavro/recording.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <thread>

#include "clock_sum.h"
#include "board_impl.h"

namespace kavro {

namespace {

constexpr std::uint64_t kStopPollUs = 20'000;  // how often a waiting recording asks should_stop

// The schedule must fit on the clock: up to its last due time by count, or its duration, or
// (when it ends by neither) at least up to its second due time.
Status FitsSchedule(const RecordOptions& options, std::uint64_t start) {
  const std::uint64_t interval = options.interval_us;
  if (interval == 0) return {};
  const std::uint64_t steps = options.count != 0 ? options.count - 1 : 1;
  const bool by_count =
      steps <= detail::kClockEnd / interval && detail::FitsOnClock(start, steps * interval);
  const bool by_duration =
      options.duration_us != 0 && detail::FitsOnClock(start, options.duration_us);
  if (by_count || by_duration) return {};
  return detail::OwnError(ErrorKind::kInvalidArgument,
                          "an interval of " + std::to_string(interval) +
                              " us: the recording's due times run past the end of the clock");
}

detail::BoardImpl::Tally TallyOf(detail::BoardImpl* impl, std::uint64_t now) {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return impl->Count(now);
}

// Fills in how much the board was gone during the recording, from its tallies at both ends.
void Gaps(RecordSummary& summary, const detail::BoardImpl::Tally& before,
          const detail::BoardImpl::Tally& after) {
  summary.gaps = after.disconnects - before.disconnects + (before.disconnected ? 1 : 0);
  summary.gap_us = after.gone_us - before.gone_us;
}

// The channels a recording reads on a board; kInvalidArgument for none or one it lacks.
Result<std::vector<unsigned int>> ChannelsOf(const BoardInfo& info, const RecordOptions& options) {
  std::vector<unsigned int> channels = options.channels;
  if (options.all_channels) {
    channels.clear();
    for (unsigned int c = 0; c < info.channels; ++c) channels.push_back(c);
  }
  if (channels.empty())
    return detail::OwnError(ErrorKind::kInvalidArgument, "nothing to record: no channels given");
  for (unsigned int channel : channels) {
    if (channel >= info.channels) return detail::NoSuchChannel(info, channel);
  }
  return channels;
}

void SetEnded(RecordSummary& summary, RecordEnd ended) {
  summary.ended = ended;
  summary.stopped = ended == RecordEnd::kStopped;
  summary.sink_stopped = ended == RecordEnd::kSinkDeclined;
  summary.gave_up = ended == RecordEnd::kGaveUp;
}

// One board's part in a recording of several: its thread takes the due times the schedule
// hands out, the latest one each time it is free.
struct Lane {
  Board* board = nullptr;
  detail::BoardImpl* impl = nullptr;
  std::vector<unsigned int> channels;
  RecordSummary summary;
  detail::BoardImpl::Tally before;
  bool started = false;  // has taken a due time
  std::uint64_t last = 0;  // the index of the last one taken
  bool busy = false;     // reading a due time
  bool gone = false;     // gave up reconnecting: takes no more due times
  std::thread thread;
};

// What the schedule and the lanes share, under mutex.
struct Schedule {
  std::mutex mutex;
  std::condition_variable changed;  // a due time handed out, a lane done, the end
  bool handed = false;               // a due time has been handed out
  std::uint64_t k = 0, due = 0;      // the latest one
  bool finished = false;             // no more due times come
  bool declined = false;             // the sink returned false
  std::mutex sink;                   // the sink is called by one lane at a time
};

void RunLane(Lane& lane, Schedule& schedule, const std::function<bool(const Sample&)>& sink) {
  std::unique_lock<std::mutex> lock(schedule.mutex);
  for (;;) {
    const auto fresh = [&] { return schedule.handed && (!lane.started || schedule.k > lane.last); };
    schedule.changed.wait(lock, [&] { return fresh() || schedule.finished || schedule.declined; });
    if (schedule.declined || !fresh()) return;
    const std::uint64_t k = schedule.k, due = schedule.due;
    lane.summary.missed += lane.started ? k - lane.last - 1 : k;
    lane.started = true;
    lane.last = k;
    lane.busy = true;
    lock.unlock();
    ++lane.summary.due_times;
    bool declined = false;
    for (unsigned int channel : lane.channels) {
      const Sample sample{lane.impl->info.serial, k, due, lane.board->Read(channel), channel};
      ++(sample.reading ? lane.summary.readings : lane.summary.errors);
      std::lock_guard<std::mutex> turn(schedule.sink);
      if (!sink(sample)) {
        declined = true;
        break;
      }
    }
    const bool gave_up = TallyOf(lane.impl, lane.impl->clock->NowMicroseconds()).gave_up;
    lock.lock();
    lane.busy = false;
    schedule.declined = schedule.declined || declined;
    lane.gone = gave_up;
    schedule.changed.notify_all();
    if (declined || gave_up) return;
  }
}

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
  const Result<std::vector<unsigned int>> channels = ChannelsOf(impl->info, options);
  if (!channels) return channels.error();
  auto tally = [impl](std::uint64_t now) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->Count(now);
  };
  LinkProvider& clock = *impl->clock;
  const std::uint64_t interval = options.interval_us;
  const std::uint64_t start = clock.NowMicroseconds();
  if (Status fits = FitsSchedule(options, start); !fits) return fits.error();
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
    for (unsigned int channel : channels.value()) {
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
  Gaps(summary, before, after);
  summary.serial = impl->info.serial;
  return summary;
}

Result<MultiRecordSummary> Record(const std::vector<Board*>& boards, const RecordOptions& options,
                                  const std::function<bool(const Sample&)>& sink) {
  if (boards.empty())
    return detail::OwnError(ErrorKind::kInvalidArgument, "nothing to record: no boards given");
  std::vector<Lane> lanes(boards.size());
  for (std::size_t i = 0; i < boards.size(); ++i) {
    Lane& lane = lanes[i];
    lane.board = boards[i];
    lane.impl = boards[i] != nullptr ? detail::BoardAccess::Of(*boards[i]) : nullptr;
    if (lane.impl == nullptr) return detail::NoBoard();
    const std::string& serial = lane.impl->info.serial;
    for (std::size_t j = 0; j < i; ++j) {
      if (lanes[j].impl == lane.impl || lanes[j].impl->info.serial == serial) {
        return detail::OwnError(ErrorKind::kInvalidArgument,
                                serial + " is given twice: a recording reads each board once");
      }
    }
    if (lane.impl->clock != lanes[0].impl->clock) {
      return detail::OwnError(ErrorKind::kInvalidArgument,
                              serial + " was opened on another link than " +
                                  lanes[0].impl->info.serial +
                                  ": a recording keeps one schedule on one link's clock");
    }
    Result<std::vector<unsigned int>> channels = ChannelsOf(lane.impl->info, options);
    if (!channels) return channels.error();
    lane.channels = std::move(channels.value());
    lane.summary.serial = serial;
  }
  LinkProvider& clock = *lanes[0].impl->clock;
  const std::uint64_t interval = options.interval_us;
  const std::uint64_t start = clock.NowMicroseconds();
  if (Status fits = FitsSchedule(options, start); !fits) return fits.error();
  for (Lane& lane : lanes) lane.before = TallyOf(lane.impl, start);

  Schedule schedule;
  const auto finish = [&] {
    {
      std::lock_guard<std::mutex> lock(schedule.mutex);
      schedule.finished = true;
    }
    schedule.changed.notify_all();
    for (Lane& lane : lanes) {
      if (lane.thread.joinable()) lane.thread.join();
    }
  };
  for (Lane& lane : lanes) {
    try {
      lane.thread = std::thread(RunLane, std::ref(lane), std::ref(schedule), std::cref(sink));
    } catch (const std::exception& e) {  // no thread to be had: nothing was read yet
      finish();
      return detail::OwnError(ErrorKind::kProtocol, "cannot start a thread to read " +
                                                        lane.summary.serial + ": " + e.what());
    }
  }

  MultiRecordSummary result;
  RecordSummary& total = result.total;
  RecordEnd ended = RecordEnd::kCountReached;
  for (std::uint64_t k = 0;;) {
    if (options.count != 0 && total.due_times >= options.count) {
      ended = RecordEnd::kCountReached;
      break;
    }
    const std::uint64_t offset =
        interval != 0 ? detail::Intervals(k, interval) : clock.NowMicroseconds() - start;
    const std::uint64_t due = detail::LaterBy(start, interval != 0 ? offset : 0);
    if (options.duration_us != 0 && offset >= options.duration_us) {
      ended = RecordEnd::kDurationReached;
      break;
    }
    // Waits for the due time. While a board is busy the wait is on the lanes, which say when
    // they are done: on virtual time only a waiting call moves the clock, so the schedule waits
    // for the boards' reads rather than jumping past them.
    bool end = false;
    for (;;) {
      if (options.should_stop && options.should_stop()) {
        ended = RecordEnd::kStopped;
        end = true;
        break;
      }
      std::unique_lock<std::mutex> lock(schedule.mutex);
      bool busy = false, left = false;
      for (const Lane& lane : lanes) {
        // Busy: reading, or handed a due time it has not woken up for yet.
        busy = busy || lane.busy ||
               (!lane.gone && schedule.handed && (!lane.started || schedule.k > lane.last));
        left = left || !lane.gone;
      }
      if (schedule.declined || !left) {
        ended = schedule.declined ? RecordEnd::kSinkDeclined : RecordEnd::kGaveUp;
        end = true;
        break;
      }
      const std::uint64_t now = clock.NowMicroseconds();
      if (now >= due && (interval != 0 || !busy)) break;
      const std::uint64_t wait = now < due ? std::min(due - now, kStopPollUs) : kStopPollUs;
      if (busy) {
        schedule.changed.wait_for(lock, std::chrono::microseconds(wait));
      } else {
        lock.unlock();
        clock.SleepUntil(detail::LaterBy(now, wait));
      }
    }
    if (end) break;
    {
      std::lock_guard<std::mutex> lock(schedule.mutex);
      schedule.handed = true;
      schedule.k = k;
      schedule.due = due;
    }
    schedule.changed.notify_all();
    ++total.due_times;
    if (interval == 0) {
      ++k;
      continue;
    }
    // The next due time is the one after k, or the latest that has already passed (the clock
    // moved on past it): the boards skip those in between and count them.
    k = std::max(k + 1, (clock.NowMicroseconds() - start) / interval);
  }
  finish();
  const std::uint64_t end_us = clock.NowMicroseconds();
  total.elapsed_us = end_us - start;
  SetEnded(total, ended);
  for (Lane& lane : lanes) {
    RecordSummary& s = lane.summary;
    Gaps(s, lane.before, TallyOf(lane.impl, end_us));
    s.elapsed_us = total.elapsed_us;
    SetEnded(s, lane.gone ? RecordEnd::kGaveUp : ended);
    total.readings += s.readings;
    total.errors += s.errors;
    total.missed += s.missed;
    total.gaps += s.gaps;
    total.gap_us += s.gap_us;
    result.boards.push_back(s);
  }
  return result;
}

}  // namespace kavro

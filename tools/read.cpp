// read: a recording of one board's channels, each row written as it is taken. Nothing ends it
// silently: a write error, a board lost for good and a signal each end it with the summary.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <optional>

#include "formats.h"
#include "output.h"
#include "platform/platform.h"
#include "report.h"
#include "subcommands.h"

namespace kavro::tool {

namespace {

// What asked the recording to end (set from a signal handler, or on Windows from the console's
// handler thread).
std::atomic<platform::StopSignal> g_ending_signal{platform::StopSignal::kNone};

void OnEndingSignal(platform::StopSignal signal) {
  g_ending_signal = signal;
}

bool Ending() {
  return g_ending_signal.load() != platform::StopSignal::kNone;
}

std::string SignalName() {
  return platform::StopSignalName(g_ending_signal.load());
}

// Takes the samples and the events of a recording to the output as rows, keeping the numbers
// of the summary.
class Recorder {
 public:
  Recorder(const Session& s, Output& out, const Rows& rows, Clock& clock, std::string serial,
           const std::vector<unsigned int>& channels)
      : options_(s.options),
        links_(s.links),
        out_(out),
        rows_(rows),
        clock_(clock),
        serial_(std::move(serial)) {
    for (unsigned int c : channels) stats_.push_back(ChannelStats{c});
    live_ = platform::IsTerminal(2) && (!options_.output.empty() || !platform::IsTerminal(1) ||
                                      options_.format != Format::kTable);
  }

  // The recording starts: its header block, and the column header in a fresh file.
  bool Begin(bool fresh, const FileHeader& header) {
    start_us_ = last_us_ = clock_.NowMicroseconds();
    start_wall_ = std::chrono::system_clock::now();
    session_ = UtcTime(start_wall_, 6);
    const std::string start = rows_.SessionStart(At(start_us_), fresh, header);
    // The opening is no row: the count of rows kept after a write error leaves it out.
    write_failed_ = !out_.Write(start);
    return !write_failed_;
  }

  bool Take(const Sample& s) {
    std::string row;
    if (!s.reading) {
      ++failures_[Brief(s.reading.error())];
      row = rows_.Failure(At(clock_.NowMicroseconds()), s.channel, s.reading.error());
      ++failed_;
      if (options_.no_reconnect) first_failure_ = s.reading.error();
    } else {
      const kavro::Reading& r = *s.reading;
      const bool numeric = options_.raw ? r.state == ReadingState::kOk : r.load.has_value();
      if (numeric) Stats(r.channel).Add(options_.raw ? static_cast<double>(r.counts) : *r.load);
      ++readings_;
      row = rows_.Reading(At(r.monotonic_us), r);
      last_us_ = r.monotonic_us;
    }
    if (!Put(row)) return false;
    Live();
    // Nothing more would be recorded, or nothing more comes from the recording replayed.
    broken_ = links_.Broken();
    return !first_failure_ && broken_ == nullptr;
  }

  void Notice(const BoardEvent& e) {
    // Without reconnecting, giving up follows the loss at once and says nothing new.
    if (e.kind == BoardEventKind::kGaveUp && options_.no_reconnect) return;
    gaps_ += e.kind == BoardEventKind::kDisconnected ? 1 : 0;
    Put(rows_.Event(At(e.monotonic_us), e));
  }

  RecordingEnd End(const RecordSummary& summary) {
    if (live_) std::fputc('\n', stderr);
    RecordingEnd end{serial_, summary, stats_, failures_, ""};
    if (write_failed_) {
      end.ended = "write error";
    } else if (summary.stopped) {
      end.ended = "stopped by " + SignalName();
    } else if (stopped_at_failure()) {
      end.ended = "first failure (--no-reconnect)";
    } else if (broken_ != nullptr) {
      end.ended = broken_;
    } else {
      end.ended = RecordEndName(summary.ended);  // count or duration reached, or gave up
    }
    return end;
  }

  bool write_failed() const { return write_failed_; }
  bool stopped_at_failure() const { return first_failure_.has_value(); }
  const Error& first_failure() const { return *first_failure_; }
  std::uint64_t rows() const { return rows_written_; }

 private:
  Stamp At(std::uint64_t monotonic_us) const {
    const auto since = static_cast<std::int64_t>(monotonic_us - start_us_);
    return {start_wall_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                              std::chrono::microseconds(since)),
            static_cast<double>(since) / 1e6, serial_, session_};
  }

  ChannelStats& Stats(unsigned int channel) {
    for (ChannelStats& s : stats_) {
      if (s.channel == channel) return s;
    }
    return stats_.front();
  }

  bool Put(const std::string& row) {
    if (write_failed_ || !out_.Write(row)) {
      write_failed_ = true;
      return false;
    }
    ++rows_written_;
    return true;
  }

  // The running count on a terminal, at most four times a second; the rate is the summary's.
  // Timed by the last reading rather than a read of the session's clock, which a terminal
  // alone must not add to a recording.
  void Live() {
    const auto now = std::chrono::steady_clock::now();
    if (!live_ || now - last_live_ < std::chrono::milliseconds(250)) return;
    last_live_ = now;
    const double elapsed = static_cast<double>(last_us_ - start_us_) / 1e6;
    std::fprintf(stderr, "\r%llu readings  %.2f/s  %llu failed  %llu gaps   ",
                 static_cast<unsigned long long>(readings_),
                 elapsed > 0 ? readings_ / elapsed : 0.0, static_cast<unsigned long long>(failed_),
                 static_cast<unsigned long long>(gaps_));
  }

  const Options& options_;
  const Links& links_;
  Output& out_;
  const Rows& rows_;
  Clock& clock_;
  std::string serial_, session_;
  std::vector<ChannelStats> stats_;
  std::map<std::string, std::uint64_t> failures_;
  std::uint64_t start_us_ = 0, last_us_ = 0, readings_ = 0, failed_ = 0, rows_written_ = 0,
                gaps_ = 0;
  std::chrono::system_clock::time_point start_wall_;
  std::chrono::steady_clock::time_point last_live_;
  bool live_ = false, write_failed_ = false;
  std::optional<Error> first_failure_;  // with --no-reconnect, what ended the recording
  const char* broken_ = nullptr;        // the link recording stopped, or the replay departed
};

}  // namespace

int Read(const Session& s) {
  const Options& o = s.options;
  // Refused before the board is touched; nothing is opened for writing until it answers.
  if (std::string why = Output::Refusal(o.output, o.append, o.force); !why.empty())
    return Usage(why);
  if (o.no_comments && o.format == Format::kJson) {
    return Usage(
        "--no-comments: JSON lines have no comment lines; their header is the first "
        "record, of type session, which readers of JSON lines take as any other");
  }
  if (const auto first = o.append ? Output::FirstLine(o.output, false) : std::nullopt; first) {
    const std::string columns = Output::FirstLine(o.output, true).value_or("");
    std::string what = Rows(o.format, !o.raw, {}, true).AppendRefusal(columns);
    const bool commented = first->rfind('#', 0) == 0;
    if (!what.empty()) {
      return Usage("--append " + o.output + ": its first line \"" +
                   (commented ? columns : *first).substr(0, 80) + "\" does not start " + what +
                   ": append to a file of the same --format and columns, or give another one");
    }
    if (o.format != Format::kJson && !commented && !o.no_comments) {
      return Usage("--append " + o.output +
                   ": it has no header lines starting with #, so its readers may not skip them: "
                   "append with --no-comments, or give another file");
    }
  }
  platform::CatchStopSignals(OnEndingSignal);

  std::function<void(const BoardEvent&)> to_rows;  // once the recording runs
  OpenOptions opening = s.Opening(!o.no_reconnect);
  opening.calibrated_loads = !o.raw;
  opening.on_event = [&to_rows](const BoardEvent& e) {
    if (to_rows) to_rows(e);
  };
  int code = kExitOk;
  Result<Board> opened = s.Open(opening, &code);
  if (!opened) return code;
  Board& board = opened.value();
  const std::string serial = board.info().serial;  // answering: the open asked its version
  const Result<std::vector<unsigned int>> channels = s.Channels(board, &code);
  if (!channels) return code;

  FileHeader header{o.command_line, HostName(), {DescribeBoard(board, channels.value())}};
  std::vector<int> digits(board.info().channels, 0);
  for (const ChannelHeader& c : header.boards.front().channels) {
    if (o.raw) break;
    if (!c.calibration) {
      const std::string where =
          "cannot calibrate " + serial + " channel " + std::to_string(c.channel);
      const Error& e = c.calibration.error();
      if (e.kind != ErrorKind::kNotSupported) return Fail(where, e);
      return Fail(where + ": " + Describe(e) + "; record converter counts with --raw");
    }
    digits[c.channel] = static_cast<int>(c.calibration->decimal_point);
  }
  const Rows rows(o.format, !o.raw, digits, !o.no_reconnect, !o.no_comments);
  for (ChannelHeader& c : header.boards.front().channels) {
    if (!o.tare) break;
    const Result<double> tare = board.Tare(c.channel, 10);
    if (!tare)
      return Fail("cannot tare " + serial + " channel " + std::to_string(c.channel), tare.error());
    c.tare = *tare;
    std::fprintf(stderr, "kavro: %s channel %u tared at %s (the mean of 10 readings)\n",
                 serial.c_str(), c.channel, rows.Load(c.channel, *tare).c_str());
  }

  if (Ending()) {  // while the board was being opened: nothing to write yet
    return Fail("stopped by " + SignalName() +
                " before the recording started; nothing was written");
  }
  Output out;
  if (!out.Open(o.output, o.append, o.force)) return Fail(out.error());
  Clock& clock = s.links.clock != nullptr ? *s.links.clock : SteadyClock();
  Recorder recorder(s, out, rows, clock, serial, channels.value());
  to_rows = [&recorder](const BoardEvent& e) { recorder.Notice(e); };

  RecordOptions recording;
  recording.channels = channels.value();
  recording.interval_us = static_cast<std::uint64_t>(std::llround(o.interval_ms * 1000));
  recording.count = o.count;
  recording.duration_us = static_cast<std::uint64_t>(std::llround(o.duration_s * 1e6));
  recording.should_stop = [] { return Ending(); };
  if (!recorder.Begin(out.fresh(), header)) return Fail(out.error() + "; nothing was recorded");
  const Result<RecordSummary> summary =
      Record(board, recording, [&recorder](const Sample& x) { return recorder.Take(x); });
  to_rows = nullptr;
  if (!summary) return Fail("cannot record " + serial, summary.error());

  const RecordingEnd end = recorder.End(summary.value());
  bool written = !recorder.write_failed() && out.Write(rows.Summary(end));
  written = out.Close() && written;
  std::fputs(rows.SummaryText(end).c_str(), stderr);
  if (!written) {
    return Fail(out.error() + "; the recording ended there, and the " +
                std::to_string(recorder.rows()) + " rows written before are kept");
  }
  if (recorder.stopped_at_failure())
    return Fail("stopped at the first failure (--no-reconnect)", recorder.first_failure());
  if (summary->gave_up) return Fail("gave up reconnecting to " + serial);
  if (summary->readings == 0 && summary->errors > 0) return Fail("no reading succeeded");
  return kExitOk;
}

}  // namespace kavro::tool

// read: a recording of one or more boards' channels, each row written as it is taken. Nothing ends it
// silently: a write error, a board lost for good and a signal each end it with the summary.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "formats.h"
#include "output.h"
#include "platform/platform.h"
#include "report.h"
#include "rotation.h"
#include "subcommands.h"

namespace kavro::tool {

namespace {

// Decimals of the loads of a channel with a user calibration, which has no decimal point.
constexpr int kUserCalibrationDigits = 3;

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

// What the boards of one recording share: the output, written by one board at a time, its
// start, and the running count on a terminal.
struct Shared {
  Shared(Files& o, const Rows& r, LinkProvider& c) : out(o), rows(r), clock(c) {}
  Files& out;
  const Rows& rows;
  LinkProvider& clock;  // the link, on whose clock the recording runs
  std::mutex mutex;  // the output and what follows
  std::uint64_t start_us = 0, last_us = 0, readings = 0, failed = 0, rows_written = 0, gaps = 0;
  std::chrono::system_clock::time_point start_wall;
  std::string session;
  bool write_failed = false, live = false;
  std::chrono::steady_clock::time_point last_live;
  FileHeader header;

  // The recording starts: its header block, and the column header in a fresh file; the same
  // in each file of a rotated recording, with the file's part and start.
  bool Begin(const FileHeader& opening) {
    start_us = last_us = clock.NowMicroseconds();
    start_wall = std::chrono::system_clock::now();
    session = UtcTime(start_wall, 6);
    header = opening;
    const std::string serial = header.boards.size() == 1 ? header.boards[0].info.serial : "";
    // The opening is no row: the count of rows kept after a write error leaves it out.
    write_failed = !out.Begin(start_us, start_wall, [this, serial](std::uint64_t at,
                                                                   unsigned part, bool fresh) {
      header.part = part;
      return rows.SessionStart(At(at, serial), fresh, header);
    });
    return !write_failed;
  }

  Stamp At(std::uint64_t monotonic_us, const std::string& serial) const {
    const auto since = static_cast<std::int64_t>(monotonic_us - start_us);
    return {start_wall + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::microseconds(since)),
            static_cast<double>(since) / 1e6, serial, session};
  }

  bool Put(const std::string& row, std::uint64_t at_us) {  // under mutex
    if (write_failed || !out.Row(row, at_us)) {
      write_failed = true;
      return false;
    }
    ++rows_written;
    return true;
  }

  // The running count on a terminal, at most four times a second; the rate is the summary's.
  // Timed by the last reading rather than a read of the session's clock, which a terminal
  // alone must not add to a recording.
  void Live() {  // under mutex
    const auto now = std::chrono::steady_clock::now();
    if (!live || now - last_live < std::chrono::milliseconds(250)) return;
    last_live = now;
    const double elapsed = static_cast<double>(last_us - start_us) / 1e6;
    std::fprintf(stderr, "\r%llu readings  %.2f/s  %llu failed  %llu gaps   ",
                 static_cast<unsigned long long>(readings),
                 elapsed > 0 ? readings / elapsed : 0.0, static_cast<unsigned long long>(failed),
                 static_cast<unsigned long long>(gaps));
  }
};

// Takes the samples and the events of one board to the output as rows, keeping the numbers of
// its summary. Its samples come one board at a time; its events on the board's own thread.
class Recorder {
 public:
  Recorder(const Session& s, Shared& shared, std::string serial,
           const std::vector<unsigned int>& channels)
      : options_(s.options), links_(s.links), shared_(shared), serial_(std::move(serial)) {
    for (unsigned int c : channels) stats_.push_back(ChannelStats{c});
  }

  bool Take(const Sample& s) {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    std::string row;
    std::uint64_t at = 0;
    if (!s.reading) {
      ++failures_[Brief(s.reading.error())];
      at = shared_.clock.NowMicroseconds();
      row = shared_.rows.Failure(At(at), s.channel, s.reading.error());
      ++shared_.failed;
      if (options_.no_reconnect) first_failure_ = s.reading.error();
    } else {
      const kavro::Reading& r = *s.reading;
      const bool numeric = options_.raw ? r.state == ReadingState::kOk : r.load.has_value();
      if (numeric) Stats(r.channel).Add(options_.raw ? static_cast<double>(r.counts) : *r.load);
      ++shared_.readings;
      row = shared_.rows.Reading(At(r.monotonic_us), r);
      shared_.last_us = std::max(shared_.last_us, at = r.monotonic_us);
    }
    if (!shared_.Put(row, at)) return false;
    shared_.Live();
    // Nothing more would be captured, or nothing more comes from the capture replayed.
    broken_ = links_.Broken();
    return !first_failure_ && broken_ == nullptr;
  }

  void Notice(const BoardEvent& e) {
    // Without reconnecting, giving up follows the loss at once and says nothing new.
    if (e.kind == BoardEventKind::kGaveUp && options_.no_reconnect) return;
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.gaps += e.kind == BoardEventKind::kDisconnected ? 1 : 0;
    shared_.Put(shared_.rows.Event(At(e.monotonic_us), e), e.monotonic_us);
  }

  RecordingEnd End(const RecordSummary& summary) const {
    RecordingEnd end{serial_, summary, stats_, failures_, ""};
    if (shared_.write_failed) {
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

  bool stopped_at_failure() const { return first_failure_.has_value(); }
  const Error& first_failure() const { return *first_failure_; }
  const std::string& serial() const { return serial_; }

 private:
  Stamp At(std::uint64_t monotonic_us) const { return shared_.At(monotonic_us, serial_); }

  ChannelStats& Stats(unsigned int channel) {
    for (ChannelStats& s : stats_) {
      if (s.channel == channel) return s;
    }
    return stats_.front();
  }

  const Options& options_;
  const Links& links_;
  Shared& shared_;
  std::string serial_;
  std::vector<ChannelStats> stats_;
  std::map<std::string, std::uint64_t> failures_;
  std::optional<Error> first_failure_;  // with --no-reconnect, what ended the recording
  const char* broken_ = nullptr;        // the link's capture stopped, or the replay departed
};

}  // namespace

int Read(const Session& s) {
  const Options& o = s.options;
  // Refused before the board is touched; nothing is opened for writing until it answers.
  if (std::string why = Files::Refusal(o); !why.empty()) return Usage(why);
  const bool rotated = o.rotate_size != 0 || o.rotate_every_us != 0;
  if (std::string why = Output::Refusal(o.output, o.append, o.force); !rotated && !why.empty())
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

  // The boards -s names: each opened with its channels, its events kept for its recorder.
  struct Recorded {
    Result<Board> board = Error{};
    std::vector<unsigned int> channels;
    std::function<void(const BoardEvent&)> to_rows;  // once the recording runs
  };
  std::vector<std::string> serials = o.serials;
  if (serials.size() == 1 && serials[0] == "all") {
    const Result<std::vector<std::string>> all = Board::List(s.links.link);
    if (!all) return Fail("cannot count boards", all.error());
    if (all->empty()) return Fail("no board attached (--emulate gives two emulated boards)");
    serials = all.value();
  } else if (serials.size() > 1 && std::find(serials.begin(), serials.end(), "all") != serials.end()) {
    return Usage("-s all names every board attached: give it alone");
  }
  if (serials.empty()) serials.push_back("");
  std::deque<Recorded> boards;  // elements stay put: the events refer to them
  int code = kExitOk;
  for (const std::string& serial : serials) {
    for (const Recorded& b : boards) {
      if (!serial.empty() && b.board->info().serial == serial)
        return Usage("-s " + serial + " is given twice");
    }
    Recorded& b = boards.emplace_back();
    OpenOptions opening = s.Opening(!o.no_reconnect);
    opening.calibrated_loads = !o.raw;
    opening.settings = SettingsPath(o);
    opening.on_event = [&b](const BoardEvent& e) {
      if (b.to_rows) b.to_rows(e);
    };
    b.board = s.OpenWaiting(serial, opening, [] { return Ending(); }, &code);
    if (!b.board && b.board.error().kind == ErrorKind::kStopped) {
      return Fail("stopped by " + SignalName() + " " + b.board.error().text +
                  "; nothing was written");
    }
    if (!b.board) return code;
    const Result<std::vector<unsigned int>> channels = s.Channels(b.board.value(), &code);
    if (!channels) return code;
    b.channels = channels.value();
  }

  if (boards.size() > 1 && (!o.capture.empty() || !o.replay.empty())) {
    return Usage(std::string(o.capture.empty() ? "--replay" : "--capture") +
                 ": the boards of one recording are read on threads of their own, in an order "
                 "no replay can repeat; capture or replay one board at a time");
  }

  FileHeader header{o.command_line, HostName(), {}, SettingsPath(o)};
  std::error_code missing;
  header.settings_found =
      !header.settings.empty() && std::filesystem::exists(header.settings, missing);
  std::map<std::string, std::vector<int>> digits;
  for (Recorded& b : boards) {
    header.boards.push_back(DescribeBoard(b.board.value(), b.channels));
    const std::string serial = b.board->info().serial;
    std::vector<int>& places = digits[serial];
    places.assign(b.board->info().channels, 0);
    for (const ChannelHeader& c : header.boards.back().channels) {
      if (o.raw) break;
      if (c.settings.calibration) {
        places[c.channel] = kUserCalibrationDigits;
        continue;
      }
      if (!c.calibration) {
        const std::string where =
            "cannot calibrate " + serial + " channel " + std::to_string(c.channel);
        const Error& e = c.calibration.error();
        if (e.kind != ErrorKind::kNotSupported) return Fail(where, e);
        return Fail(where + ": " + Describe(e) + "; record converter counts with --raw");
      }
      places[c.channel] = static_cast<int>(c.calibration->decimal_point);
    }
  }
  Rows rows(o.format, !o.raw, {}, !o.no_reconnect, !o.no_comments);
  for (const auto& [serial, places] : digits) rows.SetDigits(serial, places);
  for (std::size_t i = 0; i < boards.size() && o.tare; ++i) {
    Board& board = boards[i].board.value();
    const std::string serial = board.info().serial;
    for (ChannelHeader& c : header.boards[i].channels) {
      const Result<double> tare = board.Tare(c.channel, 10);
      if (!tare) {
        return Fail("cannot tare " + serial + " channel " + std::to_string(c.channel),
                    tare.error());
      }
      c.tare = *tare;
      c.default_tare = false;
      std::fprintf(stderr, "kavro: %s channel %u tared at %s (the mean of 10 readings)\n",
                   serial.c_str(), c.channel, rows.Load(c.channel, *tare, serial).c_str());
    }
  }

  if (Ending()) {  // while the boards were being opened: nothing to write yet
    return Fail("stopped by " + SignalName() +
                " before the recording started; nothing was written");
  }
  Files out(o);
  if (!out.Open()) return Fail(out.error());
  Shared shared(out, rows, *s.links.link);
  shared.live = platform::IsTerminal(2) &&
                (!o.output.empty() || !platform::IsTerminal(1) || o.format != Format::kTable);
  std::deque<Recorder> recorders;
  std::vector<Board*> recorded;
  for (Recorded& b : boards) {
    Recorder& r = recorders.emplace_back(s, shared, b.board->info().serial, b.channels);
    b.to_rows = [&r](const BoardEvent& e) { r.Notice(e); };
    recorded.push_back(&b.board.value());
  }

  RecordOptions recording;
  recording.channels = boards.front().channels;
  recording.all_channels = o.channels == "all";
  recording.interval_us = static_cast<std::uint64_t>(std::llround(o.interval_ms * 1000));
  recording.count = o.count;
  recording.duration_us = static_cast<std::uint64_t>(std::llround(o.duration_s * 1e6));
  recording.should_stop = [] { return Ending(); };
  if (!shared.Begin(header)) return Fail(out.error() + "; nothing was recorded");
  std::map<std::string, Recorder*> by_serial;
  for (Recorder& r : recorders) by_serial[r.serial()] = &r;
  const auto sink = [&by_serial](const Sample& x) { return by_serial[x.serial]->Take(x); };
  Result<MultiRecordSummary> summary = Error{};
  if (boards.size() == 1) {
    const Result<RecordSummary> one = Record(*recorded.front(), recording, sink);
    if (one) summary = MultiRecordSummary{{one.value()}, one.value()};
    else summary = one.error();
  } else {
    summary = Record(recorded, recording, sink);
  }
  for (Recorded& b : boards) b.to_rows = nullptr;
  if (!summary) {
    const std::string what = boards.size() == 1 ? boards.front().board->info().serial : "the boards";
    return Fail("cannot record " + what, summary.error());
  }

  if (shared.live) std::fputc('\n', stderr);
  bool written = !shared.write_failed;
  std::string text;
  std::vector<std::string> gave_up;
  for (std::size_t i = 0; i < recorders.size(); ++i) {
    const RecordingEnd end = recorders[i].End(summary->boards[i]);
    written = written && out.Write(rows.Summary(end));
    text += rows.SummaryText(end);
    if (summary->boards[i].gave_up) gave_up.push_back(end.serial);
  }
  if (recorders.size() > 1) {
    RecordingEnd total = recorders.front().End(summary->total);
    total.serial.clear();
    total.channels.clear();
    total.failures.clear();
    written = written && out.Write(rows.Summary(total, recorders.size()));
    text += rows.SummaryText(total, recorders.size());
  }
  written = out.Close() && written;
  std::fputs(text.c_str(), stderr);
  if (!written) {
    return Fail(out.error() + "; the recording ended there, and the " +
                std::to_string(shared.rows_written) + " rows written before are kept");
  }
  for (const Recorder& r : recorders) {
    if (r.stopped_at_failure())
      return Fail("stopped at the first failure (--no-reconnect)", r.first_failure());
  }
  if (!gave_up.empty()) {
    std::string names;
    for (const std::string& serial : gave_up) names += (names.empty() ? "" : ", ") + serial;
    return Fail("gave up reconnecting to " + names);
  }
  if (summary->total.readings == 0 && summary->total.errors > 0)
    return Fail("no reading succeeded");
  return kExitOk;
}

}  // namespace kavro::tool

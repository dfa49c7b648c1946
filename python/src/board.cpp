// kavro.Board: a kavro::Board with Python values and exceptions. Every call on the board runs
// with the GIL released, so other Python threads go on while it waits for the board; connection
// events and recording callbacks take the GIL back for as long as Python code runs.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "binding.h"

namespace kavro::python {

namespace {

Error Invalid(std::string text) {
  Error e;
  e.kind = ErrorKind::kInvalidArgument;
  e.text = std::move(text);
  return e;
}

// A whole number in [0, most] from Python, or kavro.InvalidArgumentError naming what it is.
unsigned int Bounded(long long value, long long most, const char* what) {
  if (value < 0 || value > most) {
    Raise(Invalid(std::string(what) + " " + std::to_string(value) + " is outside 0-" +
                  std::to_string(most)));
  }
  return static_cast<unsigned int>(value);
}
unsigned int Bounded(const py::handle& value, long long most, const char* what) {
  return Bounded(IntArg(value, what), most, what);
}
unsigned int Channel(const py::handle& channel) {
  return Bounded(channel, std::numeric_limits<int>::max(), "channel");
}
std::uint8_t Byte(const py::handle& value, const char* what) {
  return static_cast<std::uint8_t>(Bounded(value, 255, what));
}
std::uint64_t Microseconds(const py::handle& value, const char* what) {
  const double seconds = NumberArg(value, what);
  if (!(seconds >= 0) || seconds > 1e9) {
    Raise(Invalid(std::string(what) + " must be 0 to 1e9 seconds, not " + std::to_string(seconds)));
  }
  return static_cast<std::uint64_t>(std::llround(seconds * 1e6));
}
std::string Repr(const py::handle& value) { return py::repr(value).cast<std::string>(); }

// record()'s count, seconds and interval, into the options of a recording.
void Schedule(const py::object& count, const py::object& seconds, const py::object& interval,
              RecordOptions* o) {
  if (!count.is_none()) {
    const long long n = IntArg(count, "count");
    if (n < 1) Raise(Invalid("count must be 1 or more, not " + std::to_string(n)));
    o->count = static_cast<std::uint64_t>(n);
  }
  if (!seconds.is_none()) {
    o->duration_us = Microseconds(seconds, "seconds");
    if (o->duration_us == 0) Raise(Invalid("seconds must be more than 0"));
  }
  o->interval_us = Microseconds(interval, "interval");
}

// record()'s channels: one channel number, a list of them, or "all" (every channel the board has).
std::vector<unsigned int> ChannelList(const py::object& channels, unsigned int count) {
  const std::string accepts = "a channel number, a list of them or \"all\"";
  std::vector<unsigned int> list;
  if (py::isinstance<py::str>(channels)) {
    if (channels.cast<std::string>() != "all") {
      Raise(Invalid("channels must be " + accepts + ", not " + Repr(channels)));
    }
    for (unsigned int c = 0; c < count; ++c) list.push_back(c);
    return list;
  }
  if (PyIndex_Check(channels.ptr()) && !PyBool_Check(channels.ptr())) return {Channel(channels)};
  if (PyBool_Check(channels.ptr()) || py::isinstance<py::bytes>(channels) ||
      !py::isinstance<py::iterable>(channels)) {
    TypeError("channels", accepts, channels);
  }
  for (const py::handle& c : channels) list.push_back(Channel(c));
  if (list.empty()) Raise(Invalid("channels must name at least one channel"));
  return list;
}

// The setters' one rule, as everywhere: the channel first, then the value, here by keyword
// (set_sampling_rate(1, rate=9)) since both are small integers. The older order, the value first
// and positional (set_sampling_rate(9) or (9, 1)), still works and warns.
std::pair<py::object, py::object> ChannelAndValue(const std::string& method,
                                                  const std::string& value_name,
                                                  const py::args& args, py::object channel,
                                                  py::object value) {
  const std::string form = method + "(channel, " + value_name + "=...)";
  auto take_channel = [&](const py::handle& given) {
    if (!channel.is_none()) throw py::type_error(method + "() got the channel twice");
    channel = py::reinterpret_borrow<py::object>(given);
  };
  if (!value.is_none()) {
    if (args.size() > 1) throw py::type_error(method + "() takes " + form);
    if (args.size() == 1) take_channel(args[0]);
  } else {
    if (args.empty() || args.size() > 2) throw py::type_error(method + "() needs " + form);
    const std::string warning = method + "(" + value_name + ", channel) is deprecated: call " + form;
    if (PyErr_WarnEx(PyExc_DeprecationWarning, warning.c_str(), 1) != 0) {
      throw py::error_already_set();
    }
    value = args[0];
    if (args.size() == 2) take_channel(args[1]);
  }
  return {channel.is_none() ? py::int_(0) : channel, value};
}

// Connection events: handed to the application's callback and to the recordings running, as
// kavro.BoardEvent objects. A callback that raises has its exception kept and raised by the call
// that noticed the event, once the board is done with it.
struct Events {
  py::object callback;
  std::vector<py::list> recordings;
  std::optional<py::error_already_set> failure;

  ~Events() {
    py::gil_scoped_acquire gil;
    callback = py::object();
    recordings.clear();
    failure.reset();
  }
  void Deliver(const BoardEvent& e) {
    py::gil_scoped_acquire gil;
    try {
      py::object event = EventObject(e);
      for (py::list& r : recordings) r.append(event);
      if (!callback.is_none()) callback(event);
    } catch (...) {  // nothing may reach the board's thread: kept, raised by the call
      try {
        SetPythonError(std::current_exception());
        if (failure) PyErr_Clear(); else failure.emplace();
      } catch (...) {
        PyErr_Clear();
      }
    }
  }
};

// What an open board holds, shared with the calls in flight: close() from one thread never pulls
// the board from under a call running on another; the last of them closes it.
struct Held {
  Link link;
  std::atomic<bool> closing{false};  // set by close(): a recording running on it stops
  std::shared_ptr<Events> events = std::make_shared<Events>();
  Board board;

  ~Held() {
    board = Board();  // closes it while the link is still there
    py::gil_scoped_acquire gil;
    link.emulator = py::object();
  }
};

class PyBoard {
 public:
  PyBoard(const py::object& serial, const py::object& link, const py::object& reconnect,
          const py::object& on_event, const py::object& calibrated, const py::object& settings) {
    if (!serial.is_none() && !py::isinstance<py::str>(serial)) {
      TypeError("serial", "a serial number (str) or None", serial);
    }
    py::object again = reconnect;
    if (PyBool_Check(reconnect.ptr())) {
      again = TypeOf("Reconnect")(py::arg("enabled") = reconnect);
    } else if (!py::isinstance(reconnect, TypeOf("Reconnect"))) {
      TypeError("reconnect", "True, False or a kavro.Reconnect", reconnect);
    }
    auto held = std::make_shared<Held>();
    held->link = LinkFrom(link);
    held->events->callback = CallableArg(on_event, "on_event");
    calibrated_ = py::bool_(calibrated);
    OpenOptions o;
    o.link = held->link.provider;
    o.calibrated_loads = calibrated_;
    if (!settings.is_none()) {  // a str or an os.PathLike; os.fspath raises TypeError else
      o.settings = py::module_::import("os").attr("fspath")(settings).cast<std::string>();
      if (o.settings.empty()) Raise(Invalid("settings: give a settings file's path, or None"));
    }
    o.reconnect.enabled = py::bool_(again.attr("enabled"));
    o.reconnect.first_delay_us = Microseconds(again.attr("first_delay"), "first_delay");
    o.reconnect.max_delay_us = Microseconds(again.attr("max_delay"), "max_delay");
    const py::object give_up = again.attr("give_up_after"), attempts = again.attr("max_attempts");
    if (!give_up.is_none()) {
      o.reconnect.give_up_after_us = Microseconds(give_up, "give_up_after");
    }
    if (!attempts.is_none()) {
      o.reconnect.max_attempts =
          Bounded(attempts, std::numeric_limits<unsigned int>::max(), "max_attempts");
    }
    std::weak_ptr<Events> events = held->events;
    o.on_event = [events](const BoardEvent& e) {
      if (auto sink = events.lock()) sink->Deliver(e);
    };
    std::optional<std::string> name;
    if (!serial.is_none()) name = serial.cast<std::string>();
    std::optional<Result<Board>> opened;
    {
      py::gil_scoped_release nogil;
      opened.emplace(name ? Board::Open(*name, std::move(o)) : Board::OpenOnly(std::move(o)));
    }
    held->board = Unwrap(std::move(*opened));
    held_ = std::move(held);
    info_ = held_->board.info();
  }

  // Runs f on the board with the GIL released, then raises what an event callback raised.
  template <typename F>
  auto Call(F f) -> decltype(f(std::declval<Board&>())) {
    if (closed_) Raise(Invalid(info_.serial + " is closed"));
    std::shared_ptr<Held> held = held_;
    std::optional<decltype(f(held->board))> result;
    {
      py::gil_scoped_release nogil;
      result.emplace(f(held->board));
    }
    RaiseFailure(*held->events);
    return std::move(*result);
  }
  static void RaiseFailure(Events& events) {
    if (!events.failure) return;
    py::error_already_set failure = std::move(*events.failure);
    events.failure.reset();
    throw failure;
  }

  const BoardInfo& info() const { return info_; }
  bool calibrated() const { return calibrated_; }
  // The board for a recording of several: raises when it is closed.
  std::shared_ptr<Held> held() const {
    if (closed_) Raise(Invalid(info_.serial + " is closed"));
    return held_;
  }
  void Close() {
    closed_ = true;
    held_->closing = true;
    auto empty = std::make_shared<Held>();
    held_.swap(empty);
    // The old board closes here, or with the last call still running on it.
  }

  py::object Record(const py::object& channels, const py::object& count,
                    const py::object& seconds, const py::object& interval,
                    const py::object& on_sample, const py::object& keep,
                    const py::object& interrupt);

 private:
  bool calibrated_ = true;
  std::shared_ptr<Held> held_ = std::make_shared<Held>();
  BoardInfo info_;
  bool closed_ = false;
};

// The rows of a recording as they come: one per due time, a column per channel.
struct Rows {
  std::size_t width = 0;
  std::vector<std::int64_t> index, counts;
  std::vector<double> time, load;
  std::vector<std::uint8_t> valid;

  void Start(std::uint64_t k) {
    index.push_back(static_cast<std::int64_t>(k));
    time.push_back(std::numeric_limits<double>::quiet_NaN());
    counts.resize(counts.size() + width, 0);
    load.resize(load.size() + width, std::numeric_limits<double>::quiet_NaN());
    valid.resize(valid.size() + width, 0);
  }
  // Back to the rows every column has, after an allocation failed part way through a row.
  void Trim() {
    const std::size_t n = std::min({index.size(), time.size(), counts.size() / width,
                                    load.size() / width, valid.size() / width});
    index.resize(n);
    time.resize(n);
    counts.resize(n * width);
    load.resize(n * width);
    valid.resize(n * width);
  }
  void Clear() {
    index.clear();
    counts.clear();
    time.clear();
    load.clear();
    valid.clear();
  }
  // The column as a NumPy array that owns the vector's memory (no copy: a long recording may
  // have taken most of what there is).
  template <typename T>
  py::array Take(std::vector<T>& v, bool matrix, py::dtype type = py::dtype::of<T>()) const {
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(index.size())};
    if (matrix) shape.push_back(static_cast<py::ssize_t>(width));
    auto owned = std::make_unique<std::vector<T>>(std::move(v));
    const T* data = owned->data();
    py::capsule base(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
    owned.release();
    return py::array(type, shape, data, base);
  }
};

py::object PyBoard::Record(const py::object& channels, const py::object& count,
                           const py::object& seconds, const py::object& interval,
                           const py::object& on_sample, const py::object& keep_rows,
                           const py::object& interrupt) {
  if (closed_) Raise(Invalid(info_.serial + " is closed"));
  RecordOptions o;
  o.channels = ChannelList(channels, info_.channels);
  Schedule(count, seconds, interval, &o);
  CallableArg(on_sample, "on_sample");
  const bool keep = py::bool_(keep_rows);
  const std::string on_interrupt = [&] {
    if (!py::isinstance<py::str>(interrupt)) TypeError("interrupt", "\"raise\" or \"return\"", interrupt);
    return interrupt.cast<std::string>();
  }();
  if (on_interrupt != "raise" && on_interrupt != "return") {
    Raise(Invalid("interrupt must be \"raise\" or \"return\", not " + Repr(interrupt)));
  }
  std::shared_ptr<Held> held = held_;
  if (o.count == 0 && o.duration_us == 0 && held->link.virtual_time) {
    Raise(Invalid("a recording on the emulator's virtual time needs count or seconds: it would "
                  "run as fast as the processor allows, without end"));
  }

  Events& events = *held->events;
  // What stops the recording early: a signal handler's exception (Ctrl-C), one raised by a
  // callback, or an allocation that failed. Touched only with the GIL held.
  std::optional<py::error_already_set> failure;
  bool lost = false;  // an error that could not even be kept: raised as MemoryError
  auto keep_failure = [&] {  // the current C++ exception, as the recording's failure
    try {
      py::gil_scoped_acquire gil;
      SetPythonError(std::current_exception());
      if (failure) {
        PyErr_Clear();
      } else {
        failure.emplace();
      }
    } catch (...) {
      lost = true;
    }
  };
  o.should_stop = [&] {
    if (held->closing) return true;
    try {
      py::gil_scoped_acquire gil;
      if (!failure && PyErr_CheckSignals() != 0) failure.emplace();
      return failure.has_value() || events.failure.has_value();
    } catch (...) {
      lost = true;
      return true;
    }
  };

  Rows rows;
  rows.width = o.channels.size();
  std::uint64_t start_us = 0;
  double start = std::numeric_limits<double>::quiet_NaN();  // the start in seconds since the epoch
  std::size_t column = 0;
  std::vector<Sample> row;  // the row's samples, for on_sample
  const bool calls_back = !on_sample.is_none();
  auto take = [&](const Sample& s) {
    if (s.index == 0 && column == 0) start_us = s.due_us;
    if (column == 0) rows.Start(s.index);
    const std::size_t r = rows.index.size() - 1, at = r * rows.width + column;
    if (s.reading) {
      const Reading& reading = s.reading.value();
      const double since = (static_cast<double>(reading.monotonic_us) - start_us) / 1e6;
      if (std::isnan(start)) start = Timestamp(reading.wall) - since;
      if (std::isnan(rows.time[r])) rows.time[r] = since;
      if (reading.state == ReadingState::kOk) {
        rows.counts[at] = reading.counts;
        rows.valid[at] = 1;
      }
      if (reading.load) rows.load[at] = *reading.load;
    }
    if (calls_back) row.push_back(s);
    if (++column < rows.width) return true;
    column = 0;
    if (std::isnan(rows.time[r])) rows.time[r] = (s.due_us - start_us) / 1e6;
    bool go_on = true;
    if (calls_back) {
      py::gil_scoped_acquire gil;
      try {
        py::list readings;
        for (const Sample& c : row) {
          if (c.reading) {
            readings.append(ReadingObject(c.reading.value(), std::nullopt));
          } else {
            readings.append(ExceptionOf(c.reading.error()));
          }
        }
        go_on = on_sample(s.index, readings).ptr() != Py_False;
      } catch (py::error_already_set& error) {
        failure = std::move(error);
        go_on = false;
      }
      row.clear();
    }
    if (!keep) rows.Clear();
    return go_on;
  };
  // Nothing may leave the sink: what fails in it ends the recording and is raised after it.
  auto sink = [&](const Sample& s) {
    try {
      return take(s);
    } catch (...) {
      rows.Trim();
      column = 0;
      keep_failure();
      return false;
    }
  };

  py::list gaps;
  events.recordings.push_back(gaps);
  std::optional<Result<RecordSummary>> result;
  std::vector<std::optional<double>> tares;
  std::vector<py::object> calibrations;
  const double called = Timestamp(std::chrono::system_clock::now());
  try {
    py::gil_scoped_release nogil;
    for (unsigned int c : o.channels) tares.push_back(held->board.tare(c));
    result.emplace(kavro::Record(held->board, o, sink));
  } catch (...) {
    rows.Trim();
    keep_failure();
  }
  auto& recordings = events.recordings;
  for (auto it = recordings.begin(); it != recordings.end(); ++it) {
    if (it->is(gaps)) {
      recordings.erase(it);
      break;
    }
  }
  if (result && !*result) Raise(result->error());
  const RecordSummary summary = result ? result->value() : RecordSummary{};
  // The calibration of each channel that gave a load is kept by the board: no traffic.
  for (std::size_t i = 0; i < o.channels.size(); ++i) {
    bool loaded = false;
    for (std::size_t at = i; at < rows.load.size() && !loaded; at += rows.width) {
      loaded = !std::isnan(rows.load[at]);
    }
    std::optional<Result<Calibration>> c;
    if (loaded && calibrated_) {
      py::gil_scoped_release nogil;
      c.emplace(held->board.GetCalibration(o.channels[i]));
    }
    calibrations.push_back(c && *c ? TypeOf("Calibration")(
                                         (*c)->offset_reading, (*c)->fullscale_reading,
                                         (*c)->offset_load, (*c)->fullscale_load,
                                         (*c)->unit_code, (*c)->decimal_point)
                                   : py::none());
  }
  if (lost && !failure) {
    PyErr_NoMemory();
    failure.emplace();
  }
  if (!failure && events.failure) {
    failure = std::move(events.failure);
    events.failure.reset();
  }
  const bool ctrl_c = failure && failure->matches(PyExc_KeyboardInterrupt);
  const BoardInfo& i = info_;
  py::object recording = TypeOf("Recording")(
      py::arg("serial") = i.serial, py::arg("channels") = py::tuple(py::cast(o.channels)),
      py::arg("index") = rows.Take(rows.index, false), py::arg("time") = rows.Take(rows.time, false),
      py::arg("counts") = rows.Take(rows.counts, true), py::arg("load") = rows.Take(rows.load, true),
      py::arg("valid") = rows.Take(rows.valid, true, py::dtype::of<bool>()),
      py::arg("gaps") = gaps, py::arg("due_times") = summary.due_times,
      py::arg("readings") = summary.readings, py::arg("errors") = summary.errors,
      py::arg("missed") = summary.missed, py::arg("gap_time") = summary.gap_us / 1e6,
      py::arg("elapsed") = summary.elapsed_us / 1e6,
      py::arg("interrupted") = ctrl_c || held->closing, py::arg("gave_up") = summary.gave_up,
      py::arg("ended") = RecordEndName(summary.ended),
      py::arg("board_type") = i.type, py::arg("version") = py::tuple(py::cast(i.version)),
      py::arg("interval") = o.interval_us / 1e6,
      py::arg("start") = TypeOf("_utc")(std::isnan(start) ? called : start),
      py::arg("calibrations") = py::tuple(py::cast(calibrations)),
      py::arg("tares") = py::tuple(py::cast(tares)),
      py::arg("clock") = held->link.virtual_time ? "emulated" : "real");
  if (failure && !(ctrl_c && on_interrupt == "return")) {
    // The rows are not lost with the exception: they travel on it.
    PyObject_SetAttrString(failure->value().ptr(), "recording", recording.ptr());
    throw *failure;
  }
  return recording;
}

// kavro.record(): several boards on one schedule. The rows come long: one per board, channel
// and due time, as the boards' threads hand them over (one at a time); the GIL is taken only to
// ask for Ctrl-C.
py::dict RecordBoards(const py::sequence& boards, const py::object& channels,
                      const py::object& count, const py::object& seconds,
                      const py::object& interval) {
  std::vector<std::shared_ptr<Held>> held;
  std::vector<Board*> pointers;
  for (const py::handle& b : boards) {
    if (!py::isinstance<PyBoard>(b)) TypeError("boards", "a list of kavro.Board", b);
    held.push_back(b.cast<PyBoard&>().held());
    pointers.push_back(&held.back()->board);
  }
  RecordOptions o;
  if (py::isinstance<py::str>(channels) && channels.cast<std::string>() == "all") {
    o.all_channels = true;
  } else {
    o.channels = ChannelList(channels, 0);
  }
  Schedule(count, seconds, interval, &o);
  const bool virtual_time = !held.empty() && held.front()->link.virtual_time;
  if (o.count == 0 && o.duration_us == 0 && virtual_time) {
    Raise(Invalid("a recording on the emulator's virtual time needs count or seconds: it would "
                  "run as fast as the processor allows, without end"));
  }
  std::optional<py::error_already_set> failure;
  o.should_stop = [&] {
    for (const auto& h : held) {
      if (h->closing) return true;
    }
    py::gil_scoped_acquire gil;
    if (!failure && PyErr_CheckSignals() != 0) failure.emplace();
    return failure.has_value();
  };
  std::vector<std::string> serials;
  for (Board* b : pointers) serials.push_back(b->info().serial);
  std::vector<long long> board, index, channel, counts;
  std::vector<double> time, load;
  std::vector<bool> valid;
  std::vector<std::string> error;
  std::uint64_t start_us = 0;
  bool started = false;
  const double called = Timestamp(std::chrono::system_clock::now());
  auto sink = [&](const Sample& s) {
    if (!started) {
      start_us = s.due_us - s.index * o.interval_us;
      started = true;
    }
    long long at = 0;
    while (serials[static_cast<std::size_t>(at)] != s.serial) ++at;
    board.push_back(at);
    index.push_back(static_cast<long long>(s.index));
    channel.push_back(s.channel);
    const bool ok = s.reading && s.reading->state == ReadingState::kOk;
    const std::uint64_t when = s.reading ? s.reading->monotonic_us : s.due_us;
    time.push_back((static_cast<double>(when) - static_cast<double>(start_us)) / 1e6);
    counts.push_back(ok ? s.reading->counts : 0);
    load.push_back(s.reading && s.reading->load ? *s.reading->load
                                                : std::numeric_limits<double>::quiet_NaN());
    valid.push_back(ok);
    error.push_back(s.reading ? "" : s.reading.error().Describe());
    return true;
  };
  std::vector<py::list> gaps(held.size());
  for (std::size_t i = 0; i < held.size(); ++i) held[i]->events->recordings.push_back(gaps[i]);
  std::optional<Result<MultiRecordSummary>> result;
  {
    py::gil_scoped_release nogil;
    result.emplace(kavro::Record(pointers, o, sink));
  }
  for (std::size_t i = 0; i < held.size(); ++i) {
    auto& recordings = held[i]->events->recordings;
    for (auto it = recordings.begin(); it != recordings.end(); ++it) {
      if (it->is(gaps[i])) {
        recordings.erase(it);
        break;
      }
    }
  }
  for (const auto& h : held) PyBoard::RaiseFailure(*h->events);
  if (failure) throw *failure;
  if (!*result) Raise(result->error());
  const MultiRecordSummary& summary = result->value();
  auto line = [](const RecordSummary& s) {
    return py::dict(py::arg("serial") = s.serial, py::arg("due_times") = s.due_times,
                    py::arg("readings") = s.readings, py::arg("errors") = s.errors,
                    py::arg("missed") = s.missed, py::arg("gaps") = s.gaps,
                    py::arg("gap_time") = s.gap_us / 1e6, py::arg("elapsed") = s.elapsed_us / 1e6,
                    py::arg("ended") = RecordEndName(s.ended));
  };
  py::list lines;
  for (std::size_t i = 0; i < summary.boards.size(); ++i) {
    py::dict d = line(summary.boards[i]);
    d["gap_events"] = gaps[i];
    lines.append(d);
  }
  return py::dict(py::arg("serials") = py::tuple(py::cast(serials)),
                  py::arg("board") = py::cast(board), py::arg("index") = py::cast(index),
                  py::arg("channel") = py::cast(channel), py::arg("time") = py::cast(time),
                  py::arg("counts") = py::cast(counts), py::arg("load") = py::cast(load),
                  py::arg("valid") = py::cast(valid), py::arg("error") = py::cast(error),
                  py::arg("boards") = lines, py::arg("total") = line(summary.total),
                  py::arg("interval") = o.interval_us / 1e6, py::arg("start") = called,
                  py::arg("clock") = virtual_time ? "emulated" : "real");
}

}  // namespace

void BindBoard(py::module_& m) {
  py::class_<PyBoard>(m, "Board", R"(One board, opened by serial number (use kavro.open()).

Calls wait for the board with the GIL released. A board whose cable is pulled reports
kavro.DisconnectedError, reopens itself (unless reconnect is off) and sets its converter
configuration again. Use it as a context manager, or call close().)")
      .def(py::init<const py::object&, const py::object&, const py::object&, const py::object&,
                    const py::object&, const py::object&>(),
           py::arg("serial"), py::arg("link"), py::arg("reconnect"), py::arg("on_event"),
           py::arg("calibrated"), py::arg("settings") = py::none(),
           "Opens a board; kavro.open() is the way to call this.")
      .def_property_readonly(
          "serial", [](const PyBoard& b) { return b.info().serial; }, "The board's serial number.")
      .def_property_readonly(
          "type", [](const PyBoard& b) { return b.info().type; },
          "The board type (the first version field).")
      .def_property_readonly(
          "version", [](const PyBoard& b) { return py::tuple(py::cast(b.info().version)); },
          "The five version fields as numbers.")
      .def_property_readonly(
          "channels", [](const PyBoard& b) { return b.info().channels; },
          "How many channels the board has (type 9: those that answer).")
      .def_property_readonly(
          "link",
          [](PyBoard& b) { return b.Call([](Board& board) { return board.link_description(); }); },
          "The link the board is reached through: \"vendor D2XX library\", \"libftdi1\", "
          "\"board emulator\".")
      .def_property_readonly(
          "connected",
          [](PyBoard& b) { return b.Call([](Board& board) { return board.connected(); }); },
          "False after the link went away, until a reopen succeeds.")
      .def(
          "read",
          [](PyBoard& b, const py::object& channel) {
            const unsigned int ch = Channel(channel);
            std::optional<unsigned int> unit;
            Reading r = Unwrap(b.Call([&](Board& board) {
              Result<Reading> reading = board.Read(ch);
              if (reading && reading->load) {  // the calibration is there: no traffic
                if (auto c = board.GetCalibration(ch)) unit = c->unit_code;
              }
              return reading;
            }));
            return ReadingObject(r, unit);
          },
          py::arg("channel") = 0,
          "Takes one reading of a channel: a kavro.Reading with counts, calibrated load (tare "
          "applied), unit code and time.")
      .def(
          "calibration",
          [](PyBoard& b, const py::object& channel, bool refresh) {
            const unsigned int ch = Channel(channel);
            Calibration c = Unwrap(b.Call([&](Board& board) -> Result<Calibration> {
              if (refresh) {
                if (Status s = board.RefreshCalibration(ch); !s) return s.error();
              }
              return board.GetCalibration(ch);
            }));
            return TypeOf("Calibration")(c.offset_reading, c.fullscale_reading, c.offset_load,
                                         c.fullscale_load, c.unit_code, c.decimal_point);
          },
          py::arg("channel") = 0, py::arg("refresh") = false,
          "The channel's calibration record (a kavro.Calibration), read once and kept; "
          "refresh=True reads it from the board again.")
      .def(
          "tare",
          [](PyBoard& b, const py::object& channel, const py::object& samples) {
            const unsigned int ch = Channel(channel);
            const unsigned int n = Bounded(samples, 1'000'000, "samples");
            return Unwrap(b.Call([&](Board& board) { return board.Tare(ch, n); }));
          },
          py::arg("channel") = 0, py::arg("samples") = 10,
          "Zeroes a channel: the mean calibrated load of `samples` readings becomes the tare, "
          "taken off every later load until clear_tare(). Returns the tare.")
      .def(
          "clear_tare",
          [](PyBoard& b, const py::object& channel) {
            const unsigned int ch = Channel(channel);
            b.Call([&](Board& board) {
              board.ClearTare(ch);
              return 0;
            });
          },
          py::arg("channel") = 0, "Forgets the channel's tare: loads are absolute again.")
      .def(
          "current_tare",
          [](PyBoard& b, const py::object& channel) {
            const unsigned int ch = Channel(channel);
            return b.Call([&](Board& board) { return board.tare(ch); });
          },
          py::arg("channel") = 0, "The channel's tare, or None when it has none.")
      .def(
          "converter",
          [](PyBoard& b, const py::object& channel) {
            const unsigned int ch = Channel(channel);
            ConverterConfig c =
                Unwrap(b.Call([&](Board& board) { return board.GetConverterConfig(ch); }));
            return TypeOf("ConverterConfig")(c.rate, c.upper);
          },
          py::arg("channel") = 0,
          "The converter configuration of a channel (all channels but on type 9) as the board "
          "holds it: a kavro.ConverterConfig with rate code and upper field.")
      .def(
          "set_sampling_rate",
          [](PyBoard& b, const py::args& args, const py::object& channel, const py::object& rate) {
            auto [ch_arg, rate_arg] = ChannelAndValue("set_sampling_rate", "rate", args, channel, rate);
            const unsigned int ch = Channel(ch_arg);
            const std::uint8_t code = Byte(rate_arg, "rate");
            Unwrap(b.Call([&](Board& board) { return board.SetSamplingRate(code, ch); }));
          },
          py::arg("channel") = py::none(), py::arg("rate") = py::none(),
          "set_sampling_rate(channel=0, rate=code): sets the sampling-rate code (0-15), keeping "
          "the upper field. Applied again after a reconnect. The older order, the code first "
          "(set_sampling_rate(code, channel)), still works with a DeprecationWarning.")
      .def(
          "set_converter_byte",
          [](PyBoard& b, const py::args& args, const py::object& channel, const py::object& value) {
            auto [ch_arg, value_arg] =
                ChannelAndValue("set_converter_byte", "value", args, channel, value);
            const unsigned int ch = Channel(ch_arg);
            const std::uint8_t byte = Byte(value_arg, "value");
            Unwrap(b.Call([&](Board& board) { return board.SetConverterByte(byte, ch); }));
          },
          py::arg("channel") = py::none(), py::arg("value") = py::none(),
          "set_converter_byte(channel=0, value=byte): sets the whole converter configuration "
          "byte (upper field * 16 + rate code). Applied again after a reconnect. The older "
          "order, the byte first, still works with a DeprecationWarning.")
      .def(
          "eeprom_register",
          [](PyBoard& b, const py::object& address) {
            const std::uint8_t a = Byte(address, "address");
            auto r = Unwrap(b.Call([&](Board& board) { return board.ReadEepromRegister(a); }));
            return py::bytes(reinterpret_cast<const char*>(r.data()), r.size());
          },
          py::arg("address"), "The three bytes (b0, b1, b2) of an EEPROM register.")
      .def(
          "channel_register",
          [](PyBoard& b, const py::object& channel, const py::object& address) {
            const unsigned int ch = Channel(channel);
            const std::uint8_t a = Byte(address, "address");
            auto r = Unwrap(b.Call([&](Board& board) { return board.ReadChannelRegister(ch, a); }));
            return py::bytes(reinterpret_cast<const char*>(r.data()), r.size());
          },
          py::arg("channel"), py::arg("address"),
          "The three bytes (b0, b1, b2) of a channel register.")
      .def(
          "reset", [](PyBoard& b) { Unwrap(b.Call([](Board& board) { return board.Reset(); })); },
          "Restarts the board.")
      .def(
          "ping", [](PyBoard& b) { Unwrap(b.Call([](Board& board) { return board.Ping(); })); },
          "Asks the board whether it is there (the activity inquiry); raises when it is not.")
      .def("record", &PyBoard::Record, py::arg("channels") = 0, py::kw_only(),
           py::arg("count") = py::none(), py::arg("seconds") = py::none(),
           py::arg("interval") = 0.1, py::arg("on_sample") = py::none(), py::arg("keep") = true,
           py::arg("interrupt") = "raise",
           R"(Records readings of one or more channels at a fixed interval.

The k-th row is due `interval` * k seconds after the start, on the board's clock, so nothing
drifts; due times that passed during a stall are skipped and counted in `missed`. Stops after
`count` rows or `seconds`, when on_sample returns False, when reconnecting gives up, when
close() is called from another thread, or on Ctrl-C. Neither count nor seconds: until one of
the others (not on the emulator's virtual time, where it would never end: ValueError).
channels: a channel number, a list of them, or "all". on_sample(index, readings) is called for
every row with a kavro.Reading, or the exception, per channel; keep=False keeps no rows.
Returns a kavro.Recording: NumPy arrays, the recording's metadata and the connection events.

An exception raised by on_sample or the board's on_event, Ctrl-C (KeyboardInterrupt) and
MemoryError end the recording and are raised with the rows taken so far as their `recording`
attribute. interrupt="return": Ctrl-C returns the recording instead, with `interrupted` True
(as close() does).)")
      .def("close", &PyBoard::Close,
           "Closes the board (also done by the with statement and when it is collected). Calls "
           "after it raise kavro.InvalidArgumentError; closing again does nothing.")
      .def(
          "__enter__", [](py::object self) { return self; }, "The board itself.")
      .def(
          "__exit__", [](PyBoard& b, const py::args&) { b.Close(); }, "Closes the board.")
      .def("__repr__", [](const PyBoard& b) {
        const BoardInfo& i = b.info();
        return "<kavro.Board " + i.serial + " type " + std::to_string(i.type) + ", " +
               std::to_string(i.channels) + (i.channels == 1 ? " channel>" : " channels>");
      });

  m.def(
      "list_boards",
      [](const py::object& link) {
        Link chosen = LinkFrom(link);
        std::optional<Result<std::vector<std::string>>> serials;
        {
          py::gil_scoped_release nogil;
          serials.emplace(Board::List(chosen.provider));
        }
        return Unwrap(std::move(*serials));
      },
      py::arg("link") = py::none(), "The serial numbers of the boards on a link.");
  m.def("record_boards", &RecordBoards, py::arg("boards"), py::arg("channels"), py::arg("count"),
        py::arg("seconds"), py::arg("interval"),
        "Several boards on one schedule (kavro.record() gives the rows as a MultiRecording).");
}

}  // namespace kavro::python

// kavro.Board: a kavro::Board with Python values and exceptions. Every call on the board runs
// with the GIL released, so other Python threads go on while it waits for the board; connection
// events and recording callbacks take the GIL back for as long as Python code runs.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

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
unsigned int Channel(long long channel) {
  return Bounded(channel, std::numeric_limits<int>::max(), "channel");
}
std::uint8_t Byte(long long value, const char* what) {
  return static_cast<std::uint8_t>(Bounded(value, 255, what));
}
std::uint64_t Microseconds(double seconds, const char* what) {
  if (!(seconds >= 0) || seconds > 1e9) {
    Raise(Invalid(std::string(what) + " must be 0 to 1e9 seconds, not " + std::to_string(seconds)));
  }
  return static_cast<std::uint64_t>(std::llround(seconds * 1e6));
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
    } catch (py::error_already_set& error) {
      if (!failure) failure = std::move(error);
    }
  }
};

// What an open board holds, shared with the calls in flight: close() from one thread never pulls
// the board from under a call running on another; the last of them closes it.
struct Held {
  Link link;
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
          const py::object& on_event, bool calibrated) {
    auto held = std::make_shared<Held>();
    held->link = LinkFrom(link);
    held->events->callback = on_event;
    OpenOptions o;
    o.link = held->link.provider;
    o.clock = held->link.clock;
    o.calibrated_loads = calibrated;
    o.reconnect.enabled = reconnect.attr("enabled").cast<bool>();
    o.reconnect.first_delay_us =
        Microseconds(reconnect.attr("first_delay").cast<double>(), "first_delay");
    o.reconnect.max_delay_us =
        Microseconds(reconnect.attr("max_delay").cast<double>(), "max_delay");
    o.reconnect.give_up_after_us = Microseconds(
        reconnect.attr("give_up_after").cast<std::optional<double>>().value_or(0), "give_up_after");
    o.reconnect.max_attempts =
        Bounded(reconnect.attr("max_attempts").cast<std::optional<long long>>().value_or(0),
                std::numeric_limits<unsigned int>::max(), "max_attempts");
    std::weak_ptr<Events> events = held->events;
    o.on_event = [events](const BoardEvent& e) {
      if (auto sink = events.lock()) sink->Deliver(e);
    };
    const std::optional<std::string> name = serial.cast<std::optional<std::string>>();
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
  void Close() {
    closed_ = true;
    auto empty = std::make_shared<Held>();
    held_.swap(empty);
    // The old board closes here, or with the last call still running on it.
  }

  py::object Record(const py::object& channels, std::optional<long long> count,
                    std::optional<double> seconds, double interval, const py::object& on_sample,
                    bool keep);

 private:
  std::shared_ptr<Held> held_ = std::make_shared<Held>();
  BoardInfo info_;
  bool closed_ = false;
};

// The rows of a recording as they come: one per due time, a column per channel.
struct Rows {
  std::size_t width = 0;
  std::vector<std::int64_t> index, counts;
  std::vector<double> time, load;
  std::vector<bool> valid;

  void Start(std::uint64_t k) {
    index.push_back(static_cast<std::int64_t>(k));
    time.push_back(std::numeric_limits<double>::quiet_NaN());
    counts.resize(counts.size() + width, 0);
    load.resize(load.size() + width, std::numeric_limits<double>::quiet_NaN());
    valid.resize(valid.size() + width, false);
  }
  void Clear() {
    index.clear();
    counts.clear();
    time.clear();
    load.clear();
    valid.clear();
  }
  template <typename T>
  py::array_t<T> Array(const std::vector<T>& v, bool matrix) const {
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(index.size())};
    if (matrix) shape.push_back(static_cast<py::ssize_t>(width));
    return py::array_t<T>(shape, v.data());
  }
};

py::object PyBoard::Record(const py::object& channels, std::optional<long long> count,
                           std::optional<double> seconds, double interval,
                           const py::object& on_sample, bool keep) {
  RecordOptions o;
  o.channels.clear();
  if (py::isinstance<py::int_>(channels)) {
    o.channels.push_back(Channel(channels.cast<long long>()));
  } else {
    for (const py::handle& c : channels) o.channels.push_back(Channel(c.cast<long long>()));
  }
  if (count) o.count = Bounded(*count, std::numeric_limits<long long>::max(), "count");
  if (count && *count == 0) Raise(Invalid("count must be 1 or more"));
  if (seconds) o.duration_us = Microseconds(*seconds, "seconds");
  if (seconds && o.duration_us == 0) Raise(Invalid("seconds must be more than 0"));
  o.interval_us = Microseconds(interval, "interval");

  if (closed_) Raise(Invalid(info_.serial + " is closed"));
  std::shared_ptr<Held> held = held_;
  Events& events = *held->events;
  // What stops the recording early: a signal handler's exception (Ctrl-C), or one raised by a
  // callback. Touched only with the GIL held.
  std::optional<py::error_already_set> failure;
  o.should_stop = [&] {
    py::gil_scoped_acquire gil;
    if (!failure && PyErr_CheckSignals() != 0) failure.emplace();
    return failure.has_value() || events.failure.has_value();
  };

  Rows rows;
  rows.width = o.channels.size();
  std::uint64_t start_us = 0;
  std::size_t column = 0;
  std::vector<Sample> row;  // the row's samples, for on_sample
  const bool calls_back = !on_sample.is_none();
  auto sink = [&](const Sample& s) {
    if (s.index == 0 && column == 0) start_us = s.due_us;
    if (column == 0) rows.Start(s.index);
    const std::size_t r = rows.index.size() - 1, at = r * rows.width + column;
    if (s.reading) {
      const Reading& reading = s.reading.value();
      if (std::isnan(rows.time[r])) rows.time[r] = (reading.monotonic_us - start_us) / 1e6;
      if (reading.state == ReadingState::kOk) {
        rows.counts[at] = reading.counts;
        rows.valid[at] = true;
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

  py::list gaps;
  events.recordings.push_back(gaps);
  std::optional<Result<RecordSummary>> result;
  {
    py::gil_scoped_release nogil;
    result.emplace(kavro::Record(held->board, o, sink));
  }
  auto& recordings = events.recordings;
  for (auto it = recordings.begin(); it != recordings.end(); ++it) {
    if (it->is(gaps)) {
      recordings.erase(it);
      break;
    }
  }
  const RecordSummary summary = Unwrap(std::move(*result));
  if (!failure && events.failure) {
    failure = std::move(events.failure);
    events.failure.reset();
  }
  bool interrupted = false;
  if (failure) {
    if (!failure->matches(PyExc_KeyboardInterrupt)) throw *failure;
    interrupted = true;  // Ctrl-C ends the recording; what was taken is kept
  }
  return TypeOf("Recording")(
      py::arg("serial") = info_.serial, py::arg("channels") = py::tuple(py::cast(o.channels)),
      py::arg("index") = rows.Array(rows.index, false),
      py::arg("time") = rows.Array(rows.time, false),
      py::arg("counts") = rows.Array(rows.counts, true),
      py::arg("load") = rows.Array(rows.load, true),
      py::arg("valid") =
          rows.Array(std::vector<std::uint8_t>(rows.valid.begin(), rows.valid.end()), true)
              .attr("astype")("bool"),
      py::arg("gaps") = gaps, py::arg("due_times") = summary.due_times,
      py::arg("readings") = summary.readings, py::arg("errors") = summary.errors,
      py::arg("missed") = summary.missed, py::arg("gap_time") = summary.gap_us / 1e6,
      py::arg("elapsed") = summary.elapsed_us / 1e6, py::arg("interrupted") = interrupted,
      py::arg("gave_up") = summary.gave_up, py::arg("ended") = RecordEndName(summary.ended));
}

}  // namespace

void BindBoard(py::module_& m) {
  py::class_<PyBoard>(m, "Board", R"(One board, opened by serial number (use kavro.open()).

Calls wait for the board with the GIL released. A board whose cable is pulled reports
kavro.DisconnectedError, reopens itself (unless reconnect is off) and sets its converter
configuration again. Use it as a context manager, or call close().)")
      .def(py::init<const py::object&, const py::object&, const py::object&, const py::object&,
                    bool>(),
           py::arg("serial"), py::arg("link"), py::arg("reconnect"), py::arg("on_event"),
           py::arg("calibrated"), "Opens a board; kavro.open() is the way to call this.")
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
          [](PyBoard& b, long long channel) {
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
          [](PyBoard& b, long long channel, bool refresh) {
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
          [](PyBoard& b, long long channel, long long samples) {
            const unsigned int ch = Channel(channel);
            const unsigned int n = Bounded(samples, 1'000'000, "samples");
            return Unwrap(b.Call([&](Board& board) { return board.Tare(ch, n); }));
          },
          py::arg("channel") = 0, py::arg("samples") = 10,
          "Zeroes a channel: the mean calibrated load of `samples` readings becomes the tare, "
          "taken off every later load until clear_tare(). Returns the tare.")
      .def(
          "clear_tare",
          [](PyBoard& b, long long channel) {
            const unsigned int ch = Channel(channel);
            b.Call([&](Board& board) {
              board.ClearTare(ch);
              return 0;
            });
          },
          py::arg("channel") = 0, "Forgets the channel's tare: loads are absolute again.")
      .def(
          "current_tare",
          [](PyBoard& b, long long channel) {
            const unsigned int ch = Channel(channel);
            return b.Call([&](Board& board) { return board.tare(ch); });
          },
          py::arg("channel") = 0, "The channel's tare, or None when it has none.")
      .def(
          "converter",
          [](PyBoard& b, long long channel) {
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
          [](PyBoard& b, long long rate, long long channel) {
            const std::uint8_t code = Byte(rate, "rate code");
            const unsigned int ch = Channel(channel);
            Unwrap(b.Call([&](Board& board) { return board.SetSamplingRate(code, ch); }));
          },
          py::arg("rate"), py::arg("channel") = 0,
          "Sets the sampling-rate code (0-15), keeping the upper field. Applied again after a "
          "reconnect.")
      .def(
          "set_converter_byte",
          [](PyBoard& b, long long value, long long channel) {
            const std::uint8_t byte = Byte(value, "configuration byte");
            const unsigned int ch = Channel(channel);
            Unwrap(b.Call([&](Board& board) { return board.SetConverterByte(byte, ch); }));
          },
          py::arg("value"), py::arg("channel") = 0,
          "Sets the whole converter configuration byte (upper field * 16 + rate code). Applied "
          "again after a reconnect.")
      .def(
          "eeprom_register",
          [](PyBoard& b, long long address) {
            const std::uint8_t a = Byte(address, "address");
            auto r = Unwrap(b.Call([&](Board& board) { return board.ReadEepromRegister(a); }));
            return py::bytes(reinterpret_cast<const char*>(r.data()), r.size());
          },
          py::arg("address"), "The three bytes (b0, b1, b2) of an EEPROM register.")
      .def(
          "channel_register",
          [](PyBoard& b, long long channel, long long address) {
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
           R"(Records readings of one or more channels at a fixed interval.

The k-th row is due `interval` * k seconds after the start, on the board's clock, so nothing
drifts; due times that passed during a stall are skipped and counted in `missed`. Stops after
`count` rows or `seconds`, when on_sample returns False, when reconnecting gives up, or on
Ctrl-C (then `interrupted` is True and the rows so far are kept). Neither count nor seconds:
until one of the others. on_sample(index, readings) is called for every row with a
kavro.Reading, or the exception, per channel; keep=False keeps no rows (long logs).
Returns a kavro.Recording: NumPy arrays and the connection events in between.)")
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
}

}  // namespace kavro::python

// kavro.Emulator: the board emulator's virtual USB bus, with the ready-made boards, boards of
// one's own, scripted reply faults, failing D2XX calls and unplugging, on virtual or real time.
#include <pybind11/stl.h>

#include <cmath>
#include <optional>

#include "binding.h"

namespace kavro::python {

namespace {

using Fault = emu::ReplyFault;

constexpr struct {
  const char* name;
  Fault::Kind kind;
} kFaults[] = {
    {"pass", Fault::kNone},
    {"drop", Fault::kDrop},
    {"hold", Fault::kHold},
    {"corrupt_number", Fault::kCorruptNumber},
    {"corrupt_length", Fault::kCorruptLength},
    {"corrupt_code", Fault::kCorruptCode},
    {"corrupt_trailer", Fault::kCorruptTrailer},
    {"prefix_ff", Fault::kPrefixFF},
    {"error_reply", Fault::kErrorReply},
    {"append", Fault::kAppend},
    {"replace", Fault::kReplace},
    {"truncate", Fault::kTruncate},
    {"flood", Fault::kFlood},
};

[[noreturn]] void Invalid(const std::string& text) {
  Error e;
  e.kind = ErrorKind::kInvalidArgument;
  e.text = text;
  Raise(e);
}

// Runs fn on the device with that serial number, under the bus's lock.
void OnDevice(Emulator& e, const std::string& serial,
              const std::function<void(emu::VirtualBus::Device&)>& fn) {
  if (!e.bus.WithDevice(serial, fn)) Invalid("the emulator has no board " + serial);
}

std::uint64_t Micros(double seconds) {
  if (!(seconds >= 0) || seconds > 1e9)
    Invalid("a time of 0 to 1e9 seconds, not " + std::to_string(seconds));
  return static_cast<std::uint64_t>(std::llround(seconds * 1e6));
}

void AddBoard(Emulator& e, const std::string& serial, unsigned int type,
              std::optional<unsigned int> channels, std::optional<double> counts,
              std::optional<std::int32_t> offset_reading,
              std::optional<std::int32_t> fullscale_reading, std::uint16_t offset_load,
              std::uint16_t fullscale_load, std::uint8_t unit_code, std::uint8_t decimal_point,
              double latency, const std::string& description) {
  if (serial.empty() || serial.size() >= kSerialNumberSize)
    Invalid("a serial number has 1 to 15 characters");
  if (type > 255) Invalid("a board type is 0-255");
  emu::VirtualBoard b(type, channels.value_or(type == kBoardTypeChannelRegisters ? 4 : 1));
  b.reply_latency_us = Micros(latency);
  for (unsigned int ch = 0; ch < b.channels.size(); ++ch) {
    emu::Channel& c = b.channels[ch];
    if (offset_reading) c.offset_reading = *offset_reading;
    if (fullscale_reading) c.fullscale_reading = *fullscale_reading;
    if (counts) c.signal = {emu::Signal::kConstant, *counts, 0, 1};
    b.SetCalibration(ch, offset_load, fullscale_load, unit_code, decimal_point);
  }
  e.bus.AddDevice(serial, std::move(b), description);
}

void AddFault(Emulator& e, const std::string& serial, const std::string& kind, unsigned int times,
              double delay, const py::object& code, const py::bytes& data, unsigned int size) {
  Fault f;
  const auto* found = std::find_if(std::begin(kFaults), std::end(kFaults),
                                   [&](const auto& k) { return kind == k.name; });
  if (found == std::end(kFaults)) Invalid("no reply fault called '" + kind + "'");
  f.kind = found->kind;
  f.delay_us = Micros(delay);
  if (py::isinstance<py::str>(code)) {
    const std::string c = code.cast<std::string>();
    if (c.size() != 1) Invalid("an error code is one character or a byte value");
    f.error_code = static_cast<std::uint8_t>(c[0]);
  } else {
    const long long value = IntArg(code, "code");
    if (value < 0 || value > 255) Invalid("an error code is one character or a byte value");
    f.error_code = static_cast<std::uint8_t>(value);
  }
  const std::string bytes = data;
  f.bytes.assign(bytes.begin(), bytes.end());
  f.count = size;
  OnDevice(e, serial, [&](emu::VirtualBus::Device& d) {
    d.board.faults.insert(d.board.faults.end(), times, f);
  });
}

}  // namespace

void BindEmulator(py::module_& m) {
  py::class_<Emulator>(m, "Emulator", R"(Emulated boards on a virtual USB bus, to pass as link=.

The boards speak the board's protocol behind emulated FTDI bridges, so everything from
kavro.open() down runs as it would on hardware. Time is virtual unless real_time=True: a
recording of an hour or a reply that never comes takes no time. ready_made=True adds
KAVRO-0001 (type 3, one channel, a sine load, calibrated 0 to 500.0, unit code 2) and
KAVRO-0009 (type 9, four channels).)")
      .def(py::init([](bool real_time, bool ready_made) {
             auto e = std::make_unique<Emulator>(real_time);
             if (ready_made) emu::AddReadyMadeBoards(e->bus);
             return e;
           }),
           py::arg("real_time") = false, py::arg("ready_made") = true,
           "A bus on virtual time (real_time=False) or the real clock, with the ready-made "
           "boards unless ready_made=False.")
      .def("add_board", &AddBoard, py::arg("serial"), py::arg("board_type") = 3,
           py::arg("channels") = py::none(), py::kw_only(), py::arg("counts") = py::none(),
           py::arg("offset_reading") = py::none(), py::arg("fullscale_reading") = py::none(),
           py::arg("offset_load") = 0, py::arg("fullscale_load") = 5000, py::arg("unit_code") = 1,
           py::arg("decimal_point") = 1, py::arg("latency") = 0.0015,
           py::arg("description") = "KAVRO USB Interface",
           "Plugs in a board of a type (4 channels on type 9, else 1 unless given), reading a "
           "constant `counts` if given, with its calibration stored on every channel.")
      .def(
          "unplug",
          [](Emulator& e, const std::string& serial) {
            if (!e.bus.Unplug(serial)) Invalid("no board " + serial + " is plugged in");
          },
          py::arg("serial"),
          "Pulls a board's cable: calls on it fail until it is plugged in again.")
      .def(
          "replug",
          [](Emulator& e, const std::string& serial) {
            if (!e.bus.Replug(serial)) Invalid("no board " + serial + " is unplugged");
          },
          py::arg("serial"), "Plugs an unplugged board in again, freshly powered.")
      .def(
          "schedule_unplug",
          [](Emulator& e, const std::string& serial, double after, double duration) {
            e.bus.ScheduleUnplug(serial, Micros(after), Micros(duration));
          },
          py::arg("serial"), py::arg("after"), py::arg("duration"),
          "Unplugs a board `after` seconds from now on the emulator's clock, for `duration` "
          "seconds.")
      .def("reply_fault", &AddFault, py::arg("serial"), py::arg("kind"), py::arg("times") = 1,
           py::kw_only(), py::arg("delay") = 0.0, py::arg("code") = py::str("M"),
           py::arg("data") = py::bytes(), py::arg("size") = 0,
           R"(Spoils the board's next `times` replies, one fault per reply, in the order given.

kind: "drop" (never comes), "hold" (comes `delay` seconds late), "corrupt_number",
"corrupt_length", "corrupt_code", "corrupt_trailer", "prefix_ff", "error_reply" (an error reply
with `code`: "L" is the TEDS error), "append" / "replace" (`data`), "truncate" (first `size`
bytes), "flood" (`size` junk bytes after it), or "pass" (a reply left as it is).)")
      .def(
          "fail_call",
          [](Emulator& e, const std::string& function, unsigned int status, unsigned int nth,
             bool every) {
            emu::Call call;
            if (!emu::CallFromName(function, &call)) Invalid("no D2XX function " + function);
            if (every) {
              e.bus.FailEveryCall(call, status);
            } else {
              e.bus.FailCall(call, status, nth);
            }
          },
          py::arg("function"), py::arg("status"), py::arg("nth") = 1, py::arg("every") = false,
          "Makes the nth next call of a D2XX function (\"FT_OpenEx\", \"FT_Read\", ...) fail "
          "with a D2XX status, or every call until clear_faults().")
      .def(
          "clear_faults",
          [](Emulator& e) {
            e.bus.ClearFaults();
            for (std::size_t i = 0; i < e.bus.device_count(); ++i) {
              e.bus.WithDevice(e.bus.device(i).serial,
                               [](emu::VirtualBus::Device& d) { d.board.faults.clear(); });
            }
          },
          "Forgets the failing calls and every board's reply faults.")
      .def_property_readonly(
          "time", [](Emulator& e) { return e.bus.now_us() / 1e6; },
          "The emulator's clock in seconds (virtual time, or real time since it was made).")
      .def(
          "sleep",
          [](Emulator& e, double seconds) {
            const std::uint64_t us = Micros(seconds);
            py::gil_scoped_release nogil;
            const std::uint64_t until = e.bus.NowMicroseconds() + us;
            while (e.bus.NowMicroseconds() < until) e.bus.SleepUntil(until);
          },
          py::arg("seconds"),
          "Lets time pass on the emulator's clock (at once on virtual time), carrying out the "
          "scheduled unplugs on the way.");
}

}  // namespace kavro::python

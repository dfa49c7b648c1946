// The _kavro extension module: the typed API, the board emulator and the compatibility class for
// the kavro package. Errors become the package's exceptions; values become its data classes.
#include <pybind11/stl.h>

#include "binding.h"

namespace kavro::python {

py::object TypeOf(const char* name) {
  return py::module_::import("kavro._types").attr(name);
}

py::object ExceptionOf(const Error& error) {
  return TypeOf("error_from")(ErrorKindName(error.kind), error.text, error.status, error.hint);
}

void Raise(const Error& error) {
  py::object exception = ExceptionOf(error);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
  throw py::error_already_set();
}

double Timestamp(std::chrono::system_clock::time_point wall) {
  return std::chrono::duration<double>(wall.time_since_epoch()).count();
}

py::object ReadingObject(const Reading& r, std::optional<unsigned int> unit_code) {
  static constexpr const char* kStates[] = {
      "ok",         "positive overflow", "negative overflow", "converter fault",
      "unassigned", "unrecognised"};
  py::object counts = py::none();
  if (r.state == ReadingState::kOk) counts = py::int_(r.counts);
  return TypeOf("Reading")(
      py::arg("channel") = r.channel, py::arg("counts") = counts, py::arg("load") = r.load,
      py::arg("unit_code") = unit_code, py::arg("state") = kStates[static_cast<int>(r.state)],
      py::arg("raw") = r.raw, py::arg("time") = static_cast<double>(r.monotonic_us) / 1e6,
      py::arg("timestamp") = Timestamp(r.wall));
}

py::object EventObject(const BoardEvent& e) {
  py::object error = py::none();
  if (!e.error.Describe().empty()) error = ExceptionOf(e.error);
  return TypeOf("BoardEvent")(py::arg("kind") = BoardEventKindName(e.kind),
                              py::arg("serial") = e.serial,
                              py::arg("time") = static_cast<double>(e.monotonic_us) / 1e6,
                              py::arg("timestamp") = Timestamp(e.wall),
                              py::arg("gap") = static_cast<double>(e.gap_us) / 1e6,
                              py::arg("attempts") = e.attempts, py::arg("error") = error);
}

Link LinkFrom(const py::object& link) {
  Link chosen;
  if (link.is_none()) return chosen;
  if (py::isinstance<Emulator>(link)) {
    Emulator& e = link.cast<Emulator&>();
    chosen.provider = &e.bus;
    chosen.clock = &e.bus.clock();
    chosen.emulator = link;
    return chosen;
  }
  if (py::isinstance<py::str>(link)) {
    const std::string name = link.cast<std::string>();
    if (name == "d2xx") {
      chosen.provider = &VendorLink();
      return chosen;
    }
    if (name == "ftdi") {
      chosen.owned.reset(NewLibftdiLink());
      if (!chosen.owned) {
        Error e;
        e.kind = ErrorKind::kLinkUnavailable;
        e.text = "this build of the library has no libftdi1 link";
        e.hint = "install libftdi1-dev and build the library again, or use the d2xx link";
        Raise(e);
      }
      chosen.provider = chosen.owned.get();
      return chosen;
    }
  }
  Error e;
  e.kind = ErrorKind::kInvalidArgument;
  e.text = "link must be None, \"d2xx\", \"ftdi\" or a kavro.Emulator, not " +
           py::repr(link).cast<std::string>();
  Raise(e);
}

}  // namespace kavro::python

PYBIND11_MODULE(_kavro, m) {
  namespace py = pybind11;
  m.doc() =
      "The kavro extension: boards, recordings, the board emulator and the compatibility "
      "class. Use it through the kavro package.";
  kavro::python::BindEmulator(m);
  kavro::python::BindBoard(m);
  kavro::python::BindCompat(m);
  m.def(
      "to_load",
      [](const py::object& c, std::int64_t counts) {
        kavro::Calibration k;
        k.offset_reading = c.attr("offset_reading").cast<std::int64_t>();
        k.fullscale_reading = c.attr("fullscale_reading").cast<std::int64_t>();
        k.offset_load = c.attr("offset_load").cast<std::uint32_t>();
        k.fullscale_load = c.attr("fullscale_load").cast<std::uint32_t>();
        k.decimal_point = c.attr("decimal_point").cast<unsigned int>();
        return kavro::python::Unwrap(k.ToLoad(counts));
      },
      py::arg("calibration"), py::arg("counts"), "Calibration.to_load(), in the library.");
}

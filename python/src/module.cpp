// The _kavro extension module: the typed API, the board emulator and the compatibility class for
// the kavro package. Errors become the package's exceptions; values become its data classes.
#include <pybind11/stl.h>

#include <new>

#include "binding.h"

// The library's identification string (src/version.cpp): the version of the library loaded.
extern "C" const char KAVRO_USB_DLLVersionString[];

namespace kavro::python {

namespace {

std::string TypeName(const py::handle& value) { return Py_TYPE(value.ptr())->tp_name; }

[[noreturn]] void ValueError(const std::string& text) {
  Error e;
  e.kind = ErrorKind::kInvalidArgument;
  e.text = text;
  Raise(e);
}

// "0.9.0" from "...PROJECT:KAVRO_USB_DLL-0.9.0".
std::string LibraryVersion() {
  const std::string id = KAVRO_USB_DLLVersionString;
  const std::string mark = "PROJECT:KAVRO_USB_DLL-";
  const std::size_t at = id.find(mark);
  return at == std::string::npos ? "" : id.substr(at + mark.size());
}

}  // namespace

void TypeError(const std::string& name, const std::string& accepts, const py::handle& value) {
  throw py::type_error(name + " must be " + accepts + ", not " + TypeName(value));
}

long long IntArg(const py::handle& value, const char* name) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    TypeError(name, "an integer", value);
  }
  py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0) ValueError(std::string(name) + " " + py::str(number).cast<std::string>() +
                                " is out of range");
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return n;
}

double NumberArg(const py::handle& value, const char* name) {
  PyObject* v = value.ptr();
  const bool number = PyFloat_Check(v) || PyIndex_Check(v) ||
                      (Py_TYPE(v)->tp_as_number && Py_TYPE(v)->tp_as_number->nb_float);
  if (PyBool_Check(v) || !number) TypeError(name, "a number", value);
  const double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

std::string TextArg(const py::handle& value, const char* name) {
  if (!py::isinstance<py::str>(value)) TypeError(name, "a string", value);
  return value.cast<std::string>();
}

py::object CallableArg(const py::object& value, const char* name) {
  if (!value.is_none() && !PyCallable_Check(value.ptr())) {
    TypeError(name, "None or a callable", value);
  }
  return value;
}

void SetPythonError(std::exception_ptr exception) {
  try {
    std::rethrow_exception(exception);
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

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
      py::arg("timestamp") = Timestamp(r.wall),
      py::arg("calibration") = r.calibration == LoadCalibration::kNone
                                   ? py::object(py::none())
                                   : py::object(py::str(LoadCalibrationName(r.calibration))),
      py::arg("calibration_date") = r.calibration_date.empty()
                                        ? py::object(py::none())
                                        : py::object(py::str(r.calibration_date)),
      py::arg("unit") = r.unit.empty() ? py::object(py::none()) : py::object(py::str(r.unit)));
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
    chosen.virtual_time = !e.real_time;
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
  constexpr const char* kLinks = "None, \"d2xx\", \"ftdi\" or a kavro.Emulator";
  if (!py::isinstance<py::str>(link)) TypeError("link", kLinks, link);
  ValueError(std::string("link must be ") + kLinks + ", not " + py::repr(link).cast<std::string>());
}

}  // namespace kavro::python

PYBIND11_MODULE(_kavro, m) {
  namespace py = pybind11;
  m.doc() =
      "The kavro extension: boards, recordings, the board emulator and the compatibility "
      "class. Use it through the kavro package.";
  m.attr("__version__") = kavro::python::LibraryVersion();
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

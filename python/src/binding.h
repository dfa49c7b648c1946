// What the parts of the _kavro extension share: raising the package's exceptions from a
// kavro::Error, choosing a link from a Python argument, and the Python classes the package
// defines (kavro._types) built from the typed API's values.
#ifndef KAVRO_PYTHON_BINDING_H
#define KAVRO_PYTHON_BINDING_H

#include <pybind11/pybind11.h>

#include <exception>
#include <memory>
#include <string>

#include "kavro/kavro.h"
#include "kavro_emulator.h"

namespace kavro::python {

namespace py = pybind11;

// Raises the kavro exception of the error's kind (kavro.TimedOutError, ...). Needs the GIL.
[[noreturn]] void Raise(const Error& error);
// The exception object of that kind without raising it (for lists of results).
py::object ExceptionOf(const Error& error);

template <typename T>
T Unwrap(Result<T> result) {
  if (!result) Raise(result.error());
  return std::move(result.value());
}
inline void Unwrap(const Status& status) {
  if (!status) Raise(status.error());
}

// Arguments from Python. A wrong type raises TypeError and a wrong value ValueError
// (kavro.InvalidArgumentError), each naming the argument and what it accepts.
// An integer: a Python int or anything that stands for one (NumPy's integers), not a bool.
long long IntArg(const py::handle& value, const char* name);
// A number of seconds or the like: an int or a float (NumPy's too), not a bool.
double NumberArg(const py::handle& value, const char* name);
// A string.
std::string TextArg(const py::handle& value, const char* name);
// None or something callable.
py::object CallableArg(const py::object& value, const char* name);
[[noreturn]] void TypeError(const std::string& name, const std::string& accepts,
                            const py::handle& value);

// Sets the Python error a C++ exception stands for: MemoryError for std::bad_alloc, the error
// itself for a Python one, RuntimeError for the rest. For the places where nothing may leave
// (callbacks the library calls). Needs the GIL.
void SetPythonError(std::exception_ptr exception);

// The board emulator as Python holds it (kavro.Emulator).
struct Emulator {
  explicit Emulator(bool real_time)
      : real_time(real_time),
        bus(real_time ? emu::VirtualBus::Clock::kReal : emu::VirtualBus::Clock::kVirtual) {
    bus.logging = false;  // nothing here reads the bus's call log: it would grow without end
  }
  bool real_time;
  emu::VirtualBus bus;
};

// A link chosen by a Python argument: None (the default link), "d2xx", "ftdi", or an Emulator.
// Keeps what it needs alive: a libftdi1 provider of its own, or the Emulator object.
struct Link {
  LinkProvider* provider = nullptr;  // nullptr: the default link
  bool virtual_time = false;         // the emulator's clock runs as fast as it is asked
  std::shared_ptr<LinkProvider> owned;
  py::object emulator;
};
Link LinkFrom(const py::object& link);

// A kavro._types class by name (Reading, Calibration, BoardEvent, ...).
py::object TypeOf(const char* name);
// Seconds since the epoch for a wall-clock time.
double Timestamp(std::chrono::system_clock::time_point wall);
py::object ReadingObject(const Reading& r, std::optional<unsigned int> unit_code);
py::object EventObject(const BoardEvent& e);

void BindBoard(py::module_& m);
void BindEmulator(py::module_& m);
void BindCompat(py::module_& m);

}  // namespace kavro::python

#endif  // KAVRO_PYTHON_BINDING_H

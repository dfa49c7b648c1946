// kavro.KAVRO_USB_DLL: the compatibility class with its C++ names, methods and public fields,
// for porting code that used it. Handles are integers (0 for none); texts are str, one
// character per byte; every command waits for the board with the GIL released.
#include <pybind11/stl.h>

#include <cstring>

#include "KAVRO_USB_DLL.h"
#include "binding.h"

namespace kavro::python {

namespace {

// The class with the link it was given kept alive.
class Dll : public KAVRO_USB_DLL {
 public:
  python::Link link;
};

void* H(std::uintptr_t handle) {
  return reinterpret_cast<void*>(handle);
}
py::str Text(const std::string& s) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeLatin1(s.data(), static_cast<py::ssize_t>(s.size()), nullptr));
}
std::string Bytes(const py::str& s) {
  PyObject* latin1 = PyUnicode_AsLatin1String(s.ptr());
  if (latin1 == nullptr) throw py::error_already_set();  // UnicodeEncodeError, a ValueError
  return py::reinterpret_steal<py::bytes>(latin1).cast<std::string>();
}

// A command: run without the GIL, its text answer as str.
template <typename F>
py::str Command(F f) {
  std::string text;
  {
    py::gil_scoped_release nogil;
    text = f();
  }
  return Text(text);
}

using HandleChannel = std::string (KAVRO_USB_DLL::*)(void*, unsigned char);
using HandleOnly = std::string (KAVRO_USB_DLL::*)(void*);

template <typename Field>
void TextField(py::class_<Dll>& c, const char* name, Field field, const char* doc) {
  c.def_property(
      name, [field](const Dll& d) { return Text(d.*field); },
      [field](Dll& d, const py::str& v) { d.*field = Bytes(v); }, doc);
}

template <std::size_t N>
void CharArray(py::class_<Dll>& c, const char* name, char (KAVRO_USB_DLL::*field)[N],
               const char* doc) {
  c.def_property(
      name, [field](const Dll& d) { return Text(std::string(d.*field, strnlen(d.*field, N))); },
      [field](Dll& d, const py::str& v) {
        std::memset(d.*field, 0, N);
        FillD2xxText(d.*field, N - 1, Bytes(v));  // always ends in a 0
      },
      doc);
}

}  // namespace

void BindCompat(py::module_& m) {
  py::class_<LinkProvider>(m, "LinkProvider", "A D2XX provider, as CurrentLink() answers it.")
      .def("Name", &LinkProvider::Name,
           "\"vendor D2XX library\", \"libftdi1\", \"board emulator\".")
      .def("Diagnostic", &LinkProvider::Diagnostic, "Why the provider cannot work, or \"\".")
      .def("Available", &LinkProvider::Available, "False when the provider cannot work at all.");

  py::class_<Dll> c(m, "KAVRO_USB_DLL", R"(The compatibility class, for code ported from C++.

Commands answer text: "0" for success, "Error" (the reason in ErrorText, a D2XX status in
ErrorStatus) or the value asked for. Handles are integers, 0 for none. With SimulationMode = 1
every method answers from the Sim... fields without a device. New code: kavro.open().)");
  c.def(py::init<>(), "An instance on the default link (the vendor library, else libftdi1).");
  c.def(
      "UseLink",
      [](Dll& d, const py::object& link) {
        Link chosen = LinkFrom(link);
        d.UseLink(chosen.provider);
        d.link = std::move(chosen);
      },
      py::arg("link"),
      "Chooses the link: None (the default), \"d2xx\", \"ftdi\" or a kavro.Emulator.");
  c.def("CurrentLink", &Dll::CurrentLink, py::return_value_policy::reference_internal,
        "The provider this instance uses now.");
  c.def("GetErrorDescription", &Dll::GetErrorDescription, py::arg("status"),
        "Puts the description of a D2XX status into ErrorText.");
  c.def(
      "Get_Device_Count", [](Dll& d) { return Command([&] { return d.Get_Device_Count(); }); },
      "The number of attached devices as text.");
  c.def(
      "Get_Device_Serial_Number",
      [](Dll& d, std::uintptr_t index) {
        return Command([&] { return d.Get_Device_Serial_Number(H(index)); });
      },
      py::arg("index"), "The serial number of the device at that index.");
  c.def(
      "Open_Device_Connection",
      [](Dll& d, const py::str& serial) {
        std::string s = Bytes(serial);
        py::gil_scoped_release nogil;
        d.Open_Device_Connection(s.data());
      },
      py::arg("serial_number"), "Opens a board by serial number; DeviceHandle is 0 on failure.");
  c.def(
      "Close_Device_Connection",
      [](Dll& d, std::uintptr_t handle) {
        py::gil_scoped_release nogil;
        d.Close_Device_Connection(H(handle));
      },
      py::arg("handle"), "Closes the board behind a handle.");
  c.def("NextPacketNumber", &Dll::NextPacketNumber, "Advances PacketNumber.");
  c.def("WritePacket", &Dll::WritePacket, py::arg("mode"), py::call_guard<py::gil_scoped_release>(),
        "Frames and writes the packet in the Tx fields.");
  c.def("ReadPacket", &Dll::ReadPacket, py::arg("budget_ms"),
        py::call_guard<py::gil_scoped_release>(),
        "Waits up to budget_ms for a reply and checks it.");
  c.def("GetPacketSent", &Dll::GetPacketSent, "Puts the last packet sent into PacketSent.");
  c.def("GetPacketReceived", &Dll::GetPacketReceived, "Puts the last reply into PacketReceived.");

  static constexpr struct {
    const char* name;
    HandleOnly method;
    const char* doc;
  } kHandleOnly[] = {
      {"Slave_Activity_Inquiry", &KAVRO_USB_DLL::Slave_Activity_Inquiry,
       "Asks whether the board is there."},
      {"Version_of_Board", &KAVRO_USB_DLL::Version_of_Board, "The board's version as text."},
      {"Reset_Board", &KAVRO_USB_DLL::Reset_Board, "Restarts the board."},
  };
  for (const auto& k : kHandleOnly) {
    c.def(
        k.name,
        [method = k.method](Dll& d, std::uintptr_t h) {
          return Command([&] { return (d.*method)(H(h)); });
        },
        py::arg("handle"), k.doc);
  }
  c.def(
      "Get_Version_of_Board",
      [](Dll& d, std::uintptr_t h) {
        py::gil_scoped_release nogil;
        d.Get_Version_of_Board(H(h));
      },
      py::arg("handle"), "Reads the version into the VersionField and BoardType fields.");

  static constexpr struct {
    const char* name;
    HandleChannel method;
    const char* argument;
    const char* doc;
  } kHandleAnd[] = {
      {"Normal_Data_Request", &KAVRO_USB_DLL::Normal_Data_Request, "channel",
       "One reading in counts, or the converter's condition."},
      {"Get_Offset_Value", &KAVRO_USB_DLL::Get_Offset_Value, "channel",
       "The stored offset reading."},
      {"Get_Fullscale_Value", &KAVRO_USB_DLL::Get_Fullscale_Value, "channel",
       "The stored full-scale reading."},
      {"Get_Offset_Load", &KAVRO_USB_DLL::Get_Offset_Load, "channel", "The stored offset load."},
      {"Get_Fullscale_Load", &KAVRO_USB_DLL::Get_Fullscale_Load, "channel",
       "The stored full-scale load."},
      {"Get_Unit_Code", &KAVRO_USB_DLL::Get_Unit_Code, "channel", "The stored unit code."},
      {"Get_Decimal_Point", &KAVRO_USB_DLL::Get_Decimal_Point, "channel",
       "The stored decimal point."},
      {"Read_EEPROM_Register", &KAVRO_USB_DLL::Read_EEPROM_Register, "address",
       "Reads an EEPROM register into PacketData."},
  };
  for (const auto& k : kHandleAnd) {
    c.def(
        k.name,
        [method = k.method](Dll& d, std::uintptr_t h, unsigned char v) {
          return Command([&] { return (d.*method)(H(h), v); });
        },
        py::arg("handle"), py::arg(k.argument), k.doc);
  }
  c.def(
      "Read_Channel_Register",
      [](Dll& d, std::uintptr_t h, unsigned char channel, unsigned char address) {
        return Command([&] { return d.Read_Channel_Register(H(h), channel, address); });
      },
      py::arg("handle"), py::arg("channel"), py::arg("address"),
      "Reads a channel register into PacketData.");
  c.def(
      "Set_ADC_Configuration",
      [](Dll& d, std::uintptr_t h, unsigned char rate, unsigned char channel) {
        return Command([&] { return d.Set_ADC_Configuration(H(h), rate, channel); });
      },
      py::arg("handle"), py::arg("sampling_rate"), py::arg("channel"),
      "Sets the sampling-rate code, keeping the upper field.");
  c.def(
      "Set_ADC_Configuration2",
      [](Dll& d, std::uintptr_t h, unsigned char configuration, unsigned char channel) {
        return Command([&] { return d.Set_ADC_Configuration2(H(h), configuration, channel); });
      },
      py::arg("handle"), py::arg("configuration"), py::arg("channel"),
      "Sets the whole converter configuration byte.");
  c.def(
      "Get_ADC_Configuration",
      [](Dll& d, unsigned char address, unsigned char channel) {
        return Command([&] { return d.Get_ADC_Configuration(address, channel); });
      },
      py::arg("address"), py::arg("channel"),
      "Reads the converter configuration into AdcSamplingRate and AdcConfigUpper.");
  c.def(
      "Calculate_ADC_Value",
      [](Dll& d, unsigned char status, unsigned char high, unsigned char middle,
         unsigned char low) { return Text(d.Calculate_ADC_Value(status, high, middle, low)); },
      py::arg("status"), py::arg("high"), py::arg("middle"), py::arg("low"),
      "The counts a converter code stands for, as text.");

  // Public fields, in their declared order.
  c.def_property(
      "DeviceHandle", [](const Dll& d) { return reinterpret_cast<std::uintptr_t>(d.DeviceHandle); },
      [](Dll& d, std::uintptr_t h) { d.DeviceHandle = H(h); },
      "The open board's handle; 0 for none.");
  c.def_readwrite("ErrorStatus", &Dll::ErrorStatus, "The D2XX status of the last failure.");
  TextField(c, "PacketSent", &Dll::PacketSent, "The last packet sent, as hex text.");
  TextField(c, "PacketReceived", &Dll::PacketReceived, "The last reply, as hex text.");
  CharArray(c, "ErrorText", &Dll::ErrorText, "Why the last command answered \"Error\".");
  c.def_readwrite("EepromData1", &Dll::EepromData1, "Byte b1 of the last register read.");
  c.def_readwrite("EepromData2", &Dll::EepromData2, "Byte b2 of the last register read.");
  c.def_property(
      "SimulationMode", [](const Dll& d) { return static_cast<int>(d.SimulationMode); },
      [](Dll& d, int v) { d.SimulationMode = static_cast<char>(v); },
      "1: every method answers from the Sim... fields without a device.");
  static constexpr struct {
    const char* name;
    int KAVRO_USB_DLL::*field;
  } kSim[] = {
      {"SimSerialNumber", &KAVRO_USB_DLL::SimSerialNumber},
      {"SimOffsetValue", &KAVRO_USB_DLL::SimOffsetValue},
      {"SimFullscaleValue", &KAVRO_USB_DLL::SimFullscaleValue},
      {"SimOffsetLoad", &KAVRO_USB_DLL::SimOffsetLoad},
      {"SimFullscaleLoad", &KAVRO_USB_DLL::SimFullscaleLoad},
      {"SimAdcConfigUpper", &KAVRO_USB_DLL::SimAdcConfigUpper},
      {"SimAdcSamplingRate", &KAVRO_USB_DLL::SimAdcSamplingRate},
      {"SimUnitCode", &KAVRO_USB_DLL::SimUnitCode},
      {"SimDecimalPoint", &KAVRO_USB_DLL::SimDecimalPoint},
      {"SimVersionField1", &KAVRO_USB_DLL::SimVersionField1},
      {"SimVersionField2", &KAVRO_USB_DLL::SimVersionField2},
      {"SimVersionField3", &KAVRO_USB_DLL::SimVersionField3},
      {"SimVersionField4", &KAVRO_USB_DLL::SimVersionField4},
      {"SimVersionField5", &KAVRO_USB_DLL::SimVersionField5},
  };
  for (const auto& f : kSim) {
    c.def_property(
        f.name, [field = f.field](const Dll& d) { return d.*field; },
        [field = f.field](Dll& d, int v) { d.*field = v; },
        "A value simulation mode answers with.");
  }
  static constexpr struct {
    const char* name;
    unsigned char KAVRO_USB_DLL::*field;
  } kBytes[] = {
      {"PacketNumber", &KAVRO_USB_DLL::PacketNumber},
      {"TxLength", &KAVRO_USB_DLL::TxLength},
      {"TxChannel", &KAVRO_USB_DLL::TxChannel},
      {"TxCommand", &KAVRO_USB_DLL::TxCommand},
      {"EndOfPacket", &KAVRO_USB_DLL::EndOfPacket},
      {"RxPacketNumber", &KAVRO_USB_DLL::RxPacketNumber},
      {"RxLength", &KAVRO_USB_DLL::RxLength},
      {"RxCommand", &KAVRO_USB_DLL::RxCommand},
  };
  for (const auto& f : kBytes) {
    c.def_property(
        f.name, [field = f.field](const Dll& d) { return d.*field; },
        [field = f.field](Dll& d, unsigned char v) { d.*field = v; }, "A packet field (0-255).");
  }
  c.def_property(
      "PacketData",
      [](const Dll& d) { return py::bytes(reinterpret_cast<const char*>(d.PacketData), 8); },
      [](Dll& d, const py::bytes& v) {
        const std::string b = v;
        std::memset(d.PacketData, 0, sizeof d.PacketData);
        std::memcpy(d.PacketData, b.data(), std::min(b.size(), sizeof d.PacketData));
      },
      "The packet's data bytes (8).");
  TextField(c, "ReadStatus", &Dll::ReadStatus, "\"Finished\" once a reply was read.");
  TextField(c, "WriteStatus", &Dll::WriteStatus, "\"Finished\" once a packet was written.");
  c.def_readwrite("AdcConfigUpper", &Dll::AdcConfigUpper, "The converter's upper field.");
  c.def_readwrite("AdcSamplingRate", &Dll::AdcSamplingRate, "The converter's rate code.");
  TextField(c, "VersionField1", &Dll::VersionField1, "A version field: one character per byte.");
  TextField(c, "VersionField2", &Dll::VersionField2, "A version field.");
  TextField(c, "VersionField3", &Dll::VersionField3, "A version field.");
  TextField(c, "VersionField4", &Dll::VersionField4, "A version field.");
  TextField(c, "VersionField5", &Dll::VersionField5, "A version field.");
  c.def_readwrite("BoardType", &Dll::BoardType, "The board type of the last version request.");
  c.def_readwrite("RegisterAddress", &Dll::RegisterAddress, "The register a command reads.");
  c.def_readwrite("RegisterHigh", &Dll::RegisterHigh, "The high byte of a 16-bit value.");
  c.def_readwrite("RegisterLow", &Dll::RegisterLow, "The low byte of a 16-bit value.");
}

}  // namespace kavro::python

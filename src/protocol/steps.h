// The command layer: each command of the board as a step that takes its inputs as arguments and
// returns its outcome as a value. The public class's methods and the typed board are both made
// of these steps; the public methods add the simulation mode and write the outcome into the
// class's fields and ErrorText.
#ifndef KAVRO_STEPS_H
#define KAVRO_STEPS_H

#include <array>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "result.h"

namespace kavro::detail {

// A board's answer to the version request: its five fields and its type.
struct BoardVersion {
  std::array<unsigned char, 5> fields{};
  unsigned int type = 0;
};

// The version exchange, which also leaves VersionField1-5 and BoardType as the public class
// shows them ("Error" and 255 after a failure).
Outcome<BoardVersion> RequestVersion(KAVRO_USB_DLL& d, void* handle);

Failure Activity(KAVRO_USB_DLL& d, void* handle);
// The reset request, then the board's notice that it has restarted.
Failure ResetBoard(KAVRO_USB_DLL& d, void* handle);

enum class Measurement { kNormal, kOffset, kFullscale };

// One measurement exchange for a board of type board_type, without the version exchange the
// public methods run first: the reading as the public methods answer it (a count, or a
// converter condition such as "Positive Overflow").
Outcome<std::string> Measure(KAVRO_USB_DLL& d, void* handle, unsigned char channel, Measurement m,
                             unsigned int board_type);
// The version exchange, then the measurement for the type it reported.
Outcome<std::string> MeasureAnyBoard(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                     Measurement m);

// A register read's three reply data bytes.
using RegisterBytes = std::array<unsigned char, 3>;
Outcome<RegisterBytes> ReadEeprom(KAVRO_USB_DLL& d, void* handle, unsigned char address);
Outcome<RegisterBytes> ReadChannelRegister(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                           unsigned char address);

// The converter configuration byte's two fields.
struct ConverterByte {
  unsigned char upper = 0;
  unsigned char rate = 0;
};
// Reads the configuration byte at address (the channel's register on type 9), leaving
// AdcConfigUpper and AdcSamplingRate as the public class shows them.
Outcome<ConverterByte> ReadConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char address,
                                         unsigned char channel, unsigned int board_type);
// The version exchange, then a new sampling rate code, or a whole configuration byte.
Failure SetSamplingRate(KAVRO_USB_DLL& d, void* handle, unsigned char rate, unsigned char channel);
Failure SetConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char configuration,
                         unsigned char channel);

enum class CalibrationField { kOffsetLoad, kFullscaleLoad, kUnitCode, kDecimalPoint };
// The version exchange, then the value from the board's registers.
Outcome<long long> ReadCalibration(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                   CalibrationField field);

// Opens the board with serial_number and configures its link: the handle.
Outcome<void*> OpenBySerial(KAVRO_USB_DLL& d, const char* serial_number);
Outcome<unsigned int> DeviceCount(KAVRO_USB_DLL& d);
Outcome<std::string> DeviceSerialNumber(KAVRO_USB_DLL& d, void* index);

}  // namespace kavro::detail

#endif  // KAVRO_STEPS_H

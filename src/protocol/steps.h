// The command layer: each command of the board as a step that takes its inputs as arguments and
// returns its outcome as a value, with what the public class shows of it. The public class's
// methods and the typed board are both made of these steps; the public methods add the
// simulation mode and write the outcome into the class's fields and ErrorText (Show).
#ifndef KAVRO_STEPS_H
#define KAVRO_STEPS_H

#include <array>
#include <optional>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "packet.h"
#include "result.h"

namespace kavro::detail {

// A board's answer to the version request: its five fields and its type.
struct BoardVersion {
  std::array<unsigned char, 5> fields{};
  unsigned int type = 0;
};

// The converter configuration byte's two fields.
struct ConverterByte {
  unsigned char upper = 0;
  unsigned char rate = 0;
};

// What a step did that the public class shows in its fields: its exchanges in order, and what
// they told. A field whose value is unset here is left as it was.
struct Shown {
  static constexpr unsigned int kMostExchanges = 3;  // no step makes more
  std::array<Exchanged, kMostExchanges> exchanges{};
  unsigned int count = 0;
  std::optional<Outcome<BoardVersion>> version;  // a version request, answered or failed
  std::optional<unsigned char> register_address, register_high, register_low;
  std::optional<ConverterByte> converter;
  std::optional<std::array<unsigned char, 2>> eeprom;

  void Add(const Exchanged& e) {
    if (count < kMostExchanges) exchanges[count++] = e;
  }
  // What a later step showed, after this one's.
  void Add(const Shown& later);
};

struct Nothing {};

// A step's value, or why it has none, and what the public class shows of it.
template <typename T = Nothing>
struct [[nodiscard]] Step {
  Failure failure;
  T value{};
  Shown shown;
};

// One exchange as a step: its failure, and the exchange shown. The value is the caller's to
// take from the reply.
template <typename T = Nothing>
Step<T> StepOf(const Exchanged& x) {
  Step<T> step;
  step.failure = x.failure;
  step.shown.Add(x);
  return step;
}

// then's outcome, with what first showed before what then showed.
template <typename T, typename U>
Step<U> After(const Step<T>& first, Step<U> then) {
  Shown shown = first.shown;
  shown.Add(then.shown);
  then.shown = shown;
  return then;
}

// A step's failure, and what it showed, as a step of another value.
template <typename U, typename T>
Step<U> FailedAs(const Step<T>& step) {
  return {step.failure, {}, step.shown};
}

// The edge of the public class: writes what a step showed into the fields.
void Show(KAVRO_USB_DLL& d, const Shown& s);
// Shows what a step did and hands on its failure.
template <typename T>
Failure ShowStep(KAVRO_USB_DLL& d, const Step<T>& step) {
  Show(d, step.shown);
  return step.failure;
}

// The version exchange. Shown: VersionField1-5 and BoardType ("Error" and 255 after a failure).
Step<BoardVersion> RequestVersion(KAVRO_USB_DLL& d, void* handle);

Step<> Activity(KAVRO_USB_DLL& d, void* handle);
// The reset request, then the board's notice that it has restarted.
Step<> ResetBoard(KAVRO_USB_DLL& d, void* handle);

enum class Measurement { kNormal, kOffset, kFullscale };

// One measurement exchange for a board of type board_type, without the version exchange the
// public methods run first: the reading as the public methods answer it (a count, or a
// converter condition such as "Positive Overflow").
Step<std::string> Measure(KAVRO_USB_DLL& d, void* handle, unsigned char channel, Measurement m,
                          unsigned int board_type);
// A converter reading's four bytes as text: a count, or the converter's condition.
std::string ConverterText(unsigned char status, unsigned char high, unsigned char middle,
                          unsigned char low);
// The version exchange, then the measurement for the type it reported.
Step<std::string> MeasureAnyBoard(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                  Measurement m);

// A register read's three reply data bytes.
using RegisterBytes = std::array<unsigned char, 3>;
// Shown of an EEPROM read: EepromData1 and EepromData2.
Step<RegisterBytes> ReadEeprom(KAVRO_USB_DLL& d, void* handle, unsigned char address);
Step<RegisterBytes> ReadChannelRegister(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                        unsigned char address);

// Reads the configuration byte at address (the channel's register on type 9). Shown:
// AdcConfigUpper and AdcSamplingRate.
Step<ConverterByte> ReadConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char address,
                                      unsigned char channel, unsigned int board_type);
// The version exchange, then a new sampling rate code, or a whole configuration byte.
Step<> SetSamplingRate(KAVRO_USB_DLL& d, void* handle, unsigned char rate, unsigned char channel);
Step<> SetConfiguration(KAVRO_USB_DLL& d, void* handle, unsigned char configuration,
                        unsigned char channel);

enum class CalibrationField { kOffsetLoad, kFullscaleLoad, kUnitCode, kDecimalPoint };
// The version exchange, then the value from the board's registers.
Step<long long> ReadCalibration(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                CalibrationField field);

// Opens the board with serial_number and configures its link: the handle.
Outcome<void*> OpenBySerial(KAVRO_USB_DLL& d, const char* serial_number);
Outcome<unsigned int> DeviceCount(KAVRO_USB_DLL& d);
Outcome<std::string> DeviceSerialNumber(KAVRO_USB_DLL& d, void* index);

}  // namespace kavro::detail

#endif  // KAVRO_STEPS_H

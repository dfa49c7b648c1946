// The result convention every command follows: the simulation switch, the failures a layer
// reports as a value, and how a failure is written into the public fields at the edge of the
// public class.
#ifndef KAVRO_RESULT_H
#define KAVRO_RESULT_H

#include <string>

#include "KAVRO_USB_DLL.h"
#include "text.h"

namespace kavro::detail {

constexpr const char kError[] = "Error";

// What went wrong in a layer below the public class.
enum class FailureKind : unsigned char {
  kNone,
  kInvalidArgument,      // refused before anything was sent; status says which D2XX status
  kLink,                 // a D2XX call failed; status holds its status
  kPacketSize,           // "Packet Size Error"
  kTimeout,              // "Timeout Error"
  kTedsError,            // the board's error replies: "TEDS Error",
  kCommandError,         // "Command Error",
  kPacketFrameError,     // "Packet Frame Error",
  kPacketCommandError,   // "Packet Command Error"
  kPacketNumber,         // a reply numbered for another request: "Packet Number Error"
  kCommandNumber,        // a reply to another command: "Command Number Error"
  kEndOfPacket,          // a reply without its trailer: "End Of Packet Error"
  kInvalidSamplingRate,  // a rate code above 15: "Invalid Sampling Rate"
  kInvalidTypeOfBoard,   // a board type without the operation: "Invalid Type of Board"
};

struct [[nodiscard]] Failure {
  FailureKind kind = FailureKind::kNone;
  unsigned int status = kavro::kFtOk;  // the D2XX status of kLink and kInvalidArgument

  explicit operator bool() const { return kind != FailureKind::kNone; }
};

inline Failure LinkFailure(unsigned int status) {
  return {FailureKind::kLink, status};
}

// A step's value, or why it has none.
template <typename T>
struct [[nodiscard]] Outcome {
  Failure failure;
  T value{};
};

// The fixed English description of a D2XX status ("Device Not Found").
const char* StatusDescription(unsigned int status);

// The text the public class shows for a failure: the failure's own, or its status's description.
const char* FailureText(const Failure& f);

inline bool Simulating(const KAVRO_USB_DLL& d) {
  return d.SimulationMode == 1;
}

inline void SetErrorText(KAVRO_USB_DLL& d, const char* text) {
  CopyText(d.ErrorText, text);
}
inline void ClearErrorText(KAVRO_USB_DLL& d) {
  d.ErrorText[0] = '\0';
}

// The edge of the public class: writes a failure into ErrorText, and a D2XX status into
// ErrorStatus as well. Nothing when f is no failure.
inline void Report(KAVRO_USB_DLL& d, const Failure& f) {
  if (!f) return;
  if (f.kind == FailureKind::kLink || f.kind == FailureKind::kInvalidArgument)
    d.ErrorStatus = f.status;
  SetErrorText(d, FailureText(f));
}

// A public method's text result: value on success, else "Error" with the failure reported.
inline std::string Answer(KAVRO_USB_DLL& d, const Outcome<std::string>& o) {
  if (!o.failure) return o.value;
  Report(d, o.failure);
  return kError;
}
inline std::string Answer(KAVRO_USB_DLL& d, const Failure& f) {
  Report(d, f);
  return f ? kError : "0";
}

// The wrapper's last call as a failure: none when it returned FT_OK.
inline Failure LastCall(const KAVRO_USB_DLL& d) {
  return d.ftStatus == kavro::kFtOk ? Failure{} : LinkFailure(d.ftStatus);
}

}  // namespace kavro::detail

#endif  // KAVRO_RESULT_H

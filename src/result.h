// The result convention every command follows: the simulation switch, the failure texts and
// how a failed D2XX status is recorded.
#ifndef KAVRO_RESULT_H
#define KAVRO_RESULT_H

#include "KAVRO_USB_DLL.h"
#include "text.h"

namespace kavro::detail {

constexpr const char kError[] = "Error";
constexpr const char kInvalidTypeOfBoard[] = "Invalid Type of Board";

inline bool Simulating(const KAVRO_USB_DLL& d) {
  return d.SimulationMode == 1;
}

inline void SetErrorText(KAVRO_USB_DLL& d, const char* text) {
  CopyText(d.ErrorText, text);
}
inline void ClearErrorText(KAVRO_USB_DLL& d) {
  d.ErrorText[0] = '\0';
}

// Records a failed D2XX status the way every method reports one.
inline void RecordLinkFailure(KAVRO_USB_DLL& d) {
  d.ErrorStatus = d.ftStatus;
  d.GetErrorDescription(d.ErrorStatus);
}

// True, with the failure recorded, when the last wrapper call failed.
inline bool LinkFailed(KAVRO_USB_DLL& d) {
  if (d.ftStatus == kFtOk) return false;
  RecordLinkFailure(d);
  return true;
}

}  // namespace kavro::detail

#endif  // KAVRO_RESULT_H

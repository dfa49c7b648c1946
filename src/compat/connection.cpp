// Device enumeration, and opening and closing a board with the fixed link configuration.
#include <cstring>

#include "KAVRO_USB_DLL.h"
#include "protocol/result.h"
#include "protocol/steps.h"
#include "text.h"

using namespace kavro::detail;

namespace {

// Link configuration applied at every open: the board's protocol relies on short USB
// transfers and a short latency timer so that its few-byte replies arrive promptly.
constexpr unsigned int kReadTimeoutMs = 500;
constexpr unsigned int kWriteTimeoutMs = 500;
constexpr unsigned int kInTransferSize = 8;
constexpr unsigned int kOutTransferSize = 8;
constexpr unsigned char kLatencyTimerMs = 2;

constexpr int kSimulatedHandleValue = 123456;

}  // namespace

namespace kavro::detail {

Outcome<unsigned int> DeviceCount(KAVRO_USB_DLL& d) {
  d.KAVRO_FT_GetDeviceCount();
  return {LastCall(d), d.numDevs};
}

Outcome<std::string> DeviceSerialNumber(KAVRO_USB_DLL& d, void* index) {
  d.KAVRO_FT_GetDeviceSerialNumber(index);
  if (Failure f = LastCall(d)) return {f};
  return {{}, std::string(d.SerialNumber)};
}

Outcome<void*> OpenBySerial(KAVRO_USB_DLL& d, const char* serial_number) {
  // A missing or over-long serial number is refused: truncating it could open another board.
  if (serial_number == nullptr ||
      strnlen(serial_number, sizeof(d.SerialNumber)) >= sizeof(d.SerialNumber)) {
    return {{FailureKind::kInvalidArgument, kavro::kFtInvalidParameter}};
  }
  CopyText(d.SerialNumber, serial_number);

  d.KAVRO_FT_OpenExBySerialNumber();
  if (Failure f = LastCall(d)) return {f};

  // After the open, each configuration step must succeed; when one fails the device is closed
  // again, so that it is not left claimed with no handle the application could close.
  auto step_failed = [&d]() {
    const Failure failed = LastCall(d);
    if (failed) d.KAVRO_FT_Close();
    return failed;
  };
  d.KAVRO_FT_GetDeviceInfo();
  if (Failure f = step_failed()) return {f};
  d.KAVRO_FT_GetStatus();
  if (Failure f = step_failed()) return {f};
  d.KAVRO_FT_SetTimeouts(kReadTimeoutMs, kWriteTimeoutMs);
  if (Failure f = step_failed()) return {f};
  d.KAVRO_FT_SetUSBParameters(kInTransferSize, kOutTransferSize);
  if (Failure f = step_failed()) return {f};
  d.KAVRO_FT_SetLatencyTimer(kLatencyTimerMs);
  if (Failure f = step_failed()) return {f};
  return {{}, d.ftHandle};
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Get_Device_Count() {
  ClearErrorText(*this);
  if (Simulating(*this)) return "1";
  const Outcome<unsigned int> n = DeviceCount(*this);
  return n.failure ? Answer(*this, n.failure) : Decimal(static_cast<int>(n.value));
}

std::string KAVRO_USB_DLL::Get_Device_Serial_Number(void* index) {
  ClearErrorText(*this);
  if (Simulating(*this)) return Decimal(SimSerialNumber);
  return Answer(*this, DeviceSerialNumber(*this, index));
}

void KAVRO_USB_DLL::Open_Device_Connection(char* serial_number) {
  if (Simulating(*this)) {
    // One block per instance, reused by every simulated open.
    simulatedHandleBlock_ = kSimulatedHandleValue;
    DeviceHandle = &simulatedHandleBlock_;
    ErrorStatus = kavro::kFtOk;
    return;
  }
  ClearErrorText(*this);
  const Outcome<void*> opened = OpenBySerial(*this, serial_number);
  DeviceHandle = opened.value;
  ErrorStatus = kavro::kFtOk;
  Report(*this, opened.failure);
}

void KAVRO_USB_DLL::Close_Device_Connection(void* handle) {
  if (Simulating(*this)) {
    ErrorStatus = kavro::kFtOk;
    return;
  }
  ClearErrorText(*this);
  ftHandle = handle;
  KAVRO_FT_Close();
  ErrorStatus = ftStatus;
  if (ErrorStatus != kavro::kFtOk) GetErrorDescription(ErrorStatus);
}

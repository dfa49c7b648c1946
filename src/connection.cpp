// Device enumeration, and opening and closing a board with the fixed link configuration.
#include <cstring>

#include "KAVRO_USB_DLL.h"
#include "result.h"
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

std::string KAVRO_USB_DLL::Get_Device_Count() {
  ClearErrorText(*this);
  if (Simulating(*this)) return "1";
  KAVRO_FT_GetDeviceCount();
  if (LinkFailed(*this)) return kError;
  return Decimal(static_cast<int>(numDevs));
}

std::string KAVRO_USB_DLL::Get_Device_Serial_Number(void* index) {
  ClearErrorText(*this);
  if (Simulating(*this)) return Decimal(SimSerialNumber);
  KAVRO_FT_GetDeviceSerialNumber(index);
  if (LinkFailed(*this)) return kError;
  return std::string(SerialNumber);
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

  // A missing or over-long serial number is refused: truncating it could open another board.
  if (serial_number == nullptr ||
      strnlen(serial_number, sizeof(SerialNumber)) >= sizeof(SerialNumber)) {
    DeviceHandle = nullptr;
    ErrorStatus = kavro::kFtInvalidParameter;
    GetErrorDescription(ErrorStatus);
    return;
  }
  CopyText(SerialNumber, serial_number);

  KAVRO_FT_OpenExBySerialNumber();
  if (ftStatus != kavro::kFtOk) {
    DeviceHandle = nullptr;
    RecordLinkFailure(*this);
    return;
  }

  // After the open, each configuration step must succeed; when one fails the device is closed
  // again, so that it is not left claimed with no handle the application could close.
  auto step_failed = [this]() {
    if (ftStatus == kavro::kFtOk) return false;
    unsigned int failed = ftStatus;
    KAVRO_FT_Close();
    DeviceHandle = nullptr;
    ErrorStatus = failed;
    GetErrorDescription(ErrorStatus);
    return true;
  };
  KAVRO_FT_GetDeviceInfo();
  if (step_failed()) return;
  KAVRO_FT_GetStatus();
  if (step_failed()) return;
  KAVRO_FT_SetTimeouts(kReadTimeoutMs, kWriteTimeoutMs);
  if (step_failed()) return;
  KAVRO_FT_SetUSBParameters(kInTransferSize, kOutTransferSize);
  if (step_failed()) return;
  KAVRO_FT_SetLatencyTimer(kLatencyTimerMs);
  if (step_failed()) return;

  DeviceHandle = ftHandle;
  ErrorStatus = ftStatus;
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

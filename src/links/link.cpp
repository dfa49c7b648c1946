// The link wrapper: one D2XX call per method, status into ftStatus. Also the D2XX status
// descriptions and the choice of provider.
#include "KAVRO_USB_DLL.h"
#include "default_link.h"
#include "protocol/result.h"
#include "text.h"

using kavro::detail::CopyText;

namespace {

// Fixed English description of every D2XX status, indexed by code.
constexpr const char* kStatusText[] = {
    "OK",
    "Invalid Handle",
    "Device Not Found",
    "Device Not Opened",
    "IO Error",
    "Insufficient Resources",
    "Invalid Parameter",
    "Invalid Baud Rate",
    "Device Not Opened For Erase",
    "Device Not Opened For Write",
    "Failed to Write Device",
    "EEPROM Read Failed",
    "EEPROM Write Failed",
    "EEPROM Erased Failed",
    "EEPROM Not Present",
    "EEPROM Not Programmed",
    "Invalid Arguments",
    "Not Supported",
    "Other Errors",
    "Device List Not Ready",
};
constexpr unsigned int kStatusTextCount = sizeof(kStatusText) / sizeof(kStatusText[0]);

}  // namespace

namespace kavro::detail {

// The link an instance uses when none was chosen: the vendor library when it loads, else a new
// libftdi1 provider (owned), else the vendor library, whose failing calls say what is missing.
std::shared_ptr<LinkProvider> NewDefaultLink() {
  LinkProvider& vendor = VendorLink();
  if (!vendor.Available() && LibftdiLinkAvailable()) {
    if (LinkProvider* libftdi = NewLibftdiLink()) return std::shared_ptr<LinkProvider>(libftdi);
  }
  // Not owned: the vendor provider lives as long as the process.
  return std::shared_ptr<LinkProvider>(std::shared_ptr<LinkProvider>(), &vendor);
}

}  // namespace kavro::detail

kavro::LinkProvider& KAVRO_FTD2XX::Link() {
  if (link_ != nullptr) return *link_;
  if (!defaultLink_) defaultLink_ = kavro::detail::NewDefaultLink();
  return *defaultLink_;
}

std::uint64_t KAVRO_FTD2XX::KAVRO_FT_Now() {
  return Link().NowMicroseconds();
}

void KAVRO_FTD2XX::KAVRO_FT_WaitForRx(unsigned int bytes, std::uint64_t deadline_us) {
  ftStatus = Link().WaitForRx(ftHandle, bytes, deadline_us);
}

void KAVRO_FTD2XX::KAVRO_FT_GetDeviceCount() {
  ftStatus = Link().ListDevices(&numDevs, nullptr, kavro::kFtListNumberOnly);
}

void KAVRO_FTD2XX::KAVRO_FT_GetDeviceSerialNumber(void* index) {
  char buffer[kavro::kSerialNumberSize] = {};
  ftStatus =
      Link().ListDevices(index, buffer, kavro::kFtListByIndex | kavro::kFtOpenBySerialNumber);
  if (ftStatus == kavro::kFtOk) CopyText(SerialNumber, buffer, sizeof(buffer));
}

void KAVRO_FTD2XX::KAVRO_FT_GetDeviceDescription(void* index) {
  char buffer[kavro::kDescriptionSize] = {};
  ftStatus = Link().ListDevices(index, buffer, kavro::kFtListByIndex | kavro::kFtOpenByDescription);
  if (ftStatus == kavro::kFtOk) CopyText(Description, buffer, sizeof(buffer));
}

void KAVRO_FTD2XX::KAVRO_FT_OpenByIndex(int index) {
  ftStatus = Link().Open(index, &ftHandle);
}

void KAVRO_FTD2XX::KAVRO_FT_OpenExBySerialNumber() {
  ftStatus = Link().OpenEx(SerialNumber, kavro::kFtOpenBySerialNumber, &ftHandle);
}

void KAVRO_FTD2XX::KAVRO_FT_OpenExByDescription() {
  ftStatus = Link().OpenEx(Description, kavro::kFtOpenByDescription, &ftHandle);
}

void KAVRO_FTD2XX::KAVRO_FT_GetDeviceInfo() {
  unsigned int id = 0;
  char serial[kavro::kSerialNumberSize] = {};
  char description[kavro::kDescriptionSize] = {};
  ftStatus = Link().GetDeviceInfo(ftHandle, &ftDevice, &id, serial, description, nullptr);
}

void KAVRO_FTD2XX::KAVRO_FT_GetStatus() {
  unsigned int event = 0;
  ftStatus = Link().GetStatus(ftHandle, &RxBytes, &TxBytes, &event);
}

void KAVRO_FTD2XX::KAVRO_FT_SetTimeouts(unsigned int read_timeout, unsigned int write_timeout) {
  ftStatus = Link().SetTimeouts(ftHandle, read_timeout, write_timeout);
}

void KAVRO_FTD2XX::KAVRO_FT_SetUSBParameters(unsigned int in_transfer_size,
                                             unsigned int out_transfer_size) {
  ftStatus = Link().SetUSBParameters(ftHandle, in_transfer_size, out_transfer_size);
}

void KAVRO_FTD2XX::KAVRO_FT_SetLatencyTimer(unsigned char timer) {
  ftStatus = Link().SetLatencyTimer(ftHandle, timer);
}

void KAVRO_FTD2XX::KAVRO_FT_GetLatencyTimer() {
  unsigned char timer = 0;
  ftStatus = Link().GetLatencyTimer(ftHandle, &timer);
}

unsigned int KAVRO_FTD2XX::KAVRO_FT_Read(unsigned int count, unsigned int offset) {
  // RxBuffer holds 1024 bytes; never ask for more than fits behind offset.
  if (offset > sizeof(RxBuffer)) offset = sizeof(RxBuffer);
  if (count > sizeof(RxBuffer) - offset) count = sizeof(RxBuffer) - offset;
  unsigned int returned = 0;
  ftStatus = Link().Read(ftHandle, RxBuffer + offset, count, &returned);
  // A provider that claims more than it was asked for is held to what fits.
  return returned < count ? returned : count;
}

void KAVRO_FTD2XX::KAVRO_FT_Write(unsigned int count) {
  if (count > sizeof(TxBuffer)) count = sizeof(TxBuffer);
  unsigned int written = 0;
  ftStatus = Link().Write(ftHandle, TxBuffer, count, &written);
}

void KAVRO_FTD2XX::KAVRO_FT_Purge() {
  ftStatus = Link().Purge(ftHandle, kavro::kFtPurgeRx | kavro::kFtPurgeTx);
}

void KAVRO_FTD2XX::KAVRO_FT_Close() {
  ftStatus = Link().Close(ftHandle);
}

void KAVRO_FTD2XX::KAVRO_FT_CreateDeviceInfoList() {
  ftStatus = Link().CreateDeviceInfoList(&numDevs);
}

void KAVRO_FTD2XX::KAVRO_FT_GetDeviceInfoList() {
  ftStatus = Link().CreateDeviceInfoList(&numDevs);
  // A failed count leaves numDevs as it was: nothing to size a list by.
  if (ftStatus != kavro::kFtOk || numDevs == 0) return;
  // One array per instance, resized and reused by each query instead of leaking a new one.
  devInfoStore_.assign(numDevs, kavro::FT_DEVICE_LIST_INFO_NODE{});
  devInfo = devInfoStore_.data();
  // The list may have grown since it was counted (another instance, a board plugged in): the
  // provider writes no more nodes than the array holds and says how many it wrote.
  ftStatus = Link().GetDeviceInfoList(devInfo, &numDevs);
}

void KAVRO_FTD2XX::KAVRO_FT_SetVIDPID() {
  ftStatus = Link().SetVIDPID(VID, PID);
}

void KAVRO_FTD2XX::KAVRO_FT_GetVIDPID() {
  ftStatus = Link().GetVIDPID(&VID, &PID);
}

void KAVRO_USB_DLL::UseLink(kavro::LinkProvider* provider) {
  link_ = provider;
}

kavro::LinkProvider& KAVRO_USB_DLL::CurrentLink() {
  return Link();
}

const char* kavro::detail::StatusDescription(unsigned int status) {
  return status < kStatusTextCount ? kStatusText[status] : "Unknown Error";
}

void KAVRO_USB_DLL::GetErrorDescription(unsigned int status) {
  kavro::detail::SetErrorText(*this, kavro::detail::StatusDescription(status));
}

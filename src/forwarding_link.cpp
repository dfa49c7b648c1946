// ForwardingLink: every call handed unchanged to the inner provider.
#include "kavro/link.h"

namespace kavro {

ForwardingLink::ForwardingLink(LinkProvider& inner) : inner_(inner) {}

unsigned int ForwardingLink::ListDevices(void* arg1, void* arg2, unsigned int flags) {
  return inner_.ListDevices(arg1, arg2, flags);
}
unsigned int ForwardingLink::Open(int index, void** handle) {
  return inner_.Open(index, handle);
}
unsigned int ForwardingLink::OpenEx(void* arg1, unsigned int flags, void** handle) {
  return inner_.OpenEx(arg1, flags, handle);
}
unsigned int ForwardingLink::Close(void* handle) {
  return inner_.Close(handle);
}
unsigned int ForwardingLink::Read(void* handle, void* buffer, unsigned int count,
                                  unsigned int* returned) {
  return inner_.Read(handle, buffer, count, returned);
}
unsigned int ForwardingLink::Write(void* handle, void* buffer, unsigned int count,
                                   unsigned int* written) {
  return inner_.Write(handle, buffer, count, written);
}
unsigned int ForwardingLink::GetDeviceInfo(void* handle, unsigned int* device, unsigned int* id,
                                           char* serial, char* description, void* dummy) {
  return inner_.GetDeviceInfo(handle, device, id, serial, description, dummy);
}
unsigned int ForwardingLink::GetStatus(void* handle, unsigned int* rx_bytes, unsigned int* tx_bytes,
                                       unsigned int* event) {
  return inner_.GetStatus(handle, rx_bytes, tx_bytes, event);
}
unsigned int ForwardingLink::SetTimeouts(void* handle, unsigned int read_ms,
                                         unsigned int write_ms) {
  return inner_.SetTimeouts(handle, read_ms, write_ms);
}
unsigned int ForwardingLink::SetUSBParameters(void* handle, unsigned int in_size,
                                              unsigned int out_size) {
  return inner_.SetUSBParameters(handle, in_size, out_size);
}
unsigned int ForwardingLink::SetLatencyTimer(void* handle, unsigned char ms) {
  return inner_.SetLatencyTimer(handle, ms);
}
unsigned int ForwardingLink::GetLatencyTimer(void* handle, unsigned char* ms) {
  return inner_.GetLatencyTimer(handle, ms);
}
unsigned int ForwardingLink::Purge(void* handle, unsigned int mask) {
  return inner_.Purge(handle, mask);
}
unsigned int ForwardingLink::CreateDeviceInfoList(unsigned int* count) {
  return inner_.CreateDeviceInfoList(count);
}
unsigned int ForwardingLink::GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list,
                                               unsigned int* count) {
  return inner_.GetDeviceInfoList(list, count);
}
unsigned int ForwardingLink::SetVIDPID(unsigned int vid, unsigned int pid) {
  return inner_.SetVIDPID(vid, pid);
}
unsigned int ForwardingLink::GetVIDPID(unsigned int* vid, unsigned int* pid) {
  return inner_.GetVIDPID(vid, pid);
}
std::uint64_t ForwardingLink::NowMicroseconds() {
  return inner_.NowMicroseconds();
}
void ForwardingLink::SleepUntil(std::uint64_t deadline_us) {
  inner_.SleepUntil(deadline_us);
}
unsigned int ForwardingLink::WaitForRx(void* handle, unsigned int bytes,
                                       std::uint64_t deadline_us) {
  return inner_.WaitForRx(handle, bytes, deadline_us);
}
std::string ForwardingLink::Diagnostic() const {
  return inner_.Diagnostic();
}
bool ForwardingLink::Available() const {
  return inner_.Available();
}
std::string ForwardingLink::Name() const {
  return inner_.Name();
}

}  // namespace kavro

// Register reads: one EEPROM register (two data bytes) or one channel register (one byte),
// answered as raw characters.
#include "KAVRO_USB_DLL.h"
#include "protocol/packet.h"
#include "protocol/result.h"
#include "protocol/steps.h"

using namespace kavro::detail;

namespace {

Step<RegisterBytes> RegisterRead(KAVRO_USB_DLL& d, void* handle, const Command& c,
                                 const unsigned char* data, unsigned int count) {
  const Exchanged x = Exchange(d, handle, c, 0, data, count);
  Step<RegisterBytes> r = StepOf<RegisterBytes>(x);
  if (!x.failure) r.value = {x.reply.data[0], x.reply.data[1], x.reply.data[2]};
  return r;
}

}  // namespace

namespace kavro::detail {

Step<RegisterBytes> ReadEeprom(KAVRO_USB_DLL& d, void* handle, unsigned char address) {
  Step<RegisterBytes> r = RegisterRead(d, handle, cmd::kReadEeprom, &address, 1);
  if (!r.failure) r.shown.eeprom = {r.value[1], r.value[2]};
  return r;
}

Step<RegisterBytes> ReadChannelRegister(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                        unsigned char address) {
  const unsigned char data[] = {channel, address};
  return RegisterRead(d, handle, cmd::kReadChannelRegister, data, sizeof(data));
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Read_EEPROM_Register(void* handle, unsigned char address) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  const Step<RegisterBytes> r = ReadEeprom(*this, handle, address);
  if (ShowStep(*this, r)) return Answer(*this, r.failure);
  const char bytes[] = {static_cast<char>(r.value[1]), static_cast<char>(r.value[2])};
  return std::string(bytes, sizeof(bytes));
}

std::string KAVRO_USB_DLL::Read_Channel_Register(void* handle, unsigned char channel,
                                                 unsigned char address) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  const Step<RegisterBytes> r = ReadChannelRegister(*this, handle, channel, address);
  if (ShowStep(*this, r)) return Answer(*this, r.failure);
  return std::string(1, static_cast<char>(r.value[2]));
}

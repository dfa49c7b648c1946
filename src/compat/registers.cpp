// Register reads: one EEPROM register (two data bytes) or one channel register (one byte),
// answered as raw characters.
#include "KAVRO_USB_DLL.h"
#include "protocol/packet.h"
#include "protocol/result.h"
#include "protocol/steps.h"

using namespace kavro::detail;

namespace {

Outcome<RegisterBytes> RegisterReply(const Outcome<Reply>& r) {
  if (r.failure) return {r.failure};
  return {{}, {r.value.data[0], r.value.data[1], r.value.data[2]}};
}

}  // namespace

namespace kavro::detail {

Outcome<RegisterBytes> ReadEeprom(KAVRO_USB_DLL& d, void* handle, unsigned char address) {
  Outcome<RegisterBytes> r = RegisterReply(Exchange(d, handle, cmd::kReadEeprom, 0, &address, 1));
  if (!r.failure) {
    d.EepromData1 = r.value[1];
    d.EepromData2 = r.value[2];
  }
  return r;
}

Outcome<RegisterBytes> ReadChannelRegister(KAVRO_USB_DLL& d, void* handle, unsigned char channel,
                                           unsigned char address) {
  const unsigned char data[] = {channel, address};
  return RegisterReply(Exchange(d, handle, cmd::kReadChannelRegister, 0, data, sizeof(data)));
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Read_EEPROM_Register(void* handle, unsigned char address) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  const Outcome<RegisterBytes> r = ReadEeprom(*this, handle, address);
  if (r.failure) return Answer(*this, r.failure);
  const char bytes[] = {static_cast<char>(r.value[1]), static_cast<char>(r.value[2])};
  return std::string(bytes, sizeof(bytes));
}

std::string KAVRO_USB_DLL::Read_Channel_Register(void* handle, unsigned char channel,
                                                 unsigned char address) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  const Outcome<RegisterBytes> r = ReadChannelRegister(*this, handle, channel, address);
  if (r.failure) return Answer(*this, r.failure);
  return std::string(1, static_cast<char>(r.value[2]));
}

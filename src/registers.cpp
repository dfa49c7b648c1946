// Register reads: one EEPROM register (two data bytes) or one channel register (one byte),
// answered as raw characters.
#include "KAVRO_USB_DLL.h"
#include "packet.h"
#include "result.h"

using namespace kavro::detail;

std::string KAVRO_USB_DLL::Read_EEPROM_Register(void* handle, unsigned char address) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  if (!Exchange(*this, handle, cmd::kReadEeprom, 0, &address, 1)) return kError;
  EepromData1 = PacketData[1];
  EepromData2 = PacketData[2];
  const char bytes[] = {static_cast<char>(PacketData[1]), static_cast<char>(PacketData[2])};
  return std::string(bytes, sizeof(bytes));
}

std::string KAVRO_USB_DLL::Read_Channel_Register(void* handle, unsigned char channel,
                                                 unsigned char address) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  const unsigned char data[] = {channel, address};
  if (!Exchange(*this, handle, cmd::kReadChannelRegister, 0, data, sizeof(data))) return kError;
  return std::string(1, static_cast<char>(PacketData[2]));
}

// Board management: activity inquiry, version request and its decoding, reset.
#include "KAVRO_USB_DLL.h"
#include "packet.h"
#include "result.h"

using namespace kavro::detail;

namespace {

// A one-character text whose character code is value (not its decimal digits).
void SetCharField(std::string& field, unsigned char value) {
  field.assign(1, static_cast<char>(value));
}

}  // namespace

std::string KAVRO_USB_DLL::Slave_Activity_Inquiry(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Exchange(*this, handle, cmd::kActivity, 0, nullptr, 0) ? "0" : kError;
}

std::string KAVRO_USB_DLL::Version_of_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Exchange(*this, handle, cmd::kVersion, 0, nullptr, 0) ? "0" : kError;
}

void KAVRO_USB_DLL::Get_Version_of_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) {
    SetCharField(VersionField1, static_cast<unsigned char>(SimVersionField1));
    SetCharField(VersionField2, static_cast<unsigned char>(SimVersionField2));
    SetCharField(VersionField3, static_cast<unsigned char>(SimVersionField3));
    SetCharField(VersionField4, static_cast<unsigned char>(SimVersionField4));
    SetCharField(VersionField5, static_cast<unsigned char>(SimVersionField5));
    BoardType = static_cast<unsigned int>(SimVersionField1);
    return;
  }
  VersionField1.clear();
  VersionField2.clear();
  VersionField3.clear();
  VersionField4.clear();
  VersionField5.clear();
  BoardType = 0;

  Version_of_Board(handle);
  if (ExchangeSucceeded(*this)) {
    SetCharField(VersionField1, PacketData[0]);
    SetCharField(VersionField2, PacketData[1]);
    SetCharField(VersionField3, PacketData[2]);
    SetCharField(VersionField4, PacketData[3] >> 4);
    SetCharField(VersionField5, PacketData[3] & 0x0F);
    BoardType = PacketData[0];
  } else {
    VersionField1 = kError;
    VersionField2 = kError;
    VersionField3 = kError;
    VersionField4 = kError;
    VersionField5 = kError;
    BoardType = 255;
  }
}

std::string KAVRO_USB_DLL::Reset_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  // First the acknowledgement of the reset request...
  if (!Exchange(*this, handle, cmd::kReset, 0, nullptr, 0)) return kError;
  // ...then, with nothing sent in between, the notice the board sends once it has restarted.
  RxPacketNumber = cmd::kResetRestartNumber;
  RxLength = cmd::kResetRestartLength;
  RxCommand = cmd::kResetRestartCode;
  ReadPacket(cmd::kResetRestartBudgetMs);
  return Finished(ReadStatus) ? "0" : kError;
}

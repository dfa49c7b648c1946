// Board management: activity inquiry, version request and its decoding, reset.
#include "KAVRO_USB_DLL.h"
#include "protocol/packet.h"
#include "protocol/result.h"
#include "protocol/steps.h"

using namespace kavro::detail;

namespace {

// A one-character text whose character code is value (not its decimal digits).
void SetCharField(std::string& field, unsigned char value) {
  field.assign(1, static_cast<char>(value));
}

void ShowVersion(KAVRO_USB_DLL& d, const std::array<unsigned char, 5>& f) {
  SetCharField(d.VersionField1, f[0]);
  SetCharField(d.VersionField2, f[1]);
  SetCharField(d.VersionField3, f[2]);
  SetCharField(d.VersionField4, f[3]);
  SetCharField(d.VersionField5, f[4]);
}

}  // namespace

namespace kavro::detail {

Failure Activity(KAVRO_USB_DLL& d, void* handle) {
  return ExchangeFailure(d, handle, cmd::kActivity);
}

Outcome<BoardVersion> RequestVersion(KAVRO_USB_DLL& d, void* handle) {
  const Outcome<Reply> r = Exchange(d, handle, cmd::kVersion, 0, nullptr, 0);
  if (r.failure) {
    for (std::string* field :
         {&d.VersionField1, &d.VersionField2, &d.VersionField3, &d.VersionField4, &d.VersionField5})
      *field = kError;
    d.BoardType = 255;
    return {r.failure};
  }
  const auto& data = r.value.data;
  Outcome<BoardVersion> v;
  v.value.fields = {data[0], data[1], data[2], static_cast<unsigned char>(data[3] >> 4),
                    static_cast<unsigned char>(data[3] & 0x0F)};
  v.value.type = data[0];
  ShowVersion(d, v.value.fields);
  d.BoardType = v.value.type;
  return v;
}

Failure ResetBoard(KAVRO_USB_DLL& d, void* handle) {
  // First the acknowledgement of the reset request...
  if (Failure f = ExchangeFailure(d, handle, cmd::kReset)) return f;
  // ...then, with nothing sent in between, the notice the board sends once it has restarted.
  d.RxPacketNumber = cmd::kResetRestartNumber;
  d.RxLength = cmd::kResetRestartLength;
  d.RxCommand = cmd::kResetRestartCode;
  const Expected restart{cmd::kResetRestartNumber, cmd::kResetRestartLength, cmd::kResetRestartCode,
                         d.EndOfPacket};
  return ReceiveShown(d, restart, cmd::kResetRestartBudgetMs).failure;
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Slave_Activity_Inquiry(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Answer(*this, Activity(*this, handle));
}

std::string KAVRO_USB_DLL::Version_of_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Answer(*this, ExchangeFailure(*this, handle, cmd::kVersion));
}

void KAVRO_USB_DLL::Get_Version_of_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) {
    ShowVersion(
        *this,
        {static_cast<unsigned char>(SimVersionField1), static_cast<unsigned char>(SimVersionField2),
         static_cast<unsigned char>(SimVersionField3), static_cast<unsigned char>(SimVersionField4),
         static_cast<unsigned char>(SimVersionField5)});
    BoardType = static_cast<unsigned int>(SimVersionField1);
    return;
  }
  Report(*this, RequestVersion(*this, handle).failure);
}

std::string KAVRO_USB_DLL::Reset_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Answer(*this, ResetBoard(*this, handle));
}

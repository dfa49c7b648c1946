// Board management: activity inquiry, version request and its decoding, reset; and how the
// public class shows what a step did in its fields.
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

// The exchange of command c, without data, as a step.
Step<> Exchanging(KAVRO_USB_DLL& d, void* handle, const Command& c) {
  return StepOf(Exchange(d, handle, c, 0, nullptr, 0));
}

}  // namespace

namespace kavro::detail {

void Shown::Add(const Shown& later) {
  for (unsigned int i = 0; i < later.count; ++i) Add(later.exchanges[i]);
  if (later.version) version = later.version;
  if (later.register_address) register_address = later.register_address;
  if (later.register_high) register_high = later.register_high;
  if (later.register_low) register_low = later.register_low;
  if (later.converter) converter = later.converter;
  if (later.eeprom) eeprom = later.eeprom;
}

void Show(KAVRO_USB_DLL& d, const Shown& s) {
  for (unsigned int i = 0; i < s.count; ++i) ShowExchange(d, s.exchanges[i]);
  if (s.version && s.version->failure) {
    for (std::string* field :
         {&d.VersionField1, &d.VersionField2, &d.VersionField3, &d.VersionField4, &d.VersionField5})
      *field = kError;
    d.BoardType = 255;
  } else if (s.version) {
    ShowVersion(d, s.version->value.fields);
    d.BoardType = s.version->value.type;
  }
  if (s.register_address) d.RegisterAddress = *s.register_address;
  if (s.register_high) d.RegisterHigh = *s.register_high;
  if (s.register_low) d.RegisterLow = *s.register_low;
  if (s.converter) {
    d.AdcConfigUpper = s.converter->upper;
    d.AdcSamplingRate = s.converter->rate;
  }
  if (s.eeprom) {
    d.EepromData1 = (*s.eeprom)[0];
    d.EepromData2 = (*s.eeprom)[1];
  }
}

Step<> Activity(KAVRO_USB_DLL& d, void* handle) {
  return Exchanging(d, handle, cmd::kActivity);
}

Step<BoardVersion> RequestVersion(KAVRO_USB_DLL& d, void* handle) {
  const Exchanged x = Exchange(d, handle, cmd::kVersion, 0, nullptr, 0);
  Step<BoardVersion> v = StepOf<BoardVersion>(x);
  if (!x.failure) {
    const auto& data = x.reply.data;
    v.value.fields = {data[0], data[1], data[2], static_cast<unsigned char>(data[3] >> 4),
                      static_cast<unsigned char>(data[3] & 0x0F)};
    v.value.type = data[0];
  }
  v.shown.version = Outcome<BoardVersion>{v.failure, v.value};
  return v;
}

Step<> ResetBoard(KAVRO_USB_DLL& d, void* handle) {
  // First the acknowledgement of the reset request...
  Step<> step = Exchanging(d, handle, cmd::kReset);
  if (step.failure) return step;
  // ...then, with nothing sent in between, the notice the board sends once it has restarted.
  const Expected restart{cmd::kResetRestartNumber, cmd::kResetRestartLength, cmd::kResetRestartCode,
                         kEndOfPacket};
  const Exchanged x = AwaitReply(d, restart, cmd::kResetRestartBudgetMs);
  step.shown.Add(x);
  step.failure = x.failure;
  return step;
}

}  // namespace kavro::detail

std::string KAVRO_USB_DLL::Slave_Activity_Inquiry(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Answer(*this, ShowStep(*this, Activity(*this, handle)));
}

std::string KAVRO_USB_DLL::Version_of_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Answer(*this, ShowStep(*this, Exchanging(*this, handle, cmd::kVersion)));
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
  Report(*this, ShowStep(*this, RequestVersion(*this, handle)));
}

std::string KAVRO_USB_DLL::Reset_Board(void* handle) {
  ClearErrorText(*this);
  if (Simulating(*this)) return "0";
  return Answer(*this, ShowStep(*this, ResetBoard(*this, handle)));
}

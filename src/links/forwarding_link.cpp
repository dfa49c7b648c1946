// ForwardingLink: every call handed unchanged to the inner provider.
#include "kavro/link.h"

namespace kavro {

ForwardingLink::ForwardingLink(LinkProvider& inner) : inner_(inner) {}

#define KAVRO_FORWARD(name, params, args, need) \
  unsigned int ForwardingLink::name params {    \
    return inner_.name args;                    \
  }
KAVRO_D2XX_CALLS(KAVRO_FORWARD)
#undef KAVRO_FORWARD

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

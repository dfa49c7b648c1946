// The bus's call log: the D2XX functions by name, and the calls made and counted.
#include "kavro_emulator.h"

namespace kavro::emu {

namespace {

#define KAVRO_D2XX_FUNCTION(name, params, args, need) "FT_" #name,
constexpr const char* kCallNames[] = {
    KAVRO_D2XX_CALLS(KAVRO_D2XX_FUNCTION)  // in the order of Call
    "FT_SetEventNotification",
};
static_assert(sizeof(kCallNames) / sizeof(kCallNames[0]) == static_cast<std::size_t>(Call::kCount));

}  // namespace

const char* CallName(Call call) {
  return kCallNames[static_cast<std::size_t>(call)];
}

bool CallFromName(const std::string& name, Call* call) {
  for (std::size_t i = 0; i < static_cast<std::size_t>(Call::kCount); ++i) {
    if (name == kCallNames[i] || name == kCallNames[i] + 3) {
      *call = static_cast<Call>(i);
      return true;
    }
  }
  return false;
}

std::vector<CallRecord> VirtualBus::log() const {
  Lock lock(mutex_);
  return log_;
}

void VirtualBus::ClearLog() {
  Lock lock(mutex_);
  log_.clear();
  counts_.fill(0);
}

std::size_t VirtualBus::CountCalls(Call call) const {
  Lock lock(mutex_);
  return counts_[static_cast<std::size_t>(call)];
}

}  // namespace kavro::emu

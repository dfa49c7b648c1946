// Failures injected into the bus's D2XX calls, and the entry every call makes: the failure it
// meets, its count and its line in the log.
#include "kavro_emulator.h"

namespace kavro::emu {

void VirtualBus::FailCall(Call call, unsigned int status, unsigned int nth) {
  Lock lock(mutex_);
  faults_[static_cast<std::size_t>(call)] = {nth, status, false};
}

void VirtualBus::FailEveryCall(Call call, unsigned int status) {
  Lock lock(mutex_);
  faults_[static_cast<std::size_t>(call)] = {0, status, true};
}

void VirtualBus::ClearFaults() {
  Lock lock(mutex_);
  faults_.fill(CallFault{});
}

unsigned int VirtualBus::Enter(Call call, int device, unsigned int a1, unsigned int a2) {
  CallFault& f = faults_[static_cast<std::size_t>(call)];
  unsigned int status = kavro::kFtOk;
  if (f.every) {
    status = f.status;
  } else if (f.countdown > 0 && --f.countdown == 0) {
    status = f.status;
  }
  ++counts_[static_cast<std::size_t>(call)];
  if (logging) log_.push_back({call, status, device, a1, a2});
  return status;
}

}  // namespace kavro::emu

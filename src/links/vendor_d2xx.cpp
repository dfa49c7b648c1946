// The vendor D2XX library as a link provider. It is loaded at run time so that the library
// builds and runs without it; when it is missing every call fails with a D2XX status and
// Diagnostic() says which files were tried and why they did not load.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kavro/link.h"
#include "platform/platform.h"

namespace {

using Status = unsigned int;
using Handle = void*;

// Function table filled by one loader. The loaded library is the process's, kept once and never
// unloaded; the table is written only during its thread-safe static initialisation.
struct D2xxTable {
#define KAVRO_D2XX_POINTER(name, params, args, need) Status(*name) params = nullptr;
  KAVRO_D2XX_CALLS(KAVRO_D2XX_POINTER)
#undef KAVRO_D2XX_POINTER
  // Not a provider call: how the provider waits for received bytes. Optional.
  Status (*SetEventNotification)(Handle, unsigned int, void*) = nullptr;

  bool loaded = false;
  std::string diagnostic;
};

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& target, std::string& missing) {
  target = reinterpret_cast<Fn>(kavro::platform::LibrarySymbol(library, name));
  if (target == nullptr) {
    missing += missing.empty() ? name : std::string(", ") + name;
    return false;
  }
  return true;
}

D2xxTable Load() {
  D2xxTable t;
  void* library = nullptr;
  std::string tried;
  for (const std::string& name : kavro::platform::VendorLibraryNames()) {
    std::string why;
    library = kavro::platform::OpenLibrary(name, &why);
    if (library != nullptr) break;
    tried += (tried.empty() ? "" : "; ") + name + " (" + why + ")";
  }
  if (library == nullptr) {
    t.diagnostic = "the D2XX library could not be loaded: tried " + tried;
    return t;
  }
  // Each symbol missing from the library is named in the list of its need.
  std::string missing_required, missing_optional;
#define KAVRO_D2XX_RESOLVE(name, params, args, need) \
  Resolve(library, "FT_" #name, t.name, missing_##need);
  KAVRO_D2XX_CALLS(KAVRO_D2XX_RESOLVE)
#undef KAVRO_D2XX_RESOLVE
  Resolve(library, "FT_SetEventNotification", t.SetEventNotification, missing_optional);
  const std::string& missing = missing_required;
  const bool ok = missing.empty();
  if (!ok) {
    t.diagnostic = "the D2XX library was loaded but lacks " + missing;
    return t;
  }
  t.loaded = true;
  return t;
}

const D2xxTable& Table() {
  static const D2xxTable table = Load();
  return table;
}

// The event the vendor library signals when bytes arrive on one open device. It is set on the
// device once, at its first wait, and lives until the device is closed (and as long as a wait on
// it runs).
class RxEvent {
 public:
  void* parameter() const { return event_.parameter(); }

  // Waits until the library signals, or deadline_us on the steady clock, or kLongestWaitUs.
  // Bytes that arrived between the caller's status query and this wait may have signalled nobody
  // (a condition variable keeps no signal); the cap bounds how long such a reply goes unnoticed
  // (the status query itself is not made under the event's mutex: the vendor library may take
  // its own locks in that order).
  void Wait(std::uint64_t deadline_us) {
    const std::uint64_t now = kavro::SteadyMicroseconds();
    if (now >= deadline_us) return;
    event_.Wait(std::min(deadline_us - now, kLongestWaitUs));
  }

 private:
  static constexpr std::uint64_t kLongestWaitUs = 1000;
  kavro::platform::RxEvent event_;
};

class VendorProvider final : public kavro::LinkProvider {
 public:
  Status ListDevices(void* a, void* b, unsigned int flags) override {
    return Ready() ? Table().ListDevices(a, b, flags) : kavro::kFtOtherError;
  }
  Status Open(int index, Handle* h) override {
    return Ready() ? Table().Open(index, h) : kavro::kFtOtherError;
  }
  Status OpenEx(void* a, unsigned int flags, Handle* h) override {
    return Ready() ? Table().OpenEx(a, flags, h) : kavro::kFtOtherError;
  }
  Status Close(Handle h) override {
    if (!Ready()) return kavro::kFtOtherError;
    const Status status = Table().Close(h);
    // Closed, the device signals its event no more. A close that failed may have left it open.
    if (status == kavro::kFtOk) {
      std::lock_guard<std::mutex> lock(events_mutex_);
      events_.erase(h);
    }
    return status;
  }
  Status Read(Handle h, void* b, unsigned int n, unsigned int* got) override {
    return Ready() ? Table().Read(h, b, n, got) : kavro::kFtOtherError;
  }
  Status Write(Handle h, void* b, unsigned int n, unsigned int* put) override {
    return Ready() ? Table().Write(h, b, n, put) : kavro::kFtOtherError;
  }
  Status GetDeviceInfo(Handle h, unsigned int* dev, unsigned int* id, char* serial, char* desc,
                       void* dummy) override {
    return Ready() ? Table().GetDeviceInfo(h, dev, id, serial, desc, dummy) : kavro::kFtOtherError;
  }
  Status GetStatus(Handle h, unsigned int* rx, unsigned int* tx, unsigned int* ev) override {
    return Ready() ? Table().GetStatus(h, rx, tx, ev) : kavro::kFtOtherError;
  }
  Status SetTimeouts(Handle h, unsigned int rd, unsigned int wr) override {
    return Ready() ? Table().SetTimeouts(h, rd, wr) : kavro::kFtOtherError;
  }
  Status SetUSBParameters(Handle h, unsigned int in, unsigned int out) override {
    return Ready() ? Table().SetUSBParameters(h, in, out) : kavro::kFtOtherError;
  }
  Status SetLatencyTimer(Handle h, unsigned char ms) override {
    return Ready() ? Table().SetLatencyTimer(h, ms) : kavro::kFtOtherError;
  }
  Status GetLatencyTimer(Handle h, unsigned char* ms) override {
    return Ready() ? Table().GetLatencyTimer(h, ms) : kavro::kFtOtherError;
  }
  Status Purge(Handle h, unsigned int mask) override {
    return Ready() ? Table().Purge(h, mask) : kavro::kFtOtherError;
  }
  Status CreateDeviceInfoList(unsigned int* n) override {
    if (!Ready()) return kavro::kFtOtherError;
    std::lock_guard<std::mutex> lock(list_mutex_);
    return Table().CreateDeviceInfoList(n);
  }
  // D2XX writes its whole snapshot whatever the caller's array holds. So a fresh snapshot is
  // taken into an array sized for it, with no other list call in between, and at most *n
  // nodes of it are copied out.
  Status GetDeviceInfoList(kavro::FT_DEVICE_LIST_INFO_NODE* list, unsigned int* n) override {
    if (!Ready()) return kavro::kFtOtherError;
    if (list == nullptr || n == nullptr) return kavro::kFtInvalidParameter;
    std::lock_guard<std::mutex> lock(list_mutex_);
    unsigned int count = 0;
    Status status = Table().CreateDeviceInfoList(&count);
    if (status != kavro::kFtOk) return status;
    std::vector<kavro::FT_DEVICE_LIST_INFO_NODE> snapshot(count);
    if (count > 0) status = Table().GetDeviceInfoList(snapshot.data(), &count);
    if (status != kavro::kFtOk) return status;
    const unsigned int copied =
        static_cast<unsigned int>(std::min<std::size_t>({*n, count, snapshot.size()}));
    std::copy_n(snapshot.begin(), copied, list);
    *n = copied;
    return kavro::kFtOk;
  }
  Status SetVIDPID(unsigned int vid, unsigned int pid) override {
    if (!Ready()) return kavro::kFtOtherError;
    return Table().SetVIDPID ? Table().SetVIDPID(vid, pid) : kavro::kFtNotSupported;
  }
  Status GetVIDPID(unsigned int* vid, unsigned int* pid) override {
    if (!Ready()) return kavro::kFtOtherError;
    return Table().GetVIDPID ? Table().GetVIDPID(vid, pid) : kavro::kFtNotSupported;
  }
  std::string Diagnostic() const override { return Table().diagnostic; }
  bool Available() const override { return Ready(); }
  std::string Name() const override { return "vendor D2XX library"; }

  // Waits on the device's event notification (FT_EVENT_RXCHAR), where the loaded library has
  // FT_SetEventNotification; without it the library waits its own way.
  Status WaitForRx(Handle h, unsigned int, std::uint64_t deadline_us) override {
    if (!Ready() || Table().SetEventNotification == nullptr) return kavro::kFtNotSupported;
    const std::shared_ptr<RxEvent> event = EventOf(h);
    if (!event) return kavro::kFtNotSupported;
    event->Wait(deadline_us);
    return kavro::kFtOk;
  }

 private:
  static bool Ready() { return Table().loaded; }

  // The device's event, set on it at the first call; nullptr when the library refused it (then
  // for as long as the device stays open).
  std::shared_ptr<RxEvent> EventOf(Handle h) {
    std::lock_guard<std::mutex> lock(events_mutex_);
    const auto found = events_.find(h);
    if (found != events_.end()) return found->second;
    auto event = std::make_shared<RxEvent>();
    if (event->parameter() == nullptr ||
        Table().SetEventNotification(h, kavro::kFtEventRxChar, event->parameter()) != kavro::kFtOk)
      event.reset();
    events_[h] = event;
    return event;
  }

  std::mutex events_mutex_;
  // By open device. Never freed: the vendor library may still signal the events of devices left
  // open at exit while it shuts down, after this provider is gone.
  std::map<Handle, std::shared_ptr<RxEvent>>& events_ =
      *new std::map<Handle, std::shared_ptr<RxEvent>>;

  // Keeps the list calls of several instances from interleaving.
  std::mutex list_mutex_;
};

}  // namespace

namespace kavro {

LinkProvider& VendorLink() {
  // Process-wide like the vendor library it stands for: the loaded table and the lock that
  // serialises the device-list calls are its only state.
  static VendorProvider provider;
  return provider;
}

}  // namespace kavro

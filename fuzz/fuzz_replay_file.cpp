// Fuzz target: arbitrary bytes as a capture, replayed under a session that makes every kind of
// D2XX call. Whatever the file holds, nothing may crash or overrun a buffer, and once the replay
// has failed every later call must fail with status 18 while Diagnostic() names the file. Seeds:
// captures of this very session against the emulated boards.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "KAVRO_USB_DLL.h"
#include "kavro/capture.h"

namespace {

// Every kind of call: the commands' session, then the calls they never make, straight on the
// link. check() runs after each part.
template <typename Check>
void Session(kavro::LinkProvider& link, Check check) {
  KAVRO_USB_DLL dll;
  dll.UseLink(&link);
  dll.Get_Device_Count();
  dll.Get_Device_Serial_Number(nullptr);
  char serial[] = "KAVRO-0001";
  dll.Open_Device_Connection(serial);
  void* h = dll.DeviceHandle;
  dll.Get_Version_of_Board(h);
  dll.Get_Offset_Load(h, 0);
  for (int i = 0; i < 3; ++i) dll.Normal_Data_Request(h, 0);
  check();
  dll.Close_Device_Connection(h);

  char serial_text[kavro::kSerialNumberSize], text[kavro::kDescriptionSize];
  void* other = nullptr;
  unsigned int a = 0, b = 0, count = 0;
  unsigned char ms = 0;
  kavro::FT_DEVICE_LIST_INFO_NODE nodes[4];
  link.ListDevices(reinterpret_cast<void*>(std::uintptr_t{1}), text,
                   kavro::kFtListByIndex | kavro::kFtOpenByDescription);
  link.Open(1, &other);
  link.GetDeviceInfo(other, &a, &b, serial_text, text, nullptr);
  link.GetLatencyTimer(other, &ms);
  link.Purge(other, kavro::kFtPurgeRx);
  link.Close(other);
  link.SetVIDPID(0x0403, 0x6001);
  link.GetVIDPID(&a, &b);
  link.CreateDeviceInfoList(&count);
  count = 4;
  link.GetDeviceInfoList(nodes, &count);
  check();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = "/tmp/kavro_fuzz_replay_" + std::to_string(getpid()) + ".kavrolog";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  kavro::ReplayLink replay(path);
  Session(replay, [&] {
    unsigned int count = 0;
    if (!replay.ok() && (replay.Diagnostic().find(path) == std::string::npos ||
                         replay.CreateDeviceInfoList(&count) != kavro::kFtOtherError)) {
      std::fprintf(stderr, "a failed replay must name its file and keep failing: %s\n",
                   replay.Diagnostic().c_str());
      std::abort();
    }
  });
  std::remove(path.c_str());
  return 0;
}

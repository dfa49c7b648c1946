// The D2XX calls a link provider takes, in one list: the provider interface, the links that
// forward, capture and replay them, the capture file's call names, the emulator's call log,
// the functions the emulator's drop-in library exports and the symbols loaded from the vendor
// library are all written from it, so a call is added here and nowhere else. Each entry is
//
//   X(Name, (parameters), (arguments), need)
//
// Name is the D2XX function without its "FT_"; the parameters are D2XX's own (every call
// returns an FT_STATUS, unsigned int); need is required or optional: whether a vendor library
// without the symbol can be used at all (some builds lack the VID/PID calls).
//
// Two calls differ from D2XX's: CreateDeviceInfoList takes a snapshot of the attached devices
// and stores their number in *count; GetDeviceInfoList is bounded by the caller: on entry *count
// is the number of nodes list holds, on return the number written, never more than that (the
// list may have grown since the caller counted it).
#ifndef KAVRO_D2XX_CALLS_H
#define KAVRO_D2XX_CALLS_H

// clang-format off
#define KAVRO_D2XX_CALLS(X)                                                                       \
  X(ListDevices, (void* arg1, void* arg2, unsigned int flags), (arg1, arg2, flags), required)    \
  X(Open, (int index, void** handle), (index, handle), required)                                 \
  X(OpenEx, (void* arg1, unsigned int flags, void** handle), (arg1, flags, handle), required)    \
  X(Close, (void* handle), (handle), required)                                                   \
  X(Read, (void* handle, void* buffer, unsigned int count, unsigned int* returned),              \
    (handle, buffer, count, returned), required)                                                 \
  X(Write, (void* handle, void* buffer, unsigned int count, unsigned int* written),              \
    (handle, buffer, count, written), required)                                                  \
  X(GetDeviceInfo, (void* handle, unsigned int* device, unsigned int* id, char* serial,          \
                    char* description, void* dummy),                                             \
    (handle, device, id, serial, description, dummy), required)                                  \
  X(GetStatus, (void* handle, unsigned int* rx_bytes, unsigned int* tx_bytes,                    \
                unsigned int* event),                                                            \
    (handle, rx_bytes, tx_bytes, event), required)                                               \
  X(SetTimeouts, (void* handle, unsigned int read_ms, unsigned int write_ms),                    \
    (handle, read_ms, write_ms), required)                                                       \
  X(SetUSBParameters, (void* handle, unsigned int in_size, unsigned int out_size),               \
    (handle, in_size, out_size), required)                                                       \
  X(SetLatencyTimer, (void* handle, unsigned char ms), (handle, ms), required)                   \
  X(GetLatencyTimer, (void* handle, unsigned char* ms), (handle, ms), required)                  \
  X(Purge, (void* handle, unsigned int mask), (handle, mask), required)                          \
  X(CreateDeviceInfoList, (unsigned int* count), (count), required)                              \
  X(GetDeviceInfoList, (::kavro::FT_DEVICE_LIST_INFO_NODE* list, unsigned int* count),           \
    (list, count), required)                                                                     \
  X(SetVIDPID, (unsigned int vid, unsigned int pid), (vid, pid), optional)                       \
  X(GetVIDPID, (unsigned int* vid, unsigned int* pid), (vid, pid), optional)
// clang-format on

// Helpers for the usual uses of the list.
#define KAVRO_D2XX_ENUMERATOR(name, params, args, need) k##name,
#define KAVRO_D2XX_NAME(name, params, args, need) #name,
#define KAVRO_D2XX_OVERRIDE(name, params, args, need) unsigned int name params override;

#endif  // KAVRO_D2XX_CALLS_H

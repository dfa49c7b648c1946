"""Reads a board through the library's C interface with ctypes (no extension module needed).

   LD_LIBRARY_PATH=<the library's folder> python3 ctypes_example.py [--emulate]
"""
import ctypes as C
import sys

lib = C.CDLL("libKAVRO_USB_DLL.so.0")  # KAVRO_USB_DLL.dll on Windows (C.CDLL: cdecl)
lib.kavro_status_name.restype = C.c_char_p


class OpenOptions(C.Structure):  # kavro_open_options, field for field
    _fields_ = [("size", C.c_uint32), ("link", C.c_int32), ("first_delay_us", C.c_uint64),
                ("max_delay_us", C.c_uint64), ("give_up_after_us", C.c_uint64),
                ("max_attempts", C.c_uint32), ("reconnect", C.c_int32),
                ("calibrated_loads", C.c_int32), ("reserved", C.c_int32),
                ("emulator", C.c_void_p), ("on_event", C.c_void_p), ("user", C.c_void_p)]


class Reading(C.Structure):  # kavro_reading
    _fields_ = [("size", C.c_uint32), ("channel", C.c_uint32), ("status", C.c_int32),
                ("state", C.c_int32), ("counts", C.c_int64), ("load", C.c_double),
                ("monotonic_us", C.c_uint64), ("utc_us", C.c_int64)]


def check(status, board=None):
    if status != 0:
        text = C.create_string_buffer(256)
        lib.kavro_last_error(board, text, 256)
        sys.exit("%s: %s" % (lib.kavro_status_name(status).decode(), text.value.decode()))


options, emulator, board = OpenOptions(), C.c_void_p(), C.c_void_p()
lib.kavro_open_options_init(C.byref(options))
if "--emulate" in sys.argv:
    check(lib.kavro_emulator_new(0, C.byref(emulator)))
    options.link, options.emulator = 3, emulator
check(lib.kavro_open(b"KAVRO-0001", C.byref(options), C.byref(board)))
reading = Reading(size=C.sizeof(Reading))
for _ in range(5):
    check(lib.kavro_read(board, 0, C.byref(reading)), board)
    print("%d counts, load %.3f" % (reading.counts, reading.load))
lib.kavro_release(board)
lib.kavro_emulator_free(emulator)

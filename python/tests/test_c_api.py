# The library's C interface through ctypes, as a Python program without the kavro package's
# extension would call it: status codes, a reading, and a recording fetched into arrays.
import ctypes as C
import math

import kavro  # noqa: F401  (loads the shared library; ctypes then finds it by its name)

lib = C.CDLL("libKAVRO_USB_DLL.so.0")
u32, i32, u64, i64 = C.c_uint32, C.c_int32, C.c_uint64, C.c_int64


class OpenOptions(C.Structure):
    _fields_ = [("size", u32), ("link", i32), ("first_delay_us", u64), ("max_delay_us", u64),
                ("give_up_after_us", u64), ("max_attempts", u32), ("reconnect", i32),
                ("calibrated_loads", i32), ("reserved", i32), ("emulator", C.c_void_p),
                ("on_event", C.c_void_p), ("user", C.c_void_p)]


class Reading(C.Structure):
    _fields_ = [("size", u32), ("channel", u32), ("status", i32), ("state", i32),
                ("counts", i64), ("load", C.c_double), ("monotonic_us", u64), ("utc_us", i64)]


class Summary(C.Structure):
    _fields_ = [("size", u32), ("running", i32), ("status", i32), ("stopped", i32)] + [
        (name, u64) for name in ("due_times", "readings", "errors", "missed", "gaps", "gap_us",
                                 "elapsed_us", "overflowed", "events_lost", "buffered")]


lib.kavro_status_name.restype = C.c_char_p


def test_a_board_through_ctypes():
    emu, board = C.c_void_p(), C.c_void_p()
    assert lib.kavro_emulator_new(0, C.byref(emu)) == 0
    options = OpenOptions()
    lib.kavro_open_options_init(C.byref(options))
    options.link, options.emulator = 3, emu
    assert lib.kavro_open(b"KAVRO-0001", C.byref(options), C.byref(board)) == 0
    reading = Reading(size=C.sizeof(Reading))
    assert lib.kavro_read(board, 0, C.byref(reading)) == 0
    assert 0 < reading.load < 500 and reading.state == 0

    assert lib.kavro_read(board, 1, C.byref(reading)) == 8
    assert lib.kavro_status_name(8) == b"invalid argument"
    text = C.create_string_buffer(200)
    assert lib.kavro_last_error(board, text, 200) == 0
    assert b"channel" in text.value

    channel = (u32 * 1)(0)
    lib.kavro_emulator_schedule_unplug(emu, b"KAVRO-0001", u64(300000), u64(300000))
    assert lib.kavro_record_start(board, channel, C.c_size_t(1), u64(50000)) == 0
    loads, states, got = (C.c_double * 64)(), (i32 * 64)(), C.c_size_t()
    rows = []
    while len(rows) < 20:
        assert lib.kavro_record_fetch(board, C.c_size_t(64), None, loads, None, states, None,
                                      C.byref(got)) == 0
        rows += zip(loads[:got.value], states[:got.value])
    summary = Summary(size=C.sizeof(Summary))
    assert lib.kavro_record_stop(board, C.byref(summary)) == 0
    assert summary.gaps == 1 and summary.overflowed == 0
    assert any(state == 6 and math.isnan(load) for load, state in rows)  # failed in the gap
    assert rows[-1][1] == 0 and not math.isnan(rows[-1][0])  # back after it

    assert lib.kavro_close(board) == 0
    assert lib.kavro_read(board, 0, C.byref(reading)) == 14  # closed
    lib.kavro_release(board)
    lib.kavro_emulator_free(emu)

"""The kavro package against the board emulator: boards, recordings, errors, the GIL and Ctrl-C."""

import ast
import inspect
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kavro


ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture
def emu():
    """The ready-made boards and FLAT: a constant 250000 counts, 50.0 in unit 1."""
    e = kavro.Emulator()
    e.add_board("FLAT", counts=250000, offset_reading=0, fullscale_reading=1000000,
                fullscale_load=2000, decimal_point=1)
    return e


def test_a_board_opens_by_serial_with_its_type_version_and_channels(emu):
    assert kavro.list_boards(link=emu) == ["KAVRO-0001", "KAVRO-0009", "FLAT"]
    with kavro.open("KAVRO-0009", link=emu) as board:
        assert (board.serial, board.type, board.version, board.channels, board.link,
                board.connected) == ("KAVRO-0009", 9, (9, 1, 2, 3, 4), 4, "board emulator", True)
    with pytest.raises(kavro.InvalidArgumentError, match="KAVRO-0009 is closed"):
        board.read()


def test_readings_carry_counts_load_unit_and_time_and_a_tare_zeroes_the_load(emu):
    board = kavro.open("FLAT", link=emu)
    reading = board.read(0)
    assert (reading.channel, reading.counts, reading.load, reading.unit_code, reading.state,
            reading.raw) == (0, 250000, 50.0, 1, "ok", "250000")
    assert 0 < reading.time <= emu.time and abs(reading.wall.timestamp() - time.time()) < 60
    assert board.calibration(0) == kavro.Calibration(0, 1000000, 0, 2000, 1, 1)
    assert board.calibration(0).to_load(750000) == 150.0
    assert (board.tare(0, samples=4), board.current_tare(0), board.read().load) == (50.0, 50.0, 0.0)
    board.clear_tare()
    assert (board.read().load, board.current_tare()) == (50.0, None)
    assert (reading.calibration, reading.calibration_date, reading.unit) == ("board", None,
                                                                             "unit code 1")


def test_a_settings_file_gives_the_user_calibration_its_tare_and_unit(emu, tmp_path):
    settings = tmp_path / "settings.json"
    settings.write_text('{"boards": {"FLAT": {"channels": {"0": {"unit": "kg", "tare": 5,'
                        ' "calibration": {"zero_reading": 50000, "span_reading": 450000,'
                        ' "span_load": 20, "date": "2026-12-07T21:50:24Z"}}}}}}')
    reading = kavro.open("FLAT", link=emu, settings=settings).read()
    assert (reading.load, reading.calibration, reading.calibration_date, reading.unit) == (
        5.0, "user", "2026-12-07T21:50:24Z", "kg")
    settings.write_text('{"boards": []}')
    with pytest.raises(kavro.InvalidArgumentError, match="settings.json: boards: an object"):
        kavro.open("FLAT", link=emu, settings=str(settings))


def test_the_converter_configuration_is_read_and_set_and_the_board_resets(emu):
    board = kavro.open("KAVRO-0001", link=emu)
    assert board.converter() == kavro.ConverterConfig(rate=5, upper=1)
    board.set_sampling_rate(0, rate=9)
    assert board.converter().byte == 0x19
    board.set_converter_byte(value=0x23)
    assert board.eeprom_register(0x64) == b"\x00\x00\x23"
    with pytest.warns(DeprecationWarning, match=r"call set_sampling_rate\(channel, rate=...\)"):
        board.set_sampling_rate(7, 0)  # the older order: the code first
    assert board.converter().byte == 0x27
    assert kavro.open("KAVRO-0009", link=emu).channel_register(2, 0x64) == b"\x00\x00\x24"
    board.reset()
    board.ping()


@pytest.mark.parametrize("serial, channels, width, limit, loads", [
    ("FLAT", 0, 1, dict(count=5, interval=0.1), [[50.0]] * 5),
    ("KAVRO-0009", [1, 3], 2, dict(seconds=1.0, interval=0.25), None),
])
def test_a_recording_gives_a_row_per_due_time_and_a_column_per_channel(
        emu, serial, channels, width, limit, loads):
    rec = kavro.open(serial, link=emu).record(channels, **limit)
    assert len(rec) == rec.due_times == rec.readings / width == len(rec.index) == len(rec.time)
    assert rec.counts.shape == rec.load.shape == rec.valid.shape == (len(rec), width)
    assert rec.index.tolist() == list(range(len(rec))) and rec.valid.all()
    assert (rec.counts.dtype, rec.load.dtype) == (np.int64, np.float64)
    assert rec.time[1:] == pytest.approx([limit["interval"] * k for k in range(1, len(rec))], abs=0.01)
    ended = "count reached" if "count" in limit else "duration reached"
    assert (rec.errors, rec.missed, rec.gaps, rec.interrupted, rec.ended) == (0, 0, [], False, ended)
    if loads:
        assert rec.load.tolist() == loads and (rec.counts == 250000).all()


def test_an_unplug_during_a_recording_is_a_gap_after_which_the_board_reads_again(emu):
    events = []
    board = kavro.open("FLAT", link=emu, on_event=events.append)
    emu.schedule_unplug("FLAT", after=1.0, duration=0.5)
    rec = board.record(count=40, interval=0.05)
    assert [g.kind for g in rec.gaps] == ["disconnected", "reconnected"] and events == rec.gaps
    assert isinstance(rec.gaps[0].error, kavro.DisconnectedError)
    # Looked for every 0.1 s after the loss; the fifth try finds the board back.
    assert rec.gap_time == pytest.approx(0.5) and rec.gaps[1].attempts == 5
    assert (len(rec), rec.errors, int(rec.valid.sum())) == (40, 10, 30)
    assert np.isnan(rec.load[~rec.valid]).all() and rec.load[-1, 0] == 50.0


def test_several_boards_record_on_one_schedule_and_an_unplugged_one_leaves_its_own_gap(emu):
    one, flat, nine = (kavro.open(s, link=emu) for s in ("KAVRO-0001", "FLAT", "KAVRO-0009"))
    emu.schedule_unplug("FLAT", after=0.6, duration=0.2)
    rec = kavro.record([one, flat], count=6, interval=0.25)
    assert rec.serials == ("KAVRO-0001", "FLAT") and len(rec) == 12 and rec.ended == "count reached"
    rows = {s: [(int(i), e != "") for n, i, e in zip(rec.serial, rec.index, rec.error) if n == s]
            for s in rec.serials}
    assert rows["KAVRO-0001"] == [(k, False) for k in range(6)]
    assert rows["FLAT"] == [(k, k == 3) for k in range(6)]
    assert [(b["serial"], b["readings"], b["errors"], b["gaps"]) for b in rec.boards] == [
        ("KAVRO-0001", 6, 0, 0), ("FLAT", 5, 1, 1)]
    assert (rec.total["readings"], rec.total["due_times"]) == (11, 6)
    frame = rec.to_dataframe()
    flat_rows = frame[frame["serial"] == "FLAT"]
    assert flat_rows["channel"].tolist() == [0] * 6 and flat_rows["load"].isna().tolist() == [
        k == 3 for k in range(6)]
    with pytest.raises(kavro.InvalidArgumentError, match="channel 1: KAVRO-0001 has channel 0 only"):
        kavro.record([nine, one], [1], count=1)


def test_on_sample_sees_each_row_and_stops_the_recording_by_answering_false(emu):
    board = kavro.open("FLAT", link=emu)
    seen = []
    rec = board.record(count=10, keep=False,
                       on_sample=lambda k, row: seen.append((k, row[0].load)) or k < 2)
    assert seen == [(0, 50.0), (1, 50.0), (2, 50.0)] and (len(rec), rec.due_times) == (0, 3)
    with pytest.raises(ZeroDivisionError) as raised:
        board.record(count=3, on_sample=lambda k, row: k < 1 or 1 / 0)
    assert raised.value.recording.index.tolist() == [0, 1]


def test_an_exception_in_on_event_ends_the_recording_and_carries_its_rows(emu):
    def fail(event):
        raise RuntimeError(event.kind)
    board = kavro.open("FLAT", link=emu, on_event=fail)
    emu.schedule_unplug("FLAT", after=0.5, duration=0.5)
    with pytest.raises(RuntimeError, match="disconnected") as raised:
        board.record(count=40, interval=0.1)
    rec = raised.value.recording
    assert isinstance(rec, kavro.Recording) and 5 <= len(rec) < 40 and rec.valid[:5].all()


def test_close_from_another_thread_stops_a_running_recording_within_an_interval(emu):
    board = kavro.open("FLAT", link=emu)

    def close_at_row(k, row):
        if k == 4:
            closer = threading.Thread(target=board.close)
            closer.start()
            closer.join()
    rec = board.record(count=300, interval=0.01, on_sample=close_at_row)
    assert (rec.index[-1], rec.due_times, rec.interrupted) == (4, len(rec), True)


def test_a_recording_carries_its_metadata_and_becomes_a_dataframe_by_utc_time(emu, monkeypatch):
    board = kavro.open("KAVRO-0009", link=emu)
    board.tare(1, samples=2)
    rec = board.record("all", count=3, interval=0.5)
    assert (rec.serial, rec.board_type, rec.version, rec.channels, rec.interval, rec.clock) == (
        "KAVRO-0009", 9, (9, 1, 2, 3, 4), (0, 1, 2, 3), 0.5, "emulated")
    assert rec.tares[0] is None and rec.tares[1] is not None and len(rec.calibrations) == 4
    assert rec.calibrations[2] == board.calibration(2)
    assert rec.start.tzinfo is not None and abs(rec.start.timestamp() - time.time()) < 60
    frame = rec.to_dataframe()
    assert str(frame.index.tz) == "UTC"
    assert (frame.index - rec.start).total_seconds().tolist() == pytest.approx(rec.time.tolist())
    assert frame["load_3"].tolist() == rec.load[:, 3].tolist()
    assert frame.attrs["serial"] == "KAVRO-0009"
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="needs pandas"):
        rec.to_dataframe()
    assert kavro.__version__ == re.search(r"project\(KAVRO_USB_DLL VERSION (\S+)",
                                          (ROOT / "CMakeLists.txt").read_text()).group(1)


def test_an_unbounded_virtual_recording_is_refused_and_running_out_of_memory_keeps_the_rows(emu):
    with pytest.raises(ValueError, match="virtual time needs count or seconds"):
        kavro.open("FLAT", link=emu).record()
    # Under a memory limit a little above what the interpreter has: MemoryError, not an abort.
    script = """if 1:
        import kavro, numpy, resource
        board = kavro.open("KAVRO-0001", link=kavro.Emulator())
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (8 << 20),) * 2)
        try:
            board.record(count=10**9, interval=0)
        except MemoryError as e:
            print("kept", len(e.recording) > 1000 and bool(e.recording.valid.all()))
        """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout) == (0, "kept True\n"), done.stderr


FAULTS = [  # exception, what is done to the emulator, the call, D2XX status, text
    (kavro.NotFoundError, None, lambda e: kavro.open("NOPE", link=e), 2, "Device Not Found"),
    (kavro.CannotOpenError, lambda e: e.fail_call("FT_OpenEx", 3),
     lambda e: kavro.open("FLAT", link=e), 3, "Device Not Opened"),
    (kavro.DisconnectedError, lambda e: e.unplug("FLAT"), None, 4, "IO Error"),
    (kavro.TimedOutError, lambda e: e.reply_fault("FLAT", "drop"), None, 0, "Timeout Error"),
    (kavro.BoardRefusedError, lambda e: e.reply_fault("FLAT", "error_reply", code="L"), None, 0,
     "TEDS Error"),
    (kavro.ProtocolError, lambda e: e.reply_fault("FLAT", "corrupt_number"), None, 0,
     "Packet Number Error"),
    (kavro.NotSupportedError, lambda e: e.add_board("ODD", board_type=5),
     lambda e: kavro.open("ODD", link=e).calibration(), 0, "Invalid Type of Board"),
    (kavro.InvalidArgumentError, None, lambda e: kavro.open("KAVRO-0001", link=e).read(3), 0,
     "channel 3: KAVRO-0001 has channel 0 only"),
    (kavro.BadCalibrationError, lambda e: e.add_board("SAME", offset_reading=7, fullscale_reading=7),
     lambda e: kavro.open("SAME", link=e).tare(), 0,
     "offset and full-scale readings are equal (7): no load can be computed"),
    # Where FTDI's D2XX library is installed the listing succeeds and the case is skipped.
    (kavro.LinkUnavailableError, None,
     lambda e: (kavro.list_boards(link="d2xx"), pytest.skip("FTDI's D2XX library is installed")),
     18, "Other Errors"),
]


@pytest.mark.parametrize("error, fault, call, status, text", FAULTS,
                         ids=[f[0].__name__ for f in FAULTS])
def test_each_kind_of_failure_raises_its_exception_with_status_text_and_hint(
        emu, error, fault, call, status, text):
    board = kavro.open("FLAT", link=emu, reconnect=False, calibrated=False)
    if fault:
        fault(emu)
    with pytest.raises(error) as raised:
        call(emu) if call else board.read()
    assert isinstance(raised.value, kavro.KavroError)
    assert (raised.value.status, raised.value.text) == (status, text)
    assert str(raised.value).startswith(f"{error.kind}: {text}")


@pytest.mark.parametrize("call, error, text", [
    (lambda b, e: b.record("some", count=1), ValueError, 'channels must be .* or "all", not'),
    (lambda b, e: b.record([0.5], count=1), TypeError, "channel must be an integer, not float"),
    (lambda b, e: b.record(count="3"), TypeError, "count must be an integer, not str"),
    (lambda b, e: b.record(count=1, interval="1"), TypeError, "interval must be a number"),
    (lambda b, e: b.record(count=1, on_sample=3), TypeError, "on_sample must be None or a call"),
    (lambda b, e: kavro.open(123, link=e), TypeError, r"serial must be a serial number \(str\)"),
    (lambda b, e: kavro.open("FLAT", link=e, reconnect="yes"), TypeError,
     "reconnect must be True, False or a kavro.Reconnect, not str"),
    (lambda b, e: kavro.open(link=3), TypeError, "link must be None, .* not int"),
    (lambda b, e: b.set_sampling_rate(0, 1, 2), TypeError, "needs set_sampling_rate"),
    (lambda b, e: e.reply_fault("FLAT", "drop", code=0.5), TypeError, "code must be an integer"),
    (lambda b, e: setattr(kavro.KAVRO_USB_DLL(), "ErrorText", "\u20ac"), ValueError, "latin-1"),
])
def test_arguments_of_the_wrong_type_or_value_name_the_argument(emu, call, error, text):
    board = kavro.open("FLAT", link=emu)
    with pytest.raises(error, match=text):
        call(board, emu)
    rec = kavro.open("KAVRO-0009", link=emu).record(np.int64(2), count=np.int64(2))
    assert rec.channels == (2,) and len(rec) == 2 and board.read(np.uint8(0)).counts == 250000


@pytest.mark.parametrize("call, text", [
    (lambda b, e: b.read(-1), "channel -1 is outside"),
    (lambda b, e: b.record(count=0), "count must be 1 or more"),
    (lambda b, e: b.record(seconds=-1), "seconds must be"),
    (lambda b, e: b.set_sampling_rate(rate=16), "Invalid Sampling Rate"),
    (lambda b, e: kavro.open(link="usb"), "link must be None"),
    (lambda b, e: kavro.open(link=e), "3 boards attached"),
])
def test_bad_arguments_raise_before_anything_is_sent(emu, call, text):
    board = kavro.open("FLAT", link=emu)
    with pytest.raises(kavro.InvalidArgumentError, match=text):
        call(board, emu)


@pytest.mark.parametrize("interrupt", ["raise", "return"])
def test_ctrl_c_ends_a_recording_keeps_its_rows_and_reaches_the_script(interrupt):
    board = kavro.open("KAVRO-0001", link=kavro.Emulator(real_time=True))
    # Python's own handler, also where the test runner was started with SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            rec = board.record(seconds=60, interval=0.01, interrupt=interrupt)
        except KeyboardInterrupt as stop:
            assert interrupt == "raise"
            rec = stop.recording
        else:
            assert interrupt == "return"
    finally:
        signal.signal(signal.SIGINT, previous)
    assert rec.interrupted and len(rec) > 0 and rec.elapsed < 30


def test_the_stub_gives_every_name_of_the_module_with_its_parameters():
    def shape(args):  # the names, kinds and defaults of a signature
        return ([a.arg for a in args.posonlyargs + args.args], args.vararg and args.vararg.arg,
                [a.arg for a in args.kwonlyargs], [ast.unparse(d) for d in args.defaults],
                [d and ast.unparse(d) for d in args.kw_defaults])

    def of_module(function):  # pybind11 gives the signature as the docstring's first line
        line = re.sub(r": [^,=)]+(?=[,=)])|->.*$", "", function.__doc__.splitlines()[0])
        return shape(ast.parse(f"def {line}: ...").body[0].args)

    def check(nodes, owner):
        names = {getattr(n, "name", None) or n.target.id for n in nodes
                 if isinstance(n, (ast.FunctionDef, ast.ClassDef, ast.AnnAssign))}
        assert {n for n in dir(owner) if not n.startswith("_")} <= names, owner
        for n in nodes:
            if isinstance(n, ast.ClassDef):
                check(n.body, getattr(owner, n.name))
            elif isinstance(n, ast.FunctionDef) and inspect.isroutine(getattr(owner, n.name)):
                assert shape(n.args) == of_module(getattr(owner, n.name)), n.name
    check(ast.parse((ROOT / "python/kavro/_kavro.pyi").read_text()).body, kavro._kavro)


def test_other_threads_run_while_a_recording_waits_for_the_board():
    board = kavro.open("KAVRO-0001", link=kavro.Emulator(real_time=True))
    recorder = threading.Thread(target=board.record, kwargs=dict(seconds=0.5, interval=0.05))
    recorder.start()
    ticks = 0  # this thread's turns while the recording runs: none if it held the GIL throughout
    while recorder.is_alive():
        time.sleep(0.01)
        ticks += 1
    assert ticks >= 5


def test_the_compatibility_class_answers_from_simulated_values_and_from_the_emulator(emu):
    dll = kavro.KAVRO_USB_DLL()
    dll.SimulationMode, dll.SimOffsetLoad, dll.SimUnitCode, dll.SimDecimalPoint = 1, 120, 4, 2
    dll.Open_Device_Connection("ANY")
    assert dll.DeviceHandle != 0 and dll.SimulationMode == 1
    assert [dll.Get_Offset_Load(dll.DeviceHandle, 0), dll.Get_Unit_Code(dll.DeviceHandle, 0),
            dll.Get_Decimal_Point(dll.DeviceHandle, 0)] == ["120", "4", "2"]
    live = kavro.KAVRO_USB_DLL()
    live.UseLink(emu)
    assert live.CurrentLink().Name() == "board emulator" and live.Get_Device_Count() == "3"
    live.Open_Device_Connection("FLAT")
    assert live.Normal_Data_Request(live.DeviceHandle, 0) == "250000"
    assert (live.PacketSent, live.ErrorText) == ("020442aa", "")
    emu.unplug("FLAT")
    assert live.Normal_Data_Request(live.DeviceHandle, 0) == "Error"
    assert (live.ErrorText, live.ErrorStatus) == ("IO Error", 4)

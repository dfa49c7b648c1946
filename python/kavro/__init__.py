"""Load-measuring sensor-interface boards on USB, from Python.

    import kavro
    with kavro.open("KAVRO-0001") as board:
        print(board.read(0).load)

kavro.open() gives a Board: read(), calibration(), tare(), the converter configuration,
reset() and record(), which returns NumPy arrays. Failures raise a KavroError subclass
(TimedOutError, DisconnectedError, ...) with status, text and hint. Without hardware, pass
link=kavro.Emulator(): emulated boards that speak the same protocol, on virtual time.
kavro.KAVRO_USB_DLL is the compatibility class, for code ported from C++.
"""

from __future__ import annotations

import datetime
import os
from typing import Callable, List, Optional, Sequence, Union

from ._kavro import Board, Emulator, KAVRO_USB_DLL, LinkProvider
from ._types import (BadCalibrationError, BoardEvent, BoardRefusedError, Calibration,
                     CannotOpenError, ConverterConfig, DisconnectedError,
                     InvalidArgumentError, KavroError, LinkUnavailableError, NotFoundError,
                     MultiRecording, NotSupportedError, ProtocolError, Reading, Reconnect,
                     Recording, StoppedError, TimedOutError)
from . import _kavro

__all__ = [
    "__version__", "open", "list_boards", "Board", "Emulator", "KAVRO_USB_DLL", "LinkProvider", "Reading",
    "Calibration", "ConverterConfig", "BoardEvent", "Reconnect", "Recording", "MultiRecording",
    "record", "KavroError",
    "NotFoundError", "CannotOpenError", "DisconnectedError", "TimedOutError",
    "BoardRefusedError", "ProtocolError", "NotSupportedError", "InvalidArgumentError",
    "BadCalibrationError", "LinkUnavailableError", "StoppedError",
]

Link = Union[None, str, Emulator]

__version__: str = _kavro.__version__


def open(serial: Optional[str] = None, *, link: Link = None,
         reconnect: Union[bool, Reconnect] = True,
         on_event: Optional[Callable[[BoardEvent], None]] = None,
         calibrated: bool = True,
         settings: Optional[Union[str, os.PathLike[str]]] = None) -> Board:
    """Opens a board by serial number (None: the only board attached).

    link: None for the default link (FTDI's D2XX library when it loads, else libftdi1),
    "d2xx", "ftdi", or a kavro.Emulator. reconnect: True (the defaults of kavro.Reconnect),
    False (a lost link is final) or a kavro.Reconnect. on_event(event) is called with a
    kavro.BoardEvent when the board disconnects, reconnects or gives up, on the thread whose
    call noticed it. calibrated=False reads counts only (no calibration traffic, no loads).
    settings names a settings file (kavro calibrate writes the user's, see docs/settings.md):
    its user calibrations, default tares and unit labels for this board are applied.
    Raises NotFoundError, CannotOpenError, LinkUnavailableError, ...; TypeError or ValueError
    for an argument of the wrong type or value.
    """
    return Board(serial, link, reconnect, on_event, calibrated, settings)


def list_boards(link: Link = None) -> List[str]:
    """The serial numbers of the boards attached on a link (see open() for link)."""
    return _kavro.list_boards(link)


def record(boards: Sequence[Board], channels: Union[int, Sequence[int], str] = 0, *,
           count: Optional[int] = None, seconds: Optional[float] = None,
           interval: float = 0.1) -> MultiRecording:
    """Records several open boards on one schedule: due at start + k * interval on their one
    clock, each board read on a thread of its own, so a board that is unplugged or slow delays
    no other and reconnects on its own. channels (a number, a list, or "all": every channel
    each board has) apply to each board; a channel a board lacks raises InvalidArgumentError.
    Ends after count due times or seconds (one is needed on the emulator's virtual time), or
    at Ctrl-C (raised after the boards are done). Returns a kavro.MultiRecording: a row per
    board, channel and due time, and a summary per board.
    """
    import numpy
    r = _kavro.record_boards(list(boards), channels, count, seconds, interval)
    serials = r["serials"]
    return MultiRecording(
        serials=serials, serial=[serials[b] for b in r["board"]],
        channel=numpy.array(r["channel"], dtype=numpy.int64),
        index=numpy.array(r["index"], dtype=numpy.int64),
        time=numpy.array(r["time"], dtype=numpy.float64),
        counts=numpy.array(r["counts"], dtype=numpy.int64),
        load=numpy.array(r["load"], dtype=numpy.float64),
        valid=numpy.array(r["valid"], dtype=bool), error=r["error"], boards=r["boards"],
        total=r["total"], interval=r["interval"],
        start=datetime.datetime.fromtimestamp(r["start"], datetime.timezone.utc),
        clock=r["clock"])


for _name in __all__:  # shown and pickled as kavro.X
    if isinstance(globals()[_name], type):
        globals()[_name].__module__ = "kavro"

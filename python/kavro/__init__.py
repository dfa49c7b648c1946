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

import os
from typing import Callable, List, Optional, Union

from ._kavro import Board, Emulator, KAVRO_USB_DLL, LinkProvider
from ._types import (BadCalibrationError, BoardEvent, BoardRefusedError, Calibration,
                     CannotOpenError, ConverterConfig, DisconnectedError,
                     InvalidArgumentError, KavroError, LinkUnavailableError, NotFoundError,
                     NotSupportedError, ProtocolError, Reading, Reconnect, Recording,
                     StoppedError, TimedOutError)
from . import _kavro

__all__ = [
    "__version__", "open", "list_boards", "Board", "Emulator", "KAVRO_USB_DLL", "LinkProvider", "Reading",
    "Calibration", "ConverterConfig", "BoardEvent", "Reconnect", "Recording", "KavroError",
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


for _name in __all__:  # shown and pickled as kavro.X
    if isinstance(globals()[_name], type):
        globals()[_name].__module__ = "kavro"

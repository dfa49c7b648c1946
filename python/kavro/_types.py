"""The values and exceptions of the kavro package (the extension builds them from C++)."""

from __future__ import annotations

import dataclasses
import datetime
from typing import Any, List, Optional, Tuple


class KavroError(Exception):
    """A failure of a board, its link or an argument.

    ``kind`` says what happened ("timed out", "disconnected", ...), ``status`` is the D2XX
    status when a D2XX call failed (else 0), ``text`` the library's message and ``hint``
    what to do about it ("" when there is nothing to say). str() gives all of it in a line.
    """

    kind = "error"

    def __init__(self, text: str, status: int = 0, hint: str = "") -> None:
        super().__init__(text)
        self.text = text
        self.status = status
        self.hint = hint

    def __str__(self) -> str:
        line = f"{self.kind}: {self.text}"
        if self.status:
            line += f" (D2XX status {self.status})"
        return line + (f"; {self.hint}" if self.hint else "")


class NotFoundError(KavroError):
    """No board with that serial number is attached (or none at all)."""

    kind = "not found"


class CannotOpenError(KavroError):
    """The bridge is there but cannot be opened (held by another program or the kernel's
    serial driver, or no permission on the USB device)."""

    kind = "cannot open"


class DisconnectedError(KavroError):
    """The link went away (cable, power); also every call once reconnecting gave up."""

    kind = "disconnected"


class TimedOutError(KavroError, TimeoutError):
    """The board did not answer within the reply budget."""

    kind = "timed out"


class BoardRefusedError(KavroError):
    """The board answered with an error reply (TEDS, command or frame error)."""

    kind = "board refused"


class ProtocolError(KavroError):
    """A reply that does not match the request, or an answer that cannot be understood."""

    kind = "protocol error"


class NotSupportedError(KavroError):
    """This board type lacks the operation."""

    kind = "not supported"


class InvalidArgumentError(KavroError, ValueError):
    """A bad argument, caught before anything was sent (a channel the board does not have...)."""

    kind = "invalid argument"


class BadCalibrationError(KavroError):
    """The stored calibration cannot convert counts to loads (equal readings)."""

    kind = "bad calibration"


class LinkUnavailableError(KavroError):
    """No link library: FTDI's D2XX library is missing, or this build has no libftdi1 link."""

    kind = "link unavailable"


class StoppedError(KavroError):
    """An operation ended by a stop request."""

    kind = "stopped"


_ERRORS = {c.kind: c for c in KavroError.__subclasses__()}


# The library's hints name its C++ calls; here they name the package's.
_PYTHON_NAMES = (("Board::List()", "kavro.list_boards()"), ("Reset()", "board.reset()"))


def error_from(kind: str, text: str, status: int, hint: str) -> KavroError:
    """The exception of a kind, as the extension hands it over."""
    for cpp, python in _PYTHON_NAMES:
        hint = hint.replace(cpp, python)
    return _ERRORS.get(kind, KavroError)(text, status, hint)


def _utc(timestamp: float) -> datetime.datetime:
    """A time in seconds since the epoch as a datetime in UTC."""
    return datetime.datetime.fromtimestamp(timestamp, datetime.timezone.utc)


def _wall(timestamp: float) -> datetime.datetime:
    return datetime.datetime.fromtimestamp(timestamp, datetime.timezone.utc).astimezone()


@dataclasses.dataclass(frozen=True)
class Reading:
    """One reading of a channel.

    ``counts`` is None unless ``state`` is "ok" (else "positive overflow", "negative
    overflow", "converter fault", "unassigned" or "unrecognised", with the board's text in
    ``raw``). ``load`` is the calibrated load with the tare taken off, None without a usable
    calibration. ``time`` is when it was taken, in seconds on the board's monotonic clock;
    ``timestamp`` the same moment in seconds since the epoch (``wall`` as a datetime).
    ``calibration`` says which calibration gave the load: "board" (the board's stored one) or
    "user" (from the settings file, made at ``calibration_date``, UTC ISO-8601); ``unit`` is
    the settings' unit label, else "unit code N" from the board.
    """

    channel: int
    counts: Optional[int]
    load: Optional[float]
    unit_code: Optional[int]
    state: str
    raw: str
    time: float
    timestamp: float
    calibration: Optional[str] = None
    calibration_date: Optional[str] = None
    unit: Optional[str] = None

    @property
    def wall(self) -> datetime.datetime:
        """When the reading was taken, in local time."""
        return _wall(self.timestamp)


@dataclasses.dataclass(frozen=True)
class Calibration:
    """A channel's calibration record: two readings in counts and the loads they stand for."""

    offset_reading: int
    fullscale_reading: int
    offset_load: int
    fullscale_load: int
    unit_code: int
    decimal_point: int

    def to_load(self, counts: int) -> float:
        """The load for a reading: two-point between the stored points, / 10**decimal_point.
        Raises BadCalibrationError when the two readings are equal."""
        from . import _kavro
        return _kavro.to_load(self, counts)


@dataclasses.dataclass(frozen=True)
class ConverterConfig:
    """The converter configuration byte: the sampling-rate code (bits 0-3), the upper field
    (bits 4-6) and the byte they make."""

    rate: int
    upper: int

    @property
    def byte(self) -> int:
        """upper * 16 + rate."""
        return self.upper * 16 + self.rate


@dataclasses.dataclass(frozen=True)
class BoardEvent:
    """A change of a board's connection: ``kind`` "disconnected", "reconnected" or "gave up".

    ``gap`` is how long the board was gone (seconds; reconnected, gave up), ``attempts`` the
    reopens tried, ``error`` what failed (a KavroError, or None).
    """

    kind: str
    serial: str
    time: float
    timestamp: float
    gap: float
    attempts: int
    error: Optional[KavroError]

    @property
    def wall(self) -> datetime.datetime:
        """When it happened, in local time."""
        return _wall(self.timestamp)


@dataclasses.dataclass(frozen=True)
class Reconnect:
    """How a board reopens itself after its link went away: first after ``first_delay``
    seconds, then every ``first_delay`` while the board is not attached; an open that fails on
    an attached board doubles the delay, up to ``max_delay``. Never giving up unless
    ``give_up_after`` (seconds) or ``max_attempts`` (reopens tried) is set. ``enabled=False``:
    a loss is final. A ``first_delay`` of 0 is refused when the board is opened."""

    enabled: bool = True
    first_delay: float = 0.1
    max_delay: float = 2.0
    give_up_after: Optional[float] = None
    max_attempts: Optional[int] = None


@dataclasses.dataclass(frozen=True, eq=False)
class Recording:
    """What Board.record() took: a row per due time, a column per channel.

    ``index`` (int64, n) numbers the due times (a jump is a missed one), ``time`` (float64, n)
    is when each row was taken, in seconds from ``start``; ``counts`` (int64, n x channels),
    ``load`` (float64, NaN where there is none) and ``valid`` (bool: counts are a reading)
    hold the readings. ``gaps`` lists the connection events during the recording.
    ``interrupted``: ended early by Ctrl-C (with interrupt="return") or by close().

    What it was taken from: the board's ``serial``, ``board_type`` and ``version``, the
    ``channels``, the ``interval`` (seconds), the ``start`` (a datetime in UTC), each channel's
    calibration record (``calibrations``, None where none was used) and the tare taken off its
    loads (``tares``, None for none), and the ``clock``: "real", or "emulated" for the
    emulator's virtual time.
    """

    serial: str
    channels: Tuple[int, ...]
    index: Any
    time: Any
    counts: Any
    load: Any
    valid: Any
    gaps: List[BoardEvent]
    due_times: int
    readings: int
    errors: int
    missed: int
    gap_time: float
    elapsed: float
    interrupted: bool
    gave_up: bool
    ended: str  # why it ended: "count reached", "duration reached", "sink declined" (on_sample
    # said stop, or Ctrl-C), "gave up reconnecting"
    board_type: int
    version: Tuple[int, int, int, int, int]
    interval: float
    start: datetime.datetime
    calibrations: Tuple[Optional[Calibration], ...]
    tares: Tuple[Optional[float], ...]
    clock: str

    def __len__(self) -> int:
        """The number of rows."""
        return len(self.index)

    @property
    def rate(self) -> float:
        """Successful readings per second."""
        return self.readings / self.elapsed if self.elapsed else 0.0

    def to_dataframe(self) -> Any:
        """The rows as a pandas DataFrame indexed by UTC time ("time"): for each channel c the
        columns load_c (NaN where there is none), counts_c (missing where not a reading) and
        valid_c, and the due-time number "due". The metadata is in its ``attrs``.
        Raises ImportError when pandas is not installed."""
        try:
            import pandas
        except ImportError as missing:
            raise ImportError("Recording.to_dataframe() needs pandas, which is not installed: "
                              "pip install pandas (or apt install python3-pandas)") from missing
        import numpy
        when = pandas.to_datetime(self.start) + pandas.to_timedelta(self.time, unit="s")
        columns = {"due": self.index}
        for i, c in enumerate(self.channels):
            columns[f"load_{c}"] = self.load[:, i]
            columns[f"counts_{c}"] = pandas.array(
                numpy.where(self.valid[:, i], self.counts[:, i], 0), dtype="Int64")
            columns[f"counts_{c}"][~self.valid[:, i]] = pandas.NA
            columns[f"valid_{c}"] = self.valid[:, i]
        frame = pandas.DataFrame(columns, index=pandas.DatetimeIndex(when, name="time"))
        frame.attrs.update(
            serial=self.serial, board_type=self.board_type, version=self.version,
            channels=self.channels, interval=self.interval, start=self.start,
            calibrations=self.calibrations, tares=self.tares, clock=self.clock)
        return frame


@dataclasses.dataclass(frozen=True, eq=False)
class MultiRecording:
    """What kavro.record() took from several boards on one schedule: a row per board, channel
    and due time, in the order the boards handed them over (each board's rows in due-time
    order; the boards of one due time in any order).

    ``serial`` (a list of str) and ``channel`` (int64) say whose row it is, ``index`` (int64)
    numbers its due time, ``time`` (float64) is when it was taken in seconds from the start;
    ``counts`` (int64), ``load`` (float64, NaN where there is none), ``valid`` (bool: counts
    are a reading) and ``error`` (the failure's description, "" for a reading). ``boards``
    has a summary per board (a dict: serial, due_times, readings, errors, missed, gaps,
    gap_time, elapsed, ended, gap_events) and ``total`` the totals; ``ended`` says why the
    recording ended.
    """

    serials: Tuple[str, ...]
    serial: List[str]
    channel: Any
    index: Any
    time: Any
    counts: Any
    load: Any
    valid: Any
    error: List[str]
    boards: List[dict]
    total: dict
    interval: float
    start: datetime.datetime
    clock: str

    @property
    def ended(self) -> str:
        return self.total["ended"]

    def __len__(self) -> int:
        """The number of rows."""
        return len(self.index)

    def to_dataframe(self) -> Any:
        """The rows as a pandas DataFrame indexed by UTC time ("time"), with the columns
        serial, channel, due, load, counts (missing where not a reading), valid and error.
        Raises ImportError when pandas is not installed."""
        try:
            import pandas
        except ImportError as missing:
            raise ImportError("MultiRecording.to_dataframe() needs pandas, which is not "
                              "installed: pip install pandas (or apt install python3-pandas)"
                              ) from missing
        when = pandas.to_datetime(self.start) + pandas.to_timedelta(self.time, unit="s")
        counts = pandas.array(self.counts, dtype="Int64")
        counts[~self.valid] = pandas.NA
        frame = pandas.DataFrame(
            {"serial": self.serial, "channel": self.channel, "due": self.index,
             "load": self.load, "counts": counts, "valid": self.valid, "error": self.error},
            index=pandas.DatetimeIndex(when, name="time"))
        frame.attrs.update(serials=self.serials, interval=self.interval, start=self.start,
                           clock=self.clock)
        return frame

"""iRacing: its live telemetry in the shared memory ``IRSDKMemMapFileName``, and the same
layout on disk, the ``.ibt`` files the sim records.

Layout: ``irsdk_defines.h`` of the iRacing SDK 1.19 (header version IRSDK_VER 2). The
memory map starts with an irsdk_header whose offsets lead to the session info (YAML
text), to numVars irsdk_varHeader entries that name each variable of a telemetry row and
say where in the row it lies and of what type, and to numBuf rows of bufLen bytes that
the sim fills in turn (irsdk_varBuf: the newest row has the highest tickCount). An .ibt
file is the same header followed by an irsdk_diskSubHeader; its rows lie one after the
other from varBuf[0].bufOffset.
"""
import codecs
import math
import os
import re
import struct
from dataclasses import dataclass
from typing import Any, BinaryIO, Dict, Iterator, Mapping, NamedTuple, Optional, Tuple, Union

import yaml

from ..telemetry import Telemetry
from .base import Fields, NotLive, Page, SharedMemoryDecoder, Spans, Torn, Unreadable, merged, take

IRSDK_MEMMAPFILENAME = "IRSDKMemMapFileName"  # Windows: "Local\IRSDKMemMapFileName"
IRSDK_VER = 2
IRSDK_MAX_BUFS = 4
irsdk_stConnected = 1

IRSDK_VAR_BUF = Fields(("tickCount", "i"), ("bufOffset", "i"), ("pad", "2i"))
IRSDK_HEADER = Fields(
    ("ver", "i"), ("status", "i"), ("tickRate", "i"), ("sessionInfoUpdate", "i"),
    ("sessionInfoLen", "i"), ("sessionInfoOffset", "i"), ("numVars", "i"),
    ("varHeaderOffset", "i"), ("numBuf", "i"), ("bufLen", "i"), ("pad1", "2i"),
    ("varBuf", f"{IRSDK_MAX_BUFS * IRSDK_VAR_BUF.size}s"))
IRSDK_VAR_HEADER = Fields(
    ("type", "i"), ("offset", "i"), ("count", "i"), ("countAsTime", "?"), ("pad", "3s"),
    ("name", "32s"), ("desc", "64s"), ("unit", "32s"))  # IRSDK_MAX_STRING, IRSDK_MAX_DESC
# time_t is 64 bits in the sim's (64-bit) build.
IRSDK_DISK_SUB_HEADER = Fields(
    ("sessionStartDate", "q"), ("sessionStartTime", "d"), ("sessionEndTime", "d"),
    ("sessionLapCount", "i"), ("sessionRecordCount", "i"))

# irsdk_VarType -> its struct format: irsdk_char, irsdk_bool, irsdk_int, irsdk_bitField,
# irsdk_float, irsdk_double.
IRSDK_VAR_TYPES = {0: "b", 1: "?", 2: "i", 3: "I", 4: "f", 5: "d"}

# irsdk_EngineWarnings.
irsdk_oilPressureWarning, irsdk_pitSpeedLimiter, irsdk_oilTempWarning = 0x04, 0x10, 0x40
# irsdk_Flags -> the flag shown, most urgent first: red stops everyone; a black flag
# (black, disqualify, the repair "meatball", the furled warning) is an order to this
# driver; yellow (also debris and full-course caution) is danger ahead; blue asks this
# driver to let a car by but is no danger; chequered, white and green only tell where
# the session stands. The start lights, "servicible" and the countdowns are no flag.
IRSDK_FLAGS = (
    ("red", 0x00000010),
    ("black", 0x00010000 | 0x00020000 | 0x00100000 | 0x00080000),
    ("yellow", 0x00000008 | 0x00000100 | 0x00000040 | 0x00004000 | 0x00008000),
    ("blue", 0x00000020),
    ("chequered", 0x00000001),
    ("white", 0x00000002),
    ("green", 0x00000004 | 0x00000400),
)

# The variables of a row that torqdash shows; a sim or car without one leaves it None.
VARIABLES = (
    "RPM", "Gear", "Speed", "FuelLevelPct", "LapCurrentLapTime", "LapLastLapTime",
    "LapBestLapTime", "LapDeltaToBestLap", "LapDeltaToBestLap_OK", "PlayerCarPosition",
    "EngineWarnings", "SessionFlags", "BrakeABSactive", "IsOnTrack",
    # The live map's own copy of the session info's shift-light points.
    "PlayerCarSLFirstRPM", "PlayerCarSLShiftRPM", "PlayerCarSLBlinkRPM")
_WANTED = {name.encode(): name for name in VARIABLES}


def _cp1252(error: UnicodeError) -> Tuple[str, int]:
    if not isinstance(error, UnicodeDecodeError):
        raise error
    return error.object[error.start:error.end].decode("cp1252", "replace"), error.end


codecs.register_error("torqdash-iracing-cp1252", _cp1252)


def session_text(raw: bytes) -> str:
    """The session info's text: the sim writes UTF-8 today, older builds wrote Windows'
    code page 1252, and names cut to a length can end in half a UTF-8 character; bytes
    that are no UTF-8 are read as cp1252 (whose 0x80-0x9F are printable, where Latin-1
    gives control characters that a YAML parser refuses)."""
    return raw.split(b"\0", 1)[0].decode("utf-8", "torqdash-iracing-cp1252")


@dataclass(frozen=True)
class SessionInfo:
    """What torqdash takes from the session info: the player's car and its shift lights."""

    car: Optional[str] = None
    redline_rpm: Optional[float] = None
    first_light_rpm: Optional[float] = None
    shift_rpm: Optional[float] = None
    blink_rpm: Optional[float] = None


_LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)  # libyaml's, where PyYAML has it
# A full grid's session info runs to hundreds of kilobytes (every driver, every session's
# results): only the lines of the player's car are parsed, from pieces of bounded size.
BLOCK_LIMIT = 16384
# Each pattern starts with its line's "\n", which the re module finds fast (a search for
# "^" in MULTILINE mode tries every character).
_DRIVER_INFO = re.compile(r"\nDriverInfo:[ \t]*\r?\n")
_TOP_LEVEL = re.compile(r"\n\S")
_DRIVERS = re.compile(r"\n[ \t]+Drivers:[ \t]*\r?\n")
_ENTRY = re.compile(r"\n[ \t]*- ")
_HEAD_KEYS = ("DriverCarIdx", "DriverCarRedLine", "DriverCarSLFirstRPM", "DriverCarSLShiftRPM",
              "DriverCarSLBlinkRPM")
_CAR_KEYS = ("CarScreenName", "CarPath")


def _values(block: str, keys: Tuple[str, ...]) -> Dict[str, Any]:
    """The values of ``keys`` in one mapping of the session info (the ``Key: value``
    lines under one parent, or of one list entry), each read as the YAML scalar it is.
    Only those lines are parsed: iRacing writes names unquoted, and a ``:`` or ``#`` in a
    setup, team or driver name breaks the YAML around it. A value that is no scalar is
    taken as its text."""
    found: Dict[str, Any] = {}
    for line in block[:BLOCK_LIMIT].splitlines():
        key, colon, value = line.strip().removeprefix("- ").partition(":")
        if colon and key in keys and key not in found:
            try:
                scalar = yaml.load(value, Loader=_LOADER)
            except Exception:  # whatever the sim wrote, the board keeps going
                scalar = None
            found[key] = scalar if isinstance(scalar, (str, int, float)) else value.strip()
    return found


def _rpm(value: Any) -> Optional[float]:
    try:
        rpm = float(value)
    except (TypeError, ValueError, OverflowError):
        return None
    return rpm if math.isfinite(rpm) and rpm > 0 else None


def parse_session_info(session: str) -> SessionInfo:
    """The player's car (``DriverInfo.Drivers[DriverCarIdx]``) and its shift lights and
    red line (``DriverInfo``); empty where the text does not give them."""
    session = "\n" + session
    start = _DRIVER_INFO.search(session)
    if start is None:
        return SessionInfo()
    end = _TOP_LEVEL.search(session, start.end() - 1)
    block = session[start.start():end.start() if end else len(session)]
    drivers = _DRIVERS.search(block)
    head = _values(block[:drivers.start() if drivers else len(block)], _HEAD_KEYS)
    car = None
    try:
        index = int(head.get("DriverCarIdx", -1))
    except (TypeError, ValueError, OverflowError):
        index = -1
    if drivers is not None and index >= 0:
        entry = re.compile(rf"\n[ \t]*- CarIdx:[ \t]*{index}[ \t]*\r?\n").search(block, drivers.end() - 1)
        if entry is not None:
            after = _ENTRY.search(block, entry.end() - 1)
            fields = _values(block[entry.start():after.start() if after else len(block)], _CAR_KEYS)
            names = (fields.get("CarScreenName"), fields.get("CarPath"))
            car = next((str(name) for name in names if name not in (None, "")), None)
    return SessionInfo(car=car, redline_rpm=_rpm(head.get("DriverCarRedLine")),
                       first_light_rpm=_rpm(head.get("DriverCarSLFirstRPM")),
                       shift_rpm=_rpm(head.get("DriverCarSLShiftRPM")),
                       blink_rpm=_rpm(head.get("DriverCarSLBlinkRPM")))


class Row(NamedTuple):
    """How a row is read: ``reader`` gives the values of the variables ``names`` in one
    call; ``floats`` are those that may be NaN or infinite; ``spans`` the bytes they
    occupy (a row holds hundreds of variables, of which a recording keeps these)."""

    names: Tuple[str, ...]
    reader: struct.Struct
    floats: Tuple[str, ...]
    spans: Spans = ()


def variables(page: Page, header: Mapping[str, int]) -> Row:
    """The variables of :data:`VARIABLES` that the header's irsdk_varHeader array names."""
    table = take(page, header["varHeaderOffset"], header["numVars"] * IRSDK_VAR_HEADER.size)
    found = []
    name_at = IRSDK_VAR_HEADER.offset("name")
    for at in range(0, len(table), IRSDK_VAR_HEADER.size):
        name = _WANTED.get(table[at + name_at:at + name_at + 32].split(b"\0", 1)[0])
        if name is None:
            continue
        var = IRSDK_VAR_HEADER.read(table, at)
        code = IRSDK_VAR_TYPES.get(var["type"])
        if code is None or var["count"] < 1:
            continue  # not a number: as good as absent
        if not 0 <= var["offset"] <= header["bufLen"] - struct.calcsize(code):
            raise Unreadable
        found.append((var["offset"], code, name))
    fmt, end, names, floats, spans = "<", 0, [], [], []
    for offset, code, name in sorted(found):
        if offset >= end:  # (variables that overlap are no layout the sim writes)
            fmt += f"{offset - end}x{code}"
            end = offset + struct.calcsize(code)
            names.append(name)
            floats += [name] if code in "fd" else []
            spans.append((offset, end))
    return Row(tuple(names), struct.Struct(fmt), tuple(floats), merged(spans))


def flag(flags: Optional[int]) -> Optional[str]:
    """The most urgent flag of an irsdk_Flags bit field (see :data:`IRSDK_FLAGS`)."""
    if flags is None:
        return None
    return next((name for name, bits in IRSDK_FLAGS if flags & bits), None)


def _positive(value: Optional[float]) -> Optional[float]:
    return value if value is not None and value > 0 else None  # iRacing's "none yet": 0 or -1


# Whatever type a var header gives, the record's own.
def _whole(value: Optional[float]) -> Optional[int]:
    return None if value is None else int(value)


def _bool(value: Optional[float]) -> Optional[bool]:
    return None if value is None else bool(value)


class IRacing(SharedMemoryDecoder):
    """iRacing's memory map: the newest complete row, with the car and its shift lights
    from the session info, which is read again only when the sim updates it."""

    name = "iracing"
    game = "iRacing"
    # The least a page must hold; on Windows the whole mapping is read, at its own size.
    pages = {IRSDK_MEMMAPFILENAME: IRSDK_HEADER.size}
    windows_names = {IRSDK_MEMMAPFILENAME: "Local\\" + IRSDK_MEMMAPFILENAME}

    def __init__(self) -> None:
        super().__init__()
        self.session = SessionInfo()
        self._layout: Optional[Tuple[int, ...]] = None
        self._row = Row((), struct.Struct("<"), ())
        self._session_update: Optional[int] = None
        #: The tickCount of the row read last.
        self.tick: Optional[int] = None

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        page = self.page(pages, IRSDK_MEMMAPFILENAME)
        if len(page) < IRSDK_HEADER.size:
            raise NotLive  # made by a bridge, not yet written
        header = IRSDK_HEADER.read(take(page, 0, IRSDK_HEADER.size))
        if not header["status"] & irsdk_stConnected or header["ver"] != IRSDK_VER:
            # The sim is gone (or was never there): the next one may differ in everything.
            self._layout = self._session_update = self.tick = None
            raise NotLive
        self.describe(page, header)
        count = header["numBuf"]
        buffers = list(IRSDK_VAR_BUF.struct.iter_unpack(header["varBuf"][:count * IRSDK_VAR_BUF.size]))
        newest = max(range(count), key=lambda n: buffers[n][0])
        tick, offset = buffers[newest][:2]  # tickCount, bufOffset
        if tick == self.tick:
            return None
        row = take(page, offset, header["bufLen"], keep=self._row.spans)
        at = IRSDK_HEADER.offset("varBuf") + newest * IRSDK_VAR_BUF.size
        if take(page, at, 4) != struct.pack("<i", tick):
            raise Torn  # the sim began to write that row again while it was copied
        self.tick = tick
        return self.telemetry(row)

    def describe(self, page: Page, header: Mapping[str, Any]) -> None:
        """Looks the variables up when the header's layout changes, and reads the
        session info when the sim updated it."""
        if not 1 <= header["numBuf"] <= IRSDK_MAX_BUFS or header["bufLen"] <= 0:
            raise Unreadable
        layout = (header["numVars"], header["varHeaderOffset"], header["bufLen"])
        if layout != self._layout:
            self._row = variables(page, header)
            self._layout = layout
        update = header["sessionInfoUpdate"]
        if update == self._session_update:
            return
        raw = take(page, header["sessionInfoOffset"], header["sessionInfoLen"])
        if take(page, IRSDK_HEADER.offset("sessionInfoUpdate"), 4) != struct.pack("<i", update):
            return  # rewritten while it was read: read again on the next poll
        self.session = parse_session_info(session_text(raw))
        self._session_update = update

    def telemetry(self, row: bytes) -> Telemetry:
        """A row read with the variables and session info of :meth:`describe`."""
        v: Dict[str, Any] = dict.fromkeys(VARIABLES)
        v.update(zip(self._row.names, self._row.reader.unpack_from(row)))
        for name in self._row.floats:
            if not math.isfinite(v[name]):
                v[name] = None
        s = self.session
        rpm, speed, warnings = v["RPM"], v["Speed"], _whole(v["EngineWarnings"])
        blink = _positive(v["PlayerCarSLBlinkRPM"]) or s.blink_rpm
        current = v["LapCurrentLapTime"]
        return Telemetry(
            rpm=rpm, max_rpm=s.redline_rpm, gear=_whole(v["Gear"]),
            speed_kph=speed * 3.6 if speed is not None else None, fuel=v["FuelLevelPct"],
            lap_time_s=current if current is not None and current >= 0 else None,
            last_lap_s=_positive(v["LapLastLapTime"]), best_lap_s=_positive(v["LapBestLapTime"]),
            delta_s=v["LapDeltaToBestLap"] if v["LapDeltaToBestLap_OK"] else None,
            position=_whole(v["PlayerCarPosition"]) or None,
            pit_limiter=bool(warnings & irsdk_pitSpeedLimiter) if warnings is not None else None,
            oil_warning=(bool(warnings & (irsdk_oilPressureWarning | irsdk_oilTempWarning))
                         if warnings is not None else None),
            abs_active=_bool(v["BrakeABSactive"]), in_race=_bool(v["IsOnTrack"]),
            flag=flag(_whole(v["SessionFlags"])),
            car=s.car, shift_rpm=_positive(v["PlayerCarSLShiftRPM"]) or s.shift_rpm,
            first_light_rpm=_positive(v["PlayerCarSLFirstRPM"]) or s.first_light_rpm,
            # The game's own lights blink from here: shift now.
            shift_light=rpm >= blink if rpm is not None and blink is not None else None)


class IbtError(Exception):
    """A file that is no .ibt telemetry file, or one cut short."""


class _FilePage:
    """A file read as a :class:`Page`, by seek and read (os.pread is not on Windows)."""

    def __init__(self, file: BinaryIO, size: int) -> None:
        self.file, self.size = file, size

    def __len__(self) -> int:
        return self.size

    def __getitem__(self, index: slice) -> bytes:
        start, stop, _ = index.indices(self.size)
        self.file.seek(start)
        return self.file.read(max(0, stop - start))


class IbtFile:
    """An .ibt telemetry file that iRacing recorded: its session info, its sample rate and
    its rows, each read into a :class:`Telemetry` as the live memory map is::

        with IbtFile(path) as ibt:
            for seconds, telemetry in ibt:   # seconds from the first sample
                ...

    IbtError for a file that is not one or is shorter than its header says; OSError when
    it cannot be read at all."""

    CHUNK = 256  # rows read at once

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        self.path = os.fspath(path)
        self._file: BinaryIO = open(self.path, "rb")
        try:
            self._open()
        except BaseException:
            self._file.close()
            raise

    def _open(self) -> None:
        size = os.fstat(self._file.fileno()).st_size
        page = _FilePage(self._file, size)
        #: The decoder that reads its rows (its counters, its session info).
        self.decoder = IRacing()
        try:
            header = IRSDK_HEADER.read(take(page, 0, IRSDK_HEADER.size))
            self.disk = IRSDK_DISK_SUB_HEADER.read(take(page, IRSDK_HEADER.size, IRSDK_DISK_SUB_HEADER.size))
            if header["ver"] != IRSDK_VER or header["tickRate"] <= 0:
                raise Unreadable
            self.decoder.describe(page, header)
            self.session_info = session_text(
                take(page, header["sessionInfoOffset"], header["sessionInfoLen"]))
        except (Unreadable, NotLive, struct.error):
            raise IbtError(f"{self.path}: not an iRacing telemetry file") from None
        self.header: Dict[str, Any] = header
        #: Samples a second (the sim's tick rate).
        self.sample_rate: int = header["tickRate"]
        self._row_len = header["bufLen"]
        self._first = IRSDK_VAR_BUF.read(header["varBuf"])["bufOffset"]
        whole = (size - self._first) // self._row_len if 0 < self._first <= size else 0
        recorded = self.disk["sessionRecordCount"]
        if recorded > whole:
            raise IbtError(f"{self.path}: cut short: {whole} of its {recorded} samples")
        # A recording the sim did not close has no count: every whole row is a sample.
        self.samples: int = recorded if recorded > 0 else whole

    @property
    def session(self) -> SessionInfo:
        """The player's car and its shift lights, from the session info."""
        return self.decoder.session

    def __len__(self) -> int:
        return self.samples

    def __iter__(self) -> Iterator[Tuple[float, Telemetry]]:
        for start in range(0, self.samples, self.CHUNK):
            count = min(self.CHUNK, self.samples - start)
            self._file.seek(self._first + start * self._row_len)
            rows = self._file.read(count * self._row_len)
            if len(rows) != count * self._row_len:
                raise IbtError(f"{self.path}: cut short while it was read")
            for n in range(count):
                row = rows[n * self._row_len:(n + 1) * self._row_len]
                yield (start + n) / self.sample_rate, self.decoder.telemetry(row)

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> "IbtFile":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

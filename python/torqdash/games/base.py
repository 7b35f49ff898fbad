"""What every game's decoder shares: the packed C struct reader, the two kinds of decoder
(UDP datagrams and shared-memory pages) and their promise never to raise for what a game,
a network or a bridge delivers."""
import math
import struct
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Protocol, Tuple, Union

from ..telemetry import Telemetry

Packet = Union[bytes, bytearray, memoryview]


class Page(Protocol):
    """A shared-memory page as :meth:`SharedMemoryDecoder.read` takes it: bytes, or a live
    view of the game's memory (read again on every slice, so that a decoder can tell a
    copy the game wrote over while it was taken)."""

    def __len__(self) -> int: ...

    def __getitem__(self, index: slice) -> Packet: ...


class Fields:
    """A little-endian C struct from its published field list of (name, struct format)
    pairs; an array field (``"4H"``) reads as its first element. ``pack`` is the
    header's ``#pragma pack``: each field starts at a multiple of its element's size or
    of ``pack``, whichever is smaller, as the C compiler lays it out (1: packed, as the
    UDP formats are)."""

    def __init__(self, *fields: Tuple[str, str], pack: int = 1) -> None:
        self._index: Dict[str, int] = {}
        self._offset: Dict[str, int] = {}
        self._element: Dict[str, str] = {}
        layout, count, offset, widest = "<", 0, 0, 1
        for name, fmt in fields:
            element = fmt.lstrip("0123456789")
            align = min(pack, struct.calcsize("<" + element))
            widest = max(widest, align)
            padding = -offset % align
            layout += f"{padding}x{fmt}" if padding else fmt
            offset += padding
            self._index[name] = count
            self._offset[name] = offset
            self._element[name] = fmt if element == "s" else element  # a char array whole
            count += len(struct.unpack("<" + fmt, bytes(struct.calcsize("<" + fmt))))
            offset += struct.calcsize("<" + fmt)
        self.struct = struct.Struct(layout + f"{-offset % widest}x")
        self.size = self.struct.size

    def read(self, packet: Packet, offset: int = 0) -> Dict[str, Any]:
        values = self.struct.unpack_from(packet, offset)
        return {name: values[index] for name, index in self._index.items()}

    def offset(self, name: str) -> int:
        """Where a field starts, in bytes from the start of the struct."""
        return self._offset[name]

    def pick(self, *names: str) -> "Picked":
        """A struct that reads only these fields (in struct order; an array's first
        element, a char array whole) from the start of the struct: cheaper than
        :meth:`read` of a large one. Its ``size`` is where the last of them ends; its
        ``spans`` are the bytes it reads."""
        layout, at, spans = "<", 0, []
        for name in names:
            start = self._offset[name]
            if start < at:
                raise ValueError(f"{name} is not after the fields before it")
            layout += f"{start - at}x{self._element[name]}" if start > at else self._element[name]
            at = start + struct.calcsize("<" + self._element[name])
            spans.append((start, at))
        return Picked(layout, spans)


    def reader(self, *names: str) -> Callable[[Packet], Dict[str, Any]]:
        """:meth:`pick` by name: these fields of a struct at the start of a packet."""
        picked = self.pick(*names)
        return lambda packet: dict(zip(names, picked.unpack_from(packet)))

    def write(self, buffer: bytearray, offset: int = 0, **values: Any) -> None:
        """Writes fields (an array field: its first element) of the struct at ``offset``,
        as the game would: pages and packets for tests and benchmarks."""
        fields = list(self.struct.unpack_from(buffer, offset))
        for name, value in values.items():
            fields[self._index[name]] = value
        self.struct.pack_into(buffer, offset, *fields)


class Picked(struct.Struct):
    """A struct of some fields of a larger one (:meth:`Fields.pick`)."""

    def __init__(self, layout: str, spans: Iterable[Tuple[int, int]]) -> None:
        super().__init__(layout)
        #: The bytes it reads, as :func:`take` keeps them.
        self.spans = merged(spans)


def merged(spans: Iterable[Tuple[int, int]]) -> "Spans":
    """Spans in order, those that touch or overlap joined."""
    joined: List[Tuple[int, int]] = []
    for start, end in sorted(spans):
        if joined and start <= joined[-1][1]:
            joined[-1] = (joined[-1][0], max(end, joined[-1][1]))
        else:
            joined.append((start, end))
    return tuple(joined)


def wheels(name: str, fmt: str) -> Iterable[Tuple[str, str]]:
    return ((name + wheel, fmt) for wheel in ("FrontLeft", "FrontRight", "RearLeft", "RearRight"))


class Unreadable(Exception):
    """The bytes are not what the layout says: counted in ``rejected``."""


class NotLive(Exception):
    """Shared memory that the game has not filled (yet, or any more): waiting for it.
    Its text, if any, says why, when there is more to say than that."""


class Torn(Exception):
    """A copy that the game wrote over while it was being taken: taken again."""


def finite(*values: float) -> None:
    if not all(math.isfinite(value) for value in values):
        raise Unreadable


def text(raw: bytes, encoding: str = "utf-8") -> str:
    """A C string of a fixed-size char array: up to its first NUL."""
    return raw.split(b"\0", 1)[0].decode(encoding, "replace")


def utf16(raw: bytes) -> str:
    """A wchar_t string of a Windows struct (UTF-16LE): up to its first NUL."""
    for end in range(0, len(raw) - 1, 2):
        if raw[end:end + 2] == b"\0\0":
            raw = raw[:end]
            break
    return raw.decode("utf-16-le", "replace")


class Decoder:
    """What the decoders share: the source's name, the game's, and the counters."""

    #: The source's name on the command line.
    name = ""
    #: The games it reads, as a person names them ("waiting for <game>").
    game = ""

    def __init__(self) -> None:
        #: Packets or pages that could not be read: wrong length or format, garbage.
        self.rejected = 0
        #: Well-formed packets of a kind the board has no use for.
        self.ignored = 0


class UdpDecoder(Decoder):
    """A game that sends datagrams: :meth:`feed` returns None rather than raising for
    any bytes."""

    #: The UDP port its game usually sends to, and the address to listen on by default.
    port = 0
    bind = "127.0.0.1"
    #: A datagram to send to the game's machine every ``heartbeat_s`` seconds, to its
    #: ``heartbeat_port``, for a game that sends only while it hears one (None: no need).
    heartbeat: Optional[bytes] = None
    heartbeat_port = 0
    heartbeat_s = 0.0

    def feed(self, packet: Packet) -> Optional[Telemetry]:
        if not isinstance(packet, (bytes, bytearray, memoryview)):
            raise TypeError("a packet is bytes")
        try:
            telemetry = self._decode(bytes(packet))
        except (Unreadable, struct.error):
            self.rejected += 1
            return None
        if telemetry is None:
            self.ignored += 1
        return telemetry

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        raise NotImplementedError


#: Parts of a slice, (start, end) from its first byte.
Spans = Tuple[Tuple[int, int], ...]


def take(page: Page, offset: int, size: int, keep: Optional[Spans] = None) -> bytes:
    """``size`` bytes of a page from ``offset``; Unreadable when the page is shorter.
    ``keep``: the parts of them that the decoder looks at, when that is far less than
    all of them; a recording of the page (which has a ``keep`` method) stores only those."""
    if offset < 0 or size < 0 or offset + size > len(page):
        raise Unreadable
    data = bytes(page[offset:offset + size])
    if len(data) != size:  # a live page that shrank under us
        raise NotLive
    if keep is not None:
        note = getattr(page, "keep", None)
        if note is not None:
            note(keep)
    return data


class SharedMemoryDecoder(Decoder):
    """A game that publishes its telemetry in named shared memory. :meth:`read` takes the
    pages as a mapping from each page's name (as the game publishes it) to its bytes or a
    live view of them, and returns a :class:`Telemetry` when the game wrote something new
    since the last call, None otherwise; it never raises for any bytes."""

    #: Each page's name as the game publishes it -> the bytes the decoder reads of it (a
    #: page may be longer; a shorter one is not read).
    pages: Dict[str, int] = {}
    #: Windows' own object names where they differ from the published name.
    windows_names: Dict[str, str] = {}
    #: How often a torn copy is taken again before the poll gives up on it.
    tries = 4

    def __init__(self) -> None:
        super().__init__()
        #: True while the game's pages are missing or not live (empty, in a menu, a
        #: version we cannot read): the source says "waiting for <game>".
        self.waiting = True
        #: Polls that found only torn copies, however often they were taken.
        self.torn = 0
        #: While waiting: why, when the game's pages say more than that they are not
        #: live (for example, that they are another game's).
        self.reason = ""

    def read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        for _ in range(self.tries):
            try:
                telemetry = self._read(pages)
            except Torn:
                continue
            except NotLive as why:
                self.waiting, self.reason = True, str(why)
                return None
            except (Unreadable, struct.error):
                self.rejected += 1
                return None
            self.waiting, self.reason = False, ""
            return telemetry
        self.torn += 1
        return None

    def page(self, pages: Mapping[str, Page], name: str) -> Page:
        """The page of that name; NotLive while the game has not published it."""
        page = pages.get(name)
        if page is None:
            raise NotLive
        return page

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        """The telemetry of a consistent copy of the pages, or None when nothing changed
        since the last call; raises NotLive, Torn or Unreadable."""
        raise NotImplementedError

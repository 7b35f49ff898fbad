"""Recordings: what a source delivers, with its times, written to a file as it comes,
and read back.

The file, format 1 (any name; ``.tqr`` by custom):

- the line ``torqdash recording 1`` (the words, then the format's number), ending in LF;
- a line of JSON, the header: ``source`` (its SOURCE name), ``kind`` (``"udp"`` or
  ``"shared memory"``), ``pages`` (a shared-memory game's page names: the pages are
  numbered from 0 in this order), ``clock`` (the source's clock when the recording began,
  in seconds: record times count from it), ``started`` (the wall-clock time of the
  start, ISO 8601 in UTC);
- a zlib stream (RFC 1950) of records. It is flushed (Z_SYNC_FLUSH) every second, so a
  recording cut off (a crash, a full disk) reads back up to its last second. A record is
  :data:`RECORD`, ``<dBI``: the seconds since ``clock`` (a double), its kind and the
  length of its payload, and the payload:

  - kind 1, a datagram: the datagram as received. Datagrams with the same time came in
    one poll of the socket.
  - kind 2, pages: the pages present from now on, each ``<BIB``: the page's number, its
    length, and 1 when it is a new page (the game or its bridge made it again), else 0.
  - kind 3, a poll: the slices the decoder took of the pages in one poll, in order, each
    ``<BIII``: the page's number, where the slice starts, its length, and how many pieces
    follow; each piece ``<II`` (offset in the page, length) and its bytes. The pieces
    are the bytes that changed since the page was last read, of those the decoder looks
    at: a page's bytes are those of all its pieces so far (zero where none came).
    A poll that changed nothing and gave nothing is left out.

  A reader skips kinds it does not know. Reading the datagrams back takes a few lines::

      import json, struct, zlib

      with open("session.tqr", "rb") as file:
          assert file.readline() == b"torqdash recording 1\\n"
          header = json.loads(file.readline())
          body = zlib.decompressobj().decompress(file.read())
      at = 0
      while at + 13 <= len(body):
          seconds, kind, size = struct.unpack_from("<dBI", body, at)
          payload, at = body[at + 13:at + 13 + size], at + 13 + size
          if kind == 1:
              print(f"{seconds:9.3f} s  {len(payload)} bytes")
"""
import datetime
import json
import os
import queue
import re
import struct
import threading
import zlib
from typing import BinaryIO, Callable, Dict, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union

from .games.base import SharedMemoryDecoder
from .sources import SharedMemorySource, Source, Tap, TapRead, UdpSource
from .telemetry import Telemetry

MAGIC = b"torqdash recording "
FORMAT = 1
RECORD = struct.Struct("<dBI")
PAGE = struct.Struct("<BIB")
READ = struct.Struct("<BIII")
PIECE = struct.Struct("<II")
DATAGRAM, PAGES, POLL = 1, 2, 3
UDP, SHARED_MEMORY = "udp", "shared memory"

HAND_S = 1.0  # how often the buffer goes to the writing thread (and the file is flushed)
HAND_BYTES = 1 << 20  # ... or sooner, when it holds this much
BEHIND = 30  # chunks waiting to be written: so far behind, the disk cannot keep up
MAX_RECORD = 64 << 20  # a record longer than this is no record: a damaged file
LEVEL = 6  # zlib's default: higher levels take much longer for little less

# Runs of changed bytes (non-zero in the XOR of old and new), joined across gaps shorter
# than a piece's own header.
_RUNS = re.compile(rb"[^\x00]+(?:\x00{1,%d}[^\x00]+)*" % (PIECE.size - 1))


class RecordingError(ValueError):
    """A file that is not a recording this torqdash reads, or one damaged."""


def changes(old: Union[bytes, bytearray], new: bytes) -> List[Tuple[int, bytes]]:
    """The pieces of ``new`` that differ from ``old`` (of the same length): (offset, bytes)."""
    if old == new:
        return []
    xor = (int.from_bytes(old, "little") ^ int.from_bytes(new, "little")).to_bytes(len(new), "little")
    return [(run.start(), new[run.start():run.end()]) for run in _RUNS.finditer(xor)]


class Recorder:
    """Records a source (a :class:`UdpSource` or a :class:`SharedMemorySource`) into a
    file: :meth:`attach` puts it on the source's listeners. The poll only adds records to
    a buffer; a thread of its own compresses it and writes it every second, so that a slow
    disk never holds up the board. When the disk falls behind by :data:`BEHIND` seconds or
    fails, the recording stops (``stopped`` says why) and the board goes on.

    OSError when the file cannot be made; ValueError for a source it cannot record."""

    def __init__(self, path: str, source: Source,
                 say: Callable[[str], None] = lambda text: None) -> None:
        if isinstance(source, UdpSource):
            kind, self._pages = UDP, []
        elif isinstance(source, SharedMemorySource):
            kind, self._pages = SHARED_MEMORY, list(source.decoder.pages)
        else:
            raise ValueError("only a game's UDP datagrams or shared memory can be recorded")
        self.path, self.source, self.say = path, source, say
        self.start = source.clock()
        #: When the recording ended (its last record, until it is closed).
        self.end = self.start
        #: Why the recording stopped before its end, if it did.
        self.stopped = ""
        self._number = {name: number for number, name in enumerate(self._pages)}
        header = {"source": source.decoder.name, "kind": kind, "pages": self._pages, "clock": self.start,
                  "started": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")}
        self._file: BinaryIO = open(path, "wb")
        self._file.write(MAGIC + b"%d\n" % FORMAT + json.dumps(header).encode() + b"\n")
        self._file.flush()
        self._buffer = bytearray()
        self._hand_at = self.start + HAND_S
        self._images: Dict[str, bytearray] = {name: bytearray() for name in self._pages}
        self._present: Dict[str, Tuple[Tap, int]] = {}
        self._counters: Tuple[int, int, bool] = (0, 0, True)
        self._chunks: "queue.Queue[Optional[bytes]]" = queue.Queue()
        self._error: Optional[OSError] = None
        self._thread = threading.Thread(target=self._write, name="torqdash recording", daemon=True)
        self._thread.start()

    def attach(self) -> None:
        source = self.source
        if isinstance(source, UdpSource):
            source.listeners.append(self.datagram)
        elif isinstance(source, SharedMemorySource):
            source.listeners.append(self.poll)

    def detach(self) -> None:
        listeners: List[object] = getattr(self.source, "listeners")
        for listener in (self.datagram, self.poll):
            if listener in listeners:
                listeners.remove(listener)

    def datagram(self, now: float, packet: bytes) -> None:
        self._add(now, DATAGRAM, packet)

    def poll(self, now: float, taps: Mapping[str, Tap], reads: List[TapRead],
             telemetry: Optional[Telemetry]) -> None:
        present = {name: (tap, len(tap)) for name, tap in taps.items()}
        paged = present != self._present
        if paged:
            self._add(now, PAGES, b"".join(
                PAGE.pack(self._number[name], length, tap is not self._present.get(name, (None,))[0])
                for name, (tap, length) in present.items()))
            self._present = present
        body, changed = bytearray(), False
        for read in reads:
            pieces = self._changes(read)
            body += READ.pack(self._number[read.name], read.start, len(read.data), len(pieces))
            for offset, piece in pieces:
                body += PIECE.pack(offset, len(piece)) + piece
            changed = changed or bool(pieces)
        decoder = self.source.decoder
        assert isinstance(decoder, SharedMemoryDecoder)
        counters = (decoder.rejected, decoder.torn, decoder.waiting)
        # A poll of the same bytes gives the same (nothing): only what may differ is kept.
        if changed or paged or telemetry is not None or counters != self._counters:
            self._add(now, POLL, bytes(body))
        self._counters = counters

    def _changes(self, read: TapRead) -> List[Tuple[int, bytes]]:
        """The pieces of a slice that differ from the page as recorded so far, which
        they then update."""
        image, data, start = self._images[read.name], read.data, read.start
        if len(image) < start + len(data):
            image.extend(bytes(start + len(data) - len(image)))
        pieces = []
        for first, end in read.spans or ((0, len(data)),):
            new = data[first:min(end, len(data))]
            at = start + first
            pieces += [(at + offset, piece) for offset, piece in changes(image[at:at + len(new)], new)]
            image[at:at + len(new)] = new
        return pieces

    def _add(self, now: float, kind: int, payload: bytes) -> None:
        if self.stopped:
            return
        self._buffer += RECORD.pack(now - self.start, kind, len(payload))
        self._buffer += payload
        self.end = now
        if now >= self._hand_at or len(self._buffer) >= HAND_BYTES:
            self._hand_at = now + HAND_S
            self._hand()

    def _hand(self) -> None:
        if self._error is not None:
            self._stop(f"cannot write {self.path}: {self._error.strerror or self._error}")
        elif self._chunks.qsize() >= BEHIND:
            self._stop(f"the disk does not keep up with {self.path}")
        else:
            self._chunks.put(bytes(self._buffer))
        self._buffer.clear()

    def _stop(self, why: str) -> None:
        self.stopped = why
        self.detach()
        self.say(f"torqdash: recording stopped: {why}")

    def _write(self) -> None:
        compressor = zlib.compressobj(LEVEL)
        while True:
            chunk = self._chunks.get()
            try:
                if chunk is None:
                    self._file.write(compressor.flush())
                    self._file.close()
                    return
                if self._error is None:
                    self._file.write(compressor.compress(chunk) + compressor.flush(zlib.Z_SYNC_FLUSH))
                    self._file.flush()
            except OSError as error:
                self._error = error
                if chunk is None:
                    return

    def close(self) -> None:
        """Writes what is left and closes the file."""
        self.end = max(self.end, self.source.clock())
        if not self.stopped:
            self._hand()
        self.detach()
        if self._thread.is_alive():
            self._chunks.put(None)
            self._thread.join()
        if not self._file.closed:
            try:
                self._file.close()
            except OSError:
                pass


class Read(NamedTuple):
    """A slice that a recorded poll took: its page's number, start, length and pieces."""

    page: int
    start: int
    size: int
    pieces: Tuple[Tuple[int, bytes], ...]


def pages_of(payload: bytes) -> List[Tuple[int, int, bool]]:
    """A pages record: (number, length, new) of each page."""
    if len(payload) % PAGE.size:
        raise RecordingError("a damaged pages record")
    return [(number, length, bool(new)) for number, length, new in PAGE.iter_unpack(payload)]


def reads_of(payload: bytes) -> List[Read]:
    """A poll record: its slices, in order."""
    reads, at = [], 0
    try:
        while at < len(payload):
            page, start, size, count = READ.unpack_from(payload, at)
            at += READ.size
            pieces = []
            for _ in range(count):
                offset, length = PIECE.unpack_from(payload, at)
                piece = payload[at + PIECE.size:at + PIECE.size + length]
                if len(piece) != length:
                    raise struct.error
                pieces.append((offset, piece))
                at += PIECE.size + length
            reads.append(Read(page, start, size, tuple(pieces)))
    except struct.error:
        raise RecordingError("a damaged poll record") from None
    return reads


class Recording:
    """A recording read back: its header (``source``, ``kind``, ``pages``, ``clock``,
    ``started``) and, by :meth:`records`, its records in order. RecordingError for a file
    that is not one (or of a format this torqdash does not read); OSError when it cannot
    be read."""

    CHUNK = 1 << 16

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        self.path = os.fspath(path)
        with open(self.path, "rb") as file:
            first = file.readline(64)
            if not first.startswith(MAGIC) or not first.endswith(b"\n"):
                raise RecordingError(f"{self.path}: not a torqdash recording")
            if first[len(MAGIC):-1] != b"%d" % FORMAT:
                raise RecordingError(f"{self.path}: a recording of format "
                                     f"{first[len(MAGIC):-1].decode('ascii', 'replace')}, "
                                     f"this torqdash reads format {FORMAT}")
            try:
                header = json.loads(file.readline(1 << 20))
                self.source = str(header["source"])
                self.kind = str(header["kind"])
                self.pages = [str(name) for name in header["pages"]]
                self.clock = float(header["clock"])
                self.started = str(header.get("started", ""))
            except (ValueError, KeyError, TypeError):
                raise RecordingError(f"{self.path}: a recording with a damaged header") from None
            self._body = file.tell()

    def records(self) -> Iterator[Tuple[float, int, bytes]]:
        """(seconds since ``clock``, kind, payload) of every record, read as they are
        needed. A recording cut off ends at its last whole record; RecordingError when
        its bytes are damaged."""
        inflate, buffer, at = zlib.decompressobj(), b"", 0
        with open(self.path, "rb") as file:
            file.seek(self._body)
            while True:
                data = file.read(self.CHUNK)
                try:
                    buffer = buffer[at:] + (inflate.decompress(data) if data else inflate.flush())
                except zlib.error:
                    raise RecordingError(f"{self.path}: damaged") from None
                at = 0
                while at + RECORD.size <= len(buffer):
                    seconds, kind, size = RECORD.unpack_from(buffer, at)
                    if size > MAX_RECORD:
                        raise RecordingError(f"{self.path}: damaged")
                    if at + RECORD.size + size > len(buffer):
                        break
                    yield seconds, kind, buffer[at + RECORD.size:at + RECORD.size + size]
                    at += RECORD.size + size
                if not data:
                    return

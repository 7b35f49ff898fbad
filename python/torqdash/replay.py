"""Replays: a recording (:mod:`torqdash.record`) or an iRacing ``.ibt`` file as a
:class:`~torqdash.sources.Source`, played through a fresh decoder of its game at the
recorded pace. The source's clock, which the dash runs on, is the recording's: the
dash sees the times the live run saw, and so shows the frames it showed.
"""
import collections
import math
import os
import time
from typing import Callable, Deque, Dict, Iterator, List, Optional, Tuple, Union

from .games import SOURCES
from .games.base import SharedMemoryDecoder, UdpDecoder
from .games.iracing import IbtError, IbtFile
from .record import (DATAGRAM, MAGIC, PAGES, POLL, SHARED_MEMORY, UDP, Read, Recording, RecordingError,
                     pages_of, reads_of)
from .sources import MAX_FPS, Source
from .telemetry import Telemetry

TAIL_S = 0.5  # played on after the last record, for the frames it leaves to send
MAX_PAGE = 1 << 28  # no game's page is this long: a damaged recording
Path = Union[str, "os.PathLike[str]"]


class ReplayClock:
    """The time of a replay: the recording's own, from ``start``, going ``speed`` times
    as fast as real time; with speed 0 it runs as fast as it can (each wait passes at
    once, the clock jumps ahead by it)."""

    def __init__(self, start: float, speed: float = 1.0,
                 real: Callable[[], float] = time.monotonic) -> None:
        if not speed >= 0 or math.isinf(speed):
            raise ValueError(f"a replay's speed is a number from 0 up, not {speed!r}")
        self.start, self.speed, self.real = start, speed, real
        self._real0 = real()
        self._now = start

    def __call__(self) -> float:
        if self.speed == 0:
            return self._now
        return self.start + (self.real() - self._real0) * self.speed

    def sleep(self, seconds: float) -> None:
        if seconds <= 0:
            return
        if self.speed == 0:
            self._now += seconds
        else:
            time.sleep(seconds / self.speed)


class ReplayPage:
    """A recorded page as the decoder reads it again: each slice it takes brings the
    recorded poll's next slice (its changed bytes) into the page's bytes, so that the
    decoder reads what it read live, a torn copy included."""

    def __init__(self, number: int, length: int, images: List[bytearray], tape: Deque[Read]) -> None:
        self.number, self.length, self.images, self.tape = number, length, images, tape

    def __len__(self) -> int:
        return self.length

    def __getitem__(self, index: slice) -> bytes:
        start, stop, _ = index.indices(self.length)
        if self.tape:
            read = self.tape.popleft()
            image = self.images[read.page]
            for offset, piece in read.pieces:
                if len(image) < offset + len(piece):
                    image.extend(bytes(offset + len(piece) - len(image)))
                image[offset:offset + len(piece)] = piece
            if (read.page, read.start) == (self.number, start):
                stop = min(stop, start + read.size)  # a short read, as live
        return bytes(self.images[self.number][start:stop])


class ReplaySource(Source):
    """What a file recorded, played as a source; ``finished`` once it has all been
    played (and, with ``loop``, never: it starts again, with a fresh decoder).
    :func:`open_replay` opens the right kind for a file."""

    #: The SOURCE name of the game it plays.
    source_name = ""

    def __init__(self, path: Path, start: float, speed: float, loop: bool) -> None:
        self.path = os.fspath(path)
        self.replay_clock = ReplayClock(start, speed)
        super().__init__(self.replay_clock)
        self.loop = loop
        self.finished = False
        #: Why the replay ended early (a file cut short or damaged), if it did.
        self.problem = ""
        self._offset = start  # the clock's time of the recording's time 0 in this round
        self._last = 0.0
        self._events = self._round()
        self._next = self._advance()

    def _decode(self) -> Iterator[Tuple[float, Callable[[], Optional[Telemetry]]]]:
        """The recording's events from the start, each its time and what it does."""
        raise NotImplementedError

    def _round(self) -> Iterator[Tuple[float, Callable[[], Optional[Telemetry]]]]:
        self.decoder = SOURCES[self.source_name]()
        return self._decode()

    def _waiting(self) -> bool:
        """Whether the decoder's last poll found the game not live."""
        return False

    def _advance(self) -> Optional[Tuple[float, Callable[[], Optional[Telemetry]]]]:
        try:
            event = next(self._events, None)
        except (RecordingError, IbtError, OSError) as error:
            self.problem, event = str(error), None
        if event is not None:
            self._last = event[0]
            return event
        if self.loop and self._last > 0 and not self.problem:
            self._offset += self._last + 1 / MAX_FPS
            self._events = self._round()
            return self._advance()
        return None

    def wake_in(self, now: float) -> Optional[float]:
        due = self._offset + (self._next[0] if self._next is not None else self._last + TAIL_S)
        return max(0.0, due - now)

    def poll(self, now: float) -> Optional[Telemetry]:
        newest = None
        while self._next is not None and self._offset + self._next[0] <= now:
            try:
                telemetry = self._next[1]()
            except RecordingError as error:
                self.problem, self.loop, self._next = str(error), False, None
                break
            newest = telemetry if telemetry is not None else newest
            self._next = self._advance()
        if self._next is None and now >= self._offset + self._last + TAIL_S:
            self.finished = True
        return self.outcome(newest, self._waiting())

    def sleep(self, seconds: float) -> None:
        self.replay_clock.sleep(seconds)

    def describe(self) -> str:
        return f"the recording {self.path}"


class RecordingSource(ReplaySource):
    """A torqdash recording, played through a fresh decoder of its game."""

    def __init__(self, recording: Recording, speed: float = 1.0, loop: bool = False) -> None:
        self.recording = recording
        self.source_name = recording.source
        kind = UDP if issubclass(SOURCES[recording.source], UdpDecoder) else SHARED_MEMORY
        if kind != recording.kind:
            raise RecordingError(f"{recording.path}: {recording.source} is no {recording.kind} game")
        super().__init__(recording.path, recording.clock, speed, loop)

    def _waiting(self) -> bool:
        return isinstance(self.decoder, SharedMemoryDecoder) and self.decoder.waiting

    def _decode(self) -> Iterator[Tuple[float, Callable[[], Optional[Telemetry]]]]:
        decoder = self.decoder
        images = [bytearray() for _ in self.recording.pages]
        tape: Deque[Read] = collections.deque()
        pages: Dict[str, ReplayPage] = {}

        def datagram(payload: bytes) -> Callable[[], Optional[Telemetry]]:
            assert isinstance(decoder, UdpDecoder)
            return lambda: self.feed(decoder, payload)

        def present(payload: bytes) -> Callable[[], Optional[Telemetry]]:
            def change() -> Optional[Telemetry]:
                before = dict(pages)
                pages.clear()
                for number, length, new in pages_of(payload):
                    if not 0 <= number < len(images) or length > MAX_PAGE:
                        raise RecordingError(f"{self.path}: damaged (a page it does not name)")
                    name = self.recording.pages[number]
                    images[number].extend(bytes(max(0, length - len(images[number]))))
                    page = before.get(name)
                    if new or page is None:
                        page = ReplayPage(number, length, images, tape)
                    page.length = length
                    pages[name] = page
                return None
            return change

        def poll(payload: bytes) -> Callable[[], Optional[Telemetry]]:
            def read() -> Optional[Telemetry]:
                assert isinstance(decoder, SharedMemoryDecoder)
                tape.clear()
                tape.extend(reads_of(payload))
                lengths = {page.number: page.length for page in pages.values()}
                if any(offset + len(piece) > lengths.get(read.page, -1)
                       for read in tape for offset, piece in read.pieces):
                    raise RecordingError(f"{self.path}: damaged (bytes beyond its pages)")
                return decoder.read(pages)
            return read

        kinds = {DATAGRAM: datagram, PAGES: present, POLL: poll}
        for seconds, kind, payload in self.recording.records():
            if kind in kinds:
                yield seconds, kinds[kind](payload)


class IbtSource(ReplaySource):
    """An iRacing .ibt file, its samples at the rate the sim recorded them."""

    source_name = "iracing"

    def __init__(self, path: Path, speed: float = 1.0, loop: bool = False) -> None:
        self._file = IbtFile(path)
        super().__init__(path, 0.0, speed, loop)

    def _round(self) -> Iterator[Tuple[float, Callable[[], Optional[Telemetry]]]]:
        self.decoder = self._file.decoder
        return self._decode()

    def _decode(self) -> Iterator[Tuple[float, Callable[[], Optional[Telemetry]]]]:
        for seconds, telemetry in self._file:
            yield seconds, _shown(telemetry)

    def close(self) -> None:
        self._file.close()


def _shown(telemetry: Telemetry) -> Callable[[], Optional[Telemetry]]:
    return lambda: telemetry


def open_replay(path: Path, speed: float = 1.0, loop: bool = False) -> ReplaySource:
    """The replay of a torqdash recording or an iRacing .ibt file. RecordingError (a
    ValueError) for a file that is neither or that this torqdash cannot play; OSError when
    it cannot be read."""
    with open(path, "rb") as file:
        recording = file.read(len(MAGIC)) == MAGIC
    if recording:
        opened = Recording(path)
        if opened.source not in SOURCES:
            raise RecordingError(f"{os.fspath(path)}: recorded from {opened.source}, "
                                 "a game this torqdash does not read")
        return RecordingSource(opened, speed, loop)
    try:
        return IbtSource(path, speed, loop)
    except IbtError:
        raise RecordingError(f"{os.fspath(path)}: neither a torqdash recording nor an iRacing "
                             ".ibt file") from None

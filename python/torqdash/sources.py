"""Where a game's telemetry comes from: UDP datagrams, or named shared memory (a Windows
file mapping, or its bytes in ``/dev/shm`` on Linux). A source turns what arrived into
:class:`~torqdash.Telemetry` through its decoder and says what state the game is in; the
app's one thread waits on it (:meth:`Source.fileno`, :meth:`Source.wake_in`) and polls it.
"""
import ctypes
import math
import os
import select
import socket
import sys
import time
from typing import Any, Callable, Dict, List, Mapping, Optional, Union

from .games.base import Decoder, Page, SharedMemoryDecoder, Spans, UdpDecoder
from .telemetry import Telemetry

MAX_FPS = 60
MAX_DATAGRAM = 65535  # read whole: an oversized packet must show its true length
DRAIN = 64  # datagrams read in one poll at most, so that a flood cannot starve the board
REOPEN_S = 1.0  # how often missing or replaced shared-memory pages are looked for
BROADCAST = "255.255.255.255"  # every machine on this network: where a console is looked for
CONSOLE_LOST_S = 10.0  # a game's machine silent this long is looked for again
SHM_DIR = "/dev/shm"

WAITING, RECEIVING = "waiting", "receiving"


def next_slot(now: float) -> float:
    """The start of the next 1/60 s slot after ``now``: the fixed grid on which frames
    are sent and shared memory is polled."""
    return (math.floor(now * MAX_FPS + 1e-6) + 1) / MAX_FPS


class Source:
    """What the app loop reads. ``state`` is :data:`WAITING` until the game's first
    readable data, then :data:`RECEIVING`."""

    decoder: Decoder

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        #: The time the source and its dash run on (a recording's, when replayed).
        self.clock = clock
        self.state = WAITING
        #: Datagrams or polls that brought new telemetry.
        self.received = 0
        #: Datagrams that arrived (a UDP game's), and the last one its decoder rejected.
        self.datagrams = 0
        self.last_rejected = b""

    def fileno(self) -> Optional[int]:
        """A descriptor to wait on for new data, or None (polled on :meth:`wake_in`)."""
        return None

    def wake_in(self, now: float) -> Optional[float]:
        """Seconds until the source wants to be polled without new data on its
        descriptor, or None."""
        return None

    def poll(self, now: float) -> Optional[Telemetry]:
        """Reads what arrived; the newest telemetry, or None when nothing new came."""
        raise NotImplementedError

    def close(self) -> None:
        pass

    def describe(self) -> str:
        """Where it listens or looks, for the start line."""
        raise NotImplementedError

    def sleep(self, seconds: float) -> None:
        """Waits ``seconds`` of the source's time (used when it has no descriptor)."""
        if seconds > 0:
            time.sleep(seconds)

    def feed(self, decoder: UdpDecoder, packet: bytes) -> Optional[Telemetry]:
        """A datagram through its decoder, counted."""
        self.datagrams += 1
        rejected = decoder.rejected
        telemetry = decoder.feed(packet)
        if decoder.rejected != rejected:
            self.last_rejected = packet
        return telemetry

    def outcome(self, telemetry: Optional[Telemetry], waiting: bool) -> Optional[Telemetry]:
        """The state that a poll's newest telemetry (or None, and whether the game is
        not live) leaves."""
        if telemetry is not None:
            self.state = RECEIVING
            self.received += 1
        elif waiting:
            self.state = WAITING
        return telemetry


class UdpSource(Source):
    """A bound UDP socket and its game's decoder. For a game that sends only while it hears
    a heartbeat, ``console`` is the address of the machine that runs it; without one, the
    heartbeat goes to every machine on the network (``broadcast``) until a packet that the
    decoder reads names the game's machine, and again once that machine falls silent."""

    decoder: UdpDecoder

    def __init__(self, sock: socket.socket, decoder: UdpDecoder, console: Optional[str] = None,
                 clock: Callable[[], float] = time.monotonic, broadcast: str = BROADCAST) -> None:
        super().__init__(clock)
        self.sock = sock
        self.decoder = decoder
        self.console = console
        self.broadcast = broadcast
        #: The game's machine as its packets named it, and when it was last heard.
        self.found: Optional[str] = None
        self.heard = -math.inf
        self.next_heartbeat = -math.inf
        #: Called with the time of the poll and every datagram as received (before it
        #: is decoded).
        self.listeners: List[Callable[[float, bytes], None]] = []
        sock.setblocking(False)
        if decoder.heartbeat is not None and console is None and sock.family == socket.AF_INET:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)

    def fileno(self) -> Optional[int]:
        return self.sock.fileno()

    def wake_in(self, now: float) -> Optional[float]:
        if self.decoder.heartbeat is None:
            return None
        return max(0.0, self.next_heartbeat - now)

    def poll(self, now: float) -> Optional[Telemetry]:
        self._heartbeat(now)
        newest: Optional[Telemetry] = None
        sender = ""
        for _ in range(DRAIN):
            try:
                packet, address = self.sock.recvfrom(MAX_DATAGRAM)
            except (BlockingIOError, InterruptedError, socket.timeout):
                break
            except ConnectionResetError:
                continue  # Windows reports an earlier heartbeat's ICMP "port unreachable"
            for listener in self.listeners:
                listener(now, packet)
            telemetry = self.feed(self.decoder, packet)
            if telemetry is not None:
                newest, sender = telemetry, address[0]
        if newest is not None:
            self.found, self.heard = sender, now
        return self.outcome(newest, False)

    def heartbeat_to(self, now: float) -> Optional[str]:
        """Where the next heartbeat goes: the console named, else the machine found (while
        it is heard), else the whole network; None for a game that needs none."""
        if self.decoder.heartbeat is None:
            return None
        if self.console is not None:
            return self.console
        if self.found is not None and now - self.heard < CONSOLE_LOST_S:
            return self.found
        return self.broadcast

    def _heartbeat(self, now: float) -> None:
        decoder, target = self.decoder, self.heartbeat_to(now)
        if target is None or decoder.heartbeat is None or now < self.next_heartbeat:
            return
        self.next_heartbeat = now + decoder.heartbeat_s
        try:
            self.sock.sendto(decoder.heartbeat, (target, decoder.heartbeat_port))
        except OSError:
            pass  # the console is off or unreachable: the next heartbeat tries again

    def describe(self) -> str:
        host, port = self.sock.getsockname()[:2]
        text = f"UDP {host} port {port}"
        target = self.heartbeat_to(self.clock())
        if target == self.broadcast and self.console is None:
            text += f", heartbeat to every machine on the network ({target}) port " \
                    f"{self.decoder.heartbeat_port} until the game answers"
        elif target is not None:
            text += f", heartbeat to {target} port {self.decoder.heartbeat_port}"
        return text

    def close(self) -> None:
        self.sock.close()


def listen(bind: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in bind else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    try:
        sock.bind((bind, port))
    except BaseException:
        sock.close()
        raise
    return sock


class ShmFile:
    """A shared-memory page on Linux: the file ``/dev/shm/<name>`` that a bridge (for a
    Windows game under Proton) or a native game writes. Read with pread, never mapped: a
    file cut short under a mapping would kill the process with SIGBUS, a short read
    only gives fewer bytes."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            status = os.fstat(self.fd)
        except BaseException:
            os.close(self.fd)
            raise
        self.inode = (status.st_dev, status.st_ino)
        self.size = status.st_size

    def __len__(self) -> int:
        return self.size

    def __getitem__(self, index: slice) -> bytes:
        if sys.platform == "win32":  # never made there: named mappings instead
            raise OSError("no pread on Windows")
        start, stop, _ = index.indices(self.size)
        return os.pread(self.fd, max(0, stop - start), start)

    def replaced(self) -> bool:
        """Whether the name now stands for another file, or for none."""
        try:
            status = os.stat(self.path)
        except OSError:
            return True
        if (status.st_dev, status.st_ino) != self.inode:
            return True
        self.size = status.st_size
        return False

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


class NamedMapping:
    """A shared-memory page on Windows: the game's named file mapping, opened read-only
    and mapped whole, at the size the game made it, as the games' own SDKs map it (a view
    of 0 bytes): a mapping's size is the game's, not always published (iRacing's is not)
    and larger than the structs a header declares, and a view larger than the mapping
    cannot be made. ``size``: the least the decoder reads; a smaller mapping is not
    opened. Only a mapping that exists is opened: opening a name nobody created would
    create an empty one, and a game that starts later would get that one, of our size."""

    size = 0
    _view = 0
    _kernel32: Any = None

    def __init__(self, name: str, size: int) -> None:
        if sys.platform != "win32":
            raise OSError("named file mappings are Windows'")
        else:  # (checked by mypy for the platform it runs on only)
            class MemoryBasicInformation(ctypes.Structure):
                _fields_ = [("BaseAddress", ctypes.c_void_p), ("AllocationBase", ctypes.c_void_p),
                            ("AllocationProtect", ctypes.c_uint32), ("RegionSize", ctypes.c_size_t),
                            ("State", ctypes.c_uint32), ("Protect", ctypes.c_uint32),
                            ("Type", ctypes.c_uint32)]

            kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
            kernel32.OpenFileMappingW.restype = ctypes.c_void_p
            kernel32.OpenFileMappingW.argtypes = [ctypes.c_uint32, ctypes.c_int, ctypes.c_wchar_p]
            kernel32.MapViewOfFile.restype = ctypes.c_void_p
            kernel32.MapViewOfFile.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32,
                                               ctypes.c_uint32, ctypes.c_size_t]
            kernel32.VirtualQuery.restype = ctypes.c_size_t
            kernel32.VirtualQuery.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
            kernel32.UnmapViewOfFile.argtypes = [ctypes.c_void_p]
            kernel32.CloseHandle.argtypes = [ctypes.c_void_p]
            file_map_read = 0x0004
            handle = kernel32.OpenFileMappingW(file_map_read, 0, name)
            if not handle:
                raise FileNotFoundError(name)
            try:
                view = kernel32.MapViewOfFile(handle, file_map_read, 0, 0, 0)
            finally:
                kernel32.CloseHandle(handle)  # the view holds the mapping (and its name)
            if not view:
                raise ctypes.WinError(ctypes.get_last_error())
            info = MemoryBasicInformation()
            if not kernel32.VirtualQuery(view, ctypes.byref(info), ctypes.sizeof(info)) \
                    or info.RegionSize < size:
                kernel32.UnmapViewOfFile(view)
                raise OSError(f"{name}: smaller than its game makes it")
            self._kernel32, self._view, self.size = kernel32, view, info.RegionSize

    def __len__(self) -> int:
        return self.size

    def __getitem__(self, index: slice) -> bytes:
        start, stop, _ = index.indices(self.size)
        return ctypes.string_at(self._view + start, max(0, stop - start))

    def replaced(self) -> bool:
        return False  # the mapping lives while we hold it; a game that restarts opens it again

    def close(self) -> None:
        if self._view:
            self._kernel32.UnmapViewOfFile(self._view)
            self._view = 0


PageReader = Union[ShmFile, NamedMapping]


def open_page(name: str, size: int, windows_name: Optional[str] = None,
              directory: str = SHM_DIR) -> Optional[PageReader]:
    """The page of that name if the game (or its bridge) has published it, else None."""
    try:
        if sys.platform == "win32":
            return NamedMapping(windows_name or name, size)
        return ShmFile(os.path.join(directory, name))
    except (OSError, ValueError):
        return None


class TapRead:
    """A slice that a decoder took of a page: where it starts, its bytes, and the parts
    of them that the decoder looks at (None: all)."""

    __slots__ = ("name", "start", "data", "spans")

    def __init__(self, name: str, start: int, data: bytes) -> None:
        self.name, self.start, self.data = name, start, data
        self.spans: Optional[Spans] = None


class Tap:
    """A page as the decoder reads it in a poll that is listened to: every slice it
    takes is noted, in order, with the parts it says it looks at (``take``'s ``keep``)."""

    def __init__(self, name: str, reader: Page, reads: List[TapRead]) -> None:
        self.name, self.reader, self.reads = name, reader, reads

    def __len__(self) -> int:
        return len(self.reader)

    def __getitem__(self, index: slice) -> bytes:
        data = bytes(self.reader[index])
        self.reads.append(TapRead(self.name, index.indices(len(self.reader))[0], data))
        return data

    def keep(self, spans: Spans) -> None:
        self.reads[-1].spans = spans


class SharedMemorySource(Source):
    """A game's shared-memory pages, polled on the frame grid. Pages that are missing
    are looked for again every ``look_every`` seconds; so are pages that a restarted game
    or bridge put in their place. A page shorter than its decoder reads counts as
    missing: a game or bridge that is still making it has not published it yet."""

    decoder: SharedMemoryDecoder

    def __init__(self, decoder: SharedMemoryDecoder, directory: str = SHM_DIR,
                 clock: Callable[[], float] = time.monotonic,
                 look_every: float = REOPEN_S) -> None:
        super().__init__(clock)
        self.decoder = decoder
        self.directory = directory
        self.look_every = look_every
        self.readers: Dict[str, PageReader] = {}
        self.next_poll = -math.inf
        self.next_look = -math.inf
        #: Called after every poll with its time, the pages as the decoder was given
        #: them (a :class:`Tap` for each, the same one while its page stays), the
        #: slices it took of them, in order, and its telemetry. The list of slices is
        #: emptied after the call.
        self.listeners: List[Callable[[float, Mapping[str, "Tap"], List["TapRead"], Optional[Telemetry]],
                                      None]] = []
        self._taps: Dict[str, Tap] = {}
        self._reads: List[TapRead] = []

    def wake_in(self, now: float) -> Optional[float]:
        return max(0.0, self.next_poll - now)

    def poll(self, now: float) -> Optional[Telemetry]:
        if now < self.next_poll:
            return None
        self.next_poll = next_slot(now)
        if now >= self.next_look:
            self.next_look = now + self.look_every
            self._look()
        if not self.listeners:
            return self.outcome(self.decoder.read(self.readers), self.decoder.waiting)
        taps = self._tapped()
        telemetry = self.outcome(self.decoder.read(taps), self.decoder.waiting)
        for listener in self.listeners:
            listener(now, taps, self._reads, telemetry)
        self._reads.clear()
        return telemetry

    def _tapped(self) -> Dict[str, "Tap"]:
        taps = {name: tap for name, tap in self._taps.items() if self.readers.get(name) is tap.reader}
        for name, reader in self.readers.items():
            if name not in taps:
                taps[name] = Tap(name, reader, self._reads)
        self._taps = taps
        return taps

    def _look(self) -> None:
        decoder = self.decoder
        for name, size in decoder.pages.items():
            reader = self.readers.pop(name, None)
            if reader is not None and reader.replaced():
                reader.close()
                reader = None
            if reader is None:
                reader = open_page(name, size, decoder.windows_names.get(name), self.directory)
            if reader is not None and len(reader) < size:
                reader.close()
                reader = None
            if reader is not None:
                self.readers[name] = reader

    def describe(self) -> str:
        if sys.platform == "win32":
            names = (self.decoder.windows_names.get(name, name) for name in self.decoder.pages)
            return "shared memory " + ", ".join(names)
        return f"shared memory in {self.directory}: {', '.join(self.decoder.pages)}"  # its files

    def close(self) -> None:
        for reader in self.readers.values():
            reader.close()
        self.readers.clear()


def wait(source: Source, timeout: float) -> None:
    """Waits until the source's descriptor has data or ``timeout`` seconds pass."""
    fd = source.fileno()
    if fd is None:
        source.sleep(timeout)
        return
    try:
        select.select([fd], [], [], timeout)
    except InterruptedError:
        pass


__all__ = ["BROADCAST", "MAX_FPS", "RECEIVING", "SHM_DIR", "WAITING", "NamedMapping", "SharedMemorySource",
           "ShmFile", "Source", "Tap", "TapRead", "UdpSource", "listen", "next_slot", "open_page", "wait"]

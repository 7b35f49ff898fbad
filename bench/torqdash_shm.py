"""torqdash at a game's pace from shared memory: CPU and latency of a shared-memory source
(``--source``: acc, the default, rf2 or r3e) while its game's pages are written 60 times a
second in a tmpfs folder (rFactor 2's and RaceRoom's as tests/game_pages.py builds them).

Measures, in one run:
- the CPU time of a torqdash process (the App with a virtual board and no terminal view,
  this file's ``--driver`` mode) as a share of one core, against a bare poller that
  preads on the same 60 Hz grid the bytes a reader of that game must read (ACC: its three
  pages; rFactor 2: both version blocks and the player's car; RaceRoom: the struct up to
  pit_limiter), both at once;
- in a second torqdash process, the latency from the start of the poll that first sees
  a new page to the return of the write of its frame (p50, p99), and from the write of
  the page to the write of its frame (which includes the wait for the next 1/60 s slot).
Run by hand: python bench/torqdash_shm.py [--source acc|rf2|r3e] [--seconds S]
"""
import argparse
import json
import math
import mmap
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# This file's folder holds bench/torqdash.py, whose name is the package's; the pages are
# the tests' own.
sys.path = [entry for entry in sys.path if os.path.abspath(entry or ".") != HERE]
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from game_pages import R3E_VALUES, TELEM_VALUES, r3e_page, rf2_pages  # noqa: E402
from torqdash import SOURCES, Dash  # noqa: E402
from torqdash.app import App, BoardLink  # noqa: E402
from torqdash.games import kunos, raceroom, rfactor  # noqa: E402
from torqdash.sources import SharedMemorySource  # noqa: E402
from torqsim import VirtualBus  # noqa: E402

RATE = 60
BARE_POLLER = """import math, os, sys, time
folder, reads = sys.argv[1], [(os.open(os.path.join(sys.argv[1], name), os.O_RDONLY), int(at), int(size))
                              for name, at, size in zip(sys.argv[2::3], sys.argv[3::3], sys.argv[4::3])]
while True:
    now = time.monotonic()
    time.sleep((math.floor(now * 60 + 1e-6) + 1) / 60 - now)
    for fd, at, size in reads:
        os.pread(fd, size, at)
"""


class Game:
    """A game's pages in a folder, written through their mappings as the game does, with
    a new speed (10 to 259 km/h) and RPM on every write."""

    source = ""
    bare: "list[tuple[str, int, int]]" = []  # what a bare poller reads: (page, offset, size)

    def __init__(self, folder, pages):
        self.maps, self.packet, self.writes = {}, 0, []
        for name, page in pages.items():
            fd = os.open(os.path.join(folder, name), os.O_RDWR | os.O_CREAT, 0o600)
            os.ftruncate(fd, len(page))
            self.maps[name] = mmap.mmap(fd, len(page))
            self.maps[name][:] = page
            os.close(fd)

    def write(self):
        self.packet += 1
        kph = 10 + self.packet % 250
        self.update(kph)
        self.writes.append((time.monotonic(), kph))

    def update(self, kph):
        raise NotImplementedError

    def run(self, seconds):
        start = time.monotonic()
        for i in range(int(seconds * RATE)):
            delay = start + i / RATE - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            self.write()


class Acc(Game):
    """ACC's three pages: physics and graphics with a new packetId on every write."""

    source = "acc"
    bare = [(name, 0, size) for name, size in kunos.Acc.pages.items()]

    def __init__(self, folder):
        static = bytearray(kunos.ACC_STATIC.size)
        for field, text in (("acVersion", "1.10.2"), ("carModel", "bmw_m4_gt3")):
            at = kunos.ACC_STATIC.offset(field)
            static[at:at + 2 * len(text)] = text.encode("utf-16-le")
        struct.pack_into("<if", static, kunos.ACC_STATIC.offset("maxRpm"), 8000, 120.0)
        graphics = bytearray(kunos.ACC_GRAPHICS.size)
        struct.pack_into("<i", graphics, 4, kunos.AC_LIVE)
        super().__init__(folder, {kunos.PHYSICS: bytes(kunos.ACC_PHYSICS.size), kunos.GRAPHICS: graphics,
                                  kunos.STATIC: static})
        self.write()

    def update(self, kph):
        physics, graphics = self.maps[kunos.PHYSICS], self.maps[kunos.GRAPHICS]
        physics[:32] = struct.pack("<ifffiiff", self.packet, 0.5, 0.0, 60.0, 4, 3000 + 20 * kph, 0.0, kph)
        graphics[:4] = struct.pack("<i", self.packet)


class RFactor2(Game):
    """The plugin's two mappings: telemetry on every write, scoring on every twelfth (5 Hz),
    each between its version counters' begin and end."""

    source = "rf2"
    PLAYER = rfactor.RF2_TELEM_AT + 2 * rfactor.TELEM_SIZE  # as tests/game_pages.py puts it
    bare = [(rfactor.RF2_TELEMETRY, 0, 8), (rfactor.RF2_TELEMETRY, PLAYER, rfactor.TELEM.size),
            (rfactor.RF2_SCORING, 0, 8)]

    def __init__(self, folder):
        super().__init__(folder, rf2_pages({**TELEM_VALUES, "mLocalVelX": 0.0}, versions=(1, 1)))

    def update(self, kph):
        telemetry, scoring = self.maps[rfactor.RF2_TELEMETRY], self.maps[rfactor.RF2_SCORING]
        updates = [(telemetry, {"mLocalVelZ": -kph / 3.6, "mEngineRPM": 3000.0 + 20 * kph})]
        if self.packet % 12 == 0:
            updates.append((scoring, {}))
        for page, values in updates:
            version = struct.unpack_from("<I", page)[0] + 1
            page[0:4] = struct.pack("<I", version)
            if values:
                rfactor.TELEM.write(page, self.PLAYER, **values)
            page[4:8] = struct.pack("<I", version)


class RaceRoom(Game):
    source = "r3e"
    bare = [(raceroom.R3E_NAME, 0, raceroom.R3E.size)]

    def __init__(self, folder):
        super().__init__(folder, {raceroom.R3E_NAME: r3e_page()})

    def update(self, kph):
        raceroom.R3E.write(self.maps[raceroom.R3E_NAME], **{
            **R3E_VALUES, "car_speed": kph / 3.6, "engine_rps": (3000.0 + 20 * kph) * math.pi / 30})


GAMES = {game.source: game for game in (Acc, RFactor2, RaceRoom)}


class Stamped(Dash):
    """A dash that notes when each frame's write returned, with its speed."""

    def __init__(self):
        super().__init__(None)
        self.sent = []

    def _send(self, frame):
        super()._send(frame)
        self.sent.append((time.monotonic(), frame.central.strip()))


class Seen(SharedMemorySource):
    """A source that notes when each poll that brought new telemetry began."""

    def __init__(self, decoder, folder):
        super().__init__(decoder, folder)
        self.seen = []

    def poll(self, now):
        start = time.monotonic()
        telemetry = super().poll(now)
        if telemetry is not None:
            self.seen.append((start, str(round(telemetry.speed_kph))))
        return telemetry


def drive(source, folder, seconds, record):
    """torqdash on a virtual board with no view: for ``seconds`` (forever if 0); with
    ``record``, the stamps of polls and frames to that file at the end."""
    with VirtualBus() as bus:
        bus.add_board(serial="A1B2", version=0x0105)
        dash = Stamped() if record else Dash(None)
        pages = (Seen if record else SharedMemorySource)(SOURCES[source](), folder)
        app = App(pages, dash, BoardLink(dash, say=lambda text: None))
        end = time.monotonic() + seconds if seconds else math.inf
        while time.monotonic() < end:
            app.step()
    if record:
        with open(record, "w") as file:
            json.dump({"seen": pages.seen, "sent": dash.sent}, file)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentiles(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def latencies(game, stamps):
    """Milliseconds from a poll's start to its frame's write, and from the page's write
    (the last write of that speed before the frame) to the frame's write."""
    seen, poll_to_frame, page_to_frame = dict(), [], []
    polls = iter(stamps["seen"])
    for sent, text in stamps["sent"]:
        for start, kph in polls:
            seen[kph] = start
            if kph == text:
                break
        if text in seen and seen[text] <= sent:
            poll_to_frame.append((sent - seen.pop(text)) * 1000)
            written = [at for at, kph in game.writes if str(kph) == text and at <= sent]
            if written:
                page_to_frame.append((sent - written[-1]) * 1000)
    return poll_to_frame, page_to_frame


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", choices=GAMES, default="acc")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--driver", metavar="DIR", help=argparse.SUPPRESS)
    parser.add_argument("--record", metavar="FILE", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.driver:
        return drive(options.source, options.driver, options.seconds if options.record else 0, options.record)
    folder = tempfile.mkdtemp(dir="/dev/shm", prefix="torqdash-bench-")
    driver = [sys.executable, __file__, "--source", options.source, "--driver", folder]
    try:
        game = GAMES[options.source](folder)
        reads = (str(part) for read in game.bare for part in read)
        bare = [sys.executable, "-c", BARE_POLLER, folder, *reads]
        children = [subprocess.Popen(argv) for argv in (driver, bare)]
        try:
            game.run(2.0)  # imports and the board found
            before, start = [cpu_seconds(child.pid) for child in children], time.monotonic()
            game.run(options.seconds)
            elapsed = time.monotonic() - start
            ours, bare = [(cpu_seconds(child.pid) - spent) / elapsed
                          for child, spent in zip(children, before)]
        finally:
            for child in children:
                child.terminate()
                child.wait()
        print(f"CPU at {RATE} pages/s, share of one core: torqdash {options.source} (virtual board, no view) "
              f"{ours:.4f}, bare 60 Hz poller {bare:.4f} (ratio "
              + (f"{ours / bare:.1f})" if bare else "n/a: the poller used no measurable CPU; run longer)"))

        record = os.path.join(folder, "stamps.json")
        game.writes.clear()
        child = subprocess.Popen(driver + ["--record", record, "--seconds", str(options.seconds + 2.0)])
        game.run(options.seconds + 2.5)
        child.wait()
        with open(record) as file:
            poll_to_frame, page_to_frame = latencies(game, json.load(file))
        (p50, p99), (w50, w99) = percentiles(poll_to_frame), percentiles(page_to_frame)
        print(f"latency ({len(poll_to_frame)} frames): poll that saw the page to its frame's write "
              f"p50 {p50:.3f} ms, p99 {p99:.3f} ms; page written to frame written p50 {w50:.3f} ms, "
              f"p99 {w99:.3f} ms (of which up to {1000 / RATE:.1f} ms wait for the poll's slot)")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()

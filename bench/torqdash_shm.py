"""torqdash at a game's pace from shared memory: CPU and latency of the ``acc`` source
while ACC's three pages are written 60 times a second in a tmpfs folder.

Measures, in one run:
- the CPU time of a torqdash process (the App with a virtual board and no terminal view,
  this file's ``--driver`` mode) as a share of one core, against a bare poller that
  preads the same bytes of the same three files on the same 60 Hz grid, both at once;
- in a second torqdash process, the latency from the start of the poll that first sees
  a new page to the return of the write of its frame (p50, p99), and from the write of
  the page to the write of its frame (which includes the wait for the next 1/60 s slot).
Run by hand: python bench/torqdash_shm.py [--seconds S]
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

# This file's folder holds bench/torqdash.py, whose name is the package's.
sys.path = [entry for entry in sys.path
            if os.path.abspath(entry or ".") != os.path.dirname(os.path.abspath(__file__))]

from torqdash import Dash  # noqa: E402
from torqdash.app import App, BoardLink  # noqa: E402
from torqdash.games import kunos  # noqa: E402
from torqdash.sources import SharedMemorySource  # noqa: E402
from torqsim import VirtualBus  # noqa: E402

RATE = 60
BARE_POLLER = """import math, os, sys, time
folder, reads = sys.argv[1], [(os.open(os.path.join(sys.argv[1], name), os.O_RDONLY), int(size))
                              for name, size in zip(sys.argv[2::2], sys.argv[3::2])]
while True:
    now = time.monotonic()
    time.sleep((math.floor(now * 60 + 1e-6) + 1) / 60 - now)
    for fd, size in reads:
        os.pread(fd, size, 0)
"""


class Game:
    """ACC's pages in a folder, written as the game does: each through its mapping,
    the physics page with a new speed (10 to 259 km/h) and RPM on every write."""

    def __init__(self, folder):
        self.maps, self.packet, self.writes = {}, 0, []
        pages = {kunos.PHYSICS: kunos.ACC_PHYSICS, kunos.GRAPHICS: kunos.ACC_GRAPHICS,
                 kunos.STATIC: kunos.ACC_STATIC}
        for name, layout in pages.items():
            fd = os.open(os.path.join(folder, name), os.O_RDWR | os.O_CREAT, 0o600)
            os.ftruncate(fd, layout.size)
            self.maps[name] = mmap.mmap(fd, layout.size)
            os.close(fd)
        static = self.maps[kunos.STATIC]
        for field, text in (("acVersion", "1.10.2"), ("carModel", "bmw_m4_gt3")):
            at = kunos.ACC_STATIC.offset(field)
            static[at:at + 2 * len(text)] = text.encode("utf-16-le")
        struct.pack_into("<if", static, kunos.ACC_STATIC.offset("maxRpm"), 8000, 120.0)
        struct.pack_into("<i", self.maps[kunos.GRAPHICS], 4, kunos.AC_LIVE)
        self.write()

    def write(self):
        self.packet += 1
        kph = 10 + self.packet % 250
        physics, graphics = self.maps[kunos.PHYSICS], self.maps[kunos.GRAPHICS]
        physics[:32] = struct.pack("<ifffiiff", self.packet, 0.5, 0.0, 60.0, 4, 3000 + 20 * kph, 0.0, kph)
        graphics[:4] = struct.pack("<i", self.packet)
        self.writes.append((time.monotonic(), kph))

    def run(self, seconds):
        start = time.monotonic()
        for i in range(int(seconds * RATE)):
            delay = start + i / RATE - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            self.write()


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

    def __init__(self, folder):
        super().__init__(kunos.Acc(), folder)
        self.seen = []

    def poll(self, now):
        start = time.monotonic()
        telemetry = super().poll(now)
        if telemetry is not None:
            self.seen.append((start, str(round(telemetry.speed_kph))))
        return telemetry


def drive(folder, seconds, record):
    """torqdash on a virtual board with no view: for ``seconds`` (forever if 0); with
    ``record``, the stamps of polls and frames to that file at the end."""
    with VirtualBus() as bus:
        bus.add_board(serial="A1B2", version=0x0105)
        dash = Stamped() if record else Dash(None)
        source = Seen(folder) if record else SharedMemorySource(kunos.Acc(), folder)
        app = App(source, dash, BoardLink(dash, say=lambda text: None))
        end = time.monotonic() + seconds if seconds else math.inf
        while time.monotonic() < end:
            app.step()
    if record:
        with open(record, "w") as file:
            json.dump({"seen": source.seen, "sent": dash.sent}, file)


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
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--driver", metavar="DIR", help=argparse.SUPPRESS)
    parser.add_argument("--record", metavar="FILE", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.driver:
        return drive(options.driver, options.seconds if options.record else 0, options.record)
    folder = tempfile.mkdtemp(dir="/dev/shm", prefix="torqdash-bench-")
    try:
        game = Game(folder)
        reads = [str(part) for name, size in kunos.Acc.pages.items() for part in (name, size)]
        children = [subprocess.Popen(argv) for argv in (
            [sys.executable, __file__, "--driver", folder],
            [sys.executable, "-c", BARE_POLLER, folder, *reads])]
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
        print(f"CPU at {RATE} pages/s, share of one core: torqdash acc (virtual board, no view) "
              f"{ours:.4f}, bare 60 Hz poller {bare:.4f} (ratio "
              + (f"{ours / bare:.1f})" if bare else "n/a: the poller used no measurable CPU; run longer)"))

        record = os.path.join(folder, "stamps.json")
        game.writes.clear()
        child = subprocess.Popen([sys.executable, __file__, "--driver", folder, "--record", record,
                                  "--seconds", str(options.seconds + 2.0)])
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

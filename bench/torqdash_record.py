"""torqdash's status line and recordings: what they cost at a game's pace, and how large
an hour's recording grows.

Measures, in one run:
- CPU (share of one core) and latency (a datagram's send to the board's report of its
  frame, p50 and p99) of torqdash on a virtual board with no terminal view, fed Forza
  packets at 60 a second from another process: plain, with the status line drawn in
  place as on a terminal, and with the status line and a recording; in turns, several
  rounds each, medians;
- the size of an hour's recording at 60 Hz: Forza's 324-byte datagrams, and iRacing's
  live memory map (the shared test data's dump, 8154-byte rows in turn), both carrying a
  real drive (the rows of the shared .ibt file of a Mercedes AMG GT4 at the Red Bull
  Ring, 56 s played over and over): the recording, against the bytes a game sends (or,
  for iRacing, the header and row a poll reads) and, for iRacing, against a recording
  of the whole slices the decoder takes.
Run by hand: python bench/torqdash_record.py [--seconds S] [--rounds N] [--minutes M]
"""
import argparse
import json
import os
import pathlib
import select
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

# This file's folder holds bench/torqdash.py, whose name is the package's.
sys.path = [entry for entry in sys.path
            if os.path.abspath(entry or ".") != os.path.dirname(os.path.abspath(__file__))]

from torqdash import Dash, Forza  # noqa: E402
from torqdash.app import App, BoardLink  # noqa: E402
from torqdash.games.iracing import IRSDK_MEMMAPFILENAME, IRacing, IbtFile  # noqa: E402
from torqdash.record import Recorder  # noqa: E402
from torqdash.sources import SharedMemorySource, Tap, UdpSource, next_slot  # noqa: E402
from torqdash.statusline import Status, TerminalLine  # noqa: E402
from torqsim import VirtualBus  # noqa: E402
from torqsim.host import Monitor, View  # noqa: E402

RATE = 60
REAL = pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata" / "real-telemetry" / "iracing"
DUMP = REAL / "teamjorge" / "memmap-dump_monza_mercedesw13_3bufs.bin"
IBT = REAL / "itelem" / "ibt_spielberg-gp_mercedesamggt4_2023-04-10_3371rows.ibt"
SENT_AT = 48  # AngularVelocityY and Z, which torqdash does not read: the send time


def forza_packet(kph, floats=None, sent=0.0):
    """A Forza Horizon packet in a race at `kph` (its RPM following), its other floats
    from a real drive where given, the time it was sent in two floats torqdash ignores."""
    data = bytearray(324)
    if floats:
        struct.pack_into(f"<{len(floats)}f", data, 20, *floats)
    struct.pack_into("<ifff", data, 0, 1, 0, 8000.0, 800.0)
    struct.pack_into("<f", data, 16, 3000.0 + kph * 20)
    struct.pack_into("<d", data, SENT_AT, sent)
    struct.pack_into("<f", data, 256, kph / 3.6)
    data[319] = 3
    return bytes(data)


class Stamps(View):
    """Notes the latency of each frame: from the send of the datagram it shows."""

    def __init__(self, sent):
        self.sent, self.latencies = sent, []

    def report(self, state, kind, events):
        text = "".join(digit.char for digit in state.central).strip()
        if text.isdigit() and int(text) in self.sent:
            self.latencies.append((time.perf_counter() - self.sent.pop(int(text))) * 1000)

    def note(self, text):
        pass


def driver(mode, port, seconds):
    """One torqdash (App, virtual board, no terminal view) in `mode`: plain, status,
    record; prints its CPU share and latencies as JSON."""
    sent = {}
    with VirtualBus() as bus, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock, \
            open(os.devnull, "w") as null, tempfile.TemporaryDirectory() as folder:
        sock.bind(("127.0.0.1", port))
        source = UdpSource(sock, Forza())
        def note(now, packet):
            kph = round(struct.unpack_from("<f", packet, 256)[0] * 3.6)
            sent[kph] = struct.unpack_from("<d", packet, SENT_AT)[0]

        source.listeners.append(note)
        dash = Dash(None, clock=source.clock)
        view = Stamps(sent)
        app = App(source, dash, BoardLink(dash, say=lambda text: None), Monitor(bus.add_board(), view))
        if mode != "plain":
            app.hooks.append(Status(source, TerminalLine(null).show))
        recorder = Recorder(os.path.join(folder, "bench.tqr"), source) if mode == "record" else None
        if recorder:
            recorder.attach()
        app.step(0)
        print("ready", flush=True)
        select.select([sock], [], [])  # the first datagram
        view.latencies.clear()
        start, cpu = time.perf_counter(), time.process_time()
        while time.perf_counter() - start < seconds:
            app.step()
        share = (time.process_time() - cpu) / (time.perf_counter() - start)
        if recorder:
            recorder.close()
    print(json.dumps({"cpu": share, "latencies": view.latencies}), flush=True)


def run_driver(mode, seconds):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    child = subprocess.Popen([sys.executable, __file__, "--driver", mode, str(port), str(seconds)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().endswith("ready\n")  # (after the module's line when another one runs)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        # Each packet 4 ms into a slot of torqdash's 60 Hz grid (on the same monotonic
        # clock): its frame never waits for the next slot, whatever the phase of the run.
        begin = next_slot(time.monotonic())
        for n in range(int((seconds + 1) * RATE)):
            delay = begin + n / RATE + 0.004 - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            sender.sendto(forza_packet(10 + n % 250, sent=time.perf_counter()), ("127.0.0.1", port))
    result = json.loads(child.stdout.readline())
    child.wait()
    return result


def costs(seconds, rounds):
    results = {mode: [] for mode in ("plain", "status", "record")}
    for _ in range(rounds):
        for mode in results:
            results[mode].append(run_driver(mode, seconds))
    base = None
    for mode, runs in results.items():
        cpu = statistics.median(run["cpu"] for run in runs)
        latencies = sorted(value for run in runs for value in run["latencies"])
        p50, p99 = statistics.median(latencies), latencies[int(0.99 * (len(latencies) - 1))]
        base = base or (cpu, p50, p99)
        print(f"{mode:>6}: CPU {cpu:.4f} of a core, latency p50 {p50:.3f} ms, p99 {p99:.3f} ms "
              f"({len(latencies)} frames); against plain: CPU {cpu / base[0]:.2f}x, "
              f"p50 {p50 / base[1]:.2f}x, p99 {p99 / base[2]:.2f}x")


def drive():
    """The real drive: each .ibt row's values by variable name (numbers only)."""
    rows = []
    with IbtFile(IBT) as ibt:
        data = IBT.read_bytes()
        header = ibt.header
        table = data[header["varHeaderOffset"]:header["varHeaderOffset"] + header["numVars"] * 144]
        fields = []
        for at in range(0, len(table), 144):
            kind, offset, count = struct.unpack_from("<iii", table, at)
            name = table[at + 16:at + 48].split(b"\0", 1)[0].decode()
            if count == 1 and kind in (2, 3, 4, 5):
                fields.append((name, "iIfd"[kind - 2], offset))
        first, length = ibt._first, header["bufLen"]
        for n in range(ibt.samples):
            at = first + n * length
            rows.append({name: struct.unpack_from("<" + code, data, at + offset)[0]
                         for name, code, offset in fields})
    return rows


def keep_up(recorder):
    """Lets the recording's thread catch up: this makes a second's records far faster
    than a second, and a recording that falls behind stops."""
    while recorder._chunks.qsize() > 2:
        time.sleep(0.001)


def hour_udp(rows, polls):
    with tempfile.TemporaryDirectory() as folder, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        clock = [0.0]
        source = UdpSource(sock, Forza(), clock=lambda: clock[0])
        recorder = Recorder(os.path.join(folder, "forza.tqr"), source)
        floats = [name for name, value in rows[0].items() if isinstance(value, float)][:58]
        sent = 0
        for n in range(polls):
            row = rows[n % len(rows)]
            packet = forza_packet(row["Speed"] * 3.6, [row[name] for name in floats])
            clock[0] = n / RATE
            recorder.datagram(clock[0], packet)
            sent += len(packet)
            keep_up(recorder)
        recorder.close()
        assert not recorder.stopped
        return os.path.getsize(os.path.join(folder, "forza.tqr")), sent


def hour_iracing(rows, polls, whole):
    data = bytearray(DUMP.read_bytes())
    names = {}
    header_len = 112
    num_vars, var_at, num_buf, buf_len = struct.unpack_from("<iiii", data, 24)
    for at in range(var_at, var_at + num_vars * 144, 144):
        kind, offset, count = struct.unpack_from("<iii", data, at)
        name = data[at + 16:at + 48].split(b"\0", 1)[0].decode()
        if count == 1 and kind in (2, 3, 4, 5):
            names[name] = ("iIfd"[kind - 2], offset)
    buffers = [struct.unpack_from("<ii", data, 48 + 16 * n)[1] for n in range(num_buf)]
    clock = [0.0]
    source = SharedMemorySource(IRacing(), "/nonexistent", clock=lambda: clock[0])
    source.next_look = float("inf")
    source.readers = {IRSDK_MEMMAPFILENAME: data}
    keep = Tap.keep
    if whole:
        Tap.keep = lambda self, spans: None
    try:
        with tempfile.TemporaryDirectory() as folder:
            recorder = Recorder(os.path.join(folder, "iracing.tqr"), source)
            recorder.attach()
            read = 0
            for n in range(polls):
                row = rows[n % len(rows)]
                tick = 10000 + n
                at = buffers[tick % num_buf]
                for name, value in row.items():
                    if name in names:
                        code, offset = names[name]
                        struct.pack_into("<" + code, data, at + offset, value)
                struct.pack_into("<i", data, 48 + 16 * (tick % num_buf), tick)
                clock[0] = n / RATE
                assert source.poll(clock[0]) is not None
                read += header_len + buf_len
                keep_up(recorder)
            recorder.close()
            assert not recorder.stopped
            return os.path.getsize(os.path.join(folder, "iracing.tqr")), read
    finally:
        Tap.keep = keep


def sizes(minutes):
    if not (DUMP.exists() and IBT.exists()):
        print(f"sizes: skipped, no shared test data at {REAL}")
        return
    rows, polls, scale = drive(), int(minutes * 60 * RATE), 60 / minutes
    size, sent = hour_udp(rows, polls)
    print(f"an hour of Forza at 60 Hz ({minutes:g} min recorded, scaled): {size * scale / 1e6:.1f} MB, "
          f"against {sent * scale / 1e6:.0f} MB of datagrams (ratio {size / sent:.3f})")
    size, read = hour_iracing(rows, polls, whole=False)
    whole, _ = hour_iracing(rows, polls, whole=True)
    print(f"an hour of iRacing at 60 Hz ({minutes:g} min recorded, scaled): {size * scale / 1e6:.1f} MB, "
          f"against {read * scale / 1e6:.0f} MB of header and row read (ratio {size / read:.4f}) and "
          f"{whole * scale / 1e6:.1f} MB recording whole slices (ratio {size / whole:.3f})")


def main():
    if sys.argv[1:2] == ["--driver"]:
        return driver(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--minutes", type=float, default=10.0, help="recorded and scaled to an hour")
    parser.add_argument("--only", choices=("costs", "sizes"))
    options = parser.parse_args()
    if options.only != "sizes":
        costs(options.seconds, options.rounds)
    if options.only != "costs":
        sizes(options.minutes)


if __name__ == "__main__":
    sys.exit(main())

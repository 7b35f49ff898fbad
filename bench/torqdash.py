"""torqdash at a game's pace: CPU and latency with Forza packets at 60 a second.

The packets change the board each time (the speed), shift up a gear every second and
reach the shift point every few seconds. Measures, in one run:
- the CPU time of ``python -m torqdash forza --virtual`` (its plain-text view to
  /dev/null) while it receives them, as a fraction of one core: with the whole board in
  use (examples/whole_board.toml: rumble on with its effects, flags, pages, buttons
  bound, the input listener read every step), against the dash as it was (rumble off,
  nothing bound; or, with --baseline DIR, the torqdash package in DIR, such as a
  checkout's python/ folder) and a bare Python process that only receives them;
- the latency from a packet's arrival to the virtual board's report of it (torqdash's
  own code in this process: socket, decoder, dash, torqpanel, the board's report), p50
  and p99, with the whole board in use (its rumble button pressed or let go twenty
  times a second) and without, against a bare Python receiver's socket-to-recv latency.
Run by hand: python bench/torqdash.py [--seconds S] [--baseline DIR]
"""
import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

# This file's name is the package's: import the package, not this file.
sys.path = [entry for entry in sys.path
            if os.path.abspath(entry or ".") != os.path.dirname(os.path.abspath(__file__))]

import torqsim  # noqa: E402
from torqdash import Dash, Forza, load_layout, parse_layout  # noqa: E402
from torqdash.app import App, BoardLink  # noqa: E402
from torqdash.sources import UdpSource  # noqa: E402
from torqsim.board import InputPanel  # noqa: E402
from torqsim.host import Monitor  # noqa: E402
from torqsim.host import View  # noqa: E402

RATE = 60
# The whole board: flags, rumble, three pages, four buttons bound.
WHOLE_BOARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "whole_board.toml")
AS_IT_WAS = "controls.next_page = 0\n"  # rumble is off unless a layout turns it on
STAMP_AT = 20  # Forza's AccelerationX to Z
BARE_RECEIVER = "import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n" \
                "s.bind(('127.0.0.1',int(sys.argv[1])))\nwhile True: s.recv(65535)\n"


def forza_packet(kph, gear=3, stamp=0.0):
    """A Forza Horizon packet in a race: the speed shown is `kph`, the RPM follows it
    (the shift point, 95 % of 8000 rpm, from 230 km/h); `stamp`, the sender's clock,
    over fields that torqdash does not read."""
    data = bytearray(324)
    struct.pack_into("<ifff", data, 0, 1, 0, 8000.0, 800.0)
    struct.pack_into("<f", data, 16, 3000.0 + kph * 20)
    struct.pack_into("<d", data, STAMP_AT, stamp)
    struct.pack_into("<f", data, 256, kph / 3.6)
    data[319] = gear
    return bytes(data)


def speed_and_stamp(packet):
    speed, stamp = struct.unpack_from("<f", packet, 256)[0], struct.unpack_from("<d", packet, STAMP_AT)[0]
    return round(speed * 3.6), stamp


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def send(port, seconds):
    """60 packets a second for `seconds`, each with a new speed (10 to 259 km/h), up a
    gear every second, stamped with the time they were sent (time.perf_counter is the
    system's monotonic clock, the same in every process)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        start = time.perf_counter()
        for i in range(int(seconds * RATE)):
            delay = start + i / RATE - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            packet = forza_packet(10 + i % 250, 1 + i // RATE % 6, time.perf_counter())
            sender.sendto(packet, ("127.0.0.1", port))


def sender(port, seconds):
    """The sender in a process of its own, so that it never waits for the measured
    loop's interpreter lock, nor the loop for it."""
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--send", str(port), str(seconds)])


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def core_share(argv, port, seconds, path=None):
    env = dict(os.environ, PYTHONPATH=path) if path else None
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        time.sleep(1.5)  # imports and the board found
        before, start = cpu_seconds(child.pid), time.perf_counter()
        send(port, seconds)
        return (cpu_seconds(child.pid) - before) / (time.perf_counter() - start)
    finally:
        child.terminate()
        child.wait()


class Stamps(View):
    """A view that notes when the board's report of each speed arrived."""

    def __init__(self):
        self.seen = {}

    def report(self, state, kind, events):
        text = "".join(digit.char for digit in state.central).strip()
        if text.isdigit():
            self.seen.setdefault(int(text), time.perf_counter())

    def note(self, text):
        pass


def torqdash_latency(seconds, whole):
    stamps, view = {}, Stamps()
    latencies = []
    with torqsim.VirtualBus() as bus, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        dash = Dash(None, load_layout(WHOLE_BOARD) if whole else parse_layout(AS_IT_WAS))
        board = bus.add_board(serial="A1B2")
        source = UdpSource(sock, Forza())
        source.listeners.append(lambda packet: stamps.__setitem__(*speed_and_stamp(packet)))
        app = App(source, dash, BoardLink(dash, say=lambda text: None), Monitor(board, view))
        app.step(0)  # opens the board
        running = sender(sock.getsockname()[1], seconds)
        panel, pressed = InputPanel(), time.perf_counter()
        while running.poll() is None:
            if whole and time.perf_counter() > pressed + 0.05:
                pressed = time.perf_counter()
                panel.press(4, not panel.held(4))  # the rumble off, on, ...
                board.send_input(panel.report())
            app.step(0.05)
            for kph in list(view.seen):
                if kph in stamps:
                    latencies.append((view.seen.pop(kph) - stamps.pop(kph)) * 1000)
    return latencies


def bare_latency(seconds):
    latencies = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(0.05)
        running = sender(sock.getsockname()[1], seconds)
        while running.poll() is None:
            try:
                data = sock.recv(65535)
            except socket.timeout:
                continue
            latencies.append((time.perf_counter() - speed_and_stamp(data)[1]) * 1000)
    return latencies


def percentiles(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def ratio(value, base):
    return f"{value / base:.2f}" if base else "n/a"


def main():
    if sys.argv[1:2] == ["--send"]:  # the sender's own process
        send(int(sys.argv[2]), float(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--baseline", metavar="DIR",
                        help="a folder holding the torqdash package to compare with")
    options = parser.parse_args()
    seconds = options.seconds

    with tempfile.TemporaryDirectory() as folder:
        layouts = {"whole": WHOLE_BOARD, "as_it_was": os.path.join(folder, "as_it_was.toml")}
        with open(layouts["as_it_was"], "w") as file:
            file.write(AS_IT_WAS)
        shares = {}
        # Interleaved, so that all three see the same machine load.
        for _ in range(2):
            for name in ("bare", "as_it_was", "whole"):
                port = free_port()
                if name == "bare":
                    argv = [sys.executable, "-c", BARE_RECEIVER, str(port)]
                else:
                    argv = [sys.executable, "-m", "torqdash", "forza", "--virtual", "--port", str(port)]
                    if name == "whole" or options.baseline is None:
                        argv += ["--layout", layouts[name]]
                path = options.baseline if name == "as_it_was" else None
                shares[name] = shares.get(name, 0.0) + core_share(argv, port, seconds / 2, path)
    before = f"torqdash in {options.baseline}" if options.baseline else "as it was (no rumble, nothing bound)"
    whole, was, bare = (shares[name] / 2 for name in ("whole", "as_it_was", "bare"))
    print(f"CPU at {RATE} packets/s, share of one core: the whole board {whole:.4f}, {before} "
          f"{was:.4f}, bare receiver {bare:.4f} (ratios {ratio(whole, was)} and {ratio(whole, bare)})")

    # Interleaved too, and pooled.
    runs = {"bare": [], "as_it_was": [], "whole": []}
    for _ in range(3):
        runs["bare"] += bare_latency(seconds / 3)
        runs["as_it_was"] += torqdash_latency(seconds / 3, whole=False)
        runs["whole"] += torqdash_latency(seconds / 3, whole=True)
    whole, was, bare = (percentiles(runs[name]) for name in ("whole", "as_it_was", "bare"))
    print(f"latency, packet to board report ({len(runs['whole'])} reports): the whole board "
          f"p50 {whole[0]:.3f} ms, p99 {whole[1]:.3f} ms; as it was p50 {was[0]:.3f} ms, p99 {was[1]:.3f} "
          f"ms (ratios {ratio(whole[0], was[0])}, {ratio(whole[1], was[1])}); bare socket-to-recv p50 "
          f"{bare[0]:.3f} ms, p99 {bare[1]:.3f} ms")


if __name__ == "__main__":
    main()

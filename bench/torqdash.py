"""torqdash at a game's pace: CPU and latency with Forza packets at 60 a second.

Measures, in one run:
- the CPU time of ``python -m torqdash forza --virtual`` (its plain-text view to
  /dev/null) while it receives 60 packets a second that change the board each time, as
  a fraction of one core, against a bare Python process that only receives them;
- the same for torqdash's app on DiRT packets with a (virtual) board and no view;
- the latency from a packet's arrival to the virtual board's report of it (torqdash's
  own code in this process: socket, decoder, dash, torqpanel, the board's report), p50
  and p99, against a bare Python receiver's socket-to-recv latency.
Run by hand: python bench/torqdash.py [--seconds S]
"""
import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

# This file's name is the package's: import the package, not this file.
sys.path = [entry for entry in sys.path
            if os.path.abspath(entry or ".") != os.path.dirname(os.path.abspath(__file__))]

import torqsim  # noqa: E402
from torqdash import Dash, Forza  # noqa: E402
from torqdash.app import App, BoardLink  # noqa: E402
from torqdash.sources import UdpSource  # noqa: E402
from torqsim.host import Monitor  # noqa: E402
from torqsim.host import View  # noqa: E402

RATE = 60
BOARD_NO_VIEW = """import sys
import torqsim
from torqdash import SOURCES, Dash
from torqdash.app import App, BoardLink
from torqdash.sources import UdpSource, listen
with torqsim.VirtualBus() as bus:
    bus.add_board(serial="A1B2")
    dash = Dash(None)
    source = UdpSource(listen("127.0.0.1", int(sys.argv[2])), SOURCES[sys.argv[1]]())
    app = App(source, dash, BoardLink(dash, say=lambda text: None))
    while True:
        app.step()
"""
BARE_RECEIVER = "import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n" \
                "s.bind(('127.0.0.1',int(sys.argv[1])))\nwhile True: s.recv(65535)\n"


def forza_packet(kph):
    """A Forza Horizon packet in a race: the speed shown is `kph`, the RPM follows it."""
    data = bytearray(324)
    struct.pack_into("<ifff", data, 0, 1, 0, 8000.0, 800.0)
    struct.pack_into("<f", data, 16, 3000.0 + kph * 20)
    struct.pack_into("<f", data, 256, kph / 3.6)
    data[319] = 3
    return bytes(data)


def dirt_packet(kph):
    """DiRT's extradata=3 packet: the speed shown is `kph`, the engine rate (rad/s) follows it."""
    data = bytearray(264)
    struct.pack_into("<f", data, 28, kph / 3.6)
    struct.pack_into("<f", data, 148, 300.0 + kph * 2)
    struct.pack_into("<f", data, 252, 900.0)
    return bytes(data)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def send(port, seconds, stamps=None, make=forza_packet):
    """60 packets a second for `seconds`, each with a new speed (10 to 259 km/h)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        start = time.perf_counter()
        for i in range(int(seconds * RATE)):
            delay = start + i / RATE - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            kph = 10 + i % 250
            if stamps is not None:
                stamps[kph] = time.perf_counter()
            sender.sendto(make(kph), ("127.0.0.1", port))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def core_share(argv, port, seconds, make=forza_packet):
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.5)  # imports and the board found
        before, start = cpu_seconds(child.pid), time.perf_counter()
        send(port, seconds, make=make)
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


def torqdash_latency(seconds):
    stamps, view = {}, Stamps()
    latencies = []
    with torqsim.VirtualBus() as bus, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        dash = Dash(None)
        app = App(UdpSource(sock, Forza()), dash, BoardLink(dash, say=lambda text: None),
                  Monitor(bus.add_board(serial="A1B2"), view))
        app.step(0)  # opens the board
        sender = threading.Thread(target=send, args=(sock.getsockname()[1], seconds, stamps))
        sender.start()
        while sender.is_alive():
            app.step(0.05)
            for kph in list(view.seen):
                if kph in stamps:
                    latencies.append((view.seen.pop(kph) - stamps.pop(kph)) * 1000)
        sender.join()
    return latencies


def bare_latency(seconds):
    stamps, latencies = {}, []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(0.05)
        sender = threading.Thread(target=send, args=(sock.getsockname()[1], seconds, stamps))
        sender.start()
        while sender.is_alive():
            try:
                data = sock.recv(65535)
            except socket.timeout:
                continue
            kph = round(struct.unpack_from("<f", data, 256)[0] * 3.6)
            if kph in stamps:
                latencies.append((time.perf_counter() - stamps.pop(kph)) * 1000)
        sender.join()
    return latencies


def percentiles(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    seconds = parser.parse_args().seconds

    port = free_port()
    bare = core_share([sys.executable, "-c", BARE_RECEIVER, str(port)], port, seconds)
    port = free_port()
    ours = core_share([sys.executable, "-m", "torqdash", "forza", "--virtual", "--port",
                       str(port)], port, seconds)
    print(f"CPU at {RATE} packets/s, share of one core: torqdash --virtual {ours:.4f}, "
          f"bare receiver {bare:.4f} (ratio " +
          (f"{ours / bare:.1f})" if bare else "n/a: the receiver used no measurable CPU; run longer)"))

    port = free_port()
    bare = core_share([sys.executable, "-c", BARE_RECEIVER, str(port)], port, seconds, dirt_packet)
    port = free_port()
    ours = core_share([sys.executable, "-c", BOARD_NO_VIEW, "dirt", str(port)], port, seconds, dirt_packet)
    print(f"CPU at {RATE} DiRT packets/s, share of one core: torqdash with a board and no view {ours:.4f}, "
          f"bare receiver {bare:.4f}" + (f" (ratio {ours / bare:.1f})" if bare else ""))

    base = percentiles(bare_latency(seconds))
    latencies = torqdash_latency(seconds)
    ours_p = percentiles(latencies)
    print(f"latency, packet to board report ({len(latencies)} reports): p50 {ours_p[0]:.3f} ms, "
          f"p99 {ours_p[1]:.3f} ms; bare socket-to-recv p50 {base[0]:.3f} ms, "
          f"p99 {base[1]:.3f} ms (ratios {ours_p[0] / base[0]:.1f}, {ours_p[1] / base[1]:.1f})")


if __name__ == "__main__":
    main()

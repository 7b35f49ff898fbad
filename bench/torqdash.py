"""torqdash at a game's pace: CPU and latency with 60 packets a second, Forza's, Gran
Turismo 7's (encrypted) and DiRT's, each changing the board.

Measures, in one run, for each source:
- the CPU time of torqdash driving a virtual board in a child process with no terminal view
  (the app's loop: socket, decoder, dash, torqpanel's writes to the board), as a share of one
  core, against a bare Python process that only receives the same packets;
- the CPU time a packet costs the decoder and the dash when packets come back to back (the
  floor under the share above, which a loaded machine's cold caches raise);
- the latency from a packet's sending (by a process of its own, as a game) to the write of
  its frame to the board (torqdash in this process), p50 and p99, against a bare receiver's
  send-to-recv latency.
With --layout FILE (examples/whole_board.toml: rumble, flags, pages, the board's buttons
bound and read every step), each share and latency is measured with that layout and with
the dash as it was (no rumble, nothing bound), in the same run, and their ratios printed;
in the latency run the layout's rumble button is pressed or let go twenty times a second.
With --instructions SOURCE, the instructions each packet costs torqdash and a bare receiver,
counted by valgrind's callgrind: a figure of the code, not of this machine's speed or load.
Run by hand: python bench/torqdash.py [--seconds S] [--profile SOURCE] [--layout FILE]
             [--instructions SOURCE]
"""
import argparse
import cProfile
import os
import pstats
import random
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
from torqdash import SOURCES, Dash, Layout, load_layout, parse_layout  # noqa: E402
from torqdash.app import App, BoardLink  # noqa: E402
from torqdash.games import gt7  # noqa: E402
from torqdash.sources import UdpSource, listen  # noqa: E402
from torqsim.board import InputPanel  # noqa: E402

RATE = 60
AS_IT_WAS = "-"  # (--layout's baseline: a layout that binds nothing, with no rumble)
SPEEDS = range(10, 260)  # km/h: each packet shows a new one
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


def gt7_packet(kph):
    """A Gran Turismo 7 packet "A" on track, encrypted with a seed of its own as the console's
    are (the same in every process): the speed shown is `kph`, the RPM follows it."""
    data = bytearray(gt7.GT7_PACKET.size)
    fields = dict(magic=gt7.GT7_MAGIC, EngineRPM=3000.0 + kph * 20, fuelLevel=50.0, fuelCapacity=100.0,
                  speed=kph / 3.6, minAlertRPM=7500, maxAlertRPM=8000, flags=1, gears=0xF3, carCode=3450)
    for name, value in fields.items():
        struct.pack_into("<" + ("f" if isinstance(value, float) else "i" if name in ("magic", "carCode")
                                else "B" if name == "gears" else "h"),
                         data, gt7.GT7_PACKET.offset(name), value)
    return gt7.seal(bytes(data), random.Random(kph).getrandbits(32))


PACKETS = {"forza": forza_packet, "gt7": gt7_packet, "dirt": dirt_packet}


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def send(packets, port, seconds):
    """60 packets a second for `seconds`, each with a new speed; (speed, time sent) of each."""
    speeds, sent = list(packets), []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        start = time.perf_counter()
        for i in range(int(seconds * RATE)):
            delay = start + i / RATE - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            kph = speeds[i % len(speeds)]
            sent.append((kph, time.perf_counter()))
            sender.sendto(packets[kph], ("127.0.0.1", port))
    return sent


def sender(source, port, seconds):
    """The game: a process of its own that sends; it writes when it sent each speed to the
    file it returns."""
    record = tempfile.NamedTemporaryFile("r", prefix="torqdash-bench-", suffix=".txt")
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--send", source, str(port),
                             str(seconds), record.name], stdout=subprocess.DEVNULL), record


def latencies(game, seen):
    """Milliseconds from the sending of each speed to the first time it was `seen` (speed,
    time) after that: perf_counter's clock is the system's monotonic one in both processes."""
    process, record = game
    process.wait()
    with record:
        sent = [tuple(map(float, line.split())) for line in record.read().splitlines()]
    first, result = {}, []
    for kph, at in sorted(seen, key=lambda pair: pair[1]):
        before = [when for speed, when in sent if speed == kph and when <= at]
        if before and before[-1] not in first:
            first[before[-1]] = at
            result.append((at - before[-1]) * 1000)
    return result


def cpu_seconds(pid):
    """The CPU time of all of a process's threads, to the nanosecond (schedstat's run time)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
            total += int(stat.read().split()[0])
    return total / 1e9


def core_share(argv, packets, port, seconds):
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    try:
        time.sleep(1.5)  # imports and the board found
        before, start = cpu_seconds(child.pid), time.perf_counter()
        send(packets, port, seconds)
        return (cpu_seconds(child.pid) - before) / (time.perf_counter() - start)
    finally:
        child.terminate()
        child.wait()


def app(source, sock, dash):
    """torqdash's loop on a virtual board, without a view; the heartbeat (gt7) goes to this
    machine."""
    decoder = SOURCES[source]()
    console = "127.0.0.1" if decoder.heartbeat is not None else None
    return App(UdpSource(sock, decoder, console), dash, BoardLink(dash, say=lambda text: None))


def layout(name):
    """None: the default layout; AS_IT_WAS; else a layout file."""
    if name is None:
        return None
    return parse_layout("controls.next_page = 0") if name == AS_IT_WAS else load_layout(name)


def child(source, port, layout_name=None):
    """The measured process: torqdash on a virtual board, until terminated."""
    with torqsim.VirtualBus() as bus:
        bus.add_board(serial="A1B2")
        dash = Dash(None, layout(layout_name) or Layout())
        session = app(source, listen("127.0.0.1", port), dash)
        while True:
            session.step()


class StampedDash(Dash):
    """A dash that notes when it wrote the frame of each speed to the board."""

    def __init__(self, chosen=None):
        super().__init__(None, chosen or Layout())
        self.written = []

    def _send(self, frame):
        super()._send(frame)
        if frame.central.strip().isdigit():
            self.written.append((int(frame.central), time.perf_counter()))


def torqdash_latency(source, seconds, profile=None, layout_name=None):
    dash = StampedDash(layout(layout_name))
    with torqsim.VirtualBus() as bus, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        board = bus.add_board(serial="A1B2")
        sock.bind(("127.0.0.1", 0))
        session = app(source, sock, dash)
        session.step(0)  # opens the board
        game = sender(source, sock.getsockname()[1], seconds)
        if profile:
            profile.enable()
        button, inputs, pressed = dash.layout.rumble_button, InputPanel(), time.perf_counter()
        while game[0].poll() is None:
            if button and time.perf_counter() > pressed + 0.05:
                pressed = time.perf_counter()
                inputs.press(button, not inputs.held(button))  # the rumble off, on, ...
                board.send_input(inputs.report())
            session.step(0.05)
        if profile:
            profile.disable()
        return latencies(game, dash.written)


def bare_latency(source, packets, seconds):
    speed_of, seen = {packet: kph for kph, packet in packets.items()}, []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(0.05)
        game = sender(source, sock.getsockname()[1], seconds)
        while game[0].poll() is None:
            try:
                seen.append((speed_of[sock.recv(65535)], time.perf_counter()))
            except socket.timeout:
                continue
        return latencies(game, seen)


def warm_cost(source, packets):
    """CPU seconds per packet of the decoder and the dash on a virtual board, packets back
    to back (warm caches: the floor under the share measured at 60 a second)."""
    with torqsim.VirtualBus() as bus:
        bus.add_board(serial="A1B2")
        dash = Dash(None)
        BoardLink(dash, say=lambda text: None).poll()
        decoder, frames = SOURCES[source](), list(packets.values()) * 8
        start = time.process_time()
        for number, packet in enumerate(frames):
            dash.show(decoder.feed(packet), now=number / RATE)
        return (time.process_time() - start) / len(frames)


def percentiles(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def compare(source, seconds, chosen):
    """The share and latency with the layout `chosen` against the dash as it was."""
    packets = {kph: PACKETS[source](kph) for kph in SPEEDS}
    shares, late = {}, {}
    for name in (AS_IT_WAS, chosen) * 2:  # interleaved: both see the same load
        port = free_port()
        share = core_share([sys.executable, os.path.abspath(__file__), "--child", source, str(port), name],
                           packets, port, seconds / 2)
        shares[name] = shares.get(name, 0.0) + share / 2
        late[name] = late.get(name, []) + torqdash_latency(source, seconds / 2, layout_name=name)
    (was50, was99), (new50, new99) = percentiles(late[AS_IT_WAS]), percentiles(late[chosen])
    print(f"{source}: CPU at {RATE} packets/s, share of one core: {chosen} {shares[chosen]:.2%}, as it was "
          f"{shares[AS_IT_WAS]:.2%} (ratio {shares[chosen] / shares[AS_IT_WAS]:.2f}); latency, packet to "
          f"the write of its frame: p50 {new50:.3f} / {was50:.3f} ms (ratio {new50 / was50:.2f}), "
          f"p99 {new99:.3f} / {was99:.3f} ms (ratio {new99 / was99:.2f})")


def instructions(argv, packets, port, count=100, rate=10):
    """Instructions a process executes for each of `count` packets, counted by callgrind
    from the first packet on (after its imports): a figure of the code, not of how busy or
    how fast this machine is. The packets come at `rate` a second, slow enough for the
    process to take each on its own wakeup under the emulation."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        child = subprocess.Popen(["valgrind", "--tool=callgrind", "--instr-atstart=no",
                                  f"--callgrind-out-file={out}", *argv],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(40)  # imports and the board found, ~50 times slower under callgrind
            control = ["callgrind_control", str(child.pid)]
            subprocess.run(control + ["-i", "on"], check=True, capture_output=True)
            speeds = list(packets)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                for i in range(count):
                    sender.sendto(packets[speeds[i % len(speeds)]], ("127.0.0.1", port))
                    time.sleep(1 / rate)
            time.sleep(2)
            subprocess.run(control + ["-i", "off"], check=True, capture_output=True)
        finally:
            child.terminate()
            child.wait()
        totals = [line for path in os.listdir(folder) if path.startswith("callgrind.out")
                  for line in open(os.path.join(folder, path)) if line.startswith(("summary:", "totals:"))]
        return max(int(line.split()[1]) for line in totals) / count


def measure(source, seconds):
    packets = {kph: PACKETS[source](kph) for kph in SPEEDS}
    port = free_port()
    bare = core_share([sys.executable, "-c", BARE_RECEIVER, str(port)], packets, port, seconds)
    port = free_port()
    ours = core_share([sys.executable, os.path.abspath(__file__), "--child", source, str(port)],
                      packets, port, seconds)
    print(f"{source}: CPU at {RATE} packets/s, share of one core: torqdash on a board without a view "
          f"{ours:.2%}, bare receiver {bare:.2%}, torqdash above it {ours - bare:.2%}")
    warm = warm_cost(source, packets)
    print(f"{source}: decoder and dash, packets back to back: {warm * 1e6:.0f} us a packet "
          f"({warm * RATE:.2%} of a core at {RATE} a second)")
    base = percentiles(bare_latency(source, packets, seconds))
    ours = torqdash_latency(source, seconds)
    p50, p99 = percentiles(ours)
    print(f"{source}: latency, packet to the write of its frame ({len(ours)} frames): p50 {p50:.3f} ms, "
          f"p99 {p99:.3f} ms; bare send-to-recv p50 {base[0]:.3f} ms, p99 {base[1]:.3f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--profile", choices=PACKETS, help="profile torqdash's loop for that source instead")
    parser.add_argument("--instructions", choices=PACKETS,
                        help="count the instructions a packet of that source costs torqdash and a bare "
                             "receiver, with valgrind's callgrind, instead")
    parser.add_argument("--layout", metavar="FILE",
                        help="compare torqdash with this layout against the dash as it was")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    parser.add_argument("--send", nargs=4, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child(options.child[0], int(options.child[1]), *options.child[2:])
    elif options.send:
        source, port, seconds, record = options.send
        packets = {kph: PACKETS[source](kph) for kph in SPEEDS}
        sent = send(packets, int(port), float(seconds))
        with open(record, "w") as file:
            file.write("".join(f"{kph} {at!r}\n" for kph, at in sent))
    elif options.instructions:
        source = options.instructions
        packets = {kph: PACKETS[source](kph) for kph in SPEEDS}
        port = free_port()
        bare = instructions([sys.executable, "-c", BARE_RECEIVER, str(port)], packets, port)
        port = free_port()
        ours = instructions([sys.executable, os.path.abspath(__file__), "--child", source, str(port)],
                            packets, port)
        print(f"{source}: instructions a packet, each on its own wakeup: torqdash on a board without a "
              f"view {ours:,.0f}, bare receiver {bare:,.0f} (ratio {ours / bare:.1f}); at {RATE} packets "
              f"a second torqdash executes {ours * RATE / 1e6:.1f} million instructions a second")
    elif options.profile:
        profile = cProfile.Profile()
        torqdash_latency(options.profile, options.seconds, profile)
        pstats.Stats(profile).sort_stats("tottime").print_stats(20)
    else:
        with open("/proc/loadavg") as load:
            print(f"{os.cpu_count()} cores, load average {load.read().split()[0]} (other processes' "
                  "load raises every share: their use of the caches makes each packet's work slower)")
        for source in PACKETS:
            if options.layout:
                compare(source, options.seconds, options.layout)
            else:
                measure(source, options.seconds)


if __name__ == "__main__":
    main()

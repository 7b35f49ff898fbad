"""torqdash record, replay, --forward and the status line: live runs on a virtual board
recorded and replayed onto another (the same reports), datagrams forwarded on the
loopback, damaged and foreign files, the commands, the status line's cases."""
import io
import re
import socket
import struct
import subprocess
import sys
import threading
import time
from dataclasses import replace

import pyte
import pytest

from test_iracing import DUMP, IBTS, REAL
from test_torqdash import forza_dash, f1_packets, packet
from test_torqdash_kunos import ACC_T, Written, acc_pages
from test_torqdash_kunos import write as kunos_write
from torqdash import Dash, Forza
from torqdash.app import App, BoardLink
from torqdash.forward import Forwarder
from torqdash.games import kunos
from torqdash.games.iracing import IRSDK_MEMMAPFILENAME, IbtFile, IRacing
from torqdash.games.kunos import Acc
from torqdash.record import POLL, Recorder, Recording, RecordingError
from torqdash.replay import open_replay
from torqdash.sources import SharedMemorySource, UdpSource
from torqdash.status import StatusLines
from torqdash.statusline import Status, TerminalLine
from torqsim import VirtualBus
from torqsim.board import BoardState


def session(source, steps, recording):
    """Runs an app on `source` (recorded into `recording` if given) on a new virtual
    board until `steps` (called between steps, False when done) ends; the board's reports."""
    with VirtualBus() as bus:
        board = bus.add_board(serial="A1B2")
        dash = Dash(None, clock=source.clock)
        app = App(source, dash, BoardLink(dash, say=lambda text: None))
        recorder = Recorder(str(recording), source) if recording else None
        if recorder:
            recorder.attach()
        while steps():
            app.step(0.01)
        if recorder:
            recorder.close()
        frames = list(board.frames)  # (not the blank report of the board's release)
        app.link.line = dash.board = None
        return frames


def replayed(path, **more):
    source = open_replay(path, speed=0, **more)
    frames = session(source, lambda: not source.finished, None)
    return frames, source


def test_udp_live_run_recorded_replayed_and_forwarded(tmp_path):
    sent = []
    for n in range(40):  # bursts of three (one poll shows the last), a rejected and an ignored-size one
        sent += [packet(324, forza_dash(244, 1 + n % 5, 20.0 + n + k)) for k in range(1 + 2 * (n % 4 == 0))]
        sent += [b"garbage"] if n % 9 == 0 else []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as mirror:
        sock.bind(("127.0.0.1", 0))
        mirror.bind(("127.0.0.1", 0))
        mirror.settimeout(5)
        source = UdpSource(sock, Forza())
        forward = Forwarder(["%s:%d" % mirror.getsockname()], sock.getsockname())
        source.listeners.append(forward)

        def send():
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                for data in sent:
                    sender.sendto(data, sock.getsockname())
                    time.sleep(0.02 if len(data) == 324 else 0)

        sender = threading.Thread(target=send)
        sender.start()
        end = []

        def steps():  # until 0.2 s after the last datagram
            if not sender.is_alive() and not end:
                end.append(time.monotonic() + 0.2)
            return not end or time.monotonic() < end[0]

        live = session(source, steps, tmp_path / "forza.tqr")
        assert [mirror.recv(65535) for _ in sent] == sent  # forwarded whole, in order
        forward.close()
    again, replay = replayed(tmp_path / "forza.tqr")
    assert len(live) > 30 and again == live
    assert (replay.datagrams, replay.decoder.rejected, replay.received) == (
        source.datagrams, source.decoder.rejected, source.received)


def acc_game(path):
    """ACC's pages in `path`, written between polls: packets in turn (a new gear every
    third), the pages gone for a while (the game quits) and back."""
    pages = acc_pages()
    step = iter(range(1, 200))

    def write(name, data):
        (path / name).write_bytes(bytes(data))

    def next_poll():
        n = next(step)
        if n == 60:
            for name in pages:
                (path / name).unlink()
        elif n not in range(60, 90):
            physics = pages[kunos.PHYSICS]
            struct.pack_into("<i", physics, 0, n)  # packetId
            struct.pack_into("<i", physics, kunos.ACC_PHYSICS.offset("gear"), 2 + n // 3 % 5)
            struct.pack_into("<f", physics, kunos.ACC_PHYSICS.offset("fuel"), 100.0 - n / 10)
            for name, data in pages.items():
                write(name, data)
        return n < 150
    return next_poll, Acc()


def iracing_game(path):
    """The real memory-map dump in `path`, its newest row's tick and values changed
    between polls (the car on track), the sim gone (status 0) for a while and back."""
    if not (REAL / DUMP).is_file():
        pytest.skip("no shared/testdata/real-telemetry beside the project")
    data = bytearray((REAL / DUMP).read_bytes())
    where = {name: struct.unpack_from("<i", data, data.index(b"\0" + name + b"\0") + 1 - 12)[0]
             for name in (b"RPM", b"Gear", b"Speed", b"IsOnTrack")}  # irsdk_varHeader: offset 4, name 16
    step = iter(range(1, 200))

    def next_poll():
        n = next(step)
        struct.pack_into("<i", data, 4, 0 if n in range(60, 90) else 1)  # status: connected
        struct.pack_into("<i", data, 64, 3000 + n)  # varBuf[1].tickCount
        row = 1138800  # varBuf[1].bufOffset
        struct.pack_into("<f", data, row + where[b"RPM"], 4000.0 + 30 * n)
        struct.pack_into("<i", data, row + where[b"Gear"], 1 + n // 10 % 6)
        struct.pack_into("<f", data, row + where[b"Speed"], n / 2)
        struct.pack_into("<?", data, row + where[b"IsOnTrack"], True)
        (path / IRSDK_MEMMAPFILENAME).write_bytes(data)
        return n < 150
    return next_poll, IRacing()


@pytest.mark.parametrize("game", [acc_game, iracing_game])
def test_shared_memory_live_run_recorded_and_replayed(tmp_path, game):
    (tmp_path / "shm").mkdir()
    next_poll, decoder = game(tmp_path / "shm")
    source = SharedMemorySource(decoder, str(tmp_path / "shm"), look_every=0.1)
    live = session(source, next_poll, tmp_path / "game.tqr")
    again, replay = replayed(tmp_path / "game.tqr")
    assert len(live) > 20 and again == live
    assert (replay.received, replay.decoder.rejected) == (source.received, source.decoder.rejected)
    # Each poll keeps what the decoder looked at that changed: a few of the row's bytes.
    polls = [len(payload) for _, kind, payload in Recording(tmp_path / "game.tqr").records() if kind == POLL]
    assert sorted(polls)[len(polls) // 2] < 160


def test_torn_copies_replayed_as_read(tmp_path):
    pages, nothing = acc_pages(packet=7), lambda data: None
    source = SharedMemorySource(Acc(), str(tmp_path), clock=lambda: 0.0)
    source.next_look = float("inf")  # the pages are these: the game writes during the copies
    source.readers = {name: Written(data) for name, data in pages.items()}
    physics = source.readers[kunos.PHYSICS]
    recorder = Recorder(str(tmp_path / "torn.tqr"), source)
    recorder.attach()
    seen = []
    every_try = [step for n in range(Acc.tries) for step in (nothing, kunos_write(9 + n, 2), nothing)]
    for n, writes in enumerate([[nothing, kunos_write(8, 5)], every_try, []]):
        physics.writes = writes
        seen.append(source.poll(n / 60))
    recorder.close()
    assert seen == [replace(ACC_T, gear=4), None, replace(ACC_T, gear=1)] and source.decoder.torn == 1
    replay = open_replay(tmp_path / "torn.tqr", speed=0)
    shown = [replay.poll(n / 60) for n in range(3)]
    assert shown == seen and replay.decoder.torn == 1


@pytest.fixture
def ibt():
    if not (REAL / IBTS[0]).is_file():
        pytest.skip("no shared/testdata/real-telemetry beside the project")
    return REAL / IBTS[0]


def test_an_ibt_file_replayed_onto_the_board(ibt):
    with IbtFile(ibt) as recording:
        gears = [telemetry.gear for _, telemetry in recording]
    frames, replay = replayed(ibt)
    assert replay.received == len(gears) == 390 and not replay.problem
    # The car leaves its pit box in neutral, then first gear: the gear digit says so.
    shown = [BoardState.from_reports(frames[:n]).gear.text for n in range(1, len(frames) + 1)]
    assert [g for n, g in enumerate(shown) if n == 0 or g != shown[n - 1]][-2:] == ["N", "1"]
    assert gears[0] == 0 and gears[-1] == 1


def recording_of(path, datagrams):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        clock = iter(range(100)).__next__
        recorder = Recorder(str(path), UdpSource(sock, Forza(), clock=lambda: clock() / 10))
        for data in datagrams:
            recorder.datagram(recorder.source.clock(), data)
        recorder.close()
    return path.read_bytes()


@pytest.mark.parametrize("change, error", [
    (lambda data: b"\x89PNG" + data, "neither a torqdash recording nor an iRacing .ibt file"),
    (lambda data: data.replace(b"recording 1", b"recording 2", 1), "format 2, this torqdash reads format 1"),
    (lambda data: data.replace(b'"source"', b'"sauce"', 1), "damaged header"),
    (lambda data: data.replace(b'"forza"', b'"pong"', 1), "from pong, a game this torqdash does not read"),
])
def test_files_that_are_no_recording(tmp_path, change, error):
    (tmp_path / "bad.tqr").write_bytes(change(recording_of(tmp_path / "good.tqr", [b"x" * 324])))
    with pytest.raises(RecordingError, match=error):
        open_replay(tmp_path / "bad.tqr")


@pytest.mark.parametrize("cut", ["whole", "checksum", "all records", "garbled"])
def test_recordings_cut_short_or_damaged_play_what_they_hold(tmp_path, cut):
    data = recording_of(tmp_path / "good.tqr", [packet(324, forza_dash(244, n, 30.0)) for n in range(1, 7)])
    body = data.index(b"\n", data.index(b"\n") + 1) + 1
    garbled = data[:body + 40] + bytes(b ^ 0x55 for b in data[body + 40:body + 60]) + data[body + 60:]
    data = {"whole": data, "checksum": data[:-3], "all records": data[:body + 2], "garbled": garbled}[cut]
    (tmp_path / "cut.tqr").write_bytes(data)
    replay = open_replay(tmp_path / "cut.tqr", speed=0)
    while not replay.finished:
        replay.poll(replay.clock())
        replay.sleep(replay.wake_in(replay.clock()))
    played = {"whole": 6, "checksum": 6, "all records": 0}
    assert replay.datagrams == played[cut] if cut in played else replay.datagrams < 6


def test_a_replay_in_a_loop_starts_again_with_a_fresh_decoder(tmp_path):
    recording_of(tmp_path / "loop.tqr", [packet(324, forza_dash(244, n, 30.0)) for n in range(1, 4)] + [b"?"])
    replay, shown = open_replay(tmp_path / "loop.tqr", speed=0, loop=True), []
    while replay.datagrams < 12:
        telemetry = replay.poll(replay.clock())
        shown += [(round(replay.clock(), 3), telemetry.gear)] if telemetry else []
        replay.sleep(replay.wake_in(replay.clock()))
    # Three rounds of 0.1 s apart (the recording's 0.4 s, and a frame's time between rounds).
    assert shown == [(round(0.1 + start + n / 10, 3), n + 1) for start in (0, 0.417, 0.833) for n in range(3)]
    # After the third round's last datagram (rejected), the fourth's decoder, new.
    assert (replay.finished, replay.last_rejected, replay.decoder.rejected) == (False, b"?", 0)


def test_status_line_says_what_arrives():
    now = [100.0]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
        sock.bind(("127.0.0.1", 0))
        game.connect(sock.getsockname())
        source = UdpSource(sock, Forza(), clock=lambda: now[0])
        lines, plain = [], []
        status = Status(source, lines.append)
        journal = Status(source, print, plain=StatusLines(plain.append, 5.0, source.clock))
        app = App(source, Dash(None, clock=source.clock), BoardLink(Dash(None), say=print))

        def second(*datagrams, page=0):
            for data in datagrams:
                game.send(data)
            time.sleep(0.05)
            app.dash.show_page(page)
            telemetry = source.poll(now[0])
            if telemetry:
                app.dash.show(telemetry)
            now[0] += 1.0
            for line in (status, journal):
                line(app, telemetry)
            return lines[-1]

        port = sock.getsockname()[1]
        assert second() == f"forza: waiting for the game on UDP 127.0.0.1 port {port} · 0 packets/s · " \
                           "rejected 0 · ignored 0 · page SPd"
        # F1's packets at the Forza port: the wrong game, visible at once.
        f1 = "rejected 2 (last 1352 bytes, f1's format) · ignored 0"
        assert second(*f1_packets(2024)) == f"forza: waiting for the game on UDP 127.0.0.1 port {port} · " \
                                            f"2 packets/s · {f1} · page SPd"
        assert second(*[packet(324, forza_dash(244))] * 3, page=1) == \
            f"forza: receiving · 3 packets/s · {f1} · car 2411 · page LAP"
        second(page=1)
        assert second(page=1).startswith("forza: silent 2 s · 0 packets/s")
        second(page=1)
    # The journal: a line when what it says changes, at most one every 5 s (the newest).
    assert len(plain) == 2 and plain[0] == lines[0]
    assert plain[1].startswith("forza: silent 2 s")
    assert plain[1].endswith("(after 2 more since the last line)")


def test_status_line_in_place_with_lines_above_it():
    stream, screen = io.StringIO(), pyte.Screen(60, 4)
    line = TerminalLine(stream)
    line.show("forza: waiting for the game")
    line.say("torqdash: board A1B2 found")
    line.show("forza: receiving · 60 packets/s")
    line.say("torqdash: receiving Forza")
    line.close()
    pyte.Stream(screen).feed(stream.getvalue().replace("\n", "\r\n"))
    assert [row.rstrip() for row in screen.display] == [
        "torqdash: board A1B2 found", "torqdash: receiving Forza", "forza: receiving · 60 packets/s", ""]


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "torqdash", *args], capture_output=True, text=True,
                          timeout=60, **kwargs)


def test_record_and_replay_commands(tmp_path):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as mirror:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        mirror.bind(("127.0.0.1", 0))
        program = subprocess.Popen([sys.executable, "-m", "torqdash", "record", "forza",
                                    str(tmp_path / "s.tqr"), "--port", str(port), "--virtual",
                                    "--seconds", "3",
                                    "--forward", f"127.0.0.1:{mirror.getsockname()[1]}"],
                                   stdout=subprocess.PIPE, text=True)
        assert "telemetry on UDP" in program.stdout.readline()
        time.sleep(0.5)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
            for speed in range(100, 120):
                game.sendto(packet(324, forza_dash(244, 4, speed / 3.6)), ("127.0.0.1", port))
                time.sleep(0.02)
        out, _ = program.communicate(timeout=30)
        mirror.settimeout(1)
        assert len(mirror.recv(65535)) == 324
    assert program.returncode == 0 and re.search(rf"recorded 3\.\d s to {tmp_path / 's.tqr'} \(\d", out)
    result = run("replay", str(tmp_path / "s.tqr"), "--virtual", "--speed", "0")
    assert result.returncode == 0 and 'central "119"' in result.stdout
    assert result.stdout.rstrip().endswith("torqdash: end of the recording")


@pytest.mark.parametrize("args, error", [
    (["replay", "/nonexistent.tqr"], "cannot read /nonexistent.tqr: No such file"),
    (["replay", __file__], "neither a torqdash recording nor an iRacing .ibt file"),
    (["replay", __file__, "--speed", "-1"], "--speed: not a number of times the recorded pace from 0 up"),
    (["record", "acc", "/nonexistent/s.tqr"], "cannot write /nonexistent/s.tqr: No such file"),
    (["record", "forza", "s.tqr", "--seconds", "0"], "--seconds: not a number of seconds above 0"),
    (["forza", "--forward", "localhost"], "not HOST:PORT"),
    (["forza", "--port", "45999", "--forward", "127.0.0.1:45999"], "where torqdash listens"),
    (["acc", "--forward", "127.0.0.1:5000"], "--forward sends a UDP game's datagrams on: acc is read"),
])
def test_bad_record_replay_and_forward_command_lines(args, error):
    result = run(*args)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and error in result.stderr, result.stderr


class Stuck:
    """A file on a disk that hangs until `event` is set."""

    def __init__(self, file, event):
        self.file, self.event = file, event
        self.flush, self.close = file.flush, file.close

    @property
    def closed(self):
        return self.file.closed

    def write(self, data):
        self.event.wait(5)


def test_recording_never_waits_for_the_disk(tmp_path, monkeypatch):
    # A disk that does not keep up: the recording stops with a line, the polls go on.
    said = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        recorder = Recorder(str(tmp_path / "slow.tqr"), UdpSource(sock, Forza()), say=said.append)
        stuck = threading.Event()
        monkeypatch.setattr(recorder, "_file", Stuck(recorder._file, stuck))
        start = time.monotonic()
        for n in range(40):
            recorder.datagram(recorder.start + n, b"x" * 100)
        assert time.monotonic() - start < 1 and said == [
            f"torqdash: recording stopped: the disk does not keep up with {tmp_path / 'slow.tqr'}"]
        stuck.set()
        recorder.close()

"""torqdash record, replay, --forward, the status line: live runs replayed (the same reports), bad files."""
import io
import itertools
import re
import socket
import struct
import subprocess
import threading
import time
from dataclasses import replace
from types import SimpleNamespace

import pyte
import pytest

from test_iracing import DUMP, IBTS, REAL
from test_programs import free_port
from test_torqdash import TORQDASH, forza_dash, f1_packets, packet
from test_torqdash_kunos import ACC_T, Written, acc_pages, write as kunos_write
from torqdash import Dash, Forza
from torqdash.app import App, BoardLink
from torqdash.games import kunos
from torqdash.games.iracing import IRSDK_MEMMAPFILENAME, IRacing
from torqdash.record import POLL, Recorder, Recording, RecordingError
from torqdash.replay import ReplayClock, open_replay
from torqdash.sources import SharedMemorySource, UdpSource
from torqdash.status import StatusLines
from torqdash.statusline import Status, TerminalLine
from torqsim import VirtualBus
from torqsim.board import BoardState


def session(source, steps, recording=None):
    with VirtualBus() as bus:
        board, dash = bus.add_board(serial="A1B2"), Dash(None, clock=source.clock)
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
        source.close()
        return frames


def replayed(path):
    source = open_replay(path, speed=0)
    return session(source, lambda: not source.finished), source


def real(name):
    if not (REAL / name).is_file():
        pytest.skip("no shared/testdata/real-telemetry beside the project")
    return REAL / name


def forza_game(tmp_path):
    """Bursts of one or three datagrams (one poll shows the last), now and then a rejected one."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    bursts = iter([[packet(324, forza_dash(244, 1 + n % 5, 20 + n + k)) for k in range(1 + 2 * (n % 4 == 0))]
                   + [b"garbage"] * (n % 9 == 0) for n in range(40)] + [[]] * 10)  # then 0.2 s more

    def next_poll():
        burst = next(bursts, None)
        for data in burst or []:
            sock.sendto(data, sock.getsockname())
        time.sleep(0.02)
        return burst is not None
    return UdpSource(sock, Forza()), next_poll


def iracing_game(tmp_path):
    """The real map, the car on track; gone a while, then not live. A replay's clock: no late wake."""
    data, polls, page = bytearray(real(DUMP).read_bytes()), itertools.count(), tmp_path / IRSDK_MEMMAPFILENAME
    where = {name: struct.unpack_from("<i", data, data.index(b"\0" + name + b"\0") + 1 - 12)[0]
             for name in (b"RPM", b"Gear", b"Speed", b"IsOnTrack")}  # irsdk_varHeader: offset 4, name 16

    def next_poll():
        n = next(polls)
        struct.pack_into("<i", data, 4, n not in range(75, 90))  # status: connected
        struct.pack_into("<i", data, 64, 3000 + n)  # varBuf[1].tickCount
        for name, form, value in [(b"RPM", "f", 4000.0 + 30 * n), (b"Gear", "i", 1 + n // 10 % 6),
                                  (b"Speed", "f", n / 2), (b"IsOnTrack", "?", True)]:
            struct.pack_into("<" + form, data, 1138800 + where[name], value)  # varBuf[1].bufOffset
        page.unlink(missing_ok=True) if n in range(60, 75) else page.write_bytes(data)
        return n < 150
    source = SharedMemorySource(IRacing(), str(tmp_path), look_every=0.1)
    source.clock = clock = ReplayClock(0.0, speed=0)
    source.sleep = clock.sleep
    return source, next_poll


@pytest.mark.parametrize("game", [forza_game, iracing_game])  # (several pages: the torn copies below)
def test_live_run_recorded_and_replayed(tmp_path, game):
    source, next_poll = game(tmp_path)
    live = session(source, next_poll, tmp_path / "game.tqr")
    again, replay = replayed(tmp_path / "game.tqr")
    assert len(live) > 20 and again == live
    assert (replay.datagrams, replay.received, replay.decoder.rejected) == (
        source.datagrams, source.received, source.decoder.rejected)
    # A shared-memory poll keeps what the decoder looked at that changed: a few of the row's bytes.
    polls = [len(payload) for _, kind, payload in Recording(tmp_path / "game.tqr").records() if kind == POLL]
    assert not polls or sorted(polls)[len(polls) // 2] < 160


def test_torn_copies_replayed_as_read(tmp_path):
    pages, nothing = acc_pages(packet=7), lambda data: None
    source = SharedMemorySource(kunos.Acc(), str(tmp_path), clock=lambda: 0.0)
    source.next_look = float("inf")  # the pages are these: the game writes during the copies
    source.readers = {name: Written(data) for name, data in pages.items()}
    recorder = Recorder(str(tmp_path / "torn.tqr"), source)
    recorder.attach()
    every_try = [step for n in range(kunos.Acc.tries) for step in (nothing, kunos_write(9 + n, 2), nothing)]
    seen = []
    for n, writes in enumerate([[nothing, kunos_write(8, 5)], every_try, []]):
        source.readers[kunos.PHYSICS].writes = writes
        seen.append(source.poll(n / 60))
    recorder.close()
    assert seen == [replace(ACC_T, gear=4), None, replace(ACC_T, gear=1)] and source.decoder.torn == 1
    replay = open_replay(tmp_path / "torn.tqr", speed=0)
    assert [replay.poll(n / 60) for n in range(3)] == seen and replay.decoder.torn == 1


def test_an_ibt_file_replayed_onto_the_board():
    frames, replay = replayed(real(IBTS[0]))
    assert replay.received == 390 and not replay.problem
    # The car leaves its pit box in neutral, then first gear: the gear digit says so.
    shown = [BoardState.from_reports(frames[:n]).gear.text for n in range(1, len(frames) + 1)]
    assert [gear for gear, _ in itertools.groupby(shown)][-2:] == ["N", "1"]


def recording_of(path, datagrams):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        recorder = Recorder(str(path), UdpSource(sock, Forza(), clock=lambda: 0.0))
        for n, data in enumerate(datagrams, 1):
            recorder.datagram(n / 10, data)
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


@pytest.mark.parametrize("cut, played", [("whole", 6), ("checksum", 6), ("all records", 0), ("garbled", -1)])
def test_recordings_cut_short_or_damaged_play_what_they_hold(tmp_path, cut, played):
    data = recording_of(tmp_path / "good.tqr", [packet(324, forza_dash(244, n, 30.0)) for n in range(1, 7)])
    body = data.index(b"\n", data.index(b"\n") + 1) + 1
    garbled = data[:body + 40] + bytes(b ^ 0x55 for b in data[body + 40:body + 60]) + data[body + 60:]
    (tmp_path / "cut.tqr").write_bytes({"whole": data, "checksum": data[:-3], "all records": data[:body + 2],
                                        "garbled": garbled}[cut])
    _, replay = replayed(tmp_path / "cut.tqr")
    assert replay.datagrams == played if played >= 0 else replay.datagrams < 6


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
    now, lines, plain = [100.0], [], []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
        sock.bind(("127.0.0.1", 0))
        game.connect(sock.getsockname())
        source = UdpSource(sock, Forza(), clock=lambda: now[0])
        hooks = [Status(source, lines.append),
                 Status(source, print, plain=StatusLines(plain.append, 5.0, source.clock))]
        app = App(source, Dash(None, clock=source.clock), BoardLink(Dash(None)))

        def second(*datagrams, page=0):
            for data in datagrams:
                game.send(data)
            time.sleep(0.05)
            app.dash.show_page(page)
            telemetry = source.poll(now[0])
            if telemetry:
                app.dash.show(telemetry)
            now[0] += 1.0
            for hook in hooks:
                hook(app, telemetry)
            return lines[-1]

        waiting = f"forza: waiting for the game on UDP 127.0.0.1 port {sock.getsockname()[1]}"
        assert second() == f"{waiting} · 0 packets/s · rejected 0 · ignored 0 · page SPd"
        # F1's packets at the Forza port: the wrong game, visible at once.
        f1 = "rejected 2 (last 1352 bytes, f1's format) · ignored 0"
        assert second(*f1_packets(2024)) == f"{waiting} · 2 packets/s · {f1} · page SPd"
        assert second(*[packet(324, forza_dash(244))] * 3, page=1) == \
            f"forza: receiving · 3 packets/s · {f1} · car 2411 · page LAP"
        assert [second(page=1) for _ in range(3)][1].startswith("forza: silent 2 s · 0 packets/s")
    # The journal: a line when what it says changes, at most one every 5 s (the newest).
    assert len(plain) == 2 and plain[0] == lines[0] and plain[1].startswith("forza: silent 2 s")
    assert plain[1].endswith("(after 2 more since the last line)")


def test_status_line_in_place_with_lines_above_it():
    stream, screen = io.StringIO(), pyte.Screen(60, 4)
    line = TerminalLine(stream)
    for write, text in [(line.show, "forza: waiting for the game"), (line.say, "torqdash: board A1B2 found"),
                        (line.show, "forza: receiving · 60/s"), (line.say, "torqdash: receiving Forza")]:
        write(text)
    line.close()
    pyte.Stream(screen).feed(stream.getvalue().replace("\n", "\r\n"))
    assert [row.rstrip() for row in screen.display] == [
        "torqdash: board A1B2 found", "torqdash: receiving Forza", "forza: receiving · 60/s", ""]


def test_record_and_replay_commands(tmp_path):
    port, tqr = free_port(), str(tmp_path / "s.tqr")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as mirror:  # the game, and where they go on
        mirror.bind(("127.0.0.1", 0))
        mirror.settimeout(5)
        program = subprocess.Popen([*TORQDASH, "record", "forza", tqr, "--port", str(port), "--virtual",
                                    "--seconds", "3", "--forward", f"127.0.0.1:{mirror.getsockname()[1]}"],
                                   stdout=subprocess.PIPE, text=True)
        assert "telemetry on UDP" in program.stdout.readline()
        time.sleep(0.5)
        sent = [packet(324, forza_dash(244, 4, speed / 3.6)) for speed in range(100, 120)] + [b"garbage"]
        for data in sent:
            mirror.sendto(data, ("127.0.0.1", port))
            time.sleep(0.02)
        out, _ = program.communicate(timeout=30)
        assert [mirror.recv(65535) for _ in sent] == sent  # forwarded whole, in order
    assert program.returncode == 0 and re.search(rf"recorded 3\.\d s to {tqr} \(\d", out)
    result = subprocess.run([*TORQDASH, "replay", tqr, "--virtual", "--speed", "0"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and 'central "119"' in result.stdout
    assert result.stdout.rstrip().endswith("torqdash: end of the recording")


def test_recording_never_waits_for_the_disk(tmp_path):
    """A disk that does not keep up: the recording stops with a line, the polls go on."""
    said, stuck = [], threading.Event()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        recorder = Recorder(str(tmp_path / "slow.tqr"), UdpSource(sock, Forza()), say=said.append)
        file = recorder._file
        recorder._file = SimpleNamespace(write=lambda data: stuck.wait(), flush=file.flush, close=file.close,
                                         closed=False)
        # 40 s of datagrams taken while the disk is stuck (a writer in the poll's way would hang here)
        fed = threading.Thread(target=lambda: [recorder.datagram(recorder.start + n, b"x" * 100)
                                               for n in range(40)])
        fed.start()
        fed.join(60)
        stuck.set()
        assert not fed.is_alive() and said == [
            f"torqdash: recording stopped: the disk does not keep up with {tmp_path / 'slow.tqr'}"]
        recorder.close()

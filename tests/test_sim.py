"""The simulator: frames, SVG, input reports, the demo, `torqsim run` in a pseudo-terminal."""
import os
import re
import select
import signal
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

import torqpanel
import torqsim
from torqsim import runner, screen
from torqsim.board import PLACEHOLDER, InputPanel

ROOT = Path(__file__).resolve().parent.parent


def test_take_frames_loses_no_report_written_meanwhile(board, dev):
    writer = threading.Thread(target=lambda: [dev.show_me() for _ in range(3000)])
    taken = len(board.take_frames())  # the blank report of init
    writer.start()
    while writer.is_alive():
        taken += len(board.take_frames())
    assert (taken + len(board.take_frames()), board.frame_count) == (3000 + 1, 0)


def test_set_right_panel_refuses_what_the_wrapper_would(capfd):
    with pytest.raises(TypeError):
        torqsim.set_right_panel(object(), "1")  # type: ignore[arg-type]
    with pytest.raises(SystemError):
        torqsim.set_right_panel(torqpanel.torqline.__new__(torqpanel.torqline), "1")
    assert capfd.readouterr().out == "Error: torqline Not initialized!"


@pytest.mark.parametrize("typed, keys, rest", [  # (plain keys and CSI arrows: the monitor's session)
    ("\x1bOB\x1b[5~\x1b[6~", ["down", "pgup", "pgdn"], ""), ("x\x1b[", ["x"], "\x1b["),
    ("\x1b[15~z", ["z"], ""), ("\x1ba", ["a"], ""),  # F5: no name, skipped whole
])
def test_parse_keys(typed, keys, rest):
    assert screen.parse_keys(typed) == (keys, rest)


def lit(root, ident):
    """A digit's lit segments, sorted, "." for a lit point; and their colours."""
    group = root.find(f".//*[@id='{ident}']")
    on = [seg for seg in group.iter() if seg.get("class") == "seg on"]
    point = "." * any(item.get("class") == "dp on" for item in group.iter())
    return "".join(sorted(seg.get("data-seg") for seg in on)) + point, {seg.get("fill") for seg in on}


def test_svg_snapshot_of_a_known_state(board, dev, tmp_path):
    torqsim.set_right_panel(dev, "1:23.456")  # (set_gear's digit makes the central panel " 3. ")
    for call, *args in [("set_central_panel", "K.2"), ("set_gear", "3", True), ("set_warning_led", 2, 1),
                        *(("set_rpm_led", led, 1) for led in range(1, 6)), ("load_rumble_motor", 1, 200),
                        ("show_me",), ("set_brightness", 100)]:
        getattr(dev, call)(*args)
    result = subprocess.run([sys.executable, "-m", "torqsim", "snapshot", str(out := tmp_path / "board.svg")]
                            + [arg for frame in board.frames for arg in ("--report", frame.hex())],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    root = ElementTree.parse(out).getroot()
    digits = [f"{name}-{i}" for name in ("left", "central", "right") for i in (1, 2, 3)] + ["gear"]
    assert [lit(root, ident)[0] for ident in digits] == ["".join(sorted(PLACEHOLDER)) + ".", "abdeg", "", "",
                                                         "abcdg.", "", "bc.", "abdeg.", "abcdg.", "abcdg."]
    # A character the board cannot draw is drawn in a colour of its own.
    unknown, known = lit(root, "left-1")[1], lit(root, "left-2")[1]
    assert len(unknown) == len(known) == 1 and unknown != known
    items = {item.get("id"): item.attrib for item in root.iter() if item.get("id")}
    assert [items[f"rpm-{n}"]["class"] for n in range(1, 10)] == ["led on"] * 5 + ["led off"] * 4
    assert [items[f"rpm-{n}"]["data-colour"] for n in (1, 4, 7)] == ["green", "yellow", "red"]
    assert [n for n in range(1, 7) if items[f"warning-{n}"]["class"] == "led on"] == [2]
    assert (items["motor-1"]["data-power"], items["motor-2"]["data-power"],
            items["brightness"]["data-level"]) == ("200", "0", "100")


pyte, termios, fcntl = (pytest.importorskip(name) for name in ("pyte", "termios", "fcntl"))


class Session:
    """`python -m ARGS` in a pseudo-terminal (100 x 40 unless told), read through a terminal emulator."""

    def __init__(self, args, columns=100, rows=40):
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.settings = termios.tcgetattr(self.slave)
        env = {**{k: v for k, v in os.environ.items() if k != "NO_COLOR"}, "TERM": "xterm-256color"}
        # Its controlling terminal, so that Ctrl-C typed there reaches it even when this run
        # ignores SIGINT; faulthandler prints every thread's stack on SIGABRT, if it hangs.
        self.process = subprocess.Popen(
            [sys.executable, "-X", "faulthandler", "-m", *args], stdin=self.slave, stdout=self.slave,
            stderr=self.slave, cwd=ROOT, env=env, start_new_session=True, preexec_fn=lambda: (
                fcntl.ioctl(0, termios.TIOCSCTTY, 0), signal.signal(signal.SIGINT, signal.SIG_DFL)))
        self.screen, self.text = pyte.Screen(columns, rows), ""
        self.stream = pyte.ByteStream(self.screen)

    def read_until(self, done, timeout=15.0):
        deadline = time.monotonic() + timeout
        while not done() and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.05)[0]:
                self.text += (data := os.read(self.master, 65536)).decode("utf-8", "replace")
                self.stream.feed(data)
        return done()

    def shows(self, pattern):
        """Waits for a line on the screen that reads ``pattern`` (a regular expression)."""
        lines = lambda: [line.rstrip() for line in self.screen.display]  # noqa: E731
        assert self.read_until(lambda: any(re.fullmatch(pattern, line) for line in lines())), \
            f"{pattern!r} not shown; the screen:\n" + "\n".join(lines())

    def finish(self, drawn=True):
        """The exit status, once the terminal (and a `drawn` picture's scroll region and cursor) is back."""
        if not self.read_until(lambda: self.process.poll() is not None):
            self.process.send_signal(signal.SIGABRT)
            self.read_until(lambda: False, 1.0)
            raise AssertionError(f"the session did not end; its threads:\n{self.text[-4000:]}")
        self.read_until(lambda: False, 0.2)
        assert termios.tcgetattr(self.slave) == self.settings
        shown = self.text.rfind("\x1b[?25h") > self.text.rfind("\x1b[?25l")  # the cursor
        assert not drawn or "\x1b[r" in self.text and shown
        return self.process.returncode


@pytest.fixture
def session_factory():
    sessions = []
    yield lambda *args, **size: sessions.append(Session(args, **size)) or sessions[-1]
    for session in sessions:
        session.process.kill()  # nothing, for one that has ended
        session.process.wait()
        os.close(session.master)
        os.close(session.slave)


def test_run_input_monitor_with_keys(session_factory, tmp_path):
    term = session_factory("torqsim", "run", "--hold", "150", "--snapshot", str(tmp_path / "run.svg"),
                           str(ROOT / "examples" / "input_monitor.py"))
    term.shows(".*waiting for buttons and switches.*")
    # The picture's keys, so the panel's reports: the top button, each 16-bit switch, a big step, a stop.
    for key, seen in [(b"1", "button 1 pressed"), (None, "button 1 released"), (b"c", "button 32 pressed"),
                      (None, "button 32 released"), (b"\x1b[C", "switch 2 picked"),
                      (b"\x1b[A", "switch 2 at 1"), (b"+", "switch 2 at 2"), (b"\x1b[5~", "switch 2 at 18"),
                      (b"-", "switch 2 at 17"), (b"\x1b[D\x1b[D", "switch 9 picked"),
                      (b"\x1b[A", "switch 9 at -239"), (b"\x1b[5~" * 16, "switch 9 at 15"),
                      (b"\x1b[D", "switch 8 picked"), (b"\x1b[5~", "switch 8 at 4096"),
                      (b"\x1b[D", "switch 7 picked"), (b"-", "switch 7 at -1")]:
        if key is not None:
            os.write(term.master, key)
        # The line the program printed (as the screen shows it: with unbuffered output a
        # redraw may come between a line and its end), or the status under the picture.
        term.shows((r" reports \d+ · " if "picked" in seen else "") + re.escape(seen))
    shown = "\n".join(term.screen.display)
    switches = re.search("SWITCHES.*", shown)[0]  # the picture and the keys under it
    assert "BUTTONS" in shown and "keys:" in shown and all(f" {position} " in switches for position in (
        "1:0", "2:17", "7:-1", "8:4096", "9:15")), shown
    os.write(term.master, b"\x03")  # Ctrl-C: the example stops its listener and ends normally
    assert term.finish() == 0 and "stopped" in term.text
    assert term.text.rstrip().endswith("torqsim run: the picture shows the board before "
                                       "the program's torqline blanked it on closing")
    switches = ElementTree.parse(tmp_path / "run.svg").getroot().find(".//*[@id='switches']")
    assert "2:17" in "".join(switches.itertext())


# How the program ends: its exit status, and a traceback from its own frames on.
# A snapshot shows the board as the program left it, not as its torqline's teardown did (blank).
@pytest.mark.parametrize("program, status, printed", [
    ("import sys\nprint('bye')\nsys.exit(3)\n", 3, "bye"), ("raise KeyboardInterrupt\n", 130, ""),
    ("def fail():\n    raise ValueError('boom')\nfail()\n", 1, "ValueError: boom"),
    ("def f(d):\n    d.init(), d.set_gear('4'), d.show_me()\nf(__import__('torqpanel').torqline())\n", 0,
     "blanked it on closing"),  # (its torqline gone with the call)
])
def test_run_program_exit_status(tmp_path, capsys, program, status, printed):
    (tmp_path / "program.py").write_text(program)
    assert runner.run_program(str(tmp_path / "program.py"), [], snapshot=str(tmp_path / "s.svg")) == status
    out, err = capsys.readouterr()
    assert printed in out + err and "GEAR" in out  # and the picture at the end
    assert ("program.py" in err and "runpy" not in err) if status == 1 else err == ""
    assert lit(ElementTree.parse(tmp_path / "s.svg").getroot(), "gear")[0] == ("bcfg" if status == 0 else "")


def test_demo_in_a_narrow_terminal_fits_what_it_prints(session_factory):
    # 70 x 20: too small for the picture, so plain text, every line within the width.
    term = session_factory("torqsim", "demo", "--frames", "200", "--fps", "0", "--board", "virtual",
                           columns=70, rows=20)
    assert term.finish(drawn=False) == 0
    # (less the module's guard line, printed without a line break as this process holds the guard)
    out = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", term.text).replace("Kavro Engine already running!", "")
    lines = out.split("\r\n")
    assert max(map(len, lines)) <= 70 and "virtual board" in lines[0]
    reports = re.findall(r"^report +(\d+) (\w+) +(.*)$", "\n".join(lines), re.M)
    assert [int(number) for number, _, _ in reports] == list(range(1, 201))
    assert {kind for _, kind, _ in reports} == {"display", "brightness"} and 'right "   "' in reports[0][2]
    assert {"gear n", "gear 1", "gear 2", "gear 3", 'right panel "1.2.3."', "rumble on 120/200", "rumble off",
            "warning LED 3 on", "brightness 60/254", "brightness 254/254"
            } <= {line[len("  board: "):] for line in lines if line.startswith("  board: ")}
    # At the end, the board's summary in place of the picture, on three lines as each report's:
    # the full bar in fourth gear.
    shown = "\n".join(line.rstrip() for line in term.screen.display).strip().split("\n")
    assert shown[-4].startswith("the board (its picture needs 78 columns, this terminal has 70): gear 4")
    assert shown[-3:] == [*shown[-6:-4], "torqsim demo: 200 reports"] and "rpm #########" in shown[-3]


def test_quick_start_on_a_terminal_waits_for_enter_and_copies_as_shown(session_factory, tmp_path):
    code = re.search(r"(?s)## Quick start.*?```python\n(.*?)```", (ROOT / "README.md").read_text("utf-8"))[1]
    (quick := tmp_path / "quickstart.py").write_text(code)
    term = session_factory("torqsim", "run", str(quick))
    term.shows(r".*reports 2\b.*")  # init's blank display, then the quick start's
    term.read_until(lambda: False, 0.3)
    assert term.process.poll() is None  # the board keeps the picture until Enter
    # The same calls on a virtual bus here: what the board shows, as plain text.
    with torqsim.VirtualBus() as bus:
        board = bus.add_board()
        program = {"input": lambda prompt: None}  # held: its torqline blanks the board when it goes
        exec(code, program)
        state = torqsim.board.BoardState.from_reports(board.frames)
    plain = torqsim.render.picture(state, torqsim.render.Look(colour=False), inputs=InputPanel())
    # The picture copied from the screen reads the same (an unlit LED is ○ there, . here),
    # from the top border's line below the title to the rumble motors; and its gear digit is red.
    assert [row[:len(plain[0])].replace("○", ".") for row in term.screen.display[1:15]] == plain[1:15]
    top, column = next((i, row.index("GEAR")) for i, row in enumerate(term.screen.display) if "GEAR" in row)
    assert [cell for row in range(top + 1, top + 7) for col, cell in term.screen.buffer[row].items()
            if column <= col < column + 6 and cell.data in "_|" and cell.fg == "red"]
    os.write(term.master, b"\r")
    assert term.finish() == 0

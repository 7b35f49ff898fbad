"""The simulator: what it decodes from the board's reports, its SVG picture, the headless
demo, and `torqsim run` driven by keys in a pseudo-terminal."""
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
from torqsim.board import PLACEHOLDER, BoardState, InputPanel
from torqsim.screen import parse_keys

from conftest import wait_until

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def test_take_frames_loses_no_report_written_meanwhile(board, dev):
    sent = 3000
    writer = threading.Thread(target=lambda: [dev.show_me() for _ in range(sent)])
    taken = len(board.take_frames())  # the blank report of init
    writer.start()
    while writer.is_alive():
        taken += len(board.take_frames())
    writer.join()
    taken += len(board.take_frames())
    assert (taken, board.frame_count) == (sent + 1, 0)


# --- what the board shows, decoded from reports the real API sent ---------------------

@pytest.mark.parametrize("calls, expected", [
    # (the gear over the central panel, and the right panel's points: the SVG test)
    ([("set_central_panel", "1.2")], {"central": "1.2 ", "left": "1.2 "}),
    ([("right", "")], {"right": "-.-.-."}),
    ([("set_rpm_led", 1, 1), ("set_rpm_led", 9, 1), ("set_rpm_led", 3, 2)],
     {"rpm": (True,) + (False,) * 7 + (True,)}),
    ([("set_warning_led", 6, 5)], {"warning": (False,) * 5 + (True,)}),
    ([("load_rumble_motor", 2, 300), ("load_rumble_motor", 1, 7)], {"motors": (7, 255)}),
    ([("set_brightness", 300)], {"brightness": 254}),
    # the segments of the first central digit, and whether the board has a shape for it
    *[([("set_central_panel", text)], {"first": (set(segments), known)})
      for text, segments, known in [("7", "abc", True), ("E", "adefg", True), (" ", "", True),
                                    ("K", PLACEHOLDER, False)]],
])
def test_state_decoded_from_the_reports(board, dev, calls, expected):
    for name, *args in calls:
        if name == "right":
            torqsim.set_right_panel(dev, *args)
        else:
            getattr(dev, name)(*args)
    dev.show_me()
    state = BoardState.from_reports(board.frames)
    shown = {"central": state.central, "left": state.left, "right": state.right}
    for field, value in expected.items():
        if field in shown:
            assert "".join(digit.text for digit in shown[field]) == value
        elif field == "first":
            assert (set(state.central[0].segments), state.central[0].known) == value
        else:
            assert getattr(state, field) == value


def test_set_right_panel_refuses_what_the_wrapper_would(capfd):
    with pytest.raises(TypeError):
        torqsim.set_right_panel(object(), "1")  # type: ignore[arg-type]
    with pytest.raises(SystemError):
        torqsim.set_right_panel(torqpanel.torqline.__new__(torqpanel.torqline), "1")
    assert capfd.readouterr().out == "Error: torqline Not initialized!"


@pytest.mark.parametrize("act, expected", [
    (lambda panel: panel.press(11), (15, 1, 11, 3)),
    (lambda panel: panel.press(32), (15, 1, 32, 8)),
    (lambda panel: panel.turn(4, 3), (15, 0, 4, 3)),
    (lambda panel: panel.turn(7, -1), (15, 0, 7, -1)),
    (lambda panel: panel.turn(8, 1, big=True), (15, 0, 8, 4096)),
    (lambda panel: panel.turn(9, 300), (15, 0, 9, 15)),
])
def test_input_panel_reports_decode_as_intended(board, dev, act, expected):
    """The virtual board's input report, as the module decodes it."""
    dev.start_input_listener()
    panel = InputPanel()
    act(panel)
    board.send_input(panel.report())
    assert wait_until(lambda: (dev.get_input_data() or ())[:4] == expected)
    dev.stop_input_listener()


@pytest.mark.parametrize("typed, keys, rest", [
    ("1q", ["1", "q"], ""),
    ("\x1b[A\x1b[B\x1b[C\x1b[D", ["up", "down", "right", "left"], ""),
    ("\x1bOA\x1b[5~\x1b[6~", ["up", "pgup", "pgdn"], ""),
    ("x\x1b[", ["x"], "\x1b["),
    ("\x1b[15~z", ["z"], ""),  # F5: no name, skipped whole
    ("\x1ba", ["a"], ""),
])
def test_parse_keys(typed, keys, rest):
    assert parse_keys(typed) == (keys, rest)


# --- the SVG picture of a known state --------------------------------------------------

def lit(root, ident):
    """The lit segments of a digit, whether its point is lit, and its segments' colours."""
    group = root.find(f".//*[@id='{ident}']")
    on = [seg for seg in group.iter() if seg.get("class") == "seg on"]
    point = any(item.get("class") == "dp on" for item in group.iter())
    return {seg.get("data-seg") for seg in on}, point, {seg.get("fill") for seg in on}


def test_svg_snapshot_of_a_known_state(board, dev, tmp_path):
    dev.set_central_panel("K.2")
    dev.set_gear("3", True)  # the gear digit; the central panel becomes " 3. "
    torqsim.set_right_panel(dev, "1:23.456")
    for led in range(1, 6):
        dev.set_rpm_led(led, 1)
    dev.set_warning_led(2, 1)
    dev.load_rumble_motor(1, 200)
    dev.show_me()
    dev.set_brightness(100)
    out = tmp_path / "board.svg"
    result = subprocess.run(
        [sys.executable, "-m", "torqsim", "snapshot", str(out)]
        + [arg for frame in board.frames for arg in ("--report", frame.hex())],
        capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    root = ElementTree.parse(out).getroot()
    one, two, three = {"b", "c"}, {"a", "b", "d", "e", "g"}, {"a", "b", "c", "d", "g"}
    panels = {name: [lit(root, f"{name}-{i}")[:2] for i in (1, 2, 3)]
              for name in ("left", "central", "right")}
    assert panels == {"left": [(set(PLACEHOLDER), True), (two, False), (set(), False)],
                      "central": [(set(), False), (three, True), (set(), False)],
                      "right": [(one, True), (two, True), (three, True)]}
    assert lit(root, "gear")[:2] == (three, True)
    # A character the board cannot draw is drawn in a colour of its own.
    unknown, known = lit(root, "left-1")[2], lit(root, "left-2")[2]
    assert len(unknown) == len(known) == 1 and unknown != known
    leds = {item.get("id"): (item.get("class"), item.get("data-colour"))
            for item in root.iter() if (item.get("class") or "").startswith("led")}
    assert [leds[f"rpm-{n}"][0] for n in range(1, 10)] == ["led on"] * 5 + ["led off"] * 4
    assert [leds[f"rpm-{n}"][1] for n in (1, 4, 7)] == ["green", "yellow", "red"]
    assert [n for n in range(1, 7) if leds[f"warning-{n}"][0] == "led on"] == [2]
    values = [root.find(f".//*[@id='{ident}']").get(f"data-{name}")
              for ident, name in (("motor-1", "power"), ("motor-2", "power"), ("brightness", "level"))]
    assert values == ["200", "0", "100"]


def test_demo_200_frames_headless():
    result = subprocess.run([sys.executable, "-m", "torqsim", "demo", "--frames", "200", "--fps", "0"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "virtual board" in out.splitlines()[0]
    reports = re.findall(r"^report +(\d+) (\w+) +(.*)$", out, re.MULTILINE)
    assert [int(number) for number, _, _ in reports] == list(range(1, 201))
    assert {kind for _, kind, _ in reports} == {"display", "brightness"}
    assert 'right "   "' in reports[0][2]  # init's blank display
    assert re.match(r"gear 4.* rpm #########", reports[-1][2])  # the full bar in fourth gear
    events = re.findall(r"^  board: (.*)$", out, re.MULTILINE)
    for expected in ("gear n", "gear 1", "gear 2", "gear 3", 'right panel "1.2.3."',
                     "rumble on 120/200", "rumble off", "warning LED 3 on",
                     "brightness 60/254", "brightness 254/254"):
        assert expected in events
    assert "shift point: 8600 rpm in gear 1" in out
    picture = out[out.index("report   200"):]  # then the picture, and the last line
    assert "RPM" in picture and "GEAR" in picture and "RUMBLE" in picture
    assert out.rstrip().endswith("torqsim demo: 200 reports")


# --- torqsim run in a pseudo-terminal, driven by keys ----------------------------------

pyte = pytest.importorskip("pyte")
termios = pytest.importorskip("termios")

# The child becomes the session leader of the pseudo-terminal, so that Ctrl-C typed
# there reaches it as a signal, as in a real terminal; and it takes Ctrl-C as a program
# started there does, even when this test run was started with SIGINT ignored (in the
# background of a shell script). SIGUSR1 makes it print every thread's stack, for the
# report of a session that does not end.
_CONTROLLING = ("import faulthandler, fcntl, runpy, signal, sys, termios; "
                "fcntl.ioctl(0, termios.TIOCSCTTY, 0); "
                "signal.signal(signal.SIGINT, signal.default_int_handler); "
                "faulthandler.register(signal.SIGUSR1, all_threads=True); "
                "sys.argv = sys.argv[1:]; runpy.run_module('torqsim', run_name='__main__', alter_sys=True)")


class Session:
    """`torqsim run ARGS` in a pseudo-terminal of 100 x 40, its output fed to a terminal
    emulator so that the screen can be read as a person sees it."""

    def __init__(self, args, cwd):
        import fcntl

        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 100, 0, 0))
        self.settings = termios.tcgetattr(self.slave)
        env = {**{k: v for k, v in os.environ.items() if k != "NO_COLOR"}, "TERM": "xterm-256color"}
        self.process = subprocess.Popen(
            [sys.executable, "-c", _CONTROLLING, "torqsim", "run", *args], stdin=self.slave,
            stdout=self.slave, stderr=self.slave, cwd=cwd, env=env, start_new_session=True)
        self.screen, self.output = pyte.Screen(100, 40), b""
        self.stream = pyte.ByteStream(self.screen)

    @property
    def text(self):
        return self.output.decode("utf-8", "replace")

    def read_until(self, done, timeout=15.0):
        deadline = time.monotonic() + timeout
        while not done() and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.05)[0]:
                data = os.read(self.master, 65536)
                self.output += data
                self.stream.feed(data)
        return done()

    def expect(self, pattern):
        assert self.read_until(lambda: re.search(pattern, self.text)), \
            f"{pattern!r} not seen; output ends:\n{self.text[-1500:]}"

    def finish(self):
        """The exit status, once the terminal has been given back as it was."""
        ended = self.read_until(lambda: self.process.poll() is not None)
        self.read_until(lambda: False, 0.2)
        if not ended:
            self.process.send_signal(signal.SIGUSR1)
            self.read_until(lambda: False, 1.0)
            raise AssertionError(f"the session did not end; its threads:\n{self.text[-4000:]}")
        assert termios.tcgetattr(self.slave) == self.settings
        return self.process.returncode


@pytest.fixture
def session_factory():
    sessions = []
    yield lambda *args, cwd=ROOT: sessions.append(Session(args, cwd)) or sessions[-1]
    for session in sessions:
        if session.process.poll() is None:
            session.process.kill()
            session.process.wait()
        os.close(session.master)
        os.close(session.slave)


def test_run_input_monitor_with_keys(session_factory, tmp_path):
    snapshot = tmp_path / "run.svg"
    term = session_factory("--hold", "150", "--snapshot", str(snapshot),
                           str(EXAMPLES / "input_monitor.py"))
    term.expect("waiting for buttons and switches")
    term.expect("SWITCHES")
    steps = [
        (b"1", "button 1 pressed"), (None, "button 1 released"),
        (b"w", "button 12 pressed"), (None, "button 12 released"),
        (b"\x1b[C", "switch 2 picked"), (b"\x1b[A", "switch 2 at 1"), (b"+", "switch 2 at 2"),
        (b"\x1b[5~", "switch 2 at 18"), (b"-", "switch 2 at 17"),
        (b"\x1b[D\x1b[D", "switch 9 picked"), (b"\x1b[A", "switch 9 at -239"),
    ]
    for key, seen in steps:
        if key is not None:
            os.write(term.master, key)
        # What the program printed, or (picking a switch) the status under the picture.
        term.expect(re.escape(seen) + (r"\x1b\[0m" if "picked" in seen else r"\r\n"))
    rows = {label: [line for line in term.screen.display if label in line]
            for label in ("SWITCHES", "BUTTONS", "keys:")}
    assert all(rows.values()), rows  # the picture and the keys under it
    assert all(f" {position} " in rows["SWITCHES"][0] for position in ("1:0", "2:17", "9:-239"))
    os.write(term.master, b"\x03")  # Ctrl-C: the example stops its listener and ends normally
    assert term.finish() == 0
    assert "stopped" in term.text
    assert term.text.rstrip().endswith("torqsim run: the picture shows the board before "
                                       "the program's torqline blanked it on closing")
    root = ElementTree.parse(snapshot).getroot()
    assert "2:17" in "".join(root.find(".//*[@id='switches']").itertext())


def test_run_shift_light_draws_the_board(session_factory, tmp_path):
    snapshot = tmp_path / "shift.svg"
    term = session_factory("--snapshot", str(snapshot), str(EXAMPLES / "shift_light.py"),
                           "--seconds", "1.5")
    assert term.finish() == 0
    # The gear digit in red on screen: some lit segment below the GEAR label.
    top = next(i for i, line in enumerate(term.screen.display) if "GEAR" in line)
    column = term.screen.display[top].index("GEAR")
    assert [cell for row in range(top + 1, top + 7) for col, cell in term.screen.buffer[row].items()
            if column <= col < column + 6 and cell.data in "_|" and cell.fg == "red"]
    root = ElementTree.parse(snapshot).getroot()
    assert re.fullmatch(r"[1-6]\.?", root.find(".//*[@id='gear']").get("data-text"))
    assert any(item.get("class") == "led on" for item in root.iter())


@pytest.mark.parametrize("program, keys, status, shown", [
    ("import sys\nprint('bye', flush=True)\nsys.exit(3)\n", None, 3, "bye"),
    ("def fail():\n    raise ValueError('boom')\nfail()\n", None, 1, "ValueError: boom"),
    ("import time\nprint('looping', flush=True)\nwhile True:\n    time.sleep(0.01)\n",
     b"\x03", 130, "looping"),
])
def test_run_gives_the_terminal_back_however_the_program_ends(
        session_factory, tmp_path, program, keys, status, shown):
    path = tmp_path / "program.py"
    path.write_text(program)
    term = session_factory(str(path), cwd=tmp_path)
    term.expect(shown)
    if keys:
        term.expect("SWITCHES")
        os.write(term.master, keys)
    assert term.finish() == status
    assert "\x1b[r" in term.text and term.text.rfind("\x1b[?25h") > term.text.rfind("\x1b[?25l")
    if status == 1:
        traceback = term.text[term.text.index("Traceback"):]
        assert "program.py" in traceback and "runpy" not in traceback

"""The telemetry demo: a car lapping a circuit, shown on the board through the real
torqpanel API.

:class:`Car` is the simulated telemetry source (deterministic: the same frames every
run); :func:`show` makes the torqpanel calls that put one moment of it on a board; and
:func:`run_demo` drives a virtual board that way (and a real one too, when asked or
found) while a view draws what the virtual board received.
"""
import sys
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple

import torqpanel

from . import VirtualBus, set_right_panel
from .board import BoardState
from .host import Monitor, board_title, find_real_board
from .screen import KeyReader, open_view

SHIFT_RPM = 8600
IDLE_RPM = 3000
STARTUP = 1.2  # seconds of the LED sweep before the car moves
RATIOS = (130, 92, 70, 56, 46, 39)  # rpm per km/h in gears 1 to 6
ACCELERATION = (40, 30, 22, 16, 12, 9)  # km/h per second at full throttle
FLASH = 0.3  # seconds the shift light flashes before the car shifts up
LAP_TIMES = ("1:23.456", "1:22.918", "1:23.102", "1:22.871", "1:23.640")

# One lap: (seconds, what the driver does). The laps repeat.
TRACK: Tuple[Tuple[float, str], ...] = (
    (8.5, "throttle"), (1.6, "brake"), (1.8, "corner"),
    (5.0, "throttle"), (1.2, "brake"), (2.0, "corner"), (2.0, "throttle"),
)
LAP_LENGTH = sum(seconds for seconds, _ in TRACK)
# Things along the lap, by seconds into it: kerbs shake both motors, a tunnel dims the
# board, a yellow flag lights warning LED 3.
KERBS = ((0.4, 1.0), (10.3, 11.6), (18.5, 19.8))
TUNNEL = (2.8, 4.3)
YELLOW_FLAG = (2.0, 5.0)
DIM, FULL = 60, 254


def _within(moment: float, spans: Sequence[Tuple[float, float]]) -> bool:
    return any(start <= moment < end for start, end in spans)


@dataclass
class Frame:
    """What the dashboard shows at one moment."""

    gear: str
    gear_point: bool
    central: str
    right: str
    rpm: Tuple[bool, ...]
    warning: Tuple[bool, ...]
    motors: Tuple[int, int]
    brightness: int
    note: Optional[str] = None


class Car:
    """A car that revs through the gears, flashes its shift light at 8600 rpm, brakes,
    takes corners over kerbs and crosses the line with a new lap time."""

    def __init__(self) -> None:
        self.time = 0.0
        self.gear = 0  # neutral during the sweep
        self.speed = 0.0
        self.flash = 0.0  # seconds of shift flashing left
        self.lap = 0
        self.last_lap = LAP_TIMES[0]
        self.delta_until = -1.0
        self.delta = ""

    @property
    def rpm(self) -> float:
        if self.gear == 0:
            return IDLE_RPM
        return max(IDLE_RPM, self.speed * RATIOS[self.gear - 1])

    def _mode(self, lap_time: float) -> str:
        for seconds, mode in TRACK:
            if lap_time < seconds:
                return mode
            lap_time -= seconds
        return TRACK[-1][1]

    def step(self, dt: float) -> Frame:
        """Moves on by ``dt`` seconds and returns what the dashboard shows then."""
        self.time += dt
        if self.time < STARTUP:
            return self._sweep()
        note = None
        if self.gear == 0:
            self.gear = 1
            note = "lights out: first gear"
        racing = self.time - STARTUP
        lap_time = racing - self.lap * LAP_LENGTH
        if lap_time >= LAP_LENGTH:
            note = self._finish_lap(racing)
            lap_time -= LAP_LENGTH
        mode = self._mode(lap_time)
        note = self._drive(mode, dt) or note

        flashing = self.flash > 0 and int(self.time * 8) % 2 == 0
        lit = min(9, max(0, int((self.rpm - 5200) // 400) + 1)) if self.rpm >= 5200 else 0
        rpm = (flashing,) * 9 if self.flash > 0 else tuple(i < lit for i in range(9))
        kerb = _within(lap_time, KERBS)
        beat = int(self.time * 20) % 2
        central = self.delta if self.time < self.delta_until else f"{self.speed:3.0f}"
        warning = (mode == "brake", False, _within(lap_time, [YELLOW_FLAG]), False, False,
                   self.lap >= 2)
        return Frame(
            gear=str(self.gear), gear_point=flashing, central=central, right=self.last_lap,
            rpm=rpm, warning=warning,
            motors=((200, 120) if beat else (120, 200)) if kerb else (0, 0),
            brightness=DIM if _within(lap_time, [TUNNEL]) else FULL, note=note)

    def _sweep(self) -> Frame:
        # The LEDs light up one by one and go out again, as the board does at start.
        half = STARTUP / 2
        phase = self.time / half if self.time < half else (STARTUP - self.time) / half
        lit = round(9 * max(0.0, min(1.0, phase)))
        return Frame(gear="n", gear_point=False, central="---", right=self.last_lap,
                     rpm=tuple(i < lit for i in range(9)), warning=(False,) * 6,
                     motors=(0, 0), brightness=FULL)

    def _drive(self, mode: str, dt: float) -> Optional[str]:
        note = None
        if self.flash > 0:
            self.flash -= dt
            if self.flash <= 0:
                self.gear += 1
                return f"shift up to {self.gear}"
        if mode == "throttle":
            self.speed += ACCELERATION[self.gear - 1] * dt
            if self.gear == len(RATIOS):
                self.speed = min(self.speed, 8400 / RATIOS[-1])
            elif self.rpm >= SHIFT_RPM and self.flash <= 0:
                self.flash = FLASH
                note = f"shift point: {SHIFT_RPM} rpm in gear {self.gear}"
        elif mode == "brake":
            self.speed = max(40.0, self.speed - 55 * dt)
        else:
            self.speed += 2 * dt
        if mode != "throttle" and self.gear > 1 and self.rpm < 5200:
            self.gear -= 1
            note = f"shift down to {self.gear}"
        return note

    def _finish_lap(self, racing: float) -> str:
        self.lap += 1
        previous = self.last_lap
        self.last_lap = LAP_TIMES[self.lap % len(LAP_TIMES)]
        delta = _seconds(self.last_lap) - _seconds(previous)
        self.delta = f"-.{round(-delta * 100):02d}" if delta < 0 else f"{delta:.2f}"
        self.delta_until = self.time + 3.0
        return f"lap {self.lap}: {self.last_lap} ({delta:+.3f})"


def _seconds(lap: str) -> float:
    minutes, seconds = lap.split(":")
    return int(minutes) * 60 + float(seconds)


class Boards:
    """Sends every call to each of several torqline objects (a virtual board and, when
    one is attached, the real one)."""

    def __init__(self, lines: List["torqpanel.torqline"]) -> None:
        self.lines = lines

    def __getattr__(self, name: str) -> Callable[..., None]:
        def call(*args: object) -> None:
            for line in self.lines:
                getattr(line, name)(*args)
        return call

    def set_right_panel(self, text: str) -> None:
        for line in self.lines:
            set_right_panel(line, text)


def show(board: Boards, frame: Frame, previous: Optional[Frame]) -> None:
    """The torqpanel calls that put one frame on the board: the setters, then one
    show_me; brightness is its own report, sent only when it changes."""
    if previous is None or previous.brightness != frame.brightness:
        board.set_brightness(frame.brightness)
    board.set_gear(frame.gear, frame.gear_point)
    board.set_central_panel(frame.central)  # after the gear, which also writes it
    board.set_right_panel(frame.right)
    for number, on in enumerate(frame.rpm, start=1):
        board.set_rpm_led(number, int(on))
    for number, on in enumerate(frame.warning, start=1):
        board.set_warning_led(number, int(on))
    for number, power in enumerate(frame.motors, start=1):
        board.load_rumble_motor(number, power)
    board.show_me()


def run_demo(frames: Optional[int] = None, fps: float = 30.0, board: str = "auto",
             serial: str = "A1B2", snapshot: Optional[str] = None,
             stream: Optional[object] = None, interruptible: bool = True) -> int:
    """The demo of ``python -m torqsim demo``; returns the exit status.

    ``board``: "auto" drives a real board as well when one is found, "virtual" never
    looks, "real" requires one. ``frames``: stop after that many reports. ``fps``:
    frames per second of the simulated telemetry (0: as fast as possible; the frames
    are the same either way). ``stream``: where plain text goes (default stdout).
    Ctrl-C ends the demo as its usual end, snapshot included; with ``interruptible``
    False it is passed on (no snapshot), for a caller that was not done yet. A closed
    output (BrokenPipeError) is passed on too, after the terminal is given back.
    """
    real = None
    if board != "virtual":
        real = find_real_board()
        if real is None and board == "real":
            print("torqsim demo: no board found on this computer's HID bus "
                  "(is it plugged in, and may you open it? See the README's "
                  "troubleshooting).", file=sys.stderr)
            return 1
    with VirtualBus() as bus:
        device = bus.add_board(serial=serial, version=0x0105)
        line = torqpanel.torqline()
        if not line.init():
            return 1
        title = board_title(device, real)
        tty = stream is None and sys.stdout.isatty()
        view, _ = open_view(title, footer="Ctrl-C quits", stream=stream)  # type: ignore[arg-type]
        where = "a virtual board" + (" and the board attached" if real else
                                     ("" if board == "virtual" else
                                      " (no board found on this computer)"))
        view.note(f"torqsim demo: a car lapping a circuit, on {where}")
        monitor = Monitor(device, view, frames)
        # Keys do nothing here (Ctrl-C quits, as in torqsim run, where every letter is a
        # button); reading them keeps what is typed from being echoed over the picture.
        keys = KeyReader(sys.stdin.fileno(), lambda key: None
                         ) if tty and sys.stdin is not None and sys.stdin.isatty() else None
        boards = Boards([line] + ([real] if real is not None else []))
        car = Car()
        previous: Optional[Frame] = None
        started = time.monotonic()
        tick = 0
        try:
            if keys is not None:
                keys.start()
            monitor.pump()  # the blank report of init
            while not monitor.done:
                frame = car.step(1.0 / 30)
                if frame.note:
                    view.note(f"  demo: {frame.note}")
                show(boards, frame, previous)
                previous = frame
                monitor.pump()
                tick += 1
                if fps > 0:
                    delay = started + tick / fps - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
        except KeyboardInterrupt:
            if not interruptible:
                raise
        finally:
            if keys is not None:
                keys.stop()
            view.finish(monitor.state)
        if snapshot:
            write_snapshot(snapshot, monitor.state, title)
        view.note(f"torqsim demo: {monitor.state.reports} reports")
        del line
    return 0


def write_snapshot(path: str, state: BoardState, title: str,
                   inputs: Optional[object] = None) -> None:
    from .render import svg

    with open(path, "w", encoding="utf-8") as file:
        file.write(svg(state, title, inputs))  # type: ignore[arg-type]

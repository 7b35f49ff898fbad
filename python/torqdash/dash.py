"""The board as a dashboard: :class:`Dash` puts a :class:`~torqdash.Telemetry` on an
initialised ``torqline`` the way a :class:`~torqdash.Layout` says: the shift lights at the
car's own points, the panels of the page the board's controls picked, the warning LEDs
(flags blinking), and the rumble motors.

The board's side panels are not independent: ``set_central_panel`` writes the left panel
and the central panel alike, and ``set_gear`` then writes blank, gear, blank over the
central one. So the left panel shows what the central panel shows, unless the central
panel shows the gear.
"""
import math
import time
from dataclasses import dataclass, field, replace
from typing import Any, Callable, Optional, Tuple

from torqsim import set_right_panel

from .layout import Car, Layout, LayoutError, load_layout, parse_layout
from .telemetry import Telemetry

BLANK = "   "  # three blank digits: an empty text would show the panels' "-.---"
# LED names that are not the Telemetry field's.
LED_FIELDS = {"abs": "abs_active", "tc": "tc_active", "shift": "shift_light", "oil": "oil_warning",
              "battery": "battery_warning", "stability": "stability_active"}
# The rate limit, a frame due every FRAME_GAP_S: 60 a second, with 1 % to spare for a game
# whose own 60 a second runs a little fast on this computer's clock (at exactly 60, its frames
# would queue up behind the limit); a frame may go up to EARLY_S before it is due, so that a
# packet that comes early after a late one is not held back.
FRAME_GAP_S = 1 / 60.6
EARLY_S = FRAME_GAP_S / 2
# While the game's packets keep coming (the last came less than FRESH_S ago), a change that
# only time makes (a blink, the end of a kick or of a page's name, a button's doing) waits
# for the next packet's frame: a frame of its own would take the next packet's turn.
FRESH_S = 0.05
KPH_PER_MPH = 1.609344


@dataclass(frozen=True)
class Frame:
    """What the board shows: texts as the panel setters take them, LEDs as booleans,
    the motors' power."""

    gear: str
    left: str
    central: str
    right: str
    rpm: Tuple[bool, ...]
    warning: Tuple[bool, ...]
    motors: Tuple[int, int] = (0, 0)
    #: The central panel shows the gear, which ``set_gear`` writes there.
    gear_on_central: bool = False
    #: When the frame may change without new telemetry: a blink, the end of a kick or
    #: of a page's name, the game falling silent.
    until: float = field(default=math.inf, compare=False)


DARK = Frame(" ", BLANK, BLANK, BLANK, (False,) * 9, (False,) * 6)


def gear_text(gear: Optional[int]) -> str:
    if gear is None:
        return " "
    if gear < 0:
        return "R"
    return "N" if gear == 0 else str(gear % 10)  # tenth gear shows its last digit


def lap_text(seconds: Optional[float]) -> str:
    """A time on three digits, cut as a stopwatch cuts it: 5.32, 45.6, 1.23 (1:23), 12
    (minutes). The cut is made on whole milliseconds: a float's error (45.6 sent as
    45.5999985) is rounded off first, as no game times a lap finer than that."""
    if seconds is None or not math.isfinite(seconds):
        return BLANK
    ms = round(seconds * 1000)
    if not 0 < ms < 6_000_000:
        return BLANK
    if ms < 10_000:
        return f"{ms // 1000}.{ms // 10 % 100:02d}"
    if ms < 60_000:
        return f"{ms // 1000}.{ms // 100 % 10}"
    minutes, rest = divmod(ms, 60_000)
    return f"{minutes}.{rest // 1000:02d}" if minutes < 10 else f"{minutes:3d}"


def _blink(now: float, period: float) -> Tuple[bool, float]:
    """Whether a light blinking with this on and off time is on at ``now``, and when it
    turns next."""
    count = math.floor(now / period)
    return count % 2 == 0, (count + 1) * period


class Dash:
    """Maps telemetry onto an initialised ``torqline``: the RPM LEDs as a shift-light bar
    up to the shift point (all nine blinking there or when the game says shift), the gear
    digit, the panels of the current page, the warning LEDs and the rumble motors. A
    frame is sent only when something on the board changes, at most 60 a second.

    The board's controls (:class:`~torqdash.controls.Controls`) turn pages, set the
    brightness and switch the rumble on and off through :meth:`show_page`,
    :meth:`set_brightness` and :attr:`rumble`.

    ``board`` may be replaced (a reopened board) or None (no board: nothing is sent);
    :meth:`blanked` says that it shows init's blank display."""

    def __init__(self, board: Any, layout: Layout = Layout(),
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.board = board
        self.layout = layout
        self.clock = clock
        self.frames = 0
        #: The page shown, an index into ``layout.pages``.
        self.page_number = 0
        #: Whether the motors may run (the layout's choice, then the board's controls').
        self.rumble = layout.rumble
        #: The brightness last set, None while the board keeps its own.
        self.brightness: Optional[int] = None
        self._telemetry: Optional[Telemetry] = None
        self._received = 0.0
        self._sent: Optional[Frame] = None
        self._frame: Tuple[Optional[Telemetry], Tuple[Any, ...], float, Frame] = (None, (), 0.0, DARK)
        self._due = -math.inf  # the rate limit: when the next frame is due ...
        self._next_at = -math.inf  # ... and no frame before this time
        self._waiting = False  # new telemetry (or a blank board) not shown yet
        self._name_until = -math.inf  # the page's name shows until then
        self._kick_until = -math.inf

    @property
    def car(self) -> Optional[str]:
        """The key of the car driven (the layout's per-car settings use it), if the game
        gives one."""
        return None if self._telemetry is None else self._telemetry.car

    @property
    def page(self) -> str:
        """The name of the page shown."""
        return self.layout.pages[self.page_number].name

    def show(self, telemetry: Telemetry, now: Optional[float] = None) -> bool:
        """Shows ``telemetry``; True when a frame was sent."""
        now = self.clock() if now is None else now
        before = self._telemetry
        if (before is not None and not self._dark(before, now) and before.gear is not None
                and telemetry.gear is not None and telemetry.gear != before.gear):
            self._kick_until = now + self.layout.kick_s
        self._telemetry, self._received, self._waiting = telemetry, now, True
        return self.refresh(now)

    def show_page(self, number: int, now: Optional[float] = None) -> None:
        """Turns to page ``number`` (counted from 0), showing its name for a moment."""
        if number != self.page_number:
            self.page_number = number
            now = self.clock() if now is None else now
            self._name_until = now + self.layout.show_page_s

    def turn_page(self, step: int, now: Optional[float] = None) -> None:
        self.show_page((self.page_number + step) % len(self.layout.pages), now)

    def set_brightness(self, level: int) -> None:
        """Sets the board's brightness (sent at once) and keeps it for a reopened board."""
        self.brightness = level
        if self.board is not None:
            self.board.set_brightness(level)

    def step_brightness(self) -> None:
        """The layout's next brightness level, after the first one, which an unset board
        is taken to have."""
        levels = self.layout.brightness_levels
        at = levels.index(self.brightness) if self.brightness in levels else 0
        self.set_brightness(levels[(at + 1) % len(levels)])

    def refresh(self, now: Optional[float] = None) -> bool:
        """Sends what the last telemetry shows now (the bar blinks, the board goes dark
        when the game falls silent) if it differs from the last frame sent."""
        now = self.clock() if now is None else now
        frame = self.frame(now)
        if frame == self._sent:
            self._waiting = False
            return False
        if self.board is None or now < self._next_at or not (self._waiting or self._stale(now)):
            return False
        self._send(frame)
        self._sent, self._waiting = frame, False
        self._due = max(self._due, now) + FRAME_GAP_S
        self._next_at = self._due - EARLY_S
        self.frames += 1
        return True

    def blanked(self) -> None:
        """Tells the dash that its board was just blanked (as ``init`` does), so that
        the next refresh sends the whole picture again, and the brightness chosen."""
        self._sent, self._due, self._next_at, self._waiting = DARK, -math.inf, -math.inf, True
        if self.brightness is not None:
            self.set_brightness(self.brightness)

    def wake_in(self, now: float) -> Optional[float]:
        """Seconds until :meth:`refresh` may have something new to send without new
        telemetry, or None when only new telemetry can change the board."""
        if self.board is None:
            return None
        frame, fresh = self.frame(now), self._received + FRESH_S - now
        if frame != self._sent:
            # (a change that time made waits for the next packet while they come)
            return max(0.0, self._next_at - now if self._waiting or fresh <= 0 else fresh)
        return None if frame.until == math.inf else max(0.0, frame.until - now)

    def _stale(self, now: float) -> bool:
        return now - self._received >= FRESH_S

    def _dark(self, t: Telemetry, now: float) -> bool:
        after = self.layout.dark_after_s
        return t.in_race is False or (after > 0 and now - self._received >= after)

    def frame(self, now: float) -> Frame:
        """The frame the last telemetry shows at time ``now``."""
        # The app asks before and after every poll; a frame stays what it is until its
        # telemetry or the dash's own state changes, or until its time is up.
        t, layout = self._telemetry, self.layout
        state = (self._received, self.page_number, self.rumble, self._name_until, self._kick_until, layout)
        cached_t, cached_state, since, cached = self._frame
        if cached_t is t and cached_state == state and since <= now < cached.until:
            return cached
        frame = self._make_frame(t, now)
        self._frame = (t, state, now, frame)
        return frame

    def _make_frame(self, t: Optional[Telemetry], now: float) -> Frame:
        layout = self.layout
        naming = now < self._name_until
        if t is None or self._dark(t, now):
            if not naming:
                return DARK
            return replace(DARK, left=self.page, central=self.page, right=self.page,
                           until=self._name_until)
        until = self._received + layout.dark_after_s if layout.dark_after_s > 0 else math.inf
        lit, at_shift = self.shift_lights(t)
        if at_shift:
            on, turn = _blink(now, layout.blink_s)
            lit, until = (9 if on else 0), min(until, turn)
        flag_on = False
        if t.flag is not None:
            flag_on, turn = _blink(now, layout.flag_blink_s)
            until = min(until, turn)
        if self.rumble and "gear_change" in layout.effects and now < self._kick_until:
            until = min(until, self._kick_until)
        page = layout.pages[self.page_number]
        if naming:
            until = min(until, self._name_until)
            left = central = right = page.name
        else:
            left, central, right = (self._text(panel, t) for panel in (page.left, page.central, page.right))
        return Frame(gear=gear_text(t.gear), left=left, central=central, right=right,
                     rpm=tuple(led < lit for led in range(9)),
                     warning=tuple(self._led(name, t, flag_on) for name in layout.warning),
                     motors=self._motors(t, now, at_shift, flag_on),
                     gear_on_central=page.central == "gear" and not naming, until=until)

    def shift_lights(self, t: Telemetry) -> Tuple[int, bool]:
        """How many RPM LEDs ``t`` lights, and whether it is at the shift point: by the
        car's own settings in the layout, else by the game's own shift lights or points,
        else by the layout's fractions of max RPM."""
        car = self.layout.cars.get(t.car) if t.car is not None else None
        if car is None and t.rev_lights is not None:
            lit = min(9, max(0, math.ceil(t.rev_lights * 9 - 1e-9)))
            return lit, bool(t.shift_light) or t.rev_lights >= 1
        start, shift = self.window(t, car)
        rpm = max(0.0, t.rpm or 0.0)
        at_shift = bool(t.shift_light) or rpm >= shift
        if rpm < start:
            return 0, at_shift
        return min(9, int((rpm - start) / (shift - start) * 9) + 1), at_shift

    def window(self, t: Telemetry, car: Optional[Car] = None) -> Tuple[float, float]:
        """The RPMs at which the bar's first LED lights and at which it blinks. A shift
        point given without its start (a car's per gear, or the game's) starts the bar
        at the same share of it as the window's start is of the window's shift."""
        layout = self.layout
        start, shift = (car.start, car.shift) if car else (layout.rpm_start, layout.rpm_shift)
        if car is not None and car.shift_rpm and t.gear is not None and t.gear > 0:
            point = car.shift_rpm[min(t.gear, len(car.shift_rpm)) - 1]
            return point * start / shift, point
        first = t.first_light_rpm if car is None and t.first_light_rpm else None
        if car is None and t.shift_rpm and t.shift_rpm > 0:
            if first is not None and 0 < first < t.shift_rpm:
                return first, t.shift_rpm
            return t.shift_rpm * start / shift, t.shift_rpm
        max_rpm = car.max_rpm if car is not None and car.max_rpm else (
            t.max_rpm if t.max_rpm and t.max_rpm > 0 else layout.max_rpm)
        if first is not None and 0 < first < shift * max_rpm:
            return first, shift * max_rpm
        return start * max_rpm, shift * max_rpm

    def _text(self, panel: str, t: Telemetry) -> str:
        if panel == "speed" and t.speed_kph is not None:
            speed = t.speed_kph / (KPH_PER_MPH if self.layout.units == "mph" else 1)
            return f"{min(999, round(max(0.0, speed))):3d}"
        if panel == "fuel" and t.fuel is not None:
            return f"{round(min(1.0, max(0.0, t.fuel)) * 100):3d}"
        if panel == "position" and t.position:
            return f"P{t.position:2d}" if t.position < 100 else f"{t.position:3d}"
        if panel == "gear":
            return f" {gear_text(t.gear)} "
        if panel in ("lap_time", "last_lap"):
            return lap_text(t.lap_time_s if panel == "lap_time" else t.last_lap_s)
        return BLANK

    def _led(self, name: str, t: Telemetry, flag_on: bool) -> bool:
        if name.startswith("flag_"):
            return flag_on and name == f"flag_{t.flag}"
        if name in ("delta_faster", "delta_slower"):
            return t.delta_s is not None and (t.delta_s < 0 if name == "delta_faster" else t.delta_s > 0)
        if name == "low_fuel":
            return t.fuel is not None and t.fuel < self.layout.low_fuel
        return bool(getattr(t, LED_FIELDS.get(name, name), False))

    def _motors(self, t: Telemetry, now: float, at_shift: bool, flag_on: bool) -> Tuple[int, int]:
        """Each motor's power: the strongest of the effects that want it now."""
        if not self.rumble or not self.layout.effects:
            return (0, 0)
        wanted = {"gear_change": now < self._kick_until, "rev_limiter": at_shift,
                  "abs": bool(t.abs_active), "pit_limiter": bool(t.pit_limiter),
                  "flag_yellow": flag_on and t.flag == "yellow"}
        power = [0, 0]
        for name, effect in self.layout.effects.items():
            if wanted[name]:
                power[effect.motor - 1] = max(power[effect.motor - 1], effect.strength)
        return power[0], power[1]

    def _send(self, frame: Frame) -> None:
        # Only the parts that changed since the last frame: the board's report keeps the
        # rest (the setters change it, show_me sends it whole).
        board, last = self.board, self._sent
        panels = (frame.gear, frame.left, frame.central, frame.gear_on_central)
        if last is None or panels != (last.gear, last.left, last.central, last.gear_on_central):
            if frame.gear_on_central:
                board.set_central_panel(frame.left)
                board.set_gear(frame.gear)
            else:
                board.set_gear(frame.gear)
                board.set_central_panel(frame.central)  # after the gear, which also writes it
        if last is None or frame.right != last.right:
            set_right_panel(board, frame.right)
        for values, before, setter in (
                (frame.rpm, None if last is None else last.rpm, board.set_rpm_led),
                (frame.warning, None if last is None else last.warning, board.set_warning_led),
                (frame.motors, None if last is None else last.motors, board.load_rumble_motor)):
            for number, value in enumerate(values, start=1):
                if before is None or value != before[number - 1]:
                    setter(number, int(value))
        board.show_me()


# The layout's names, where they were before the layout had a module of its own.
__all__ = ["DARK", "Dash", "Frame", "Layout", "LayoutError", "gear_text", "lap_text",
           "load_layout", "parse_layout"]

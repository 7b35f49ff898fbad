"""The board as a dashboard: :class:`Dash` puts a :class:`~torqdash.Telemetry` on an
initialised ``torqline`` the way a :class:`Layout` says.

The board's side panels are not independent: ``set_central_panel`` writes the left panel
and the central panel alike, and ``set_gear`` then writes blank, gear, blank over the
central one. So the left panel shows what the central panel shows, unless the central
panel shows the gear.
"""
import math
import sys
import time
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, Optional, Tuple

from torqsim import set_right_panel

from .telemetry import Telemetry

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - the tomli backport reads the same TOML
    import tomli as tomllib

PANELS = ("speed", "gear", "fuel", "position", "lap_time", "last_lap", "none")
LEDS = ("pit_limiter", "abs", "tc", "low_fuel", "handbrake", "shift", "oil", "battery",
        "signal_left", "signal_right", "stability", "none")
# LED names that are not the Telemetry field's.
LED_FIELDS = {"abs": "abs_active", "tc": "tc_active", "shift": "shift_light", "oil": "oil_warning",
              "battery": "battery_warning", "stability": "stability_active"}
BLANK = "   "  # three blank digits: an empty text would show the panels' "-.---"
# The rate limit, a frame due every FRAME_GAP_S: 60 a second, with 1 % to spare for a game
# whose own 60 a second runs a little fast on this computer's clock (at exactly 60, its frames
# would queue up behind the limit); a frame may go up to EARLY_S before it is due, so that a
# packet that comes early after a late one is not held back.
FRAME_GAP_S = 1 / 60.6
EARLY_S = FRAME_GAP_S / 2
# While the game's packets keep coming (the last came less than FRESH_S ago), a change that
# only time makes (the bar's blink) waits for the next packet's frame: a frame of its own
# would take the next packet's turn.
FRESH_S = 0.05
KPH_PER_MPH = 1.609344


class LayoutError(ValueError):
    """A layout file that cannot be read or says something the board cannot do."""


@dataclass(frozen=True)
class Layout:
    """Every choice :class:`Dash` makes; :func:`load_layout` reads them from TOML."""

    rpm_start: float = 0.70   # fraction of max RPM at which the first RPM LED lights
    rpm_shift: float = 0.95   # from here all nine blink
    max_rpm: float = 8000.0   # when the game sends no max RPM
    blink_s: float = 0.1      # on and off times of the blinking bar
    units: str = "kph"
    left: str = "speed"
    central: str = "speed"
    right: str = "last_lap"
    warning: Tuple[str, ...] = ("pit_limiter", "handbrake", "tc", "abs", "low_fuel", "oil")
    low_fuel: float = 0.10
    dark_after_s: float = 5.0  # no packet for this long: the board goes dark (0: never)


# TOML key -> (Layout field, allowed values: a (low, high) range of numbers or a tuple of
# names; a list of names for the warning LEDs).
_KEYS: Dict[str, Tuple[str, Any]] = {
    "units": ("units", ("kph", "mph")),
    "low_fuel": ("low_fuel", (0.0, 1.0)),
    "dark_after": ("dark_after_s", (0.0, 86400.0)),
    "rpm.start": ("rpm_start", (0.0, 1.0)),
    "rpm.shift": ("rpm_shift", (0.0, 2.0)),
    "rpm.max": ("max_rpm", (1.0, 100000.0)),
    "rpm.blink": ("blink_s", (0.02, 10.0)),
    "panels.left": ("left", PANELS),
    "panels.central": ("central", PANELS),
    "panels.right": ("right", PANELS),
    "warning.leds": ("warning", [LEDS]),
}


def _flatten(table: Dict[str, Any], prefix: str = "") -> Dict[str, Any]:
    flat: Dict[str, Any] = {}
    for key, value in table.items():
        if isinstance(value, dict):
            flat.update(_flatten(value, f"{prefix}{key}."))
        else:
            flat[prefix + key] = value
    return flat


def _check(key: str, value: Any, allowed: Any) -> Any:
    if isinstance(allowed, list):
        if not isinstance(value, list) or len(value) != 6:
            raise LayoutError(f"{key} must be a list of 6 names, one per warning LED")
        return tuple(_check(key, item, allowed[0]) for item in value)
    if isinstance(allowed[0], str):
        if value not in allowed:
            raise LayoutError(f"{key} must be one of {', '.join(allowed)}, not {value!r}")
        return value
    low, high = allowed
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not low <= value <= high:
        raise LayoutError(f"{key} must be a number from {low:g} to {high:g}, not {value!r}")
    return float(value)


def parse_layout(text: str) -> Layout:
    """The layout a TOML text describes: every key it leaves out keeps its default.
    Raises :class:`LayoutError` for bad TOML, an unknown key or a value out of range."""
    try:
        table = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise LayoutError(f"not TOML: {error}") from None
    changes = {}
    for key, value in _flatten(table).items():
        if key not in _KEYS:
            raise LayoutError(f"unknown key {key!r}")
        field, allowed = _KEYS[key]
        changes[field] = _check(key, value, allowed)
    layout = replace(Layout(), **changes)
    if layout.rpm_start >= layout.rpm_shift:
        raise LayoutError("rpm.start must be below rpm.shift")
    if layout.left != layout.central and layout.central != "gear":
        raise LayoutError("panels.left must equal panels.central unless panels.central is "
                          "\"gear\": the board's left panel shows the central panel's text")
    return layout


def load_layout(path: str) -> Layout:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise LayoutError(f"cannot read it: {error}") from None
    return parse_layout(text)


@dataclass(frozen=True)
class Frame:
    """What the board shows: texts as the panel setters take them, LEDs as booleans."""

    gear: str
    left: str
    central: str
    right: str
    rpm: Tuple[bool, ...]
    warning: Tuple[bool, ...]
    blinking: bool = False


DARK = Frame(" ", BLANK, BLANK, BLANK, (False,) * 9, (False,) * 6)


def gear_text(gear: Optional[int]) -> str:
    if gear is None:
        return " "
    if gear < 0:
        return "R"
    return "N" if gear == 0 else str(gear % 10)  # tenth gear shows its last digit


def lap_text(seconds: Optional[float]) -> str:
    """A time on three digits, rounded down: 5.32, 45.6, 1.23 (1:23), 12 (minutes)."""
    if seconds is None or not 0 < seconds < 6000:
        return BLANK
    if seconds < 10:
        return f"{math.floor(seconds * 100) / 100:.2f}"
    if seconds < 60:
        return f"{math.floor(seconds * 10) / 10:.1f}"
    minutes = int(seconds // 60)
    return f"{minutes}.{int(seconds % 60):02d}" if minutes < 10 else f"{minutes:3d}"


class Dash:
    """Maps telemetry onto an initialised ``torqline``: the RPM LEDs as a shift-light bar
    between two fractions of max RPM (all nine blinking at the shift point or when the
    game says shift), the gear digit, the panels and the warning LEDs. A frame is sent
    only when something on the board changes, at most about 60 a second.

    ``board`` may be replaced (a reopened board) or None (no board: nothing is sent);
    :meth:`blanked` says that it shows init's blank display."""

    def __init__(self, board: Any, layout: Layout = Layout(),
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.board = board
        self.layout = layout
        self.clock = clock
        self.frames = 0
        self._telemetry: Optional[Telemetry] = None
        self._received = 0.0
        self._sent: Optional[Frame] = None
        self._due = -math.inf  # the rate limit: when the next frame is due ...
        self._next_at = -math.inf  # ... and no frame before this time
        self._waiting = False  # new telemetry (or a blank board) not shown yet
        self._frame: Tuple[Optional[Telemetry], Optional[Layout], int, Frame] = (None, None, 0, DARK)

    def show(self, telemetry: Telemetry, now: Optional[float] = None) -> bool:
        """Shows ``telemetry``; True when a frame was sent."""
        now = self.clock() if now is None else now
        self._telemetry, self._received, self._waiting = telemetry, now, True
        return self.refresh(now)

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
        the next refresh sends the whole picture again."""
        self._sent, self._due, self._next_at, self._waiting = DARK, -math.inf, -math.inf, True

    def wake_in(self, now: float) -> Optional[float]:
        """Seconds until :meth:`refresh` may have something new to send without new
        telemetry, or None when only new telemetry can change the board."""
        if self.board is None:
            return None
        frame, fresh = self.frame(now), self._received + FRESH_S - now
        if frame != self._sent and (self._waiting or fresh <= 0):
            return max(0.0, self._next_at - now)
        waits = [fresh] if frame != self._sent else []
        if frame.blinking:
            waits.append(max(self.layout.blink_s - now % self.layout.blink_s, fresh))
        if frame != DARK and self.layout.dark_after_s > 0:
            waits.append(self._received + self.layout.dark_after_s - now)
        return max(0.0, min(waits)) if waits else None

    def _stale(self, now: float) -> bool:
        return now - self._received >= FRESH_S

    def frame(self, now: float) -> Frame:
        """The frame the last telemetry shows at time ``now``."""
        t, layout = self._telemetry, self.layout
        silent = layout.dark_after_s > 0 and now - self._received >= layout.dark_after_s
        if t is None or silent or t.in_race is False:
            return DARK
        # The same telemetry and layout show the same frame until the bar blinks: the
        # app asks for it before and after every poll.
        phase = int(now / layout.blink_s) % 2
        cached = self._frame
        if cached[0] is t and cached[1] is layout and (cached[2] == phase or not cached[3].blinking):
            return cached[3]
        max_rpm = t.max_rpm if t.max_rpm and t.max_rpm > 0 else layout.max_rpm
        share = max(0.0, t.rpm or 0.0) / max_rpm
        blinking = bool(t.shift_light) or share >= layout.rpm_shift
        if blinking:
            lit = 9 if phase == 0 else 0
        else:
            span = (share - layout.rpm_start) / (layout.rpm_shift - layout.rpm_start)
            lit = 0 if share < layout.rpm_start else min(9, int(span * 9) + 1)
        rpm = tuple(led < lit for led in range(9))
        frame = Frame(gear=gear_text(t.gear), left=self._text(layout.left, t),
                      central=self._text(layout.central, t), right=self._text(layout.right, t),
                      rpm=rpm, warning=tuple(self._led(name, t) for name in layout.warning),
                      blinking=blinking)
        self._frame = (t, layout, phase, frame)
        return frame

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

    def _led(self, name: str, t: Telemetry) -> bool:
        if name == "low_fuel":
            return t.fuel is not None and t.fuel < self.layout.low_fuel
        return bool(getattr(t, LED_FIELDS.get(name, name), False))

    def _send(self, frame: Frame) -> None:
        # Only the parts that changed since the last frame: the board's report keeps the
        # rest (the setters change it, show_me sends it whole).
        board, last = self.board, self._sent
        if last is None or (frame.gear, frame.left, frame.central) != (last.gear, last.left, last.central):
            if self.layout.central == "gear":
                board.set_central_panel(frame.left)
                board.set_gear(frame.gear)
            else:
                board.set_gear(frame.gear)
                board.set_central_panel(frame.central)  # after the gear, which also writes it
        if last is None or frame.right != last.right:
            set_right_panel(board, frame.right)
        for leds, before, setter in ((frame.rpm, None if last is None else last.rpm, board.set_rpm_led),
                                     (frame.warning, None if last is None else last.warning,
                                      board.set_warning_led)):
            for number, on in enumerate(leds, start=1):
                if before is None or on != before[number - 1]:
                    setter(number, int(on))
        board.show_me()


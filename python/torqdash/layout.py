"""A layout: every choice the :class:`~torqdash.Dash` makes, read from a TOML file by
:func:`load_layout`: the shift-light window (for every car, or per car), the panels'
pages, the warning LEDs, the rumble effects and the bindings of the board's own buttons
and switches. Every key is optional; a bad one is a :class:`LayoutError` that names it.
"""
import sys
from dataclasses import dataclass, field, replace
from typing import Any, Callable, Dict, Optional, Tuple

from torqsim.board import SWITCH_RANGE, Digit

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - the tomli backport reads the same TOML
    import tomli as tomllib

PANELS = ("speed", "gear", "fuel", "position", "lap_time", "last_lap", "none")
FLAG_LEDS = tuple(f"flag_{flag}" for flag in
                  ("yellow", "blue", "green", "white", "chequered", "black", "red"))
LEDS = ("pit_limiter", "abs", "tc", "low_fuel", "handbrake", "shift", "oil", "battery",
        "signal_left", "signal_right", "stability") + FLAG_LEDS + ("delta_faster", "delta_slower", "none")
EFFECTS = ("gear_change", "rev_limiter", "abs", "pit_limiter", "flag_yellow")
BUTTONS = 32
PAGE_NAME = 3  # characters: what one panel shows


class LayoutError(ValueError):
    """A layout file that cannot be read or says something the board cannot do."""


@dataclass(frozen=True)
class Page:
    """What the left, central and right panels show, and the name shown on a change."""

    name: str
    left: str = "speed"
    central: str = "speed"
    right: str = "last_lap"


@dataclass(frozen=True)
class Car:
    """A car's own shift lights: its window (fractions of its max RPM) and, where given,
    its shift point in each gear from first (the last one holds for higher gears)."""

    start: float
    shift: float
    max_rpm: Optional[float] = None  # None: the game's, else the layout's
    shift_rpm: Tuple[float, ...] = ()


@dataclass(frozen=True)
class Effect:
    """A rumble effect: which motor and how strongly (the motor's power, 1 to 255)."""

    motor: int
    strength: int


@dataclass(frozen=True)
class SwitchBinding:
    """A switch whose positions pick one choice each, in order."""

    switch: int
    positions: Tuple[int, ...]


DEFAULT_PAGES = (Page("SPd", "speed", "speed", "last_lap"),
                 Page("LAP", "position", "gear", "lap_time"))


@dataclass(frozen=True)
class Layout:
    """Every choice :class:`~torqdash.Dash` makes; :func:`load_layout` reads them from TOML."""

    rpm_start: float = 0.70   # fraction of max RPM at which the first RPM LED lights
    rpm_shift: float = 0.95   # from here all nine blink
    max_rpm: float = 8000.0   # when the game sends no max RPM
    blink_s: float = 0.1      # on and off times of the blinking bar
    cars: Dict[str, Car] = field(default_factory=dict)  # keyed by Telemetry.car
    units: str = "kph"
    pages: Tuple[Page, ...] = DEFAULT_PAGES
    warning: Tuple[str, ...] = ("pit_limiter", "handbrake", "tc", "abs", "low_fuel", "oil")
    flag_blink_s: float = 0.25  # on and off times of a flag's LED
    low_fuel: float = 0.10
    dark_after_s: float = 5.0  # no packet for this long: the board goes dark (0: never)
    rumble: bool = False       # the motors run only when the layout asks
    kick_s: float = 0.12       # the gear change's kick
    effects: Dict[str, Effect] = field(default_factory=dict)
    # Buttons (1 to 32; 0: none) and switches bound to what they do.
    next_page: int = 1
    previous_page: int = 0
    brightness_button: int = 0
    rumble_button: int = 0
    page_switch: Optional[SwitchBinding] = None
    brightness_switch: Optional[SwitchBinding] = None
    rumble_switch: Optional[SwitchBinding] = None
    show_page_s: float = 1.0  # how long a new page's name shows
    brightness_levels: Tuple[int, ...] = (254, 160, 80, 30)

    def buttons(self) -> Dict[int, str]:
        """The bound buttons: number -> the field that binds it."""
        return {getattr(self, name): name for name in BUTTON_FIELDS if getattr(self, name)}

    def switches(self) -> Dict[int, Tuple[str, SwitchBinding]]:
        """The bound switches: number -> (the field that binds it, its binding)."""
        return {binding.switch: (name, binding) for name in SWITCH_FIELDS
                if (binding := getattr(self, name)) is not None}


BUTTON_FIELDS = ("next_page", "previous_page", "brightness_button", "rumble_button")
SWITCH_FIELDS = ("page_switch", "brightness_switch", "rumble_switch")


Check = Callable[[str, Any], Any]


def _one_of(*names: str) -> Check:
    def check(key: str, value: Any) -> Any:
        if value not in names:
            raise LayoutError(f"{key} must be one of {', '.join(names)}, not {value!r}")
        return value
    return check


def _number(low: float, high: float, whole: bool = False) -> Check:
    def check(key: str, value: Any) -> Any:
        kinds = int if whole else (int, float)
        if isinstance(value, bool) or not isinstance(value, kinds) or not low <= value <= high:
            kind = "a whole number" if whole else "a number"
            raise LayoutError(f"{key} must be {kind} from {low:g} to {high:g}, not {value!r}")
        return value if whole else float(value)
    return check


def _list(item: Check, low: int, high: int, what: str) -> Check:
    def check(key: str, value: Any) -> Any:
        if not isinstance(value, list) or not low <= len(value) <= high:
            count = str(low) if low == high else f"{low} to {high}"
            raise LayoutError(f"{key} must be a list of {count} {what}")
        return tuple(item(f"{key}[{number}]", each) for number, each in enumerate(value, 1))
    return check


def _boolean(key: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise LayoutError(f"{key} must be true or false, not {value!r}")
    return value


def _table(key: str, value: Any, checks: Dict[str, Check],
           needs: Tuple[str, ...] = ()) -> Dict[str, Any]:
    """A TOML table with only the keys of ``checks``, each checked."""
    if not isinstance(value, dict):
        raise LayoutError(f"{key} must be a table")
    for name in value:
        if name not in checks:
            raise LayoutError(f"unknown key {key}.{name}")
    missing = [name for name in needs if name not in value]
    if missing:
        raise LayoutError(f"{key} needs {' and '.join(missing)}")
    return {name: checks[name](f"{key}.{name}", item) for name, item in value.items()}


def _effect(key: str, value: Any) -> Effect:
    fields = _table(key, value, {"motor": _number(1, 2, whole=True),
                                 "strength": _number(1, 255, whole=True)}, ("motor", "strength"))
    return Effect(**fields)


def _switch(key: str, value: Any) -> SwitchBinding:
    fields = _table(key, value, {"switch": _number(1, len(SWITCH_RANGE), whole=True),
                                 "positions": _list(_number(-32768, 32767, whole=True), 1, 256,
                                                    "switch positions")},
                    ("switch", "positions"))
    low, high = SWITCH_RANGE[fields["switch"]]
    positions = fields["positions"]
    if not all(low <= position <= high for position in positions):
        raise LayoutError(f"{key}.positions: switch {fields['switch']} reports positions "
                          f"from {low} to {high}")
    if len(set(positions)) != len(positions):
        raise LayoutError(f"{key}.positions must differ from each other")
    if high == 255 and high in positions:  # (the module's listener stops reading it there)
        raise LayoutError(f"{key}.positions: switch {fields['switch']} reports nothing more once "
                          "at 255, until the board is opened again; bind positions up to 254")
    return SwitchBinding(fields["switch"], positions)


def _name(key: str, value: Any) -> str:
    if not isinstance(value, str) or not 1 <= len(value) <= PAGE_NAME or not value.strip() \
            or not all(char.isascii() and char.isprintable() and char not in ".:"
                       and Digit(ord(char)).known for char in value):
        raise LayoutError(f"{key} must be 1 to {PAGE_NAME} characters that a seven-segment "
                          f"digit can show (letters such as K, M, W, X cannot), not {value!r}")
    return value


_PANEL_KEYS = {side: _one_of(*PANELS) for side in ("left", "central", "right")}


def _panels(key: str, fields: Dict[str, Any], name: str) -> Page:
    """A page from its panel keys: the left panel follows the central one by default,
    and may differ only when the central one shows the gear (the board writes the left
    panel with the central panel's text)."""
    central = fields.get("central", "speed")
    left = fields.get("left", "speed" if central == "gear" else central)
    if left != central and central != "gear":
        raise LayoutError(f"{key}left must equal {key}central unless {key}central is "
                          "\"gear\": the board's left panel shows the central panel's text")
    return Page(name, left, central, fields.get("right", "last_lap"))


def _pages(key: str, value: Any) -> Tuple[Page, ...]:
    if not isinstance(value, list) or not 1 <= len(value) <= BUTTONS:
        raise LayoutError(f"{key} must be a list of 1 to {BUTTONS} pages ([[pages]] tables)")
    pages = []
    for number, table in enumerate(value, 1):
        where = f"{key}[{number}]"
        fields = _table(where, table, {"name": _name, **_PANEL_KEYS}, ("name",))
        pages.append(_panels(f"{where}.", fields, fields["name"]))
    return tuple(pages)


_CAR_KEYS = {"start": _number(0.0, 1.0), "shift": _number(0.0, 2.0),
             "max": _number(1.0, 100000.0),
             "shift_rpm": _list(_number(1.0, 100000.0), 1, 10, "RPMs, one per gear from first")}


def _cars(key: str, value: Any) -> Dict[str, Dict[str, Any]]:
    if not isinstance(value, dict):
        raise LayoutError(f"{key} must be a table of cars")
    return {car: _table(f'{key}."{car}"', table, _CAR_KEYS) for car, table in value.items()}


# TOML key -> (Layout field, its check). Tables that are values of their own (a rumble
# effect, a switch binding, the cars) are checked whole.
_KEYS: Dict[str, Tuple[str, Check]] = {
    "units": ("units", _one_of("kph", "mph")),
    "low_fuel": ("low_fuel", _number(0.0, 1.0)),
    "dark_after": ("dark_after_s", _number(0.0, 86400.0)),
    "rpm.start": ("rpm_start", _number(0.0, 1.0)),
    "rpm.shift": ("rpm_shift", _number(0.0, 2.0)),
    "rpm.max": ("max_rpm", _number(1.0, 100000.0)),
    "rpm.blink": ("blink_s", _number(0.02, 10.0)),
    "cars": ("cars", _cars),
    "pages": ("pages", _pages),
    "warning.leds": ("warning", _list(_one_of(*LEDS), 6, 6, "names, one per warning LED")),
    "warning.blink": ("flag_blink_s", _number(0.02, 10.0)),
    "rumble.on": ("rumble", _boolean),
    "rumble.kick": ("kick_s", _number(0.02, 2.0)),
    **{f"rumble.{name}": (name, _effect) for name in EFFECTS},
    "controls.next_page": ("next_page", _number(0, BUTTONS, whole=True)),
    "controls.previous_page": ("previous_page", _number(0, BUTTONS, whole=True)),
    "controls.brightness": ("brightness_button", _number(0, BUTTONS, whole=True)),
    "controls.rumble": ("rumble_button", _number(0, BUTTONS, whole=True)),
    "controls.page_switch": ("page_switch", _switch),
    "controls.brightness_switch": ("brightness_switch", _switch),
    "controls.rumble_switch": ("rumble_switch", _switch),
    "controls.show_page": ("show_page_s", _number(0.0, 10.0)),
    "brightness.levels": ("brightness_levels",
                          _list(_number(0, 254, whole=True), 1, 16, "levels from 0 to 254")),
    **{f"panels.{side}": (side, check) for side, check in _PANEL_KEYS.items()},
}


def _flatten(table: Dict[str, Any], prefix: str = "") -> Dict[str, Any]:
    flat: Dict[str, Any] = {}
    for key, value in table.items():
        if isinstance(value, dict) and prefix + key not in _KEYS:
            flat.update(_flatten(value, f"{prefix}{key}."))
        else:
            flat[prefix + key] = value
    return flat


def _window(key: str, start: float, shift: float) -> None:
    if start >= shift:
        raise LayoutError(f"{key}start must be below {key}shift")


def _bindings(layout: Layout) -> None:
    """Each button and switch does one thing, and a switch has a position per choice."""
    seen: Dict[int, str] = {}
    for name in BUTTON_FIELDS:
        button = getattr(layout, name)
        if button and button in seen:
            raise LayoutError(f"button {button} is bound twice: controls.{_toml(seen[button])} "
                              f"and controls.{_toml(name)} (next_page is 1 unless set to 0)")
        seen[button] = name
    switches: Dict[int, str] = {}
    choices = {"page_switch": (len(layout.pages), "pages"),
               "brightness_switch": (len(layout.brightness_levels), "brightness.levels"),
               "rumble_switch": (2, "off and on")}
    for name, (count, what) in choices.items():
        binding = getattr(layout, name)
        if binding is None:
            continue
        if binding.switch in switches:
            raise LayoutError(f"switch {binding.switch} is bound twice: controls."
                              f"{switches[binding.switch]} and controls.{name}")
        switches[binding.switch] = name
        if len(binding.positions) != count:
            raise LayoutError(f"controls.{name}.positions must give {count} positions, one "
                              f"for each of {what}, not {len(binding.positions)}")


def _toml(name: str) -> str:
    return name.replace("_button", "")


def parse_layout(text: str) -> Layout:
    """The layout a TOML text describes: every key it leaves out keeps its default.
    Raises :class:`LayoutError` for bad TOML, an unknown key or a value out of range."""
    try:
        table = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise LayoutError(f"not TOML: {error}") from None
    changes: Dict[str, Any] = {}
    for key, value in _flatten(table).items():
        if key not in _KEYS:
            raise LayoutError(f"unknown key {key!r}")
        name, check = _KEYS[key]
        changes[name] = check(key, value)
    panels = {side: changes.pop(side) for side in _PANEL_KEYS if side in changes}
    if panels:
        if "pages" in changes:
            raise LayoutError("give [panels] (one page) or [[pages]], not both")
        changes["pages"] = (_panels("panels.", panels, "1"),)
    effects = {name: changes.pop(name) for name in EFFECTS if name in changes}
    cars = changes.pop("cars", {})
    layout = replace(Layout(), **changes, effects=effects)
    _window("rpm.", layout.rpm_start, layout.rpm_shift)
    for car, fields in cars.items():
        start, shift = fields.get("start", layout.rpm_start), fields.get("shift", layout.rpm_shift)
        _window(f'cars."{car}".', start, shift)
        cars[car] = Car(start, shift, fields.get("max"), fields.get("shift_rpm", ()))
    _bindings(layout)
    return replace(layout, cars=cars)


def load_layout(path: str) -> Layout:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise LayoutError(f"cannot read it: {error}") from None
    return parse_layout(text)


__all__ = ["BUTTONS", "DEFAULT_PAGES", "EFFECTS", "FLAG_LEDS", "LEDS", "PANELS", "Car", "Effect",
           "Layout", "LayoutError", "Page", "SwitchBinding", "load_layout", "parse_layout"]

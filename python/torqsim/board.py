"""What the board shows and what it sends, as plain data.

:class:`BoardState` is decoded from the 54-byte output reports the board received, so it
shows what a real board would show, mistakes of the host program included: a panel text
the board cannot draw, an LED left on, a motor still running. :class:`InputPanel` is the
other direction: the buttons and switches of a virtual board, turned into the 22-byte
input report the board sends.
"""
from dataclasses import dataclass, field, replace
from typing import Dict, List, Optional, Tuple

REPORT_SIZE = 54
INPUT_REPORT_SIZE = 22
DISPLAY_COMMAND = 0x06
BRIGHTNESS_COMMAND = 0x02
MAX_BRIGHTNESS = 254
MAX_POWER = 255

# Byte offsets of the display report.
CENTRAL_AT = 2
RPM_AT = 5
MOTOR_AT = (14, 15)
WARNING_AT = 16
LEFT_AT = 27
RIGHT_AT = 33
GEAR_AT = 39
PANEL_DIGITS = 3
RPM_LEDS = 9
WARNING_LEDS = 6

#: The display report the engine sends when it blanks the board: after init, and as
#: the last report of a torqline that is going away.
BLANK_DISPLAY = bytes([0x00, DISPLAY_COMMAND, 0x20, 0x20, 0x20] + [0] * 22 + [0x20] * 3
                      + [0] * 3 + [0x20] * 3 + [0] * 3 + [0x20] + [0] * 14)

SEGMENTS = "abcdefg"
#: Segments that stand for a character the board has no shape for.
PLACEHOLDER = "adg"

# The shapes of the characters a seven-segment digit can show: a top, b top right,
# c bottom right, d bottom, e bottom left, f top left, g middle.
_SHAPES = {
    " ": "", "0": "abcdef", "1": "bc", "2": "abdeg", "3": "abcdg", "4": "bcfg",
    "5": "acdfg", "6": "acdefg", "7": "abc", "8": "abcdefg", "9": "abcdfg",
    "A": "abcefg", "b": "cdefg", "C": "adef", "c": "deg", "d": "bcdeg", "E": "adefg",
    "F": "aefg", "G": "acdef", "H": "bcefg", "h": "cefg", "I": "ef", "i": "c",
    "J": "bcde", "L": "def", "l": "ef", "n": "ceg", "O": "abcdef", "o": "cdeg",
    "P": "abefg", "q": "abcfg", "r": "eg", "S": "acdfg", "t": "defg", "U": "bcdef",
    "u": "cde", "y": "bcdfg", "Z": "abdeg", "-": "g", "_": "d", "=": "dg",
    "\"": "bf", "'": "b", "[": "adef", "]": "abcd", "(": "adef", ")": "abcd",
    "?": "abeg", "^": "abf", "/": "beg", "\\": "cfg",
}
# Letters shown in the other case when only that one has a shape.
for _letter in "abcdefghijlnopqrstuyz":
    _upper = _letter.upper()
    _SHAPES.setdefault(_letter, _SHAPES.get(_upper, ""))
    _SHAPES.setdefault(_upper, _SHAPES[_letter])
for _name, _shape in list(_SHAPES.items()):
    if not _shape and _name != " ":
        del _SHAPES[_name]
del _letter, _upper, _name, _shape


@dataclass(frozen=True)
class Digit:
    """One seven-segment digit as the board draws it from its segment code."""

    code: int

    @property
    def char(self) -> str:
        """The 7-bit character; "" when the code holds none (0x00 or 0x80)."""
        value = self.code & 0x7F
        return chr(value) if value else ""

    @property
    def point(self) -> bool:
        """The decimal point (bit 7)."""
        return bool(self.code & 0x80)

    @property
    def known(self) -> bool:
        """False for a character a seven-segment digit cannot show."""
        return self.char == "" or self.char in _SHAPES

    @property
    def segments(self) -> str:
        """The lit segments, a subset of "abcdefg"; :data:`PLACEHOLDER` when unknown."""
        if not self.char:
            return ""
        return _SHAPES.get(self.char, PLACEHOLDER)

    @property
    def text(self) -> str:
        """The digit as text: its character (a blank for none, "?" when it is not
        printable) followed by "." when its point is lit."""
        char = self.char or " "
        if not char.isprintable() or not char.isascii():
            char = "?"
        return char + ("." if self.point else "")


def panel_text(digits: Tuple[Digit, ...]) -> str:
    """The digits of a panel as text, for example "1.2 " for the codes B1 32 00."""
    return "".join(digit.text for digit in digits)


def _digits(report: bytes, offset: int, count: int) -> Tuple[Digit, ...]:
    return tuple(Digit(report[offset + i]) for i in range(count))


_BLANK_PANEL = tuple(Digit(0) for _ in range(PANEL_DIGITS))


@dataclass
class BoardState:
    """Everything the board shows, decoded from the reports it received."""

    central: Tuple[Digit, ...] = _BLANK_PANEL
    left: Tuple[Digit, ...] = _BLANK_PANEL
    right: Tuple[Digit, ...] = _BLANK_PANEL
    gear: Digit = Digit(0)
    rpm: Tuple[bool, ...] = (False,) * RPM_LEDS
    warning: Tuple[bool, ...] = (False,) * WARNING_LEDS
    motors: Tuple[int, int] = (0, 0)
    #: The last brightness level received, None until the first brightness report.
    brightness: Optional[int] = None
    #: Reports received: all of them, and those with a command the board does not know.
    reports: int = 0
    unknown_reports: int = 0

    def apply(self, report: bytes) -> str:
        """Takes one output report as the board received it (report-ID byte first);
        returns its kind: "display", "brightness" or "unknown"."""
        self.reports += 1
        command = report[1] if len(report) > 1 else None
        if command == DISPLAY_COMMAND and len(report) > GEAR_AT:
            self.central = _digits(report, CENTRAL_AT, PANEL_DIGITS)
            self.left = _digits(report, LEFT_AT, PANEL_DIGITS)
            self.right = _digits(report, RIGHT_AT, PANEL_DIGITS)
            self.gear = Digit(report[GEAR_AT])
            self.rpm = tuple(report[RPM_AT + i] != 0 for i in range(RPM_LEDS))
            self.warning = tuple(report[WARNING_AT + i] != 0 for i in range(WARNING_LEDS))
            self.motors = (report[MOTOR_AT[0]], report[MOTOR_AT[1]])
            return "display"
        if command == BRIGHTNESS_COMMAND and len(report) > 2:
            self.brightness = report[2]
            return "brightness"
        self.unknown_reports += 1
        return "unknown"

    def copy(self) -> "BoardState":
        return replace(self)

    @classmethod
    def from_reports(cls, reports: "List[bytes]") -> "BoardState":
        """The state after the given reports, oldest first."""
        state = cls()
        for report in reports:
            state.apply(report)
        return state

    def summary(self) -> str:
        """One line of plain text with everything the board shows."""
        brightness = "-" if self.brightness is None else str(self.brightness)
        return (f"gear {self.gear.text:<2} | left \"{panel_text(self.left)}\" "
                f"central \"{panel_text(self.central)}\" right \"{panel_text(self.right)}\" | "
                f"rpm {''.join('#' if on else '.' for on in self.rpm)} | "
                f"warn {''.join('#' if on else '.' for on in self.warning)} | "
                f"rumble {self.motors[0]}/{self.motors[1]} | brightness {brightness}")


def changes(before: BoardState, after: BoardState) -> List[str]:
    """What changed between two states that a person watching the board would notice
    as an event: the gear character, the right panel, warning LEDs, the motors starting
    and stopping, brightness. The RPM bar, the central and left panels and the gear's
    point change too often to be events."""
    events = []
    if before.gear.char != after.gear.char:
        events.append(f"gear {after.gear.char.strip() or 'blank'}")
    if before.right != after.right:
        events.append(f"right panel \"{panel_text(after.right)}\"")
    for number, (was, now) in enumerate(zip(before.warning, after.warning), start=1):
        if was != now:
            events.append(f"warning LED {number} {'on' if now else 'off'}")
    running_before = any(before.motors)
    running_after = any(after.motors)
    if running_after and not running_before:
        events.append(f"rumble on {after.motors[0]}/{after.motors[1]}")
    elif running_before and not running_after:
        events.append("rumble off")
    if before.brightness != after.brightness and after.brightness is not None:
        events.append(f"brightness {after.brightness}/{MAX_BRIGHTNESS}")
    if after.unknown_reports != before.unknown_reports:
        events.append("a report the board does not know (not display 0x06 or brightness 0x02)")
    return events


#: The keys that press buttons 1 to 32, in order.
BUTTON_KEYS = "1234567890qwertyuiopasdfghjklzxc"
SWITCHES = 9
#: Range of each switch's position, as get_input_data reports it.
SWITCH_RANGE: Dict[int, Tuple[int, int]] = {
    **{number: (0, 255) for number in range(1, 7)},
    7: (-32768, 32767), 8: (-32768, 32767), 9: (-240, 15),
}
# A big turn (page up / page down) of each switch.
_BIG_STEP = {7: 4096, 8: 4096}


@dataclass
class InputPanel:
    """The buttons and switches of a virtual board; :meth:`report` is the input report
    the board sends for them. Positions are kept as ``get_input_data`` reports them
    (switch 9 from -240 to 15); every position starts where its report bytes are 0."""

    buttons: int = 0
    switches: List[int] = field(default_factory=lambda: [0] * 6 + [0, 0, -240])

    def held(self, button: int) -> bool:
        return bool(self.buttons >> (button - 1) & 1)

    def press(self, button: int, down: bool = True) -> None:
        if not 1 <= button <= 32:
            raise ValueError(f"no button {button}")
        mask = 1 << (button - 1)
        self.buttons = self.buttons | mask if down else self.buttons & ~mask

    def position(self, switch: int) -> int:
        return self.switches[switch - 1]

    def turn(self, switch: int, steps: int, big: bool = False) -> int:
        """Turns a switch by ``steps`` (negative: down), by its big step when ``big``;
        it stops at the ends of its range. Returns the new position."""
        low, high = SWITCH_RANGE[switch]
        step = _BIG_STEP.get(switch, 16) if big else 1
        value = min(high, max(low, self.switches[switch - 1] + steps * step))
        self.switches[switch - 1] = value
        return value

    def report(self) -> bytes:
        data = bytearray(INPUT_REPORT_SIZE)
        data[1:5] = self.buttons.to_bytes(4, "little")
        for number in range(1, 7):
            data[3 + 2 * number] = self.switches[number - 1]
        data[17:19] = self.switches[7].to_bytes(2, "little", signed=True)
        data[19:21] = self.switches[6].to_bytes(2, "little", signed=True)
        data[21] = self.switches[8] + 240
        return bytes(data)

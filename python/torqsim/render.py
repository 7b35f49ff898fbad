"""Pictures of the board: as terminal text (with or without colour) and as SVG.

Both draw a :class:`~torqsim.board.BoardState`, so they show what the reports told the
board: seven-segment digits with their decimal points, the RPM bar and the warning LEDs
in colour, the gear digit, brightness and the power of the two rumble motors.
"""
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple
from xml.sax.saxutils import escape, quoteattr

from .board import (BUTTON_KEYS, MAX_BRIGHTNESS, MAX_POWER, PLACEHOLDER, SWITCHES,
                    BoardState, Digit, InputPanel, panel_text)

# Colours of the LEDs, by position: the RPM bar green, yellow, red; the warning LEDs
# two blue, two yellow, two red.
RPM_COLOURS = ("green",) * 3 + ("yellow",) * 3 + ("red",) * 3
WARNING_COLOURS = ("blue", "blue", "yellow", "yellow", "red", "red")

_SGR = {"green": "1;32", "yellow": "1;33", "red": "1;31", "blue": "1;34",
        "segment": "1;31", "placeholder": "1;35", "off": "38;5;238", "label": "2",
        "title": "1", "held": "1;7", "selected": "1;7", "bar": "36"}


@dataclass(frozen=True)
class Look:
    """How a text picture is drawn: ``colour`` with ANSI escape codes (unlit LEDs then
    stay visible, dimmed); ``unicode`` with box and block characters."""

    colour: bool = True
    unicode: bool = True


class _Canvas:
    """Rows of (character, style) cells; styles are keys of _SGR or ""."""

    def __init__(self, width: int, height: int) -> None:
        self.width = width
        self.cells = [[(" ", "")] * width for _ in range(height)]

    def put(self, row: int, col: int, text: str, style: str = "") -> None:
        line = self.cells[row]
        for offset, char in enumerate(text):
            if 0 <= col + offset < self.width:
                line[col + offset] = (char, style)

    def lines(self, colour: bool, dim: bool) -> List[str]:
        out = []
        for line in self.cells:
            parts = []
            current = ""
            for char, style in line:
                if colour and style != current:
                    code = _SGR.get(style, "")
                    if dim and style in ("green", "yellow", "red", "blue", "segment",
                                         "placeholder"):
                        code += ";2"
                    parts.append("\x1b[0m" + (f"\x1b[{code}m" if code else ""))
                    current = style
                parts.append(char)
            if colour and current:
                parts.append("\x1b[0m")
            out.append("".join(parts))
        return out


class _Painter:
    def __init__(self, look: Look, canvas: _Canvas, dark: bool) -> None:
        self.look = look
        self.canvas = canvas
        self.dark = dark  # brightness 0: nothing is lit

    def lit(self, on: bool, style: str) -> str:
        return style if on and not self.dark else "off"

    def mark(self, row: int, col: int, on: bool, char: str, style: str) -> None:
        """One segment or point: its character when lit, a blank when not. Unlit parts
        are never characters (not even dimmed ones): a picture copied as text, or read
        by tmux capture-pane, must show the digits the board shows, not 8s."""
        if on:
            self.canvas.put(row, col, char, self.lit(on, style))

    def small_digit(self, row: int, col: int, digit: Digit) -> None:
        segments = digit.segments
        style = "segment" if digit.known else "placeholder"
        on = {name: name in segments for name in "abcdefg"}
        self.mark(row, col + 1, on["a"], "_", style)
        self.mark(row + 1, col, on["f"], "|", style)
        self.mark(row + 1, col + 1, on["g"], "_", style)
        self.mark(row + 1, col + 2, on["b"], "|", style)
        self.mark(row + 2, col, on["e"], "|", style)
        self.mark(row + 2, col + 1, on["d"], "_", style)
        self.mark(row + 2, col + 2, on["c"], "|", style)
        self.mark(row + 2, col + 3, digit.point, ".", "segment")

    def big_digit(self, row: int, col: int, digit: Digit) -> None:
        segments = digit.segments
        style = "segment" if digit.known else "placeholder"
        on = {name: name in segments for name in "abcdefg"}
        self.mark(row, col + 1, on["a"], "___", style)
        for line in (row + 1, row + 2):
            self.mark(line, col, on["f"], "|", style)
            self.mark(line, col + 4, on["b"], "|", style)
        self.mark(row + 2, col + 1, on["g"], "___", style)
        for line in (row + 3, row + 4):
            self.mark(line, col, on["e"], "|", style)
            self.mark(line, col + 4, on["c"], "|", style)
        self.mark(row + 4, col + 1, on["d"], "___", style)
        self.mark(row + 4, col + 5, digit.point, ".", "segment")

    def led(self, row: int, col: int, on: bool, colour: str) -> None:
        if self.look.unicode:
            char = "●" if on else "○"
        else:
            char = "O" if on else "."
        if not self.look.colour and not on:
            char = "."
        self.canvas.put(row, col, char, self.lit(on, colour))

    def bar(self, row: int, col: int, width: int, value: int, top: int) -> None:
        filled = round(width * max(0, min(value, top)) / top) if top else 0
        full, empty = ("█", "░") if self.look.unicode else ("#", "-")
        self.canvas.put(row, col, full * filled, "bar")
        self.canvas.put(row, col + filled, empty * (width - filled), "off")


#: Width of a picture in columns, borders included.
PICTURE_WIDTH = 78
_INNER = PICTURE_WIDTH - 2


def picture(state: BoardState, look: Look = Look(), title: str = "torqpanel",
            inputs: Optional[InputPanel] = None, selected_switch: int = 1) -> List[str]:
    """The board as lines of text, :data:`PICTURE_WIDTH` columns wide. With ``inputs``,
    two more rows show the held buttons (by their keys) and the switch positions, the
    selected switch marked."""
    height = 14 + (3 if inputs is not None else 0)
    canvas = _Canvas(_INNER, height)
    dark = state.brightness == 0
    painter = _Painter(look, canvas, dark)

    canvas.put(1, 3, "RPM", "label")
    for index, on in enumerate(state.rpm):
        painter.led(1, 14 + index * 3 + (index // 3) * 2, on, RPM_COLOURS[index])

    for col, name in ((4, "LEFT"), (22, "CENTRAL"), (40, "GEAR"), (55, "RIGHT")):
        canvas.put(3, col, name, "label")
    for col, digits in ((3, state.left), (21, state.central), (54, state.right)):
        for index, digit in enumerate(digits):
            painter.small_digit(6, col + index * 5, digit)
    painter.big_digit(4, 40, state.gear)

    canvas.put(10, 3, "WARNING", "label")
    for index, on in enumerate(state.warning):
        painter.led(10, 14 + index * 3, on, WARNING_COLOURS[index])

    canvas.put(12, 3, "BRIGHTNESS", "label")
    if state.brightness is None:
        canvas.put(12, 14, "not set since the board started", "label")
    else:
        painter.bar(12, 14, 20, state.brightness, MAX_BRIGHTNESS)
        canvas.put(12, 35, f"{state.brightness}/{MAX_BRIGHTNESS}")
    canvas.put(13, 3, "RUMBLE", "label")
    for index, power in enumerate(state.motors):
        col = 14 + index * 30
        canvas.put(13, col, f"{index + 1}")
        painter.bar(13, col + 2, 16, power, MAX_POWER)
        canvas.put(13, col + 19, f"{power:>3}")

    if inputs is not None:
        canvas.put(15, 3, "BUTTONS", "label")
        for index, key in enumerate(BUTTON_KEYS):
            held = inputs.held(index + 1)
            canvas.put(15, 12 + index * 2, key, "held" if held else "")
            if held and not look.colour:
                canvas.put(15, 13 + index * 2, "*")
        canvas.put(16, 3, "SWITCHES", "label")
        col = 11
        for number in range(1, SWITCHES + 1):
            chosen = number == selected_switch
            cell = f"{number}:{inputs.position(number)}"
            canvas.put(16, col, ">" if chosen and not look.colour else " ")
            canvas.put(16, col + 1, cell, "selected" if chosen else "")
            col += len(cell) + 2

    horizontal, vertical = ("─", "│") if look.unicode else ("-", "|")
    corners = "╭╮╰╯" if look.unicode else "++++"
    heading = f"{horizontal} {title} "[:_INNER]
    top = corners[0] + heading + horizontal * max(0, _INNER - len(heading)) + corners[1]
    body = canvas.lines(look.colour, dim=state.brightness is not None
                        and 0 < state.brightness < 100)
    if look.colour:
        top = f"\x1b[1m{top}\x1b[0m"
    lines = [top]
    lines += [vertical + line + vertical for line in body]
    lines.append(corners[2] + horizontal * _INNER + corners[3])
    return lines


def key_help(unicode: bool = True, program: bool = True) -> List[str]:
    """The keys of ``torqsim run`` (``program``: with those of the program's standard
    input), as shown under its picture, in lines no wider than the picture."""
    arrows = ("←/→", "↑/↓") if unicode else ("left/right", "up/down")
    return [
        f" keys: {BUTTON_KEYS[:10]} {BUTTON_KEYS[10:20]} {BUTTON_KEYS[20:29]} "
        f"{BUTTON_KEYS[29:]}  buttons 1-32, held while repeating",
        f"       {arrows[0]} or </> pick a switch  {arrows[1]} or +/- turn it  PgUp/PgDn more",
        "       " + ("Enter: a line for the program  Ctrl-D: its end  " if program else "") + "Ctrl-C quits",
    ]


# --- SVG ----------------------------------------------------------------------------

_SVG_COLOURS = {"green": "#2ecc40", "yellow": "#ffdc00", "red": "#ff4136",
                "blue": "#2f8fff", "segment": "#ff3b2f", "placeholder": "#d040ff"}
_SVG_OFF = "#2a2a2a"
_SVG_SEGMENT_OFF = "#2a1210"


def _f(value: float) -> str:
    return f"{value:.1f}".rstrip("0").rstrip(".")


def _points(points: Sequence[Tuple[float, float]]) -> str:
    return " ".join(f"{_f(x)},{_f(y)}" for x, y in points)


def _segment_shapes(x: float, y: float, width: float, height: float,
                    thickness: float) -> "dict[str, str]":
    t, h2 = thickness, thickness / 2
    mid = y + height / 2

    def across(y0: float) -> str:
        return _points([(x + h2, y0), (x + t, y0 - h2), (x + width - t, y0 - h2),
                        (x + width - h2, y0), (x + width - t, y0 + h2), (x + t, y0 + h2)])

    def down(x0: float, y0: float, y1: float) -> str:
        return _points([(x0, y0 + h2), (x0 + h2, y0 + t), (x0 + h2, y1 - t),
                        (x0, y1 - h2), (x0 - h2, y1 - t), (x0 - h2, y0 + t)])

    return {"a": across(y), "g": across(mid), "d": across(y + height),
            "f": down(x, y, mid), "b": down(x + width, y, mid),
            "e": down(x, mid, y + height), "c": down(x + width, mid, y + height)}


class _Svg:
    def __init__(self, level: Optional[int]) -> None:
        self.parts: List[str] = []
        # Brightness dims everything lit; before any brightness report, full.
        self.opacity = 1.0 if level is None else 0.45 + 0.55 * level / MAX_BRIGHTNESS
        self.dark = level == 0

    def add(self, text: str) -> None:
        self.parts.append(text)

    def fill(self, on: bool, colour: str, off: str = _SVG_OFF) -> str:
        if on and not self.dark:
            return f'fill="{_SVG_COLOURS[colour]}" fill-opacity="{_f(self.opacity)}"'
        return f'fill="{off}"'

    def digit(self, ident: str, digit: Digit, x: float, y: float, scale: float) -> None:
        width, height, thickness = 26 * scale, 48 * scale, 6 * scale
        colour = "segment" if digit.known else "placeholder"
        self.add(f'<g id="{ident}" data-code="{digit.code:02x}" '
                 f'data-text={quoteattr(digit.text)}>')
        shapes = _segment_shapes(x, y, width, height, thickness)
        for name in "abcdefg":
            on = name in digit.segments
            state = "on" if on else "off"
            self.add(f'<polygon class="seg {state}" data-seg="{name}" '
                     f'points="{shapes[name]}" {self.fill(on, colour, _SVG_SEGMENT_OFF)}/>')
        state = "on" if digit.point else "off"
        self.add(f'<circle class="dp {state}" cx="{_f(x + width + 7 * scale)}" '
                 f'cy="{_f(y + height)}" r="{_f(3.5 * scale)}" '
                 f'{self.fill(digit.point, "segment", _SVG_SEGMENT_OFF)}/>')
        self.add("</g>")

    def led(self, ident: str, on: bool, colour: str, x: float, y: float) -> None:
        state = "on" if on else "off"
        self.add(f'<circle id="{ident}" class="led {state}" data-colour="{colour}" '
                 f'cx="{_f(x)}" cy="{_f(y)}" r="9" {self.fill(on, colour)}/>')

    def label(self, text: str, x: float, y: float, size: int = 12) -> None:
        self.add(f'<text x="{_f(x)}" y="{_f(y)}" font-size="{size}" '
                 f'fill="#9a9a9a">{escape(text)}</text>')

    def bar(self, ident: str, value: int, top: int, x: float, y: float, width: float,
            data: str) -> None:
        filled = width * max(0, min(value, top)) / top
        self.add(f'<g id="{ident}" {data}="{value}">')
        self.add(f'<rect x="{_f(x)}" y="{_f(y)}" width="{_f(width)}" height="10" '
                 f'fill="{_SVG_OFF}"/>')
        self.add(f'<rect class="level" x="{_f(x)}" y="{_f(y)}" width="{_f(filled)}" '
                 f'height="10" fill="#39cccc"/>')
        self.add("</g>")


def svg(state: BoardState, title: str = "torqpanel",
        inputs: Optional[InputPanel] = None) -> str:
    """The board as an SVG document. Every element that shows something carries its
    state for tools and tests: ``class="seg on"``/``"seg off"`` and ``data-seg`` on
    segments, ``class="dp on"`` on decimal points, ``data-code`` and ``data-text`` on
    digits, ``class="led on"`` and ``data-colour`` on LEDs, ``data-level`` and
    ``data-power`` on the bars."""
    height = 330 + (80 if inputs is not None else 0)
    out = _Svg(state.brightness)
    out.add(f'<svg xmlns="http://www.w3.org/2000/svg" width="760" height="{height}" '
            f'viewBox="0 0 760 {height}" font-family="monospace">')
    out.add(f"<title>{escape(title)}</title>")
    out.add(f'<rect width="760" height="{height}" rx="18" fill="#141416"/>')
    out.label(title, 24, 30, 14)

    out.add('<g id="rpm">')
    for index, on in enumerate(state.rpm):
        x = 200 + index * 40 + (index // 3) * 16
        out.led(f"rpm-{index + 1}", on, RPM_COLOURS[index], x, 62)
    out.add("</g>")

    panels = (("left", "LEFT", state.left, 40), ("central", "CENTRAL", state.central, 230),
              ("right", "RIGHT", state.right, 560))
    for ident, name, digits, x in panels:
        out.label(name, x, 112)
        out.add(f'<g id="{ident}" data-text={quoteattr(panel_text(digits))}>')
        for index, digit in enumerate(digits):
            out.digit(f"{ident}-{index + 1}", digit, x + 6 + index * 48, 140, 1.0)
        out.add("</g>")
    out.label("GEAR", 420, 112)
    out.digit("gear", state.gear, 418, 128, 1.5)

    out.add('<g id="warning">')
    out.label("WARNING", 40, 240)
    for index, on in enumerate(state.warning):
        out.led(f"warning-{index + 1}", on, WARNING_COLOURS[index], 140 + index * 36, 236)
    out.add("</g>")

    out.label("BRIGHTNESS", 40, 282)
    if state.brightness is None:
        out.label("not set", 140, 282)
    else:
        out.bar("brightness", state.brightness, MAX_BRIGHTNESS, 140, 273, 160, "data-level")
        out.label(f"{state.brightness}/{MAX_BRIGHTNESS}", 310, 282)
    out.label("RUMBLE", 40, 312)
    for index, power in enumerate(state.motors):
        x = 140 + index * 230
        out.label(str(index + 1), x, 312)
        out.bar(f"motor-{index + 1}", power, MAX_POWER, x + 16, 303, 150, "data-power")
        out.label(str(power), x + 172, 312)

    if inputs is not None:
        out.add('<g id="buttons">')
        out.label("BUTTONS", 40, 352)
        for index, key in enumerate(BUTTON_KEYS):
            held = inputs.held(index + 1)
            x = 140 + index * 18
            out.add(f'<rect id="button-{index + 1}" class="button {"on" if held else "off"}" '
                    f'x="{x}" y="340" width="15" height="15" rx="3" '
                    f'fill="{"#39cccc" if held else _SVG_OFF}"/>')
        out.add("</g>")
        out.add('<g id="switches">')
        out.label("SWITCHES", 40, 384)
        text = "  ".join(f"{n}:{inputs.position(n)}" for n in range(1, SWITCHES + 1))
        out.label(text, 140, 384)
        out.add("</g>")
    out.add("</svg>")
    return "\n".join(out.parts) + "\n"


__all__ = ["Look", "PICTURE_WIDTH", "PLACEHOLDER", "key_help", "picture", "svg"]

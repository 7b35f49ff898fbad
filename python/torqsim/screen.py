"""Where the simulator shows the board: a terminal (the picture redrawn in place at the
top, text scrolling beneath it) or a plain text stream (one line per report).

Only ANSI escape codes and the standard library are used. Every change to a terminal's
settings is undone when the session ends, however it ends.
"""
import os
import select
import sys
import threading
from typing import Any, Callable, List, Optional, TextIO

from .board import BoardState, InputPanel
from .render import PICTURE_WIDTH, Look, key_help, picture

try:
    import termios
    import tty
except ImportError:  # Windows: no keys, and no terminal settings to restore
    termios = None  # type: ignore[assignment]
    tty = None  # type: ignore[assignment]

_ESC = "\x1b"


def stream_can_encode(stream: TextIO, text: str) -> bool:
    try:
        text.encode(getattr(stream, "encoding", None) or "ascii")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def wants_colour(stream: TextIO) -> bool:
    """Colour on a terminal, unless the NO_COLOR convention asks for none."""
    return stream.isatty() and not os.environ.get("NO_COLOR") and os.environ.get(
        "TERM") != "dumb"


class View:
    """What a view is told: every report with its events, a refresh after a batch of
    reports (or an input change), notes of its own, and the end."""

    def report(self, state: BoardState, kind: str, events: List[str]) -> None:
        raise NotImplementedError

    def note(self, text: str) -> None:
        raise NotImplementedError

    def refresh(self, state: BoardState) -> None:
        pass

    def finish(self, state: BoardState) -> None:
        pass


class PlainView(View):
    """Plain text: one line per report with everything the board shows, an indented
    line per event, and the whole picture once at the end."""

    def __init__(self, stream: TextIO, title: str, inputs: Optional[InputPanel] = None,
                 events: bool = True) -> None:
        self.stream = stream
        self.title = title
        self.inputs = inputs
        self.events = events
        self.look = Look(colour=False, unicode=stream_can_encode(stream, "●╭█"))
        self._lock = threading.Lock()

    def _write(self, text: str) -> None:
        # One write per line, so that a host program's output never splits one.
        with self._lock:
            self.stream.write(text + "\n")
            self.stream.flush()

    def report(self, state: BoardState, kind: str, events: List[str]) -> None:
        self._write(f"report {state.reports:>5} {kind:<10} {state.summary()}")
        if self.events:
            for event in events:
                self._write(f"  board: {event}")

    def note(self, text: str) -> None:
        self._write(text)

    def finish(self, state: BoardState) -> None:
        self._write("\n".join(picture(state, self.look, self.title, self.inputs)))


def open_view(title: str, inputs: Optional[InputPanel] = None, events: bool = True,
              footer: str = "", stream: Optional[TextIO] = None,
              lines: int = 22) -> "tuple[View, Optional[Terminal]]":
    """The view of a session: the picture in place when standard output is a terminal
    with room for ``lines`` lines (taken over at once), else plain text on ``stream``
    (default standard output). Also returns the terminal, when standard output is one."""
    terminal = Terminal(sys.stdout.fileno()) if stream is None and sys.stdout.isatty() else None
    if terminal is not None and terminal.fits(lines):
        view = TerminalView(terminal, title, inputs=inputs, events=events, footer=footer)
        view.start()
        return view, terminal
    return PlainView(stream or sys.stdout, title, inputs=inputs, events=events), terminal


class Terminal:
    """A terminal split in two: the picture at the top, redrawn in place, and a
    scrolling region beneath it for text. Every drawing is one write() call, so text
    that a host program writes at the same time never lands inside the picture."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.height = 0
        self.size = (0, 0)
        self.active = False

    def measure(self) -> "tuple[int, int]":
        try:
            size = os.get_terminal_size(self.fd)
        except OSError:
            return (80, 24)
        return (size.columns, size.lines)

    def fits(self, lines: int) -> bool:
        columns, rows = self.measure()
        return columns >= PICTURE_WIDTH and rows >= lines + 4

    def _write(self, text: str) -> None:
        data = text.encode("utf-8", "replace")
        while data:
            written = os.write(self.fd, data)
            data = data[written:]

    def start(self) -> None:
        self.active = True
        self._write(f"{_ESC}[?25l{_ESC}[2J{_ESC}[H")

    def draw(self, lines: List[str]) -> None:
        """Draws the picture; on the first draw and after a resize, also lays out the
        scrolling region beneath it and clears the screen."""
        size = self.measure()
        parts = []
        if size != self.size or len(lines) != self.height:
            self.size = size
            self.height = len(lines)
            rows = size[1]
            parts.append(f"{_ESC}[2J{_ESC}[{self.height + 2};{rows}r"
                         f"{_ESC}[{self.height + 2};1H")
        parts.append(f"{_ESC}7")
        for row, line in enumerate(lines, start=1):
            parts.append(f"{_ESC}[{row};1H{line}{_ESC}[0m{_ESC}[K")
        parts.append(f"{_ESC}8")
        self._write("".join(parts))

    def print(self, text: str) -> None:
        self._write(text.replace("\n", "\r\n") + "\r\n")

    def stop(self) -> None:
        """Gives the whole screen back, the picture left in place, the cursor on the
        last line and visible again."""
        if not self.active:
            return
        self.active = False
        rows = self.measure()[1]
        self._write(f"{_ESC}[0m{_ESC}[r{_ESC}[{rows};1H{_ESC}[?25h\r\n")


class TerminalView(View):
    """The picture redrawn in place on every refresh; events scroll beneath it."""

    def __init__(self, terminal: Terminal, title: str, inputs: Optional[InputPanel] = None,
                 events: bool = True, footer: str = "") -> None:
        self.terminal = terminal
        self.title = title
        self.inputs = inputs
        self.events = events
        self.footer = footer
        self.unicode = True
        self.look = Look(colour=wants_colour(sys.stdout), unicode=True)
        self.selected_switch = 1
        self.status = ""
        self._state = BoardState()
        self._lock = threading.RLock()

    def start(self) -> None:
        """Takes over the terminal and lays out the picture and the text beneath it."""
        self.terminal.start()
        self.refresh(self._state)

    def lines(self, state: BoardState) -> List[str]:
        lines = picture(state, self.look, self.title, self.inputs, self.selected_switch)
        if self.inputs is not None:
            lines += key_help(self.look.unicode)
        tail = f" reports {state.reports}"
        if self.status:
            tail += f" · {self.status}"
        if self.footer:
            tail += f" · {self.footer}"
        lines.append(tail[:PICTURE_WIDTH])
        return lines

    def report(self, state: BoardState, kind: str, events: List[str]) -> None:
        if self.events:
            for event in events:
                self.note(f"  board: {event}  (report {state.reports})")

    def note(self, text: str) -> None:
        with self._lock:
            self.terminal.print(text)

    def refresh(self, state: BoardState) -> None:
        with self._lock:
            self._state = state.copy()
            self.terminal.draw(self.lines(self._state))

    def redraw(self) -> None:
        """Draws the last state again (after an input change or a resize)."""
        self.refresh(self._state)

    def finish(self, state: BoardState) -> None:
        with self._lock:
            self.terminal.draw(self.lines(state))
            self.terminal.stop()


#: The names :class:`KeyReader` reports for keys that are not characters.
_SEQUENCES = {
    "[A": "up", "[B": "down", "[C": "right", "[D": "left",
    "OA": "up", "OB": "down", "OC": "right", "OD": "left",
    "[5~": "pgup", "[6~": "pgdn",
}


def parse_keys(buffer: str) -> "tuple[List[str], str]":
    """Splits typed text into key names (a character, or one of up, down, left, right,
    pgup, pgdn); returns them and an unfinished escape sequence left for later.
    Sequences of keys that have no name here are skipped whole."""
    keys: List[str] = []
    index = 0
    while index < len(buffer):
        char = buffer[index]
        if char != _ESC:
            keys.append(char)
            index += 1
            continue
        rest = buffer[index + 1:]
        if not rest:
            return keys, buffer[index:]
        if rest[0] not in "[O":
            index += 1  # a lone escape: nothing to do
            continue
        # The sequence ends at its first byte from '@' to '~' after the introducer.
        end = next((i for i in range(1, len(rest)) if "@" <= rest[i] <= "~"), None)
        if end is None:
            return keys, buffer[index:]
        name = _SEQUENCES.get(rest[:end + 1])
        if name is not None:
            keys.append(name)
        index += end + 2
    return keys, ""


class KeyReader:
    """Reads keys from a terminal in a thread, in cbreak mode: each key at once, not
    echoed. Ctrl-C still interrupts (it stays a signal, so the host program sees a
    KeyboardInterrupt, as it would without the simulator); Ctrl-Z is switched off, as a
    stopped simulator would leave the terminal in its mode. :meth:`stop` (or leaving the
    ``with`` block) restores the settings the terminal had."""

    def __init__(self, fd: int, on_key: Callable[[str], None]) -> None:
        self.fd = fd
        self.on_key = on_key
        self._saved: Optional[List[Any]] = None
        self._stopping = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def start(self) -> None:
        if termios is None:
            return
        self._saved = termios.tcgetattr(self.fd)
        tty.setcbreak(self.fd, termios.TCSANOW)
        settings = termios.tcgetattr(self.fd)
        settings[6][termios.VSUSP] = b"\x00"
        termios.tcsetattr(self.fd, termios.TCSANOW, settings)
        self._thread = threading.Thread(target=self._run, name="torqsim keys", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        pending = ""
        while not self._stopping.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if not ready:
                pending = ""  # an escape sequence never arrives in two pieces this far apart
                continue
            try:
                data = os.read(self.fd, 64)
            except OSError:
                return
            if not data:
                return
            keys, pending = parse_keys(pending + data.decode("utf-8", "replace"))
            for key in keys:
                self.on_key(key)

    def stop(self) -> None:
        self._stopping.set()
        if self._thread is not None:
            self._thread.join(timeout=1.0)
            self._thread = None
        if self._saved is not None and termios is not None:
            termios.tcsetattr(self.fd, termios.TCSADRAIN, self._saved)
            self._saved = None

    def __enter__(self) -> "KeyReader":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

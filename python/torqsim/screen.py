"""Where the simulator shows the board: a terminal (the picture redrawn in place at the
top, text scrolling beneath it) or a plain text stream (one line per report, fitted to
the terminal's width when it goes to one); and how a program that shows it ends quietly
when that output is closed (:func:`end_quietly`).

Only ANSI escape codes and the standard library are used. Every change to a terminal's
settings is undone when the session ends, however it ends.
"""
import os
import select
import sys
import textwrap
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


def drop_output(stream: TextIO) -> None:
    """Points the file descriptor behind ``stream`` at the null device once its reader
    has gone: what is still buffered, Python's flush at exit and the module's console
    lines (written to file descriptor 1) then go nowhere instead of failing again."""
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):
        return  # not a file (a StringIO): nothing will fail on it again
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)


#: The exit statuses of a program that its closed output or Ctrl-C ended: what a shell
#: reports for a program that SIGPIPE or SIGINT ended.
OUTPUT_CLOSED = 128 + 13
INTERRUPTED = 128 + 2


def end_quietly(main: Callable[[], int]) -> int:
    """Runs a command-line program's ``main`` and returns its exit status. A program
    whose output is closed early (``| head``) ends with :data:`OUTPUT_CLOSED`, and one
    that Ctrl-C ends outside its own handling with :data:`INTERRUPTED`: both without a
    traceback, and with nothing left to fail when Python flushes its output at exit."""
    try:
        status = main()
        if sys.stdout is not None:
            sys.stdout.flush()  # what is still buffered may meet a closed pipe only now
        return status
    except BrokenPipeError:
        if sys.stdout is not None:
            drop_output(sys.stdout)
        return OUTPUT_CLOSED
    except KeyboardInterrupt:
        return INTERRUPTED


_CONTINUED = "    "


def fit(text: str, width: Optional[int]) -> List[str]:
    """``text`` as lines of at most ``width`` columns (None: one line, as it is). A line
    is broken after its " | " separators where it has them, else between words; the
    lines that continue it are indented."""
    if width is None or len(text) <= width:
        return [text]
    width = max(width, len(_CONTINUED) + 8)
    pieces: List[str] = []
    for piece in text.split(" | "):
        joined = f"{pieces[-1]} | {piece}" if pieces else piece
        if pieces and len(joined) <= width:
            pieces[-1] = joined
        else:
            pieces.append(piece if not pieces else _CONTINUED + piece)
    return [line for piece in pieces
            for line in textwrap.wrap(piece, width, subsequent_indent=_CONTINUED,
                                      break_on_hyphens=False)]


def wants_colour(stream: TextIO) -> bool:
    """Colour on a terminal, unless the NO_COLOR convention asks for none."""
    return stream.isatty() and not os.environ.get("NO_COLOR") and os.environ.get(
        "TERM") != "dumb"


class View:
    """What a view is told: every report with its events, a refresh after a batch of
    reports (or an input change), notes of its own, and the end.

    ``closed`` turns true when the reader of the view's output has gone (a pipe into
    ``head`` that ended): the write that finds out raises BrokenPipeError, so that the
    program ends, and every later one is dropped, so that its clean-up runs quietly."""

    closed = False

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
    line per event, and the whole picture once at the end. On a terminal (``terminal``)
    every line is fitted to its width, and a picture wider than the terminal gives way
    to the board's summary."""

    def __init__(self, stream: TextIO, title: str, inputs: Optional[InputPanel] = None,
                 events: bool = True, terminal: "Optional[Terminal]" = None) -> None:
        self.stream = stream
        self.title = title
        self.inputs = inputs
        self.events = events
        self.terminal = terminal
        self.look = Look(colour=False, unicode=stream_can_encode(stream, "●╭█"))
        self._lock = threading.Lock()

    def _width(self) -> Optional[int]:
        return self.terminal.measure()[0] if self.terminal is not None else None

    def _write(self, text: str, fitted: bool = True) -> None:
        # One write per line, so that a host program's output never splits one.
        lines = fit(text, self._width()) if fitted else [text]
        with self._lock:
            if self.closed:
                return
            try:
                self.stream.write("\n".join(lines) + "\n")
                self.stream.flush()
            except BrokenPipeError:
                self.closed = True
                drop_output(self.stream)
                raise

    def report(self, state: BoardState, kind: str, events: List[str]) -> None:
        self._write(f"report {state.reports:>5} {kind:<10} {state.summary()}")
        if self.events:
            for event in events:
                self._write(f"  board: {event}")

    def note(self, text: str) -> None:
        self._write(text)

    def finish(self, state: BoardState) -> None:
        width = self._width()
        if width is not None and width < PICTURE_WIDTH:
            self._write(f"the board (its picture needs {PICTURE_WIDTH} columns, this "
                        f"terminal has {width}): {state.summary()}")
            return
        self._write("\n".join(picture(state, self.look, self.title, self.inputs)),
                    fitted=False)


def open_view(title: str, inputs: Optional[InputPanel] = None, events: bool = True,
              footer: str = "", stream: Optional[TextIO] = None, program_input: bool = True
              ) -> "tuple[View, Optional[Terminal]]":
    """The view of a session: the picture in place when standard output is a terminal
    with room for it (taken over at once), else plain text on ``stream`` (default
    standard output), fitted to the terminal's width when it is one. Also returns the
    terminal, when standard output is one. ``program_input``: the keys shown with
    ``inputs`` include those of a program's standard input (Enter, Ctrl-D)."""
    terminal = Terminal(sys.stdout.fileno()) if stream is None and sys.stdout.isatty() else None
    if terminal is not None:
        view = TerminalView(terminal, title, inputs=inputs, events=events, footer=footer,
                            program_input=program_input)
        if terminal.fits(len(view.lines(BoardState()))):
            view.start()
            return view, terminal
    return PlainView(stream or sys.stdout, title, inputs=inputs, events=events,
                     terminal=terminal), terminal


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
        """Room for ``lines`` lines of the picture and a few of text beneath them."""
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
                 events: bool = True, footer: str = "", program_input: bool = True) -> None:
        self.terminal = terminal
        self.program_input = program_input
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
            lines += key_help(self.look.unicode, self.program_input)
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

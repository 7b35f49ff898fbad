"""What torqdash says while it runs: one plain line per event (a board found or lost,
the game's data arriving or stopping), never one per frame.

On a terminal each line is written at once. Anywhere else (the journal of a service, a
file, a pipe) at most one line is written every :data:`LOG_EVERY_S` seconds, so that a
board or a game that comes and goes every second cannot flood the log: a line that
comes sooner is held back, a newer one takes its place (the line says how many it
replaced), and the held line is written once its time has come, or at the end.
Every line torqdash says after its first (where it listens) goes through one
:class:`StatusLines`: a new kind of line should too.
"""
import sys
import time
from typing import Callable, Optional, TextIO

LOG_EVERY_S = 5.0


def print_line(text: str) -> None:
    print(text, flush=True)  # flushed: a service's standard output is a pipe to the journal


def interval_for(stream: Optional[TextIO]) -> float:
    """Seconds between two lines on ``stream``: none on a terminal, else
    :data:`LOG_EVERY_S` (also with no stream at all: pythonw on Windows)."""
    try:
        return 0.0 if stream is not None and stream.isatty() else LOG_EVERY_S
    except ValueError:  # a closed stream
        return LOG_EVERY_S


class StatusLines:
    """Writes lines through ``write``, at most one every ``every`` seconds. The owner's
    loop waits at most :meth:`wake_in` seconds and then calls :meth:`pump`; :meth:`flush`
    writes a held line at once (at the end)."""

    def __init__(self, write: Callable[[str], None] = print_line, every: float = 0.0,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.write = write
        self.every = every
        self.clock = clock
        self.next_at = -float("inf")
        self.held: Optional[str] = None
        self.replaced = 0

    def __call__(self, text: str) -> None:
        self.say(text)

    def say(self, text: str) -> None:
        if self.held is not None:
            self.replaced += 1
        self.held = text
        self.pump()

    def pump(self) -> None:
        if self.held is not None and self.clock() >= self.next_at:
            self.flush()

    def flush(self) -> None:
        if self.held is None:
            return
        text, self.held = self.held, None
        if self.replaced:
            text += f" (after {self.replaced} more since the last line)"
            self.replaced = 0
        self.next_at = self.clock() + self.every
        self.write(text)

    def wake_in(self) -> Optional[float]:
        """Seconds until a held line is due, or None when none is held."""
        return None if self.held is None else max(0.0, self.next_at - self.clock())


def for_stdout() -> StatusLines:
    """The status lines of the program, on its standard output."""
    return StatusLines(print_line, interval_for(sys.stdout))


__all__ = ["LOG_EVERY_S", "StatusLines", "for_stdout", "interval_for", "print_line"]

"""The status line: what the source is doing (waiting for the game, receiving, silent),
how many packets or pages a second arrive, how many were rejected or ignored (and the
size of the last one rejected, and the game whose format it fits, if another's), the
car's key and the page shown. A game that sends to the wrong port (nothing arrives) or in
another format (everything is rejected) shows at a glance.

On a terminal it is one line rewritten in place every second (under the picture of
``--virtual``); elsewhere (a pipe, a journal) a plain line when what it says changes,
through :class:`~torqdash.status.StatusLines` (at most one every few seconds).
"""
import shutil
from typing import Any, Callable, List, Optional, TextIO, Tuple

from torqsim.host import View
from torqsim.screen import TerminalView

from .games import SOURCES
from .games.base import SharedMemoryDecoder, UdpDecoder
from .sources import RECEIVING, Source, UdpSource
from .status import LOG_EVERY_S, StatusLines, print_line
from .telemetry import Telemetry

SILENT_S = 2.0  # receiving, but nothing new for this long: "silent"
EVERY_S = 1.0


def fits_game(packet: bytes, besides: str) -> Optional[str]:
    """The UDP source (other than ``besides``) whose decoder reads this packet, if one does."""
    for name, decoder_type in SOURCES.items():
        if name != besides and issubclass(decoder_type, UdpDecoder):
            decoder = decoder_type()
            if decoder.feed(packet) is not None or decoder.ignored:
                return name
    return None


class Status:
    """Makes the line from a source (and the app's dash: its car and page) and hands it
    to ``show`` every ``every`` seconds; with ``plain``, to those status lines and only
    when what it says changed. Called after every step of the app, as one of its hooks."""

    def __init__(self, source: Source, show: Callable[[str], None], every: float = EVERY_S,
                 plain: Optional[StatusLines] = None, short: bool = False) -> None:
        self.source, self.every, self.plain, self.short = source, every, plain, short
        self.show = show if plain is None else plain.say
        now = source.clock()
        self.car: Optional[str] = None
        self._last_new = now
        self._at, self._next = now, now
        self._counts = self._count()
        self._said: Optional[Tuple[Any, ...]] = None
        self._rejected_at_line = 0
        self._guess: Tuple[bytes, Optional[str]] = (b"", None)

    def _count(self) -> Tuple[int, int]:
        return self.source.datagrams, self.source.received

    def __call__(self, app: Any, telemetry: Optional[Telemetry]) -> bool:
        now = self.source.clock()
        if telemetry is not None:
            self._last_new = now
        if now >= self._next:
            self._next = now + self.every
            self.car = app.dash.car
            self.update(now, app.dash.page)
        if self.plain is not None:
            self.plain.pump()
        return True

    def close(self) -> None:
        if self.plain is not None:
            self.plain.flush()

    def update(self, now: float, page: Optional[str] = None) -> None:
        counts = self._count()
        span = max(now - self._at, self.every)  # (the first update comes at once)
        rate = ((counts[0] - self._counts[0]) / span, (counts[1] - self._counts[1]) / span)
        self._at, self._counts = now, counts
        parts, key = self.parts(now, rate, page)
        if self.plain is not None:
            decoder = self.source.decoder
            key = key + (decoder.rejected > self._rejected_at_line,)
            if key == self._said:
                return
            self._said, self._rejected_at_line = key, decoder.rejected
        self.show(" · ".join(parts))

    def parts(self, now: float, rate: Tuple[float, float],
              page: Optional[str]) -> Tuple[List[str], Tuple[Any, ...]]:
        """The line's parts, and what they say without the counts (for ``plain``)."""
        source, decoder = self.source, self.source.decoder
        udp = isinstance(decoder, UdpDecoder)
        if source.state != RECEIVING:
            state = "waiting for the game"
            reason = getattr(decoder, "reason", "")
            if reason:
                state += f" ({reason})"
            elif isinstance(source, UdpSource) and not self.short:
                state += f" on {source.describe()}"
        elif now - self._last_new >= SILENT_S:
            state = f"silent {now - self._last_new:.0f} s"
        else:
            state = "receiving"
        parts = [state if self.short else f"{decoder.name}: {state}"]
        parts.append(f"{rate[0]:.0f} packets/s" if udp else f"{rate[1]:.0f} pages/s")
        rejected = f"rejected {decoder.rejected}"
        if udp and decoder.rejected:
            rejected += f" (last {len(source.last_rejected)} bytes{self._like()})"
        parts.append(rejected)
        if udp:
            parts.append(f"ignored {decoder.ignored}")
        elif isinstance(decoder, SharedMemoryDecoder) and decoder.torn:
            parts.append(f"torn {decoder.torn}")
        if self.car is not None:
            parts.append(f"car {self.car}")
        if page is not None:
            parts.append(f"page {page}")
        if self.short:
            parts = [part for part in parts if part not in ("rejected 0", "ignored 0")]
        return parts, (state.split(" ")[0], self.car, page)

    def _like(self) -> str:
        packet = self.source.last_rejected
        if packet is not self._guess[0]:
            self._guess = (packet, fits_game(packet, self.source.decoder.name))
        game = self._guess[1]
        return f", {game}'s format" if game else ""


class TerminalLine:
    """One line at the bottom of a terminal, rewritten in place; lines said meanwhile
    are written above it."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.text = ""

    def show(self, text: str) -> None:
        self.text = text
        self._draw()

    def say(self, text: str) -> None:
        self.stream.write("\r\x1b[K" + text + "\n")
        self._draw()

    def _draw(self) -> None:
        # Cut to the terminal's width: a line that wraps is not rewritten by "\r".
        width = shutil.get_terminal_size().columns
        self.stream.write("\r" + self.text[:max(1, width - 1)] + "\x1b[K")
        self.stream.flush()

    def close(self) -> None:
        if self.text:
            self.stream.write("\n")
            self.stream.flush()
            self.text = ""


def for_view(source: Source, view: View) -> Status:
    """The status line of a --virtual session: in the picture's last line where the
    view is drawn in place, else as plain lines among its notes."""
    if isinstance(view, TerminalView):
        def show(text: str) -> None:
            view.status = text
            view.redraw()
        return Status(source, show, short=True)
    return Status(source, view.note, plain=StatusLines(lambda text: view.note(f"torqdash: {text}"),
                                                       LOG_EVERY_S, source.clock))


def for_stdout(source: Source, line: Optional[TerminalLine]) -> Status:
    """The status line on standard output: in place on a terminal (``line``), else plain."""
    if line is not None:
        return Status(source, line.show)
    return Status(source, print_line, plain=StatusLines(lambda text: print_line(f"torqdash: {text}"),
                                                        LOG_EVERY_S, source.clock))

"""``python -m torqdash``: listens for a game's UDP telemetry and drives the board, or a
virtual board drawn in the terminal.

Everything runs on one thread: a socket wait bounded by what the board needs next (a
blink, a frame held back by the rate limit, the next try to reopen the board), the
decoder, the :class:`~torqdash.Dash`, and the watch on the board's channel.
"""
import argparse
import math
import signal
import socket
import sys
import time
from typing import Callable, List, NoReturn, Optional

import torqpanel
from torqsim import VirtualBus
from torqsim.demo import Monitor, board_title, find_real_board
from torqsim.screen import open_view

from .dash import Dash, Layout, LayoutError, load_layout
from .decoders import SOURCES, Decoder

RETRY_S = 2.0
IDLE_WAIT_S = 0.25  # longest socket wait, so that Ctrl-C and a lost board are seen soon
MAX_DATAGRAM = 65535  # read whole: an oversized packet must show its true length


class BoardLink:
    """The board behind a :class:`Dash`: opened with a new ``torqline`` (one whose
    ``init`` succeeded never looks again), watched through its "connected" key, and
    reopened every ``retry`` seconds while it is gone."""

    def __init__(self, dash: Dash, serial: str = "", retry: float = RETRY_S,
                 say: Callable[[str], None] = lambda text: print(text, flush=True),
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.dash = dash
        self.serial = serial
        self.retry = retry
        self.say = say
        self.clock = clock
        self.next_try = -math.inf
        self.line: Optional[torqpanel.torqline] = None
        self._said_missing = self._was_open = False

    def poll(self) -> None:
        now = self.clock()
        if self.line is not None and self.line.get_device_info("connected") != 1:
            self.line = self.dash.board = None  # its teardown closes what is left
            self.next_try = now
            self._said_missing = self._was_open = True
            self.say(f"torqdash: board lost; trying again every {self.retry:g} s")
        if self.line is not None or now < self.next_try:
            return
        self.next_try = now + self.retry
        self.line = find_real_board(self.serial)
        if self.line is None:
            if not self._said_missing:
                self._said_missing = True
                self.say(f"torqdash: no board found; trying again every {self.retry:g} s")
            return
        # A read that fails (the board pulled out) clears "connected" at once, even
        # while nothing changes on the board and nothing is written.
        self.line.start_input_listener()
        self.dash.board = self.line
        self.dash.blanked()
        serial = self.line.get_device_info("serial number") or "(no serial)"
        self.say(f"torqdash: board {serial} {'back' if self._was_open else 'found'}")
        self._said_missing = False

    def wake_in(self) -> Optional[float]:
        return max(0.0, self.next_try - self.clock()) if self.line is None else None


class App:
    """One session: a bound socket, a decoder, a dash and its board link, and when
    virtual, the monitor that draws the virtual board."""

    def __init__(self, sock: socket.socket, decoder: Decoder, dash: Dash, link: BoardLink,
                 monitor: Optional[Monitor] = None) -> None:
        self.sock, self.decoder, self.dash, self.link, self.monitor = (
            sock, decoder, dash, link, monitor)

    def step(self, longest: float = IDLE_WAIT_S) -> None:
        """Waits for one packet (at most ``longest`` seconds, less when the board needs
        something sooner) and shows what it brings."""
        self.link.poll()
        waits = [longest, self.dash.wake_in(self.dash.clock()), self.link.wake_in()]
        self.sock.settimeout(min(wait for wait in waits if wait is not None))
        try:
            packet = self.sock.recv(MAX_DATAGRAM)
        except (socket.timeout, BlockingIOError):  # a wait of 0 polls without blocking
            self.dash.refresh()
        else:
            telemetry = self.decoder.feed(packet)
            if telemetry is None:
                self.dash.refresh()
            else:
                self.dash.show(telemetry)
        if self.monitor is not None:
            self.monitor.pump()


def listen(bind: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in bind else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    try:
        sock.bind((bind, port))
    except BaseException:
        sock.close()
        raise
    return sock


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage block: the command line is short enough to read.
        self.exit(2, f"torqdash: {message} (see python -m torqdash --help)\n")


def _port(text: str) -> int:
    if not text.isdigit() or not 1 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"not a port from 1 to 65535: {text!r}")
    return int(text)


def parser() -> argparse.ArgumentParser:
    main = _Parser(prog="python -m torqdash",
                   description="Shows a racing game's UDP telemetry on the torqpanel board.")
    main.add_argument("source", metavar="SOURCE",
                      help="the game's telemetry: " + ", ".join(
                          f"{name} (port {decoder.port})" for name, decoder in SOURCES.items()))
    main.add_argument("--port", type=_port, metavar="N",
                      help="UDP port to listen on (default: the game's usual one)")
    main.add_argument("--bind", default="127.0.0.1", metavar="ADDR",
                      help="address to listen on (default 127.0.0.1; 0.0.0.0 for another "
                           "machine's game)")
    main.add_argument("--layout", metavar="FILE", help="a TOML layout file")
    main.add_argument("--virtual", action="store_true",
                      help="drive a virtual board drawn in the terminal instead")
    main.add_argument("--serial", default="", metavar="S",
                      help="the serial number of the board to open (with --virtual: the "
                           "virtual board's, default A1B2)")
    return main


def _fail(message: str) -> int:
    print(f"torqdash: {message}", file=sys.stderr)
    return 2


def _terminated(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)  # so that the terminal is given back on SIGTERM too


def main(argv: Optional[List[str]] = None) -> int:
    options = parser().parse_args(argv)
    if options.source not in SOURCES:
        return _fail(f"unknown source {options.source!r}: choose {', '.join(SOURCES)}")
    decoder = SOURCES[options.source]()
    try:
        layout = load_layout(options.layout) if options.layout else Layout()
    except LayoutError as error:
        return _fail(f"bad layout file {options.layout}: {error}")
    port = options.port or decoder.port
    try:
        sock = listen(options.bind, port)
    except (OSError, OverflowError) as error:
        reason = getattr(error, "strerror", None) or str(error)
        return _fail(f"cannot listen on {options.bind} port {port}: {reason}")
    if hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, _terminated)
    with sock:
        start = f"torqdash: {decoder.name} telemetry on UDP {options.bind} port {port}"
        if not options.virtual:
            print(start, flush=True)
            dash = Dash(None, layout)
            return _run(App(sock, decoder, dash, BoardLink(dash, options.serial)))
        with VirtualBus() as bus:
            device = bus.add_board(serial=options.serial or "A1B2", version=0x0105)
            view, _ = open_view(board_title(device, None) + f" · torqdash {decoder.name}")
            view.note(start)
            monitor = Monitor(device, view)
            dash = Dash(None, layout)
            app = App(sock, decoder, dash, BoardLink(dash, options.serial, say=view.note),
                      monitor)
            try:
                return _run(app)
            finally:
                view.finish(monitor.state)


def _run(app: App) -> int:
    try:
        while True:
            app.step()
    except KeyboardInterrupt:
        return 0

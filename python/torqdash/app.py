"""``python -m torqdash``: reads a game's telemetry (UDP datagrams or shared memory) and
drives the board, or a virtual board drawn in the terminal.

Everything runs on one thread: a wait bounded by what the board needs next (a blink, a
frame held back by the rate limit, the next try to reopen the board, the next read of
its buttons and switches) and by the source (its socket, its next poll of shared
memory), the decoder, the :class:`~torqdash.Dash`, and the watch on the board's channel.
"""
import argparse
import math
import signal
import socket
import sys
import time
from typing import Callable, List, NoReturn, Optional, Tuple

import torqpanel
from torqsim import VirtualBus
from torqsim.board import InputPanel
from torqsim.host import Controls as Keys
from torqsim.host import Keyboard, Monitor, board_title, end_quietly, find_real_board, open_view

from .controls import Controls
from .dash import Dash
from .layout import Layout, LayoutError, load_layout
from .games import SOURCES
from .games.base import SharedMemoryDecoder, UdpDecoder
from .session import Session, add_options, parse, replay_source
from .sources import RECEIVING, SHM_DIR, SharedMemorySource, Source, UdpSource, listen, wait
from .status import StatusLines
from .telemetry import Telemetry

RETRY_S = 2.0
IDLE_WAIT_S = 0.25  # longest socket wait, so that Ctrl-C and a lost board are seen soon


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
    """One session: a source, a dash with its board link and the board's controls, and
    when virtual, the monitor that draws the virtual board. What it says goes through a
    :class:`StatusLines` (``say`` itself when it is one, so that the board link can share it)."""

    def __init__(self, source: Source, dash: Dash, link: BoardLink,
                 monitor: Optional[Monitor] = None,
                 say: Callable[[str], None] = lambda text: None) -> None:
        self.source, self.dash, self.link, self.monitor, self.say = (
            source, dash, link, monitor, say)
        self.controls = Controls(dash)
        self.status = say if isinstance(say, StatusLines) else StatusLines(say)
        self._said: Optional[Tuple[str, str]] = None
        #: Called after every step with the telemetry it brought; one that returns
        #: False ends the session (a timed recording, the end of a replay): ``going``.
        self.hooks: List[Callable[[App, Optional[Telemetry]], bool]] = []
        self.going = True

    def step(self, longest: float = IDLE_WAIT_S) -> None:
        """Waits for new data (at most ``longest`` seconds, less when the board or the
        source needs something sooner) and shows what it brings."""
        self.link.poll()
        now = self.dash.clock()
        waits = [longest, self.dash.wake_in(now), self.link.wake_in(), self.source.wake_in(now),
                 self.status.wake_in(), self.controls.wake_in()]
        wait(self.source, min(wait for wait in waits if wait is not None))
        now = self.dash.clock()
        telemetry = self.source.poll(now)
        self.controls.poll()
        if telemetry is None:
            self.dash.refresh()
        else:
            self.dash.show(telemetry, now)  # at the time its recording notes
        decoder = self.source.decoder
        said = (self.source.state, getattr(decoder, "reason", ""))
        if said != self._said:
            self._said = said
            state, reason = said
            self.status.say(f"torqdash: {'receiving' if state == RECEIVING else 'waiting for'} {decoder.game}"
                            + (f": {reason}" if reason else ""))
        self.status.pump()
        if self.monitor is not None:
            self.monitor.pump()
        self.going = all([hook(self, telemetry) for hook in self.hooks]) and self.going


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage block: the command line is short enough to read.
        self.exit(2, f"torqdash: {message} (see python -m torqdash --help)\n")


def _port(text: str) -> int:
    if not text.isdigit() or not 1 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"not a port from 1 to 65535: {text!r}")
    return int(text)


def _describe(name: str) -> str:
    decoder = SOURCES[name]
    if issubclass(decoder, UdpDecoder):
        return f"{name} (UDP port {decoder.port})"
    return f"{name} (shared memory)"


def parser() -> argparse.ArgumentParser:
    main = _Parser(prog="python -m torqdash",
                   description="Shows a racing game's telemetry on the torqpanel board.",
                   epilog="python -m torqdash service install|remove|print SOURCE [options]: "
                          "torqdash as a service that starts with the machine "
                          "(python -m torqdash service --help)")
    main.add_argument("source", metavar="SOURCE",
                      help="the game's telemetry: " + ", ".join(map(_describe, SOURCES)))
    main.add_argument("--port", type=_port, metavar="N",
                      help="UDP port to listen on (default: the game's usual one)")
    everywhere = [name for name, decoder in SOURCES.items()
                  if issubclass(decoder, UdpDecoder) and decoder.bind == "0.0.0.0"]
    main.add_argument("--bind", metavar="ADDR",
                      help=f"address to listen on (default 127.0.0.1, for {', '.join(everywhere)} 0.0.0.0; "
                           "0.0.0.0 for another machine's game)")
    main.add_argument("--console", metavar="ADDR",
                      help="gt7: the address of the PlayStation, which sends only while it "
                           "hears from us (default: ask every machine on the network)")
    main.add_argument("--shm-dir", default=SHM_DIR, metavar="DIR",
                      help=f"Linux: where a shared-memory game's pages are (default {SHM_DIR})")
    main.add_argument("--layout", metavar="FILE", help="a TOML layout file")
    main.add_argument("--virtual", action="store_true",
                      help="drive a virtual board drawn in the terminal instead; its keys press "
                           "the board's buttons and turn its switches, as in torqsim run")
    main.add_argument("--serial", default="", metavar="S",
                      help="the serial number of the board to open (with --virtual: the "
                           "virtual board's, default A1B2)")
    add_options(main)
    return main


def _fail(message: str) -> int:
    print(f"torqdash: {message}", file=sys.stderr)
    return 2


def _terminated(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)  # so that the terminal is given back on SIGTERM too


def open_source(options: argparse.Namespace) -> Source:
    """The source the options name; OSError or OverflowError when its socket cannot be
    bound, ValueError for options that do not fit the source."""
    if getattr(options, "replay", None):  # (set by the replay command)
        return replay_source(options)
    decoder = SOURCES[options.source]()
    if isinstance(decoder, SharedMemoryDecoder):
        if options.port or options.bind or options.console:
            raise ValueError(f"{options.source} is read from shared memory: "
                             "--port, --bind and --console do not apply")
        return SharedMemorySource(decoder, options.shm_dir)
    if options.console and decoder.heartbeat is None:
        raise ValueError(f"--console is for a game that needs a heartbeat (gt7), not {options.source}")
    bind, console = options.bind or decoder.bind, options.console
    family = socket.AF_INET6 if ":" in bind else socket.AF_INET
    if console:  # once: a name looked up on every heartbeat could stall the board
        try:
            console = socket.getaddrinfo(console, decoder.heartbeat_port, family,
                                         socket.SOCK_DGRAM)[0][4][0]
        except (socket.gaierror, UnicodeError) as error:
            raise ValueError(f"cannot find the console {console}: "
                             f"{getattr(error, 'strerror', None) or error}") from None
    elif decoder.heartbeat is not None and family == socket.AF_INET6:
        raise ValueError(f"{options.source} on an IPv6 address: --console ADDR names the game's "
                         "machine (IPv6 has no broadcast to look for it)")
    return UdpSource(listen(bind, options.port or decoder.port), decoder, console)


def main(argv: Optional[List[str]] = None) -> int:
    """The program; it ends quietly when its output is closed and on Ctrl-C."""
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["service"]:
        from .service import main as service_main

        return service_main(argv[1:])
    options = parse(argv, parser)  # and the commands record and replay
    return end_quietly(lambda: _main(options))


def _main(options: argparse.Namespace) -> int:
    if options.source not in SOURCES:
        return _fail(f"unknown source {options.source!r}: choose {', '.join(SOURCES)}")
    try:
        layout = load_layout(options.layout) if options.layout else Layout()
    except LayoutError as error:
        return _fail(f"bad layout file {options.layout}: {error}")
    try:
        source = open_source(options)
    except ValueError as error:
        return _fail(str(error))
    except (OSError, OverflowError) as error:
        reason = getattr(error, "strerror", None) or str(error)
        decoder = SOURCES[options.source]
        port = options.port or getattr(decoder, "port", 0)
        return _fail(f"cannot listen on {options.bind or getattr(decoder, 'bind', '')} "
                     f"port {port}: {reason}")
    try:
        session = Session(options, source)  # --forward, a recording, the status line
    except ValueError as error:
        source.close()
        return _fail(str(error))
    if hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, _terminated)
    try:
        start = f"torqdash: {options.source} telemetry on {source.describe()}"
        if not options.virtual:
            print(start, flush=True)
            dash = Dash(None, layout, source.clock)
            status = session.lines()
            app = App(source, dash, BoardLink(dash, options.serial, say=status), say=status)
            session.attach(app)
            return _run(app)
        with VirtualBus() as bus:
            device = bus.add_board(serial=options.serial or "A1B2", version=0x0105)
            inputs = InputPanel()
            view, _ = open_view(board_title(device, None) + f" · torqdash {options.source}",
                                inputs=inputs, program_input=False)
            view.note(start)
            monitor = Monitor(device, view)
            dash = Dash(None, layout, source.clock)
            app = App(source, dash, BoardLink(dash, options.serial, say=view.note), monitor,
                      say=view.note)
            session.attach(app, view)
            # The keys press the virtual board's buttons, as in torqsim run.
            keyboard = Keyboard(Keys(device, inputs, view, hold=0.2))
            keyboard.start()
            try:
                return _run(app)
            finally:
                keyboard.stop()
                view.finish(monitor.state)
    finally:
        session.close()
        source.close()


def _run(app: App) -> int:
    try:
        while app.going:
            app.step()
    except KeyboardInterrupt:
        return 0
    finally:
        app.status.flush()
    return 0

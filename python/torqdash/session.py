"""What a session of ``python -m torqdash`` adds around its app loop, as the command line
asks: the game's datagrams sent on (``--forward``), a recording (``record``), a replay
(``replay``), the status line, and the end of a timed recording or of a replay."""
import argparse
import math
import os
import sys
from typing import Any, Callable, Dict, List, Optional

from torqsim.host import View

from .forward import Forwarder, target
from .record import Recorder
from .replay import ReplaySource, open_replay
from .sources import SHM_DIR, Source, UdpSource
from .status import StatusLines
from .status import for_stdout as lines_for_stdout
from .statusline import Status, TerminalLine, for_stdout, for_view

COMMANDS = ("record", "replay")


def add_options(parser: argparse.ArgumentParser) -> None:
    """The options of every session that reads a game."""
    parser.add_argument("--forward", action="append", default=[], type=target, metavar="HOST:PORT",
                        help="send every datagram on, unchanged, to this address too (UDP games; "
                             "may be given more than once)")
    parser.add_argument("--no-status", action="store_true",
                        help="no status line (what the game sends, the car, the page)")


def _amount(what: str, zero: bool) -> Callable[[str], float]:
    def amount(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not 0 <= value < math.inf or (value == 0 and not zero):
            raise argparse.ArgumentTypeError(f"not a number of {what} {'from 0' if zero else 'above 0'} "
                                             f"up: {text!r}")
        return value
    return amount


def parse(argv: Optional[List[str]],
          make_parser: Callable[[], argparse.ArgumentParser]) -> argparse.Namespace:
    """The options of ``python -m torqdash [record|replay] ...``: ``record`` takes the
    options of a plain session and FILE and ``--seconds``; ``replay`` its own. Every
    namespace has ``file`` (to record), ``seconds`` and ``replay`` (a file to play)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    command = argv[0] if argv[:1] and argv[0] in COMMANDS else ""
    parser = make_parser()
    if command == "record":
        parser.prog += " record"
        parser.description = "Shows a game's telemetry on the board and records it into FILE."
        parser.add_argument("file", metavar="FILE", help="the recording to write")
        parser.add_argument("--seconds", type=_amount("seconds", False), metavar="N",
                            help="stop after N seconds (default: at Ctrl-C)")
    elif command == "replay":
        session = parser
        parser = type(session)(prog=session.prog + " replay",
                               description="Plays a recording, or an iRacing .ibt file, onto the board.")
        parser.add_argument("replay", metavar="FILE", help="a torqdash recording or an iRacing .ibt file")
        parser.add_argument("--speed", type=_amount("times the recorded pace", True), default=1.0,
                            metavar="X", help="X times the recorded pace (default 1; 0: as fast as it can)")
        parser.add_argument("--loop", action="store_true", help="start again at the end")
        for action in session._actions:  # the board's options, as a session that reads a game has them
            if action.dest in ("layout", "virtual", "serial", "no_status"):
                parser._add_action(action)
    options = parser.parse_args(argv[1:] if command else argv)
    defaults: Dict[str, Any] = dict(file=None, seconds=None, replay=None, forward=[], port=None, bind=None,
                    console=None, shm_dir=SHM_DIR)
    for name, value in defaults.items():
        if not hasattr(options, name):
            setattr(options, name, value)
    if options.replay:
        try:
            opened = open_replay(options.replay)
        except OSError as error:
            parser.error(f"cannot read {options.replay}: {error.strerror or error}")
        except ValueError as error:
            parser.error(str(error))
        options.source = opened.source_name
        opened.close()
    return options


def replay_source(options: argparse.Namespace) -> Source:
    """The replay the options name; ValueError when it cannot be read."""
    try:
        return open_replay(options.replay, options.speed, options.loop)
    except OSError as error:
        raise ValueError(f"cannot read {options.replay}: {error.strerror or error}") from None


class Session:
    """The parts of a session beside its app: made from the options for a source (a
    ValueError says what the options ask that cannot be done), attached to the app
    (:meth:`attach`), closed at the end (:meth:`close`, which says how it ended)."""

    def __init__(self, options: argparse.Namespace, source: Source) -> None:
        self.options, self.source = options, source
        self.line = TerminalLine(sys.stdout) if (
            not options.virtual and not options.no_status and sys.stdout.isatty()) else None
        self.forwarder: Optional[Forwarder] = None
        self.recorder: Optional[Recorder] = None
        self.status: Optional[Status] = None
        try:
            if options.forward:
                if not isinstance(source, UdpSource):
                    raise ValueError(f"--forward sends a UDP game's datagrams on: {options.source} "
                                     "is read from shared memory")
                self.forwarder = Forwarder(options.forward, source.sock.getsockname()[:2])
                source.listeners.append(self.forwarder)
            if options.file:
                try:
                    self.recorder = Recorder(options.file, source, say=self.say)
                except OSError as error:
                    raise ValueError(f"cannot write {options.file}: {error.strerror or error}") from None
                self.recorder.attach()
        except BaseException:
            self.close()
            raise

    def say(self, text: str) -> None:
        """A line of the session's own: above the status line, where that is drawn in place."""
        if self.line is not None:
            self.line.say(text)
        else:
            print(text, flush=True)

    def lines(self) -> StatusLines:
        """The lines of the app on standard output (above the status line on a terminal)."""
        return StatusLines(self.line.say) if self.line is not None else lines_for_stdout()

    def attach(self, app: Any, view: Optional[View] = None) -> None:
        """Adds the session's parts to the app's hooks; ``view``: a --virtual session's."""
        options, source = self.options, self.source
        if not options.no_status:
            self.status = for_view(source, view) if view is not None else for_stdout(source, self.line)
            app.hooks.append(self.status)
        if options.seconds is not None:
            deadline = source.clock() + options.seconds
            app.hooks.append(lambda app, telemetry: source.clock() < deadline)
        if isinstance(source, ReplaySource):
            app.hooks.append(lambda app, telemetry: not source.finished)

    def close(self) -> None:
        if self.status is not None:
            self.status.close()
        if self.line is not None:
            self.line.close()
        if self.forwarder is not None:
            self.forwarder.close()
        recorder, source = self.recorder, self.source
        if recorder is not None:
            recorder.close()
            if not recorder.stopped:
                size = _size(recorder.path)
                self.say(f"torqdash: recorded {recorder.end - recorder.start:.1f} s to {recorder.path}"
                         + (f" ({size})" if size else ""))
        if isinstance(source, ReplaySource):
            self.say(f"torqdash: {source.problem}" if source.problem
                     else "torqdash: end of the recording" if source.finished else "torqdash: replay stopped")


def _size(path: str) -> str:
    try:
        size = os.path.getsize(path)
    except OSError:
        return ""
    return f"{size / 1e6:.1f} MB" if size >= 100_000 else f"{size / 1e3:.1f} kB"


"""``python -m torqsim run PROGRAM.py [args]``: a host program, unchanged, against a
virtual board that is drawn in the terminal and that the keyboard presses.

The program runs in this process (as ``__main__``, with its own ``sys.argv``) while a
virtual bus is active, so its ``torqline().init()`` finds the virtual board. A thread
takes the reports the board receives and redraws the picture; another reads keys and
sends the board's input reports, which the program gets from ``get_input_data`` as it
would from a real board.
"""
import os
import runpy
import signal
import sys
import threading
import traceback
from typing import List, Optional

from . import VirtualBus
from .board import BLANK_DISPLAY, InputPanel
from .demo import write_snapshot
from .host import Controls, Keyboard, Monitor
from .screen import OUTPUT_CLOSED, TerminalView, open_view


class ProgramInput:
    """The program's standard input while the terminal's keys are the board's: Enter
    reaches it as a line of its own (enough for a program that waits for Enter) and
    Ctrl-D as the end of its input; every other key stays the board's."""

    def __init__(self) -> None:
        read, self._write = os.pipe()
        self.stream = os.fdopen(read, "r", encoding="utf-8")

    def key(self, name: str) -> bool:
        """Takes the key when it is the program's; True when it did."""
        if self._write < 0 or name not in ("\r", "\n", "\x04"):
            return False
        if name == "\x04":
            self.close_writer()
        else:
            os.write(self._write, b"\n")
        return True

    def close_writer(self) -> None:
        if self._write >= 0:
            os.close(self._write)
            self._write = -1

    def close(self) -> None:
        self.close_writer()
        self.stream.close()


def _exit_status(code: object) -> int:
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def _interrupt_main() -> None:
    """Ends the program as Ctrl-C would: a signal to the main thread wakes it from a
    blocking call too (where there are no such signals, the flag that Python checks
    between instructions)."""
    if hasattr(signal, "pthread_kill"):
        signal.pthread_kill(threading.main_thread().ident or 0, signal.SIGINT)
    else:  # pragma: no cover - Windows
        import _thread

        _thread.interrupt_main()


def _program_traceback(error: BaseException, path: str) -> None:
    """The traceback from the program's own frames on, as Python would print it."""
    tb = error.__traceback__
    while tb is not None and os.path.abspath(tb.tb_frame.f_code.co_filename) != path:
        tb = tb.tb_next
    traceback.print_exception(type(error), error, tb or error.__traceback__)


def run_program(program: str, args: List[str], serial: str = "A1B2",
                snapshot: Optional[str] = None, hold: float = 0.2) -> int:
    """Runs ``program`` with ``args`` against a virtual board; returns its exit status
    (130 when it ended by Ctrl-C without handling it). When the output is closed (a pipe
    into ``head`` that ended), the program is interrupted as by Ctrl-C, and whatever it
    does then, the run ends quietly with OUTPUT_CLOSED."""
    path = os.path.abspath(program)
    if not os.path.isfile(path):
        print(f"torqsim run: no program {program!r}", file=sys.stderr)
        return 2
    inputs = InputPanel()
    with VirtualBus() as bus:
        device = bus.add_board(serial=serial, version=0x0105)
        title = (f"torqpanel · virtual board · serial {serial} · "
                 f"program {os.path.basename(path)}")
        view, terminal = open_view(title, inputs=inputs, events=False)
        monitor = Monitor(device, view)
        program_input = (ProgramInput() if sys.stdin is not None and sys.stdin.isatty()
                         else None)
        keyboard = Keyboard(Controls(device, inputs, view, hold),
                            take=program_input.key if program_input is not None else None)
        stopping = threading.Event()

        def watch() -> None:
            size = terminal.measure() if terminal is not None else None
            while not stopping.wait(0.01):
                try:
                    pumped = monitor.pump()
                except BrokenPipeError:
                    _interrupt_main()
                    return
                if pumped == 0 and terminal is not None and isinstance(
                        view, TerminalView) and terminal.measure() != size:
                    size = terminal.measure()
                    view.redraw()

        watcher = threading.Thread(target=watch, name="torqsim board", daemon=True)
        saved_argv, saved_path, saved_stdin = sys.argv, list(sys.path), sys.stdin
        sys.argv = [program] + list(args)
        sys.path.insert(0, os.path.dirname(path))
        if program_input is not None:
            sys.stdin = program_input.stream
        failure: Optional[BaseException] = None
        status = 0
        # What the program's globals hang on (its result, or the exception with its
        # frames) is held until the last picture is drawn: the program's torqline then
        # still stands, and the picture shows the board as the program left it rather
        # than the blank display its teardown sends afterwards.
        held: object = None
        try:
            keyboard.start()
            watcher.start()
            held = runpy.run_path(path, run_name="__main__")
        except SystemExit as exit_request:
            held = exit_request
            status = _exit_status(exit_request.code)
        except KeyboardInterrupt as interrupt:
            held = interrupt
            status = 130
        except BaseException as error:  # the program's own failure, shown as Python would
            failure = error
            status = 1
        finally:
            sys.argv, sys.path[:], sys.stdin = saved_argv, saved_path, saved_stdin
            stopping.set()
            if watcher.is_alive():
                watcher.join(timeout=2.0)
            keyboard.stop()
            if program_input is not None:
                program_input.close()
            final = monitor.state
            try:
                monitor.pump()
                closed = device.open_handles == 0 and monitor.last_report == BLANK_DISPLAY
                if closed:
                    # The program's torqline went away with the program and blanked the
                    # board, as it does a real one; the board before that is more use.
                    final = monitor.before_last
                view.finish(final)
                if closed:
                    view.note("torqsim run: the picture shows the board before the "
                              "program's torqline blanked it on closing")
            except BrokenPipeError:
                pass  # the view is closed now: what follows sees it
            if snapshot and not view.closed:
                write_snapshot(snapshot, final, title, inputs)
            del held
    if view.closed:
        # Whatever the program made of its closed output (a BrokenPipeError of its own
        # print, the interruption), the run ends as a program that SIGPIPE ended.
        return OUTPUT_CLOSED
    if failure is not None:
        _program_traceback(failure, path)
    return status

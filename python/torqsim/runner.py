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
import sys
import threading
import traceback
from typing import List, Optional

from . import VirtualBus
from .board import BLANK_DISPLAY, InputPanel
from .demo import write_snapshot
from .host import Controls, Keyboard, Monitor
from .screen import TerminalView, open_view

def _exit_status(code: object) -> int:
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def _program_traceback(error: BaseException, path: str) -> None:
    """The traceback from the program's own frames on, as Python would print it."""
    tb = error.__traceback__
    while tb is not None and os.path.abspath(tb.tb_frame.f_code.co_filename) != path:
        tb = tb.tb_next
    traceback.print_exception(type(error), error, tb or error.__traceback__)


def run_program(program: str, args: List[str], serial: str = "A1B2",
                snapshot: Optional[str] = None, hold: float = 0.2) -> int:
    """Runs ``program`` with ``args`` against a virtual board; returns its exit status
    (130 when it ended by Ctrl-C without handling it)."""
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
        keyboard = Keyboard(Controls(device, inputs, view, hold))
        stopping = threading.Event()

        def watch() -> None:
            size = terminal.measure() if terminal is not None else None
            while not stopping.wait(0.01):
                if monitor.pump() == 0 and terminal is not None and isinstance(
                        view, TerminalView) and terminal.measure() != size:
                    size = terminal.measure()
                    view.redraw()

        watcher = threading.Thread(target=watch, name="torqsim board", daemon=True)
        saved_argv, saved_path = sys.argv, list(sys.path)
        sys.argv = [program] + list(args)
        sys.path.insert(0, os.path.dirname(path))
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
            sys.argv, sys.path[:] = saved_argv, saved_path
            stopping.set()
            if watcher.is_alive():
                watcher.join(timeout=2.0)
            keyboard.stop()
            monitor.pump()
            final = monitor.state
            closed = device.open_handles == 0 and monitor.last_report == BLANK_DISPLAY
            if closed:
                # The program's torqline went away with the program and blanked the
                # board, as it does a real one; the board before that is more use.
                final = monitor.before_last
            view.finish(final)
            if closed:
                view.note("torqsim run: the picture shows the board before the program's "
                          "torqline blanked it on closing")
            if snapshot:
                write_snapshot(snapshot, final, title, inputs)
            del held
    if failure is not None:
        _program_traceback(failure, path)
    return status

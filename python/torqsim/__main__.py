"""python -m torqsim: the board simulator.

    python -m torqsim demo [--frames N] [--fps F] [--board auto|virtual|real] [--snapshot OUT.svg]
    python -m torqsim run [--serial S] [--hold MS] [--snapshot OUT.svg] PROGRAM.py [ARGS...]
    python -m torqsim snapshot OUT.svg [--frames N | --report HEX ...]
    python -m torqsim udev install [--root DIR]
"""
import argparse
import signal
import sys
from typing import List, Optional

from .board import REPORT_SIZE, BoardState
from .screen import end_quietly


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _not_negative(text: str) -> float:
    value = float(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a number from 0 up, not {text!r}")
    return value


def _report(text: str) -> bytes:
    try:
        data = bytes.fromhex(text.replace(":", " "))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not hexadecimal bytes: {text!r}") from None
    if len(data) < 2:
        raise argparse.ArgumentTypeError("a report holds at least 2 bytes")
    return data


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(
        prog="python -m torqsim",
        description="A virtual torqpanel board, drawn in the terminal.")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = commands.add_parser(
        "demo", help="a telemetry demo driving a virtual board through torqpanel",
        description="A car laps a circuit on the board: the RPM bar, gears, lap time, "
                    "speed, warning LEDs, brightness and rumble. Runs until Ctrl-C.")
    demo.add_argument("--frames", type=_positive, metavar="N",
                      help="stop after the board has received N reports")
    demo.add_argument("--fps", type=_not_negative, default=30.0, metavar="F",
                      help="telemetry frames per second (default 30; 0: as fast as "
                           "possible, the same frames)")
    demo.add_argument("--board", choices=("auto", "virtual", "real"), default="auto",
                      help="auto (default): also drive a board attached to this computer "
                           "when one is found; virtual: never look; real: require one")
    demo.add_argument("--snapshot", metavar="OUT.svg",
                      help="write the board's last state as SVG at the end")

    run = commands.add_parser(
        "run", help="run a host program against a virtual board you can watch and press",
        usage="python -m torqsim run [-h] [--serial S] [--hold MS] [--snapshot OUT.svg] "
              "PROGRAM.py [ARGS ...]",
        description="Runs PROGRAM.py unchanged; its torqline().init() finds the virtual "
                    "board. Keys press the board's buttons and turn its switches (shown "
                    "on screen); Ctrl-C quits. Options go before PROGRAM.py; what follows "
                    "it is the program's own arguments.")
    run.add_argument("--serial", default="A1B2",
                     help="serial number of the virtual board (default A1B2)")
    run.add_argument("--hold", type=_not_negative, default=200.0, metavar="MS",
                     help="how long a tapped button stays down (default 200 ms)")
    run.add_argument("--snapshot", metavar="OUT.svg",
                     help="write the board's last state as SVG when the program ends")
    # Optional for argparse only: with a required program and a remainder after it,
    # argparse would name both as required when the program is missing.
    run.add_argument("program", nargs="?", metavar="PROGRAM.py", help="the host program")
    run.add_argument("args", nargs=argparse.REMAINDER, metavar="ARGS",
                     help="the program's own arguments")
    run.set_defaults(usage_error=run.error)

    snapshot = commands.add_parser(
        "snapshot", help="write a picture of a board state as SVG",
        description="Writes the state of the demo's board after N reports, or the state "
                    "that the given reports (hex, report-ID byte first) leave.")
    snapshot.add_argument("out", metavar="OUT.svg")
    source = snapshot.add_mutually_exclusive_group()
    source.add_argument("--frames", type=_positive, default=200, metavar="N",
                        help="reports of the demo to run first (default 200)")
    source.add_argument("--report", type=_report, action="append", metavar="HEX",
                        help=f"an output report the board received ({REPORT_SIZE} bytes "
                             "as hex); repeat for several, oldest first")

    udev = commands.add_parser(
        "udev", help="Linux: install the udev rule that lets users open the board",
        description="Copies the shipped udev rule into /etc/udev/rules.d and has udev apply "
                    "it (as root; otherwise prints the commands to run).")
    udev.add_argument("action", choices=("install",))
    udev.add_argument("--root", metavar="DIR",
                      help="install into DIR instead of / and run nothing (for packaging and tests)")
    return main


def _terminated(signum: int, frame: object) -> None:
    # A plain SIGTERM would skip the clean-up that gives the terminal back.
    raise SystemExit(128 + signum)


def main(argv: Optional[List[str]] = None) -> int:
    """The program; it ends quietly when its output is closed and on Ctrl-C."""
    options = parser().parse_args(argv)
    if options.command == "run" and options.program is None:
        options.usage_error("the following arguments are required: PROGRAM.py")
    return end_quietly(lambda: _main(options))


def _main(options: argparse.Namespace) -> int:
    if hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, _terminated)
    if options.command == "demo":
        from .demo import run_demo

        return run_demo(frames=options.frames, fps=options.fps, board=options.board,
                        snapshot=options.snapshot)
    if options.command == "run":
        from .runner import run_program

        return run_program(options.program, options.args, serial=options.serial,
                           snapshot=options.snapshot, hold=options.hold / 1000)
    if options.command == "udev":
        from .udev_rule import install

        return install(options.root)
    from .demo import run_demo, write_snapshot

    if options.report:
        write_snapshot(options.out, BoardState.from_reports(options.report),
                       "torqpanel · reports given")
    else:
        import io

        # The demo, quietly, on the virtual board only; Ctrl-C leaves no snapshot.
        status = run_demo(frames=options.frames, fps=0, board="virtual",
                          snapshot=options.out, stream=io.StringIO(), interruptible=False)
        if status:
            return status
    print(f"torqsim snapshot: wrote {options.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

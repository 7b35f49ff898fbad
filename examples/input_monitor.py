"""Prints the board's button and switch events.

Runs on a board attached to this computer, or unchanged on a virtual one whose buttons
you press with the keyboard:

    python3 examples/input_monitor.py
    python3 -m torqsim run examples/input_monitor.py

Ctrl-C stops it (or --events N: stop after N events).
"""
import argparse
import sys
import time
from typing import List, Optional

import torqpanel


def describe(is_button: int, number: int, value: int) -> str:
    if is_button:
        # A pressed button's value is its bit within its report byte plus one.
        return f"button {number} {'pressed' if value else 'released'}"
    return f"switch {number} at {value}"


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, help="stop after this many events")
    options = parser.parse_args(argv)

    dash = torqpanel.torqline()
    if not dash.init():
        print("no board found (see the README's troubleshooting)", file=sys.stderr)
        return 1
    dash.start_input_listener()
    print("waiting for buttons and switches (Ctrl-C stops)", flush=True)
    seen = 0
    try:
        while options.events is None or seen < options.events:
            data = dash.get_input_data()
            # None only while no listener runs; type 0 is the empty snapshot.
            if data is not None:
                device_type, is_button, number, value, changed = data
                if changed and device_type:
                    print(describe(is_button, number, value), flush=True)
                    seen += 1
            time.sleep(0.005)
    except KeyboardInterrupt:
        print("stopped", flush=True)
    finally:
        dash.stop_input_listener()
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Shift lights and gear from a simulated telemetry source.

Runs on a board attached to this computer, or unchanged on a virtual one:

    python3 examples/shift_light.py
    python3 -m torqsim run examples/shift_light.py

The RPM bar fills from 5000 rpm and flashes from the shift point until the car shifts
up; the gear digit shows the gear (its point lit while the bar flashes); the left panel
shows the speed. Ctrl-C stops it (or --seconds N).
"""
import argparse
import sys
import time
from typing import Iterator, List, Optional, Tuple

import torqpanel

FIRST_LED_RPM = 5000
SHIFT_RPM = 8200
RATIOS = (125, 90, 70, 57, 48, 41)  # rpm per km/h in gears 1 to 6
FPS = 30


def telemetry() -> Iterator[Tuple[int, int, int]]:
    """(gear, rpm, speed in km/h), FPS times a second: full throttle through the
    gears, a moment at the shift point before each shift, then braking, again and again."""
    while True:
        speed, gear = 20.0, 1
        while gear <= len(RATIOS):
            rpm = speed * RATIOS[gear - 1]
            yield gear, int(rpm), int(speed)
            speed += 45.0 / gear / FPS
            if rpm >= SHIFT_RPM:
                for _ in range(FPS // 4):  # the driver is a little late
                    yield gear, int(rpm), int(speed)
                gear += 1
                if gear > len(RATIOS):
                    break
        gear = len(RATIOS)
        while speed > 20:
            speed -= 90.0 / FPS
            while gear > 1 and speed * RATIOS[gear - 1] < 4500:
                gear -= 1
            yield gear, int(speed * RATIOS[gear - 1]), int(speed)


def lit_leds(rpm: int) -> int:
    """How many of the nine RPM LEDs to light below the shift point."""
    step = (SHIFT_RPM - FIRST_LED_RPM) / 9
    return max(0, min(9, int((rpm - FIRST_LED_RPM) / step) + 1)) if rpm >= FIRST_LED_RPM else 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, help="stop after this long")
    options = parser.parse_args(argv)

    dash = torqpanel.torqline()
    if not dash.init():
        print("no board found (see the README's troubleshooting)", file=sys.stderr)
        return 1
    dash.set_brightness(254)
    start = time.monotonic()
    try:
        for frame, (gear, rpm, speed) in enumerate(telemetry()):
            shift = rpm >= SHIFT_RPM
            blink = frame // 3 % 2 == 0
            for led in range(1, 10):
                on = blink if shift else led <= lit_leds(rpm)
                dash.set_rpm_led(led, 1 if on else 0)
            # The left and the central panel show the same text; the gear then takes
            # the central panel over, so the left panel keeps the speed.
            dash.set_central_panel(f"{speed:3d}")
            dash.set_gear(str(gear), shift and blink)
            dash.show_me()
            if options.seconds is not None and time.monotonic() - start >= options.seconds:
                break
            time.sleep(1 / FPS)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

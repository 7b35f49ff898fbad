"""One full dashboard frame: torqpanel on a virtual board against the same frame built
and written by plain Python.

The frame: the gear, the central text, nine RPM LEDs, six warning LEDs, both rumble
motors and the send. The pure-Python baseline edits a bytearray, encodes the text in
Python and hands the 54 bytes to os.write on /dev/null, which is what a host program
without this module would do. Run by hand: python bench/frame.py [--frames N]
"""
import argparse
import os
import statistics
import time

import torqpanel
import torqsim


def torqpanel_frame(dash, i):
    dash.set_gear(i % 7 + 48)
    dash.set_central_panel("1.2")
    for led in range(1, 10):
        dash.set_rpm_led(led, (i >> (led % 4)) & 1)
    for led in range(1, 7):
        dash.set_warning_led(led, (i >> led) & 1)
    dash.load_rumble_motor(1, i & 0xFF)
    dash.load_rumble_motor(2, 255 - (i & 0xFF))
    dash.show_me()


def encode_left(text):
    codes = []
    for byte in text.encode():
        if byte in (0x2E, 0x3A):
            if codes:
                codes[-1] = (codes[-1] + 0x80) & 0xFF
        else:
            codes.append(byte)
    return bytes((codes + [0, 0, 0])[:3])


def compose_frame(report, i):
    """Edits the 54-byte report the way a pure-Python host program would."""
    gear = i % 7 + 48
    report[39] = gear
    report[2:5] = bytes((0x20, gear, 0x20))
    codes = encode_left("1.2")
    report[2:5] = codes
    report[27:30] = codes
    for led in range(1, 10):
        report[4 + led] = (i >> (led % 4)) & 1
    for led in range(1, 7):
        report[15 + led] = (i >> led) & 1
    report[14] = i & 0xFF
    report[15] = 255 - (i & 0xFF)
    report[0], report[1] = 0x00, 0x06


def python_frame(report, fd, i):
    compose_frame(report, i)
    os.write(fd, report)


def measure(frame, frames, batch=100):
    """Median time of one frame, from the medians of batches of `batch` frames."""
    samples = []
    i = 0
    for _ in range(frames // batch):
        start = time.perf_counter_ns()
        for _ in range(batch):
            frame(i)
            i += 1
        samples.append((time.perf_counter_ns() - start) / batch)
    return statistics.median(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200_000)
    frames = parser.parse_args().frames

    with torqsim.VirtualBus() as bus:
        board = bus.add_board()
        dash = torqpanel.torqline()
        assert dash.init()
        fd = os.open(os.devnull, os.O_WRONLY)
        report = bytearray(54)
        ours, baseline = [], []
        # Interleave the two so that both see the same machine load.
        for _ in range(5):
            ours.append(measure(lambda i: torqpanel_frame(dash, i), frames // 5))
            board.clear_frames()
            baseline.append(measure(lambda i: python_frame(report, fd, i), frames // 5))
        os.close(fd)
        del dash

    ours_ns, base_ns = statistics.median(ours), statistics.median(baseline)
    print(f"torqpanel frame (virtual board): {ours_ns / 1000:8.3f} us median")
    print(f"pure-Python frame (/dev/null):   {base_ns / 1000:8.3f} us median")
    print(f"ratio torqpanel / pure Python:   {ours_ns / base_ns:8.3f}")
    print(f"share of a 1 ms USB frame:       {ours_ns / 1e6 * 100:8.3f} %")


if __name__ == "__main__":
    main()

"""One full dashboard frame on a real kernel's hidraw board: torqpanel against what a
Linux user would otherwise write, hidapi from Python.

The frame: the gear, the central text, nine RPM LEDs, six warning LEDs, both rumble
motors and the send. The baseline is the `hid` package from PyPI (ctypes over the
system's libhidapi-hidraw0) opening the same node and writing a 54-byte `bytes` frame
that Python code composed. Both run in one program inside the kernel guest of
tests/kernel/vm.py, against a USB gadget board (tests/kernel/gadget.py) whose firmware
reads every report; the cost of the USB transfer itself, the same for both, is measured
too, as a bare write() of a ready frame, so that what each library adds on top can be
compared.

Needs libhidapi-hidraw0 (Debian) and the `hid` package on the module path, for example:
    pip install --target /tmp/hid-site hid
    python3 tests/kernel/vm.py -- env PYTHONPATH=/tmp/hid-site python3 bench/hidraw_frame.py [--frames N]
"""
import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import time

import hid

import torqpanel
from torqsim import BOARD_DESCRIPTOR

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH.parent / "tests" / "kernel"))

from frame import compose_frame, torqpanel_frame  # noqa: E402  (the frame of bench/frame.py)
from gadget import Gadget  # noqa: E402


def hidapi_frame(report, device, i):
    compose_frame(report, i)
    device.write(bytes(report))


# Median time of one frame per path. The paths take turns batch by batch, so that every
# path sees the same machine and USB load.
def measure(paths, frames, batch=100):
    samples = {name: [] for name in paths}
    i = 0
    for _ in range(max(frames // batch, 1)):
        for name, frame in paths.items():
            start = time.perf_counter_ns()
            for k in range(i, i + batch):
                frame(k)
            samples[name].append((time.perf_counter_ns() - start) / batch)
        i += batch
    return {name: statistics.median(values) for name, values in samples.items()}


def run(frames, node):
    dash = torqpanel.torqline()
    assert dash.init(), "the gadget board was not found"
    device = hid.Device(path=node.encode())
    fd = os.open(node, os.O_WRONLY | os.O_CLOEXEC | os.O_NOCTTY)
    report = bytearray(54)
    ready = bytes(54)
    results = measure({
        "torqpanel": lambda i: torqpanel_frame(dash, i),
        "hidapi": lambda i: hidapi_frame(report, device, i),
        "write": lambda i: os.write(fd, ready),
    }, frames)
    os.close(fd)
    device.close()
    del dash
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=3_000)
    frames = parser.parse_args().frames

    with tempfile.TemporaryDirectory() as directory:
        board = Gadget("bench", BOARD_DESCRIPTOR, serial="BENCH", serve=pathlib.Path(directory))
        try:
            results = run(frames, board.hidraw)
            sent = board.firmware.frames()
        finally:
            board.remove()

    ours, theirs, floor = results["torqpanel"], results["hidapi"], results["write"]
    ours_us, theirs_us, floor_us = ours / 1000, theirs / 1000, floor / 1000
    print(f"frames per path:                    {frames} ({len(sent)} writes reached the board)")
    print(f"torqpanel frame (hidraw):           {ours_us:8.2f} us median")
    print(f"hidapi frame from Python (hidraw):  {theirs_us:8.2f} us median")
    print(f"bare write() of a ready frame:      {floor_us:8.2f} us median (usbhid to the gadget)")
    print(f"ratio torqpanel / hidapi:           {ours / theirs:8.3f}")
    print(f"above the bare write: torqpanel {ours_us - floor_us:.2f} us, "
          f"hidapi {theirs_us - floor_us:.2f} us, ratio {(ours - floor) / (theirs - floor):.3f}")


if __name__ == "__main__":
    main()

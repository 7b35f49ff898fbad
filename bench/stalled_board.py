"""A board that stops reading its output endpoint, on a real kernel: how long a hidraw
write() blocks, what it returns, and what show_me does meanwhile and afterwards; then a
write that is waiting when the board is unplugged.

Figures, not checks (tests/kernel/test_hidraw.py checks what must hold). Runs in the
kernel guest:
    python3 tests/kernel/vm.py -- python3 bench/stalled_board.py
"""
import errno
import os
import pathlib
import sys
import tempfile
import threading
import time

import torqpanel
from torqsim import BOARD_DESCRIPTOR

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "kernel"))
from gadget import Gadget  # noqa: E402


def timed_write(fd, report):
    start = time.monotonic()
    try:
        result = f"{os.write(fd, report)} bytes"
    except OSError as error:
        result = f"-1 {errno.errorcode[error.errno]}"
    return f"{result} after {time.monotonic() - start:.3f} s"


def ticks_during(call):
    """Runs call() while another Python thread counts 1 ms sleeps: (seconds, ticks)."""
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            time.sleep(0.001)
            ticks[0] += 1
    counter = threading.Thread(target=count)
    counter.start()
    start = time.monotonic()
    call()
    elapsed = time.monotonic() - start
    done.set()
    counter.join()
    return elapsed, ticks[0]


def main():
    with tempfile.TemporaryDirectory() as directory:
        board = Gadget("stall", BOARD_DESCRIPTOR, serial="STALL", serve=pathlib.Path(directory))
        try:
            fd = os.open(board.hidraw, os.O_WRONLY)
            board.firmware.stall()
            for i in range(7):
                print(f"hidraw write {i + 1} to the stalled board: {timed_write(fd, bytes([0, 6, i]) + bytes(51))}")
            board.firmware.resume()
            print(f"the board read, once resumed: {len(board.firmware.frames(4))} reports")
            os.close(fd)

            dash = torqpanel.torqline()
            assert dash.init()
            board.firmware.stall()
            for i in range(6):
                seconds, ticks = ticks_during(dash.show_me)
                print(f"show_me {i + 1} to the stalled board: {seconds:.3f} s; another Python thread "
                      f"ticked {ticks} times meanwhile")
            board.firmware.resume()
            dash.set_gear("7")
            dash.show_me()
            time.sleep(0.5)
            last = board.firmware.frames()[-1]
            print(f"after resuming, the next show_me reached the board: {last[38] == 0x37}")

            fd = os.open(board.hidraw, os.O_WRONLY)
            board.firmware.stall()
            for _ in range(4):
                os.write(fd, bytes(54))
            outcome = []
            writer = threading.Thread(target=lambda: outcome.append(timed_write(fd, bytes(54))))
            writer.start()
            time.sleep(1)
            board.unplug()
            writer.join()
            print(f"a write waiting when the board is unplugged (1 s into its wait): {outcome[0]}")
            print(f"a write after the unplug: {timed_write(fd, bytes(54))}")
            os.close(fd)
            del dash
        finally:
            board.remove()


if __name__ == "__main__":
    main()

"""A stalled board on the virtual bus: how fast a second Python thread keeps ticking while
show_me waits on the board, as a ratio to its rate beside a healthy board; and the frame
time of show_me on a healthy board, as a ratio to a baseline build of the module measured
in the same run (each in a child process of its own, rounds alternating).

Run by hand:
    python bench/stalled_virtual.py [--seconds S] [--baseline SITE]
SITE is a directory the baseline module and its torqsim were installed into, e.g.
    pip install --no-deps --target /tmp/main-site <a checkout of main>
"""
import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

import torqpanel
import torqsim


def ticks_per_second(board, dash, seconds):
    """show_me in a loop on this thread; another thread counts its 1 ms sleeps."""
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            time.sleep(0.001)
            ticks[0] += 1
    counter = threading.Thread(target=count)
    counter.start()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        dash.show_me()
        board.clear_frames()
    done.set()
    counter.join()
    return ticks[0] / seconds


def frame_seconds(frames):
    """Median of 5 runs of `frames` show_me calls on a healthy virtual board, per frame."""
    with torqsim.VirtualBus() as bus:
        board = bus.add_board()
        dash = torqpanel.torqline()
        assert dash.init()
        runs = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(frames):
                dash.show_me()
            runs.append((time.perf_counter() - start) / frames)
            board.clear_frames()
        del dash
    return statistics.median(runs)


def child_frame_time(site, frames):
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site + os.pathsep + env.get("PYTHONPATH", "")
    code = f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); " \
           f"import stalled_virtual as s; print(); print(s.frame_seconds({frames}))"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])  # after the guard's line of a second process


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--baseline", help="site directory of the baseline module")
    args = parser.parse_args()

    with torqsim.VirtualBus() as bus:
        board = bus.add_board()
        dash = torqpanel.torqline()
        assert dash.init()
        healthy = ticks_per_second(board, dash, args.seconds)
        board.stall(timeout=0.2)  # each show_me waits 0.2 s, then times out
        stalled = ticks_per_second(board, dash, args.seconds)
        timed_out = board.timed_out_writes
        board.resume()
        connected = dash.get_device_info("connected")
        del dash
    print(f"second thread: {healthy:.0f} ticks/s beside a healthy board, {stalled:.0f} ticks/s while "
          f"{timed_out} writes waited on a stalled one (connected stays {connected}): "
          f"ratio {stalled / healthy:.2f}")

    if args.baseline:
        ours, theirs = [], []
        for _ in range(5):
            ours.append(child_frame_time(None, args.frames))
            theirs.append(child_frame_time(args.baseline, args.frames))
        o, t = statistics.median(ours), statistics.median(theirs)
        print(f"frame (show_me, healthy board): {o * 1e6:.2f} us, baseline {t * 1e6:.2f} us: "
              f"ratio {o / t:.2f}")


if __name__ == "__main__":
    main()

"""Bounded soak of the module on the virtual bus.

Several Python threads call the setters, show_me, get_input_data and get_device_info on
one object while its listener decodes the reports a feeder sends at 1000 per second; a
churn thread keeps creating, initialising, listening with and deleting a second object;
the listener of the first is stopped and started now and then. Resident memory, open
descriptors and threads are sampled every second. At the end every count must be flat:
the samples at the end against those taken after the warm-up, and the descriptors and
threads after teardown against those before the start.

    python3 tests/soak.py --seconds 120

Prints the figures and exits with 1 when a check fails. tests/test_soak.py runs it for a
few seconds as part of the suite.
"""
import argparse
import gc
import os
import random
import statistics
import sys
import threading
import time

import torqsim
from torqpanel import torqline

TEXTS = ["1.2", "-.---", "1:23.456", "", "88888888", "é.5", "12:", "x" * 40, ":", "..."]
GEARS = ["1", "N", "R", "", "é2", 3, 51, 179, 128, -1]
KEYS = ["version", "ticks", "serial number", "digital", "analog", "Device Path", "nope"]
REFUSED = {"Failed to start input event thread.", "Failed to stop input event thread."}


def resident_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def descriptors():
    return len(os.listdir("/proc/self/fd"))


def threads():
    return len(os.listdir("/proc/self/task"))


def sample():
    return {"rss_kb": resident_kb(), "fds": descriptors(), "threads": threads()}


def random_report(rng):
    report = bytearray(22)
    report[1 + rng.randrange(4)] = 1 << rng.randrange(8) if rng.random() < 0.7 else 0
    report[5 + 2 * rng.randrange(6)] = rng.randrange(255)  # 255 would retire the switch
    report[17 + rng.randrange(5)] = rng.randrange(256)
    return bytes(report)


def check_input(data):
    """A get_input_data answer: None, or a well-formed (type, isButton, number, value, changed)."""
    if data is None:
        return
    kind, is_button, number, value, changed = data
    if changed not in (0, 1) or kind not in (0, 15):
        raise AssertionError(f"malformed input tuple {data}")
    if kind == 0 and data[:4] != (0, 0, 0, 0):
        raise AssertionError(f"malformed empty input tuple {data}")
    if kind == 15 and not ((is_button == 1 and 1 <= number <= 32 and 0 <= value <= 8)
                           or (is_button == 0 and 1 <= number <= 9)):
        raise AssertionError(f"malformed input event {data}")


class Soak:
    def __init__(self, seconds, workers, rate, seed, rss_limit_kb, flat):
        self.seconds = seconds
        self.rss_limit_kb = rss_limit_kb
        self.flat = flat
        self.workers = workers
        self.rate = rate
        self.seed = seed
        self.stop = threading.Event()
        self.errors = []
        self.lock = threading.Lock()
        self.counts = {"calls": 0, "refused": 0, "reports": 0, "events": 0, "objects": 0,
                       "listener_starts": 0, "listener_stops": 0}

    def count(self, **increments):
        with self.lock:
            for name, value in increments.items():
                self.counts[name] += value

    def guarded(self, name, work):
        def body():
            try:
                work()
            except BaseException as error:  # recorded; the main thread reports it
                self.errors.append(f"{threading.current_thread().name}: {error!r}")
                self.stop.set()
        return threading.Thread(target=body, name=name)

    def toggle_listener(self, obj):
        start = obj.get_input_data() is None
        try:
            (obj.start_input_listener if start else obj.stop_input_listener)()
            self.count(**{"listener_starts" if start else "listener_stops": 1})
        except RuntimeError as error:  # another worker toggled it first
            if str(error) not in REFUSED:
                raise
            self.count(refused=1)

    def worker(self, obj, index):
        rng = random.Random(self.seed * 100 + index)
        calls = events = 0
        next_toggle = time.monotonic() + rng.uniform(0.5, 3.5)
        while not self.stop.is_set():
            for _ in range(200):
                choice = rng.randrange(10)
                if choice == 0:
                    obj.set_rpm_led(rng.randint(-1, 10), rng.randint(-1, 2))
                elif choice == 1:
                    obj.set_warning_led(rng.randint(0, 7), rng.randint(-1, 2))
                    obj.set_external_led(rng.randint(0, 7), 1)
                elif choice == 2:
                    obj.load_rumble_motor(rng.randint(0, 3), rng.randint(-10, 300))
                elif choice == 3:
                    obj.set_brightness(rng.randint(-5, 300))
                elif choice == 4:
                    obj.set_gear(rng.choice(GEARS), rng.random() < 0.5)
                elif choice == 5:
                    obj.set_central_panel(rng.choice(TEXTS))
                elif choice == 6:
                    obj.show_me()
                elif choice == 7:
                    try:
                        obj.get_device_info(rng.choice(KEYS))
                    except ValueError as error:
                        if str(error) != "Unknown parameter for get_device_info":
                            raise
                else:
                    data = obj.get_input_data()
                    check_input(data)
                    events += bool(data and data[4])
                calls += 1
            if time.monotonic() >= next_toggle:  # about every 2 s per worker, sometimes racing
                self.toggle_listener(obj)
                next_toggle = time.monotonic() + rng.uniform(0.5, 3.5)
            self.count(calls=calls, events=events)
            calls = events = 0

    def feeder(self, board):
        rng = random.Random(self.seed)
        started = time.monotonic()
        sent = 0
        while not self.stop.is_set():
            due = int((time.monotonic() - started) * self.rate)
            for _ in range(due - sent):  # catches up after the interpreter lock was busy
                board.send_input(random_report(rng))
                sent += 1
            time.sleep(0.001)
        self.count(reports=sent)

    def churn(self, board):
        rng = random.Random(self.seed + 1)
        while not self.stop.is_set():
            obj = torqline("CHURN")
            if obj.init() is not True:
                raise AssertionError("the churn board did not open")
            obj.start_input_listener()
            deadline = time.monotonic() + 5
            while obj.get_input_data() is None:
                if time.monotonic() > deadline:
                    raise AssertionError("a churn listener did not start")
                time.sleep(0.001)
            board.send_input(random_report(rng))
            obj.set_central_panel(rng.choice(TEXTS))
            obj.show_me()
            stops = 0
            if rng.random() < 0.5:
                obj.stop_input_listener()
                stops = 1
            del obj  # the other half are stopped by the teardown
            if board.open_handles != 0:
                raise AssertionError("a deleted object left handles open")
            self.count(objects=1, listener_starts=1, listener_stops=stops)
            time.sleep(0.2)  # leaves the interpreter lock to the others between the inits

    def run(self, warmup, interval, out):
        samples = []
        with torqsim.VirtualBus() as bus:
            main_board = bus.add_board(serial="MAIN")
            churn_board = bus.add_board(serial="CHURN")
            gc.collect()
            before = sample()
            obj = torqline("MAIN")
            if obj.init() is not True:
                raise AssertionError("the main board did not open")
            obj.start_input_listener()
            self.count(objects=1, listener_starts=1)
            runners = [self.guarded(f"worker-{i}", lambda i=i: self.worker(obj, i))
                       for i in range(self.workers)]
            runners += [self.guarded("feeder", lambda: self.feeder(main_board)),
                        self.guarded("churn", lambda: self.churn(churn_board))]
            started = time.monotonic()
            for thread in runners:
                thread.start()
            while not self.stop.wait(interval):
                elapsed = time.monotonic() - started
                for board in (main_board, churn_board):
                    board.clear_frames()  # the bus records every frame; keep it bounded
                samples.append(dict(sample(), t=elapsed))
                if elapsed >= self.seconds:
                    self.stop.set()
            duration = time.monotonic() - started
            for thread in runners:
                thread.join(30)
                if thread.is_alive():
                    self.errors.append(f"{thread.name} did not stop within 30 s")
            if obj.get_input_data() is not None:
                obj.stop_input_listener()
            del obj
            gc.collect()
            deadline = time.monotonic() + 5
            while threads() != before["threads"] and time.monotonic() < deadline:
                time.sleep(0.01)
            after = sample()
            handles = main_board.open_handles + churn_board.open_handles
        return self.report(samples, before, after, handles, duration, warmup, out)

    def report(self, samples, before, after, handles, duration, warmup, out):
        steady = [s for s in samples if s["t"] >= warmup]
        window = max(3, len(steady) // 5)
        first, last = steady[:window], steady[-window:]
        failures = list(self.errors)
        # The soak's own threads, plus at most one listener per object.
        bound = before["threads"] + self.workers + 2 + 2
        if samples and max(s["threads"] for s in samples) > bound:
            failures.append(f"more than {bound} threads during the run")
        growth = 0
        if self.flat:  # the samples at the end against those right after the warm-up
            if len(steady) < 2 * window:
                failures.append(f"too few samples after the warm-up ({len(steady)})")
            else:
                if max(s["fds"] for s in last) > max(s["fds"] for s in first):
                    failures.append("descriptors grew during the run")
                growth = (statistics.median(s["rss_kb"] for s in last)
                          - statistics.median(s["rss_kb"] for s in first))
                if growth > self.rss_limit_kb:
                    failures.append(f"resident memory grew by {growth} kB (limit {self.rss_limit_kb})")
        if after["fds"] != before["fds"] or after["threads"] != before["threads"]:
            failures.append("descriptors or threads left behind after teardown")
        if handles:
            failures.append(f"{handles} handles left open")

        c = self.counts
        out(f"soak: {duration:.1f} s, {self.workers} worker threads, warm-up {warmup:.0f} s")
        out(f"  calls {c['calls']} ({c['calls'] / duration:.0f}/s), refused toggles {c['refused']}")
        out(f"  input reports sent {c['reports']} ({c['reports'] / duration:.0f}/s), "
            f"new events seen {c['events']}")
        out(f"  objects created and deleted {c['objects']}, listener starts {c['listener_starts']},"
            f" stops {c['listener_stops']}")
        if steady and self.flat:
            def span(name):
                return (f"{name} {first[0][name]} -> {last[-1][name]} "
                        f"(min {min(s[name] for s in steady)}, max {max(s[name] for s in steady)})")
            out(f"  after warm-up: {span('rss_kb')}, {span('fds')}, {span('threads')}")
            out(f"  resident memory growth (median of last {window} - first {window} samples): "
                f"{growth} kB")
        out(f"  before start: rss_kb {before['rss_kb']}, fds {before['fds']}, threads "
            f"{before['threads']}; after teardown: rss_kb {after['rss_kb']}, fds {after['fds']}, "
            f"threads {after['threads']}, open handles {handles}")
        for failure in failures:
            out(f"  FAILED: {failure}")
        out("soak: " + ("FAILED" if failures else "passed"))
        return failures


def run(seconds, workers=4, rate=1000, warmup=None, interval=1.0, rss_limit_kb=2048, seed=8,
        flat=True, out=print):
    """Runs the soak; returns the failed checks (empty when all passed) and the counts.
    flat=False leaves out the comparison of the samples (too few of them in a short run,
    and the sanitizers' allocators hold freed memory back); everything else is checked."""
    soak = Soak(seconds, workers, rate, seed, rss_limit_kb, flat)
    if warmup is None:
        warmup = max(seconds * 0.25, min(5.0, seconds / 2))
    return soak.run(warmup, interval, out), dict(soak.counts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--rate", type=int, default=1000, help="input reports per second")
    parser.add_argument("--warmup", type=float, default=None)
    parser.add_argument("--rss-limit-kb", type=int, default=2048)
    args = parser.parse_args()
    failures, _ = run(args.seconds, args.workers, args.rate, args.warmup,
                   rss_limit_kb=args.rss_limit_kb, out=lambda line: print(line, flush=True))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

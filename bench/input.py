"""Input path on a virtual board: latency, losses, idle cost and stop time.

Measures, in one run:
- the latency from send_input to the event being visible in get_input_data, with the
  board sending reports at 100 and at 1000 per second (median and 99th percentile);
- the events lost when reports are at least 12 ms apart;
- the CPU time the listener thread uses per second while the board is silent;
- how long stop_input_listener takes while the board is silent (median, 99th percentile).
Run by hand: python bench/input.py [--seconds S]
"""
import argparse
import os
import statistics
import time

import torqpanel
import torqsim


def report(value):
    data = bytearray(22)
    data[21] = value
    return bytes(data)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def stream(dash, board, period, count):
    """Sends `count` reports `period` seconds apart, each with a new switch-9 value, and
    polls get_input_data in between. Returns (latencies in ms, events seen)."""
    sent_at = {}
    latencies = []
    seen = 0
    last = dash.get_input_data()
    start = time.perf_counter()
    for i in range(count):
        value = i % 250 + 1
        due = start + i * period
        while time.perf_counter() < due:
            now = dash.get_input_data()
            if now[:4] != last[:4] and now[2] == 9 and now[3] + 240 in sent_at:
                latencies.append((time.perf_counter() - sent_at.pop(now[3] + 240)) * 1000)
                seen += 1
            last = now
        sent_at[value] = time.perf_counter()
        board.send_input(report(value))
    deadline = time.perf_counter() + 0.1
    while time.perf_counter() < deadline:
        now = dash.get_input_data()
        if now[:4] != last[:4] and now[2] == 9 and now[3] + 240 in sent_at:
            latencies.append((time.perf_counter() - sent_at.pop(now[3] + 240)) * 1000)
            seen += 1
        last = now
    return latencies, seen


def listener_cpu_seconds(tid):
    # schedstat's first field is the thread's time on a CPU, in nanoseconds.
    with open(f"/proc/self/task/{tid}/schedstat") as stat:
        return int(stat.read().split()[0]) / 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="length of each measurement")
    seconds = parser.parse_args().seconds

    with torqsim.VirtualBus() as bus:
        board = bus.add_board()
        dash = torqpanel.torqline()
        assert dash.init()
        before = set(os.listdir("/proc/self/task"))
        dash.start_input_listener()
        while dash.get_input_data() is None:
            time.sleep(0.001)
        listener = (set(os.listdir("/proc/self/task")) - before).pop()

        for rate in (100, 1000):
            count = int(rate * seconds)
            latencies, seen = stream(dash, board, 1 / rate, count)
            print(f"{rate:5d} reports/s: latency median {statistics.median(latencies):6.2f} ms, "
                  f"p99 {percentile(latencies, 0.99):6.2f} ms; events seen {seen}/{count}")

        count = int(seconds / 0.012)
        _, seen = stream(dash, board, 0.012, count)
        print(f"reports 12 ms apart: {count - seen} of {count} events lost")

        cpu_before = listener_cpu_seconds(listener)
        time.sleep(seconds)
        cpu = listener_cpu_seconds(listener) - cpu_before
        print(f"silent board: listener CPU {cpu / seconds * 100:.4f} % of one core")

        stops = []
        for _ in range(200):
            time.sleep(0.03)  # let the listener settle into a waiting read
            start = time.perf_counter()
            dash.stop_input_listener()
            stops.append((time.perf_counter() - start) * 1000)
            dash.start_input_listener()
            while dash.get_input_data() is None:
                time.sleep(0.001)
        print(f"stop_input_listener, silent board: median {statistics.median(stops):.2f} ms, "
              f"p99 {percentile(stops, 0.99):.2f} ms")
        dash.stop_input_listener()
        del dash


if __name__ == "__main__":
    main()

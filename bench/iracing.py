"""iRacing's decoder at the sim's pace: what the session info and a poll of the memory map cost.

Measures, in one run:
- a full grid's session info (64 drivers, the results of three sessions; a few hundred
  kilobytes, as iRacing writes it in a league race): the decoder's parse of it (only the
  player's car) against a whole parse with PyYAML's fastest loader, as a reader that
  takes all of it would do; both in milliseconds, median of several runs;
- one poll of the memory map in /dev/shm (the real recording of the shared test data,
  whose newest row changes before every poll): the decoder's read against a bare copy
  of the same header and row with os.pread, in microseconds, and the decoder's share of
  one core at 60 polls a second.
Run by hand: python bench/iracing.py [--runs N]
"""
import argparse
import os
import pathlib
import statistics
import struct
import sys
import tempfile
import time

import yaml

# bench/torqdash.py bears the package's name: import the package, not that file.
sys.path = [entry for entry in sys.path
            if os.path.abspath(entry or ".") != os.path.dirname(os.path.abspath(__file__))]

from torqdash.games.iracing import (IRSDK_HEADER, IRSDK_MEMMAPFILENAME, IRacing,  # noqa: E402
                                    parse_session_info, session_text)
from torqdash.sources import ShmFile  # noqa: E402

DUMP = (pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata" / "real-telemetry" / "iracing"
        / "teamjorge" / "memmap-dump_monza_mercedesw13_3bufs.bin")
CARS = 64


def full_grid():
    """A session info in iRacing's shape for a grid of CARS cars, the player's car last."""
    lines = ["---", "WeekendInfo:", " TrackName: monza full", " TrackID: 239", "SessionInfo:", " Sessions:"]
    for number, kind in enumerate(("Practice", "Qualify", "Race")):
        lines += [f" - SessionNum: {number}", f"   SessionType: {kind}", "   ResultsPositions:"]
        for car in range(CARS):
            lines += [f"   - Position: {car + 1}", f"     CarIdx: {car}"] + [
                f"     {key}{n}: {car * 1.5:.4f}" for key in ("FastestTime", "LastTime") for n in range(8)]
    lines += ["DriverInfo:", f" DriverCarIdx: {CARS - 1}", " DriverCarRedLine: 13000.000",
              " DriverCarSLFirstRPM: 10560.000", " DriverCarSLShiftRPM: 11057.000",
              " DriverCarSLBlinkRPM: 11629.000", " DriverSetupName: MONZA_TTT.sto", " Drivers:"]
    for car in range(CARS):
        lines += [f" - CarIdx: {car}", f"   UserName: Driver Number {car}", f"   CarNumber: \"{car}\"",
                  "   CarScreenName: Mercedes-AMG W13 E Performance", "   CarPath: mercedesw13"] + [
            f"   {key}{n}: 0,ff00bf,ff00bf,00d1ff" for key in ("Design", "Helmet") for n in range(20)]
    lines += ["SplitTimeInfo:", " Sectors:", " - SectorNum: 0", "   SectorStartPct: 0.000000", "...", ""]
    return "\n".join(lines)


def median_ms(function, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def session_info(runs):
    raw = full_grid().encode()
    text = session_text(raw)
    ours = median_ms(lambda: parse_session_info(session_text(raw)), runs)
    whole = median_ms(lambda: yaml.load(text, Loader=yaml.CSafeLoader), max(3, runs // 10))
    assert parse_session_info(text).car == "Mercedes-AMG W13 E Performance"
    print(f"session info of {CARS} cars ({len(raw) // 1024} KiB): the decoder {ours:.2f} ms, "
          f"a whole parse with libyaml {whole:.1f} ms (ratio {ours / whole:.3f})")


def poll(runs):
    if not DUMP.exists():
        print(f"poll: skipped, no recording at {DUMP}")
        return
    data = bytearray(DUMP.read_bytes())
    header = IRSDK_HEADER.read(data)
    tick_at = IRSDK_HEADER.offset("varBuf") + 16  # varBuf[1], the newest row of the recording
    row_at, row_len = struct.unpack_from("<i", data, tick_at + 4)[0], header["bufLen"]
    with tempfile.NamedTemporaryFile(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as file:
        file.write(data)
        file.flush()
        page, decoder = ShmFile(file.name), IRacing()
        pages = {IRSDK_MEMMAPFILENAME: page}
        decoder.read(pages)  # the variables and the session info, once

        def ours(n):
            os.pwrite(file.fileno(), struct.pack("<i", 3000 + n), tick_at)  # the sim's next row
            assert decoder.read(pages) is not None

        def bare(n):
            os.pwrite(file.fileno(), struct.pack("<i", 3000 + n), tick_at)
            os.pread(page.fd, IRSDK_HEADER.size, 0)
            os.pread(page.fd, row_len, row_at)

        results = {}
        for name, function in (("bare", bare), ("ours", ours)) * 3:  # interleaved: the same load
            start = time.perf_counter()
            for n in range(runs):
                function(n)
            results.setdefault(name, []).append((time.perf_counter() - start) / runs * 1e6)
        page.close()
    us, base = min(results["ours"]), min(results["bare"])
    print(f"poll of the memory map: the decoder {us:.1f} us, a bare copy of header and row {base:.1f} us "
          f"(ratio {us / base:.1f}); at 60 polls a second the decoder takes {us * 60 / 1e6:.4%} of a core")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=2000)
    runs = parser.parse_args().runs
    session_info(max(10, runs // 20))
    poll(runs)


if __name__ == "__main__":
    sys.exit(main())

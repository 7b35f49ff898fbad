"""A torqdash decoder with any bytes: feed() returns None or a Telemetry whose numbers
are all finite and never raises, and the dash computes a frame from whatever it returns.

    python3 fuzz/torqdash_fuzzer.py outgauge|forza|f1 SECONDS

With atheris (libFuzzer for Python) installed it fuzzes with coverage, from seeds of
every packet size the decoder reads; without it, a bounded run of random mutations of
the same seeds. Prints executions; a finding ends it with a failing status.
"""
import math
import os
import random
import struct
import sys
import tempfile
import time

try:
    import atheris
except ImportError:
    atheris = None

if atheris is not None:
    with atheris.instrument_imports():
        from torqdash import Dash, Telemetry
        from torqdash import decoders
else:
    from torqdash import Dash, Telemetry
    from torqdash import decoders


def seeds(name):
    if name == "outgauge":
        return [bytes(decoders.OUTGAUGE.size), bytes(decoders.OUTGAUGE.size + 4)]
    if name == "forza":
        return [struct.pack("<i", 1) + bytes(size - 4) for size in decoders.FORZA_DASH_AT]
    out = []
    for year in decoders.F1_YEARS:
        for packet_id, size in ((6, 1352), (7, 1239), (0, 1349)):
            header = struct.pack("<HBBBBBQfIIBB", year, year % 100, 1, 0, 1, packet_id,
                                 0, 0.0, 0, 0, 0, 255)
            out.append(header + bytes(size - len(header)))
    return out


def main():
    name, seconds = sys.argv[1], float(sys.argv[2])
    decoder = decoders.SOURCES[name]()
    dash = Dash(None)

    def one_input(data):
        telemetry = decoder.feed(data)
        if telemetry is None:
            return
        assert isinstance(telemetry, Telemetry)
        for value in vars(telemetry).values():
            assert value is None or math.isfinite(value), telemetry
        dash.show(telemetry, now=0.0)

    corpus = seeds(name)
    if atheris is not None:
        folder = tempfile.mkdtemp(prefix=f"torqdash-fuzz-{name}-")
        for number, seed in enumerate(corpus):
            with open(os.path.join(folder, str(number)), "wb") as file:
                file.write(seed)
        atheris.Setup([sys.argv[0], f"-max_total_time={int(seconds)}", "-print_final_stats=1",
                       f"-artifact_prefix={folder}/", folder], one_input)
        atheris.Fuzz()  # exits by itself
    rng = random.Random(0)
    runs, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        data = bytearray(rng.choice(corpus))
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        cut = rng.random()
        if cut < 0.1:
            data = data[:rng.randrange(len(data) + 1)]
        elif cut < 0.2:
            data += rng.randbytes(rng.randint(1, 64))
        one_input(bytes(data))
        runs += 1
    print(f"fuzz torqdash {name:<9} {runs:>9} executions (random mutations: no atheris), "
          f"{decoder.rejected} rejected")


if __name__ == "__main__":
    main()

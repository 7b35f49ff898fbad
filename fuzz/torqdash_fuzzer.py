"""python3 fuzz/torqdash_fuzzer.py SOURCE SECONDS: a decoder never raises for any bytes, gives None or finite
numbers the dash shows; atheris-guided from seeds of every packet and live page, else random mutations."""
import contextlib
import math
import pathlib
import random
import struct
import sys
import tempfile
import time

atheris = None
with contextlib.suppress(ImportError):
    import atheris

with atheris.instrument_imports(include=["torqdash"]) if atheris else contextlib.nullcontext():
    from torqdash import SOURCES, Dash, SharedMemoryDecoder, load_layout
    from torqdash.games import ams2, dirt, ets2, f1, forza, gt7, iracing, kunos, outgauge
sys.path.append(str(pathlib.Path(__file__).parents[1] / "tests"))
from game_pages import r3e_page, rf2_pages  # noqa: E402 (the tests' live pages of these games)


def iracing_map(status):
    """irsdk_defines.h's map: header, session info, a var header per variable read (4 bytes apart), 3 rows."""
    session = (b"---\nDriverInfo:\n DriverCarIdx: 1\n DriverCarRedLine: 8000.000\n"
               b" DriverCarSLShiftRPM: 7000.000\n Drivers:\n - CarIdx: 1\n   CarScreenName: Car\n...\n\0")
    names, header, var = iracing.VARIABLES, iracing.IRSDK_HEADER, iracing.IRSDK_VAR_HEADER
    types = {"Gear": 2, "EngineWarnings": 3, "SessionFlags": 3, "IsOnTrack": 1, "BrakeABSactive": 1}
    vars_at, row = header.size + len(session), 4 * len(names)
    rows_at = vars_at + len(names) * var.size
    buffers = b"".join(struct.pack("<4i", tick, rows_at + n * row, 0, 0) for n, tick in enumerate((7, 9, 8)))
    var_headers = b"".join(var.struct.pack(types.get(name, 4), 4 * n, 1, False, b"", name.encode(), b"", b"")
                           for n, name in enumerate(names))
    return (header.struct.pack(2, status, 60, 1, len(session), header.size, len(names), vars_at, 3, row, 0, 0,
                               buffers.ljust(64, b"\0")) + session + var_headers + bytes(range(3 * row)))


def kunos_pages(decoder, version):
    physics, graphics, static = (bytearray(size) for size in decoder.pages.values())
    physics[0], graphics[0], graphics[4] = 1, 1, kunos.AC_LIVE  # packetId, packetId, status
    at = kunos.AC_STATIC.offset("acVersion")
    static[at:at + 2 * len(version)] = version.encode("utf-16-le")
    struct.pack_into("<if", static, kunos.AC_STATIC.offset("maxRpm"), 8000, 60.0)
    return bytes(physics + graphics + static)


AMS2_PAGE, SCS_PAGE = bytearray(ams2.SHARED_MEMORY.size), bytearray(ets2.Ets2.pages[ets2.SHM_NAME])
ams2.SHARED_MEMORY.write(AMS2_PAGE, mVersion=14, mGameState=2, mSequenceNumber=2)  # in game
ets2.SCS.write(SCS_PAGE, sdkActive=True, time=1, telemetry_plugin_revision=12, game=1)
SEEDS = {  # every packet size each decoder reads, live pages of each shared-memory game
    "outgauge": [bytes(outgauge.OUTGAUGE.size + extra) for extra in (0, 4)],
    "forza": [struct.pack("<i", 1) + bytes(size - 4) for size in forza.FORZA_DASH_AT],
    "f1": [struct.pack("<HBBBBB", year, 0, 1, 0, 1, packet_id) + bytes(size - 7)
           for year in f1.F1_YEARS for packet_id, size in ((6, 1352), (7, 1239), (0, 1349))],
    "iracing": [iracing_map(1), iracing_map(0)], "acc": [kunos_pages(kunos.Acc, "1.10.2")],
    "ac": [kunos_pages(kunos.Ac, "1.16")], "r3e": [bytes(r3e_page())], "ets2": [bytes(SCS_PAGE)],
    "lmu": [b"".join(rf2_pages(lmu=True).values())], "rf2": [b"".join(rf2_pages().values())],
    "ams2": [bytes(10) + bytes([kind, 2]) + bytes(size - 12)  # by type, a game state packet among them
             for kind, size in [*ams2.UDP_SIZES.items(), (4, 24)]],
    "dirt": [bytes(dirt.DIRT.size)], "ams2-shm": [bytes(AMS2_PAGE)],
    # Encrypted as sent: a changed byte past the seed changes that byte once decrypted, reaching the fields.
    "gt7": [gt7.seal(struct.pack("<i", gt7.GT7_MAGIC) + bytes(size - 4), size) for size in gt7.GT7_NONCE_XOR],
}


def pages(decoder, data):
    cut, at, *names, last = {}, 0, *decoder.pages
    for name in names:
        cut[name], at = data[at:at + decoder.pages[name]], at + decoder.pages[name]
    return {**cut, last: data[at:]}


def main():
    name, seconds = sys.argv[1], float(sys.argv[2])
    example = pathlib.Path(__file__).parents[1] / "examples" / "whole_board.toml"  # flags, rumble, pages
    decoder, dash = SOURCES[name](), Dash(None, load_layout(str(example)))
    corpus = SEEDS.get(name) or [bytes(sum(decoder.pages.values()))]
    shared = isinstance(decoder, SharedMemoryDecoder)

    def one_input(data):
        # Shared memory: by a fresh decoder too, as what a decoder keeps from earlier pages
        # (a layout read once) would hide the bytes it describes.
        shown = [one.read(pages(one, data)) for one in (decoder, SOURCES[name]())] if shared else []
        for telemetry in filter(None, shown or [decoder.feed(data)]):
            assert all(value is None or isinstance(value, (bool, str)) or math.isfinite(value)
                       for value in vars(telemetry).values()), telemetry
            dash.show(telemetry, now=0.0)

    if atheris:
        folder = tempfile.mkdtemp(prefix=f"torqdash-fuzz-{name}-")
        for number, seed in enumerate(corpus):
            pathlib.Path(folder, str(number)).write_bytes(seed)
        atheris.Setup([sys.argv[0], f"-max_total_time={int(seconds)}", "-print_final_stats=1", folder,
                       f"-max_len={max(map(len, corpus)) + 64}", f"-artifact_prefix={folder}/"], one_input)
        atheris.Fuzz()  # exits by itself
    rng, runs, deadline = random.Random(0), 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        data = bytearray(rng.choice(corpus))
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        cut = rng.random()  # one input in ten cut short, one in ten with bytes added
        tail = rng.randbytes(rng.randint(1, 64)) if 0.1 <= cut < 0.2 else b""
        one_input(bytes(data[:rng.randrange(len(data) + 1)] if cut < 0.1 else data + tail))
        runs += 1
    print(f"fuzz torqdash {name:<9} {runs:>10} executions (random mutations), {decoder.rejected} rejected")


if __name__ == "__main__":
    main()

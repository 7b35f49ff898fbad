"""python3 fuzz/torqdash_fuzzer.py SOURCE SECONDS: a torqdash decoder with any bytes never
raises, gives None or a Telemetry of finite numbers, and the dash makes a frame of it. A
UDP decoder takes each input as a datagram; a shared-memory decoder takes it cut into its
pages, in the order it names them (each page as long as the decoder reads, the last one
whatever is left). With atheris, coverage-guided from seeds of every packet or page size
the decoder reads; without, random mutations of the same seeds. A finding fails the run."""
import contextlib
import math
import pathlib
import random
import struct
import sys
import tempfile
import time

try:
    import atheris
except ImportError:
    atheris = None

with atheris.instrument_imports(include=["torqdash"]) if atheris else contextlib.nullcontext():
    from torqdash import SOURCES, Dash, SharedMemoryDecoder, load_layout
    from torqdash.games import ams2, dirt, ets2, f1, forza, gt7, iracing, kunos, outgauge, raceroom, rfactor


def iracing_map(status):
    """A small iRacing memory map from irsdk_defines.h: the header, a session info, a var
    header for each variable the decoder reads (4 bytes apart) and three rows."""
    session = (b"---\nDriverInfo:\n DriverCarIdx: 1\n DriverCarRedLine: 8000.000\n"
               b" DriverCarSLShiftRPM: 7000.000\n Drivers:\n - CarIdx: 1\n   CarScreenName: Car\n...\n\0")
    names, header = iracing.VARIABLES, iracing.IRSDK_HEADER
    types = {"Gear": 2, "PlayerCarPosition": 2, "EngineWarnings": 3, "SessionFlags": 3, "IsOnTrack": 1,
             "BrakeABSactive": 1, "LapDeltaToBestLap_OK": 1}
    var_at, row_len = header.size + len(session), 4 * len(names)
    rows_at = var_at + len(names) * iracing.IRSDK_VAR_HEADER.size
    buffers = b"".join(struct.pack("<4i", tick, rows_at + n * row_len, 0, 0)
                       for n, tick in enumerate((7, 9, 8)))
    var_headers = b"".join(iracing.IRSDK_VAR_HEADER.struct.pack(
        types.get(name, 4), 4 * n, 1, False, b"", name.encode(), b"", b"") for n, name in enumerate(names))
    return (header.struct.pack(2, status, 60, 1, len(session), header.size, len(names), var_at, 3, row_len,
                               0, 0, buffers.ljust(64, b"\0"))
            + session + var_headers + bytes(range(3 * row_len)))


def kunos_pages(decoder, version):
    """Live pages of Kunos' shared memory: packetId 1, status live, the game's version."""
    physics, graphics, static = (bytearray(size) for size in decoder.pages.values())
    struct.pack_into("<i", physics, 0, 1)
    struct.pack_into("<ii", graphics, 0, 1, kunos.AC_LIVE)
    text, at = version.encode("utf-16-le"), kunos.AC_STATIC.offset("acVersion")
    static[at:at + len(text)] = text
    struct.pack_into("<if", static, kunos.AC_STATIC.offset("maxRpm"), 8000, 60.0)
    return bytes(physics + graphics + static)


def rfactor_seeds():
    """Live pages of rFactor 2 and Le Mans Ultimate with the player's car in them."""
    telemetry, scoring = (bytearray(size) for size in rfactor.RFactor2.pages.values())
    struct.pack_into("<IIii", telemetry, 0, 1, 1, 0, 1)  # versions, one car
    struct.pack_into("<II", scoring, 0, 1, 1)
    lmu = bytearray(rfactor.LMU_SIZE)
    struct.pack_into("<i", lmu, rfactor.LMU_GAME_VERSION_AT, 1)
    lmu[rfactor.LMU_TELEMETRY_AT + 2] = 1  # playerHasVehicle
    for page, info, vehicle in ((scoring, rfactor.RF2_INFO_AT, rfactor.RF2_VEHICLE_AT),
                                (lmu, rfactor.LMU_SCORING_AT, rfactor.LMU_VEHICLE_AT)):
        rfactor.INFO.write(page, info, mNumVehicles=1, mInRealtime=True)
        rfactor.VEHICLE.write(page, vehicle, mIsPlayer=True)
    return {"rf2": [bytes(telemetry + scoring)], "lmu": [bytes(lmu)]}


R3E_PAGE = bytearray(raceroom.R3E.size)
raceroom.R3E.write(R3E_PAGE, version_major=raceroom.VERSION_MAJOR)
AMS2_PAGE, SCS_PAGE = bytearray(ams2.SHARED_MEMORY.size), bytearray(ets2.Ets2.pages[ets2.SHM_NAME])
ams2.SHARED_MEMORY.write(AMS2_PAGE, mVersion=14, mGameState=2, mSequenceNumber=2)  # in game
ets2.SCS.write(SCS_PAGE, sdkActive=True, time=1, telemetry_plugin_revision=12, game=1)
SEEDS = {  # every packet size each decoder reads, live pages of each shared-memory game
    "outgauge": [bytes(outgauge.OUTGAUGE.size + extra) for extra in (0, 4)],
    "forza": [struct.pack("<i", 1) + bytes(size - 4) for size in forza.FORZA_DASH_AT],
    "f1": [struct.pack("<HBBBBB", year, 0, 1, 0, 1, packet_id) + bytes(size - 7)
           for year in f1.F1_YEARS for packet_id, size in ((6, 1352), (7, 1239), (0, 1349))],
    "iracing": [iracing_map(status) for status in (1, 0)],
    "acc": [kunos_pages(kunos.Acc, "1.10.2")],
    "ac": [kunos_pages(kunos.Ac, "1.16")],
    **rfactor_seeds(), "r3e": [bytes(R3E_PAGE)],
    # SMS packets told by type (a game state packet among them)
    "ams2": [bytes(10) + bytes([kind, 2]) + bytes(size - 12)
             for kind, size in (*ams2.UDP_SIZES.items(), (4, 24))],
    "ams2-shm": [bytes(AMS2_PAGE)], "ets2": [bytes(SCS_PAGE)], "dirt": [bytes(dirt.DIRT.size)],
    # Encrypted as the console sends them: a changed byte past the seed changes that byte once
    # decrypted, so that mutations reach the fields.
    "gt7": [gt7.seal(struct.pack("<i", gt7.GT7_MAGIC) + bytes(size - 4), size) for size in gt7.GT7_NONCE_XOR],
}


def pages(decoder, data):
    """The input cut into the decoder's pages."""
    cut, at = {}, 0
    names = list(decoder.pages)
    for number, name in enumerate(names):
        size = len(data) - at if number == len(names) - 1 else decoder.pages[name]
        cut[name] = data[at:at + size]
        at += size
    return cut


def main():
    name, seconds = sys.argv[1], float(sys.argv[2])
    # (the example layout: every frame then has flags, rumble effects and pages to show)
    example = pathlib.Path(__file__).parents[1] / "examples" / "whole_board.toml"
    decoder, dash = SOURCES[name](), Dash(None, load_layout(str(example)))
    corpus = SEEDS.get(name) or [bytes(sum(decoder.pages.values()))]
    shared = isinstance(decoder, SharedMemoryDecoder)

    def one_input(data):
        # Shared memory: by a fresh decoder too, as what a decoder keeps from earlier pages
        # (a layout read once) would hide the bytes it describes.
        for telemetry in ([decoder.read(pages(decoder, data)), SOURCES[name]().read(pages(decoder, data))]
                          if shared else [decoder.feed(data)]):
            if telemetry is not None:
                assert all(value is None or isinstance(value, (bool, str)) or math.isfinite(value)
                           for value in vars(telemetry).values()), telemetry
                dash.show(telemetry, now=0.0)

    if atheris:
        folder = tempfile.mkdtemp(prefix=f"torqdash-fuzz-{name}-")
        for number, seed in enumerate(corpus):
            pathlib.Path(folder, str(number)).write_bytes(seed)
        atheris.Setup([sys.argv[0], f"-max_total_time={int(seconds)}", "-print_final_stats=1",
                       f"-max_len={max(map(len, corpus)) + 64}",
                       f"-artifact_prefix={folder}/", folder], one_input)
        atheris.Fuzz()  # exits by itself
    rng, runs, deadline = random.Random(0), 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        data = bytearray(rng.choice(corpus))
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        cut = rng.random()  # one input in ten cut short, one in ten with bytes added
        data = data[:rng.randrange(len(data) + 1)] if cut < 0.1 else (
            data + rng.randbytes(rng.randint(1, 64)) if cut < 0.2 else data)
        one_input(bytes(data))
        runs += 1
    print(f"fuzz torqdash {name:<9} {runs:>10} executions (random mutations), {decoder.rejected} rejected")


if __name__ == "__main__":
    main()

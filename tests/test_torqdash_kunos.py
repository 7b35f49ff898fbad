"""Assetto Corsa Competizione and Assetto Corsa: the layouts against Kunos' documents,
decoding of pages built from them (no recording of either game is in ../shared/testdata),
the states of a shared-memory source, and the source end to end on a real /dev/shm."""
import os
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import replace

import pytest

from torqdash import Dash, Layout, Telemetry
from torqdash.app import App, BoardLink
from torqdash.games import kunos
from torqdash.games.kunos import Ac, Acc
from torqdash.sources import SharedMemorySource
from torqsim.board import BoardState, panel_text

# Sizes and offsets of the documents' field lists under #pragma pack(4), wchar_t of 2 bytes.
LAYOUTS = {
    "acc-physics": (kunos.ACC_PHYSICS, 800, dict(rpm=20, speedKmh=28, tc=204, pitLimiterOn=248, abs=252,
                                                 tcinAction=672, kerbVibration=784)),
    "ac-physics": (kunos.AC_PHYSICS, 712, dict(gear=16, localVelocity=568, absInAction=676, tyreTemp=696)),
    "acc-graphics": (kunos.ACC_GRAPHICS, 1588, dict(position=136, tyreCompound=176, replayTimeMultiplier=244,
                                                    flag=1224, iDeltaLapTime=1360, isDeltaPositive=1400,
                                                    missingMandatoryPits=1484, GlobalRed=1528,
                                                    gapBehind=1584)),
    "ac-graphics": (kunos.AC_GRAPHICS, 296, dict(iBestTime=148, carCoordinates=252, flag=268)),
    "acc-static": (kunos.ACC_STATIC, 820, dict(acVersion=30, carModel=68, sectorCount=400, maxRpm=412,
                                               ersMaxJ=592, reversedGridPositions=672, wetTyresName=754)),
    "ac-static": (kunos.AC_STATIC, 684, dict(maxFuel=416, trackConfiguration=524, PitWindowEnd=680)),
}


@pytest.mark.parametrize("name", LAYOUTS)
def test_layouts_are_the_documents(name):
    layout, size, offsets = LAYOUTS[name]
    assert (layout.size, {field: layout.offset(field) for field in offsets}) == (size, offsets)


def page(layout, **values):
    """A page of `layout` with these fields set (text as wchar_t); the rest zero."""
    data = bytearray(layout.size)
    for name, value in values.items():
        at = layout.offset(name)
        if isinstance(value, str):
            data[at:at + 2 * len(value)] = value.encode("utf-16-le")
        else:
            struct.pack_into("<" + layout.pick(name).format[-1], data, at, value)
    return data


def acc_pages(packet=7, gear=3, pit=0, **graphics):
    """ACC in a race: third gear (Kunos' 3 is second), 7250 RPM, 61.5 of 120 l."""
    return {kunos.STATIC: page(kunos.ACC_STATIC, smVersion="1.9", acVersion="1.10.2", carModel="bmw_m4_gt3",
                               maxRpm=7900, maxFuel=120.0, dryTyresName="DHF2023"),
            kunos.GRAPHICS: page(kunos.ACC_GRAPHICS, **{"packetId": packet, "status": 2, "position": 4,
                                                        "iCurrentTime": 45_678, "iLastTime": 101_250,
                                                        "iBestTime": 100_875, "flag": 1, "iDeltaLapTime": 412,
                                                        "isDeltaPositive": 0, **graphics}),
            kunos.PHYSICS: page(kunos.ACC_PHYSICS, packetId=packet, fuel=61.5, gear=gear, rpm=7250,
                                speedKmh=188.5, tc=0.25, pitLimiterOn=pit, abs=0.0, tcinAction=0,
                                absInAction=1)}  # (ACC leaves these two unused)


def ac_pages(**physics):
    return {kunos.STATIC: page(kunos.AC_STATIC, smVersion="1.7", acVersion="1.16",
                               carModel="ks_mazda_mx5_cup", maxRpm=7500, maxFuel=50.0),
            kunos.GRAPHICS: page(kunos.AC_GRAPHICS, packetId=3, status=2, position=1, iCurrentTime=0,
                                 iLastTime=0, iBestTime=0, flag=6),
            kunos.PHYSICS: page(kunos.AC_PHYSICS, **{"packetId": 9, "fuel": 50.0, "gear": 0, "rpm": 1100,
                                                     "speedKmh": 12.0, "tc": 0.12, "abs": 0.2,
                                                     "tcinAction": 1, "absInAction": 0, **physics})}


ACC_T = Telemetry(rpm=7250, max_rpm=7900, gear=2, speed_kph=188.5, fuel=61.5 / 120, lap_time_s=45.678,
                  last_lap_s=101.25, best_lap_s=100.875, position=4, pit_limiter=False, tc_active=True,
                  abs_active=False, delta_s=-0.412, flag="blue", car="bmw_m4_gt3")
AC_T = Telemetry(rpm=1100, max_rpm=7500, gear=-1, speed_kph=12.0, fuel=1.0, position=1, pit_limiter=False,
                 tc_active=True, abs_active=False, car="ks_mazda_mx5_cup")  # the penalty flag: none
CASES = {
    "acc": (Acc, acc_pages(), ACC_T),
    "acc-slower-no-best": (Acc, acc_pages(isDeltaPositive=1, iBestTime=2**31 - 1),
                           replace(ACC_T, best_lap_s=None, delta_s=None)),
    "acc-slower": (Acc, acc_pages(isDeltaPositive=1, iDeltaLapTime=-412, flag=7),
                   replace(ACC_T, delta_s=0.412, flag="green")),
    "acc-red-limiter-neutral": (Acc, acc_pages(gear=1, pit=1, flag=2, GlobalRed=1),
                                replace(ACC_T, gear=0, pit_limiter=True, flag="red")),
    "acc-orange": (Acc, acc_pages(flag=8), replace(ACC_T, flag=None)),
    "ac": (Ac, ac_pages(), AC_T),
    "ac-abs-acting-first-gear": (Ac, ac_pages(gear=2, tcinAction=0, absInAction=1, pitLimiterOn=1),
                                 replace(AC_T, gear=1, tc_active=False, abs_active=True, pit_limiter=True)),
}


@pytest.mark.parametrize("case", CASES)
def test_decoders_read_the_documented_fields(case):
    decoder_type, pages, expected = CASES[case]
    decoder = decoder_type()
    assert decoder.read(pages) == expected and not decoder.waiting
    assert decoder.read(pages) is None  # no new packetId
    pages[kunos.PHYSICS][:4] = struct.pack("<i", 1000)
    assert decoder.read(pages) == expected
    pages[kunos.PHYSICS][28:32] = struct.pack("<f", float("nan"))
    pages[kunos.GRAPHICS][:4] = struct.pack("<i", 1000)
    assert decoder.read(pages) is None and decoder.rejected == 1


def zeroed(pages, name):
    return {**pages, name: bytes(len(pages[name]))}


@pytest.mark.parametrize("pages, reason", [
    ({}, ""),  # nothing published
    ({name: data for name, data in acc_pages().items() if name != kunos.STATIC}, ""),
    (zeroed(acc_pages(), kunos.STATIC), ""),  # Windows' empty mapping: no version
    (zeroed(acc_pages(), kunos.GRAPHICS), ""),  # status 0: off
    (acc_pages(status=1), ""),  # a replay
    (acc_pages(status=3), ""),  # paused
    (ac_pages(), "these pages are Assetto Corsa's (version 1.16): python -m torqdash ac reads them"),
])
def test_pages_that_are_not_live(pages, reason):
    decoder = Acc()
    assert decoder.read(pages) is None and decoder.waiting and decoder.reason == reason
    assert decoder.rejected == decoder.torn == 0
    live = acc_pages()
    assert decoder.read(live) == ACC_T and not decoder.waiting and decoder.reason == ""
    assert decoder.read(pages) is None and decoder.read(live) == ACC_T  # back, after a pause, is new


def test_ac_says_when_the_pages_are_acc():
    decoder = Ac()
    assert decoder.read(acc_pages()) is None and "Competizione's (version 1.10)" in decoder.reason


class Written:
    """A page that the game writes while it is copied: every read of it (a slice) first
    lets the game go on with its next write, if any."""

    def __init__(self, data, *writes):
        self.data, self.writes = bytearray(data), list(writes)

    def __len__(self):
        return len(self.data)

    def __getitem__(self, index):
        if self.writes:
            self.writes.pop(0)(self.data)
        return bytes(self.data[index])


def write(packet, gear):
    def step(data):
        data[:4], data[16:20] = struct.pack("<i", packet), struct.pack("<i", gear)
    return step


def test_a_copy_the_game_wrote_over_is_taken_again():
    pages, nothing = acc_pages(packet=7), lambda data: None
    decoder = Acc()
    # The game writes packet 8 (gear 5) during the first copy: taken again, whole.
    pages[kunos.PHYSICS] = Written(pages[kunos.PHYSICS], nothing, write(8, 5))
    assert decoder.read(pages) == replace(ACC_T, gear=4) and decoder.torn == 0
    # It writes during every copy the poll takes: the poll gives up and shows nothing.
    pages[kunos.PHYSICS] = Written(pages[kunos.PHYSICS].data, *[step for n in range(Acc.tries)
                                                           for step in (nothing, write(9 + n, 2), nothing)])
    assert decoder.read(pages) is None and decoder.torn == 1 and decoder.rejected == 0


# The end to end test's game: a separate process that publishes pages in a tmpfs folder
# as a bridge does, one whole page per write. (Through a mapping of the file, as a game
# does, a write that the scheduler stops half way stays half done for a while, with the
# old packetId: no reader can tell that copy from a good one, and on a busy machine the
# test would see one now and then.)
GAME = r"""
import os, struct, sys, time
folder, files = sys.argv[1], {}
for line in sys.stdin:
    command, *args = line.split()
    if command == "write":  # NAME HEX: the page, created if missing
        name, data = args[0], bytes.fromhex(args[1])
        if name not in files:
            files[name] = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT, 0o600)
        os.pwrite(files[name], data, 0)
    elif command == "alternate":  # NAME SECONDS HEX HEX: the two pages in turn, counting packetId up
        name, end = args[0], time.monotonic() + float(args[1])
        pages = [bytearray.fromhex(data) for data in args[2:]]
        packet = struct.unpack_from("<i", pages[0])[0]
        while time.monotonic() < end:
            for data in pages:
                packet += 1
                struct.pack_into("<i", data, 0, packet)
                os.pwrite(files[name], data, 0)
    elif command == "remove":
        for name in list(files):
            os.close(files.pop(name))
            os.unlink(os.path.join(folder, name))
    print("done", flush=True)
"""


@pytest.fixture
def game():
    folder = tempfile.mkdtemp(dir="/dev/shm", prefix="torqdash-test-")
    process = subprocess.Popen([sys.executable, "-c", GAME, folder], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)

    def tell(*words):
        """Says a command to the game, if any; its answers."""
        if words:
            process.stdin.write(" ".join(map(str, words)) + "\n")
            process.stdin.flush()
        return process.stdout

    try:
        yield folder, tell
    finally:
        process.stdin.close()
        process.wait(timeout=30)
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)


def publish(tell, pages):
    for name, data in pages.items():
        assert tell("write", name, bytes(data).hex()).readline() == "done\n"


class Clock:
    """Real time; while ``fast``, a new 1/60 s slot at every reading, so that torqdash
    polls back to back."""

    def __init__(self):
        self.ahead, self.fast = 0.0, False

    def __call__(self):
        self.ahead += 1 / 60 if self.fast else 0
        return time.monotonic() + self.ahead


def test_shared_memory_end_to_end(bus, board, game):
    folder, tell = game
    said, clock, state = [], Clock(), BoardState()
    dash = Dash(None, Layout(dark_after_s=0.5), clock=clock)
    app = App(SharedMemorySource(Acc(), folder, clock=clock, look_every=0.05), dash,
              BoardLink(dash, retry=0, say=said.append, clock=clock), say=said.append)

    def picture():
        for report in board.take_frames():
            state.apply(report)
        return state.gear.text, panel_text(state.central), "".join(".#"[on] for on in state.warning)

    def run(seconds, until, saying):
        """Steps until the board shows `until` and torqdash last said `saying`."""
        said_then = f"torqdash: {saying} Assetto Corsa Competizione"
        end = time.monotonic() + seconds
        while time.monotonic() < end and (picture(), said[-1:]) != (until, [said_then]):
            app.step(0.02)
        return picture(), said[-1:] == [said_then]

    second, fifth_limiter, dark = ("2", "188", "..#..."), ("5", "188", "#.#..."), (" ", "   ", "......")
    assert app.source.describe() == f"shared memory in {folder}: acpmf_physics, acpmf_graphics, acpmf_static"
    assert run(0.3, dark, "waiting for") == (dark, True)
    publish(tell, acc_pages())  # the game starts after torqdash
    assert run(3, second, "receiving") == (second, True)

    # The game writes second gear without the pit limiter and fifth with it (TC acting in
    # both), in turn, as fast as it can, while torqdash polls back to back: a copy of parts
    # of both would show one gear with the other's limiter.
    decoder, seen = app.source.decoder, set()
    other = acc_pages(gear=6, pit=1)[kunos.PHYSICS]
    tell("alternate", kunos.PHYSICS, 3, bytes(acc_pages()[kunos.PHYSICS]).hex(), bytes(other).hex())
    layout, dash.layout = dash.layout, Layout(dark_after_s=0)  # (its slots fly by)
    clock.fast, end = True, time.monotonic() + 3
    while time.monotonic() < end:
        app.step(0)
        seen.add(picture())
    clock.fast, dash.layout = False, layout
    assert tell().readline() == "done\n"
    assert seen == {second, fifth_limiter} and decoder.rejected == 0

    # The game quits and takes its pages along: dark after dark_after, waiting; then it is
    # back, with new pages of the same names.
    assert tell("remove").readline() == "done\n"
    assert run(3, dark, "waiting for") == (dark, True)
    sixth = ("6", "188", "..#...")
    publish(tell, acc_pages(gear=7))
    assert run(3, sixth, "receiving") == (sixth, True)

    # Zeroed pages, as Windows makes of a name nobody wrote: not shown.
    publish(tell, {name: bytes(len(data)) for name, data in acc_pages().items()})
    assert run(3, dark, "waiting for") == (dark, True) and decoder.rejected == 0

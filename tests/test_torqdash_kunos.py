"""ACC and AC: pages built from Kunos' documents, a game on a real /dev/shm; every game's layout as stated."""
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import wait_until
from test_torqdash import shown
from torqdash import Dash, Layout, Telemetry
from torqdash.app import App, BoardLink
from torqdash.games import ams2, ets2, iracing, kunos, raceroom, rfactor as rf
from torqdash.sources import RECEIVING, WAITING, SharedMemorySource


@pytest.mark.parametrize("layout, size, offsets", [  # the documents' fields under pack(4), 2-byte wchar_t
    (kunos.ACC_PHYSICS, 800, dict(rpm=20, speedKmh=28, tc=204, pitLimiterOn=248, abs=252, tcinAction=672,
                                  kerbVibration=784)),
    (kunos.AC_PHYSICS, 712, dict(gear=16, localVelocity=568, absInAction=676, tyreTemp=696)),
    (kunos.ACC_GRAPHICS, 1588, dict(position=136, tyreCompound=176, replayTimeMultiplier=244, flag=1224,
                                    iDeltaLapTime=1360, isDeltaPositive=1400, missingMandatoryPits=1484,
                                    GlobalRed=1528, gapBehind=1584)),
    (kunos.AC_GRAPHICS, 296, dict(iBestTime=148, carCoordinates=252, flag=268)),
    (kunos.ACC_STATIC, 820, dict(acVersion=30, carModel=68, sectorCount=400, maxRpm=412, ersMaxJ=592,
                                 reversedGridPositions=672, wetTyresName=754)),
    (kunos.AC_STATIC, 684, dict(maxFuel=416, trackConfiguration=524, PitWindowEnd=680)),
    # irsdk_defines.h
    (iracing.IRSDK_HEADER, 112, dict(sessionInfoUpdate=12, numVars=24, bufLen=36, varBuf=48)),
    (iracing.IRSDK_VAR_BUF, 16, dict(bufOffset=4)),
    (iracing.IRSDK_VAR_HEADER, 144, dict(count=8, countAsTime=12, name=16, desc=48, unit=112)),
    (iracing.IRSDK_DISK_SUB_HEADER, 32, dict(sessionStartTime=8, sessionLapCount=24, sessionRecordCount=28)),
    # The isiMotor structs (pack 4) as MSVC lays out LMU's InternalsPlugin.hpp (rF2State.h of the rF2
    # plugin static_asserts the sizes), mWheel[4] at 848; r3e.h 3.x (pack 1), its size not stated.
    (rf.TELEM, 848, dict(mElapsedTime=12, mUnfilteredThrottle=388, mExpansion=828)),
    (rf.VEHICLE, 584, dict(mLapDist=104, mQualification=460, mFlag=504)),
    (rf.INFO, 548, dict(mResultsStream=96, mServerName=296, mVehicle=540)),
    (raceroom.R3E, None, dict(game_in_replay=28, upshift_rps=1404, fuel_left=1456, pit_limiter=1572)),
    # SMS_UDP_Definitions.hpp (patch 5) and scs-telemetry-common.hpp (revision 12): the fields that the
    # tests of those games do not place by hand.
    (ams2.TELEMETRY, 559, dict(sTickCount=555)), (ams2.TIMINGS, 1063, dict(sLocalParticipantIndex=1057)),
    (ams2.PARTICIPANT, 32, dict(sMPParticipantIndex=30)), (ets2.SCS, None, dict(restStop=500, scale=700))])
def test_layouts_are_the_documents(layout, size, offsets):
    assert (size and layout.size, {field: layout.offset(field) for field in offsets}) == (size, offsets)


def page(layout, **values):  # text as wchar_t; the rest zero
    data = bytearray(layout.size)
    for name, value in values.items():
        fmt = layout.pick(name).format[-1]
        raw = value.encode("utf-16-le") if isinstance(value, str) else struct.pack(fmt, value)
        data[layout.offset(name):layout.offset(name) + len(raw)] = raw
    return data


def acc_pages(packet=7, gear=3, pit=0, **graphics):
    """ACC in a race: third gear (Kunos' 3 is second), 7250 RPM, 61.5 of 120 l; absInAction unused."""
    return {kunos.STATIC: page(kunos.ACC_STATIC, acVersion="1.10.2", carModel="bmw_m4_gt3", maxRpm=7900,
                               maxFuel=120.0),
            kunos.GRAPHICS: page(kunos.ACC_GRAPHICS, **{**dict(
                packetId=packet, status=2, position=4, iCurrentTime=45_678, iLastTime=101_250,
                iBestTime=100_875, flag=1, iDeltaLapTime=412), **graphics}),
            kunos.PHYSICS: page(kunos.ACC_PHYSICS, packetId=packet, fuel=61.5, gear=gear, rpm=7250,
                                speedKmh=188.5, tc=0.25, pitLimiterOn=pit, absInAction=1)}


def ac_pages(**physics):
    return {kunos.STATIC: page(kunos.AC_STATIC, acVersion="1.16", carModel="ks_mazda_mx5_cup", maxRpm=7500,
                               maxFuel=50.0),
            kunos.GRAPHICS: page(kunos.AC_GRAPHICS, packetId=3, status=2, position=1, flag=6),
            kunos.PHYSICS: page(kunos.AC_PHYSICS, **{**dict(packetId=9, fuel=50.0, gear=0, rpm=1100,
                                                            speedKmh=12.0, tc=0.12, abs=0.2, tcinAction=1),
                                                     **physics})}


ACC_T = Telemetry(rpm=7250, max_rpm=7900, gear=2, speed_kph=188.5, fuel=61.5 / 120, lap_time_s=45.678,
                  last_lap_s=101.25, best_lap_s=100.875, position=4, pit_limiter=False, tc_active=True,
                  abs_active=False, delta_s=-0.412, flag="blue", car="bmw_m4_gt3")
AC_T = Telemetry(rpm=1100, max_rpm=7500, gear=-1, speed_kph=12.0, fuel=1.0, position=1, pit_limiter=False,
                 tc_active=True, abs_active=False, car="ks_mazda_mx5_cup")  # the penalty flag: none


class Written(bytearray):
    """A page that the game writes while it is copied: each read (a slice) after its next write."""
    def __init__(self, data, *writes):
        super().__init__(data)
        self.writes = list(writes)

    def __getitem__(self, index):
        if self.writes:
            self.writes.pop(0)(self)
        return bytes(super().__getitem__(index))


def put(*writes):  # a write of the game to a Written page: (offset, bytes) pairs
    return lambda data: [data.__setitem__(slice(at, at + len(value)), value) for at, value in writes]


def write(packet, gear):
    return put((0, struct.pack("<i", packet)), (16, struct.pack("<i", gear)))


# The end-to-end tests' game: writes pages in a tmpfs folder a whole page at a time, as a bridge does.
GAME = r"""
import os, struct, sys, time
for line in sys.stdin:
    command, *args = line.split()
    if command == "remove":
        for name in os.listdir(sys.argv[1]):
            os.unlink(os.path.join(sys.argv[1], name))
    else:  # write NAME SECONDS HEX...: the pages in turn, for that long (each once at least)
        fd = os.open(os.path.join(sys.argv[1], args[0]), os.O_WRONLY | os.O_CREAT, 0o600)
        pages, end, n = [bytearray.fromhex(data) for data in args[2:]], time.monotonic() + float(args[1]), 0
        while n < len(pages) or time.monotonic() < end:
            if len(pages) > 1:  # a new packetId every time
                struct.pack_into("<i", pages[n % len(pages)], 0, 1000 + n)
            os.pwrite(fd, pages[n % len(pages)], 0)
            n += 1
        os.close(fd)
    print("done", flush=True)
"""


@pytest.fixture
def game():  # the game in a /dev/shm folder of its own; tell(*command): its answers
    folder = tempfile.mkdtemp(dir="/dev/shm", prefix="torqdash-test-")
    process = subprocess.Popen([sys.executable, "-c", GAME, folder], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True, bufsize=1)

    def tell(*words):
        process.stdin.write(" ".join(map(str, words)) + "\n" * bool(words))  # a line at a time
        return process.stdout
    yield folder, tell
    process.communicate(timeout=30)
    shutil.rmtree(folder)


def publish(tell, pages):
    for name, data in pages.items():
        assert tell("write", name, 0, bytes(data).hex()).readline() == "done\n"


def on_board(board, decoder, folder):  # the app and a wait until its gear, central panel and state are these
    dash = Dash(None, Layout(dark_after_s=0.5))
    app = App(SharedMemorySource(decoder, folder, look_every=0.05), dash, BoardLink(dash, retry=0))
    return app, lambda *seen: wait_until(lambda: app.step(0.02) or (
        shown(board)["gear"], shown(board)["central"], app.source.state) == seen)


def test_shared_memory_end_to_end(bus, board, game):
    (folder, tell), decoder = game, kunos.Acc()
    app, shows = on_board(board, decoder, folder)
    assert shows(" ", "   ", WAITING)  # before the game starts
    publish(tell, acc_pages())
    assert shows("2", "188", RECEIVING)
    # 2nd gear without the pit limiter and 5th with it in turn, read back to back: never a mix of both.
    tell("write", kunos.PHYSICS, 3, *(bytes(acc_pages(gear=gear, pit=gear == 6)[kunos.PHYSICS]).hex()
                                      for gear in (3, 6)))
    seen, end = set(), time.monotonic() + 3
    while time.monotonic() < end:
        seen.add((telemetry := decoder.read(app.source.readers)) and (telemetry.gear, telemetry.pit_limiter))
    assert tell().readline() == "done\n" and seen - {None} == {(2, False), (5, True)}
    # The game quits, taking its pages along, and comes back with new pages of the same names.
    assert tell("remove").readline() == "done\n" and shows(" ", "   ", WAITING)
    publish(tell, acc_pages(gear=7))
    assert shows("6", "188", RECEIVING) and decoder.rejected == 0

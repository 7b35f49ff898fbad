"""torqdash: AMS2 / Project CARS 2 (UDP, shared memory), SCS and DiRT: packets from the published layouts."""
import os
import socket
import struct
import subprocess
import sys
from contextlib import closing
from dataclasses import replace

import pytest

from conftest import wait_until
from test_torqdash_kunos import Written, game, on_board, publish  # noqa: F401 (game: writes pages in /dev/shm)
from torqdash import SOURCES, Telemetry
from torqdash.app import open_source, parser
from torqdash.games import ams2
from torqdash.sources import RECEIVING, WAITING


def zeroed(size, fields):  # fields: {offset: (struct format, value)}
    data = bytearray(size)
    for offset, (fmt, value) in fields.items():
        struct.pack_into("<" + fmt, data, offset, value)
    return data


# SMS_UDP_Definitions.hpp (patch 5): mPacketType 10. sTelemetryData (559 bytes):
# sViewedParticipantIndex 12, sCarFlags 17, sFuelCapacity 28, sFuelLevel 32, sSpeed 36, sRpm 40,
# sMaxRpm 42, sGearNumGears 45. sTimingsData (1063): 32-byte sParticipantInfo from 33
# (sRacePosition +14, sHighestFlag +16, sCurrentTime +22). sTimeStatsData (1040): 32-byte
# entries from 16 (sFastestLapTime +0, sLastLapTime +4). Participant 2 is the viewed car.
CAR = zeroed(559, {12: ("b", 2), 17: ("B", 8 | 16 | 64), 28: ("B", 60), 32: ("f", 0.25), 36: ("f", -50.0),
                   40: ("H", 7200), 42: ("H", 8000), 45: ("B", 0x63)})  # limiter, ABS, TC; 6 gears, 3rd
TIMINGS = zeroed(1063, {10: ("B", 3), 97 + 14: ("B", 0x84), 97 + 16: ("B", 6 | 1 << 3), 97 + 22: ("f", 61.5)})
STATS = zeroed(1040, {10: ("B", 7), 80: ("f", 80.25), 84: ("f", 81.5)})  # P4 (active) under yellow
AMS2_T = Telemetry(rpm=7200, max_rpm=8000, gear=3, speed_kph=180.0, fuel=0.25, pit_limiter=True,
                   abs_active=True, tc_active=True, handbrake=False, oil_warning=False, position=4,
                   flag="yellow", lap_time_s=61.5, last_lap_s=81.5, best_lap_s=80.25)
CAR_ONLY = dict(position=None, flag=None, lap_time_s=None, last_lap_s=None, best_lap_s=None)
# The DiRT packet's floats (by index): lap_time 1, speed 7, gear 33, engine rate 37,
# car_position 39, fuel_in_tank 45, fuel_capacity 46, last_lap_time 62, max_rpm 63, max_gears 65.
DR2 = zeroed(264, {4: ("f", 12.5), 28: ("f", -20.0), 132: ("f", -1), 148: ("f", 733.0383),
                   252: ("f", 994.8377), 260: ("f", 5)})  # 7000 and 9500 rpm in rad/s
DIRT4 = zeroed(264, {132: ("f", 10), 148: ("f", 6500), 156: ("f", 3), 180: ("f", 20), 184: ("f", 40),
                     248: ("f", 95.5), 252: ("f", 8000), 260: ("f", 6)})
RPM = dict(rpm=pytest.approx(7000, rel=1e-6), max_rpm=pytest.approx(9500, rel=1e-6))
DIRT4_T = Telemetry(rpm=6500, max_rpm=8000, gear=-1, speed_kph=0.0, fuel=0.5, position=3, lap_time_s=0.0,
                    last_lap_s=95.5)
CASES = {  # decoder, packets, expected
    "ams2": (ams2.Ams2, [TIMINGS, STATS, CAR], AMS2_T),
    "ams2-timings-first": (ams2.Ams2, [TIMINGS], Telemetry()),  # no viewed car yet
    **{f"ams2-{at}-{raw}": (ams2.Ams2, [CAR[:at] + bytes([raw]) + CAR[at + 1:]],
                            replace(AMS2_T, **CAR_ONLY, **t))  # reverse, 9th gear; no tank
       for at, raw, t in ((45, 0x6F, {"gear": -1}), (45, 0x59, {"gear": 9}), (28, 0, {"fuel": None}))},
    "dirt-rally-2": (SOURCES["dirt"], [DR2], Telemetry(gear=-1, speed_kph=72.0, lap_time_s=12.5, **RPM)),
    "dirt-4": (SOURCES["dirt"], [DIRT4], DIRT4_T),
    "dirt-tenth-gear": (SOURCES["dirt"], [DIRT4[:260] + struct.pack("<f", 10)], replace(DIRT4_T, gear=10))}
NAN = struct.pack("<f", float("nan"))


@pytest.mark.parametrize("case", CASES)
def test_udp_decoders(case):
    decoder_type, packets, expected = CASES[case]
    decoder, good = decoder_type(), packets[-1]
    assert [decoder.feed(p) for p in packets][-1] == expected and decoder.rejected == decoder.ignored == 0
    bad, ignored = [good[:-1], good + b"\0", b"", good[:148] + NAN + good[152:]], []
    if decoder_type is ams2.Ams2:  # NaN speed, a NaN in the last participant's timings; others ignored
        bad[3:] = [CAR[:36] + NAN + CAR[40:], TIMINGS[:1047] + NAN + TIMINGS[1051:]]
        ignored = [zeroed(24, {10: ("B", 4)}), zeroed(1040, {10: ("B", 2)})]  # game state, participants
    assert [decoder.feed(p) for p in bad + ignored] == [None] * len(bad + ignored)
    assert (decoder.rejected, decoder.ignored) == (len(bad), len(ignored))
    assert decoder.feed(good) == expected  # what was rejected left nothing behind


def test_ams2_hears_the_games_broadcast():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("0.0.0.0", 0))
        port = probe.getsockname()[1]  # a free port
    with closing(open_source(parser().parse_args(["ams2", "--port", str(port)]))) as source, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:  # on its default address
        sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sender.sendto(CAR, ("127.255.255.255", port))
        assert wait_until(lambda: source.poll(0.0)) == replace(AMS2_T, **CAR_ONLY)


# SharedMemory.h (4-byte alignment, 100-byte ParticipantInfo from 28, mRacePosition +84):
# mVersion 0, mGameState 8, mViewedParticipantIndex 20, mCarName 6444, mBestLapTime 6716,
# mLastLapTime 6720, mCurrentTime 6724, mHighestFlagColour 6800, mCarFlags 6816, mFuelLevel 6840,
# mFuelCapacity 6844, mSpeed 6848, mRpm 6852, mMaxRPM 6856, mGear 6876, mSequenceNumber 7320.
SMS_PAGE = {0: ("I", 14), 8: ("I", 2), 20: ("i", 1), 28 + 100 + 84: ("I", 7), 6444: ("64s", b"Ginetta G55"),
            6716: ("f", -1), 6720: ("f", 90.5), 6724: ("f", 42), 6800: ("I", 11), 6816: ("I", 32 | 4),
            6840: ("f", 0.375), 6844: ("f", 100), 6848: ("f", 30), 6852: ("f", 5000), 6856: ("f", 7500),
            6876: ("i", 4), 7320: ("I", 2)}  # in game, P7, chequered flag, handbrake, engine warning
# scs-telemetry-common.hpp (revision 12): sdkActive 0, paused 4, time 8, telemetry_plugin_revision
# 40, game 52, gearDashboard 508, fuelCapacity 704, engineRpmMax 740, speed 948, engineRpm 952,
# fuel 1000, parkBrake 1566, oilPressureWarning 1572, batteryVoltageWarning 1574, blinkerLeftOn
# 1580, blinkerRightOn 1581, truckBrand 2364, truckName 2492.
SCS_PAGE = {0: ("?", True), 8: ("Q", 123456), 40: ("I", 12), 52: ("I", 1), 508: ("i", -2), 704: ("f", 600),
            740: ("f", 2500), 948: ("f", -5), 952: ("f", 1200), 1000: ("f", 300), 1566: ("?", True),
            1574: ("?", True), 1580: ("?", True), 2364: ("64s", b"Scania"), 2492: ("64s", b"R")}
SHM = {  # size, fields, telemetry, its stamp; not live: an older layout, the menus
    "ams2-shm": (8000, SMS_PAGE, Telemetry(
        rpm=5000.0, max_rpm=7500.0, gear=4, speed_kph=108.0, fuel=0.375, position=7, lap_time_s=42.0,
        last_lap_s=90.5, flag="chequered", car="Ginetta G55", pit_limiter=False, abs_active=False,
        tc_active=False, handbrake=True, oil_warning=True), (7320, "<I"), [{0: ("I", 8)}, {8: ("I", 1)}]),
    "ets2": (32 * 1024, SCS_PAGE, Telemetry(  # the plugin unloaded, a game it does not know, an old plugin
        rpm=1200.0, max_rpm=2500.0, gear=-1, speed_kph=18.0, fuel=0.5, in_race=True, handbrake=True,
        oil_warning=False, battery_warning=True, signal_left=True, signal_right=False, car="Scania R"),
        (8, "<Q"), [{0: ("?", False)}, {52: ("I", 0)}, {40: ("I", 10)}])}


def shm_page(source, changes={}):
    return zeroed(SHM[source][0], {**SHM[source][1], **changes})


@pytest.mark.parametrize("source", SHM)
def test_shared_memory_decoders(source):
    _, _, expected, (at, fmt), not_live = SHM[source]
    decoder, name = SOURCES[source](), next(iter(SOURCES[source].pages))
    assert decoder.read({name: shm_page(source)}) == expected and not decoder.waiting
    assert decoder.read({name: shm_page(source)}) is None  # nothing new
    if source == "ets2":  # a pause in the same frame is news: the board goes dark
        assert decoder.read({name: shm_page(source, {4: ("?", True)})}) == replace(expected, in_race=False)
    else:  # an odd sequence number: the game is writing
        assert decoder.read({name: shm_page(source, {7320: ("I", 7)})}) is None and decoder.torn == 1
    torn = decoder.torn

    def again(data):  # the game writes again (its stamp 2 on) right after the copy (len: no write)
        struct.pack_into(fmt, data, at, struct.unpack_from(fmt, data, at)[0] + 2)
    assert decoder.read({name: Written(shm_page(source), len, again)}) == expected  # taken again
    assert decoder.read({name: Written(shm_page(source), *[len, again] * 4)}) is None  # each time: given up
    for changes in not_live:
        assert decoder.read({name: shm_page(source, changes)}) is None and decoder.waiting
    old = "scs-sdk-plugin revision 10: torqdash reads revision 11 and later" if source == "ets2" else ""
    assert (decoder.reason, decoder.rejected, decoder.torn) == (old, 0, torn + 1)


WRITER = """import os, struct, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
for i in range(300):  # each frame torn: odd sequence, RPM, a pause, speed (RPM / 100), even sequence
    os.pwrite(fd, struct.pack("<I", 3 + 2 * i), 7320)
    os.pwrite(fd, struct.pack("<f", 1000.0 + i), 6852)
    time.sleep(0.001)
    os.pwrite(fd, struct.pack("<f", (1000.0 + i) / 100), 6848)
    os.pwrite(fd, struct.pack("<I", 4 + 2 * i), 7320)
    time.sleep(0.002)
"""


def test_ams2_shared_memory_end_to_end(bus, board, game):  # noqa: F811 (the fixture)
    """A /dev/shm page that another process writes while the app reads it: missing, zero, torn."""
    (folder, tell), seen = game, []
    app, shows = on_board(board, SOURCES["ams2-shm"](), folder)
    show = app.dash.show
    app.dash.show = lambda telemetry, now=None: seen.append(telemetry) or show(telemetry, now)
    app.step(0)
    publish(tell, {"$pcars2$": bytes(8000)})
    assert wait_until(lambda: app.step(0) or app.source.readers) and app.source.state == WAITING
    publish(tell, {"$pcars2$": shm_page("ams2-shm", {6848: ("f", 9.99), 6852: ("f", 999)})})
    writer = subprocess.Popen([sys.executable, "-c", WRITER, os.path.join(folder, "$pcars2$")])
    while writer.poll() is None:
        app.step(0.005)
    assert writer.returncode == 0 and len(seen) > 10 and app.source.state == RECEIVING
    assert all(t.speed_kph == pytest.approx(t.rpm / 100 * 3.6, rel=1e-6) for t in seen)  # never half a frame
    assert shows("4", " 47", RECEIVING)  # 12.99 m/s

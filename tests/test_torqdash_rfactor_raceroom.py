"""rF2, LMU, RaceRoom (and Kunos' games): pages built from the layouts: live, not live, unreadable, torn."""
import struct
from dataclasses import replace
from math import hypot, nan

import pytest

from game_pages import r3e_page, rf2_pages
from test_torqdash_kunos import ACC_T, AC_T, Written, ac_pages, acc_pages, game, on_board, publish, put  # noqa: F401
from torqdash import SOURCES, Telemetry
from torqdash.games import kunos, rfactor as rf
from torqdash.games.raceroom import R3E, R3E_NAME
from torqdash.games.rfactor import INFO, LMU_DATA, TELEM_SIZE, VEHICLE
from torqdash.sources import RECEIVING


def test_mappings_as_the_headers_make_them():  # each struct's own layout: test_torqdash_kunos
    # LMU_Data: size_t scoringStreamSize (aligned to 8), 104 cars, the 64 KiB results stream; padded to 8.
    assert rf.LMU_SCORING_AT + 560 + 104 * VEHICLE.size + 65536 == rf.LMU_TELEMETRY_AT
    assert (-(-INFO.size // 8) * 8 + 8, -(-(rf.LMU_TELEM_AT + 104 * TELEM_SIZE) // 8) * 8) == (
        560, rf.LMU_SIZE)
    # The plugin's mappings: the version block, then rF2Telemetry and rF2Scoring.
    assert list(SOURCES["rf2"].pages.values()) == [8 + 4 + 4 + 128 * 1888, 8 + 4 + 548 + 128 * 584]


RF = Telemetry(rpm=7300.0, max_rpm=8500.0, gear=4, speed_kph=hypot(3, 40) * 3.6, fuel=0.6,
               lap_time_s=82.5, last_lap_s=210.25, best_lap_s=208.5, delta_s=-0.25, position=3,
               pit_limiter=True, in_race=True, flag="green", car="Oreca 07 #22:LM")
SHOWN = {"rf2": RF, "lmu": replace(RF, abs_active=False, tc_active=False), "r3e": Telemetry(
    rpm=7000, max_rpm=8500, shift_rpm=8000, gear=3, speed_kph=180, fuel=0.5, lap_time_s=45.5,
    last_lap_s=90.25, best_lap_s=89.5, delta_s=-0.5, position=2, pit_limiter=True, abs_active=True,
    tc_active=False, flag="green", in_race=True, car="4567")}
# Changes to the player's TelemInfoV01, ScoringInfoV01, VehicleScoringInfoV01 -> to what shows.
RF_CASES = {
    "green": ({}, {}, {}, {}),
    "full-course yellow": ({}, {"mGamePhase": 6}, {"mFlag": 6}, {"flag": "yellow"}),  # before blue
    "yellow: pit lead lap": ({}, {"mYellowFlagState": 3}, {}, {"flag": "yellow"}),
    "local yellow here": ({}, {"mSectorFlag": b"\0\x0b\0"}, {"mSector": 1}, {"flag": "yellow"}),
    "local yellow elsewhere": ({}, {"mSectorFlag": b"\x0b\0\0"}, {"mSector": 1}, {}),
    "blue": ({}, {}, {"mFlag": 6}, {"flag": "blue"}),
    "stopped": ({}, {"mGamePhase": 7}, {}, {"flag": "red"}),
    "race halt": ({}, {"mYellowFlagState": 7}, {}, {"flag": "red"}),
    "session over": ({}, {"mGamePhase": 8}, {}, {"flag": "chequered"}),
    "finished": ({}, {}, {"mFinishStatus": 1}, {"flag": "chequered"}),
    "disqualified": ({}, {}, {"mFinishStatus": 3}, {"flag": "black"}),
    "formation lap": ({}, {"mGamePhase": 3}, {}, {"flag": None}),
    "at the monitor": ({}, {"mInRealtime": False}, {}, {"in_race": False}),
    "no best lap, no tank": ({"mFuelCapacity": 0.0}, {}, {"mBestLapTime": -1.0},
                             {"best_lap_s": None, "delta_s": None, "fuel": None}),
}
R3E_CASES = {
    "green": ({}, {}), "black before chequered": ({"black": 1, "checkered": 1}, {"flag": "black"}),
    "chequered before yellow": ({"checkered": 1, "yellow": 1}, {"flag": "chequered"}),
    "yellow before blue": ({"yellow": 1, "blue": 1}, {"flag": "yellow"}),
    "white": ({"white": 1, "green": 0}, {"flag": "white"}),
    "session over": ({"green": 0, "session_phase": 6}, {"flag": "chequered"}),
    "nothing known": ({"green": -1, "gear": -2, "abs": -1, "tc": -1, "pit_limiter": -1, "position": -1,
                       "time_delta_best_self": -1000.0, "lap_time_best_self": -1.0},
                      dict.fromkeys(("flag", "gear", "abs_active", "tc_active", "pit_limiter", "position",
                                     "delta_s", "best_lap_s"))),
    "tc working": ({"tc": 5, "abs": 1}, {"tc_active": True, "abs_active": False}),
    "in the menus": ({"game_in_menus": 1}, Telemetry(in_race=False)),
    "a replay": ({"game_in_replay": 1}, Telemetry(in_race=False)),
}


LIVE = {"rf2": rf2_pages(), "lmu": rf2_pages(lmu=True), "r3e": {R3E_NAME: r3e_page()}, "acc": acc_pages(),
        "ac": ac_pages()}


def patched(pages, name, at, data):
    return {**pages, name: pages[name][:at] + data + pages[name][at + len(data):]}


def busy(pages, name, *ats):  # page `name` written before every read (a counting int at each of `ats`)
    return {**pages, name: Written(pages[name], *(put(*((at, struct.pack("<i", n)) for at in ats))
                                                 for n in range(10, 99)))}


LMU_OWN = dict(mABSActive=True, mTCActive=True, mVehicleModel=b"Oreca 07")  # rFactor 2's mExpansion
SHOWS = {  # pages -> what shows (then nothing new), for the source that begins the name
    "acc slower, no best, orange": (acc_pages(isDeltaPositive=1, iBestTime=2**31 - 1, flag=8),
                                    replace(ACC_T, best_lap_s=None, delta_s=None, flag=None)),
    "acc slower": (acc_pages(isDeltaPositive=1, iDeltaLapTime=-412, flag=7),
                   replace(ACC_T, delta_s=0.412, flag="green")),
    "acc red, limiter, neutral": (acc_pages(gear=1, pit=1, flag=2, GlobalRed=1),
                                  replace(ACC_T, gear=0, pit_limiter=True, flag="red")),
    "ac": (ac_pages(), AC_T),
    "ac abs acting, first gear": (ac_pages(gear=2, tcinAction=0, absInAction=1, pitLimiterOn=1),
                                  replace(AC_T, gear=1, tc_active=False, abs_active=True, pit_limiter=True)),
    "rf2 with LMU's own fields": (rf2_pages(LMU_OWN), RF),
    "lmu own": (rf2_pages(LMU_OWN, lmu=True), replace(RF, abs_active=True, tc_active=True, car="Oreca 07")),
    "lmu without a car": (patched(LIVE["lmu"], LMU_DATA, rf.LMU_TELEMETRY_AT + 2, b"\0"),  # playerHasVehicle
                          Telemetry(in_race=False)),
    **{f"{source} {case}": (rf2_pages(telem, info, vehicle, lmu=source == "lmu"),
                            replace(SHOWN[source], **changes))
       for case, (telem, info, vehicle, changes) in RF_CASES.items() for source in ("rf2", "lmu")},
    **{f"r3e {case}": ({R3E_NAME: r3e_page(values)},
                       replace(SHOWN["r3e"], **changes) if isinstance(changes, dict) else changes)
       for case, (values, changes) in R3E_CASES.items()}}


@pytest.mark.parametrize("case", SHOWS)
def test_pages_show_the_players_car(case):
    (pages, expected), decoder = SHOWS[case], SOURCES[case.split()[0]]()
    assert vars(decoder.read(pages)) == pytest.approx(vars(expected))  # (RaceRoom's: float32's precision)
    assert (decoder.rejected, decoder.torn, decoder.waiting) == (0, 0, False) and decoder.read(pages) is None


# Pages showing nothing (to the source that begins the name) -> (why it waits or None; rejected; torn).
NOTHING_SHOWN = {
    "none": (dict.fromkeys(LIVE, {}), "", 0, 0),
    "all zero (Windows' empty mapping)": (
        {source: dict.fromkeys(SOURCES[source].pages, bytes(400000)) for source in LIVE}, "", 0, 0),
    "off, a replay, paused": ({f"acc status {n}": acc_pages(status=n) for n in (0, 1, 3)}, "", 0, 0),
    "paused, shown still": ({"r3e": {R3E_NAME: r3e_page({"game_paused": 1})}}, None, 0, 0),
    "ac's": ({"acc": ac_pages()}, "these pages are Assetto Corsa's (version 1.16): python -m torqdash ac "
                                  "reads them", 0, 0),
    "acc's": ({"ac": acc_pages()}, "these pages are Assetto Corsa Competizione's (version 1.10): python -m "
                                   "torqdash acc reads them", 0, 0),
    "another major version": ({"r3e": {R3E_NAME: r3e_page(major=2)}},
                              "its shared memory is version 2, torqdash reads 3", 0, 0),
    "scoring never written": ({"rf2": rf2_pages(versions=(5, 0))}, "", 0, 0),
    "cut short": ({source: {name: data[:20] for name, data in LIVE[source].items()} for source in LIVE},
                  None, 1, 0),
    "500 cars": ({source: rf2_pages(info={"mNumVehicles": 500}, lmu=source == "lmu")
                  for source in ("rf2", "lmu")}, None, 1, 0),
    "no such car": ({"lmu": patched(LIVE["lmu"], LMU_DATA, rf.LMU_TELEMETRY_AT + 1, bytes([104]))},
                    None, 1, 0),  # playerVehicleIdx 104
    "not a number": ({"rf2": rf2_pages({"mEngineRPM": nan}), "lmu": rf2_pages({"mFuel": nan}, lmu=True),
                      "r3e": {R3E_NAME: r3e_page({"car_speed": nan})},
                      **{source: patched(LIVE[source], kunos.PHYSICS, 28, struct.pack("<f", nan))  # speedKmh
                         for source in ("acc", "ac")}}, None, 1, 0),
    "written on every read": ({"rf2": busy(LIVE["rf2"], rf.RF2_TELEMETRY, 0, 4),
                               "rf2 scoring": busy(LIVE["rf2"], rf.RF2_SCORING, 0, 4),
                               "rf2 update 10 begun": patched(LIVE["rf2"], rf.RF2_SCORING, 0, b"\n"),
                               "lmu": busy(LIVE["lmu"], LMU_DATA, rf.LMU_TELEM_AT + 2 * TELEM_SIZE + 4),
                               "r3e": busy(LIVE["r3e"], R3E_NAME, R3E.offset("engine_rps")),
                               "ac": busy(LIVE["ac"], kunos.GRAPHICS, 0)}, None, 0, 1)}


@pytest.mark.parametrize("source, case", [(source, case) for case, (pages, *_) in NOTHING_SHOWN.items()
                                          for source in pages])
def test_pages_show_nothing(source, case):
    (pages, reason, rejected, torn), live = NOTHING_SHOWN[case], LIVE[source.split()[0]]
    decoder = SOURCES[source.split()[0]]()
    decoder.waiting = False
    assert decoder.read(pages[source]) is None
    assert (decoder.waiting, decoder.reason, decoder.rejected, decoder.torn) == (
        reason is not None, reason or "", rejected, torn)
    if reason is not None or torn:  # a game back after a pause (or done writing) shows what it writes
        assert decoder.read(live) and (torn or decoder.read(pages[source]) is None and decoder.read(live))


def test_rf2_end_to_end(bus, board, game):  # noqa: F811 (the fixture)
    _, shows = on_board(board, SOURCES["rf2"](), game[0])
    publish(game[1], rf2_pages({"mGear": 6}))
    assert shows("6", "144", RECEIVING)

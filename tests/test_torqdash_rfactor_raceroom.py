"""rFactor 2, Le Mans Ultimate and RaceRoom: layouts against the headers, pages built from
them (no recordings exist, ../shared/testdata/real-telemetry/PROVENANCE.md), torn and
not-yet-live pages, and rFactor 2 on /dev/shm end to end (with the ACC tests' game)."""
import math
import struct
import time
from dataclasses import replace

import pytest

from game_pages import INFO_VALUES, R3E_VALUES, TELEM_VALUES, VEHICLE_VALUES, lmu_page, r3e_page, rf2_pages
from test_torqdash_kunos import Clock, Written, game, publish  # noqa: F401 (game: a fixture)
from torqdash import SOURCES, Dash, Layout, Telemetry
from torqdash.app import App, BoardLink
from torqdash.games import rfactor
from torqdash.games.raceroom import R3E, R3E_NAME
from torqdash.games.rfactor import INFO, LMU_DATA, TELEM, TELEM_SIZE, VEHICLE
from torqdash.sources import SharedMemorySource
from torqsim.board import BoardState, panel_text


def test_layouts_match_the_headers():
    # The isiMotor structs (pack 4) as MSVC lays out LMU's InternalsPlugin.hpp (the rF2
    # plugin's rF2State.h static_asserts the same sizes); r3e.h 3.x (pack 1).
    offsets = [(TELEM, "mElapsedTime", 12), (TELEM, "mUnfilteredThrottle", 388), (TELEM, "mExpansion", 828),
               (VEHICLE, "mLapDist", 104), (VEHICLE, "mQualification", 460), (VEHICLE, "mFlag", 504),
               (INFO, "mResultsStream", 96), (INFO, "mServerName", 296), (INFO, "mVehicle", 540),
               (R3E, "game_in_replay", 28), (R3E, "upshift_rps", 1404), (R3E, "fuel_left", 1456),
               (R3E, "pit_limiter", 1572)]
    assert [layout.offset(name) for layout, name, _ in offsets] == [offset for _, _, offset in offsets]
    assert (TELEM_SIZE, VEHICLE.size, INFO.size) == (1888, 584, 548)  # with mWheel[4] at 848
    # LMU_Data: the size_t scoringStreamSize aligned to 8 after mScoringInfo, 104 cars and
    # the 64 KiB results stream before the telemetry, the whole padded to 8.
    assert rfactor.LMU_SCORING_AT + 560 + 104 * VEHICLE.size + 65536 == rfactor.LMU_TELEMETRY_AT
    assert (-(-INFO.size // 8) * 8 + 8, -(-(rfactor.LMU_TELEM_AT + 104 * TELEM_SIZE) // 8) * 8) == (
        560, rfactor.LMU_SIZE)
    # The plugin's mappings: the version block, then rF2Telemetry and rF2Scoring.
    assert list(SOURCES["rf2"].pages.values()) == [8 + 4 + 4 + 128 * 1888, 8 + 4 + 548 + 128 * 584]


def pages_of(source, telem=(), info=(), vehicle=(), **kwargs):
    values = ({**TELEM_VALUES, **dict(telem)}, {**INFO_VALUES, **dict(info)},
              {**VEHICLE_VALUES, **dict(vehicle)})
    if source == "r3e":
        return {R3E_NAME: r3e_page(**kwargs)}
    return rf2_pages(*values, **kwargs) if source == "rf2" else {LMU_DATA: lmu_page(*values)}


RF = Telemetry(rpm=7300.0, max_rpm=8500.0, gear=4, speed_kph=math.hypot(3, 40) * 3.6, fuel=0.6,
               lap_time_s=82.5, last_lap_s=210.25, best_lap_s=208.5, delta_s=-0.25, position=3,
               pit_limiter=True, in_race=True, flag="green", car="Oreca 07 #22:LM")
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
    "lmu's own fields": (dict(mABSActive=True, mTCActive=True, mVehicleModel=b"Oreca 07"), {}, {},
                         dict(abs_active=True, tc_active=True, car="Oreca 07")),  # rFactor 2: mExpansion
}


@pytest.mark.parametrize("source", ["rf2", "lmu"])
@pytest.mark.parametrize("case", RF_CASES)
def test_rfactor_and_lmu_show_the_players_car(source, case):
    telem, info, vehicle, changes = RF_CASES[case]
    decoder = SOURCES[source]()
    telemetry = decoder.read(pages_of(source, telem, info, vehicle))
    if source == "lmu":
        changes = {"abs_active": False, "tc_active": False, **changes}
    elif case == "lmu's own fields":
        changes = {}
    assert vars(telemetry) == pytest.approx(vars(replace(RF, **changes)))
    assert (decoder.rejected, decoder.torn, decoder.waiting) == (0, 0, False)


R3E_T = Telemetry(rpm=7000, max_rpm=8500, shift_rpm=8000, gear=3, speed_kph=180, fuel=0.5, lap_time_s=45.5,
                  last_lap_s=90.25, best_lap_s=89.5, delta_s=-0.5, position=2, pit_limiter=True,
                  abs_active=True, tc_active=False, flag="green", in_race=True, car="4567")
R3E_CASES = {  # changes to the page -> to what shows (None: nothing new)
    "green": ({}, {}),
    "black before chequered": ({"black": 1, "checkered": 1}, {"flag": "black"}),
    "chequered before yellow": ({"checkered": 1, "yellow": 1}, {"flag": "chequered"}),
    "yellow before blue": ({"yellow": 1, "blue": 1}, {"flag": "yellow"}),
    "white": ({"white": 1, "green": 0}, {"flag": "white"}),
    "session over": ({"green": 0, "session_phase": 6}, {"flag": "chequered"}),
    "nothing known": ({"green": -1, "gear": -2, "abs": -1, "tc": -1, "pit_limiter": -1, "position": -1,
                       "time_delta_best_self": -1000.0, "lap_time_best_self": -1.0},
                      dict(flag=None, gear=None, abs_active=None, tc_active=None, pit_limiter=None,
                           position=None, delta_s=None, best_lap_s=None)),
    "tc working": ({"tc": 5, "abs": 1}, {"tc_active": True, "abs_active": False}),
    "in the menus": ({"game_in_menus": 1}, Telemetry(in_race=False)),
    "a replay": ({"game_in_replay": 1}, Telemetry(in_race=False)),
    "paused": ({"game_paused": 1}, None),
}


@pytest.mark.parametrize("case", R3E_CASES)
def test_raceroom_converts_rad_per_s_and_reads_its_flags(case):
    values, changes = R3E_CASES[case]
    decoder = SOURCES["r3e"]()
    telemetry = decoder.read({R3E_NAME: r3e_page({**R3E_VALUES, **values})})
    if isinstance(changes, dict):
        expected = vars(replace(R3E_T, **changes))  # numbers from float32 fields, within their precision
        assert vars(telemetry) == {key: value if value is None or isinstance(value, str)
                                   else pytest.approx(value, rel=1e-6) for key, value in expected.items()}
    else:
        assert telemetry == changes and not decoder.waiting


def patched(page, at, data):
    page[at:at + len(data)] = data
    return page


# Pages before a game is live, or that it cannot have written: -> (waiting, rejected).
NOT_LIVE = {
    "none": ({source: {} for source in ("rf2", "lmu", "r3e")}, True, 0),
    "all zero (Windows' empty mapping)": ({source: dict.fromkeys(SOURCES[source].pages, bytes(400000))
                                           for source in ("rf2", "lmu", "r3e")}, True, 0),
    "cut short": ({source: {name: page[:20] for name, page in pages_of(source).items()}
                   for source in ("rf2", "lmu", "r3e")}, False, 1),
    "another major version": ({"r3e": pages_of("r3e", major=2)}, True, 0),
    "scoring never written": ({"rf2": pages_of("rf2", versions=(5, 0))}, True, 0),
    "500 cars": ({source: pages_of(source, info={"mNumVehicles": 500}) for source in ("rf2", "lmu")},
                 False, 1),
    "no such car": ({"lmu": {LMU_DATA: patched(lmu_page(), rfactor.LMU_TELEMETRY_AT + 1, bytes((104, 1)))}},
                    False, 1),  # playerVehicleIdx 104
}


@pytest.mark.parametrize("source, case", [(source, case) for case, (pages, _, _) in NOT_LIVE.items()
                                        for source in pages])
def test_pages_not_live_or_unreadable_show_nothing(source, case):
    pages, waiting, rejected = NOT_LIVE[case]
    decoder = SOURCES[source]()
    decoder.waiting = False
    assert decoder.read(pages[source]) is None
    assert (decoder.waiting, decoder.rejected, decoder.torn) == (waiting, rejected, 0)


def test_lmu_without_a_car_is_dark_and_unchanged_is_nothing_new():
    page = patched(lmu_page(), rfactor.LMU_TELEMETRY_AT + 2, b"\0")  # playerHasVehicle
    decoder = SOURCES["lmu"]()
    assert decoder.read({LMU_DATA: page}) == Telemetry(in_race=False)
    assert decoder.read({LMU_DATA: page}) is None


def put(*writes):
    """A write of the game: (offset, bytes) pairs, for the ACC tests' Written page."""
    return lambda data: [data.__setitem__(slice(at, at + len(value)), value) for at, value in writes]


NOTHING = put()
RPM_AT, PLAYER_TELEM = TELEM.offset("mEngineRPM"), rfactor.RF2_TELEM_AT + 2 * TELEM_SIZE
PLAYER_VEHICLE = rfactor.RF2_VEHICLE_AT + VEHICLE.size
BEGIN_7, END_7 = (0, struct.pack("<I", 7)), (4, struct.pack("<I", 7))
# Update 6 of a mapping is there; the plugin begins update 7 after our first look at its
# version (our first slice of the mapping) and ends it after our third: page -> (the
# game's writes before our second and fourth slices, what shows of the whole update 7).
RF2_UPDATES = {
    rfactor.RF2_TELEMETRY: (put(BEGIN_7, (PLAYER_TELEM + RPM_AT, struct.pack("<d", 7900.0))),
                            put((PLAYER_TELEM + TELEM.offset("mGear"), struct.pack("<i", 5)), END_7),
                            dict(rpm=7900.0, gear=5)),
    rfactor.RF2_SCORING: (put(BEGIN_7, (PLAYER_VEHICLE + VEHICLE.offset("mPlace"), b"\1")),
                          put((rfactor.RF2_INFO_AT + INFO.offset("mGamePhase"), b"\6"), END_7),
                          dict(position=1, flag="yellow")),
}


@pytest.mark.parametrize("name", RF2_UPDATES)
def test_rf2_takes_again_a_copy_the_plugin_wrote_over(name):
    decoder, pages = SOURCES["rf2"](), rf2_pages()
    assert decoder.read(pages).gear == 4 and decoder.read(pages) is None  # unchanged: nothing new
    begin, end, shown = RF2_UPDATES[name]
    live = Written(struct.pack("<II", 6, 6) + pages[name][8:], NOTHING, begin, NOTHING, end)
    telemetry = decoder.read({**pages, name: live})
    assert ({key: getattr(telemetry, key) for key in shown}, decoder.torn) == (shown, 0)
    live.data[0:4] = struct.pack("<I", 8)  # an update that never ends is never shown
    assert decoder.read({**pages, name: live}) is None and decoder.torn == 1


def test_lmu_takes_again_a_copy_the_game_wrote_over():
    decoder, page = SOURCES["lmu"](), lmu_page()
    assert decoder.read({LMU_DATA: page}).position == 3
    # The game writes the car's telemetry and scoring between our reads of the two.
    live = Written(page, NOTHING, NOTHING, NOTHING, NOTHING, put(
        (rfactor.LMU_TELEM_AT + 2 * TELEM_SIZE + RPM_AT, struct.pack("<d", 7900.0)),
        (rfactor.LMU_VEHICLE_AT + VEHICLE.size + VEHICLE.offset("mPlace"), b"\1")))
    telemetry = decoder.read({LMU_DATA: live})
    assert (telemetry.rpm, telemetry.position, decoder.torn) == (7900.0, 1, 0)


@pytest.mark.parametrize("source, at", [("lmu", rfactor.LMU_TELEM_AT + 2 * TELEM_SIZE + RPM_AT),
                                      ("r3e", R3E.offset("engine_rps"))])
def test_a_page_written_on_every_read_is_never_shown(source, at):
    (name, page), = pages_of(source).items()
    live = Written(page, *(put((at, struct.pack("<i", n))) for n in range(100)))
    decoder = SOURCES[source]()
    assert decoder.read({name: live}) is None and (decoder.torn, decoder.rejected) == (1, 0)
    live.writes.clear()  # the game stops writing
    assert decoder.read({name: live}) is not None


def test_rf2_end_to_end(bus, board, game):  # noqa: F811 (the fixture)
    folder, tell = game
    said, clock, state = [], Clock(), BoardState()
    dash = Dash(None, Layout(dark_after_s=0.5), clock=clock)
    app = App(SharedMemorySource(SOURCES["rf2"](), folder, clock=clock, look_every=0.05), dash,
              BoardLink(dash, retry=0, say=said.append, clock=clock), say=said.append)

    def run(seconds, gear=None, saying=None):
        """Steps for `seconds` or until the board shows `gear` and torqdash last said
        `saying`; what it shows then (gear, central panel) and what it said last."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            app.step(0.02)
            for report in board.take_frames():
                state.apply(report)
            if gear and (state.gear.text, said[-1]) == (gear, f"torqdash: {saying} rFactor 2"):
                break
        return state.gear.text, panel_text(state.central), said[-1]

    waiting, receiving = "torqdash: waiting for rFactor 2", "torqdash: receiving rFactor 2"
    assert run(0.3) == (" ", "   ", waiting)
    publish(tell, {name: bytes(size) for name, size in SOURCES["rf2"].pages.items()})  # empty, later
    assert run(0.5) == (" ", "   ", waiting)
    torn = rf2_pages({**TELEM_VALUES, "mGear": 5}, versions=(2, 2))
    torn[rfactor.RF2_TELEMETRY][4:8] = struct.pack("<I", 1)  # begun, not ended
    publish(tell, torn)
    assert run(0.5) == (" ", "   ", waiting) and app.source.decoder.torn > 0
    publish(tell, rf2_pages({**TELEM_VALUES, "mGear": 6}, versions=(2, 2)))
    assert run(3, "6", "receiving") == ("6", "144", receiving)
    assert tell("remove").readline() == "done\n"  # the game (or its bridge) goes away ...
    assert run(3, " ", "waiting for") == (" ", "   ", waiting)
    publish(tell, rf2_pages({**TELEM_VALUES, "mGear": 2}, versions=(1, 1)))  # ... and comes back
    assert run(3, "2", "receiving") == ("2", "144", receiving) and app.source.decoder.rejected == 0

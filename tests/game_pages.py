"""Shared-memory pages of rFactor 2, Le Mans Ultimate and RaceRoom built from their published
layouts (no recording of these games exists to test against), for the tests and
bench/torqdash_shm.py: the player's car among others, at slots a decoder has to find."""
import math
import struct

from torqdash.games import raceroom, rfactor
from torqdash.games.rfactor import INFO, TELEM, TELEM_SIZE, VEHICLE

# 7300 of 8500 rpm in fourth at (3, 0, -40) m/s, 45 of 75 l, 82.5 s into the lap, last lap
# 3:30.25, best 3:28.5, 0.25 s up on it, third, pit limiter on; the other cars' mIDs.
TELEM_VALUES = dict(mID=7, mElapsedTime=100.0, mLapStartET=17.5, mVehicleName=b"Oreca 07 #22:LM",
                    mLocalVelX=3.0, mLocalVelZ=-40.0, mGear=4, mEngineRPM=7300.0, mEngineMaxRPM=8500.0,
                    mFuel=45.0, mFuelCapacity=75.0, mSpeedLimiter=1, mDeltaBest=-0.25)
VEHICLE_VALUES = dict(mID=7, mIsPlayer=True, mPlace=3, mBestLapTime=208.5, mLastLapTime=210.25, mSector=1)
INFO_VALUES = dict(mNumVehicles=3, mGamePhase=5, mInRealtime=True)
OTHERS = (3, 11)
# RaceRoom (in rad/s): 7000 of 8500 rpm, up-shift at 8000, third at 50 m/s, 30 of 60 l, 45.5 s
# into the lap, last 1:30.25, best 1:29.5, 0.5 s up, second, limiter on, ABS working.
RAD_PER_S = 2 * math.pi / 60  # in one rpm
R3E_VALUES = dict(engine_rps=7000 * RAD_PER_S, max_engine_rps=8500 * RAD_PER_S, upshift_rps=8000 * RAD_PER_S,
                  gear=3, car_speed=50.0, fuel_left=30.0, fuel_capacity=60.0, lap_time_current_self=45.5,
                  lap_time_previous_self=90.25, lap_time_best_self=89.5, time_delta_best_self=-0.5,
                  position=2, pit_limiter=1, abs=5, tc=1, model_id=4567, green=1)


def cars(data, at, layout, stride, player, player_slot):
    """The other cars (their mID only) and the player's car at `player_slot`."""
    for slot, slot_id in enumerate(OTHERS[:player_slot] + (player["mID"],) + OTHERS[player_slot:]):
        layout.write(data, at + slot * stride, **(player if slot == player_slot else {"mID": slot_id}))


def rf2_pages(telem=TELEM_VALUES, info=INFO_VALUES, vehicle=VEHICLE_VALUES, versions=(5, 9)):
    """The plugin's two mappings: the player's telemetry third, its scoring second."""
    pages = {name: bytearray(size) for name, size in rfactor.RFactor2.pages.items()}
    telemetry, scoring = pages[rfactor.RF2_TELEMETRY], pages[rfactor.RF2_SCORING]
    struct.pack_into("<IIii", telemetry, 0, versions[0], versions[0], 0, 3)
    struct.pack_into("<II", scoring, 0, versions[1], versions[1])
    cars(telemetry, rfactor.RF2_TELEM_AT, TELEM, TELEM_SIZE, telem, 2)
    INFO.write(scoring, rfactor.RF2_INFO_AT, **info)
    cars(scoring, rfactor.RF2_VEHICLE_AT, VEHICLE, VEHICLE.size, vehicle, 1)
    return pages


def lmu_page(telem=TELEM_VALUES, info=INFO_VALUES, vehicle=VEHICLE_VALUES):
    """LMU_Data with the same cars; playerVehicleIdx points at the player's telemetry."""
    page = bytearray(rfactor.LMU_SIZE)
    struct.pack_into("<i", page, rfactor.LMU_GAME_VERSION_AT, 1121)
    page[rfactor.LMU_TELEMETRY_AT:rfactor.LMU_TELEMETRY_AT + 3] = bytes((3, 2, 1))
    cars(page, rfactor.LMU_TELEM_AT, TELEM, TELEM_SIZE, telem, 2)
    INFO.write(page, rfactor.LMU_SCORING_AT, **info)
    cars(page, rfactor.LMU_VEHICLE_AT, VEHICLE, VEHICLE.size, vehicle, 1)
    return page


def r3e_page(values=R3E_VALUES, major=3):
    page = bytearray(raceroom.R3E.size)
    raceroom.R3E.write(page, version_major=major, version_minor=4, **values)
    return page

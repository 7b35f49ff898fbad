"""rF2's, LMU's and RaceRoom's pages from their published layouts, for the tests, fuzzer and bench."""
import math
import struct

from torqdash.games import raceroom, rfactor as rf
from torqdash.games.rfactor import INFO, TELEM, TELEM_SIZE, VEHICLE

# 7300 of 8500 rpm in fourth at (3, 0, -40) m/s, 45 of 75 l, 82.5 s into the lap, last lap
# 3:30.25, best 3:28.5, 0.25 s up on it, third, pit limiter on.
TELEM_VALUES = dict(mID=7, mElapsedTime=100.0, mLapStartET=17.5, mVehicleName=b"Oreca 07 #22:LM",
                    mLocalVelX=3.0, mLocalVelZ=-40.0, mGear=4, mEngineRPM=7300.0, mEngineMaxRPM=8500.0,
                    mFuel=45.0, mFuelCapacity=75.0, mSpeedLimiter=1, mDeltaBest=-0.25)
VEHICLE_VALUES = dict(mID=7, mIsPlayer=True, mPlace=3, mBestLapTime=208.5, mLastLapTime=210.25, mSector=1)
INFO_VALUES = dict(mNumVehicles=3, mGamePhase=5, mInRealtime=True)
# RaceRoom (in rad/s, rpm * pi / 30): 7000 of 8500 rpm, up-shift at 8000, third at 50 m/s, 30 of 60 l, 45.5 s
# into the lap, last 1:30.25, best 1:29.5, 0.5 s up, second, limiter on, ABS working.
R3E_VALUES = dict(engine_rps=7000 * math.pi / 30, max_engine_rps=8500 * math.pi / 30,
                  upshift_rps=8000 * math.pi / 30, gear=3, car_speed=50.0, fuel_left=30.0, fuel_capacity=60.0,
                  lap_time_current_self=45.5, lap_time_previous_self=90.25, lap_time_best_self=89.5,
                  time_delta_best_self=-0.5, position=2, pit_limiter=1, abs=5, tc=1, model_id=4567, green=1)


def rf2_pages(telem=(), info=(), vehicle=(), versions=(5, 9), lmu=False):
    """The plugin's mappings or LMU_Data: three cars, the player's telemetry third and scoring second."""
    telem, info, vehicle = ({**TELEM_VALUES, **dict(telem)}, {**INFO_VALUES, **dict(info)},
                            {**VEHICLE_VALUES, **dict(vehicle)})
    if lmu:
        pages = {rf.LMU_DATA: bytearray(rf.LMU_SIZE)}
        telemetry = scoring = pages[rf.LMU_DATA]
        struct.pack_into("<i", telemetry, rf.LMU_GAME_VERSION_AT, 1121)
        telemetry[rf.LMU_TELEMETRY_AT:rf.LMU_TELEMETRY_AT + 3] = bytes((3, 2, 1))  # the player's: the third
        at = (rf.LMU_TELEM_AT, rf.LMU_SCORING_AT, rf.LMU_VEHICLE_AT)
    else:
        pages = {name: bytearray(size) for name, size in rf.RFactor2.pages.items()}
        telemetry, scoring = pages.values()
        struct.pack_into("<IIii", telemetry, 0, versions[0], versions[0], 0, 3)
        struct.pack_into("<II", scoring, 0, versions[1], versions[1])
        at = (rf.RF2_TELEM_AT, rf.RF2_INFO_AT, rf.RF2_VEHICLE_AT)
    INFO.write(scoring, at[1], **info)
    for slot, (telem_id, vehicle_id) in enumerate(((3, 3), (11, vehicle["mID"]), (telem["mID"], 11))):
        TELEM.write(telemetry, at[0] + slot * TELEM_SIZE, **(telem if slot == 2 else {"mID": telem_id}))
        VEHICLE.write(scoring, at[2] + slot * VEHICLE.size, **(vehicle if slot == 1 else {"mID": vehicle_id}))
    return pages


def r3e_page(values=(), major=3):
    page = bytearray(raceroom.R3E.size)
    raceroom.R3E.write(page, version_major=major, version_minor=4, **{**R3E_VALUES, **dict(values)})
    return page

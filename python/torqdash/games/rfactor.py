"""rFactor 2 and Le Mans Ultimate: both publish the isiMotor internals that their plugins
see, the player's car in a TelemInfoV01 (about 50 updates a second) and the session in a
ScoringInfoV01 with one VehicleScoringInfoV01 per car (five a second). rFactor 2 does so
through the rF2 Shared Memory Map Plugin, one mapping each, guarded by version counters;
Le Mans Ultimate in one mapping of its own, guarded by a lock that a reader can only take
with write access."""
import math
import struct
from typing import Any, Dict, Mapping, Optional, Tuple

from ..telemetry import Telemetry
from .base import Fields, NotLive, Page, SharedMemoryDecoder, Torn, Unreadable, finite, take, text

# The isiMotor structs, #pragma pack(4), as rF2State.h of the rF2 Shared Memory Map Plugin
# 3.7.15 (TheIronWolfModding/rF2SharedMemoryMapPlugin, commit 8241847) and Le Mans
# Ultimate's InternalsPlugin.hpp (Studio 397 Plugin SDK, (c) 2025, in the game's
# Support/SharedMemoryInterface folder) declare them. The plugin copies the game's structs
# byte for byte; its 3.7.15.1 release inserts mDeltaBest after mPhysicalSteeringWheelRange
# (mExpansion[111] becomes [103]), as LMU's header has it. A field that stands for several
# ("mOri", "9d") reads as the first.
TELEM = Fields(
    ("mID", "i"), ("mDeltaTime", "d"), ("mElapsedTime", "d"), ("mLapNumber", "i"),
    ("mLapStartET", "d"), ("mVehicleName", "64s"), ("mTrackName", "64s"), ("mPos", "3d"),
    ("mLocalVelX", "d"), ("mLocalVelY", "d"), ("mLocalVelZ", "d"), ("mLocalAccel", "3d"),
    ("mOri", "9d"), ("mLocalRot", "3d"), ("mLocalRotAccel", "3d"), ("mGear", "i"),
    ("mEngineRPM", "d"), ("mEngineWaterTemp", "d"), ("mEngineOilTemp", "d"), ("mClutchRPM", "d"),
    ("mUnfilteredThrottle", "8d"),  # to mFilteredClutch
    ("mSteeringShaftTorque", "9d"),  # to mRearDownforce
    ("mFuel", "d"), ("mEngineMaxRPM", "d"), ("mScheduledStops", "4B"), ("mDentSeverity", "8B"),
    ("mLastImpactET", "5d"), ("mEngineTorque", "d"), ("mCurrentSector", "i"),
    ("mSpeedLimiter", "B"), ("mMaxGears", "3B"), ("mFuelCapacity", "d"), ("mFrontFlapActivated", "4B"),
    ("mFrontTireCompoundName", "36s"), ("mSpeedLimiterAvailable", "4B"),
    ("mVisualSteeringWheelRange", "f"), ("mRearBrakeBias", "2d"), ("mPhysicsToGraphicsOffset", "4f"),
    ("mDeltaBest", "d"), ("mBatteryChargeFraction", "5d"), ("mElectricBoostMotorState", "B"),
    # rFactor 2: mExpansion[103], for future use. Le Mans Ultimate: fields of its own.
    ("mLapInvalidated", "?"), ("mABSActive", "?"), ("mTCActive", "?"),
    ("mSpeedLimiterActive", "?"), ("mWiperState", "B"), ("mTC", "18B"), ("mRegen", "7f"),
    ("mVehicleModel", "30s"), ("mVehicleClass", "2B"), ("mExpansion", "20s"), pack=4)
TELEM_SIZE = TELEM.size + 4 * 260  # then mWheel[4], TelemWheelV01 each
VEHICLE = Fields(
    ("mID", "i"), ("mDriverName", "32s"), ("mVehicleName", "64s"), ("mTotalLaps", "h"),
    ("mSector", "b"), ("mFinishStatus", "b"), ("mLapDist", "3d"), ("mBestSector1", "2d"),
    ("mBestLapTime", "d"), ("mLastSector1", "2d"), ("mLastLapTime", "d"), ("mCurSector1", "2d"),
    ("mNumPitstops", "2h"), ("mIsPlayer", "?"), ("mControl", "b"), ("mInPits", "?"),
    ("mPlace", "B"), ("mVehicleClass", "32s"), ("mTimeBehindNext", "didid"), ("mPos", "24d"),
    ("mHeadlights", "4B"), ("mQualification", "i"), ("mTimeIntoLap", "2d"), ("mPitGroup", "24s"),
    ("mFlag", "B"), ("mUnderYellow", "?"), ("mCountLapFlag", "B"), ("mInGarageStall", "?"),
    ("mUpgradePack", "16s"), ("mPitLapDist", "3f"),
    ("mExpansion", "48s"), pack=4)  # Le Mans Ultimate: mSteamID, mVehFilename[32] and more
INFO = Fields(
    ("mTrackName", "64s"), ("mSession", "i"), ("mCurrentET", "2d"), ("mMaxLaps", "i"),
    ("mLapDist", "d"), ("mResultsStream", "8s"), ("mNumVehicles", "i"), ("mGamePhase", "B"),
    ("mYellowFlagState", "b"), ("mSectorFlag", "3s"), ("mStartLight", "2B"), ("mInRealtime", "?"),
    ("mPlayerName", "32s"), ("mPlrFileName", "64s"), ("mDarkCloud", "9d"),  # to mMaxPathWetness
    ("mGameMode", "2B"), ("mServerPort", "H"), ("mServerPublicIP", "I"), ("mMaxPlayers", "i"),
    ("mServerName", "32s"), ("mStartET", "f"), ("mAvgPathWetness", "d"), ("mExpansion", "200s"),
    ("mVehicle", "8s"), pack=4)  # pointers are 8 bytes: both games are 64-bit programs

# What is shown of them.
TELEM_SHOWN = TELEM.reader(
    "mID", "mElapsedTime", "mLapStartET", "mVehicleName", "mLocalVelX", "mLocalVelY", "mLocalVelZ", "mGear",
    "mEngineRPM", "mFuel", "mEngineMaxRPM", "mSpeedLimiter", "mFuelCapacity", "mDeltaBest", "mABSActive",
    "mTCActive", "mVehicleModel")
VEHICLE_SHOWN = VEHICLE.reader("mID", "mSector", "mFinishStatus", "mBestLapTime", "mLastLapTime", "mPlace",
                               "mFlag")
INFO_SHOWN = INFO.reader("mNumVehicles", "mGamePhase", "mYellowFlagState", "mSectorFlag", "mInRealtime")

# ScoringInfoV01.mGamePhase and mYellowFlagState (1 to 6: a full-course yellow in its
# stages, 7: race halt); VehicleScoringInfoV01.mFlag (the one flag it shows: 0 green,
# 6 blue) and mFinishStatus.
PHASE_GREEN, PHASE_FULL_COURSE_YELLOW, PHASE_STOPPED, PHASE_OVER = 5, 6, 7, 8
YELLOW_RACE_HALT = 7
FLAG_BLUE = 6
FINISHED, DISQUALIFIED = 1, 3

# The rF2 Shared Memory Map Plugin's mappings (rFactor2SharedMemoryMap.cpp): each begins
# with rF2MappedBufferVersionBlock (unsigned long mVersionUpdateBegin, mVersionUpdateEnd:
# equal except while the plugin writes), then the buffer (MappedBuffer.h): rF2Telemetry
# (mBytesUpdatedHint, mNumVehicles, mVehicles[128]) and rF2Scoring (mBytesUpdatedHint,
# mScoringInfo, mVehicles[128]).
RF2_TELEMETRY, RF2_SCORING = "$rFactor2SMMP_Telemetry$", "$rFactor2SMMP_Scoring$"
RF2_VEHICLES = 128
RF2_TELEM_AT, RF2_INFO_AT = 16, 12
RF2_VEHICLE_AT = RF2_INFO_AT + INFO.size
VERSIONS = struct.Struct("<II")
COUNT = struct.Struct("<i")

# Le Mans Ultimate's SharedMemoryInterface.hpp (same SDK): the mapping "LMU_Data" holds
# SharedMemoryObjectOut, default-packed (8) around the 4-packed structs above: generic
# (events[16], long gameVersion, ...; 332 bytes), paths (1300), scoring at 1632 (mScoringInfo,
# size_t scoringStreamSize at 552, vehScoringInfo[104] at 560, scoringStream[65536]) and
# telemetry at 128464 (uint8 activeVehicles, playerVehicleIdx, bool playerHasVehicle,
# telemInfo[104] at 4).
LMU_DATA = "LMU_Data"
LMU_VEHICLES = 104
LMU_GAME_VERSION_AT = 64
LMU_SCORING_AT, LMU_TELEMETRY_AT = 1632, 128464
LMU_VEHICLE_AT, LMU_TELEM_AT = LMU_SCORING_AT + 560, LMU_TELEMETRY_AT + 4
LMU_SIZE = 324824


def _positive(value: float) -> Optional[float]:
    return value if value > 0 else None  # the games write 0 or -1 for "none yet"


def flag(info: Dict[str, Any], vehicle: Dict[str, Any]) -> Optional[str]:
    """The flag the driver sees, most severe first. The session's phase gives red (stopped)
    and chequered (over, or this car finished); yellow is a full-course yellow in any of its
    stages or a local yellow in the car's own sector. mSectorFlag's order is left open by
    the header ("not sure if sector 0 is first or last"): it is read in the order of the
    car's mSector (0 = sector 3), which the same scoring update writes. Blue is the car's
    own flag; green only while the phase says so (none before the start)."""
    phase, yellow = info["mGamePhase"], info["mYellowFlagState"]
    if phase == PHASE_STOPPED or yellow == YELLOW_RACE_HALT:
        return "red"
    if vehicle["mFinishStatus"] == DISQUALIFIED:
        return "black"
    if phase == PHASE_OVER or vehicle["mFinishStatus"] == FINISHED:
        return "chequered"
    sector = vehicle["mSector"]
    local = 0 <= sector < 3 and info["mSectorFlag"][sector] != 0
    if phase == PHASE_FULL_COURSE_YELLOW or 0 < yellow < YELLOW_RACE_HALT or local:
        return "yellow"
    if vehicle["mFlag"] == FLAG_BLUE:
        return "blue"
    return "green" if phase == PHASE_GREEN else None


def decode(telem: Dict[str, Any], info: Dict[str, Any], vehicle: Dict[str, Any], car: str = "",
           **more: Any) -> Telemetry:
    """The player's car from its TelemInfoV01 and its VehicleScoringInfoV01 (its ``car``
    when the game names it better than mVehicleName, and ``more`` of what it shows)."""
    speed = math.hypot(telem["mLocalVelX"], telem["mLocalVelY"], telem["mLocalVelZ"]) * 3.6
    elapsed, lap_start, capacity = telem["mElapsedTime"], telem["mLapStartET"], telem["mFuelCapacity"]
    fuel = telem["mFuel"] / capacity if capacity > 0 else None
    lap = elapsed - lap_start if elapsed >= lap_start else None
    best, last, delta = vehicle["mBestLapTime"], vehicle["mLastLapTime"], telem["mDeltaBest"]
    # What is shown, not only what is read: doubles that are finite may not stay so.
    finite(telem["mEngineRPM"], telem["mEngineMaxRPM"], speed, fuel or 0.0, lap or 0.0, best, last, delta)
    return Telemetry(
        rpm=telem["mEngineRPM"], max_rpm=_positive(telem["mEngineMaxRPM"]), gear=telem["mGear"],
        speed_kph=speed, fuel=fuel, lap_time_s=lap, last_lap_s=_positive(last),
        best_lap_s=_positive(best), delta_s=delta if best > 0 else None,  # no best lap: no delta
        position=vehicle["mPlace"] or None, pit_limiter=bool(telem["mSpeedLimiter"]),
        in_race=bool(info["mInRealtime"]), flag=flag(info, vehicle),
        car=car or text(telem["mVehicleName"]) or None, **more)


def _player(entries: bytes, count: int) -> Optional[Dict[str, Any]]:
    """The VehicleScoringInfoV01 marked mIsPlayer among ``count`` of them."""
    mark = VEHICLE.offset("mIsPlayer")
    for at in range(0, count * VEHICLE.size, VEHICLE.size):
        if entries[at + mark]:
            return VEHICLE_SHOWN(entries[at:at + VEHICLE.size])
    return None


def _slot(entries: bytes, count: int, stride: int, slot_id: int) -> Optional[int]:
    """Which of ``count`` entries of ``stride`` bytes begins with that mID."""
    for slot in range(count):
        if COUNT.unpack_from(entries, slot * stride)[0] == slot_id:
            return slot
    return None


class RFactor2(SharedMemoryDecoder):
    """rFactor 2 through the rF2 Shared Memory Map Plugin: the player's car is the one
    marked mIsPlayer in the scoring mapping, its telemetry the entry with its mID."""

    name = "rf2"
    game = "rFactor 2"
    pages = {RF2_TELEMETRY: RF2_TELEM_AT + RF2_VEHICLES * TELEM_SIZE,
             RF2_SCORING: RF2_VEHICLE_AT + RF2_VEHICLES * VEHICLE.size}

    def __init__(self) -> None:
        super().__init__()
        self._versions: Optional[Tuple[int, int]] = None  # telemetry's and scoring's, last read
        # The scoring of the version read last: it changes five times a second, the
        # telemetry fifty, and is read again only when it changed.
        self._scoring: Optional[Tuple[int, Dict[str, Any], Optional[Dict[str, Any]]]] = None
        self._slot = 0  # where the player's telemetry was found last

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        try:
            telemetry, scoring = self.page(pages, RF2_TELEMETRY), self.page(pages, RF2_SCORING)
            version, head = _version(telemetry, RF2_TELEM_AT)  # with mNumVehicles
            versions = (version, _version(scoring)[0])
        except NotLive:
            # A plugin that comes back counts from 0 again: what we read before is no guide.
            self._versions = self._scoring = None
            raise
        if versions == self._versions:
            return None
        info, vehicle = self._scoring_of(scoring, versions[1])
        count = COUNT.unpack_from(head, RF2_TELEM_AT - 4)[0]
        telem = None if vehicle is None else self._telem(telemetry, count, vehicle["mID"])
        if _version(telemetry)[0] != versions[0]:
            raise Torn
        self._versions = versions
        if telem is None or vehicle is None:
            return Telemetry(in_race=False)  # no car of the player's on track
        return decode(telem, info, vehicle)

    def _scoring_of(self, page: Page, version: int) -> Tuple[Dict[str, Any], Optional[Dict[str, Any]]]:
        if self._scoring is None or self._scoring[0] != version:
            info = INFO_SHOWN(take(page, RF2_INFO_AT, INFO.size))
            count = info["mNumVehicles"]
            if not 0 <= count <= RF2_VEHICLES:
                raise Unreadable
            player = _player(take(page, RF2_VEHICLE_AT, count * VEHICLE.size), count)
            if _version(page)[0] != version:
                raise Torn
            self._scoring = (version, info, player)
        return self._scoring[1], self._scoring[2]

    def _telem(self, page: Page, count: int, slot_id: int) -> Optional[Dict[str, Any]]:
        if not 0 <= count <= RF2_VEHICLES:
            raise Unreadable
        if self._slot < count:
            telem = TELEM_SHOWN(take(page, RF2_TELEM_AT + self._slot * TELEM_SIZE, TELEM.size))
            if telem["mID"] == slot_id:
                return telem
        slot = _slot(take(page, RF2_TELEM_AT, count * TELEM_SIZE), count, TELEM_SIZE, slot_id)
        if slot is None:
            return None
        self._slot = slot
        return TELEM_SHOWN(take(page, RF2_TELEM_AT + slot * TELEM_SIZE, TELEM.size))


def _version(page: Page, size: int = VERSIONS.size) -> Tuple[int, bytes]:
    """The plugin's version of a mapping, and its first ``size`` bytes; Torn while it
    writes, NotLive before it first did."""
    head = take(page, 0, size)
    begin, end = VERSIONS.unpack_from(head)
    if begin != end:
        raise Torn
    if begin == 0:
        raise NotLive
    return int(begin), head


class LeMansUltimate(SharedMemoryDecoder):
    """Le Mans Ultimate's own shared memory. Its writer holds a lock (SharedMemoryLock: a
    spin lock in the separate mapping "LMU_SharedMemoryLockData") that readers take by
    writing to it; read-only, and through bridges that copy only "LMU_Data", we cannot.
    A copy counts when two taken one after the other are equal (the game copies whole
    structs, so a write between them changes the second)."""

    name = "lmu"
    game = "Le Mans Ultimate"
    pages = {LMU_DATA: LMU_SIZE}

    def __init__(self) -> None:
        super().__init__()
        self._last: Optional[Tuple[bytes, ...]] = None
        self._slot = 0  # where the player's scoring was found last

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        try:
            page = self.page(pages, LMU_DATA)
            if not COUNT.unpack(take(page, LMU_GAME_VERSION_AT, 4))[0]:
                raise NotLive  # the game has not written it (or a Windows name nobody made)
        except NotLive:
            self._last = None  # a game that comes back shows what it writes, whatever it is
            raise
        copy = self._copy(page)
        if self._copy(page) != copy:
            raise Torn
        if copy == self._last:
            return None
        self._last = copy
        if len(copy) < 3 or not copy[2]:
            return Telemetry(in_race=False)  # in the menus, or the car's scoring not yet there
        telem = TELEM_SHOWN(copy[0])
        return decode(telem, INFO_SHOWN(copy[1]), VEHICLE_SHOWN(copy[2]), text(telem["mVehicleModel"]),
                      abs_active=telem["mABSActive"], tc_active=telem["mTCActive"])

    def _copy(self, page: Page) -> Tuple[bytes, ...]:
        """The player's TelemInfoV01, the ScoringInfoV01 and the player's
        VehicleScoringInfoV01 (empty when not found), or the telemetry header alone while
        the player has no car."""
        active, index, has_vehicle = take(page, LMU_TELEMETRY_AT, 3)
        if not has_vehicle:
            return (bytes((active, index, has_vehicle)),)
        if index >= LMU_VEHICLES:
            raise Unreadable
        telem = take(page, LMU_TELEM_AT + index * TELEM_SIZE, TELEM.size)
        info = take(page, LMU_SCORING_AT, INFO.size)
        count = COUNT.unpack_from(info, INFO.offset("mNumVehicles"))[0]
        if not 0 <= count <= LMU_VEHICLES:
            raise Unreadable
        slot_id = COUNT.unpack_from(telem)[0]
        return telem, info, self._vehicle(page, count, slot_id)

    def _vehicle(self, page: Page, count: int, slot_id: int) -> bytes:
        if self._slot < count:
            vehicle = take(page, LMU_VEHICLE_AT + self._slot * VEHICLE.size, VEHICLE.size)
            if COUNT.unpack_from(vehicle)[0] == slot_id:
                return vehicle
        slot = _slot(take(page, LMU_VEHICLE_AT, count * VEHICLE.size), count, VEHICLE.size, slot_id)
        if slot is None:
            return b""
        self._slot = slot
        return take(page, LMU_VEHICLE_AT + slot * VEHICLE.size, VEHICLE.size)

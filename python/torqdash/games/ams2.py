"""Automobilista 2 and Project CARS 2, the two games on Slightly Mad Studios' telemetry: the
UDP protocol version 2 (the games' "Project CARS 2" UDP option) and the shared memory
``$pcars2$`` (their "Project CARS 2" shared memory option), one source each: ``ams2`` and
``ams2-shm``."""
import struct
from typing import Any, Dict, Mapping, Optional, Tuple

from ..telemetry import Telemetry
from .base import Fields, NotLive, Page, SharedMemoryDecoder, Torn, UdpDecoder, Unreadable, finite, take, text

# --- UDP: SMS_UDP_Definitions.hpp, the Project CARS 2 patch 5 version (SMS_UDP_PORT 5606).
# Every packet starts with PacketBase; the packed structs (#pragma pack(1)) hold their
# offsets from the packet's start. sTelemetryData is 559 bytes (the 538 of the first
# release plus sTurboBoostPressure, sFullPosition, sBrakeBias, sTickCount), sTimingsData
# 1063, sTimeStatsData 1040 (its 30-byte entries padded to 32).
PACKET_BASE = Fields(
    ("mPacketNumber", "I"), ("mCategoryPacketNumber", "I"), ("mPartialPacketIndex", "B"),
    ("mPartialPacketNumber", "B"), ("mPacketType", "B"), ("mPacketVersion", "B"))
TELEMETRY = Fields(
    ("sBase", "12s"), ("sViewedParticipantIndex", "b"), ("sUnfilteredThrottle", "B"),
    ("sUnfilteredBrake", "B"), ("sUnfilteredSteering", "b"), ("sUnfilteredClutch", "B"),
    ("sCarFlags", "B"), ("sOilTempCelsius", "h"), ("sOilPressureKPa", "H"), ("sWaterTempCelsius", "h"),
    ("sWaterPressureKpa", "H"), ("sFuelPressureKpa", "H"), ("sFuelCapacity", "B"), ("sBrake", "B"),
    ("sThrottle", "B"), ("sClutch", "B"), ("sFuelLevel", "f"), ("sSpeed", "f"), ("sRpm", "H"),
    ("sMaxRpm", "H"), ("sSteering", "b"), ("sGearNumGears", "B"), ("sBoostAmount", "B"),
    ("sCrashState", "B"), ("sOdometerKM", "f"),
    *((name, "3f") for name in ("sOrientation", "sLocalVelocity", "sWorldVelocity", "sAngularVelocity",
                                "sLocalAcceleration", "sWorldAcceleration", "sExtentsCentre")),
    ("sTyreFlags", "4B"), ("sTerrain", "4B"), ("sTyreY", "4f"), ("sTyreRPS", "4f"), ("sTyreTemp", "4B"),
    ("sTyreHeightAboveGround", "4f"), ("sTyreWear", "4B"), ("sBrakeDamage", "4B"),
    ("sSuspensionDamage", "4B"), ("sBrakeTempCelsius", "4h"),
    *((name, "4H") for name in ("sTyreTreadTemp", "sTyreLayerTemp", "sTyreCarcassTemp", "sTyreRimTemp",
                                "sTyreInternalAirTemp", "sTyreTempLeft", "sTyreTempCenter",
                                "sTyreTempRight")),
    ("sWheelLocalPositionY", "4f"), ("sRideHeight", "4f"), ("sSuspensionTravel", "4f"),
    ("sSuspensionVelocity", "4f"), ("sSuspensionRideHeight", "4H"), ("sAirPressure", "4H"),
    ("sEngineSpeed", "f"), ("sEngineTorque", "f"), ("sWings", "2B"), ("sHandBrake", "B"),
    ("sAeroDamage", "B"), ("sEngineDamage", "B"), ("sJoyPad0", "I"), ("sDPad", "B"),
    ("sTyreCompound", "160s"), ("sTurboBoostPressure", "f"), ("sFullPosition", "3f"), ("sBrakeBias", "B"),
    ("sTickCount", "I"))
TIMINGS = Fields(
    ("sBase", "12s"), ("sNumParticipants", "b"), ("sParticipantsChangedTimestamp", "I"),
    ("sEventTimeRemaining", "f"), ("sSplitTimeAhead", "f"), ("sSplitTimeBehind", "f"), ("sSplitTime", "f"),
    ("sPartcipants", "1024s"), ("sLocalParticipantIndex", "H"), ("sTickCount", "I"))
PARTICIPANT = Fields(  # sParticipantInfo
    ("sWorldPosition", "3h"), ("sOrientation", "3h"), ("sCurrentLapDistance", "H"),
    ("sRacePosition", "B"), ("sSector", "B"), ("sHighestFlag", "B"), ("sPitModeSchedule", "B"),
    ("sCarIndex", "H"), ("sRaceState", "B"), ("sCurrentLap", "B"), ("sCurrentTime", "f"),
    ("sCurrentSectorTime", "f"), ("sMPParticipantIndex", "H"))
TIME_STATS = Fields(("sBase", "12s"), ("sParticipantsChangedTimestamp", "I"), ("sStats", "1024s"))
PARTICIPANT_STATS = Fields(  # sParticipantStatsInfo
    ("sFastestLapTime", "f"), ("sLastLapTime", "f"), ("sLastSectorTime", "f"), ("sFastestSector1Time", "f"),
    ("sFastestSector2Time", "f"), ("sFastestSector3Time", "f"), ("sParticipantOnlineRep", "I"),
    ("sMPParticipantIndex", "H2x"))
PARTICIPANTS = 32  # UDP_STREAMER_PARTICIPANTS_SUPPORTED
PARTICIPANTS_AT, STATS_AT = TIMINGS.offset("sPartcipants"), TIME_STATS.offset("sStats")
CAR_PHYSICS, TIMINGS_TYPE, TIME_STATS_TYPE = 0, 3, 7  # EUDPStreamerPacketHandlerType
UDP_SIZES = {CAR_PHYSICS: TELEMETRY.size, TIMINGS_TYPE: TIMINGS.size, TIME_STATS_TYPE: TIME_STATS.size}
# sRacePosition: the position in the low 7 bits (the top bit: participant active).
# sHighestFlag: "enum 3 bits/enum 2 bits", the colour in the low 3 bits (the shared
# memory's FLAG_COLOUR_* values 1 to 7; black and chequered do not fit there), the reason above.
UDP_FLAGS = {1: "green", 2: "blue", 3: "white", 4: "white", 5: "red", 6: "yellow", 7: "yellow"}

CAR = TELEMETRY.pick("sViewedParticipantIndex", "sCarFlags", "sFuelCapacity", "sFuelLevel", "sSpeed", "sRpm",
                     "sMaxRpm", "sGearNumGears")
TIMING = PARTICIPANT.pick("sRacePosition", "sHighestFlag", "sCurrentTime")
STATS = PARTICIPANT_STATS.pick("sFastestLapTime", "sLastLapTime")


def times(layout: Fields, first: str, count: int) -> struct.Struct:
    """The ``count`` floats from ``first`` of every participant's entry, in one struct."""
    at = layout.offset(first)
    return struct.Struct("<" + f"{at}x{count}f{layout.size - at - 4 * count}x" * PARTICIPANTS)


TIMING_TIMES = times(PARTICIPANT, "sCurrentTime", 2)  # and sCurrentSectorTime
STATS_TIMES = times(PARTICIPANT_STATS, "sFastestLapTime", 6)  # the lap and sector times

# --- Shared memory: SharedMemory.h of the same SDK ("Copyright (c) MWL"), SHARED_MEMORY_VERSION
# 9 (Project CARS 2); Automobilista 2's (version 14) keeps this struct and appends to it. No
# #pragma pack, and no field wider than 4 bytes: aligned as under pack(4).
SHM_PARTICIPANT = Fields(  # ParticipantInfo, 100 bytes, STORED_PARTICIPANTS_MAX (64) of them
    ("mIsActive", "?"), ("mName", "64s"), ("mWorldPosition", "3f"), ("mCurrentLapDistance", "f"),
    ("mRacePosition", "I"), ("mLapsCompleted", "I"), ("mCurrentLap", "I"), ("mCurrentSector", "i"), pack=4)
SHM_PARTICIPANTS = 64
SHARED_MEMORY = Fields(
    ("mVersion", "I"), ("mBuildVersionNumber", "I"), ("mGameState", "I"), ("mSessionState", "I"),
    ("mRaceState", "I"), ("mViewedParticipantIndex", "i"), ("mNumParticipants", "i"),
    ("mParticipantInfo", f"{SHM_PARTICIPANTS * SHM_PARTICIPANT.size}s"), ("mUnfilteredThrottle", "f"),
    ("mUnfilteredBrake", "f"), ("mUnfilteredSteering", "f"), ("mUnfilteredClutch", "f"),
    ("mCarName", "64s"), ("mCarClassName", "64s"), ("mLapsInEvent", "I"), ("mTrackLocation", "64s"),
    ("mTrackVariation", "64s"), ("mTrackLength", "f"), ("mNumSectors", "i"), ("mLapInvalidated", "?"),
    ("mBestLapTime", "f"), ("mLastLapTime", "f"), ("mCurrentTime", "f"), ("mSplitTimeAhead", "f"),
    ("mSplitTimeBehind", "f"), ("mSplitTime", "f"), ("mEventTimeRemaining", "f"),
    ("mPersonalFastestLapTime", "f"), ("mWorldFastestLapTime", "f"),
    # mCurrentSector1..3Time, mFastestSector1..3Time, mPersonalFastestSector1..3Time,
    # mWorldFastestSector1..3Time
    ("mCurrentSector1Time", "3f"), ("mFastestSector1Time", "3f"), ("mPersonalFastestSector1Time", "3f"),
    ("mWorldFastestSector1Time", "3f"), ("mHighestFlagColour", "I"), ("mHighestFlagReason", "I"),
    ("mPitMode", "I"), ("mPitSchedule", "I"), ("mCarFlags", "I"), ("mOilTempCelsius", "f"),
    ("mOilPressureKPa", "f"), ("mWaterTempCelsius", "f"), ("mWaterPressureKPa", "f"),
    ("mFuelPressureKPa", "f"), ("mFuelLevel", "f"), ("mFuelCapacity", "f"), ("mSpeed", "f"), ("mRpm", "f"),
    ("mMaxRPM", "f"), ("mBrake", "f"), ("mThrottle", "f"), ("mClutch", "f"), ("mSteering", "f"),
    ("mGear", "i"), ("mNumGears", "i"), ("mOdometerKM", "f"), ("mAntiLockActive", "?"),
    ("mLastOpponentCollisionIndex", "i"), ("mLastOpponentCollisionMagnitude", "f"),
    ("mBoostActive", "?"), ("mBoostAmount", "f"),
    *((name, "3f") for name in ("mOrientation", "mLocalVelocity", "mWorldVelocity", "mAngularVelocity",
                                "mLocalAcceleration", "mWorldAcceleration", "mExtentsCentre")),
    ("mTyreFlags", "4I"), ("mTerrain", "4I"),
    *((name, "4f") for name in (
        "mTyreY", "mTyreRPS", "mTyreSlipSpeed", "mTyreTemp", "mTyreGrip", "mTyreHeightAboveGround",
        "mTyreLateralStiffness", "mTyreWear", "mBrakeDamage", "mSuspensionDamage", "mBrakeTempCelsius",
        "mTyreTreadTemp", "mTyreLayerTemp", "mTyreCarcassTemp", "mTyreRimTemp", "mTyreInternalAirTemp")),
    ("mCrashState", "I"), ("mAeroDamage", "f"), ("mEngineDamage", "f"), ("mAmbientTemperature", "f"),
    ("mTrackTemperature", "f"), ("mRainDensity", "f"), ("mWindSpeed", "f"), ("mWindDirectionX", "f"),
    ("mWindDirectionY", "f"), ("mCloudBrightness", "f"),
    # Version 8 on: 0 at the start, incremented at the start and at the end of each write.
    ("mSequenceNumber", "I"), pack=4)
SHM = SHARED_MEMORY.pick(
    "mVersion", "mGameState", "mViewedParticipantIndex", "mBestLapTime", "mLastLapTime", "mCurrentTime",
    "mHighestFlagColour", "mCarFlags", "mFuelLevel", "mFuelCapacity", "mSpeed", "mRpm", "mMaxRPM", "mGear",
    "mSequenceNumber")
CAR_NAME_AT = SHARED_MEMORY.offset("mCarName")
POSITION_AT = SHARED_MEMORY.offset("mParticipantInfo") + SHM_PARTICIPANT.offset("mRacePosition")
SHM_NAME = "$pcars2$"
SEQUENCE_AT = SHARED_MEMORY.offset("mSequenceNumber")
FIRST_VERSION = 9  # older layouts (Project CARS 1's) have no sequence number at this place
# mGameState: GAME_INGAME_PLAYING, _PAUSED, _INMENU_TIME_TICKING, _RESTARTING, _REPLAY; not
# GAME_EXITED, GAME_FRONT_END (the menus) or GAME_FRONT_END_REPLAY.
IN_GAME = {2, 3, 4, 5, 6}
# FLAG_COLOUR_*: the black-and-white (conduct) and black-orange (mechanical) warnings are
# shown as black, the one black flag the board knows.
SHM_FLAGS = {1: "green", 2: "blue", 3: "white", 4: "white", 5: "red", 6: "yellow", 7: "yellow",
             8: "black", 9: "black", 10: "black", 11: "chequered"}

# CarFlags (Type#9; CAR_TCS from Automobilista 2's header, never set by Project CARS 2),
# the same bits in the UDP packet's sCarFlags.
CAR_ENGINE_WARNING, CAR_SPEED_LIMITER, CAR_ABS, CAR_HANDBRAKE, CAR_TCS = (1 << bit for bit in range(2, 7))


def car_lights(flags: int) -> Dict[str, Any]:
    """The dash lights of the car flags. The engine warning is the car's oil and temperature
    light: the board's oil LED."""
    return dict(pit_limiter=bool(flags & CAR_SPEED_LIMITER), abs_active=bool(flags & CAR_ABS),
                tc_active=bool(flags & CAR_TCS), handbrake=bool(flags & CAR_HANDBRAKE),
                oil_warning=bool(flags & CAR_ENGINE_WARNING))


def seconds(value: float) -> Optional[float]:
    """A lap time; the games' unset times are -1 or 0."""
    return value if value > 0 else None


class Ams2(UdpDecoder):
    """The car physics (0), timings (3) and time stats (7) packets, each merged with the
    latest of the others; other packet types are ignored. Position, flag and lap times are
    those of the participant whose car physics are sent (sViewedParticipantIndex), the
    car the board shows. The packet's version byte is not checked: its type and its size
    tell the layout."""

    name = "ams2"
    game = "Automobilista 2 / Project CARS 2"
    port = 5606
    bind = "0.0.0.0"  # the game has no address to send to: it broadcasts on its network

    def __init__(self) -> None:
        super().__init__()
        self._car: Tuple[Any, ...] = ()
        self._timings = self._stats = b""

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) < PACKET_BASE.size:
            raise Unreadable
        kind = PACKET_BASE.read(packet)["mPacketType"]
        size = UDP_SIZES.get(kind)
        if size is None:
            return None
        if len(packet) != size:
            raise Unreadable
        if kind == CAR_PHYSICS:
            car = CAR.unpack_from(packet)
            finite(*car[3:5])  # the fuel level and the speed
            self._car = car
        elif kind == TIMINGS_TYPE:
            finite(*TIMING_TIMES.unpack_from(packet, PARTICIPANTS_AT))
            self._timings = packet
        else:
            finite(*STATS_TIMES.unpack_from(packet, STATS_AT))
            self._stats = packet
        return self._merged()

    def _merged(self) -> Telemetry:
        values: Dict[str, Any] = {}
        viewed = self._car[0] if self._car else -1
        if self._timings and 0 <= viewed < PARTICIPANTS:
            at = PARTICIPANTS_AT + viewed * PARTICIPANT.size
            position, flag, lap_time = TIMING.unpack_from(self._timings, at)
            values.update(position=position & 0x7F or None, flag=UDP_FLAGS.get(flag & 0x07),
                          lap_time_s=lap_time if lap_time >= 0 else None)
        if self._stats and 0 <= viewed < PARTICIPANTS:
            best, last = STATS.unpack_from(self._stats, STATS_AT + viewed * PARTICIPANT_STATS.size)
            values.update(last_lap_s=seconds(last), best_lap_s=seconds(best))
        if self._car:
            _, flags, capacity, level, speed, rpm, max_rpm, gears = self._car
            gear = gears & 0x0F  # the gear in the low 4 bits (15 is -1, reverse), the number of gears above
            values.update(car_lights(flags), rpm=rpm, max_rpm=max_rpm or None,
                          gear=-1 if gear == 15 else gear, speed_kph=abs(speed) * 3.6,
                          # The level is a fraction of the tank already; no tank (capacity 0 litres): no fuel.
                          fuel=level if capacity else None)
        return Telemetry(**values)


class Ams2Memory(SharedMemoryDecoder):
    """The shared memory ``$pcars2$``, for a game whose UDP output is off. Live while the
    game is in a session (not in its menus); a copy is consistent when the sequence number
    is even and the same after the copy as in it (the game makes it odd while it writes)."""

    name = "ams2-shm"
    game = "Automobilista 2 / Project CARS 2"
    pages = {SHM_NAME: SHARED_MEMORY.size}

    def __init__(self) -> None:
        super().__init__()
        self._sequence: Optional[int] = None

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        page = self.page(pages, SHM_NAME)
        data = take(page, 0, SHARED_MEMORY.size)
        (version, state, viewed, best, last, lap_time, flag, flags, level, capacity, speed, rpm, max_rpm,
         gear, sequence) = SHM.unpack_from(data)
        if version < FIRST_VERSION:
            raise NotLive  # also the all-zero page of a mapping nobody has written
        if sequence & 1 or take(page, SEQUENCE_AT, 4) != data[SEQUENCE_AT:SEQUENCE_AT + 4]:
            raise Torn
        if state not in IN_GAME:
            raise NotLive
        if sequence == self._sequence:
            return None
        finite(best, last, lap_time, level, capacity, speed, rpm, max_rpm)
        self._sequence = sequence
        position = None
        if 0 <= viewed < SHM_PARTICIPANTS:
            position = struct.unpack_from("<I", data, POSITION_AT + viewed * SHM_PARTICIPANT.size)[0] or None
        return Telemetry(
            rpm=rpm, max_rpm=max_rpm or None, gear=max(gear, -1), speed_kph=abs(speed) * 3.6,
            fuel=level if capacity > 0 else None, position=position,
            lap_time_s=lap_time if lap_time >= 0 else None, last_lap_s=seconds(last),
            best_lap_s=seconds(best), flag=SHM_FLAGS.get(flag),
            car=text(data[CAR_NAME_AT:CAR_NAME_AT + 64]) or None, **car_lights(flags))

"""Kunos Simulazioni's shared memory: Assetto Corsa Competizione (``acc``) and Assetto
Corsa (``ac``). Both publish the same three pages under the same names: ``acpmf_physics``
(the car, at each physics step), ``acpmf_graphics`` (the session: status, laps, flags)
and ``acpmf_static`` (the car and track, set when a session starts), each a C struct
under ``#pragma pack(4)``, strings as ``wchar_t`` (UTF-16LE).

Layouts, with the documents' own field names:

- ACC: "ACC Shared Memory Documentation" v1.8.12 (Kunos; v1.7.6 gives the same fields
  up to the ones it marks new): SPageFilePhysics 800 bytes, SPageFileGraphic 1588,
  SPageFileStatic 820.
- AC: "AC Shared Memory Documentation" (Kunos, from the Assetto Corsa forum's "Shared
  Memory Reference"): SPageFilePhysics up to ``localVelocity``, SPageFileGraphic up to
  ``windDirection`` (296 bytes), SPageFileStatic up to ``PitWindowEnd`` (684). AC's
  later builds (1.16, the one everyone runs) carry the physics page on to
  ``tyreTemp`` (712 bytes); ACC's document lists those fields, as its physics page
  continues AC's, and marks the ones ACC leaves empty. AC's document spells a few
  names differently (``rpms``, ``wheelsPressure``, ``tyreCoreTemperature``,
  ``autoShifterOn``, ``P2PActivations``); the offsets are the same.
"""
import re
from typing import Any, Mapping, Optional, Tuple

from ..telemetry import Telemetry
from .base import Fields, NotLive, Page, Picked, SharedMemoryDecoder, Torn, finite, take, utf16

PHYSICS, GRAPHICS, STATIC = "acpmf_physics", "acpmf_graphics", "acpmf_static"


def _wheels(*names: str) -> Tuple[Tuple[str, str], ...]:
    return tuple((name, "4f") for name in names)


# SPageFilePhysics, AC's page (712 bytes); ACC's adds its tail.
PHYSICS_FIELDS = (
    ("packetId", "i"), ("gas", "f"), ("brake", "f"), ("fuel", "f"), ("gear", "i"),
    ("rpm", "i"), ("steerAngle", "f"), ("speedKmh", "f"), ("velocity", "3f"), ("accG", "3f"),
    *_wheels("wheelSlip", "wheelLoad", "wheelPressure", "wheelAngularSpeed", "tyreWear",
             "tyreDirtyLevel", "TyreCoreTemp", "camberRAD", "suspensionTravel"),
    ("drs", "f"), ("tc", "f"), ("heading", "f"), ("pitch", "f"), ("roll", "f"),
    ("cgHeight", "f"), ("carDamage", "5f"), ("numberOfTyresOut", "i"), ("pitLimiterOn", "i"),
    ("abs", "f"), ("kersCharge", "f"), ("kersInput", "f"), ("autoshifterOn", "i"),
    ("rideHeight", "2f"), ("turboBoost", "f"), ("ballast", "f"), ("airDensity", "f"),
    ("airTemp", "f"), ("roadTemp", "f"), ("localAngularVel", "3f"), ("finalFF", "f"),
    ("performanceMeter", "f"), ("engineBrake", "i"), ("ersRecoveryLevel", "i"),
    ("ersPowerLevel", "i"), ("ersHeatCharging", "i"), ("ersIsCharging", "i"),
    ("kersCurrentKJ", "f"), ("drsAvailable", "i"), ("drsEnabled", "i"), ("brakeTemp", "4f"),
    ("clutch", "f"), *_wheels("tyreTempI", "tyreTempM", "tyreTempO"), ("isAIControlled", "i"),
    ("tyreContactPoint", "12f"), ("tyreContactNormal", "12f"), ("tyreContactHeading", "12f"),
    ("brakeBias", "f"), ("localVelocity", "3f"),
    # AC's later fields, as ACC's document lists them:
    ("P2PActivation", "i"), ("P2PStatus", "i"), ("currentMaxRpm", "f"),
    *_wheels("mz", "fx", "fy", "slipRatio", "slipAngle"), ("tcinAction", "i"),
    ("absInAction", "i"), *_wheels("suspensionDamage", "tyreTemp"))
AC_PHYSICS = Fields(*PHYSICS_FIELDS, pack=4)
ACC_PHYSICS = Fields(
    *PHYSICS_FIELDS, ("waterTemp", "f"), ("brakePressure", "4f"), ("frontBrakeCompound", "i"),
    ("rearBrakeCompound", "i"), *_wheels("padLife", "discLife"), ("ignitionOn", "i"),
    ("starterEngineOn", "i"), ("isEngineRunning", "i"), ("kerbVibration", "f"),
    ("slipVibrations", "f"), ("gVibrations", "f"), ("absVibrations", "f"), pack=4)

# SPageFileGraphic: the two games part after normalizedCarPosition.
GRAPHICS_HEAD = (
    ("packetId", "i"), ("status", "i"), ("session", "i"), ("currentTime", "15H"),
    ("lastTime", "15H"), ("bestTime", "15H"), ("split", "15H"), ("completedLaps", "i"),
    ("position", "i"), ("iCurrentTime", "i"), ("iLastTime", "i"), ("iBestTime", "i"),
    ("sessionTimeLeft", "f"), ("distanceTraveled", "f"), ("isInPit", "i"),
    ("currentSectorIndex", "i"), ("lastSectorTime", "i"), ("numberOfLaps", "i"),
    ("tyreCompound", "33H"), ("replayTimeMultiplier", "f"), ("normalizedCarPosition", "f"))
AC_GRAPHICS = Fields(
    *GRAPHICS_HEAD, ("carCoordinates", "3f"), ("penaltyTime", "f"), ("flag", "i"),
    ("idealLineOn", "i"), ("isInPitLane", "i"), ("surfaceGrip", "f"), ("mandatoryPitDone", "i"),
    ("windSpeed", "f"), ("windDirection", "f"), pack=4)
ACC_GRAPHICS = Fields(
    *GRAPHICS_HEAD, ("activeCars", "i"), ("carCoordinates", "180f"), ("carID", "60i"),
    ("playerCarID", "i"), ("penaltyTime", "f"), ("flag", "i"), ("penalty", "i"),
    ("idealLineOn", "i"), ("isInPitLane", "i"), ("surfaceGrip", "f"), ("mandatoryPitDone", "i"),
    ("windSpeed", "f"), ("windDirection", "f"), ("isSetupMenuVisible", "i"),
    ("mainDisplayIndex", "i"), ("secondaryDisplayIndex", "i"), ("TC", "i"), ("TCCut", "i"),
    ("EngineMap", "i"), ("ABS", "i"), ("fuelXLap", "f"), ("rainLights", "i"),
    ("flashingLights", "i"), ("lightsStage", "i"), ("exhaustTemperature", "f"), ("wiperLV", "i"),
    ("driverStintTotalTimeLeft", "i"), ("driverStintTimeLeft", "i"), ("rainTyres", "i"),
    ("sessionIndex", "i"), ("usedFuel", "f"), ("deltaLapTime", "15H"), ("iDeltaLapTime", "i"),
    ("estimatedLapTime", "15H"), ("iEstimatedLapTime", "i"), ("isDeltaPositive", "i"),
    ("iSplit", "i"), ("isValidLap", "i"), ("fuelEstimatedLaps", "f"), ("trackStatus", "33H"),
    ("missingMandatoryPits", "i"), ("Clock", "f"), ("directionLightsLeft", "i"),
    ("directionLightsRight", "i"), ("GlobalYellow", "i"), ("GlobalYellow1", "i"),
    ("GlobalYellow2", "i"), ("GlobalYellow3", "i"), ("GlobalWhite", "i"), ("GlobalGreen", "i"),
    ("GlobalChequered", "i"), ("GlobalRed", "i"), ("mfdTyreSet", "i"), ("mfdFuelToAdd", "f"),
    ("mfdTyrePressureLF", "f"), ("mfdTyrePressureRF", "f"), ("mfdTyrePressureLR", "f"),
    ("mfdTyrePressureRR", "f"), ("trackGripStatus", "i"), ("rainIntensity", "i"),
    ("rainIntensityIn10min", "i"), ("rainIntensityIn30min", "i"), ("currentTyreSet", "i"),
    ("strategyTyreSet", "i"), ("gapAhead", "i"), ("gapBehind", "i"), pack=4)

# SPageFileStatic, AC's page (684 bytes); ACC's adds its tail.
STATIC_FIELDS = (
    ("smVersion", "15H"), ("acVersion", "15H"), ("numberOfSessions", "i"), ("numCars", "i"),
    ("carModel", "33H"), ("track", "33H"), ("playerName", "33H"), ("playerSurname", "33H"),
    ("playerNick", "33H"), ("sectorCount", "i"), ("maxTorque", "f"), ("maxPower", "f"),
    ("maxRpm", "i"), ("maxFuel", "f"), ("suspensionMaxTravel", "4f"), ("tyreRadius", "4f"),
    ("maxTurboBoost", "f"), ("deprecated_1", "f"), ("deprecated_2", "f"),
    ("penaltiesEnabled", "i"), ("aidFuelRate", "f"), ("aidTireRate", "f"),
    ("aidMechanicalDamage", "f"), ("AllowTyreBlankets", "i"), ("aidStability", "f"),
    ("aidAutoclutch", "i"), ("aidAutoBlip", "i"), ("hasDRS", "i"), ("hasERS", "i"),
    ("hasKERS", "i"), ("kersMaxJ", "f"), ("engineBrakeSettingsCount", "i"),
    ("ersPowerControllerCount", "i"), ("trackSplineLength", "f"), ("trackConfiguration", "33H"),
    ("ersMaxJ", "f"), ("isTimedRace", "i"), ("hasExtraLap", "i"), ("carSkin", "33H"),
    ("reversedGridPositions", "i"), ("PitWindowStart", "i"), ("PitWindowEnd", "i"))
AC_STATIC = Fields(*STATIC_FIELDS, pack=4)
ACC_STATIC = Fields(*STATIC_FIELDS, ("isOnline", "i"), ("dryTyresName", "33H"),
                    ("wetTyresName", "33H"), pack=4)

# What the decoders read of each page: a prefix up to the last field they use, so that
# a page a bridge or an older build made shorter than the whole struct still serves.
ACC_PHYSICS_READ = ACC_PHYSICS.pick("packetId", "fuel", "gear", "rpm", "speedKmh", "tc",
                                    "pitLimiterOn", "abs")
AC_PHYSICS_READ = AC_PHYSICS.pick("packetId", "fuel", "gear", "rpm", "speedKmh", "pitLimiterOn",
                                  "tcinAction", "absInAction")
ACC_GRAPHICS_READ = ACC_GRAPHICS.pick("packetId", "status", "position", "iCurrentTime",
                                      "iLastTime", "iBestTime", "flag", "iDeltaLapTime",
                                      "isDeltaPositive", "GlobalRed")
AC_GRAPHICS_READ = AC_GRAPHICS.pick("packetId", "status", "position", "iCurrentTime", "iLastTime",
                                    "iBestTime", "flag")
STATIC_READ = AC_STATIC.pick("maxRpm", "maxFuel")
AC_LIVE = 2  # AC_STATUS / ACC_STATUS: 0 off, 1 replay, 2 live, 3 pause
# AC_FLAG_TYPE (0 to 6) and ACC_FLAG_TYPE (the same, and 7, 8) -> the flag shown. Two
# have no counterpart and show none: the penalty flag (6: a penalty to serve, which the
# black flag would make a disqualification) and ACC's orange flag (8: the meatball, a
# car to repair in the pits).
KUNOS_FLAGS = {1: "blue", 2: "yellow", 3: "black", 4: "white", 5: "chequered", 7: "green"}
#: A game's own values: pit limiter, TC and ABS in action, delta to the best lap, red flag.
Own = Tuple[bool, bool, bool, Optional[float], bool]
DAY_MS = 86_400_000  # "no time" is 0 in AC and INT_MAX in ACC: a lap time is shorter


def version(text: str) -> Optional[Tuple[int, int]]:
    """The major and minor number of a version text such as "1.16.3"."""
    found = re.match(r"\s*v?(\d+)\.(\d+)", text)
    return (int(found.group(1)), int(found.group(2))) if found else None


def lap(ms: int) -> Optional[float]:
    return ms / 1000 if 0 < ms < DAY_MS else None


def consistent(page: Page, read: Picked) -> bytes:
    """The bytes of a page that the game is writing that ``read`` unpacks: its packetId
    (the first int) read before and after the copy; the game counts it up with every
    write, so a changed one means the copy may hold two writes: Torn."""
    before = take(page, 0, 4)
    data = take(page, 0, read.size, keep=read.spans)
    if take(page, 0, 4) != before:
        raise Torn
    return data


class Kunos(SharedMemoryDecoder):
    """What the two games share: the pages, their checks, the static page's values. A
    poll gives telemetry only when the physics or graphics page has a new packetId, so
    that a game that stops writing (quit, crashed) lets the board go dark."""

    windows_names = {name: "Local\\" + name for name in (PHYSICS, GRAPHICS, STATIC)}
    physics_read = AC_PHYSICS_READ
    graphics_read = AC_GRAPHICS_READ
    #: The other game, whose pages have the same names: its name and source.
    other = ("", "")

    def __init__(self) -> None:
        super().__init__()
        self._ids: Optional[Tuple[bytes, bytes]] = None  # the packetIds last shown
        # The static page as last read (the game sets it as a session starts, from its
        # menu: a live game's page is read once) and its car, max RPM and capacity.
        self._static: Optional[Page] = None
        self._car: Tuple[str, Optional[float], float] = ("", None, 0.0)

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        try:
            static = self.page(pages, STATIC)
            if static is not self._static:  # read again for a new page or after NotLive
                self._car = self._car_of(take(static, 0, STATIC_READ.size))
                self._static = static
            car, max_rpm, capacity = self._car
            graphics = consistent(self.page(pages, GRAPHICS), self.graphics_read)
            if graphics[4:8] != AC_LIVE.to_bytes(4, "little"):
                raise NotLive
            physics = consistent(self.page(pages, PHYSICS), self.physics_read)
        except NotLive:
            # What comes after a pause, the menu or a restart is new, maybe another car.
            self._ids = self._static = None
            raise
        ids = (physics[:4], graphics[:4])
        if ids == self._ids:
            return None
        telemetry = self._decode(self.physics_read.unpack(physics),
                                 self.graphics_read.unpack(graphics), car, max_rpm, capacity)
        self._ids = ids
        return telemetry

    def _car_of(self, raw: bytes) -> Tuple[str, Optional[float], float]:
        """The static page's car, max RPM and tank capacity; NotLive while it is empty or
        another game's."""
        game = version(utf16(raw[ACC_STATIC.offset("acVersion"):][:30]))
        if game is None:
            raise NotLive
        if self._is_other(game):
            name, source = self.other
            raise NotLive(f"these pages are {name}'s (version {game[0]}.{game[1]}): "
                          f"python -m torqdash {source} reads them")
        max_rpm, capacity = STATIC_READ.unpack(raw)
        finite(capacity)
        car = utf16(raw[ACC_STATIC.offset("carModel"):][:66])
        return car, float(max_rpm) if max_rpm > 0 else None, capacity

    def _is_other(self, game: Tuple[int, int]) -> bool:
        # AC's builds since 2017 are 1.11 to 1.16, ACC's are 1.0 to 1.10 (its acVersion
        # has even stayed at 1.7 in later builds): a version of 1.11 or later is AC's.
        # (smVersion does not tell them apart: both games have written 1.7.)
        raise NotImplementedError

    def _decode(self, physics: Tuple[Any, ...], graphics: Tuple[Any, ...], car: str,
                max_rpm: Optional[float], capacity: float) -> Telemetry:
        """The telemetry of the picked values; the picks of both games begin alike."""
        _, fuel, gear, rpm, speed, *_ = physics
        _, _, position, current, last, best, flag, *_ = graphics
        finite(fuel, speed)
        pit, tc, abs_, delta, red = self._own(physics, graphics)
        return Telemetry(
            rpm=float(rpm), max_rpm=max_rpm, gear=gear - 1,  # Kunos: 0 reverse, 1 neutral
            speed_kph=speed, fuel=min(1.0, max(0.0, fuel / capacity)) if capacity > 0 else None,
            lap_time_s=lap(current), last_lap_s=lap(last), best_lap_s=lap(best), delta_s=delta,
            position=position if position > 0 else None, pit_limiter=pit, tc_active=tc,
            abs_active=abs_, flag="red" if red else KUNOS_FLAGS.get(flag), car=car or None)

    def _own(self, physics: Tuple[Any, ...], graphics: Tuple[Any, ...]) -> Own:
        """What each game gives its own way (the picks differ from the pit limiter on):
        the pit limiter, TC and ABS in action, ACC's delta to the best lap and red flag."""
        raise NotImplementedError


class Acc(Kunos):
    """Assetto Corsa Competizione."""

    name = "acc"
    game = "Assetto Corsa Competizione"
    pages = {PHYSICS: ACC_PHYSICS_READ.size, GRAPHICS: ACC_GRAPHICS_READ.size,
             STATIC: STATIC_READ.size}
    physics_read = ACC_PHYSICS_READ
    graphics_read = ACC_GRAPHICS_READ
    other = ("Assetto Corsa", "ac")

    def _is_other(self, game: Tuple[int, int]) -> bool:
        return game >= (1, 11)

    def _own(self, physics: Tuple[Any, ...], graphics: Tuple[Any, ...]) -> Own:
        # ACC's document: the floats tc and abs are "TC in action" and "ABS in action"
        # (the graphics page's TC and ABS are the settings), and their int doubles
        # tcinAction and absInAction are "not used".
        *_, tc, pit, abs_ = physics
        *_, delta, positive, red = graphics
        finite(tc, abs_)
        # The sign from isDeltaPositive, whether or not iDeltaLapTime carries it too.
        has_delta = lap(graphics[5]) is not None and abs(delta) < DAY_MS
        # A red flag (GlobalRed) stops the session for everyone; the flag enum has none.
        return (pit != 0, tc > 0, abs_ > 0,
                abs(delta) / 1000 * (1 if positive else -1) if has_delta else None, red != 0)


class Ac(Kunos):
    """Assetto Corsa."""

    name = "ac"
    game = "Assetto Corsa"
    pages = {PHYSICS: AC_PHYSICS_READ.size, GRAPHICS: AC_GRAPHICS_READ.size,
             STATIC: STATIC_READ.size}
    other = ("Assetto Corsa Competizione", "acc")

    def _is_other(self, game: Tuple[int, int]) -> bool:
        return game < (1, 11)

    def _own(self, physics: Tuple[Any, ...], graphics: Tuple[Any, ...]) -> Own:
        # AC's document makes the floats tc and abs the "slip ratio limit" of each aid
        # (if enabled): a setting, which would light the LED whenever the aid is on. AC's
        # later builds add tcinAction and absInAction, "TC in action" and "ABS in action".
        *_, pit, tc, abs_ = physics
        return pit != 0, tc != 0, abs_ != 0, None, False



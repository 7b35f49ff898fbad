"""Decoders of the games' UDP telemetry, one per game family.

Each layout below is the game's published packet layout, written once as its field list
(packed, little-endian). A decoder's :meth:`~Decoder.feed` takes one datagram and gives a
:class:`Telemetry`, or None for a packet it ignores or cannot read; it never raises for
what the network delivers, and counts what it could not read in ``rejected``.
"""
import math
import struct
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Optional, Tuple, Union

Packet = Union[bytes, bytearray, memoryview]


@dataclass(frozen=True)
class Telemetry:
    """One moment of a car, the same record for every game; None where the game does not
    send the value. Gear: -1 reverse, 0 neutral, 1 and up forward; fuel from 0 to 1."""

    rpm: Optional[float] = None
    max_rpm: Optional[float] = None
    gear: Optional[int] = None
    speed_kph: Optional[float] = None
    fuel: Optional[float] = None
    lap_time_s: Optional[float] = None
    last_lap_s: Optional[float] = None
    position: Optional[int] = None
    pit_limiter: Optional[bool] = None
    abs_active: Optional[bool] = None
    tc_active: Optional[bool] = None
    handbrake: Optional[bool] = None
    shift_light: Optional[bool] = None
    in_race: Optional[bool] = None
    # Dash lights that only OutGauge sends.
    oil_warning: Optional[bool] = None
    battery_warning: Optional[bool] = None
    signal_left: Optional[bool] = None
    signal_right: Optional[bool] = None


class Fields:
    """A packed little-endian C struct from its published field list of (name, struct
    format) pairs; an array field (``"4H"``) reads as its first element."""

    def __init__(self, *fields: Tuple[str, str]) -> None:
        self.struct = struct.Struct("<" + "".join(fmt for _, fmt in fields))
        self.size = self.struct.size
        self._index: Dict[str, int] = {}
        count = 0
        for name, fmt in fields:
            self._index[name] = count
            count += len(struct.unpack("<" + fmt, bytes(struct.calcsize("<" + fmt))))

    def read(self, packet: bytes, offset: int = 0) -> Dict[str, Any]:
        values = self.struct.unpack_from(packet, offset)
        return {name: values[index] for name, index in self._index.items()}


def _wheels(name: str, fmt: str) -> Iterable[Tuple[str, str]]:
    return ((name + wheel, fmt) for wheel in ("FrontLeft", "FrontRight", "RearLeft", "RearRight"))


class _Unreadable(Exception):
    pass


def _finite(*values: float) -> None:
    if not all(math.isfinite(value) for value in values):
        raise _Unreadable


class Decoder:
    """What the decoders share: the counters and the promise that :meth:`feed` returns
    None rather than raising for any bytes."""

    #: The source's name on the command line and the UDP port its game usually sends to.
    name = ""
    port = 0

    def __init__(self) -> None:
        #: Packets that could not be read: wrong length or format, garbage.
        self.rejected = 0
        #: Well-formed packets of a kind the board has no use for.
        self.ignored = 0

    def feed(self, packet: Packet) -> Optional[Telemetry]:
        if not isinstance(packet, (bytes, bytearray, memoryview)):
            raise TypeError("a packet is bytes")
        try:
            telemetry = self._decode(bytes(packet))
        except _Unreadable:
            self.rejected += 1
            return None
        if telemetry is None:
            self.ignored += 1
        return telemetry

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        raise NotImplementedError


# --- OutGauge: Live for Speed's InSim.txt, sent by LFS, BeamNG.drive and others --------

OUTGAUGE = Fields(
    ("Time", "I"), ("Car", "4s"), ("Flags", "H"), ("Gear", "B"), ("PLID", "B"),
    ("Speed", "f"), ("RPM", "f"), ("Turbo", "f"), ("EngTemp", "f"), ("Fuel", "f"),
    ("OilPressure", "f"), ("OilTemp", "f"), ("DashLights", "I"), ("ShowLights", "I"),
    ("Throttle", "f"), ("Brake", "f"), ("Clutch", "f"), ("Display1", "16s"), ("Display2", "16s"))
OUTGAUGE_ID = 4  # the optional int ID that follows when OutGauge ID is set

# DL_x: bit numbers of DashLights (available) and ShowLights (lit).
DL_SHIFT, DL_HANDBRAKE, DL_PITSPEED, DL_TC = 0, 2, 3, 4
DL_SIGNAL_L, DL_SIGNAL_R, DL_OILWARN, DL_BATTERY, DL_ABS = 5, 6, 8, 9, 10


class OutGauge(Decoder):
    """The OutGauge packet: 92 bytes, or 96 with the optional ID."""

    name = "outgauge"
    port = 4444  # BeamNG.drive's default; LFS takes the port from its cfg.txt

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) not in (OUTGAUGE.size, OUTGAUGE.size + OUTGAUGE_ID):
            raise _Unreadable
        f = OUTGAUGE.read(packet)
        _finite(f["Speed"], f["RPM"], f["Fuel"])
        available, lit = int(f["DashLights"]), int(f["ShowLights"])

        def light(bit: int) -> Optional[bool]:
            return bool(lit >> bit & 1) if available >> bit & 1 else None

        return Telemetry(
            rpm=f["RPM"], speed_kph=f["Speed"] * 3.6, fuel=f["Fuel"],
            gear=int(f["Gear"]) - 1,  # 0 reverse, 1 neutral
            shift_light=light(DL_SHIFT), handbrake=light(DL_HANDBRAKE),
            pit_limiter=light(DL_PITSPEED), tc_active=light(DL_TC), abs_active=light(DL_ABS),
            oil_warning=light(DL_OILWARN), battery_warning=light(DL_BATTERY),
            signal_left=light(DL_SIGNAL_L), signal_right=light(DL_SIGNAL_R))


# --- Forza "Data Out": Sled, Dash, and the Horizon and Motorsport (2023) variants ------

FORZA_SLED = Fields(
    ("IsRaceOn", "i"), ("TimestampMS", "I"),
    ("EngineMaxRpm", "f"), ("EngineIdleRpm", "f"), ("CurrentEngineRpm", "f"),
    ("AccelerationX", "f"), ("AccelerationY", "f"), ("AccelerationZ", "f"),
    ("VelocityX", "f"), ("VelocityY", "f"), ("VelocityZ", "f"),
    ("AngularVelocityX", "f"), ("AngularVelocityY", "f"), ("AngularVelocityZ", "f"),
    ("Yaw", "f"), ("Pitch", "f"), ("Roll", "f"),
    *_wheels("NormalizedSuspensionTravel", "f"), *_wheels("TireSlipRatio", "f"),
    *_wheels("WheelRotationSpeed", "f"), *_wheels("WheelOnRumbleStrip", "i"),
    *_wheels("WheelInPuddleDepth", "f"), *_wheels("SurfaceRumble", "f"),
    *_wheels("TireSlipAngle", "f"), *_wheels("TireCombinedSlip", "f"),
    *_wheels("SuspensionTravelMeters", "f"),
    ("CarOrdinal", "i"), ("CarClass", "i"), ("CarPerformanceIndex", "i"),
    ("DrivetrainType", "i"), ("NumCylinders", "i"))
FORZA_DASH = Fields(
    ("PositionX", "f"), ("PositionY", "f"), ("PositionZ", "f"),
    ("Speed", "f"), ("Power", "f"), ("Torque", "f"), *_wheels("TireTemp", "f"),
    ("Boost", "f"), ("Fuel", "f"), ("DistanceTraveled", "f"), ("BestLap", "f"),
    ("LastLap", "f"), ("CurrentLap", "f"), ("CurrentRaceTime", "f"),
    ("LapNumber", "H"), ("RacePosition", "B"), ("Accel", "B"), ("Brake", "B"),
    ("Clutch", "B"), ("HandBrake", "B"), ("Gear", "B"), ("Steer", "b"),
    ("NormalizedDrivingLine", "b"), ("NormalizedAIBrakeDifference", "b"))
FORZA_MOTORSPORT_EXTRA = Fields(*_wheels("TireWear", "f"), ("TrackOrdinal", "i"))
# Forza Horizon 4 and 5 put 12 undocumented bytes between the Sled and the Dash fields
# and one more at the end.
HORIZON_GAP, HORIZON_TAIL = 12, 1
FORZA_NEUTRAL = 11  # Forza's gear byte: 0 reverse, 1 to 10 forward, 11 neutral

# Packet length -> where the Dash fields start (None: a Sled packet, which has none).
FORZA_DASH_AT: Dict[int, Optional[int]] = {
    FORZA_SLED.size: None,                                                     # Sled, 232
    FORZA_SLED.size + FORZA_DASH.size: FORZA_SLED.size,                        # FM7 Dash, 311
    FORZA_SLED.size + HORIZON_GAP + FORZA_DASH.size + HORIZON_TAIL:
        FORZA_SLED.size + HORIZON_GAP,                                         # FH4/FH5, 324
    FORZA_SLED.size + FORZA_DASH.size + FORZA_MOTORSPORT_EXTRA.size: FORZA_SLED.size,  # FM, 331
}


class Forza(Decoder):
    """Forza "Data Out" packets, told apart by their length."""

    name = "forza"
    port = 5607  # the games have no default; Forza Horizon binds its own socket in 5200-5300

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) not in FORZA_DASH_AT:
            raise _Unreadable
        sled = FORZA_SLED.read(packet)
        rpm, max_rpm = sled["CurrentEngineRpm"], sled["EngineMaxRpm"]
        velocity = (sled["VelocityX"], sled["VelocityY"], sled["VelocityZ"])
        _finite(rpm, max_rpm, *velocity)
        common = dict(in_race=sled["IsRaceOn"] != 0, rpm=rpm, max_rpm=max_rpm)
        dash_at = FORZA_DASH_AT[len(packet)]
        if dash_at is None:
            # The Sled has no speed field, but the car's own velocity is the speed.
            speed = math.sqrt(sum(v * v for v in velocity))
            return Telemetry(speed_kph=speed * 3.6, **common)
        dash = FORZA_DASH.read(packet, dash_at)
        _finite(dash["Speed"], dash["Fuel"], dash["LastLap"], dash["CurrentLap"])
        gear = int(dash["Gear"])
        return Telemetry(
            speed_kph=dash["Speed"] * 3.6, fuel=dash["Fuel"],
            gear=-1 if gear == 0 else 0 if gear >= FORZA_NEUTRAL else gear,
            lap_time_s=dash["CurrentLap"], last_lap_s=dash["LastLap"],
            position=dash["RacePosition"], handbrake=dash["HandBrake"] != 0,
            **common)


# --- EA's F1 23, F1 24 and F1 25 UDP telemetry format -------------------------------

F1_HEADER = Fields(
    ("packetFormat", "H"), ("gameYear", "B"), ("gameMajorVersion", "B"),
    ("gameMinorVersion", "B"), ("packetVersion", "B"), ("packetId", "B"),
    ("sessionUID", "Q"), ("sessionTime", "f"), ("frameIdentifier", "I"),
    ("overallFrameIdentifier", "I"), ("playerCarIndex", "B"), ("secondaryPlayerCarIndex", "B"))
F1_CAR_TELEMETRY = Fields(
    ("speed", "H"), ("throttle", "f"), ("steer", "f"), ("brake", "f"), ("clutch", "B"),
    ("gear", "b"), ("engineRPM", "H"), ("drs", "B"), ("revLightsPercent", "B"),
    ("revLightsBitValue", "H"), ("brakesTemperature", "4H"),
    ("tyresSurfaceTemperature", "4B"), ("tyresInnerTemperature", "4B"),
    ("engineTemperature", "H"), ("tyresPressure", "4f"), ("surfaceType", "4B"))
F1_TELEMETRY_TAIL = Fields(
    ("mfdPanelIndex", "B"), ("mfdPanelIndexSecondaryPlayer", "B"), ("suggestedGear", "b"))
F1_CAR_STATUS = Fields(
    ("tractionControl", "B"), ("antiLockBrakes", "B"), ("fuelMix", "B"),
    ("frontBrakeBias", "B"), ("pitLimiterStatus", "B"), ("fuelInTank", "f"),
    ("fuelCapacity", "f"), ("fuelRemainingLaps", "f"), ("maxRPM", "H"), ("idleRPM", "H"),
    ("maxGears", "B"), ("drsAllowed", "B"), ("drsActivationDistance", "H"),
    ("actualTyreCompound", "B"), ("visualTyreCompound", "B"), ("tyresAgeLaps", "B"),
    ("vehicleFiaFlags", "b"), ("enginePowerICE", "f"), ("enginePowerMGUK", "f"),
    ("ersStoreEnergy", "f"), ("ersDeployMode", "B"), ("ersHarvestedThisLapMGUK", "f"),
    ("ersHarvestedThisLapMGUH", "f"), ("ersDeployedThisLap", "f"), ("networkPaused", "B"))
F1_CARS = 22
F1_CAR_TELEMETRY_ID, F1_CAR_STATUS_ID = 6, 7
# Packet format -> (entry of packet 6, its tail, entry of packet 7). The 2023, 2024 and
# 2025 published formats give the same 29-byte header and the same entries (1352- and
# 1239-byte packets); a year that changes them gets its own line here.
F1_YEARS = {year: (F1_CAR_TELEMETRY, F1_TELEMETRY_TAIL, F1_CAR_STATUS)
            for year in (2023, 2024, 2025)}


class F1(Decoder):
    """The car telemetry (6) and car status (7) packets, read for the player's car;
    each returns the player's telemetry with the latest of the other packet's values."""

    name = "f1"
    port = 20777

    def __init__(self) -> None:
        super().__init__()
        self._telemetry: Dict[str, Any] = {}
        self._status: Dict[str, Any] = {}

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) < F1_HEADER.size:
            raise _Unreadable
        header = F1_HEADER.read(packet)
        layouts = F1_YEARS.get(header["packetFormat"])
        if layouts is None:
            raise _Unreadable
        car_telemetry, tail, car_status = layouts
        packet_id = header["packetId"]
        if packet_id == F1_CAR_TELEMETRY_ID:
            entry, size = car_telemetry, F1_HEADER.size + F1_CARS * car_telemetry.size + tail.size
        elif packet_id == F1_CAR_STATUS_ID:
            entry, size = car_status, F1_HEADER.size + F1_CARS * car_status.size
        else:
            return None
        player = int(header["playerCarIndex"])
        if len(packet) != size or player >= F1_CARS:
            raise _Unreadable
        fields = entry.read(packet, F1_HEADER.size + player * entry.size)
        if packet_id == F1_CAR_STATUS_ID:
            _finite(fields["fuelInTank"], fields["fuelCapacity"])
            self._status = fields
        else:
            self._telemetry = fields
        return self._merged()

    def _merged(self) -> Telemetry:
        t, s = self._telemetry, self._status
        fuel = None
        if s and s["fuelCapacity"] > 0:
            fuel = s["fuelInTank"] / s["fuelCapacity"]
        return Telemetry(
            speed_kph=t.get("speed"), gear=t.get("gear"), rpm=t.get("engineRPM"),
            shift_light=t["revLightsPercent"] >= 100 if t else None,
            max_rpm=s.get("maxRPM"), fuel=fuel,
            pit_limiter=s["pitLimiterStatus"] != 0 if s else None,
            tc_active=s["tractionControl"] != 0 if s else None,
            abs_active=s["antiLockBrakes"] != 0 if s else None)


SOURCES = {decoder.name: decoder for decoder in (OutGauge, Forza, F1)}

"""Forza "Data Out": Sled, Dash, and the Horizon and Motorsport (2023) variants."""
import math
from typing import Dict, Optional

from ..telemetry import Telemetry
from .base import Fields, UdpDecoder, Unreadable, finite, wheels

FORZA_SLED = Fields(
    ("IsRaceOn", "i"), ("TimestampMS", "I"),
    ("EngineMaxRpm", "f"), ("EngineIdleRpm", "f"), ("CurrentEngineRpm", "f"),
    ("AccelerationX", "f"), ("AccelerationY", "f"), ("AccelerationZ", "f"),
    ("VelocityX", "f"), ("VelocityY", "f"), ("VelocityZ", "f"),
    ("AngularVelocityX", "f"), ("AngularVelocityY", "f"), ("AngularVelocityZ", "f"),
    ("Yaw", "f"), ("Pitch", "f"), ("Roll", "f"),
    *wheels("NormalizedSuspensionTravel", "f"), *wheels("TireSlipRatio", "f"),
    *wheels("WheelRotationSpeed", "f"), *wheels("WheelOnRumbleStrip", "i"),
    *wheels("WheelInPuddleDepth", "f"), *wheels("SurfaceRumble", "f"),
    *wheels("TireSlipAngle", "f"), *wheels("TireCombinedSlip", "f"),
    *wheels("SuspensionTravelMeters", "f"),
    ("CarOrdinal", "i"), ("CarClass", "i"), ("CarPerformanceIndex", "i"),
    ("DrivetrainType", "i"), ("NumCylinders", "i"))
FORZA_DASH = Fields(
    ("PositionX", "f"), ("PositionY", "f"), ("PositionZ", "f"),
    ("Speed", "f"), ("Power", "f"), ("Torque", "f"), *wheels("TireTemp", "f"),
    ("Boost", "f"), ("Fuel", "f"), ("DistanceTraveled", "f"), ("BestLap", "f"),
    ("LastLap", "f"), ("CurrentLap", "f"), ("CurrentRaceTime", "f"),
    ("LapNumber", "H"), ("RacePosition", "B"), ("Accel", "B"), ("Brake", "B"),
    ("Clutch", "B"), ("HandBrake", "B"), ("Gear", "B"), ("Steer", "b"),
    ("NormalizedDrivingLine", "b"), ("NormalizedAIBrakeDifference", "b"))
# What the board shows of them, read from every packet.
FORZA_SLED_READ = FORZA_SLED.reader("IsRaceOn", "EngineMaxRpm", "CurrentEngineRpm", "VelocityX",
                                    "VelocityY", "VelocityZ", "CarOrdinal")
FORZA_DASH_READ = FORZA_DASH.reader("Speed", "Fuel", "BestLap", "LastLap", "CurrentLap",
                                    "RacePosition", "HandBrake", "Gear")
FORZA_MOTORSPORT_EXTRA = Fields(*wheels("TireWear", "f"), ("TrackOrdinal", "i"))
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


class Forza(UdpDecoder):
    """Forza "Data Out" packets, told apart by their length."""

    name = "forza"
    game = "Forza"
    port = 5607  # the games have no default; Forza Horizon binds its own socket in 5200-5300

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) not in FORZA_DASH_AT:
            raise Unreadable
        sled = FORZA_SLED_READ(packet)
        rpm, max_rpm = sled["CurrentEngineRpm"], sled["EngineMaxRpm"]
        velocity = (sled["VelocityX"], sled["VelocityY"], sled["VelocityZ"])
        finite(rpm, max_rpm, *velocity)
        common = dict(in_race=sled["IsRaceOn"] != 0, rpm=rpm, max_rpm=max_rpm,
                      car=str(sled["CarOrdinal"]) if sled["CarOrdinal"] > 0 else None)
        dash_at = FORZA_DASH_AT[len(packet)]
        if dash_at is None:
            # The Sled has no speed field, but the car's own velocity is the speed.
            speed = math.sqrt(sum(v * v for v in velocity))
            return Telemetry(speed_kph=speed * 3.6, **common)
        dash = FORZA_DASH_READ(packet[dash_at:])
        finite(dash["Speed"], dash["Fuel"], dash["LastLap"], dash["CurrentLap"], dash["BestLap"])
        gear = int(dash["Gear"])
        return Telemetry(
            speed_kph=dash["Speed"] * 3.6, fuel=dash["Fuel"],
            gear=-1 if gear == 0 else 0 if gear >= FORZA_NEUTRAL else gear,
            lap_time_s=dash["CurrentLap"], last_lap_s=dash["LastLap"],
            best_lap_s=dash["BestLap"] if dash["BestLap"] > 0 else None,
            position=dash["RacePosition"], handbrake=dash["HandBrake"] != 0,
            **common)

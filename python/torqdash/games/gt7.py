"""Gran Turismo 7 on a PlayStation: the console's "Simulator Interface" packets, which it
sends encrypted, and only to a machine that keeps asking for them."""
import struct
from typing import Dict, Optional

from Crypto.Cipher import Salsa20

from ..telemetry import Telemetry
from .base import Fields, UdpDecoder, Unreadable, finite

# Polyphony Digital publishes no layout. This one is the community's documentation of it:
# MacManley/gt7-udp, README.md at commit 195d0f6 (packet "A", and "B" and "~" from game
# update 1.42 on), which follows Nenkai's decoding (GTPlanet, "GT7 is compatible with motion
# rig ?", post 13799643; Nenkai/PDTools issue 14 for "B" and "~"). Little-endian, packed.
GT7_PACKET = Fields(
    ("magic", "i"), ("position", "3f"), ("worldVelocity", "3f"), ("rotation", "3f"),
    ("orientationRelativeToNorth", "f"), ("angularVelocity", "3f"), ("bodyHeight", "f"),
    ("EngineRPM", "f"), ("iv", "4B"), ("fuelLevel", "f"), ("fuelCapacity", "f"), ("speed", "f"),
    ("boost", "f"), ("oilPressure", "f"), ("waterTemp", "f"), ("oilTemp", "f"), ("tyreTemp", "4f"),
    ("packetId", "i"), ("lapCount", "h"), ("totalLaps", "h"), ("bestLaptime", "i"),
    ("lastLaptime", "i"), ("dayProgression", "i"), ("RaceStartPosition", "h"),
    ("preRaceNumCars", "h"), ("minAlertRPM", "h"), ("maxAlertRPM", "h"), ("calcMaxSpeed", "h"),
    ("flags", "h"), ("gears", "B"), ("throttle", "B"), ("brake", "B"), ("UNKNOWNBYTE1", "B"),
    ("roadPlane", "3f"), ("roadPlaneDistance", "f"), ("wheelRPS", "4f"), ("tyreRadius", "4f"),
    ("suspHeight", "4f"), ("UNKNOWNFLOATS", "8f"), ("clutch", "f"), ("clutchEngagement", "f"),
    ("RPMFromClutchToGearbox", "f"), ("transmissionTopSpeed", "f"), ("gearRatios", "8f"),
    ("carCode", "i"))
# What the board shows of it, read from every packet.
GT7_READ = GT7_PACKET.reader(
    "magic", "EngineRPM", "fuelLevel", "fuelCapacity", "speed", "lapCount", "totalLaps",
    "bestLaptime", "lastLaptime", "RaceStartPosition", "minAlertRPM", "maxAlertRPM", "flags",
    "gears", "carCode")
GT7_MAGIC = 0x47375330  # "0S7G" as bytes; GT6 sends another
# Salsa20 with the first 32 bytes of this text as key; the nonce is iv1 ^ the constant of
# the packet's kind, then iv1, where iv1 is the little-endian word at 0x40 of the packet as
# sent (the game writes it there in the clear). Packet length -> that constant: the heartbeat
# "A" asks for 296-byte packets, "B" for 316, "~" for 344; each starts as "A" does, and the
# console sends the kind of the first heartbeat it heard until it stops sending.
GT7_KEY = b"Simulator Interface Packet GT7 ver 0.0"[:32]
GT7_IV_AT = 0x40
GT7_NONCE_XOR: Dict[int, int] = {GT7_PACKET.size: 0xDEADBEAF, 316: 0xDEADBEEF, 344: 0x55FABB4F}
# flags: bit numbers.
CAR_ON_TRACK, PAUSED, LOADING, IN_GEAR, HAS_TURBO, REV_LIMIT_ALERT, HANDBRAKE = 0, 1, 2, 3, 4, 5, 6
ASM_ACTIVE, TCS_ACTIVE = 10, 11
NO_GEAR = 15  # a gear nibble of all ones: no gear (the suggested gear's "none")
# A car with more than eight gears writes its ninth ratio, a float, over the car code: no code
# is that large.
MAX_CAR_CODE = 1 << 20


def _cipher(seed: int, length: int) -> "Salsa20.Salsa20Cipher":
    nonce = struct.pack("<II", seed ^ GT7_NONCE_XOR[length], seed)
    return Salsa20.new(key=GT7_KEY, nonce=nonce)


def seal(packet: bytes, seed: int) -> bytes:
    """A decrypted packet encrypted as the console sends it, with ``seed`` as its iv1 (for
    tests and benchmarks; the console picks a new one for every packet)."""
    sealed = bytearray(_cipher(seed, len(packet)).encrypt(packet))
    struct.pack_into("<I", sealed, GT7_IV_AT, seed)
    return bytes(sealed)


class GT7(UdpDecoder):
    """Gran Turismo 7's packets, decrypted; the player's car. A packet that is not one of the
    three lengths, or whose magic is wrong once decrypted, is rejected."""

    name = "gt7"
    game = "Gran Turismo 7"
    port = 33740
    bind = "0.0.0.0"  # the console is another machine
    heartbeat = b"A"
    heartbeat_port = 33739
    # The console stops about 100 packets (1.6 s) after the last heartbeat it heard; two a
    # second keep it sending through a lost one.
    heartbeat_s = 0.5

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) not in GT7_NONCE_XOR:
            raise Unreadable
        seed = int.from_bytes(packet[GT7_IV_AT:GT7_IV_AT + 4], "little")
        plain = _cipher(seed, len(packet)).decrypt(packet)
        f = GT7_READ(plain)
        if f["magic"] != GT7_MAGIC:
            raise Unreadable
        rpm, speed, fuel, capacity = f["EngineRPM"], f["speed"], f["fuelLevel"], f["fuelCapacity"]
        finite(rpm, speed, fuel, capacity)
        flags, gears = f["flags"], f["gears"]
        gear, suggested = gears & 0xF, gears >> 4
        low, high = f["minAlertRPM"], f["maxAlertRPM"]
        car = f["carCode"]

        def flag(bit: int) -> bool:
            return bool(flags >> bit & 1)

        return Telemetry(
            rpm=rpm, speed_kph=speed * 3.6,
            gear=-1 if gear == 0 else 0 if gear == NO_GEAR else gear,
            suggested_gear=None if suggested == NO_GEAR else suggested,
            # Electric cars have no tank (capacity 0): their charge has no scale here.
            fuel=fuel / capacity if capacity > 0 else None,
            lap=f["lapCount"] if f["lapCount"] > 0 else None,
            laps=f["totalLaps"] if f["totalLaps"] > 0 else None,  # 0: not a race of laps
            best_lap_s=f["bestLaptime"] / 1000 if f["bestLaptime"] > 0 else None,  # -1: none yet
            last_lap_s=f["lastLaptime"] / 1000 if f["lastLaptime"] > 0 else None,
            position=f["RaceStartPosition"] if f["RaceStartPosition"] > 0 else None,  # grid only
            # The game's rev alert flashes from the low end (its flag bit is set from there,
            # in every recorded packet): that is its shift point, and the bar's start follows
            # from it. The high end tops its scale. Drivers shift at the low end: taken as
            # the bar's start instead, the bar stayed dark for whole recorded laps.
            shift_rpm=low if low > 0 else None, max_rpm=high if high > 0 else None,
            shift_light=flag(REV_LIMIT_ALERT), handbrake=flag(HANDBRAKE),
            tc_active=flag(TCS_ACTIVE), stability_active=flag(ASM_ACTIVE),
            in_race=flag(CAR_ON_TRACK) and not (flag(PAUSED) or flag(LOADING)),
            car=str(car) if 0 < car < MAX_CAR_CODE else None)

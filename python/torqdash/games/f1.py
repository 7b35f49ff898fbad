"""EA's F1 23, F1 24 and F1 25 UDP telemetry format."""
from typing import Any, Dict, Optional

from ..telemetry import Telemetry
from .base import Fields, UdpDecoder, Unreadable, finite

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
# playerCarIndex when no car is the player's (as the secondary index's "255 if no second player";
# F1 25 sends it while spectating).
F1_SPECTATOR = 255
F1_CAR_TELEMETRY_ID, F1_CAR_STATUS_ID = 6, 7
# vehicleFiaFlags: -1 invalid or unknown, 0 none.
F1_FLAGS = {1: "green", 2: "blue", 3: "yellow"}
# Packet format -> (entry of packet 6, its tail, entry of packet 7). The 2023, 2024 and
# 2025 published formats give the same 29-byte header and the same entries (1352- and
# 1239-byte packets); a year that changes them gets its own line here.
F1_YEARS = {year: (F1_CAR_TELEMETRY, F1_TELEMETRY_TAIL, F1_CAR_STATUS)
            for year in (2023, 2024, 2025)}


class F1(UdpDecoder):
    """The car telemetry (6) and car status (7) packets, read for the player's car;
    each returns the player's telemetry with the latest of the other packet's values."""

    name = "f1"
    game = "F1"
    port = 20777

    def __init__(self) -> None:
        super().__init__()
        self._telemetry: Dict[str, Any] = {}
        self._status: Dict[str, Any] = {}

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) < F1_HEADER.size:
            raise Unreadable
        header = F1_HEADER.read(packet)
        layouts = F1_YEARS.get(header["packetFormat"])
        if layouts is None:
            raise Unreadable
        car_telemetry, tail, car_status = layouts
        packet_id = header["packetId"]
        if packet_id == F1_CAR_TELEMETRY_ID:
            entry, size = car_telemetry, F1_HEADER.size + F1_CARS * car_telemetry.size + tail.size
        elif packet_id == F1_CAR_STATUS_ID:
            entry, size = car_status, F1_HEADER.size + F1_CARS * car_status.size
        else:
            return None
        player = int(header["playerCarIndex"])
        if len(packet) != size or F1_CARS <= player < F1_SPECTATOR:
            raise Unreadable
        if player == F1_SPECTATOR:
            return None  # a well-formed packet, but of nobody's car
        fields = entry.read(packet, F1_HEADER.size + player * entry.size)
        if packet_id == F1_CAR_STATUS_ID:
            finite(fields["fuelInTank"], fields["fuelCapacity"])
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
            rev_lights=min(100, t["revLightsPercent"]) / 100 if t else None,
            max_rpm=s.get("maxRPM"), fuel=fuel,
            pit_limiter=s["pitLimiterStatus"] != 0 if s else None,
            tc_active=s["tractionControl"] != 0 if s else None,
            abs_active=s["antiLockBrakes"] != 0 if s else None,
            flag=F1_FLAGS.get(s["vehicleFiaFlags"]) if s else None)

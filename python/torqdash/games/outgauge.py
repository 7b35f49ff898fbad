"""OutGauge: Live for Speed's dashboard packet, also sent by BeamNG.drive and others."""
from typing import Optional

from ..telemetry import Telemetry
from .base import Fields, UdpDecoder, Unreadable, finite, text

OUTGAUGE = Fields(
    ("Time", "I"), ("Car", "4s"), ("Flags", "H"), ("Gear", "B"), ("PLID", "B"),
    ("Speed", "f"), ("RPM", "f"), ("Turbo", "f"), ("EngTemp", "f"), ("Fuel", "f"),
    ("OilPressure", "f"), ("OilTemp", "f"), ("DashLights", "I"), ("ShowLights", "I"),
    ("Throttle", "f"), ("Brake", "f"), ("Clutch", "f"), ("Display1", "16s"), ("Display2", "16s"))
OUTGAUGE_ID = 4  # the optional int ID that follows when OutGauge ID is set

# DL_x: bit numbers of DashLights (available) and ShowLights (lit).
DL_SHIFT, DL_HANDBRAKE, DL_PITSPEED, DL_TC = 0, 2, 3, 4
DL_SIGNAL_L, DL_SIGNAL_R, DL_OILWARN, DL_BATTERY, DL_ABS = 5, 6, 8, 9, 10


class OutGauge(UdpDecoder):
    """The OutGauge packet: 92 bytes, or 96 with the optional ID."""

    name = "outgauge"
    game = "an OutGauge game"
    port = 4444  # BeamNG.drive's default; LFS takes the port from its cfg.txt

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) not in (OUTGAUGE.size, OUTGAUGE.size + OUTGAUGE_ID):
            raise Unreadable
        f = OUTGAUGE.read(packet)
        finite(f["Speed"], f["RPM"], f["Fuel"])
        available, lit = int(f["DashLights"]), int(f["ShowLights"])

        def light(bit: int) -> Optional[bool]:
            return bool(lit >> bit & 1) if available >> bit & 1 else None

        return Telemetry(
            rpm=f["RPM"], speed_kph=f["Speed"] * 3.6, fuel=f["Fuel"],
            car=text(f["Car"], "latin-1") or None,
            gear=int(f["Gear"]) - 1,  # 0 reverse, 1 neutral
            shift_light=light(DL_SHIFT), handbrake=light(DL_HANDBRAKE),
            pit_limiter=light(DL_PITSPEED), tc_active=light(DL_TC), abs_active=light(DL_ABS),
            oil_warning=light(DL_OILWARN), battery_warning=light(DL_BATTERY),
            signal_left=light(DL_SIGNAL_L), signal_right=light(DL_SIGNAL_R))

"""DiRT Rally, DiRT Rally 2.0, DiRT 4 and other Codemasters games with the UDP output of
``hardware_settings_config.xml`` set to ``extradata="3"``."""
import math
from typing import Optional

from ..telemetry import Telemetry
from .base import Fields, UdpDecoder, Unreadable, finite

# The extradata=3 packet: 66 little-endian floats, 264 bytes, no header. Codemasters'
# "Setting up UDP output for DiRT 4" (2017) describes the extradata setting; the field order
# is the community's documentation (the Codemasters UDP field map spreadsheet that the
# dr2_logger and dirt-rally-time-recorder projects keep, 2019-2020).
DIRT = Fields(*((name, "f") for name in (
    "run_time", "lap_time", "lap_distance", "progress", "pos_x", "pos_y", "pos_z", "speed",
    "vel_x", "vel_y", "vel_z", "roll_x", "roll_y", "roll_z", "pitch_x", "pitch_y", "pitch_z",
    "susp_pos_rl", "susp_pos_rr", "susp_pos_fl", "susp_pos_fr",
    "susp_vel_rl", "susp_vel_rr", "susp_vel_fl", "susp_vel_fr",
    "wheel_speed_rl", "wheel_speed_rr", "wheel_speed_fl", "wheel_speed_fr",
    "throttle", "steering", "brake", "clutch", "gear", "g_force_lat", "g_force_lon", "current_lap",
    "engine_rate", "sli_pro_support", "car_position", "kers_level", "kers_max_level", "drs",
    "traction_control", "anti_lock_brakes", "fuel_in_tank", "fuel_capacity", "in_pit", "sector",
    "sector_1_time", "sector_2_time", "brake_temp_rl", "brake_temp_rr", "brake_temp_fl", "brake_temp_fr",
    "tyre_pressure_rl", "tyre_pressure_rr", "tyre_pressure_fl", "tyre_pressure_fr",
    "laps_completed", "total_laps", "track_length", "last_lap_time", "max_rpm", "idle_rpm", "max_gears")))
PACKET = DIRT.pick("lap_time", "speed", "gear", "engine_rate", "car_position", "fuel_in_tank",
                   "fuel_capacity", "last_lap_time", "max_rpm", "max_gears")
# The engine rate of DiRT Rally and DiRT Rally 2.0 is in radians per second, not rpm (nor
# "rpm / 10", as it is often read): the community's tables of the cars' idle and maximum
# values hold 83.776 and 104.72 for idles of 800 and 1000 rpm, 733.04 and 994.84 for limits
# of 7000 and 9500. A game that sends rpm sends limits far above any engine's in rad/s
# (2500 rad/s is 23873 rpm), which tells the two apart.
RAD_S_TO_RPM = 60 / (2 * math.pi)
RAD_S_ABOVE = 2500.0
# The gear: 0 neutral; reverse is -1 in DiRT Rally 2.0 and 10 in DiRT Rally and DiRT 4, as
# the community's tools read them (no car of these games has ten forward gears).
REVERSE_TEN = 10


class Dirt(UdpDecoder):
    """The 264-byte packet. It has no header to check, so only its size and finite numbers
    tell it from another game's datagram; its default port is not F1's 20777 (the games'
    own default), so that both can run side by side: set ``port="20778"`` in the game's
    XML, or ``--port 20777``."""

    name = "dirt"
    game = "DiRT"
    port = 20778

    def _decode(self, packet: bytes) -> Optional[Telemetry]:
        if len(packet) != DIRT.size:
            raise Unreadable
        values = PACKET.unpack_from(packet)
        finite(*values)
        lap_time, speed, gear_value, rate, position, fuel, capacity, last_lap, max_rpm, gears = values
        scale = RAD_S_TO_RPM if max_rpm <= RAD_S_ABOVE else 1.0
        gear = round(gear_value)
        if gear < 0 or (gear == REVERSE_TEN and gears < REVERSE_TEN):
            gear = -1
        return Telemetry(
            rpm=rate * scale, max_rpm=max_rpm * scale or None, gear=gear, speed_kph=abs(speed) * 3.6,
            lap_time_s=max(lap_time, 0.0), last_lap_s=last_lap if last_lap > 0 else None,
            position=round(position) if position >= 1 else None,
            fuel=fuel / capacity if capacity > 0 else None)  # rally cars' tanks are not sent (0 and 0)

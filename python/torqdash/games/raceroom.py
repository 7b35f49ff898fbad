"""RaceRoom Racing Experience: its shared memory "$R3E", one struct that the game rewrites
in place, with no counter or lock to tell a finished copy from one it is writing."""
import math
from typing import Any, Dict, Mapping, Optional

from ..telemetry import Telemetry
from .base import Fields, NotLive, Page, SharedMemoryDecoder, Torn, finite, take

# struct r3e_share, #pragma pack(1), of r3e.h in sector3studios/r3e-api, R3E_VERSION_MAJOR 3,
# R3E_VERSION_MINOR 4, up to pit_limiter (minor versions only add behind it or use reserved
# fields). A field that stands for several ("player", "560s") reads as the first.
R3E = Fields(
    ("version_major", "i"), ("version_minor", "i"), ("all_drivers_offset", "i"),
    ("driver_data_size", "i"), ("game_mode", "i"), ("game_paused", "i"), ("game_in_menus", "i"),
    ("game_in_replay", "i"), ("game_using_vr", "i"), ("game_unused1", "i"),
    ("player", "560s"),  # r3e_playerdata: the player's car in double precision
    ("track_name", "64s"), ("layout_name", "64s"), ("track_id", "i"), ("layout_id", "i"),
    ("layout_length", "f"), ("sector_start_factors", "3f"), ("race_session_laps", "3i"),
    ("race_session_minutes", "3i"), ("event_index", "i"), ("session_type", "i"),
    ("session_iteration", "i"), ("session_length_format", "i"), ("session_pit_speed_limit", "f"),
    ("session_phase", "i"), ("start_lights", "i"), ("tire_wear_active", "i"),
    ("fuel_use_active", "i"), ("number_of_laps", "i"), ("session_time_duration", "2f"),
    ("max_incident_points", "i"), ("event_unused1", "2f"),
    ("pit_window_status", "4i"), ("pit_menu_selection", "i"), ("pit_menu_state", "12i"),
    ("pit_state", "i"), ("pit_total_duration", "2f"), ("pit_action", "2i"),
    ("pit_min_duration_total", "2f"),
    # r3e_flags
    ("yellow", "i"), ("yellowCausedIt", "i"), ("yellowOvertake", "i"),
    ("yellowPositionsGained", "i"), ("sector_yellow", "3i"),
    ("closest_yellow_distance_into_track", "f"), ("blue", "i"), ("black", "i"), ("green", "i"),
    ("checkered", "i"), ("white", "i"), ("black_and_white", "i"),
    ("position", "i"), ("position_class", "i"), ("finish_status", "i"),
    ("cut_track_warnings", "i"), ("penalties", "5f"), ("num_penalties", "i"),
    ("completed_laps", "i"), ("current_lap_valid", "i"), ("track_sector", "i"),
    ("lap_distance", "2f"), ("lap_time_best_leader", "2f"),
    ("session_best_lap_sector_times", "3f"), ("lap_time_best_self", "f"),
    ("sector_time_best_self", "3f"), ("lap_time_previous_self", "f"),
    ("sector_time_previous_self", "3f"), ("lap_time_current_self", "f"),
    ("sector_time_current_self", "3f"), ("lap_time_delta_leader", "2f"), ("time_delta_front", "2f"),
    ("time_delta_best_self", "f"), ("best_individual_sector_time_self", "9f"),
    ("incident_points", "3i"), ("unused1", "3f"),
    # vehicle_info (r3e_driver_info), player_name
    ("name", "64s"), ("car_number", "i"), ("class_id", "i"), ("model_id", "i"),
    ("team_id", "7i"), ("car_width", "6f"), ("player_name", "64s"),
    ("control_type", "i"), ("car_speed", "f"), ("engine_rps", "f"), ("max_engine_rps", "f"),
    ("upshift_rps", "f"), ("gear", "i"), ("num_gears", "i"), ("car_cg_location", "9f"),
    ("total_mass", "f"), ("fuel_left", "f"), ("fuel_capacity", "f"), ("fuel_per_lap", "f"),
    ("virtual_energy_left", "3f"), ("engine_temp", "5f"), ("throttle", "7f"),
    ("steer_lock_degrees", "2i"),
    # r3e_aid_settings: -1 N/A, 0 off, 1 on (ESP: 1 to 3), 5 currently active
    ("abs", "i"), ("tc", "i"), ("esp", "i"), ("countersteer", "i"), ("cornering", "i"),
    ("drs", "4i"), ("pit_limiter", "i"))
SHOWN = R3E.reader(
    "game_paused", "game_in_menus", "game_in_replay", "session_phase", "yellow", "blue", "black", "green",
    "checkered", "white", "position", "lap_time_best_self", "lap_time_previous_self", "lap_time_current_self",
    "time_delta_best_self", "model_id", "car_speed", "engine_rps", "max_engine_rps", "upshift_rps", "gear",
    "fuel_left", "fuel_capacity", "abs", "tc", "pit_limiter")
R3E_NAME = "$R3E"
VERSION_MAJOR = 3
SESSION_PHASE_CHECKERED = 6
AID_ACTIVE = 5
NO_GEAR = -2
NO_DELTA = -1000.0  # time_delta_best_self's "N/A"
RPS_TO_RPM = 60 / (2 * math.pi)


def _seconds(value: float) -> Optional[float]:
    return value if value > 0 else None  # -1.0: none


def _rpm(rps: float) -> Optional[float]:
    return rps * RPS_TO_RPM if rps > 0 else None


def _state(value: int) -> Optional[bool]:
    return None if value < 0 else value == 1  # -1: no data


def flag(f: Dict[str, Any]) -> Optional[str]:
    """The flag the driver sees, most severe first. The black-and-white flag (a warning
    for blue flags, the wrong way or cutting) has no counterpart and is left out."""
    for name, shown in (("black", "black"), ("checkered", "chequered"), ("yellow", "yellow"),
                        ("blue", "blue"), ("white", "white"), ("green", "green")):
        if f[name] == 1:
            return shown
    return "chequered" if f["session_phase"] == SESSION_PHASE_CHECKERED else None


def _copy(page: Page) -> bytes:
    data = take(page, 0, R3E.size)
    if take(page, 0, R3E.size) != data:
        raise Torn
    major = int.from_bytes(data[:4], "little", signed=True)  # version_major
    if major != VERSION_MAJOR:  # 0: not written yet; another: a layout we do not know
        why = f"its shared memory is version {major}, torqdash reads {VERSION_MAJOR}"
        raise NotLive(why if major else "")
    return data


class RaceRoom(SharedMemoryDecoder):
    """RaceRoom's "$R3E". r3e.h gives no means against torn reads: a copy counts when two
    taken one after the other are equal. Paused, the board keeps what it shows; in the
    menus and in replays it is dark."""

    name = "r3e"
    game = "RaceRoom"
    pages = {R3E_NAME: R3E.size}

    def __init__(self) -> None:
        super().__init__()
        self._last: Optional[bytes] = None

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        try:
            data = _copy(self.page(pages, R3E_NAME))
        except NotLive:
            self._last = None  # a game that comes back shows what it writes, whatever it is
            raise
        f = SHOWN(data)
        if data == self._last or f["game_paused"] == 1:
            return None
        self._last = data
        if f["game_in_menus"] == 1 or f["game_in_replay"] == 1:
            return Telemetry(in_race=False)
        rps, capacity, delta = f["engine_rps"], f["fuel_capacity"], f["time_delta_best_self"]
        finite(rps, f["max_engine_rps"], f["upshift_rps"], f["car_speed"], f["fuel_left"], capacity,
               delta, f["lap_time_current_self"], f["lap_time_previous_self"], f["lap_time_best_self"])
        return Telemetry(
            rpm=max(0.0, rps) * RPS_TO_RPM, max_rpm=_rpm(f["max_engine_rps"]),
            shift_rpm=_rpm(f["upshift_rps"]),
            gear=None if f["gear"] <= NO_GEAR else f["gear"], speed_kph=abs(f["car_speed"]) * 3.6,
            fuel=f["fuel_left"] / capacity if capacity > 0 and f["fuel_left"] >= 0 else None,
            lap_time_s=_seconds(f["lap_time_current_self"]),
            last_lap_s=_seconds(f["lap_time_previous_self"]),
            best_lap_s=_seconds(f["lap_time_best_self"]),
            delta_s=None if delta <= NO_DELTA else delta,
            position=f["position"] if f["position"] > 0 else None,
            pit_limiter=_state(f["pit_limiter"]),
            abs_active=None if f["abs"] < 0 else f["abs"] == AID_ACTIVE,
            tc_active=None if f["tc"] < 0 else f["tc"] == AID_ACTIVE,
            flag=flag(f), in_race=True,
            car=str(f["model_id"]) if f["model_id"] >= 0 else None)  # the model id: per-car key

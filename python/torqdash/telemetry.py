"""The one record that every game's decoder gives and the dash shows."""
from dataclasses import dataclass
from typing import Optional

#: The values of :attr:`Telemetry.flag`, the flag shown to the driver.
FLAGS = ("green", "yellow", "blue", "white", "chequered", "black", "red")


@dataclass(frozen=True)
class Telemetry:
    """One moment of a car, the same record for every game; None where the game does not
    give the value. Gear: -1 reverse, 0 neutral, 1 and up forward; fuel from 0 to 1 of a
    full tank; speed in km/h; times in seconds."""

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
    # Dash lights that only some games send.
    oil_warning: Optional[bool] = None
    battery_warning: Optional[bool] = None
    signal_left: Optional[bool] = None
    signal_right: Optional[bool] = None
    best_lap_s: Optional[float] = None
    #: Time to the best lap at this point of the lap: negative = faster.
    delta_s: Optional[float] = None
    #: One of :data:`FLAGS`.
    flag: Optional[str] = None
    #: The game's name or id of the car (the key of per-car settings).
    car: Optional[str] = None
    #: The game's own up-shift point for the current gear or car.
    shift_rpm: Optional[float] = None
    #: Where the game's own shift lights begin.
    first_light_rpm: Optional[float] = None
    #: How much of the game's own shift-light bar is lit, 0 to 1, for a game that gives
    #: the bar rather than its RPMs.
    rev_lights: Optional[float] = None
    #: The gear the game suggests shifting to.
    suggested_gear: Optional[int] = None
    #: The lap the car is on (1 the first), and the race's laps (None: not a race of laps).
    lap: Optional[int] = None
    laps: Optional[int] = None
    #: Stability control in action (Gran Turismo's ASM).
    stability_active: Optional[bool] = None

"""Euro Truck Simulator 2 and American Truck Simulator through the SCS telemetry plugin
(scs-sdk-plugin), which copies the SCS SDK's channels into the shared memory
``SCSTelemetry`` ("Local\\SCSTelemetry" on Windows, ``/dev/shm/SCSTelemetry`` from its Linux
build)."""
from typing import Mapping, Optional

from ..telemetry import Telemetry
from .base import Fields, NotLive, Page, SharedMemoryDecoder, Torn, finite, take, text

# scs-telemetry-common.hpp of scs-sdk-plugin, PLUGIN_REVID 11 and 12 (scsTelemetryMap_t): the
# map is split into zones at fixed offsets (0, 40, 500, 700, 1500, 2300, ...), each padded
# with a buffer so that new values never move the old ones; what both revisions hold at
# the same place is listed here. Meanings from the SCS SDK's scssdk_telemetry_truck_common_channels.h:
# speed in m/s, negative when reversing; gears > 0 forward, 0 neutral, < 0 reverse; fuel
# amount and capacity in litres.
SCS = Fields(
    ("sdkActive", "?3x"), ("paused", "?3x"),
    # Not the game's clock: the plugin's timestamp of the frame, new with every update.
    ("time", "Q"), ("simulatedTime", "Q"), ("renderTime", "Q"),
    ("multiplayerTimeOffset", "q"),  # revision 12; a spare buffer in 11
    # Zone 2 at 40: unsigned ints.
    ("telemetry_plugin_revision", "I"), ("version_major", "I"), ("version_minor", "I"), ("game", "I"),
    ("telemetry_version_game_major", "I"), ("telemetry_version_game_minor", "I"), ("time_abs", "I"),
    ("gears", "I"), ("gears_reverse", "I"), ("retarderStepCount", "I"), ("truckWheelCount", "I"),
    ("selectorCount", "I"), ("time_abs_delivery", "I"), ("maxTrailerCount", "I"), ("unitCount", "I"),
    ("plannedDistanceKm", "I"), ("shifterSlot", "I"), ("retarderBrake", "I"), ("lightsAuxFront", "I"),
    ("lightsAuxRoof", "I"), ("truck_wheelSubstance", "16I"), ("hshifterPosition", "32I"),
    ("hshifterBitmask", "32I"), ("jobDeliveredDeliveryTime", "I"), ("jobStartingTime", "I"),
    ("jobFinishedTime", "I48x"),
    # Zone 3 at 500: ints.
    ("restStop", "i"), ("gear", "i"), ("gearDashboard", "i"), ("hshifterResulting", "32i"),
    ("jobDeliveredEarnedXp", "i56x"),
    # Zone 4 at 700: floats.
    ("scale", "f"), ("fuelCapacity", "f"), ("fuelWarningFactor", "f"), ("adblueCapacity", "f"),
    ("adblueWarningFactor", "f"), ("airPressureWarning", "f"), ("airPressurEmergency", "f"),
    ("oilPressureWarning", "f"), ("waterTemperatureWarning", "f"), ("batteryVoltageWarning", "f"),
    ("engineRpmMax", "f"), ("gearDifferential", "f"), ("cargoMass", "f"), ("truckWheelRadius", "16f"),
    ("gearRatiosForward", "24f"), ("gearRatiosReverse", "8f"), ("unitMass", "f"), ("speed", "f"),
    ("engineRpm", "f"), ("userSteer", "f"), ("userThrottle", "f"), ("userBrake", "f"), ("userClutch", "f"),
    ("gameSteer", "f"), ("gameThrottle", "f"), ("gameBrake", "f"), ("gameClutch", "f"),
    ("cruiseControlSpeed", "f"), ("airPressure", "f"), ("brakeTemperature", "f"), ("fuel", "f"),
    ("fuelAvgConsumption", "f"), ("fuelRange", "f"), ("adblue", "f"), ("oilPressure", "f"),
    ("oilTemperature", "f"), ("waterTemperature", "f"), ("batteryVoltage", "f"), ("lightsDashboard", "f"),
    ("wearEngine", "f"), ("wearTransmission", "f"), ("wearCabin", "f"), ("wearChassis", "f"),
    ("wearWheels", "f"), ("truckOdometer", "f"), ("routeDistance", "f"), ("routeTime", "f"),
    ("speedLimit", "f"), ("truck_wheelSuspDeflection", "16f"), ("truck_wheelVelocity", "16f"),
    ("truck_wheelSteering", "16f"), ("truck_wheelRotation", "16f"), ("truck_wheelLift", "16f"),
    ("truck_wheelLiftOffset", "16f"), ("jobDeliveredCargoDamage", "f"), ("jobDeliveredDistanceKm", "f"),
    ("refuelAmount", "f"), ("cargoDamage", "f28x"),
    # Zone 5 at 1500: bools (after blinkerRightOn the two revisions differ); "On" added to the
    # truck_b names that config_f uses too.
    ("truckWheelSteerable", "16?"), ("truckWheelSimulated", "16?"), ("truckWheelPowered", "16?"),
    ("truckWheelLiftable", "16?"), ("isCargoLoaded", "?"), ("specialJob", "?"), ("parkBrake", "?"),
    ("motorBrake", "?"), ("airPressureWarningOn", "?"), ("airPressureEmergencyOn", "?"),
    ("fuelWarningOn", "?"), ("adblueWarningOn", "?"), ("oilPressureWarningOn", "?"),
    ("waterTemperatureWarningOn", "?"), ("batteryVoltageWarningOn", "?"), ("electricEnabled", "?"),
    ("engineEnabled", "?"), ("wipers", "?"), ("blinkerLeftActive", "?"), ("blinkerRightActive", "?"),
    ("blinkerLeftOn", "?"), ("blinkerRightOn", "?"))
# Zone 9 at 2300: strings of 64 chars (the header's config_s).
STRINGS_AT = 2300
STRINGS = Fields(("truckBrandId", "64s"), ("truckBrand", "64s"), ("truckId", "64s"), ("truckName", "64s"))
TRUCK = SCS.pick("sdkActive", "paused", "telemetry_plugin_revision", "game", "gearDashboard", "fuelCapacity",
                 "engineRpmMax", "speed", "engineRpm", "fuel", "parkBrake", "oilPressureWarningOn",
                 "batteryVoltageWarningOn", "blinkerLeftOn", "blinkerRightOn")
BRAND_AT, NAME_AT = (STRINGS_AT + STRINGS.offset(name) for name in ("truckBrand", "truckName"))
SHM_NAME = "SCSTelemetry"
FIRST_REVISION = 11
TIME_AT = SCS.offset("time")
GAMES = {1, 2}  # Euro Truck Simulator 2, American Truck Simulator (0: a game the plugin does not know)


class Ets2(SharedMemoryDecoder):
    """The truck of the plugin's map: live while the plugin is active in a game it knows.
    The plugin keeps no write counter; a copy is taken again when the frame's timestamp
    changed while it was taken, and nothing is new while it stays the same. A paused game
    (its menu) is shown as out of the race: the board goes dark.

    The gear is the one the truck's dashboard shows, any reverse gear -1. The board's
    lights: the parking brake as the handbrake, the oil pressure and battery
    voltage warnings as oil and battery, the blinker lamps (on and off as they blink) as
    the turn signals. A truck has no pit limiter (left empty)."""

    name = "ets2"
    game = "Euro Truck Simulator 2 / American Truck Simulator"
    pages = {SHM_NAME: STRINGS_AT + STRINGS.size}
    windows_names = {SHM_NAME: "Local\\SCSTelemetry"}

    def __init__(self) -> None:
        super().__init__()
        self._stamp: Optional[bytes] = None

    def _read(self, pages: Mapping[str, Page]) -> Optional[Telemetry]:
        page = self.page(pages, SHM_NAME)
        data = take(page, 0, self.pages[SHM_NAME])
        (active, paused, revision, game, gear, capacity, max_rpm, speed, rpm, fuel, parking_brake, oil,
         battery, left, right) = TRUCK.unpack_from(data)
        if not active or game not in GAMES:
            raise NotLive
        if revision < FIRST_REVISION:
            raise NotLive(f"scs-sdk-plugin revision {revision}: torqdash reads revision {FIRST_REVISION} "
                          "and later")
        if take(page, TIME_AT, 8) != data[TIME_AT:TIME_AT + 8]:
            raise Torn
        stamp = data[TIME_AT:TIME_AT + 8] + data[4:5]  # the frame, and a pause that began in it
        if stamp == self._stamp:
            return None
        finite(capacity, max_rpm, speed, rpm, fuel)
        self._stamp = stamp
        car = " ".join(filter(None, (text(data[at:at + 64]) for at in (BRAND_AT, NAME_AT))))
        return Telemetry(
            rpm=rpm, max_rpm=max_rpm or None, gear=max(gear, -1), speed_kph=abs(speed) * 3.6,
            fuel=fuel / capacity if capacity > 0 else None, in_race=not paused, handbrake=parking_brake,
            oil_warning=oil, battery_warning=battery, signal_left=left, signal_right=right, car=car or None)

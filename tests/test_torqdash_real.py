"""torqdash's UDP decoders against packets recorded from the real games: the shared test data's
real-telemetry folder, whose PROVENANCE.md says where each packet comes from and whose
expected*.json hold the values that the sources (stated) or independent decoders (oracle)
read from them. Forza has no real capture there."""
import hashlib
import json
from pathlib import Path

import pytest

from torqdash import SOURCES, Dash
from torqdash.games import F1, GT7

REAL = next((folder / "shared" / "testdata" / "real-telemetry" for folder in Path(__file__).resolve().parents
             if (folder / "shared" / "testdata" / "real-telemetry").is_dir()), None)
if REAL is None:
    pytest.skip("no shared/testdata/real-telemetry beside the project", allow_module_level=True)
EXPECTED = json.loads((REAL / "expected.json").read_text())
GT7_EXPECTED = json.loads((REAL / "expected-gt7.json").read_text())
PACKETS = {entry["id"]: entry for entry in EXPECTED["packets"]}
PLAYER_AT = 27  # the F1 header's playerCarIndex


def recorded(entry):
    data = (REAL / entry["file"]).read_bytes()
    if "sha256" in entry:  # the very bytes the values were read from
        assert hashlib.sha256(data).hexdigest() == entry["sha256"]
    return data


def f1_expected(kind, car):
    """What the decoder's Telemetry says of one car entry as the sources decode it."""
    if kind == "car_telemetry":
        return dict(speed_kph=car["speed"], gear=car["gear"], rpm=car["engineRPM"],
                    shift_light=car["revLightsPercent"] >= 100)
    return dict(tc_active=car["tractionControl"] != 0, abs_active=car["antiLockBrakes"] != 0,
                pit_limiter=car["pitLimiterStatus"] != 0, max_rpm=car["maxRPM"],
                fuel=car["fuelInTank"] / car["fuelCapacity"] if car["fuelCapacity"] > 0 else None)


# OutGauge's DL_x lights as InSim.txt numbers them -> the Telemetry field each fills.
OUTGAUGE_LIGHTS = {"DL_SHIFT": "shift_light", "DL_HANDBRAKE": "handbrake", "DL_PITSPEED": "pit_limiter",
                   "DL_TC": "tc_active", "DL_SIGNAL_L": "signal_left", "DL_SIGNAL_R": "signal_right",
                   "DL_OILWARN": "oil_warning", "DL_BATTERY": "battery_warning", "DL_ABS": "abs_active"}


def outgauge_expected(stated):
    lit = stated["ShowLights"]  # 0 in both recordings: every light the car has is off
    assert lit == 0
    return dict(car=stated["Car"], gear=stated["Gear"] - 1, speed_kph=pytest.approx(stated["Speed"] * 3.6),
                rpm=stated["RPM"], fuel=stated["Fuel"],
                **{field: (False if name in stated["DashLights"] else None)
                   for name, field in OUTGAUGE_LIGHTS.items()})


def shown(telemetry, expected):
    return {name: getattr(telemetry, name) for name in expected}


@pytest.mark.parametrize("packet_id", PACKETS)
def test_recorded_packets_read_as_the_sources_read_them(packet_id):
    entry = PACKETS[packet_id]
    decoder = SOURCES[entry["decoder"].lower()]()
    telemetry = decoder.feed(recorded(entry))
    if entry["decoder"] == "OutGauge":
        expected = outgauge_expected(entry["stated"])
    elif entry["player"] >= len(entry["cars"]):  # spectating: nobody's car to show
        assert telemetry is None and (decoder.rejected, decoder.ignored) == (0, 1)
        return
    else:
        expected = f1_expected(entry["kind"], entry["cars"][entry["player"]])
    assert shown(telemetry, expected) == expected
    assert decoder.rejected == decoder.ignored == 0


@pytest.mark.parametrize("packet_id", [key for key, entry in PACKETS.items() if entry["decoder"] == "F1"])
def test_f1_every_car_entry(packet_id):
    """Derived from the real packet: its player index set to each car in turn, so that every
    car entry is read and compared with the source's (or oracle's) value for that car."""
    entry = PACKETS[packet_id]
    data = recorded(entry)
    got, want = [], []
    for index, car in enumerate(entry["cars"]):
        expected = f1_expected(entry["kind"], car)
        want.append(expected)
        got.append(shown(F1().feed(data[:PLAYER_AT] + bytes([index]) + data[PLAYER_AT + 1:]), expected))
    assert got == want


@pytest.mark.parametrize("session", EXPECTED["sessions"], ids=lambda session: session["id"])
def test_f1_sessions_merge_both_packets(session):
    decoder, expected = F1(), {}
    for packet_id in session["files"]:
        entry = PACKETS[packet_id]
        expected.update(f1_expected(entry["kind"], entry["cars"][entry["player"]]))
        telemetry = decoder.feed(recorded(entry))
    assert shown(telemetry, expected) == expected


@pytest.mark.parametrize("entry", EXPECTED["foreign"], ids=lambda entry: entry["id"])
def test_packets_of_other_kinds_and_formats(entry):
    decoder = F1()
    assert decoder.feed(recorded(entry)) is None
    assert (decoder.ignored, decoder.rejected) == ((1, 0) if entry["expect"] == "ignored" else (0, 1))


def test_forza_real_capture():
    pytest.skip("no real Forza Data Out capture exists in the shared test data (PROVENANCE.md: the "
                "only recordings found are Git LFS objects that are not stored)")


# Gran Turismo 7's flag bits (expected-gt7.json's names) -> the Telemetry field each shows.
GT7_FLAGS = {"rev_limiter": "shift_light", "hand_brake": "handbrake", "asm_active": "stability_active",
             "tcs_active": "tc_active"}
GT7_FLAG_BITS = {"cars_on_track": 0, "paused": 1, "loading": 2, "rev_limiter": 5, "hand_brake": 6,
                 "asm_active": 10, "tcs_active": 11}


def gt7_flags(flags):
    on = {name for name, bit in GT7_FLAG_BITS.items() if flags >> bit & 1}
    return dict(in_race="cars_on_track" in on and not on & {"paused", "loading"},
                **{field: name in on for name, field in GT7_FLAGS.items()})


def gt7_expected(sample):
    ms = {key: None if sample[key] < 0 else sample[key] / 1000
          for key in ("best_lap_time_ms", "last_lap_time_ms")}
    return dict(rpm=sample["engine_rpm"], speed_kph=pytest.approx(sample["speed_mps"] * 3.6),
                gear=sample["current_gear"] or -1,
                suggested_gear=None if sample["suggested_gear"] == 15 else sample["suggested_gear"],
                shift_rpm=sample["min_alert_rpm"], max_rpm=sample["max_alert_rpm"], fuel=sample["fuel_level"] / sample["fuel_capacity"],
                lap=sample["current_lap"], laps=sample["total_laps"] or None, car=str(sample["car_code"]),
                best_lap_s=ms["best_lap_time_ms"], last_lap_s=ms["last_lap_time_ms"],
                **gt7_flags(sample["flags"]))


@pytest.mark.parametrize("name", GT7_EXPECTED["files"])
def test_gt7_recordings_every_packet(name):
    entry = GT7_EXPECTED["files"][name]
    data, size = recorded({**entry, "file": name}), entry["packet_len"]
    decoder = GT7()
    decoded = [decoder.feed(data[at:at + size]) for at in range(0, len(data), size)]
    assert (len(decoded), decoder.rejected, decoder.ignored) == (entry["packets"], 0, 0)
    for number, sample in entry["samples"].items():
        expected = gt7_expected(sample)
        assert shown(decoded[int(number)], expected) == expected, sample["why"]
    summary = entry["summary"]
    assert sorted({t.gear for t in decoded}) == summary["gears"]
    speeds, rpms = [t.speed_kph for t in decoded], [t.rpm for t in decoded]
    assert (min(speeds), max(speeds)) == pytest.approx((summary["speed_kmh_min"], summary["speed_kmh_max"]))
    assert (min(rpms), max(rpms)) == (summary["rpm_min"], summary["rpm_max"])
    assert {t.car for t in decoded} == set(map(str, summary["car_codes"]))
    assert {(t.shift_rpm, t.max_rpm) for t in decoded} == set(map(tuple, summary["alert_rpm"]))
    # The bar follows the game's rev alert: it fills below the alert, blinks all nine from it.
    dash, bars = Dash(None), []
    for number, t in enumerate(decoded):
        dash.show(t, now=number / 60)
        bars.append((t.rpm >= t.shift_rpm, sum(dash.frame(number / 60).rpm)))
    assert all(lit in (0, 9) for alert, lit in bars if alert)
    assert any(0 < lit < 9 for alert, lit in bars if not alert)
    assert {(t.lap, t.laps or 0) for t in decoded} == set(map(tuple, summary["laps"]))
    assert {round(t.last_lap_s * 1000) for t in decoded} == set(summary["last_lap_time_ms"])
    assert {t.best_lap_s for t in decoded} == {None} and summary["best_lap_time_ms"] == [-1]
    flags = [tuple(shown(t, gt7_flags(0)).values()) for t in decoded]
    assert set(flags) == {tuple(gt7_flags(value).values()) for value in summary["flags"]}

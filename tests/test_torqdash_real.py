"""UDP decoders against real recordings and their stated or oracle values. No Forza capture exists."""
import hashlib
import json

import pytest

from test_iracing import REAL
from torqdash import Dash
from torqdash.games import F1, GT7, OutGauge

if not REAL.is_dir():
    pytest.skip("no shared/testdata/real-telemetry beside the project", allow_module_level=True)
EXPECTED = json.loads((REAL / "expected.json").read_text())
GT7_EXPECTED = json.loads((REAL / "expected-gt7.json").read_text())
PACKETS = {entry["id"]: entry for entry in EXPECTED["packets"]}


def recorded(entry):
    data = (REAL / entry["file"]).read_bytes()
    if "sha256" in entry:  # the very bytes the values were read from
        assert hashlib.sha256(data).hexdigest() == entry["sha256"]
    return data


def f1_expected(kind, car):
    if kind == "car_telemetry":
        return dict(speed_kph=car["speed"], gear=car["gear"], rpm=car["engineRPM"],
                    shift_light=car["revLightsPercent"] >= 100)
    return dict(tc_active=car["tractionControl"] != 0, abs_active=car["antiLockBrakes"] != 0,
                pit_limiter=car["pitLimiterStatus"] != 0, max_rpm=car["maxRPM"],
                fuel=car["fuelInTank"] / car["fuelCapacity"] if car["fuelCapacity"] > 0 else None)


# OutGauge's DL_x lights as InSim.txt numbers them -> the Telemetry field each fills.
LIGHTS = {"DL_SHIFT": "shift_light", "DL_HANDBRAKE": "handbrake", "DL_PITSPEED": "pit_limiter",
          "DL_TC": "tc_active", "DL_SIGNAL_L": "signal_left", "DL_SIGNAL_R": "signal_right",
          "DL_OILWARN": "oil_warning", "DL_BATTERY": "battery_warning", "DL_ABS": "abs_active"}


def shown(telemetry, expected):
    return {name: getattr(telemetry, name) for name in expected}


@pytest.mark.parametrize("key", [key for key, entry in PACKETS.items() if entry["decoder"] == "OutGauge"])
def test_outgauge_recordings(key):
    s = PACKETS[key]["stated"]
    assert s["ShowLights"] == 0  # in both recordings: every light the car has is off
    expected = dict(car=s["Car"], gear=s["Gear"] - 1, speed_kph=pytest.approx(s["Speed"] * 3.6), rpm=s["RPM"],
                    fuel=s["Fuel"], **{field: False if name in s["DashLights"] else None
                                       for name, field in LIGHTS.items()})
    assert shown(OutGauge().feed(recorded(PACKETS[key])), expected) == expected


SESSIONS = [session["files"] for session in EXPECTED["sessions"]]  # and the packets of no session, as one
SESSIONS.append([key for key, e in PACKETS.items() if e["decoder"] == "F1" and key not in sum(SESSIONS, [])])


@pytest.mark.parametrize("files", SESSIONS, ids=lambda files: files[0])
def test_f1_every_car_entry_of_both_packets(files):
    """The packets of a session with their player index (27) set to each car in turn, merged."""
    decoder, packets = F1(), [(PACKETS[packet_id], recorded(PACKETS[packet_id])) for packet_id in files]
    for index in range(len(packets[0][0]["cars"])):
        expected = {}
        for entry, data in packets:  # (the first alone, as a fresh decoder has it)
            expected.update(f1_expected(entry["kind"], entry["cars"][index]))
            assert shown(decoder.feed(data[:27] + bytes([index]) + data[28:]), expected) == expected, index
    spectating = [entry["player"] >= len(entry["cars"]) for entry, _ in packets]  # nobody's car to show
    assert [decoder.feed(data) is None for _, data in packets] == spectating
    assert (decoder.rejected, decoder.ignored) == (0, sum(spectating))


@pytest.mark.parametrize("entry", EXPECTED["foreign"], ids=lambda entry: entry["id"])
def test_packets_of_other_kinds_and_formats(entry):
    decoder = F1()
    assert decoder.feed(recorded(entry)) is None
    assert (decoder.ignored, decoder.rejected) == ((1, 0) if entry["expect"] == "ignored" else (0, 1))


def gt7_flags(flags):  # bits 0 on track, 1 paused, 2 loading; rev limiter, hand brake, ASM, TCS
    on = [bool(flags >> bit & 1) for bit in range(12)]
    return dict(in_race=on[0] and not (on[1] or on[2]), shift_light=on[5], handbrake=on[6],
                stability_active=on[10], tc_active=on[11])


def gt7_expected(s):
    best, last = (s[key] / 1000 if s[key] >= 0 else None for key in ("best_lap_time_ms", "last_lap_time_ms"))
    return dict(rpm=s["engine_rpm"], speed_kph=pytest.approx(s["speed_mps"] * 3.6), lap=s["current_lap"],
                gear=s["current_gear"] or -1, shift_rpm=s["min_alert_rpm"], max_rpm=s["max_alert_rpm"],
                suggested_gear=None if s["suggested_gear"] == 15 else s["suggested_gear"],
                fuel=s["fuel_level"] / s["fuel_capacity"], laps=s["total_laps"] or None, best_lap_s=best,
                last_lap_s=last, car=str(s["car_code"]), **gt7_flags(s["flags"]))


@pytest.mark.parametrize("name", GT7_EXPECTED["files"])
def test_gt7_recordings_every_packet(name):
    entry, decoder = GT7_EXPECTED["files"][name], GT7()
    data, size, summary = recorded({**entry, "file": name}), entry["packet_len"], entry["summary"]
    decoded = [decoder.feed(data[at:at + size]) for at in range(0, len(data), size)]
    assert (len(decoded), decoder.rejected, decoder.ignored) == (entry["packets"], 0, 0)
    for number, sample in entry["samples"].items():
        expected = gt7_expected(sample)
        assert shown(decoded[int(number)], expected) == expected, sample["why"]
    assert sorted({t.gear for t in decoded}) == summary["gears"]
    speeds, rpms = [t.speed_kph for t in decoded], [t.rpm for t in decoded]
    assert (min(speeds), max(speeds)) == pytest.approx((summary["speed_kmh_min"], summary["speed_kmh_max"]))
    assert (min(rpms), max(rpms)) == (summary["rpm_min"], summary["rpm_max"])
    assert {t.car for t in decoded} == set(map(str, summary["car_codes"]))
    assert {(t.shift_rpm, t.max_rpm) for t in decoded} == set(map(tuple, summary["alert_rpm"]))
    dash, bars = Dash(None), set()  # the bar fills below the game's rev alert, blinks all nine from it
    for n, t in enumerate(decoded):
        dash.show(t, now=n / 60)
        bars.add((t.rpm >= t.shift_rpm, sum(dash.frame(n / 60).rpm)))
    assert {lit for a, lit in bars if a} <= {0, 9} and {lit for a, lit in bars if not a} - {0, 9}
    assert {(t.lap, t.laps or 0) for t in decoded} == set(map(tuple, summary["laps"]))
    assert {round(t.last_lap_s * 1000) for t in decoded} == set(summary["last_lap_time_ms"])
    assert {t.best_lap_s for t in decoded} == {None} and summary["best_lap_time_ms"] == [-1]
    flags = [tuple(shown(t, gt7_flags(0)).values()) for t in decoded]
    assert set(flags) == {tuple(gt7_flags(value).values()) for value in summary["flags"]}

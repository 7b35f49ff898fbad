"""torqdash on the whole board (shift points, flags, rumble, pages, its controls) through its reports."""
import time
import pytest

from conftest import wait_until
from test_iracing import IBTS
from test_torqdash import shown
from test_torqdash_replay import real
from torqdash import F1, Dash, Telemetry, parse_layout
from torqdash.controls import Controls
from torqdash.dash import FRESH_S
from torqdash.games.iracing import IbtFile
from torqsim.board import BoardState, InputPanel


def test_f1_rev_lights_of_a_real_packet(dev, board):
    """F1 25's own rev lights (48 %) light the bar, not the layout's 50 % of 13099 rpm (7 LEDs)."""
    decoder = F1()
    telemetry = [decoder.feed(real(f"f1/gamesdat/2025_packet-{n}.bin").read_bytes()) for n in (7, 6)][-1]
    Dash(dev, parse_layout("rpm.start = 0.5")).show(telemetry, now=0.0)
    assert (telemetry.rpm, telemetry.rev_lights, shown(board)["rpm"]) == (10926, 0.48, "#####....")


def test_iracing_shift_lights_of_a_real_recording(dev, board):
    """iRacing's own lights (5750 to 6850 rpm here), not the layout's fractions of 7200 (from 5040)."""
    dash, seen, state = Dash(dev), {}, BoardState()
    with IbtFile(real(IBTS[1])) as ibt:
        for number, (_, telemetry) in enumerate(ibt):
            dash.show(telemetry, now=float(number))  # (whole seconds: the bar's blink is on)
            for report in board.take_frames():
                state.apply(report)
            seen[telemetry.rpm] = sum(state.rpm)
    rpms = sorted(seen)
    assert all((seen[rpm] > 0) == (rpm >= 5750) and (seen[rpm] == 9) >= (rpm >= 6850) for rpm in rpms)
    assert [seen[rpm] for rpm in rpms] == sorted(seen.values())
    assert sum(5040 <= rpm < 5750 for rpm in rpms) > 100 and max(rpms) > 6850


RUMBLE = ("[rumble]\non = true\nabs = {motor = 1, strength = 120}\nrev_limiter = {motor = 2, strength = 90}\n"
          "gear_change = {motor = 1, strength = 200}\npit_limiter = {motor = 2, strength = 40}\n"
          "flag_yellow = {motor = 2, strength = 60}")
CRUISE = Telemetry(gear=3, rpm=3000, max_rpm=8000)


@pytest.mark.parametrize("layout, sequence, expected", [
    (RUMBLE, [(0, CRUISE), (1.0, Telemetry(gear=4, rpm=3000)), (1.2, None)], (0, 0)),  # a gear's kick: short
    (RUMBLE, [(0, Telemetry(gear=3, rpm=7700, max_rpm=8000))], (0, 90)),  # at the shift point
    (RUMBLE, [(0, Telemetry(abs_active=True, pit_limiter=True))], (120, 40)),
    (RUMBLE, [(0, CRUISE), (1.0, Telemetry(gear=4, abs_active=True))], (200, 0)),  # the kick, the strongest
    (RUMBLE, [(0, Telemetry(flag="yellow"))], (0, 60)),  # blinking with the flag's LED:
    (RUMBLE, [(0, Telemetry(flag="yellow")), (0.3, None)], (0, 0)),
    (RUMBLE, [(0, Telemetry(abs_active=True)), (5.0, None)], (0, 0)),  # the game went silent
    (RUMBLE.replace("on = true", "on = false"), [(0, Telemetry(abs_active=True))], (0, 0)),
])
def test_rumble_effects(dev, board, layout, sequence, expected):
    dash = Dash(dev, parse_layout(layout))
    for at, telemetry in sequence:
        dash.show(telemetry, now=at) if telemetry else dash.refresh(now=at)
    assert BoardState.from_reports(board.frames).motors == expected


BINDINGS = ("[controls]\nprevious_page = 2\nbrightness = 3\nrumble = 4\n"
            "page_switch = {switch = 2, positions = [3, 5]}\n"
            "brightness_switch = {switch = 9, positions = [-240, 0, 1, 2]}\n"
            "rumble_switch = {switch = 7, positions = [0, -100]}\n"
            "[rumble]\non = true\nabs = {motor = 2, strength = 99}")


@pytest.mark.parametrize("inputs, expected", [
    ([("button", 1), ("button", 1)], {"page": "SPd", "central": "SPd", "right": "SPd"}),  # its name ...
    ([("button", 1), ("wait", 1.1)], {"page": "LAP", "left": "P 4", "central": " 3 ", "right": "1.02"}),
    ([("switch", 2, 5), ("switch", 2, 4)], {"page": "LAP"}), ([("switch", 9, 2)], {"brightness": 30}),
    ([("button", 3)], {"brightness": 160}), ([("button", 3)] * 4, {"brightness": 254}),
    ([("button", 4)], {"motors": (0, 0)}), ([("switch", 7, -100), ("switch", 7, 0)], {"motors": (0, 0)}),
    ([("button", 4), ("switch", 7, -100)], {"motors": (0, 99)}),
    ([("tap", 1)], {"page": "LAP"}), ([("button", 5)], {"page": "SPd", "central": "108"}),  # 5: not bound
])
@pytest.mark.threaded
def test_the_boards_controls(board, listening, inputs, expected):
    clock = [0.0]
    dash = Dash(listening, parse_layout(BINDINGS), clock=lambda: clock[0])
    controls, panel = Controls(dash), InputPanel()
    dash.show(Telemetry(gear=3, speed_kph=108, position=4, lap_time_s=62.5, abs_active=True))
    for kind, number, *position in inputs:
        if kind == "wait":
            clock[0] += number
        elif kind == "switch":
            panel.switches[number - 1] = position[0]
            board.send_input(panel.report())
        else:
            for down in (True, False):
                panel.press(number, down)
                board.send_input(panel.report())
                assert kind == "tap" or wait_until(controls.poll)  # a tap: pressed and let go, then read once
            time.sleep(0.1 if kind == "tap" else 0)
        assert kind in ("wait", "button") or wait_until(controls.poll)
    dash.refresh(now=clock[0] + FRESH_S)  # (no packet comes to carry the change)
    state = BoardState.from_reports(board.frames)
    seen = {**shown(board), "page": dash.page, "brightness": state.brightness, "motors": state.motors}
    assert {key: seen[key] for key in expected} == expected

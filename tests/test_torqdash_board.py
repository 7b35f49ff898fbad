"""torqdash on the whole board: shift points per car and game, flags, rumble, pages and the
board's own buttons and switches, on a virtual board through its real reports."""
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import wait_until
from test_torqdash import f1_packets, shown
from torqdash import F1, Dash, LayoutError, Telemetry, parse_layout
from torqdash.app import BoardLink
from torqdash.controls import Controls
from torqdash.dash import FRESH_S
from torqdash.games.iracing import IbtFile
from torqsim.board import BoardState, InputPanel

TESTDATA = next((folder / "shared" / "testdata" for folder in Path(__file__).parents
                 if (folder / "shared" / "testdata").is_dir()), None)
CARS = '[cars.XRT]\nstart = 0.5\nshift = 0.9\n[cars.GT]\nshift_rpm = [6000, 7000]\n[cars.UF]\nmax = 10000\n'


@pytest.mark.parametrize("telemetry, expected", [
    # the game's own points: where its lights begin and its shift point
    (Telemetry(rpm=6500, max_rpm=9000, first_light_rpm=5000, shift_rpm=7000), "#######.."),
    (Telemetry(rpm=7000, max_rpm=9000, shift_rpm=7000), "#########"),
    (Telemetry(rpm=5000, max_rpm=8000, first_light_rpm=4000), "###......"),  # shift: 95 % of max
    (Telemetry(rpm=1000, rev_lights=0.5), "#####...."),  # the game's bar as it is
    # per car: its window overrides the game's points, its gear's shift point the window
    (Telemetry(car="XRT", rpm=4000, max_rpm=8000, shift_rpm=5000), "#........"),
    (Telemetry(car="GT", gear=1, rpm=6000, max_rpm=9000), "#########"),
    (Telemetry(car="GT", gear=2, rpm=6000, max_rpm=9000), "#####...."),
    (Telemetry(car="GT", gear=5, rpm=6500, max_rpm=9000), "#######.."),  # the last gear's on
    (Telemetry(car="GT", gear=0, rpm=6990, max_rpm=9000), "###......"),  # neutral: the window
    (Telemetry(car="UF", rpm=8000, max_rpm=None), "####....."),
    (Telemetry(car="other", rpm=6700, max_rpm=8000), "#####...."),
])
def test_shift_lights(dev, board, telemetry, expected):
    Dash(dev, parse_layout(CARS)).show(telemetry, now=0.0)
    assert shown(board)["rpm"] == expected


@pytest.mark.skipif(TESTDATA is None, reason="the shared test data is not beside this tree")
def test_f1_rev_lights_of_a_real_packet(dev, board):
    """F1 25's own rev lights (48 % in a 2025-format packet) light the bar, whatever the
    layout's fractions would make of its RPM (10926 of 13099: 7 LEDs from 50 %)."""
    decoder = F1()
    for packet_id in (7, 6):
        telemetry = decoder.feed((TESTDATA / f"real-telemetry/f1/gamesdat/2025_packet-{packet_id}.bin")
                                 .read_bytes())
    Dash(dev, parse_layout("rpm.start = 0.5")).show(telemetry, now=0.0)
    assert (telemetry.rpm, telemetry.rev_lights, shown(board)["rpm"]) == (10926, 0.48, "#####....")


@pytest.mark.skipif(TESTDATA is None, reason="the shared test data is not beside this tree")
def test_iracing_shift_lights_of_a_real_recording(dev, board):
    """A Mercedes AMG GT4 driven at the Red Bull Ring: iRacing's own lights begin at
    5750 rpm and call the shift at 6850 (its session info), where the layout's fractions
    of the 7200 rpm red line would begin at 5040."""
    dash, seen, state = Dash(dev), {}, BoardState()
    with IbtFile(TESTDATA / "real-telemetry/iracing/itelem/"
                 "ibt_spielberg-gp_mercedesamggt4_2023-04-10_3371rows.ibt") as recording:
        for number, (_, telemetry) in enumerate(recording):
            dash.show(telemetry, now=float(number))  # (whole seconds: the bar's blink is on)
            for report in board.take_frames():
                state.apply(report)
            seen[telemetry.rpm] = sum(state.rpm)
    rpms = sorted(seen)
    assert all((seen[rpm] > 0) == (rpm >= 5750) and (seen[rpm] == 9) >= (rpm >= 6850) for rpm in rpms)
    assert [seen[rpm] for rpm in rpms] == sorted(seen.values())
    assert sum(5040 <= rpm < 5750 for rpm in rpms) > 100 and max(rpms) > 6850


FLAGS = """warning.leds = ["flag_yellow", "flag_blue", "flag_chequered",
                "delta_faster", "delta_slower", "none"]"""


@pytest.mark.parametrize("telemetry, later, expected", [
    (Telemetry(flag="yellow", delta_s=-0.3), 0.0, "#..#.."),
    (Telemetry(flag="yellow", delta_s=-0.3), 0.3, "...#.."),  # the flag's LED blinks
    (Telemetry(flag="yellow", delta_s=-0.3), 0.55, "#..#.."),
    (Telemetry(flag="chequered", delta_s=0.5), 0.1, "..#.#."),
    (Telemetry(flag="green", delta_s=0.0), 0.0, "......"),
])
def test_flag_and_delta_leds(dev, board, telemetry, later, expected):
    dash = Dash(dev, parse_layout(FLAGS))
    dash.show(telemetry, now=0.0)
    if later:
        assert dash.wake_in(0.01) == pytest.approx(0.24)  # woken for the blink
        dash.refresh(now=later)
    assert shown(board)["warning"] == expected


RUMBLE = """[rumble]
on = true
gear_change = {motor = 1, strength = 200}
rev_limiter = {motor = 2, strength = 90}
abs = {motor = 1, strength = 120}
pit_limiter = {motor = 2, strength = 40}
flag_yellow = {motor = 2, strength = 60}
"""
CRUISE = Telemetry(gear=3, rpm=3000, max_rpm=8000)


@pytest.mark.parametrize("layout, sequence, expected", [
    (RUMBLE, [(0, CRUISE)], (0, 0)),  # still when nothing asks
    (RUMBLE, [(0, CRUISE), (1.0, Telemetry(gear=4, rpm=3000))], (200, 0)),  # the kick ...
    (RUMBLE, [(0, CRUISE), (1.0, Telemetry(gear=4, rpm=3000)), (1.2, None)], (0, 0)),  # ... is short
    (RUMBLE, [(0, Telemetry(gear=3, rpm=7700, max_rpm=8000))], (0, 90)),  # at the shift point
    (RUMBLE, [(0, Telemetry(abs_active=True, pit_limiter=True))], (120, 40)),
    (RUMBLE, [(0, CRUISE), (1.0, Telemetry(gear=4, abs_active=True))], (200, 0)),  # the strongest
    (RUMBLE, [(0, Telemetry(flag="yellow"))], (0, 60)),
    (RUMBLE, [(0, Telemetry(flag="yellow")), (0.3, None)], (0, 0)),  # with the flag's LED
    (RUMBLE, [(0, Telemetry(abs_active=True)), (5.0, None)], (0, 0)),  # the game went silent
    (RUMBLE, [(0, Telemetry(abs_active=True, in_race=False))], (0, 0)),  # in a menu
    (RUMBLE.replace("on = true", "on = false"), [(0, Telemetry(abs_active=True))], (0, 0)),
])
def test_rumble_effects(dev, board, layout, sequence, expected):
    dash = Dash(dev, parse_layout(layout))
    for at, telemetry in sequence:
        dash.show(telemetry, now=at) if telemetry else dash.refresh(now=at)
    assert BoardState.from_reports(board.frames).motors == expected


BINDINGS = """[controls]
previous_page = 2
brightness = 3
rumble = 4
page_switch = {switch = 2, positions = [3, 5]}
brightness_switch = {switch = 9, positions = [-240, 0, 1, 2]}
rumble_switch = {switch = 7, positions = [0, -100]}
[rumble]
on = true
abs = {motor = 2, strength = 99}
"""


@pytest.mark.parametrize("inputs, expected", [
    ([("button", 1)], {"page": "LAP", "central": "LAP", "right": "LAP"}),  # the page's name ...
    ([("button", 1), ("wait", 1.1)], {"page": "LAP", "left": "P 4", "central": " 3 ", "right": "1.02"}),
    ([("button", 1), ("button", 1)], {"page": "SPd", "central": "SPd"}),
    ([("button", 2)], {"page": "LAP"}),
    ([("tap", 1)], {"page": "LAP"}),  # pressed and let go between two reads: once
    ([("switch", 2, 5)], {"page": "LAP"}), ([("switch", 2, 5), ("switch", 2, 4)], {"page": "LAP"}),
    ([("button", 3)], {"brightness": 160}), ([("button", 3)] * 4, {"brightness": 254}),
    ([("switch", 9, 2)], {"brightness": 30}),
    ([], {"motors": (0, 99)}), ([("button", 4)], {"motors": (0, 0)}),
    ([("switch", 7, -100), ("switch", 7, 0)], {"motors": (0, 0)}),
    ([("button", 4), ("switch", 7, -100)], {"motors": (0, 99)}),
    ([("button", 5)], {"page": "SPd", "central": "108"}),  # not bound
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
                if kind == "button":  # read after each report, else after both
                    assert wait_until(controls.poll)
            time.sleep(0.1 if kind == "tap" else 0)  # the listener has read both by then
        assert kind in ("wait", "button") or wait_until(controls.poll)
    dash.refresh(now=clock[0] + FRESH_S)  # (no packet comes to carry the change)
    state = BoardState.from_reports(board.frames)
    assert {key: {**shown(board), "page": dash.page, "brightness": state.brightness,
                  "motors": state.motors}[key] for key in expected} == expected


@pytest.mark.threaded
def test_a_board_back_gets_the_brightness_chosen(bus, board):
    dash = Dash(None)
    link = BoardLink(dash, retry=0, say=lambda text: None)
    link.poll()
    dash.step_brightness()
    board.unplug()
    assert wait_until(lambda: link.poll() or link.line is None)
    again = bus.add_board(serial="A1B2", path=board.path)
    assert wait_until(lambda: link.poll() or link.line is not None)
    assert BoardState.from_reports(again.frames).brightness == 160


@pytest.mark.parametrize("text, error", [
    ("[rumble]\nabs = {motor = 3, strength = 10}", "rumble.abs.motor must be a whole number from 1 to 2"),
    ("[rumble]\nabs = {motor = 1}", "rumble.abs needs strength"),
    ("rumble.on = 1", "rumble.on must be true or false"),
    ("[rumble.buzz]\nmotor = 1", "unknown key 'rumble.buzz.motor'"),
    ("[rumble]\nabs = {motor = 1, strength = 9, for = 1}", "unknown key rumble.abs.for"),
    ("controls.brightness = 1", "button 1 is bound twice: controls.next_page and controls.brightness"),
    ("controls.next_page = 33", "controls.next_page must be a whole number from 0 to 32"),
    ("controls.page_switch = {switch = 9, positions = [0, 16]}", "switch 9 reports positions from -240 to"),
    ("controls.page_switch = {switch = 2, positions = [0, 1, 2]}", "must give 2 positions, one for each of"),
    ("controls.rumble_switch = {switch = 1, positions = [4, 4]}", "positions must differ"),
    ("controls.rumble_switch = {switch = 6, positions = [0, 255]}", "nothing more once at 255"),
    ("[controls]\npage_switch = {switch = 2, positions = [0, 1]}\n"
     "rumble_switch = {switch = 2, positions = [0, 1]}", "switch 2 is bound twice"),
    ("[[pages]]\nname = \"MAX\"", "pages\\[1\\].name must be 1 to 3 characters"),
    ("[[pages]]\nname = \"A\"\n[[pages]]\ncentral = \"fuel\"", "pages\\[2\\] needs name"),
    ("[[pages]]\nname = \"A\"\ncentral = \"fuel\"\nleft = \"speed\"", "pages\\[1\\].left must equal"),
    ("panels.central = \"fuel\"\n[[pages]]\nname = \"A\"", "not both"),
    ("[cars.XRT]\nstart = 0.96", "cars.\"XRT\".start must be below"),
    ("[cars.XRT]\nshift_rpm = []", "a list of 1 to 10 RPMs"),
    ("cars.XRT.gears = 1", "unknown key cars.\"XRT\".gears"),
    ("warning.leds = [\"flag_purple\", \"none\", \"none\", \"none\", \"none\", \"none\"]", "must be one of"),
    ("brightness.levels = [300]", "brightness.levels\\[1\\] must be a whole number from 0 to 254"),
])
def test_bad_layout_keys(text, error):
    with pytest.raises(LayoutError, match=error):
        parse_layout(text)


def test_virtual_keys_turn_the_page():
    """`torqdash --virtual` with its keys on a terminal and the example layout: key 2
    presses button 2, the previous page, which is the last one."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]  # a free port, for the program
    master, slave = os.openpty()
    example = Path(__file__).parents[1] / "examples" / "whole_board.toml"
    program = subprocess.Popen([sys.executable, "-m", "torqdash", "f1", "--virtual", "--port", str(port),
                                "--layout", str(example)], stdin=slave, stdout=subprocess.PIPE, text=True)
    guard = threading.Timer(30, program.kill)
    guard.start()
    try:
        assert "telemetry on UDP" in program.stdout.readline()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for data in f1_packets(2025):
                sender.sendto(data, ("127.0.0.1", port))
        assert any('central "287"' in line for line in program.stdout)  # its keys read by now
        os.write(master, b"2")
        assert any('central "FUL" right "FUL"' in line for line in program.stdout)
    finally:
        guard.cancel()
        program.send_signal(signal.SIGINT)
        program.communicate(timeout=30)
        os.close(master)
        os.close(slave)

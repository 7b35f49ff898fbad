"""torqdash: decoders against the games' published offsets, the dash, layouts, the program."""
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import threading
from dataclasses import replace
from pathlib import Path

import pytest

from conftest import wait_until
from torqdash import F1, Dash, Forza, LayoutError, OutGauge, Telemetry, parse_layout
from torqdash.sources import UdpSource
from torqdash.app import App, BoardLink
from torqdash.dash import lap_text
from torqdash.status import StatusLines
from torqsim.board import BoardState, panel_text

TORQDASH = [sys.executable, "-m", "torqdash"]


def packet(size, fields):
    """`size` bytes of distinct values, (offset, format, value) fields written over."""
    data = bytearray((i * 37 + 11) % 251 + 1 for i in range(size))
    for offset, fmt, value in fields:
        struct.pack_into("<" + fmt, data, offset, value)
    return bytes(data)


# InSim.txt: Car 4, Gear 10, Speed 12, RPM 16, Fuel 28, DashLights 40, ShowLights 44.
LIGHTS = 0b111_0111_1101  # shift, handbrake, pit, TC, signals, oil, battery, ABS
OUTGAUGE = [(4, "4s", b"XRT"), (10, "B", 5), (12, "f", 30.5), (16, "f", 6543.0), (28, "f", 0.25),
            (40, "I", LIGHTS), (44, "I", 0b100_0100_1001)]  # lit: shift, pit, signal R, ABS
OUTGAUGE_T = Telemetry(rpm=6543.0, gear=4, car="XRT", speed_kph=30.5 * 3.6, fuel=0.25, shift_light=True,
                       handbrake=False, pit_limiter=True, tc_active=False, abs_active=True, oil_warning=False,
                       battery_warning=False, signal_left=False, signal_right=True)
# Forza Data Out: IsRaceOn 0, EngineMaxRpm 8, CurrentEngineRpm 16, Velocity 32-40,
# CarOrdinal 212; the Dash fields from 232 (from 244 on Forza Horizon): Speed +12,
# Fuel +44, BestLap +52, LastLap +56, CurrentLap +60, RacePosition +70, HandBrake +74, Gear +75.
SLED = [(0, "i", 1), (8, "f", 8250.0), (16, "f", 6100.0), (32, "f", 3.0), (36, "f", 4.0),
        (40, "f", 12.0), (212, "i", 2411)]
SLED_T = dict(in_race=True, max_rpm=8250.0, rpm=6100.0, car="2411")


def forza_dash(at, gear=4, speed=41.5):
    return SLED + [(at + 12, "f", speed), (at + 44, "f", 0.375), (at + 52, "f", 81.5), (at + 56, "f", 83.25),
                   (at + 60, "f", 12.5), (at + 70, "B", 7), (at + 74, "B", 255), (at + 75, "B", gear)]


DASH_T = Telemetry(speed_kph=41.5 * 3.6, fuel=0.375, gear=4, last_lap_s=83.25, lap_time_s=12.5,
                   best_lap_s=81.5, position=7, handbrake=True, **SLED_T)
# EA's F1 23/24/25: header packetFormat 0, packetId 6, playerCarIndex 27 (29 bytes); car
# telemetry entries of 60 bytes (speed 0, gear 15, engineRPM 16, revLightsPercent 19),
# car status entries of 55 (TC 0, ABS 1, pit limiter 4, fuelInTank 5, capacity 9, maxRPM 17,
# vehicleFiaFlags 28).
PLAYER = 5


def f1_packets(year):
    header, status, telemetry = [(0, "H", year), (27, "B", PLAYER)], 29 + PLAYER * 55, 29 + PLAYER * 60
    return [packet(1239, header + [(6, "B", 7), (status, "B", 2), (status + 1, "B", 0), (status + 4, "B", 1),
                                   (status + 5, "f", 27.5), (status + 9, "f", 110.0),
                                   (status + 17, "H", 12500), (status + 28, "b", 3)]),
            packet(1352, header + [(6, "B", 6), (telemetry, "H", 287), (telemetry + 15, "b", -1),
                                   (telemetry + 16, "H", 11800), (telemetry + 19, "B", 100)])]


F1_T = Telemetry(speed_kph=287, gear=-1, rpm=11800, shift_light=True, rev_lights=1.0, max_rpm=12500,
                 fuel=0.25, pit_limiter=True, tc_active=True, abs_active=False, flag="yellow")
CASES = {
    **{f"outgauge-{size}": (OutGauge, [packet(size, OUTGAUGE)], OUTGAUGE_T) for size in (92, 96)},
    "forza-sled-232": (Forza, [packet(232, SLED)], Telemetry(speed_kph=13.0 * 3.6, **SLED_T)),
    **{f"forza-{size}": (Forza, [packet(size, forza_dash(at))], DASH_T)  # FM7, Horizon, FM (2023)
       for size, at in ((311, 232), (324, 244), (331, 232))},
    **{f"f1-{year}": (F1, f1_packets(year), F1_T) for year in (2023, 2024, 2025)},
    **{f"forza-gear-{raw}": (Forza, [packet(311, forza_dash(232, raw))], replace(DASH_T, gear=gear))
       for raw, gear in ((0, -1), (11, 0), (10, 10))},  # Forza's gear byte: 0 reverse, 11 neutral
}


@pytest.mark.parametrize("case", CASES)
def test_decoders_read_the_published_offsets_and_reject_the_rest(case):
    decoder_type, packets, expected = CASES[case]
    decoder, good = decoder_type(), packets[-1]
    assert [decoder.feed(p) for p in packets][-1] == expected and decoder.rejected == decoder.ignored == 0
    # F1's player car 22 (of 22), the others' NaN RPM; the recordings hold F1's other formats and kinds
    bad = [good[:-1], good + b"\0", b"", good[:27] + b"\x16" + good[28:] if decoder_type is F1
           else good[:16] + struct.pack("<f", float("nan")) + good[20:]]
    assert [decoder.feed(p) for p in bad] == [None] * 4 and (decoder.rejected, decoder.ignored) == (4, 0)


def shown(board):
    state, lit = BoardState.from_reports(board.frames), lambda leds: "".join(".#"[on] for on in leds)
    return {"gear": state.gear.text, "left": panel_text(state.left), "central": panel_text(state.central),
            "right": panel_text(state.right), "rpm": lit(state.rpm), "warning": lit(state.warning)}


CARS = '[cars.XRT]\nstart = 0.5\nshift = 0.9\n[cars.GT]\nshift_rpm = [6000, 7000]\n[cars.UF]\nmax = 10000\n'
FLAGS = ('warning.leds = ["flag_yellow", "flag_blue", "flag_chequered", "delta_faster", "delta_slower", '
         '"none"]')
CHOICES = ('units = "mph"\nrpm = {start = 0.5, shift = 0.9}\n'
           'panels = {left = "position", central = "gear", right = "fuel"}\n'
           'warning.leds = ["shift", "none", "none", "none", "none", "signal_left"]')


def bar(telemetry, lit, layout=""):
    return layout, telemetry, 0, {"rpm": lit}


@pytest.mark.parametrize("layout, telemetry, later, expected", [
    bar(Telemetry(rpm=6700, max_rpm=8000), "#####...."),  # the bar: 70 % to 95 % of max
    bar(Telemetry(rpm=7700, max_rpm=8000), "#########"),  # blinking: on ...
    ("", Telemetry(rpm=7700, max_rpm=8000), 0.15, {"rpm": "........."}),  # ... and off
    ("", Telemetry(rpm=1000, shift_light=True), 0.15, {"rpm": "........."}),
    bar(Telemetry(rpm=7000), "#######.."),  # no max RPM sent: the layout's 8000
    # the game's own points: its shift point alone, where its lights begin alone (shift: 95 % of max)
    bar(Telemetry(rpm=7000, max_rpm=9000, shift_rpm=7000), "#########"),
    bar(Telemetry(rpm=5000, max_rpm=8000, first_light_rpm=4000), "###......"),
    # per car: its window overrides the game's points, its gear's shift point the window
    bar(Telemetry(car="XRT", rpm=4000, max_rpm=8000, shift_rpm=5000), "#........", CARS),
    *(bar(Telemetry(car="GT", gear=gear, rpm=rpm, max_rpm=9000), lit, CARS) for gear, rpm, lit in [
        (1, 6000, "#########"), (2, 6000, "#####...."), (5, 6500, "#######.."),  # the last gear's on
        (0, 6990, "###......")]),  # neutral: the window
    bar(Telemetry(car="UF", rpm=8000, max_rpm=None), "####.....", CARS),
    ("", Telemetry(gear=-1, speed_kph=287.4), 0, {"gear": "R", "central": "287", "left": "287"}),
    ("", Telemetry(gear=0, last_lap_s=83.456, fuel=0.05), 0,
     {"gear": "N", "right": "1.23", "warning": "....#."}),
    ("", Telemetry(gear=3, last_lap_s=45.67, pit_limiter=True, abs_active=True), 0,
     {"gear": "3", "right": "45.6", "warning": "#..#.."}),
    ("", Telemetry(gear=3, speed_kph=100, rpm=8000, in_race=False), 0, {"gear": " ", "rpm": "........."}),
    (FLAGS, Telemetry(flag="yellow", delta_s=-0.3), 0, {"warning": "#..#.."}),
    (FLAGS, Telemetry(flag="yellow", delta_s=-0.3), 0.3, {"warning": "...#.."}),  # the flag's LED blinks
    (FLAGS, Telemetry(flag="chequered", delta_s=0.5), 0.1, {"warning": "..#.#."}),
    (FLAGS, Telemetry(flag="green", delta_s=0.0), 0, {"warning": "......"}),
    (CHOICES, Telemetry(gear=5, position=3, fuel=0.5, speed_kph=160.9, rpm=5600, max_rpm=8000,
                        signal_left=True), 0, {"gear": "5", "left": "P 3", "central": " 5 ", "right": " 50",
                                               "rpm": "#####....", "warning": ".....#"}),
])
def test_dash_on_a_layout(dev, board, layout, telemetry, later, expected):
    dash = Dash(dev, parse_layout(layout))
    dash.show(telemetry, now=0.0)
    if later:
        assert dash.wake_in(0.01) is not None  # woken for the blink
        dash.refresh(now=later)
    assert {key: value for key, value in shown(board).items() if key in expected} == expected


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


# A stopwatch's cut, the float's error rounded off: 45.6 sent as float32 is 45.6, 45.59 is 45.5.
@pytest.mark.parametrize("seconds, text", [
    (f32(45.6), "45.6"), (45.59, "45.5"), (4.35, "4.35"), (f32(9.999), "9.99"), (9.9996, "10.0"),
    (59.99, "59.9"), (f32(83.456), "1.23"), (119.9999, "2.00"), (f32(754.1), " 12"),
    (0.0, "   "), (6000.0, "   "), (float("nan"), "   "), (None, "   "),
])
def test_lap_text(seconds, text):
    assert lap_text(seconds) == text


def test_dash_sends_changes_only_and_at_most_60_a_second(dev, board):
    dash, gap = Dash(dev), 1 / 60.6
    assert dash.show(Telemetry(gear=2), now=1.0) and not dash.show(Telemetry(gear=3), now=1.003)
    assert dash.wake_in(1.003) == pytest.approx(gap / 2 - 0.003)
    assert dash.refresh(now=1.0 + gap / 2 + 1e-9) and shown(board)["gear"] == "3"
    # A game's 60 a second on its own (a little fast) clock, each up to 3 ms off, is shown at
    # once; the bar's blink takes no frame of its own, which would take the next packet's turn.
    rng, blinking = random.Random(1), dict(rpm=7900.0, max_rpm=8000.0)
    times = [2 + i / 60.01 + rng.uniform(-0.003, 0.003) for i in range(1200)]
    assert all(dash.show(Telemetry(gear=i % 9 + 1, **blinking), now=at) and not dash.refresh(now=at + 0.01)
               for i, at in enumerate(times))
    before = shown(board)["rpm"]
    assert dash.refresh(now=times[-1] + 0.1) and shown(board)["rpm"] != before  # silent: it blinks alone
    # A flood of 1000 packets a second: about 60 frames.
    assert 60 <= sum(dash.show(Telemetry(gear=i % 9 + 1), now=30 + i / 1000) for i in range(1000)) <= 62


@pytest.mark.parametrize("text, error", [
    ("rpm.start = 2", "rpm.start must be a number from 0 to 1"), ("colour = 1", "unknown key 'colour'"),
    ("units = 3", "units must be one of kph, mph"), ("[warning]\nleds = [\"abs\"]", "a list of 6 names"),
    ("[rpm]\nstart = 0.9\nshift = 0.8", "rpm.start must be below rpm.shift"), ("rpm = [", "not TOML"),
    ("[panels]\nleft = \"fuel\"", "left must equal panels.central"), ("rumble.on = 1", "true or false"),
    ("[rumble]\nabs = {motor = 3, strength = 10}", "rumble.abs.motor must be a whole number from 1 to 2"),
    ("controls.brightness = 1", "button 1 is bound twice: controls.next_page and controls.brightness"),
    ("controls.page_switch = {switch = 9, positions = [0, 16]}", "switch 9 reports positions from -240 to"),
    ("controls.page_switch = {switch = 2, positions = [0, 1, 2]}", "must give 2 positions, one for each of"),
    ("controls.rumble_switch = {switch = 1, positions = [4, 4]}", "positions must differ"),
    ("controls.rumble_switch = {switch = 6, positions = [0, 255]}", "nothing more once at 255"),
    ("[controls]\npage_switch = {switch = 2, positions = [0, 1]}\n"
     "rumble_switch = {switch = 2, positions = [0, 1]}", "switch 2 is bound twice"),
    ("[[pages]]\nname = \"MAX\"", "pages\\[1\\].name must be 1 to 3 characters"),
    ("[[pages]]\nname = \"A\"\n[[pages]]\ncentral = \"fuel\"", "pages\\[2\\] needs name"),
    ("panels.central = \"fuel\"\n[[pages]]\nname = \"A\"", "not both"),
    ("[cars.XRT]\nstart = 0.96", "cars.\"XRT\".start must be below"),
    ("[cars.XRT]\nshift_rpm = []", "a list of 1 to 10 RPMs"), ("cars.XRT.gears = 1", "unknown key cars"),
    ("brightness.levels = [300]", "brightness.levels\\[1\\] must be a whole number from 0 to 254"),
])
def test_bad_layouts(text, error):
    with pytest.raises(LayoutError, match=error):
        parse_layout(text)


@pytest.fixture
def udp():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as receiver, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        receiver.bind(("127.0.0.1", 0))
        sender.connect(receiver.getsockname())
        yield receiver, sender


@pytest.mark.threaded
def test_a_board_that_comes_and_goes_gets_its_picture_back_and_is_one_line_a_period(bus, board, udp):
    (receiver, sender), dash, now, lines = udp, Dash(None), [0.0], []
    status = StatusLines(lines.append, 5.0, lambda: now[0])
    app = App(UdpSource(receiver, Forza()), dash, BoardLink(dash, retry=0, say=status), say=status)
    app.step(0)
    dash.step_brightness()
    for _ in range(3):
        board.unplug()
        sender.send(packet(324, forza_dash(244, 4, 30.0)))
        # A failed read (the listener's) or write clears "connected", and the link lets go.
        assert wait_until(lambda: app.step(0) or app.link.line is None)
        board = bus.add_board(serial="A1B2", path=board.path)
        assert wait_until(lambda: app.step(0) or app.link.line is not None)
    state = BoardState.from_reports(board.frames)  # the picture now, and the brightness chosen
    assert (state.gear.text, panel_text(state.central), state.brightness) == ("4", "108", 160)
    assert lines == ["torqdash: board A1B2 found"]  # then "waiting", "receiving", 3 times "lost" and "back"
    now[0] = 5.0
    app.step(0)
    assert lines[1:] == ["torqdash: board A1B2 back (after 7 more since the last line)"]


@pytest.mark.parametrize("args, error", [
    (["pong"], "unknown source 'pong'"), (["f1", "--port", "70000"], "not a port"),
    (["f1", "--layout", "/nonexistent.toml"], "bad layout file /nonexistent.toml: cannot read"),
    (["f1", "--bind", "256.1.1.1"], "cannot listen on 256.1.1.1"),
    (["f1", "--port", "{port}"], "cannot listen on 127.0.0.1 port {port}"),
    (["replay", "/nonexistent.tqr"], "cannot read /nonexistent.tqr: No such file"),
    (["replay", __file__], "neither a torqdash recording nor an iRacing .ibt file"),
    (["replay", __file__, "--speed", "-1"], "--speed: not a number of times the recorded pace from 0 up"),
    (["record", "acc", "/nonexistent/s.tqr"], "cannot write /nonexistent/s.tqr: No such file"),
    (["record", "forza", "s.tqr", "--seconds", "0"], "--seconds: not a number of seconds above 0"),
    (["forza", "--forward", "localhost"], "not HOST:PORT"), (["acc", "--port", "5000"], "from shared memory"),
    (["forza", "--port", "45999", "--forward", "127.0.0.1:45999"], "where torqdash listens"),
    (["acc", "--forward", "127.0.0.1:5000"], "--forward sends a UDP game's datagrams on: acc is read"),
    (["forza", "--console", "::1"], "(gt7), not forza"),
])
def test_bad_command_lines(udp, args, error):
    port = str(udp[0].getsockname()[1])  # a port in use
    args, error = [a.replace("{port}", port) for a in args], error.replace("{port}", port)
    result = subprocess.run([*TORQDASH, *args], capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and result.stderr.count("\n") == 1 and error in result.stderr, result.stderr


def test_the_program_draws_the_virtual_board_and_its_keys_turn_the_page(udp):
    """On a terminal with the example layout, key 2 presses button 2: the previous page, the last one."""
    port = udp[0].getsockname()[1]
    udp[0].close()  # free the port for the program
    master, slave = os.openpty()
    program = subprocess.Popen([*TORQDASH, "f1", "--virtual", "--port", str(port), "--layout",
                                str(Path(__file__).parents[1] / "examples/whole_board.toml")],
                               stdin=slave, stdout=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # Ctrl-C
    guard = threading.Timer(30, program.kill)
    guard.start()
    try:
        # (after the module's "Kavro Engine already running!", as this process has it too)
        assert program.stdout.readline().endswith(f"torqdash: f1 telemetry on UDP 127.0.0.1 port {port}\n")
        for data in f1_packets(2025):
            udp[1].send(data)  # aimed at the port the program took over
        line = next(line for line in program.stdout if "gear R" in line)  # its keys read by then
        assert 'central "287"' in line and "warn #.#" in line  # pit limiter, no ABS, TC
        os.write(master, b"2")
        assert any('central "FUL" right "FUL"' in line for line in program.stdout)
    finally:
        guard.cancel()
        program.send_signal(signal.SIGINT)
        program.communicate(timeout=30)  # read on: its last picture must not block it on a full pipe
        os.close(master)
        os.close(slave)
    assert program.returncode == 0

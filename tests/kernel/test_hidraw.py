# The hidraw backend against a real kernel: the board is a USB gadget on dummy_hcd that
# usbhid binds as it would a board on a real port, its firmware side a process of its own
# (gadget.py).
import contextlib
import ctypes
import itertools
import pathlib
import re
import subprocess
import sys
import threading
import time

import pytest

import torqpanel
import torqsim
from torqsim._caps import HidButtonCaps, HidCaps

from gadget import BOOT_KEYBOARD, wait_for

pytestmark = pytest.mark.threaded
_native = ctypes.CDLL(torqpanel.__file__)
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype, _get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
KEYBOARD = dict(descriptor=BOOT_KEYBOARD, vid=0x046D, pid=0xC31C, serial=None, firmware=False)
# The board's descriptor with report ID 1 on every report: the device then sends the ID
# byte itself, and nothing may be put in front of it.
NUMBERED = torqsim.BOARD_DESCRIPTOR[:6] + bytes([0x85, 0x01]) + torqsim.BOARD_DESCRIPTOR[6:]


def counts(obj):  # (enumeration calls, opened) of the last discovery pass
    block = ctypes.string_at(_get_pointer(obj.get_module(), b"module.key"), 20)
    return int.from_bytes(block[12:16], "little"), int.from_bytes(block[16:20], "little")


def data(buttons=0, switch1=0, s9=0):  # an input report as the board sends it: no report-ID byte
    return buttons.to_bytes(4, "little") + bytes([switch1]) + bytes(15) + bytes([s9])


# Input reports and the events (button or switch, number, value) they mean, in that order.
EVENTS = [(data(switch1=5), (0, 1, 5)), (data(switch1=5, buttons=1 << 10), (1, 11, 3)),
          (data(switch1=5, buttons=1 << 10, s9=0xF3), (0, 9, 3)), (data(switch1=5, s9=0xF3), (1, 11, 0))]
# The calls of test_display...: the display state shown, a brightness, the display again.
SHOW = [("set_gear", 52), ("set_central_panel", "-:--.8"), ("set_rpm_led", 9, 1), ("set_warning_led", 6, 1),
        ("load_rumble_motor", 2, 7), ("show_me",), ("set_brightness", 50), ("show_me",)]


def listening(obj):
    assert obj.start_input_listener() is True
    wait_for(lambda: obj.get_input_data() is not None or None, "the listener")


def show_gear(obj, board, gear):  # what the board has read once it shows that gear digit
    obj.set_gear(gear)
    obj.show_me()
    return wait_for(lambda: f if (f := board.firmware.frames())[-1][38] == ord(gear) else None, f"the gear {gear}")


def threads_in(syscall):  # the threads of this process in the system call of that number
    found = []
    for task in pathlib.Path("/proc/self/task").iterdir():
        with contextlib.suppress(OSError):  # the thread may just have ended
            found += [int(task.name)] if (task / "syscall").read_text().split()[0] == str(syscall) else []
    return found


@pytest.mark.parametrize("layout, serial, chosen, summary", [
    # Another HID device first: examined, passed over, never written to.
    ([KEYBOARD, {}], None, 1, (2, 1)),
    ([dict(serial="S1"), dict(serial="S2")], None, 0, (1, 1)),
    # The serial number picks the second board; the first is opened and refused.
    ([dict(serial="S1"), dict(serial="S2")], "S2", 1, (2, 1)),
    ([dict(serial="S1"), dict(serial="S2")], "S3", None, (3, 0)),
])
def test_discovery(plug, layout, serial, chosen, summary):
    gadgets = [plug(port=port, **details) for port, details in enumerate(layout)]
    obj = torqpanel.torqline(*([serial] if serial else []))
    assert obj.init() is (chosen is not None)
    assert counts(obj) == summary
    if chosen is not None:
        assert obj.get_device_info("device path") == gadgets[chosen].hidraw
        assert len(gadgets[chosen].firmware.frames(1)) == 1
    time.sleep(0.2)  # a stray blank display would have arrived by now
    assert [len(g.firmware.frames()) for g in gadgets if g.firmware] == [
        int(i == chosen) for i, g in enumerate(gadgets) if g.firmware]


@pytest.mark.parametrize("version, serial, firmware", [
    (0x0105, "A1B2", "1.05"), (0x1299, "Ünï-7", "12.99"), (0x0000, None, "0.00")])
def test_identity_and_caps_from_sysfs(plug, version, serial, firmware):
    board = plug(version=version, serial=serial, firmware=False)
    obj = torqpanel.torqline()
    assert obj.init() is True
    assert [obj.get_device_info(k) for k in ("device path", "serial number", "firmware", "digital", "analog")] \
        == [board.hidraw, serial or "", firmware, 32, 9]
    # The capabilities computed from the descriptor that sysfs hands over.
    caps, buttons, count = HidCaps(), (HidButtonCaps * 8)(), ctypes.c_uint16(8)
    assert _native.torqpanel_hid_interface_caps(board.hidraw.encode(), ctypes.byref(caps), buttons,
                                                ctypes.byref(count))
    assert (caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength,
            caps.NumberInputButtonCaps, caps.NumberInputValueCaps,
            [(b.ReportID, b.UsagePage, *b.usage_range, b.IsRange) for b in buttons[:count.value]]) == (
        22, 54, 0, 1, 9, [(0, 9, 1, 32, 1)])


def test_display_reports_arrive_byte_for_byte(board, dash):
    # usbhid takes report ID 0 off: the board reads the other 53 bytes of each report.
    with torqsim.VirtualBus() as bus:
        virtual, other = bus.add_board(), torqpanel.torqline()
        assert other.init() is True
        for obj, (call, *args) in itertools.product([dash, other], SHOW):  # dash: on hidraw
            getattr(obj, call)(*args)
        expected = [frame[1:] for frame in virtual.frames]
        del other
    assert len(expected) == 4 and all(len(f) == 53 for f in expected)
    assert board.firmware.frames(4) == expected


@pytest.mark.parametrize("descriptor, prefix", [(torqsim.BOARD_DESCRIPTOR, b""), (NUMBERED, b"\x01")],
                         ids=["no-ids", "numbered"])
def test_buttons_and_switches_as_input_events(plug, descriptor, prefix):
    board = plug(descriptor=descriptor)
    dash = torqpanel.torqline()
    assert dash.init() is True
    listening(dash)
    for report, event in EVENTS:
        board.firmware.send(prefix + report)
        wait_for(lambda: dash.get_input_data()[:4] == (15, *event) or None, f"the event {event}")
    assert dash.stop_input_listener() is True


def test_a_burst_is_skipped_to_its_newest_report(board, dash):
    # Like the Windows driver with two input buffers, the listener catches up with a
    # backlog instead of replaying it (hidraw itself queues up to 64 reports). The
    # board's last write waits until the one before it has been taken.
    board.firmware.send(*[data(switch1=value) for value in range(1, 41)], data(switch1=40))
    listening(dash)
    seen, deadline = [0], time.monotonic() + 30
    while seen[-1] != 40 and time.monotonic() < deadline:
        event = dash.get_input_data()
        if event[:3] == (15, 0, 1) and seen[-1] != event[3]:
            seen.append(event[3])
        time.sleep(0.001)
    assert seen[-1] == 40 and min(seen[1:]) >= 39, seen


def test_a_board_that_stops_reading(board, dash):
    # Past the four reports its endpoint queues, a board that takes nothing makes a write
    # wait until usbhid gives up (5 s, ETIMEDOUT), while the program's other threads go on:
    # this one counts how often it ran while the writer sat in write(2). The time-out is
    # not a loss of the board. What the board reads stays whole and in order, and once it
    # reads again it gets what the program shows next.
    board.firmware.command("stall")
    ticks = 0
    for led in range(1, 6):
        dash.set_rpm_led(led, 1)
        (writer := threading.Thread(target=dash.show_me)).start()
        while writer.is_alive():
            ticks += writer.native_id in threads_in(1)
            time.sleep(0.001)
    assert ticks > 0 and dash.get_device_info("connected") == 1
    board.firmware.command("resume")
    frames = show_gear(dash, board, "7")[1:]
    lit = [sum(frame[4:13]) for frame in frames]  # shift lights on in each report
    assert all(len(frame) == 53 for frame in frames)
    assert lit[:-1] == sorted(set(lit[:-1])) and set(lit) <= {1, 2, 3, 4, 5} and lit[-1] == 5, lit


@pytest.mark.parametrize("listener", [True, False], ids=["while-listening", "while-writing"])
def test_unplug_then_replug_and_a_new_init(board, dash, listener):
    if listener:
        listening(dash)
        board.firmware.send(data(buttons=8))
        wait_for(lambda: dash.get_input_data()[:4] == (15, 1, 4, 4) or None, "the button event")
    else:  # a write waiting for a board that does not read ends when the board goes
        board.firmware.command("stall")
        for _ in range(4):  # what the board's endpoint queues
            dash.show_me()
        (writer := threading.Thread(target=dash.show_me)).start()
        time.sleep(0.5)  # into its wait
    board.unplug()
    if listener:
        time.sleep(0.2)  # the hang-up wakes the waiting read at once: time to go wrong
        assert dash.get_input_data()[:4] == (15, 1, 4, 4)
    else:
        writer.join(60)  # far beyond usbhid's 5 s: only a write that never ends fails here
        assert not writer.is_alive(), "a write did not return"
    assert dash.get_device_info("connected") == 0  # what torqdash watches
    dash.show_me()
    assert not listener or dash.stop_input_listener() is True
    board.plug()
    dash.show_me()  # its handles are the old device's
    again = torqpanel.torqline()
    assert again.init() is True
    assert (again.get_device_info("device path"), again.get_device_info("connected")) == (board.hidraw, 1)
    # init's blank display before and after, then the gear: none from the old handles
    assert [frame[38] for frame in show_gear(again, board, "2")] == [0x20, 0x20, 0x32]
CHILD = "import torqpanel; d = torqpanel.torqline(); print(d.init(), d.get_device_info('device path'))"


@pytest.mark.parametrize("boards", [1, 2])
def test_a_node_the_user_may_not_open_is_passed_over(plug, boards):
    gadgets = [plug(serial=f"S{port}", port=port, firmware=False) for port in range(boards)]
    pathlib.Path(gadgets[0].hidraw).chmod(0)
    # Root without capabilities is bound by the permission bits like any user.
    result = subprocess.run(["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--", sys.executable,
                             "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # The path of a refused board stays, as that of the last device found.
    expected = f"False {gadgets[0].hidraw}" if boards == 1 else f"True {gadgets[1].hidraw}"
    assert result.stdout.endswith(expected + "\n"), result.stdout
    assert ("no supported device found" in result.stdout) is (boards == 1)


@pytest.mark.parametrize("how", ["d.stop_input_listener()", "d.terminate()", "del d"])
def test_stopping_a_silent_board_wakes_the_waiting_read(board, tmp_path, how):
    # The listener's read waits up to 2 s for a report; a stop ends the wait at once
    # through the wake descriptor instead of sitting out the time-out: strace shows the
    # wait ending with one descriptor ready, not with 0 for the time-out.
    namespace = {"d": torqpanel.torqline()}
    assert namespace["d"].init() is True
    listening(namespace["d"])
    trace = tmp_path / "trace"
    tracer = subprocess.Popen(["strace", "-e", "trace=poll,restart_syscall", "-o", str(trace), "-p",
                               str(wait_for(lambda: next(iter(threads_in(7)), None), "the listener's wait"))],
                              stderr=subprocess.PIPE, text=True)
    assert "attached" in tracer.stderr.readline()
    exec(how, namespace)
    tracer.wait(30)
    assert re.findall(r"\) += (\d+)", trace.read_text())[-1:] == ["1"], trace.read_text()

"""The win32 backend's device code against Wine's HID stack (winebus on hidraw, hidclass,
hid.dll) in the kernel guest, the boards USB gadgets as for test_hidraw.py: one Wine
process (wine.py) for every case."""
import glob
import os
import time

import pytest

from gadget import BOOT_KEYBOARD, wait_for
from test_hidraw import KEYBOARD, data

import wine

BOARD = (0x1DD2, 0x2011)
WINE_DEVICES = 0x845E  # Wine's own virtual mouse and keyboard, always listed


@pytest.fixture(scope="module")
def session():
    build = os.environ.get("TORQ_WIN64_BUILD")
    if not build:
        pytest.fail("TORQ_WIN64_BUILD: the mingw build (.ci/kernel makes it)")
    started = time.monotonic()
    running = wine.Session(build)
    print(f"\nWine up in {time.monotonic() - started:.0f} s")
    yield running
    running.close()


@pytest.fixture
def win(session):
    """The session, its boards gone from Wine's list between cases, its engine closed."""
    yield session
    if session.command("info").get("engine"):
        assert session.command("close")["leaked"] == 0
    listed(session, [])


def held(node):
    """Whether a process (winebus, for a device it keeps) has `node` open."""
    for fd in glob.glob("/proc/[0-9]*/fd/*"):
        try:
            if os.readlink(fd) == node:
                return True
        except OSError:
            pass
    return False


def listed(win, boards):
    """Wine's list once it shows exactly `boards`. winebus takes the IN_ATTRIB that follows
    devtmpfs's IN_CREATE for a removal plus a new device that it drops as a duplicate, so
    a board plugged while Wine runs goes again. Once winebus has let go of the node, a
    chmod (as udev would make) adds it for good."""
    def current():
        devices = win.command("list")["devices"]
        found = {d["serial"] for d in devices if (d["vid"], d["pid"]) == BOARD}
        if found == {b.serial for b in boards}:
            return devices
        for board in boards:
            if board.serial not in found and not held(board.hidraw):
                os.chmod(board.hidraw, 0o600)
        time.sleep(1)
        return None
    return wait_for(current, f"Wine's list with the boards {[b.serial for b in boards]}", timeout=90)


def init(win, serial=""):
    answer = win.command(f"init {serial}".strip())
    assert answer["result"] in (0, 3), answer
    return answer


def event(win):
    """(is button, number, value) of the latest input event, as the Python surface has it."""
    _, button, value, number = win.command("event")["event"]
    return button, number, value


@pytest.mark.parametrize("layout, serial, chosen, summary", [
    # Wine's own devices and a keyboard besides the board: examined, passed over.
    ([KEYBOARD, {}], "", 1, "past-others"),
    ([dict(serial="S1"), dict(serial="S2")], "S2", 1, "second"),
    ([dict(serial="S1"), dict(serial="S2")], "S3", None, "none"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_discovery(win, plug, layout, serial, chosen, summary):
    gadgets = [plug(port=port, **details) for port, details in enumerate(layout)]
    devices = listed(win, [g for g in gadgets if g.firmware])
    assert any(d["vid"] == WINE_DEVICES for d in devices)
    boards = [d for d in devices if (d["vid"], d["pid"]) == BOARD]
    assert all("&mi_00" in d["path"] for d in boards)
    answer = init(win, serial)
    # One enumeration call per interface up to the one chosen (all of them, plus the
    # one that ends the pass, when none is); a board of another serial is opened, refused.
    if chosen is None:
        assert (answer["result"], answer["calls"], answer["opened"], answer["held"]) == (0, len(devices) + 1, 0, 0)
    else:
        path = next(d["path"] for d in boards if d["serial"] == gadgets[chosen].serial)
        assert (answer["result"], answer["path"], answer["serial"], answer["block_serial"]) == (
            3, path, gadgets[chosen].serial, gadgets[chosen].serial)
        assert answer["calls"] == [d["path"] for d in devices].index(path) + 1
        assert answer["opened"] == 1 and len(gadgets[chosen].firmware.frames(1)) == 1
    time.sleep(0.2)  # a stray blank display would have arrived by now
    assert [len(g.firmware.frames()) for g in gadgets if g.firmware] == [
        int(i == chosen) for i, g in enumerate(gadgets) if g.firmware]


def test_identity_handles_and_capabilities(win, board):
    device = next(d for d in listed(win, [board]) if (d["vid"], d["pid"]) == BOARD)
    assert device["version"] == 0x0105
    answer = init(win)
    assert {k: answer[k] for k in ("result", "serial", "firmware", "digital", "analog", "input", "output",
                                   "button_caps", "connected", "held", "buffers", "read_overlapped")} == dict(
        result=3, serial="A1B2", firmware="1.05", digital=32, analog=9, input=22, output=54,
        button_caps=[[9, 1, 32]], connected=1, held=3, buffers=2, read_overlapped=1)
    # No data access for the query handle, write only, read only.
    assert answer["access"] == [0, 2, 1]
    # The module's own export, on its own copy of the backend, from the same descriptor.
    assert win.command(f"pyd-caps {device['path']}") == dict(
        ok=1, input=22, output=54, values=9, button_caps=[[9, 1, 32]])


def test_display_and_brightness_reports_arrive_without_the_id(win, board):
    listed(win, [board])
    init(win)
    shown = bytes([0x00, 0x06]) + bytes(range(1, 53))
    win.command("show " + shown.hex())
    win.command("bright 40")
    win.command("bright 999")  # the brightest
    frames = board.firmware.frames(4)
    assert frames[1:] == [shown[1:], bytes([2, 40]) + bytes(51), bytes([2, 254]) + bytes(51)]
    assert all(len(f) == 53 for f in frames)


def test_input_events_through_overlapped_reads(win, board):
    listed(win, [board])
    init(win)
    # A single read first: the report comes back with the report-ID byte in front.
    board.firmware.send(data(buttons=0x12345678))
    answer = win.command("read")
    assert (answer["result"], answer["report"]) == (1, "00" + data(buttons=0x12345678).hex())
    assert win.command("listen")["result"] == 0
    for report, expected in [(data(switch1=5), (0, 1, 5)), (data(switch1=5, buttons=1 << 10), (1, 11, 3)),
                             (data(switch1=5, buttons=1 << 10, s9=0xF3), (0, 9, 3)),
                             (data(switch1=5, s9=0xF3), (1, 11, 0))]:
        board.firmware.send(report)
        wait_for(lambda: True if event(win) == expected else None, f"the event {expected}")
    assert win.command("stop")["result"] == 0


def test_unplug_while_listening_then_replug_and_init(win, board):
    listed(win, [board])
    init(win)
    assert win.command("listen")["result"] == 0
    board.firmware.send(data(buttons=8))
    wait_for(lambda: True if event(win) == (1, 4, 4) else None, "the button event")
    board.unplug()
    wait_for(lambda: True if win.command("info")["connected"] == 0 else None, "the listener to see the unplug")
    assert event(win) == (1, 4, 4)
    win.command("show " + bytes(54).hex())  # on the old device's handles: nothing, no hang
    assert win.command("stop")["result"] == 0
    assert win.command("close")["leaked"] == 0
    board.plug()
    listed(win, [board])
    assert init(win)["connected"] == 1
    assert len(board.firmware.frames(2)) == 2  # init's blank display, before and after


def test_unplug_while_writing(win, board):
    listed(win, [board])
    init(win)
    board.firmware.stall()
    for _ in range(4):  # what the board's endpoint queues
        win.command("show " + bytes(54).hex())
    win.process.stdin.write("show " + bytes(54).hex() + "\n")  # its answer comes when the write ends
    win.process.stdin.flush()
    time.sleep(0.5)  # into its wait
    board.unplug()
    win._answer("show", timeout=60)
    win.command("show " + bytes(54).hex())
    assert win.command("info")["connected"] == 0
    assert win.command("close")["leaked"] == 0
    board.plug()
    listed(win, [board])
    init(win)
    shown = bytes([0, 6, 0x32]) + bytes(51)
    win.command("show " + shown.hex())
    wait_for(lambda: True if board.firmware.frames()[-1] == shown[1:] else None, "a report of the new init")

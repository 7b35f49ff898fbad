"""The win32 backend's device code in one Wine process (wine.py) against Wine's HID stack and
the gadget boards, plugged before Wine starts: winebus 8 drops a board plugged later (it takes
the new node's IN_ATTRIB for a removal), so the unplugs come last and test_hidraw shows replug."""
import os
import time

import pytest

from gadget import Gadget, wait_for
from test_hidraw import EVENTS, data
from torqsim import BOARD_DESCRIPTOR

import wine

BOARD = (0x1DD2, 0x2011)
WINE_DEVICES = 0x845E  # Wine's own virtual mouse and keyboard, always listed
SERIALS = ["A1B2", "C3D4"]  # on dummy_hcd's two ports
CAPS = dict(input=22, output=54, values=9, button_caps=[[9, 1, 32]])


@pytest.fixture(scope="module")
def boards(tmp_path_factory):
    served = tmp_path_factory.mktemp("frames")
    made = {serial: Gadget(f"wine{port}", BOARD_DESCRIPTOR, serial=serial, udc=f"dummy_udc.{port}",
                           serve=served) for port, serial in enumerate(SERIALS)}
    yield made
    for gadget in made.values():
        gadget.remove()


@pytest.fixture(scope="module")
def session(boards):
    running = wine.Session(os.environ.get("TORQ_WIN64_BUILD", "TORQ_WIN64_BUILD unset"))
    yield running
    running.close()


@pytest.fixture
def win(session):
    """The session, its engine closed after the case with no handle left behind."""
    yield session
    assert session.command("close")["leaked"] == 0


def listed(win, serials):
    """Wine's list once its boards are exactly `serials` (winebus adds and drops nodes late)."""
    def current():
        devices = win.command("list")["devices"]
        return devices if sorted(d["serial"] for d in devices if (d["vid"], d["pid"]) == BOARD) == serials else None
    return wait_for(current, f"Wine's list with the boards {serials}", timeout=60)


@pytest.mark.parametrize("wanted", ["any", "the later one", "unknown"])
def test_discovery_identity_and_capabilities(win, boards, wanted):
    devices = listed(win, SERIALS)
    assert any(d["vid"] == WINE_DEVICES for d in devices)
    order = [d for d in devices if (d["vid"], d["pid"]) == BOARD]
    assert all("&mi_00" in d["path"] for d in order)
    chosen = {"any": order[0], "the later one": order[1], "unknown": None}[wanted]
    before = {s: len(b.firmware.frames()) for s, b in boards.items()}
    answer = win.command("init " + {"any": "", "the later one": order[1]["serial"], "unknown": "S3"}[wanted])
    # One enumeration call per interface up to the one chosen (all of them, plus the one
    # that ends the pass, when none is); a board of another serial is opened, refused.
    if chosen is None:
        expected = dict(result=0, calls=len(devices) + 1, opened=0, handles=[None] * 3)
    else:
        # handles: (data access, overlapped) of the query handle (none), the write and the read handle
        expected = CAPS | dict(result=2, path=chosen["path"], serial=chosen["serial"], firmware="1.05",
                               block_serial=chosen["serial"], calls=devices.index(chosen) + 1, opened=1,
                               digital=32, buffers=2, handles=[[0, 0], [2, 1], [1, 1]])
        # The module's own export, on its own copy of the backend, from the same descriptor.
        assert win.command(f"pyd-caps {chosen['path']}") == CAPS | dict(ok=1)
        boards[chosen["serial"]].firmware.frames(before[chosen["serial"]] + 1)
    assert {k: answer[k] for k in expected} == expected
    time.sleep(0.2)  # a stray blank display would have arrived by now
    assert {s: len(b.firmware.frames()) - before[s] for s, b in boards.items()} == {
        s: int(chosen is not None and s == chosen["serial"]) for s in SERIALS}


def test_reports_arrive_without_the_id_and_teardown_blanks_the_board(win, boards):
    firmware = boards["A1B2"].firmware
    before = len(firmware.frames())
    win.command("init A1B2")
    shown = bytes([0x00, 0x06]) + bytes(range(1, 53))
    for line in ("show " + shown.hex(), "bright 40", "bright 999"):  # 999: the brightest
        win.command(line)
    assert win.command("listen")["done"] == 1  # closed while its read waits on a silent board
    assert win.command("close")["leaked"] == 0
    blank, *frames = firmware.frames(before + 5)[before:]
    assert frames == [shown[1:], bytes([2, 40]) + bytes(51), bytes([2, 254]) + bytes(51), blank]
    assert blank[0] == 0x06


def test_input_through_overlapped_reads_then_unplug_while_listening(win, boards):
    board = boards["C3D4"]
    win.command("init C3D4")
    # A silent board: the read times out with nothing, and stays outstanding; the
    # reports sent next come back in order, each once, the report-ID byte in front.
    assert win.command("read") == dict(changed=0, failed=0, report=[], connected=1)
    sent = [data(buttons=0x12345678), data(buttons=0x9ABC)]
    board.firmware.send(*sent)
    assert [win.command("read")["report"] for _ in sent] == [[0, *report] for report in sent]
    assert win.command("listen")["done"] == 1
    for report, (button, number, value) in EVENTS:
        board.firmware.send(report)
        wait_for(lambda: win.command("event")["event"] == [15000, button, value, number] or None,
                 f"the event {button, number, value}", timeout=15)
    board.unplug()
    wait_for(lambda: win.command("info")["connected"] == 0 or None, "the listener to see the unplug", timeout=15)
    assert win.command("show " + bytes(54).hex())["connected"] == 0  # on the gone device's handles: no hang
    assert win.command("stop")["done"] == 1
    listed(win, ["A1B2"])


def test_unplug_while_writing(win, boards):
    board = boards["A1B2"]
    win.command("init A1B2")
    board.firmware.command("stall")
    for _ in range(4):  # what the board's endpoint queues
        win.command("show " + bytes(54).hex())
    win.send("show " + bytes(54).hex())  # its answer comes when the write ends
    time.sleep(0.3)  # into its wait
    board.unplug()
    win.answer()
    assert win.command("show " + bytes(54).hex())["connected"] == 0
    listed(win, [])

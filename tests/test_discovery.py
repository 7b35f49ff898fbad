"""Discovery: which interface is opened, what is read from it, and the pass summary."""
import struct

import pytest

from torqpanel import torqline

from conftest import key_block


def summary(obj):
    block = key_block(obj)
    calls, opened = struct.unpack_from("<II", block, 12)
    return calls, opened, block[608:608 + 254].decode("utf-16-le").split("\0", 1)[0]


def test_empty_bus(bus):
    obj = torqline()
    assert obj.init() is False
    assert summary(obj) == (1, 0, "")


def test_board_third_in_enumeration(bus):
    others = [bus.add_device(vid=0x1234, pid=1), bus.add_device(vid=0x1DD2, pid=0x0103)]
    board = bus.add_board(serial="A1B2")
    obj = torqline()
    assert obj.init() is True
    assert summary(obj) == (3, 1, "A1B2")
    assert [d.open_handles for d in others] == [0, 0]
    assert board.open_handles == 3


@pytest.mark.parametrize("vid, pid", [(0x1DD2, 0x0103), (0x1DD2, 0x2012), (0x1DD3, 0x2011)])
def test_only_the_exact_ids_are_accepted(bus, vid, pid):
    device = bus.add_device(vid=vid, pid=pid)
    obj = torqline()
    assert obj.init() is False
    assert device.open_handles == 0
    assert device.frames == []


def test_first_of_two_boards_is_driven(bus):
    first, second = bus.add_board(serial="S1"), bus.add_board(serial="S2")
    obj = torqline()
    assert obj.init() is True
    assert summary(obj) == (1, 1, "S1")  # the second was never enumerated
    assert (first.open_handles, second.open_handles) == (3, 0)


def test_serial_filter_passes_over_other_boards(bus):
    first, second = bus.add_board(serial="S1"), bus.add_board(serial="S2")
    obj = torqline("S2")
    assert obj.init() is True
    assert summary(obj) == (2, 1, "S2")
    assert (first.open_handles, second.open_handles) == (0, 3)
    assert first.frames == []


def test_serial_filter_matching_nothing(bus):
    boards = [bus.add_board(serial="S1"), bus.add_board()]
    obj = torqline("NOPE")
    assert obj.init() is False
    assert summary(obj) == (3, 0, "")
    assert [b.open_handles for b in boards] == [0, 0]


def test_identity_of_the_opened_board(bus):
    path = "\\\\?\\hid#vid_1dd2&pid_2011#" + "x" * 300
    bus.add_board(serial="Ünï-7", version=0x0A0B, path=path)
    obj = torqline()
    obj.init()
    assert obj.get_device_info("device path") == path
    assert obj.get_device_info("serial number") == "Ünï-7"
    assert obj.get_device_info("firmware") == "a.0b"
    assert obj.get_device_info("digital") == 32
    assert obj.get_device_info("analog") == 9


@pytest.mark.parametrize("version, text", [
    (0x0102, "1.02"), (0x1234, "12.34"), (0x0000, "0.00"), (0x01FF, "1.ff"), (0x0180, "1.80"),
    (0xFFFF, "ff.ff"),
])
def test_firmware_text(bus, version, text):
    bus.add_board(version=version)
    obj = torqline()
    obj.init()
    assert obj.get_device_info("firmware") == text


@pytest.mark.parametrize("serial, expected", [
    ("", ""), ("S" * 126, "S" * 126), ("L" * 200, "L" * 126), (None, ""),
])
def test_serial_number_bounds(bus, serial, expected):
    bus.add_board(serial=serial)
    obj = torqline()
    assert obj.init() is True
    assert obj.get_device_info("serial number") == expected
    assert summary(obj)[2] == expected


@pytest.mark.parametrize("serial, text", [("Ü😀-7", "Ü😀-7"), ("A" + "😀" * 63, "A" + "😀" * 62)])
def test_key_block_serial_is_utf16le(bus, serial, text):
    # 126 code units at most: a surrogate pair that does not fit is left out whole.
    bus.add_board(serial=serial)
    obj = torqline()
    assert obj.init() is True
    assert key_block(obj)[608:608 + 254] == (text.encode("utf-16-le") + bytes(254))[:254]


# (fault, init succeeds, a second board behind it is taken instead)
FAULTS = [
    ("detail", False, False),
    ("open_query", False, True),
    ("attributes", False, True),
    ("open_write", False, True),
    ("open_read", False, True),
    ("serial", True, False),
    ("preparsed", True, False),
    ("button_caps", True, False),
    ("write", True, False),
    ("wait", True, False),
]


@pytest.mark.parametrize("fault, opens, falls_through", FAULTS)
def test_step_failures_during_discovery(bus, fault, opens, falls_through):
    first = bus.add_board(serial="F")
    second = bus.add_board(serial="G")
    first.fail(fault)
    obj = torqline()
    assert obj.init() is (opens or falls_through)
    taken = first if opens else second if falls_through else None
    for device in (first, second):
        assert device.open_handles == (3 if device is taken else 0)
    if taken is second:
        assert obj.get_device_info("serial number") == "G"


@pytest.mark.parametrize("fault, digital, analog", [
    ("preparsed", 0, 0), ("button_caps", 0, 9), ("serial", 32, 9),
])
def test_probe_failures_leave_the_device_open(bus, fault, digital, analog):
    bus.add_board(serial="P").fail(fault)
    obj = torqline()
    assert obj.init() is True
    assert (obj.get_device_info("digital"), obj.get_device_info("analog")) == (digital, analog)


def test_pending_write_keeps_the_channel(bus):
    board = bus.add_board()
    board.fail("write", error=997)
    obj = torqline()
    assert obj.init() is True
    board.clear()
    obj.show_me()
    assert len(board.frames) == 1


def test_enumeration_failure_ends_the_pass(bus):
    bus.add_board()
    bus.fail("enumerate")
    obj = torqline()
    assert obj.init() is False
    assert summary(obj) == (1, 0, "")
    bus.clear()
    assert obj.init() is True


def test_retry_after_failed_init_tries_every_interface(bus):
    board = bus.add_board()
    board.fail("open_read")
    obj = torqline()
    assert obj.init() is False
    board.clear()
    assert obj.init() is True
    assert board.open_handles == 3

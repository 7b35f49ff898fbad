"""Discovery: which interface is opened, what is read from it, and the pass summary."""
import struct

import pytest

from torqpanel import torqline

from conftest import initialised, key_block


def summary(obj):
    """From the key block: interfaces looked at, opened, the serial read."""
    block = key_block(obj)
    return (*struct.unpack_from("<II", block, 12), block[608:862].decode("utf-16-le").split("\0", 1)[0])


OTHER, OLD_PID, NEXT_PID, NEXT_VID = (0x1234, 1), (0x1DD2, 0x0103), (0x1DD2, 0x2012), (0x1DD3, 0x2011)


# Two boards and a serial filter are the kernel tests' too.
# (devices on the bus: (vid, pid) or a board's serial, the serial filter (the keyword is
# ignored), index of the device opened or None, pass summary)
@pytest.mark.parametrize("devices, args, taken, expected", [
    ([], ("",), None, (1, 0, "")),
    ([OTHER, OLD_PID, NEXT_PID, NEXT_VID, "A1B2"], (), 4, (5, 1, "A1B2")),  # the exact IDs only
    (["S1", None], ("NOPE",), None, (3, 0, "")), (["A1B2"], ("x" * (1 << 20),), None, (2, 0, "")),
])
def test_discovery_pass(bus, devices, args, taken, expected):
    added = [bus.add_board(serial=d) if d is None or isinstance(d, str) else bus.add_device(*d)
             for d in devices]
    obj = torqline(*args, serial="OTHER")
    assert obj.init() is (taken is not None)
    assert summary(obj) == expected
    assert obj.get_device_info("product id") == 8209  # after any pass, a failed one too
    assert [(d.open_handles, len(d.frames)) for d in added] == [
        (3, 1) if i == taken else (0, 0) for i in range(len(added))]


@pytest.mark.parametrize("serial, version, firmware, shown, block", [
    ("Ünï-7", 0x0A0B, "a.0b", None, None), (None, 0xFFFF, "ff.ff", "", None),
    ("S" * 126, 0x0180, "1.80", None, None), ("L" * 200, 0x1234, "12.34", "L" * 126, None),
    # The key block holds 126 UTF-16 code units: a surrogate pair that does not fit is left out whole.
    ("A" + "😀" * 63, 0x0000, "0.00", None, "A" + "😀" * 62),
])
def test_identity_of_the_opened_board(bus, serial, version, firmware, shown, block):
    shown = serial if shown is None else shown
    path = "\\\\?\\hid#vid_1dd2&pid_2011#" + "x" * 300
    board = bus.add_board(serial=serial, version=version, path=path)
    obj = initialised()
    info = [obj.get_device_info(k) for k in ("device path", "serial number", "firmware", "digital", "analog")]
    assert info == [path, shown, firmware, 32, 9]
    assert key_block(obj)[608:608 + 254] == ((block or shown).encode("utf-16-le") + bytes(254))[:254]
    assert board.input_buffers == 2  # the driver keeps the newest two unread reports


# A failure of one step with a second board behind the first: (the board opened, 0 for
# the first, 1 for the second, None for neither; digital and analog capabilities; the
# interfaces the pass looked at). A failed pass is retried once the failure is cleared.
@pytest.mark.parametrize("fault, taken, digital, analog, calls", [
    ("enumerate", None, 0, 0, 1), ("detail", None, 0, 0, 1),
    ("open_query", 1, 32, 9, 2), ("attributes", 1, 32, 9, 2), ("open_write", 1, 32, 9, 2),
    ("open_read", 1, 32, 9, 2), ("serial", 0, 32, 9, 1), ("preparsed", 0, 0, 0, 1),
    ("button_caps", 0, 0, 9, 1), ("write", 0, 32, 9, 1), ("wait", 0, 32, 9, 1),
])
def test_step_failures_during_discovery(bus, fault, taken, digital, analog, calls):
    boards = [bus.add_board(serial="F"), bus.add_board(serial="G")]
    (bus if fault == "enumerate" else boards[0]).fail(fault)
    obj = torqline()
    assert obj.init() is (taken is not None)
    assert [b.open_handles for b in boards] == [3 if i == taken else 0 for i in (0, 1)]
    assert summary(obj)[:2] == (calls, int(taken is not None))
    assert (obj.get_device_info("digital"), obj.get_device_info("analog")) == (digital, analog)
    if taken == 1:
        assert obj.get_device_info("serial number") == "G"
    if taken is None:
        (bus if fault == "enumerate" else boards[0]).clear()
        assert obj.init() is True and summary(obj) == (1, 1, "F")

"""The torqsim facade on its own: building a bus, inspecting it, injecting failures and
switching the process's HID layer. The engine's behaviour on the bus is tested elsewhere."""
import gc
import re

import pytest

import torqsim
from torqsim import _native


# `bus` (conftest) is an active bus; the activation tests make their own.


@pytest.fixture(autouse=True)
def os_backend_afterwards():
    yield
    _native.lib().torqpanel_vhid_activate(0)


def active_number():
    return _native.lib().torqpanel_vhid_active()


# --- devices and paths ------------------------------------------------------------------

def test_devices_keep_the_order_and_identity_they_were_added_with(bus):
    other = bus.add_device(vid=0x1234, pid=0x0001)
    board = bus.add_board(serial="A1B2", version=0x0105)
    plain = bus.add_device(0x1DD2, 0x0103, serial="")
    assert bus.devices == [other, board, plain]
    assert [d.number for d in bus.devices] == [1, 2, 3]
    assert (other.vid, other.pid, other.version, other.serial) == (0x1234, 0x0001, 0x0100, None)
    assert (board.vid, board.pid, board.version, board.serial) == (
        torqsim.BOARD_VID, torqsim.BOARD_PID, 0x0105, "A1B2")
    assert plain.serial == ""
    assert all(d.bus is bus and d.plugged for d in bus.devices)


def test_generated_paths_have_the_windows_form_and_differ(bus):
    devices = [bus.add_device(0x1DD2, 0x2011) for _ in range(3)] + [bus.add_device(0xABCD, 0x00EF)]
    paths = [d.path for d in devices]
    assert len(set(paths)) == len(paths)
    pattern = r"\\\\\?\\hid#vid_{:04x}&pid_{:04x}#virtual&\d+#\{{4d1e55b2-f16f-11cf-88cb-001111000030\}}"
    for device in devices:
        assert re.fullmatch(pattern.format(device.vid, device.pid), device.path), device.path


@pytest.mark.parametrize("path", [
    r"\\?\hid#vid_1dd2&pid_2011#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
    "\\\\?\\" + "p" * 320,
    "\\\\?\\hid#caf\u00e9#\U0001F600#" + "\u4e2d" * 150,
])
def test_given_paths_come_back_whole(bus, path):
    device = bus.add_board(path=path)
    assert device.path == path


def test_a_plugged_path_cannot_be_added_twice_but_an_unplugged_one_can(bus):
    first = bus.add_board(path="\\\\?\\board")
    with pytest.raises(ValueError, match="path"):
        bus.add_board(path="\\\\?\\board")
    first.unplug()
    again = bus.add_board(path="\\\\?\\board")
    assert again.number == 2 and again.path == first.path
    assert again.plugged and not first.plugged


def test_a_generated_path_never_takes_a_plugged_one(bus):
    taken = r"\\?\hid#vid_1dd2&pid_2011#virtual&1#{4d1e55b2-f16f-11cf-88cb-001111000030}"
    bus.add_board(path=taken)
    generated = bus.add_board()
    assert generated.path != taken


# --- arguments --------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, error", [
    (dict(vid=0x10000, pid=1), ValueError),
    (dict(vid=-1, pid=1), ValueError),
    (dict(vid=1, pid=0x10000), ValueError),
    (dict(vid=1, pid=1, version=0x10000), ValueError),
    (dict(vid="1dd2", pid=1), TypeError),
    (dict(vid=1, pid=1.0), TypeError),
    (dict(vid=1, pid=1, serial=b"A1"), TypeError),
    (dict(vid=1, pid=1, serial="A\0B"), ValueError),
    (dict(vid=1, pid=1, serial="\ud800"), ValueError),
    (dict(vid=1, pid=1, path=""), ValueError),
    (dict(vid=1, pid=1, path="a\0b"), ValueError),
    (dict(vid=1, pid=1, descriptor="05 01"), TypeError),
])
def test_bad_device_arguments_are_refused(bus, kwargs, error):
    with pytest.raises(error):
        bus.add_device(**kwargs)
    assert bus.devices == []


@pytest.mark.parametrize("descriptor", [
    b"",
    b"\x05",                                   # an item cut short
    torqsim.BOARD_DESCRIPTOR[:-1],             # collection never closed
    bytes([0xC0]),                             # end without a collection
])
def test_descriptors_that_do_not_parse_are_refused(bus, descriptor):
    with pytest.raises(ValueError, match="descriptor"):
        bus.add_device(1, 1, descriptor=descriptor)
    assert bus.devices == []


def test_descriptor_defaults_to_the_board_and_native_default_matches_it(bus):
    custom = bytes.fromhex("0600ff0901a10185100901150026ff007508950681000901150026ff00750895069100c0")
    assert bus.add_device(1, 1).descriptor == torqsim.BOARD_DESCRIPTOR
    assert bus.add_device(1, 2, descriptor=bytearray(custom)).descriptor == custom
    # Native callers get the board descriptor from the library's own copy.
    lib = _native.lib()
    number = lib.torqpanel_vhid_add_device(bus.number, 1, 3, 0x100, None, None, None, 0)
    assert number == 3
    size = lib.torqpanel_vhid_device_descriptor(bus.number, number, None, 0)
    buffer = bytes(size)
    lib.torqpanel_vhid_device_descriptor(bus.number, number, buffer, size)
    assert buffer == torqsim.BOARD_DESCRIPTOR


def test_a_new_device_has_nothing_recorded(bus):
    board = bus.add_board()
    board.clear_frames()
    assert (board.frames, board.frame_count) == ([], 0)
    assert (board.open_handles, board.input_buffers) == (0, 0)


# --- failures ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", torqsim.DEVICE_FAILURES)
def test_every_device_failure_name_is_known_to_the_library(bus, name):
    board = bus.add_board()
    board.fail(name, error=997)
    board.clear(name)
    lib = _native.lib()
    assert lib.torqpanel_vhid_fail(bus.number, board.number, name.encode(), 0xFFFFFFFF) == 1
    assert lib.torqpanel_vhid_clear(bus.number, board.number, name.encode()) == 1
    assert lib.torqpanel_vhid_bus_fail(bus.number, name.encode(), 0) == 0


@pytest.mark.parametrize("name", ["", "Write", "open", "bogus", "enumerate", None])
def test_unknown_device_failures_are_refused(bus, name):
    board = bus.add_board()
    with pytest.raises(ValueError):
        board.fail(name)
    if name is not None:
        with pytest.raises(ValueError):
            board.clear(name)


@pytest.mark.parametrize("name", ["write", "Enumerate", ""])
def test_unknown_bus_failures_are_refused(bus, name):
    with pytest.raises(ValueError, match="bus"):
        bus.fail(name)
    with pytest.raises(ValueError):
        bus.clear(name)
    bus.fail("enumerate", error=6)
    bus.clear("enumerate")
    bus.clear()


@pytest.mark.parametrize("error, exception", [(-1, ValueError), (1 << 32, ValueError),
                                              ("31", TypeError), (True, TypeError)])
def test_error_codes_must_be_32_bit_numbers(bus, error, exception):
    board = bus.add_board()
    with pytest.raises(exception):
        board.fail("write", error=error)
    with pytest.raises(exception):
        bus.fail("enumerate", error=error)


@pytest.mark.parametrize("timeout, exception", [(-0.001, ValueError), (5e6, ValueError),
                                                ("1", TypeError), (False, TypeError)])
def test_stall_time_outs_are_seconds_within_32_bit_milliseconds(bus, timeout, exception):
    with pytest.raises(exception):
        bus.add_board().stall(timeout)


def test_the_library_itself_refuses_unknown_names_with_a_message(bus):
    bus.add_board()
    lib = _native.lib()
    assert lib.torqpanel_vhid_fail(bus.number, 1, b"bogus", 0) == 0
    assert "bogus" in _native.last_message()
    assert lib.torqpanel_vhid_bus_fail(bus.number, b"write", 0) == 0
    assert lib.torqpanel_vhid_fail(bus.number, 2, b"write", 0) == 0
    assert "no device 2" in _native.last_message()
    assert lib.torqpanel_vhid_fail(bus.number, 1, b"write", 0) == 1


# --- input and unplugging ---------------------------------------------------------------

@pytest.mark.parametrize("report, error", [
    ("\x00" * 22, TypeError), ([0] * 22, TypeError), (22, TypeError), (None, TypeError),
    (b"", ValueError),
])
def test_input_reports_must_be_bytes(bus, report, error):
    board = bus.add_board()
    with pytest.raises(error):
        board.send_input(report)


def test_input_is_accepted_from_a_plugged_device_only(bus):
    board = bus.add_board()
    for report in (bytes(22), bytearray(22), memoryview(bytes(30))):
        board.send_input(report)
    board.unplug()
    board.unplug()
    assert not board.plugged
    with pytest.raises(torqsim.VirtualBusError, match="unplugged"):
        board.send_input(bytes(22))
    assert board.open_handles == 0 and board.frames == []


# --- activation -------------------------------------------------------------------------

def test_the_block_activates_the_bus_and_leaving_restores_the_os_backend():
    bus = torqsim.VirtualBus()
    assert active_number() == 0 and torqsim.active_bus() is None
    with bus as entered:
        assert entered is bus
        assert bus.is_active and active_number() == bus.number
        assert torqsim.active_bus() is bus
    assert not bus.is_active and active_number() == 0
    assert torqsim.active_bus() is None


def test_the_latest_activation_wins_and_any_exit_restores_the_os():
    bus, other = torqsim.VirtualBus(), torqsim.VirtualBus()
    with bus:
        with other:
            assert other.is_active and not bus.is_active
        assert active_number() == 0
        assert bus.activate() is bus and bus.is_active
    assert active_number() == 0
    other.activate()
    bus.deactivate()        # deactivating restores the OS whichever bus was active
    assert active_number() == 0
    bus.deactivate()        # and is harmless when nothing is active


def test_an_active_bus_outlives_its_last_reference():
    bus = torqsim.VirtualBus()
    board = bus.add_board(serial="keep")
    number = bus.number
    bus.activate()
    del bus, board
    gc.collect()
    assert active_number() == number
    assert torqsim.active_bus().devices[0].serial == "keep"
    torqsim.active_bus().deactivate()
    gc.collect()
    assert _native.lib().torqpanel_vhid_open_handles(number, 1) == -1


def test_devices_stay_inspectable_after_the_block():
    with torqsim.VirtualBus() as bus:
        board = bus.add_board(serial="A1B2")
        board.fail("write", error=997)
    assert board.path and board.frames == [] and board.descriptor == torqsim.BOARD_DESCRIPTOR
    board.send_input(bytes(22))
    board.clear()

"""The torqsim facade on its own: building, inspecting, failing and activating a bus."""
import gc
import re

import pytest

import torqsim
from torqsim import _native

# `bus` (conftest) is an active bus; the activation tests make their own.
WIDE_PATH = "\\\\?\\hid#caf\u00e9#\U0001F600#" + "\u4e2d" * 150


@pytest.fixture(autouse=True)
def os_backend_afterwards():
    yield
    _native.lib().torqpanel_vhid_activate(0)


def active_number():
    return _native.lib().torqpanel_vhid_active()


def test_devices_keep_their_order_identity_and_paths(bus):
    other = bus.add_device(vid=0x1234, pid=0x0001)
    board = bus.add_board(serial="A1B2", version=0x0105, path=WIDE_PATH)
    taken = r"\\?\hid#vid_1dd2&pid_2011#virtual&4#{4d1e55b2-f16f-11cf-88cb-001111000030}"
    devices = [other, board, bus.add_device(0x1DD2, 0x0103, serial=""), bus.add_board(path=taken),
               bus.add_board(), bus.add_board()]
    assert bus.devices == devices and [d.number for d in devices] == [1, 2, 3, 4, 5, 6]
    assert (other.vid, other.pid, other.version, other.serial) == (0x1234, 0x0001, 0x0100, None)
    assert (board.vid, board.pid, board.version, board.serial) == (0x1DD2, 0x2011, 0x0105, "A1B2")
    assert devices[2].serial == "" and board.path == WIDE_PATH
    # Generated paths have the Windows form and never take a plugged one.
    assert len({d.path for d in devices}) == len(devices)
    pattern = r"\\\\\?\\hid#vid_{:04x}&pid_{:04x}#virtual&\d+#\{{4d1e55b2-f16f-11cf-88cb-001111000030\}}"
    for device in (other, devices[2], *devices[4:]):
        assert re.fullmatch(pattern.format(device.vid, device.pid), device.path), device.path
    # A plugged path cannot be added twice, an unplugged one can.
    with pytest.raises(ValueError, match="path"):
        bus.add_board(path=WIDE_PATH)
    board.unplug()
    again = bus.add_board(path=WIDE_PATH)
    assert (again.number, again.path, again.plugged, board.plugged) == (7, WIDE_PATH, True, False)


# A custom descriptor is the descriptor tests' (digital and analog as Windows counts); the
# fault matrix injects every failure name through the facade.
def test_default_descriptor_and_the_library_refusing_unknown_failures_and_devices(bus):
    lib = _native.lib()
    assert bus.add_device(1, 1).descriptor == torqsim.BOARD_DESCRIPTOR
    # Native callers get the board descriptor from the library's own copy.
    assert lib.torqpanel_vhid_add_device(bus.number, 1, 2, 0x100, None, None, None, 0) == 2
    assert torqsim.VirtualDevice(bus, 2, 1, 2, 0x100, None).descriptor == torqsim.BOARD_DESCRIPTOR
    for device, name, message in [(1, b"bogus", "bogus"), (3, b"write", "no device 3")]:
        assert lib.torqpanel_vhid_fail(bus.number, device, name, 0) == 0 and message in _native.last_message()
    for name in torqsim.DEVICE_FAILURES:  # a device's step is no bus failure
        assert lib.torqpanel_vhid_bus_fail(bus.number, name.encode(), 0) == 0, name


# A dict of arguments: keywords for add_device, after vid=1, pid=1.
@pytest.mark.parametrize("call, args, error", [
    *[("bus.add_device", kwargs, ValueError) for kwargs in (
        dict(vid=0x10000), dict(vid=-1), dict(pid=0x10000), dict(version=0x10000), dict(serial="A\0B"),
        dict(serial="\ud800"), dict(path=""), dict(path="a\0b"), dict(descriptor=b""),
        dict(descriptor=b"\x05"))],  # an item cut short: the library's parser refuses it
    *[("bus.add_device", kwargs, TypeError) for kwargs in (
        dict(vid="1dd2"), dict(pid=1.0), dict(serial=b"A1"), dict(descriptor="05 01"))],
    *[("board.fail", (name,), ValueError)
      for name in ("", "Write", "open", "bogus", "enumerate", None)],
    *[("board.clear", (name,), ValueError) for name in ("", "Write", "bogus")],
    *[(call, (name,), ValueError)
      for name in ("write", "Enumerate", "") for call in ("bus.fail", "bus.clear")],
    *[(call, (step, error), exception) for error, exception in (
        (-1, ValueError), (1 << 32, ValueError), ("31", TypeError), (True, TypeError))
      for call, step in (("board.fail", "write"), ("bus.fail", "enumerate"))],
    # A stall's time-out is seconds that fit 32-bit milliseconds.
    *[("board.stall", (timeout,), exception) for timeout, exception in (
        (-0.001, ValueError), (5e6, ValueError), ("1", TypeError), (False, TypeError))],
    *[("board.send_input", (report,), ValueError if report == b"" else TypeError)
      for report in ("\x00" * 22, [0] * 22, 22, None, b"")],
])
def test_bad_arguments_are_refused(bus, call, args, error):
    board = bus.add_board()
    owner, method = call.split(".")
    args, kwargs = ((), {"vid": 1, "pid": 1, **args}) if isinstance(args, dict) else (args, {})
    with pytest.raises(error):
        getattr({"bus": bus, "board": board}[owner], method)(*args, **kwargs)
    assert bus.devices == [board]


def test_activation_the_latest_wins_and_any_exit_restores_the_os():
    bus, other = torqsim.VirtualBus(), torqsim.VirtualBus()
    assert active_number() == 0 and torqsim.active_bus() is None
    with bus as entered:
        board = bus.add_board(serial="A1B2")
        assert entered is bus and bus.is_active and active_number() == bus.number
        assert torqsim.active_bus() is bus
        with other:
            assert other.is_active and not bus.is_active and torqsim.active_bus() is other
        assert active_number() == 0 and torqsim.active_bus() is None
        assert bus.activate() is bus and bus.is_active
    assert active_number() == 0 and not bus.is_active
    # Its devices stay usable after the block and take input while plugged.
    assert board.descriptor == torqsim.BOARD_DESCRIPTOR
    assert (board.frame_count, board.open_handles, board.input_buffers) == (0, 0, 0)
    for report in (bytes(22), bytearray(22), memoryview(bytes(30))):
        board.send_input(report)
    board.unplug()
    board.unplug()
    with pytest.raises(torqsim.VirtualBusError, match="unplugged"):
        board.send_input(bytes(22))
    assert (board.plugged, board.open_handles, board.frames) == (False, 0, [])
    other.activate()
    bus.deactivate()        # deactivating restores the OS whichever bus was active
    assert active_number() == 0
    bus.deactivate()        # and is harmless when nothing is active


def test_an_active_bus_outlives_its_last_reference():
    bus = torqsim.VirtualBus().activate()
    number = bus.add_board(serial="keep").bus.number
    del bus
    gc.collect()
    assert active_number() == number
    assert torqsim.active_bus().devices[0].serial == "keep"
    torqsim.active_bus().deactivate()
    gc.collect()
    assert _native.lib().torqpanel_vhid_open_handles(number, 1) == -1

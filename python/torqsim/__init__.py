"""torqsim: a virtual HID bus for testing torqpanel without a board.

A :class:`VirtualBus` replaces the operating system's HID devices inside this process.
While it is active, ``torqpanel.torqline`` discovers, opens, reads and writes the devices
you add to the bus instead of real ones, so every step of discovery and I/O can be
watched and made to fail::

    import torqsim, torqpanel

    with torqsim.VirtualBus() as bus:          # the process now sees only this bus
        board = bus.add_board(serial="A1B2", version=0x0105)
        line = torqpanel.torqline()
        assert line.init()
        line.show_me()
        assert len(board.frames[-1]) == 54     # what the engine wrote
        board.send_input(bytes(22))            # the board reports its buttons
        board.unplug()                         # I/O on its handles fails from now on
    # leaving the block restores the operating system's HID backend

Devices appear to discovery in the order they were added. Each device has an interface
path, vendor and product IDs, a version number, an optional serial number string and a
report descriptor from which its capabilities are computed the way Windows computes
them. Any step can be made to fail with :meth:`VirtualDevice.fail` and
:meth:`VirtualBus.fail`.

The bus and its devices can be inspected at any time, also after the block has been
left; a bus lives as long as a Python object refers to it or to one of its devices
(and, internally, as long as an engine still holds handles on it).
"""
import ctypes
import threading
import weakref
from typing import TYPE_CHECKING, List, Optional, Tuple, Union

# board and render are small and pure Python: imported with the package, so that
# ``import torqsim`` is enough for ``torqsim.render.svg(torqsim.board.BoardState(...))``.
from . import _native, board, render
from ._descriptor import BOARD_DESCRIPTOR

if TYPE_CHECKING:
    import torqpanel

__all__ = [
    "BOARD_DESCRIPTOR",
    "BOARD_PID",
    "BOARD_VID",
    "BUS_FAILURES",
    "DEVICE_FAILURES",
    "VirtualBus",
    "VirtualBusError",
    "VirtualDevice",
    "active_bus",
    "board",
    "render",
    "set_right_panel",
]

#: Vendor ID of the supported board.
BOARD_VID = 0x1DD2
#: Product ID of the supported board.
BOARD_PID = 0x2011

#: The step names :meth:`VirtualDevice.fail` accepts, in the order discovery meets them:
#: ``detail`` (both interface-detail queries), ``open_query``, ``open_write``,
#: ``open_read`` (opening a handle in that mode), ``attributes``, ``serial`` (the serial
#: number string), ``preparsed`` (getting the preparsed data), ``button_caps`` (the input
#: button capabilities, checked each time they are asked for), ``write`` (an output
#: report) and ``wait`` (waiting for an input report; a read already waiting fails at once).
DEVICE_FAILURES = (
    "detail", "open_query", "open_write", "open_read", "attributes",
    "serial", "preparsed", "button_caps", "write", "wait",
)
#: The step names :meth:`VirtualBus.fail` accepts: ``enumerate`` (the interface set
#: cannot be made, so every discovery pass ends at its first step).
BUS_FAILURES = ("enumerate",)

_ERROR_MAX = 0xFFFFFFFF

# The bus this module activated last. Holding it keeps an active bus alive however the
# caller's references go, so the process never switches backends behind a test's back.
_active_lock = threading.Lock()
_active: "Optional[VirtualBus]" = None


class VirtualBusError(RuntimeError):
    """A virtual-bus operation that cannot be carried out in the bus's present state,
    such as sending input from a device that has been unplugged."""


def active_bus() -> "Optional[VirtualBus]":
    """The :class:`VirtualBus` that is this process's HID layer now, or ``None`` when the
    operating system's backend is active (or a bus was activated by native code)."""
    with _active_lock:
        bus = _active
    if bus is not None and bus.is_active:
        return bus
    return None


def set_right_panel(line: "torqpanel.torqline", text: str) -> None:
    """Sets the text of the right panel of a ``torqpanel.torqline`` object, such as a lap
    time "1:23.456": the module exports this operation as the C function
    ``PySetRightDigits`` but its type has no method for it, so Python reaches it here.

    Works on a real board as on a virtual one. Like ``set_central_panel`` it only
    changes the display report; ``show_me`` sends it. The text is encoded by the right
    panel's rules: 1 to 12 bytes, a colon lights the points on both sides of it, and a
    text of another length shows "-:--.---". Returns None.

    Raises TypeError when ``line`` is not a torqline or ``text`` not a str, and
    SystemError (after the module's console line "Error: torqline Not initialized!")
    for a torqline without an engine, as its methods do.
    """
    import torqpanel

    if not isinstance(line, torqpanel.torqline):
        raise TypeError(f"line must be a torqpanel.torqline, not {type(line).__name__}")
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    _native.take_result(_native.pylib().PySetRightDigits(line, (text,)))


def _u16(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= 0xFFFF:
        raise ValueError(f"{name} must be in 0..0xFFFF, got {value:#x}")
    return value


def _error_code(error: object) -> int:
    if isinstance(error, bool) or not isinstance(error, int):
        raise TypeError(f"error must be an int, not {type(error).__name__}")
    if not 0 <= error <= _ERROR_MAX:
        raise ValueError(f"error must be in 0..0xFFFFFFFF, got {error}")
    return error


def _text(name: str, value: object) -> Optional[bytes]:
    """UTF-8 bytes of an optional text argument (None stays None)."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str or None, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{name} must not contain a zero character")
    try:
        return value.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise ValueError(f"{name} cannot be encoded as UTF-8: {exc}") from None


def _byte_string(name: str, value: object) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes, bytearray or memoryview, "
                        f"not {type(value).__name__}")
    return bytes(value)


def _failure_name(name: str, allowed: Tuple[str, ...], kind: str) -> bytes:
    if name not in allowed:
        raise ValueError(f"no {kind} failure named {name!r}; "
                         f"expected one of: {', '.join(allowed)}")
    return name.encode("ascii")


class VirtualBus:
    """An in-process HID bus with no devices until you add them.

    Use it as a context manager: entering the block makes it this process's HID layer
    (:meth:`activate`), leaving it restores the operating system's backend
    (:meth:`deactivate`). Only one layer is active at a time and the most recent
    activation wins: activating a second bus, or nesting two ``with`` blocks, switches
    to the newer bus, and leaving any block restores the operating system's backend,
    not the bus of an outer block.

    An engine keeps the layer it opened its handles with: a ``torqline`` initialised on
    this bus keeps talking to it after the bus is deactivated, until it is initialised
    again or terminated.

    All methods may be called from any thread; none of them waits for the engine.
    """

    def __init__(self) -> None:
        lib = _native.lib()
        number: int = lib.torqpanel_vhid_bus_new()
        if not number:
            raise MemoryError("cannot create a virtual bus")
        self._number = number
        self._devices: List[VirtualDevice] = []
        self._finalizer = weakref.finalize(self, lib.torqpanel_vhid_bus_free, number)

    # --- activation -----------------------------------------------------------------

    def activate(self) -> "VirtualBus":
        """Make this bus the HID layer of the process; returns the bus.

        Every discovery pass from now on (``torqline.init``) sees this bus's plugged
        devices and nothing else. The bus stays alive while it is active."""
        global _active
        with _active_lock:
            if not _native.lib().torqpanel_vhid_activate(self._number):
                raise VirtualBusError(_native.last_message())
            _active = self
        return self

    def deactivate(self) -> None:
        """Restore the operating system's HID backend, whichever bus is active."""
        global _active
        with _active_lock:
            _native.lib().torqpanel_vhid_activate(0)
            _active = None

    @property
    def is_active(self) -> bool:
        """True while this bus is the process's HID layer."""
        return bool(_native.lib().torqpanel_vhid_active() == self._number)

    def __enter__(self) -> "VirtualBus":
        return self.activate()

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        self.deactivate()

    # --- devices --------------------------------------------------------------------

    def add_device(self, vid: int, pid: int, version: int = 0x0100, serial: Optional[str] = None,
                   path: Optional[str] = None,
                   descriptor: Optional[bytes] = None) -> "VirtualDevice":
        """Plug in a HID device at the end of the enumeration order; returns its
        :class:`VirtualDevice`.

        ``vid``, ``pid``, ``version``: vendor ID, product ID and version number (the
        release number Windows reports in the attributes), each 0..0xFFFF.
        ``serial``: the serial number string, or None for a device without one (asking
        for it then fails, as on a real device).
        ``path``: the interface path, or None for a generated one in the Windows form
        ``\\\\?\\hid#vid_1dd2&pid_2011#virtual&3#{4d1e55b2-...}``. Paths may be of any
        length. No two plugged devices may share a path; a device added with the path of
        an unplugged one behaves like that device plugged in again (the old handles stay
        dead).
        ``descriptor``: the HID report descriptor (bytes), or None for
        :data:`BOARD_DESCRIPTOR`. The device's capabilities are computed from it.

        Raises ValueError for an out-of-range number, a descriptor that does not parse,
        a path already plugged in, or a text with a zero character; TypeError for
        arguments of the wrong type.
        """
        vid = _u16("vid", vid)
        pid = _u16("pid", pid)
        version = _u16("version", version)
        serial_bytes = _text("serial", serial)
        path_bytes = _text("path", path)
        if path_bytes is not None and not path_bytes:
            raise ValueError("path must not be empty (use None for a generated path)")
        descriptor = BOARD_DESCRIPTOR if descriptor is None else _byte_string(
            "descriptor", descriptor)
        if not descriptor:
            raise ValueError("descriptor must not be empty")
        number = _native.lib().torqpanel_vhid_add_device(
            self._number, vid, pid, version, serial_bytes, path_bytes, descriptor,
            len(descriptor))
        if not number:
            raise ValueError(f"cannot add the device: {_native.last_message()}")
        device = VirtualDevice(self, number, vid, pid, version, serial)
        self._devices.append(device)
        return device

    def add_board(self, serial: Optional[str] = None, version: int = 0x0100,
                  path: Optional[str] = None) -> "VirtualDevice":
        """Plug in a supported board: :meth:`add_device` with :data:`BOARD_VID`,
        :data:`BOARD_PID` and :data:`BOARD_DESCRIPTOR`."""
        return self.add_device(BOARD_VID, BOARD_PID, version=version, serial=serial,
                               path=path, descriptor=BOARD_DESCRIPTOR)

    @property
    def devices(self) -> "List[VirtualDevice]":
        """Every device added to this bus through this object, in the order added,
        unplugged ones included (see :attr:`VirtualDevice.plugged`)."""
        return list(self._devices)

    @property
    def number(self) -> int:
        """The bus number the native ``torqpanel_vhid_*`` functions know it by."""
        return self._number

    # --- failures -------------------------------------------------------------------

    def fail(self, name: str, error: int = 0) -> None:
        """From now on the bus step ``name`` fails (see :data:`BUS_FAILURES`).

        ``enumerate``: every interface set made from now on cannot be enumerated; the
        discovery pass ends at its first step with error ``error`` (0: 6, invalid handle).
        """
        code = _error_code(error)
        encoded = _failure_name(name, BUS_FAILURES, "bus")
        if not _native.lib().torqpanel_vhid_bus_fail(self._number, encoded, code):
            raise VirtualBusError(_native.last_message())

    def clear(self, name: Optional[str] = None) -> None:
        """Clear the bus failure ``name``, or all bus failures when ``name`` is None."""
        encoded = None if name is None else _failure_name(name, BUS_FAILURES, "bus")
        if not _native.lib().torqpanel_vhid_bus_clear(self._number, encoded):
            raise VirtualBusError(_native.last_message())

    def __repr__(self) -> str:
        state = "active" if self.is_active else "inactive"
        return f"<torqsim.VirtualBus {self._number} {state}, {len(self._devices)} devices>"


class VirtualDevice:
    """One HID device on a :class:`VirtualBus`; made by :meth:`VirtualBus.add_device`.

    Its inspection properties read the live state of the bus, so they show what the
    engine has done so far.
    """

    def __init__(self, bus: VirtualBus, number: int, vid: int, pid: int, version: int,
                 serial: Optional[str]) -> None:
        self._bus = bus
        self._number = number
        self._vid = vid
        self._pid = pid
        self._version = version
        self._serial = serial
        self._plugged = True
        lib = _native.lib()
        size = lib.torqpanel_vhid_device_path(bus.number, number, None, 0)
        buffer = ctypes.create_string_buffer(size + 1)
        lib.torqpanel_vhid_device_path(bus.number, number, buffer, size + 1)
        self._path = buffer.raw[:size].decode("utf-8")

    # --- identity -------------------------------------------------------------------

    @property
    def bus(self) -> VirtualBus:
        """The :class:`VirtualBus` the device is on."""
        return self._bus

    @property
    def number(self) -> int:
        """The device's number on its bus (1 for the first device added)."""
        return self._number

    @property
    def path(self) -> str:
        """The interface path (str) that discovery reports and opens."""
        return self._path

    @property
    def vid(self) -> int:
        """Vendor ID."""
        return self._vid

    @property
    def pid(self) -> int:
        """Product ID."""
        return self._pid

    @property
    def version(self) -> int:
        """Version number, as the HID attributes report it (0x0105 reads as "1.05")."""
        return self._version

    @property
    def serial(self) -> Optional[str]:
        """The serial number string, or None for a device without one."""
        return self._serial

    @property
    def descriptor(self) -> bytes:
        """The device's HID report descriptor (bytes)."""
        lib = _native.lib()
        size = lib.torqpanel_vhid_device_descriptor(self._bus.number, self._number, None, 0)
        buffer = ctypes.create_string_buffer(size)
        lib.torqpanel_vhid_device_descriptor(self._bus.number, self._number, buffer, size)
        return buffer.raw[:size]

    @property
    def plugged(self) -> bool:
        """False once :meth:`unplug` has been called."""
        return self._plugged

    # --- what the engine did --------------------------------------------------------

    @property
    def frames(self) -> List[bytes]:
        """Every output report written to the device (list of bytes), oldest first.

        The list grows with every write until :meth:`clear_frames`."""
        return self._copy_frames()

    @property
    def frame_count(self) -> int:
        """How many output reports have been written (cheaper than ``len(frames)``)."""
        return int(_native.lib().torqpanel_vhid_frame_count(self._bus.number, self._number))

    def clear_frames(self) -> None:
        """Forget the recorded output reports."""
        _native.lib().torqpanel_vhid_clear_frames(self._bus.number, self._number)

    def take_frames(self) -> List[bytes]:
        """The output reports recorded so far (list of bytes, oldest first), which the
        device then forgets.

        Reports written while this runs are kept for the next call, so a monitor that
        calls it repeatedly sees every report exactly once while the device's memory
        stays flat. Use either this or :meth:`clear_frames` in one program, not both."""
        frames = self._copy_frames()
        if frames:
            _native.lib().torqpanel_vhid_drop_frames(self._bus.number, self._number, len(frames))
        return frames

    def _copy_frames(self) -> List[bytes]:
        # The frames recorded when the count is read; later ones wait for the next call.
        lib = _native.lib()
        bus, number = self._bus.number, self._number
        frames = []
        for index in range(lib.torqpanel_vhid_frame_count(bus, number)):
            size = lib.torqpanel_vhid_frame(bus, number, index, None, 0)
            buffer = ctypes.create_string_buffer(size)
            lib.torqpanel_vhid_frame(bus, number, index, buffer, size)
            frames.append(buffer.raw[:size])
        return frames

    @property
    def open_handles(self) -> int:
        """How many handles are open on the device now (closing them after an unplug
        still counts down)."""
        return int(_native.lib().torqpanel_vhid_open_handles(self._bus.number, self._number))

    @property
    def input_buffers(self) -> int:
        """The number of input buffers last set on one of the device's handles, 0 if
        never. Each read handle keeps only that many unread input reports (32 until
        set), dropping the oldest."""
        return int(_native.lib().torqpanel_vhid_input_buffers(self._bus.number, self._number))

    # --- acting as the device -------------------------------------------------------

    def send_input(self, report: Union[bytes, bytearray, memoryview]) -> None:
        """The device sends one input report: ``report`` (bytes-like, at least one byte)
        with the report-ID byte first (0 for the board, which has no report IDs).

        Every read handle open on the device receives a copy. Raises TypeError for a
        report that is not bytes, bytearray or memoryview, ValueError for an empty one and
        VirtualBusError once the device is unplugged."""
        data = _byte_string("report", report)
        if not data:
            raise ValueError("an input report holds at least one byte")
        if not _native.lib().torqpanel_vhid_send_input(
                self._bus.number, self._number, data, len(data)):
            raise VirtualBusError(_native.last_message())

    def unplug(self) -> None:
        """The device leaves the enumeration; reads waiting on its handles fail, and all
        later I/O on them fails with error 1167 (device not connected). Closing them
        still works. Unplugging again does nothing."""
        _native.lib().torqpanel_vhid_unplug(self._bus.number, self._number)
        self._plugged = False

    def stall(self, timeout: Optional[float] = None) -> None:
        """From now on the device takes no output report, as a board that stops reading
        its output endpoint: a write blocks until :meth:`resume` (and then goes through,
        whole and in order), an unplug or the close of its handle. With ``timeout`` (in
        seconds) a write gives up after that long instead and fails with error 1460
        (timed out), which the engine treats like a board that is busy: the report is
        not sent, ``connected`` stays 1. Stalling again sets the new ``timeout``.

        Raises TypeError for a timeout that is not a number, ValueError for a negative one."""
        if timeout is None:
            milliseconds = -1
        else:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
            if not 0 <= timeout <= _ERROR_MAX / 1000:
                raise ValueError(f"timeout must be between 0 and {_ERROR_MAX / 1000} seconds, not {timeout!r}")
            milliseconds = round(timeout * 1000)
        if not _native.lib().torqpanel_vhid_stall(self._bus.number, self._number, milliseconds):
            raise VirtualBusError(_native.last_message())

    def resume(self) -> None:
        """The device takes output reports again: writes waiting on a :meth:`stall` go
        through now. Resuming a device that is not stalled does nothing."""
        _native.lib().torqpanel_vhid_resume(self._bus.number, self._number)

    def _stall_counts(self) -> Tuple[int, int]:
        waiting, timed_out = ctypes.c_int(0), ctypes.c_size_t(0)
        _native.lib().torqpanel_vhid_stalled_writes(
            self._bus.number, self._number, ctypes.byref(waiting), ctypes.byref(timed_out))
        return waiting.value, timed_out.value

    @property
    def stalled_writes(self) -> int:
        """How many writes wait on the device's :meth:`stall` now."""
        return self._stall_counts()[0]

    @property
    def timed_out_writes(self) -> int:
        """How many writes have given up on the device's :meth:`stall` so far."""
        return self._stall_counts()[1]

    # --- failures -------------------------------------------------------------------

    def fail(self, name: str, error: int = 0) -> None:
        """From now on the step ``name`` (one of :data:`DEVICE_FAILURES`) fails for this
        device, until :meth:`clear`.

        ``error`` is the system error code the step leaves behind; 0 means the step's
        own plain failure: 5 (access denied) for the ``open_*`` steps, 31 (device not
        functioning) for the others, never 997 (pending) unless asked for, as in
        ``fail("write", error=997)``. For ``button_caps`` it is the HidP status to
        return (0: HIDP_STATUS_INVALID_PREPARSED_DATA, 0xC0110001).

        Raises ValueError for an unknown name.
        """
        code = _error_code(error)
        if name in BUS_FAILURES:
            raise ValueError(f"{name!r} is a failure of the bus: use bus.fail({name!r})")
        encoded = _failure_name(name, DEVICE_FAILURES, "device")
        if not _native.lib().torqpanel_vhid_fail(self._bus.number, self._number, encoded, code):
            raise VirtualBusError(_native.last_message())

    def clear(self, name: Optional[str] = None) -> None:
        """Clear the failure ``name``, or all of the device's failures when ``name`` is
        None. Raises ValueError for an unknown name."""
        encoded = None if name is None else _failure_name(name, DEVICE_FAILURES, "device")
        if not _native.lib().torqpanel_vhid_clear(self._bus.number, self._number, encoded):
            raise VirtualBusError(_native.last_message())

    def __repr__(self) -> str:
        serial = "" if self._serial is None else f" serial={self._serial!r}"
        state = "" if self._plugged else " unplugged"
        return (f"<torqsim.VirtualDevice {self._number} {self._vid:04x}:{self._pid:04x}"
                f" version={self._version:#06x}{serial}{state} path={self._path!r}>")

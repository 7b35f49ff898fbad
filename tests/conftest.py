import ctypes
import os
import time

import pytest

import torqpanel
import torqsim

# The kernel tests need the guest that tests/kernel/vm.py boots (.ci/kernel).
collect_ignore = [] if os.environ.get("TORQ_KERNEL_GUEST") else ["kernel"]

BLANK_DISPLAY = b"\0\6   " + bytes(22) + b"   " + bytes(3) + b"   " + bytes(3) + b" " + bytes(14)


@pytest.fixture
def bus():
    with torqsim.VirtualBus() as virtual_bus:
        yield virtual_bus


@pytest.fixture
def board(bus):
    return bus.add_board(serial="A1B2", version=0x0105)


@pytest.fixture
def dev(board):
    return initialised()


@pytest.fixture
def listening(dev):
    """`dev` with its listener started and its first snapshot (no change) read."""
    assert dev.start_input_listener() is True
    assert wait_until(dev.get_input_data) == (0, 0, 0, 0, 0)
    yield dev
    dev.stop_input_listener()


def initialised(*args):
    obj = torqpanel.torqline(*args)
    assert obj.init() is True
    return obj


@pytest.fixture(scope="session")
def native():
    """The module's library with the interpreter lock held across calls (for wrappers)."""
    return ctypes.PyDLL(torqpanel.__file__)


def exported(native, name, *types):
    function = getattr(native, name)
    function.restype, function.argtypes = ctypes.py_object, [ctypes.py_object, *(types or [ctypes.py_object])]
    return function


def child_env(**changes):
    """With PYTHONPATH absolute: a child started in another folder imports what this run imports."""
    entries = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    path = os.pathsep.join(os.path.abspath(entry) for entry in entries if entry)
    return {**os.environ, **({"PYTHONPATH": path} if path else {}), **changes}


def wait_until(predicate, timeout=5.0, interval=0.002):
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() <= deadline:
        time.sleep(interval)
    return value


def sees(obj, event, within=5.0):
    return bool(wait_until(lambda: obj.get_input_data()[:len(event)] == event, timeout=within))


def display(**changes):
    """The blank display report with byte offsets changed (b<offset>=int or bytes)."""
    report = bytearray(BLANK_DISPLAY)
    for name, value in changes.items():
        data = bytes([value]) if isinstance(value, int) else value
        report[int(name[1:]):int(name[1:]) + len(data)] = data
    return bytes(report)


CAPSULE_POINTER = ctypes.pythonapi.PyCapsule_GetPointer
CAPSULE_POINTER.restype, CAPSULE_POINTER.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]


def key_address(obj):
    """The address of the 1648 bytes behind obj.get_module() (its capsule's pointer)."""
    return CAPSULE_POINTER(obj.get_module(), b"module.key")


def key_block(obj):
    return ctypes.string_at(key_address(obj), 1648)

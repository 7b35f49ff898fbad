import ctypes
import os
import time

import pytest

import torqpanel
import torqsim

# The kernel tests need the guest that tests/kernel/vm.py boots (.ci/kernel).
collect_ignore = [] if os.environ.get("TORQ_KERNEL_GUEST") else ["kernel"]

BLANK_DISPLAY = bytes([0x00, 0x06, 0x20, 0x20, 0x20] + [0] * 22 + [0x20] * 3 + [0] * 3
                      + [0x20] * 3 + [0] * 3 + [0x20] + [0] * 14)


@pytest.fixture
def bus():
    with torqsim.VirtualBus() as virtual_bus:
        yield virtual_bus


@pytest.fixture
def board(bus):
    return bus.add_board(serial="A1B2", version=0x0105)


@pytest.fixture
def dev(board):
    """An initialised torqline driving the virtual board."""
    obj = torqpanel.torqline()
    assert obj.init() is True
    yield obj
    del obj


@pytest.fixture(scope="session")
def native():
    """The module's library with the interpreter lock held across calls (for wrappers)."""
    return ctypes.PyDLL(torqpanel.__file__)


def exported(native, name, *types):
    """The exported function `name` taking a torqline and objects of `types` (default: one)."""
    function = getattr(native, name)
    function.restype, function.argtypes = ctypes.py_object, [ctypes.py_object, *(types or [ctypes.py_object])]
    return function


def wait_until(predicate, timeout=5.0, interval=0.002):
    """Polls `predicate` until it is true or `timeout` seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def key_address(obj):
    """The address of the 1648 bytes behind obj.get_module() (its capsule's pointer)."""
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(obj.get_module(), b"module.key")


def key_block(obj):
    return ctypes.string_at(key_address(obj), 1648)

"""The Python surface: the module, the type, the method table and the engine check."""
import ctypes
import gc
import importlib.machinery

import pytest

import torqpanel
from torqpanel import torqline

METHODS = [
    ("set_gear", "Set gear"),
    ("init", "Initialize the manager."),
    ("get_module", "Retrieve module Reference."),
    ("get_device_info", "Retrieve device information."),
    ("get_input_data", "Retrieve input data."),
    ("start_input_listener", "Start Input Listener"),
    ("stop_input_listener", "Stop Input Listener"),
    ("show_me", "Send report to board"),
    ("set_rpm_led", "Set one RPM LED state"),
    ("set_warning_led", "Set warning LED state"),
    ("set_external_led", "Set external LED state"),
    ("set_brightness", "Set global brightness"),
    ("load_rumble_motor", "Set rumble motor power"),
    ("set_central_panel", "Set central digits display"),
    ("terminate", "Close Python module"),
]

EXPORTS = ["PyDev_set_gear", "PyInitMgr", "PyGetModuleKey", "PyGetDeviceInfo", "PyGetInputData",
           "PyStartInputListener", "PyStopInputListener", "PySendReport", "PySetOneRPMLed",
           "PySetWarnLed", "PySetExternalLed", "PySetGlobalBrightness", "PySetRumbleMotor",
           "PySetLeftDigits", "PyClose", "PySetRightDigits", "BuildEx", "PyInit_torqpanel"]


def test_module_and_type_identity():
    assert torqpanel.__doc__ == "Manages DASHLINK device"
    own = [name for name in vars(torqpanel) if not name.startswith("__")]
    assert own == ["torqline"]
    assert torqline.__name__ == "torqline"
    assert torqline.__module__ == "torqpanel"
    assert torqpanel.__file__.endswith(".abi3" + importlib.machinery.EXTENSION_SUFFIXES[-1])


def test_method_table_order_and_docs():
    table = [(name, value.__doc__) for name, value in vars(torqline).items()
             if not name.startswith("__")]
    assert table == METHODS


def test_type_is_final_and_untracked():
    with pytest.raises(TypeError):
        type("Sub", (torqline,), {})
    assert not gc.is_tracked(torqline())


def test_exported_symbols():
    library = ctypes.CDLL(torqpanel.__file__)
    for name in EXPORTS:
        assert getattr(library, name), name


NOT_INITIALISED = "Error: torqline Not initialized!"


@pytest.mark.parametrize("call, error, printed", [
    *[(call, SystemError, NOT_INITIALISED) for call in (
        lambda o: o.set_gear("1"), lambda o: o.show_me(), lambda o: o.set_rpm_led(1, 1),
        lambda o: o.set_warning_led(1, 1), lambda o: o.set_external_led(1, 1),
        lambda o: o.set_brightness(5), lambda o: o.load_rumble_motor(1, 9),
        lambda o: o.set_central_panel("1"), lambda o: o.terminate(), lambda o: o.get_module(),
        lambda o: o.start_input_listener(), lambda o: o.stop_input_listener())],
    # Arguments are parsed before the engine check.
    (lambda o: o.set_rpm_led("x", 1), TypeError, ""), (lambda o: o.set_rpm_led(1), TypeError, ""),
    (lambda o: o.set_brightness(2**31), OverflowError, ""),
    (lambda o: o.set_central_panel(5), TypeError, ""), (lambda o: o.show_me(1), TypeError, ""),
])
def test_engine_check_without_engine(call, error, printed, capfd):
    bare = torqline.__new__(torqline)
    with pytest.raises(error):
        call(bare)
    assert capfd.readouterr().out == printed


def test_engine_check_deviations(capfd):
    bare = torqline.__new__(torqline)
    assert bare.init() is False
    assert bare.get_input_data() == (-4, 0, 0, 0, 0)
    assert capfd.readouterr().out == "Error: torqline Not initialized!" * 2
    assert bare.load_rumble_motor(3, 100) is None
    assert capfd.readouterr().out == ""
    with pytest.raises(SystemError):
        bare.get_device_info("version")
    assert capfd.readouterr().out == "Error: torqline Not initialized!\n"


def test_get_module_capsule():
    obj = torqline()
    first, second = obj.get_module(), obj.get_module()
    name = ctypes.pythonapi.PyCapsule_GetName
    name.restype, name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    pointer = ctypes.pythonapi.PyCapsule_GetPointer
    pointer.restype, pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    assert name(first) == b"module.key"
    assert pointer(first, b"module.key") == pointer(second, b"module.key")
    assert ctypes.string_at(pointer(first, b"module.key"), 1648) == bytes(1648)


def test_capsule_outlives_reinitialisation(bus):
    """A pointer taken before any number of __init__ calls reads live memory that the
    later discoveries write (under ASan a stale one is a report of its own)."""
    obj = torqline("NONE")
    pointer = ctypes.pythonapi.PyCapsule_GetPointer
    pointer.restype, pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = pointer(obj.get_module(), b"module.key")
    bus.add_board(serial="K7")
    for serial in ("X", "Y", ""):
        obj.__init__(serial)
    assert obj.init() is True
    assert pointer(obj.get_module(), b"module.key") == address
    block = ctypes.string_at(address, 1648)
    assert block[12:20] == bytes([1, 0, 0, 0, 1, 0, 0, 0]) and block[608:614] == "K7".encode("utf-16-le") + bytes(2)


def test_second_module_init_keeps_existing_objects(native):
    old = torqline()
    native.PyInit_torqpanel.restype = ctypes.py_object
    again = native.PyInit_torqpanel()
    assert again.torqline is torqline
    assert old.get_device_info("name") == "torqpanel"


def test_native_wrappers_check_their_object(native):
    native.PySendReport.restype = ctypes.py_object
    native.PySendReport.argtypes = [ctypes.py_object, ctypes.py_object]
    assert native.PySendReport(torqline(), ()) is None
    with pytest.raises(TypeError):
        native.PySendReport(42, ())

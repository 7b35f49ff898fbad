"""The Python surface: the module, the type, the method table and the engine check."""
import ctypes
import gc
import importlib.machinery

import pytest

import torqpanel
from torqpanel import torqline

from conftest import exported, key_address, key_block

METHODS = [  # the method table, in order, with each method's docstring
    ("set_gear", "Set gear"), ("init", "Initialize the manager."),
    ("get_module", "Retrieve module Reference."), ("get_device_info", "Retrieve device information."),
    ("get_input_data", "Retrieve input data."), ("start_input_listener", "Start Input Listener"),
    ("stop_input_listener", "Stop Input Listener"), ("show_me", "Send report to board"),
    ("set_rpm_led", "Set one RPM LED state"), ("set_warning_led", "Set warning LED state"),
    ("set_external_led", "Set external LED state"), ("set_brightness", "Set global brightness"),
    ("load_rumble_motor", "Set rumble motor power"), ("set_central_panel", "Set central digits display"),
    ("terminate", "Close Python module")]

EXPORTS = ["PyDev_set_gear", "PyInitMgr", "PyGetModuleKey", "PyGetDeviceInfo", "PyGetInputData",
           "PyStartInputListener", "PyStopInputListener", "PySendReport", "PySetOneRPMLed",
           "PySetWarnLed", "PySetExternalLed", "PySetGlobalBrightness", "PySetRumbleMotor",
           "PySetLeftDigits", "PyClose", "PySetRightDigits", "BuildEx", "PyInit_torqpanel"]


def test_module_type_method_table_final_untracked_type_and_a_second_init(native):
    assert torqpanel.__doc__ == "Manages DASHLINK device"
    assert [name for name in vars(torqpanel) if not name.startswith("__")] == ["torqline"]
    assert (torqline.__name__, torqline.__module__) == ("torqline", "torqpanel")
    assert torqpanel.__file__.endswith(".abi3" + importlib.machinery.EXTENSION_SUFFIXES[-1])
    assert [(name, value.__doc__) for name, value in vars(torqline).items()
            if not name.startswith("__")] == METHODS
    assert [name for name in EXPORTS if not hasattr(native, name)] == []
    with pytest.raises(TypeError):  # final
        type("Sub", (torqline,), {})
    assert not gc.is_tracked(torqline())
    # A second module init keeps the objects, and the wrappers check theirs.
    old = torqline()
    native.PyInit_torqpanel.restype = ctypes.py_object
    assert native.PyInit_torqpanel().torqline is torqline
    assert old.get_device_info("name") == "torqpanel"
    assert exported(native, "PySendReport")(old, ()) is None
    with pytest.raises(TypeError):
        exported(native, "PySendReport")(42, ())


NOT_INITIALISED = "Error: torqline Not initialized!"


# Without an engine: the exception or result, and what the console shows.
@pytest.mark.parametrize("method, args, outcome, printed", [
    *[(method, args, SystemError, NOT_INITIALISED) for method, args in [
        ("set_gear", ("1",)), ("show_me", ()), ("set_rpm_led", (1, 1)), ("set_warning_led", (1, 1)),
        ("set_external_led", (1, 1)), ("set_brightness", (5,)), ("load_rumble_motor", (1, 9)),
        ("set_central_panel", ("1",)), ("terminate", ()), ("get_module", ()),
        ("start_input_listener", ()), ("stop_input_listener", ())]],
    ("init", (), False, NOT_INITIALISED), ("get_input_data", (), (-4, 0, 0, 0, 0), NOT_INITIALISED),
    ("load_rumble_motor", (3, 100), None, ""),  # no such motor: not even the check
    ("get_device_info", ("version",), SystemError, NOT_INITIALISED + "\n"),
    # Arguments are parsed before the engine check.
    ("set_rpm_led", ("x", 1), TypeError, ""), ("set_brightness", (2**31,), OverflowError, ""),
    ("set_central_panel", (5,), TypeError, ""), ("show_me", (1,), TypeError, ""),
])
def test_engine_check_without_engine(method, args, outcome, printed, capfd):
    call = getattr(torqline.__new__(torqline), method)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            call(*args)
    else:
        result = call(*args)
        assert result == outcome and type(result) is type(outcome)
    assert capfd.readouterr().out == printed


def test_key_block_capsule_outlives_reinitialisation(bus):
    obj = torqline("NONE")
    address = key_address(obj)  # a capsule not named module.key raises here
    assert key_address(obj) == address and key_block(obj) == bytes(1648)
    bus.add_board(serial="K7")
    for serial in ("X", "Y", ""):
        obj.__init__(serial)
    assert obj.init() is True and key_address(obj) == address  # the later discovery writes there
    block = key_block(obj)
    assert block[12:20] == bytes([1, 0, 0, 0, 1, 0, 0, 0]) and block[608:614] == "K7\0".encode("utf-16-le")


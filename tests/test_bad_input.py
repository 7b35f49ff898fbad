"""Bad input to every method: its documented result or a clear exception, never a SystemError."""
import ctypes

import pytest

import torqsim

from conftest import exported, initialised

MB = "x" * (1 << 20)
BEYOND_32_BITS = (2**31, -2**31 - 1, 2**63, 2**64, -2**100)
NO_ARGS = ("init", "get_module", "get_input_data", "start_input_listener",
           "stop_input_listener", "show_me", "terminate")
PAIRS = ("set_rpm_led", "set_warning_led", "set_external_led", "load_rumble_motor")


class Index:
    """An integer-like object (like numpy's) whose conversion first calls `first`."""

    def __init__(self, value, first=lambda: None):
        self.value, self.first = value, first

    def __index__(self):
        self.first()
        return self.value

    def __bool__(self):
        self.first()
        return bool(self.value)


EXPLODES = Index(0, first=lambda: 1 / 0)  # ZeroDivisionError


# Each case: (args, kwargs, outcome); an exception type is refused, anything else is accepted
# with the result of the same method called with that tuple of arguments on the twin (None: no change).
def refused(error, *args, **kwargs):
    return (args, kwargs, error)


same_as = refused


def pair_cases(method):
    in_range = (2, 7) if method == "load_rumble_motor" else (2, 1)
    big_state = {"set_rpm_led": (2, 0), "set_warning_led": (2, 1),
                 "set_external_led": None, "load_rumble_motor": (2, 255)}[method]
    return [
        refused(TypeError, "1", 1), refused(TypeError, 1, b"1"), refused(TypeError, 1), refused(TypeError),
        refused(TypeError, 1, 1, 1), refused(TypeError, led=1, state=1),
        refused(TypeError, 1, 1, extra=1), refused(ZeroDivisionError, EXPLODES, 1),
        same_as(None, -2**31, 1), same_as(None, 2**31 - 1, 1),
        same_as(big_state, 2, 2**31 - 1), same_as((1, in_range[1]), True, in_range[1]),
        same_as(in_range, Index(2), Index(in_range[1])),
    ] + [refused(OverflowError, *args) for big in BEYOND_32_BITS for args in ((big, 1), (2, big))]


CASES = {name: pair_cases(name) for name in PAIRS}
CASES["set_brightness"] = [
    refused(TypeError, "1"), refused(TypeError), refused(TypeError, 1, 2), refused(TypeError, level=1),
    same_as((254,), -2**31), same_as((254,), 2**31 - 1), same_as((9,), Index(9)),
] + [refused(OverflowError, big) for big in BEYOND_32_BITS]
CASES["set_gear"] = [
    refused(TypeError, b"3"), refused(TypeError, Index(3)), refused(TypeError), refused(TypeError, "1", 2, 3),
    refused(TypeError, gear="3"), refused(ZeroDivisionError, "3", EXPLODES),
    same_as((0,), "\0" + "3"), same_as(("",), "\udfff"), same_as(("x",), MB),
    same_as(("7",), "7", point=True), same_as((0,), -2**31), same_as(("7", True), "7", 2**100),
] + [refused(OverflowError, big) for big in BEYOND_32_BITS]
CASES["set_central_panel"] = [
    refused(TypeError, 5), refused(TypeError), refused(TypeError, "1", "2"), refused(TypeError, text="1"),
    refused(ValueError, "1\x002"), refused(UnicodeEncodeError, "\ud800"), same_as(("-.---",), MB),
]
# A refused re-initialisation keeps the engine it had (a new object parses the same way).
CASES["__init__"] = [
    refused(TypeError, 5), refused(TypeError, "a", "b"), refused(ValueError, "\0"),
    refused(UnicodeEncodeError, "\ud800"), refused(TypeError, b"A1B2"),
]
CASES["get_device_info"] = [refused(TypeError, key="version")]
for _name in NO_ARGS:
    CASES[_name] = [refused(TypeError, 1), refused(TypeError, None), refused(TypeError, x=1)]
# The right panel has no method: its exported function, given the arguments as its tuple.
CASES["PySetRightDigits"] = [
    refused(TypeError, 5), refused(ValueError, "\0"), refused(UnicodeEncodeError, "\ud800"),
    refused(TypeError), refused(TypeError, "1", "2"), same_as(("-:--.---",), MB),
]
NATIVE = ["PyDev_set_gear", "PySetOneRPMLed", "PySetWarnLed", "PySetExternalLed", "PySetGlobalBrightness",
          "PySetRumbleMotor", "PySetLeftDigits", "PySetRightDigits", "PyGetDeviceInfo"]


# Every field of the display set, as (method, *args); the right panel has no method.
STATE = ([("set_rpm_led", led, int(led == 2)) for led in range(1, 10)]
         + [("set_warning_led", led, int(led == 3)) for led in range(1, 7)]
         + [("load_rumble_motor", 1, 9), ("load_rumble_motor", 2, 0), ("set_central_panel", "1.2"),
            ("set_gear", "5")])


@pytest.fixture
def twins(bus):
    """Objects on two boards with every field set alike; a twin's equivalent call keeps them alike."""
    boards = (bus.add_board(serial="ONE"), bus.add_board(serial="TWO"))
    objects = (initialised("ONE"), initialised("TWO"))
    for obj in objects:
        for method, *args in STATE:
            getattr(obj, method)(*args)
        torqsim.set_right_panel(obj, "4.5")
    assert_same_display(objects, boards)
    return objects, boards


def assert_same_display(objects, boards, case=""):
    for obj in objects:
        obj.show_me()
    assert boards[0].frames == boards[1].frames, case
    for board in boards:
        board.clear_frames()


@pytest.mark.parametrize("method", sorted(set(CASES) | set(NATIVE)))
def test_method_with_bad_input(twins, native, method):
    objects, boards = twins
    if method in NATIVE:  # an exported wrapper given no argument tuple: None is a null pointer
        extra = [ctypes.py_object] * (method == "PyDev_set_gear")  # its keywords: None
        for args in (None, ["1", 1], "12", 7):
            kind = ctypes.c_void_p if args is None else ctypes.py_object
            with pytest.raises(ValueError if method == "PyGetDeviceInfo" else TypeError):
                exported(native, method, kind, *extra)(objects[0], args, *[None] * len(extra))
            assert_same_display(objects, boards, repr(args))
    function = exported(native, method) if method.startswith("Py") else None
    calls = [getattr(obj, method, None) or (lambda *args, obj=obj: function(obj, args)) for obj in objects]
    for args, kwargs, outcome in CASES.get(method, []):
        if isinstance(outcome, type):
            with pytest.raises(outcome):  # never SystemError: none of these derives from it
                calls[0](*args, **kwargs)
        else:
            result = calls[0](*args, **kwargs)
            if method.startswith(("set_", "load_", "Py")):
                assert result is None
            if outcome is not None:
                calls[1](*outcome)
        assert_same_display(objects, boards, f"{method} {args!r:.80} {kwargs}")


@pytest.mark.parametrize("call", [
    lambda o: o.set_rpm_led(Index(2, o.__init__), 1),
    lambda o: o.load_rumble_motor(1, Index(50, o.__init__)),
    lambda o: o.set_gear("3", Index(1, o.__init__)),
    lambda o: o.set_brightness(Index(10, o.__init__)),
])
def test_engine_replaced_while_arguments_are_parsed(board, call):
    obj = initialised()
    assert call(obj) is None  # the call goes to the new engine, never to the freed one
    assert board.open_handles == 0  # the first engine was torn down
    assert obj.get_device_info("product id") == 259  # and the new one is fresh
    assert obj.init() is True

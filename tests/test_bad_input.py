"""Bad input to every method: wrong types, wrong counts, integers beyond 32 bits, texts
with zero characters or lone surrogates, 1 MB texts, keyword arguments. Each call gets
its documented result or a clear Python exception, never a SystemError on an object that
has an engine, and never a change of the display state that its documentation does not
give.

Two objects on two boards start from the same display state; one meets the bad input,
the other the documented equivalent (or nothing, for a refused call); after each case
both send their display report and the two boards must have received the same bytes."""
import ctypes

import pytest

from torqpanel import torqline

MB = "x" * (1 << 20)
BEYOND_32_BITS = (2**31, -2**31 - 1, 2**63, 2**64, -2**100)
NO_ARGS = ("init", "get_module", "get_input_data", "start_input_listener",
           "stop_input_listener", "show_me", "terminate")
PAIRS = ("set_rpm_led", "set_warning_led", "set_external_led", "load_rumble_motor")


class Explodes:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")

    def __index__(self):
        raise ZeroDivisionError("no index")


class Index:
    """An integer-like object (like numpy's), accepted wherever an int is."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def refused(error, *args, **kwargs):
    return (args, kwargs, error)


def same_as(equivalent, *args, **kwargs):
    """Accepted: the documented result is that of `equivalent` (None: no change)."""
    return (args, kwargs, equivalent)


def pair_cases(method):
    in_range = {"set_rpm_led": (2, 1), "set_warning_led": (2, 1),
                "set_external_led": (2, 1), "load_rumble_motor": (2, 7)}[method]
    big_state = {"set_rpm_led": (2, 0), "set_warning_led": (2, 1),
                 "set_external_led": None, "load_rumble_motor": (2, 255)}[method]
    cases = [
        refused(TypeError, "1", 1), refused(TypeError, 1.5, 1), refused(TypeError, None, 1),
        refused(TypeError, 1, b"1"), refused(TypeError, 1), refused(TypeError),
        refused(TypeError, 1, 1, 1), refused(TypeError, led=1, state=1),
        refused(TypeError, 1, 1, extra=1), refused(ZeroDivisionError, Explodes(), 1),
        same_as(None, -2**31, 1), same_as(None, 2**31 - 1, 1),
        same_as(big_state, 2, 2**31 - 1), same_as((1, in_range[1]), True, in_range[1]),
        same_as(in_range, Index(2), Index(in_range[1])),
    ]
    for big in BEYOND_32_BITS:
        cases += [refused(OverflowError, big, 1), refused(OverflowError, 2, big)]
    return cases


CASES = {name: pair_cases(name) for name in PAIRS}
CASES["set_brightness"] = [
    refused(TypeError, "1"), refused(TypeError, 1.0), refused(TypeError),
    refused(TypeError, 1, 2), refused(TypeError, level=1),
    same_as((254,), -2**31), same_as((254,), 2**31 - 1), same_as((9,), Index(9)),
] + [refused(OverflowError, big) for big in BEYOND_32_BITS]
CASES["set_gear"] = [
    refused(TypeError, 3.5), refused(TypeError, b"3"), refused(TypeError, None),
    refused(TypeError, Index(3)), refused(TypeError), refused(TypeError, "1", 2, 3),
    refused(TypeError, gear="3"), refused(ZeroDivisionError, "3", Explodes()),
    same_as((0,), "\0" + "3"), same_as(("7",), "\ud800" + "7"), same_as(("",), "\udfff"),
    same_as(("x",), MB), same_as(("7",), "7", point=True), same_as((0,), -2**31),
    same_as((1,), True), same_as(("7", True), "7", 2**100),
] + [refused(OverflowError, big) for big in BEYOND_32_BITS]
CASES["set_central_panel"] = [
    refused(TypeError, 5), refused(TypeError, b"12"), refused(TypeError, None),
    refused(TypeError), refused(TypeError, "1", "2"), refused(TypeError, text="1"),
    refused(ValueError, "1\x002"), refused(UnicodeEncodeError, "\ud800"),
    refused(UnicodeEncodeError, "1\udfff"),
    same_as(("-.---",), MB), same_as(("-.---",), "1" * 9),
]
CASES["get_device_info"] = [
    refused(ValueError, b"version"), refused(ValueError, 7), refused(ValueError, None),
    refused(ValueError), refused(ValueError, "version", "name"),
    refused(ValueError, "ver\0sion"), refused(ValueError, "\ud800"),
    refused(ValueError, MB), refused(TypeError, key="version"),
]
for _name in NO_ARGS:
    CASES[_name] = [refused(TypeError, 1), refused(TypeError, None), refused(TypeError, x=1)]


@pytest.fixture
def twins(bus):
    """Two initialised objects on two boards, in the same display state."""
    boards = (bus.add_board(serial="ONE"), bus.add_board(serial="TWO"))
    objects = (torqline("ONE"), torqline("TWO"))
    for obj in objects:
        assert obj.init() is True
        obj.set_rpm_led(2, 1)
        obj.set_warning_led(3, 1)
        obj.set_central_panel("1.2")
        obj.set_gear("5")
        obj.load_rumble_motor(1, 9)
    return objects, boards


def assert_same_display(objects, boards, case=""):
    for obj in objects:
        obj.show_me()
    assert boards[0].frames == boards[1].frames, case
    for board in boards:
        board.clear_frames()


@pytest.mark.parametrize("method", sorted(CASES))
def test_method_with_bad_input(twins, method):
    objects, boards = twins
    for args, kwargs, outcome in CASES[method]:
        call = getattr(objects[0], method)
        if isinstance(outcome, type):
            with pytest.raises(outcome):  # never SystemError: none of these derives from it
                call(*args, **kwargs)
        else:
            result = call(*args, **kwargs)
            if method.startswith("set_") or method == "load_rumble_motor":
                assert result is None
            if outcome is not None:
                getattr(objects[1], method)(*outcome)
        assert_same_display(objects, boards, f"{method} {args!r:.80} {kwargs}")


NULL = object()  # a null pointer where the argument tuple belongs


NATIVE = ["PyDev_set_gear", "PySetOneRPMLed", "PySetWarnLed", "PySetExternalLed",
          "PySetGlobalBrightness", "PySetRumbleMotor", "PySetLeftDigits", "PySetRightDigits",
          "PyGetDeviceInfo"]


@pytest.mark.parametrize("name", NATIVE)
def test_exported_wrapper_without_an_argument_tuple(twins, native, name):
    objects, boards = twins
    function = getattr(native, name)
    function.restype = ctypes.py_object
    keywords = [None] if name == "PyDev_set_gear" else []
    error = ValueError if name == "PyGetDeviceInfo" else TypeError
    for args in (NULL, ["1", 1], "12", 7):
        kind = ctypes.c_void_p if args is NULL else ctypes.py_object
        function.argtypes = [ctypes.py_object, kind] + [ctypes.py_object] * len(keywords)
        with pytest.raises(error):
            function(objects[0], None if args is NULL else args, *keywords)
        assert_same_display(objects, boards, repr(args))


RIGHT_PANEL = [
    ((5,), TypeError), (("\0",), ValueError), (("\ud800",), UnicodeEncodeError),
    ((), TypeError), (("1", "2"), TypeError), ((MB,), "-:--.---"), (("1" * 13,), "-:--.---"),
]


def test_right_panel_with_bad_input(twins, native):
    objects, boards = twins
    function = native.PySetRightDigits
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.py_object, ctypes.py_object]
    for args, outcome in RIGHT_PANEL:
        if isinstance(outcome, str):
            assert function(objects[0], args) is None
            function(objects[1], (outcome,))
        else:
            with pytest.raises(outcome):
                function(objects[0], args)
        assert_same_display(objects, boards, f"{args!r:.80}")


@pytest.mark.parametrize("args, error", [
    ((5,), TypeError), (("a", "b"), TypeError), (("\0",), ValueError),
    (("\ud800",), UnicodeEncodeError), ((b"A1B2",), TypeError),
])
def test_initialiser_with_bad_input(bus, args, error):
    board = bus.add_board(serial="A1B2")
    with pytest.raises(error):
        torqline(*args)
    obj = torqline()
    assert obj.init() is True
    with pytest.raises(error):
        obj.__init__(*args)  # a refused re-initialisation keeps the engine it had
    obj.show_me()
    assert len(board.frames) == 2
    assert board.open_handles == 3


@pytest.mark.parametrize("args, kwargs, opens", [
    ((MB,), {}, False), (("A1B2",), {"serial": "OTHER"}, True), ((), {"serial": "OTHER"}, True),
])
def test_initialiser_with_odd_serials(bus, capfd, args, kwargs, opens):
    board = bus.add_board(serial="A1B2")
    obj = torqline(*args, **kwargs)  # keywords are ignored
    assert obj.init() is opens
    assert board.open_handles == (3 if opens else 0)
    capfd.readouterr()


class Reinitialises(Index):
    """An integer (or truth value) whose conversion re-runs the initialiser of `obj`
    while its method is still parsing its arguments."""

    def __init__(self, obj, value):
        super().__init__(value)
        self.obj = obj

    def __index__(self):
        self.obj.__init__()
        return self.value

    def __bool__(self):
        self.obj.__init__()
        return bool(self.value)


@pytest.mark.parametrize("call", [
    lambda o: o.set_rpm_led(Reinitialises(o, 2), 1),
    lambda o: o.load_rumble_motor(1, Reinitialises(o, 50)),
    lambda o: o.set_gear("3", Reinitialises(o, 1)),
    lambda o: o.set_brightness(Reinitialises(o, 10)),
])
def test_engine_replaced_while_arguments_are_parsed(bus, call):
    board = bus.add_board()
    obj = torqline()
    assert obj.init() is True
    assert call(obj) is None  # the call goes to the new engine, never to the freed one
    assert board.open_handles == 0  # the first engine was torn down
    assert obj.get_device_info("product id") == 259  # and the new one is fresh
    assert obj.init() is True

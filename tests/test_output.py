"""Dashboard output: the bytes the board receives for every setter, checked byte for byte."""
import pytest

from torqpanel import torqline

from conftest import BLANK_DISPLAY, display, exported


def sent(dev, board):
    dev.show_me()
    return board.frames[-1]


# (text or arguments, the codes the board gets)
LEFT = [
    ("-.---", b"\xad\x2d\x2d"), ("1.2", b"\xb1\x32\x00"), (".5", b"\x35\x00\x00"),
    ("8..", b"\x38\x00\x00"), ("1.2.3.4.", b"\xb1\xb2\xb3"), ("12", b"\x31\x32\x00"),
    ("12345678", b"123"), ("123456789", b"\xad\x2d\x2d"), ("", b"\xad\x2d\x2d"),
    ("é.", b"\xc3\x29\x00"),  # UTF-8 C3 A9; the point toggles bit 7 of A9 off
    ("1:2", b"\xb1\x32\x00"),
]
RIGHT = [
    ("1:23.456", b"\xb1\xb2\xb3"), ("-:--.---", b"\xad\xad\xad"), ("12:", b"\x31\xb2\x80"),
    ("12.", b"\x31\xb2\x00"), (":7", b"\xb7\x00\x00"), ("", b"\xad\xad\xad"),
    ("123456789012", b"123"), ("1234567890123", b"\xad\xad\xad"), ("1..2", b"\xb1\x2e\x32"),
]
GEARS = [
    (("3",), 0x33), ((51,), 0x33), ((3,), 0x03), ((179,), 0xB3), ((51, True), 0xB3),
    (("N", True), 0xCE), (("",), 0x30), ((128,), 0x80), ((129,), 0x81), (("é2",), 0x32),
    ((-1,), 0xFF), ((True,), 0x01), (("R", 0), 0x52), ((300,), 0x2C),
]


# The right panel has no method: its exported function, given the arguments as its tuple.
@pytest.mark.parametrize("setter, args, changes", [
    *[("set_central_panel", (text,), dict(b2=codes, b27=codes)) for text, codes in LEFT],
    *[("PySetRightDigits", (text,), dict(b33=codes)) for text, codes in RIGHT],
    *[("set_gear", args, dict(b2=bytes([0x20, gear, 0x20]), b39=gear)) for args, gear in GEARS],
])
def test_panels_and_gear(dev, board, native, setter, args, changes):
    call = getattr(dev, setter, None) or (lambda *args: exported(native, setter)(dev, args))
    assert call(*args) is None
    assert sent(dev, board) == display(**changes)


# Each setter's own bytes change and no other; a number out of range (value None) changes
# nothing, also a byte next to where the range would end.
@pytest.mark.parametrize("setter, args, offset, value", [
    ("set_rpm_led", (1, 1), 5, 1), ("set_rpm_led", (9, 1), 13, 1),
    # The bar: anything but 1 is off; the bank and the motors clamp, negative is off.
    ("set_rpm_led", (3, 2), 7, 0), ("set_rpm_led", (3, -1), 7, 0), ("set_warning_led", (3, 2), 18, 1),
    ("set_warning_led", (3, -4), 18, 0), ("set_warning_led", (6, 1), 21, 1),
    ("load_rumble_motor", (1, 300), 14, 0xFF), ("load_rumble_motor", (2, 77), 15, 77),
    ("load_rumble_motor", (2, -5), 15, 0),
    *[(setter, args, None, None) for setter, args in (
        ("set_rpm_led", (10, 0)), ("set_rpm_led", (0, 0)), ("set_rpm_led", (-2**31, 0)),
        ("set_warning_led", (7, 1)), ("set_warning_led", (0, 0)), ("set_warning_led", (-2**31, 0)),
        ("set_external_led", (1, 1)), ("set_external_led", (7, 0)), ("set_external_led", (-5, 1)),
        ("load_rumble_motor", (3, 100)), ("load_rumble_motor", (0, 100)))],
])
def test_led_and_rumble_bytes(dev, board, setter, args, offset, value):
    # On a dark board and on one with every LED lit and both motors running, so that
    # switching on and switching off both show.
    for lit in (0, 1):
        for light, count in ((dev.set_rpm_led, 9), (dev.set_warning_led, 6), (dev.load_rumble_motor, 2)):
            for number in range(1, count + 1):
                light(number, lit)
        before = bytearray(sent(dev, board))
        assert getattr(dev, setter)(*args) is None
        if offset is not None:
            before[offset] = value
        assert sent(dev, board) == before


@pytest.mark.parametrize("level, sent_level", [(300, 0xFE), (-1, 0xFE), (0, 0), (100, 100), (254, 254)])
def test_brightness_is_sent_at_once_but_nothing_before_init(board, level, sent_level):
    obj = torqline()
    obj.set_brightness(level)
    obj.set_rpm_led(1, 1)
    obj.show_me()
    assert obj.init() is True and board.frames == [BLANK_DISPLAY]  # blanks what was set before
    obj.set_brightness(level)
    assert board.frames[1:] == [bytes([0, 2, sent_level]) + bytes(51)]

"""get_device_info: every key, before and after init, and its errors."""
import ctypes
import time

import pytest

from torqpanel import torqline

# key: (before init, after init on a board with serial A1B2 and version 0x0105)
ANSWERS = {
    "version": ("0.2.0.1 (Full)",) * 2, "name": ("torqpanel",) * 2, "type": (15, 15), "gear": (1, 1),
    "vendor id": (7634, 7634), "product id": (259, 8209), "firmware": ("", "1.05"), "digits": (3, 3),
    "panel count": (1, 1), "serial number": ("", "A1B2"), "max rpm led": (9, 9), "max warning led": (6, 6),
    "max external led": (0, 0), "brightness": (254, 254), "digital": (0, 32), "analog": (0, 9),
    "rumble motor": (2, 2), "connected": (0, 1), "device path": ("", None),  # None: the board's path
}


@pytest.mark.parametrize("key", ANSWERS)
def test_answers_before_and_after_init(board, key):
    obj = torqline()
    before, after = ANSWERS[key]
    assert obj.get_device_info(key) == before
    assert obj.init() is True
    after = board.path if after is None else after
    answers = [obj.get_device_info(spelled) for spelled in (key, key.upper())]  # keys ignore ASCII case
    assert [(answer, type(answer)) for answer in answers] == [(after, type(after))] * 2


@pytest.mark.threaded
def test_terminate_and_a_pending_write_keep_the_device(board, dev):
    assert dev.terminate() is True
    dev.show_me()
    assert (len(board.frames), board.open_handles) == (2, 3)
    board.fail("write", error=997)  # pending, unlike a failed write (the fault matrix's)
    dev.show_me()
    dev.show_me()
    assert dev.get_device_info("connected") == 1


def test_ticks_follow_the_tick_count():
    expected = ctypes.c_int32(int(time.clock_gettime(time.CLOCK_BOOTTIME) * 1000)).value
    assert abs(torqline().get_device_info("ticks") - expected) < 1000


# The key lookup itself (ASCII case, any bytes) is the info-key fuzzer's.
@pytest.mark.parametrize("args, message", [
    *[((key,), "Unknown") for key in ("version ", "", "vendor_id", "x" * 1_000_000)],
    *[(args, "Invalid") for args in ((), ("version", "name"), (b"version",), (7,), (None,),
                                     ("ver\0sion",), ("\ud800",))],
])
def test_unknown_keys_and_invalid_arguments(args, message):
    with pytest.raises(ValueError, match=f"^{message} parameter for get_device_info$"):
        torqline().get_device_info(*args)

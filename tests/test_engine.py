"""Engine lifecycle: init, its failure report, re-initialisation and teardown."""
import gc
import os

import pytest

from torqpanel import torqline

from conftest import BLANK_DISPLAY

NOT_FOUND = "Error error: no supported device found, init failed! #1001\n F:init\n\n"


def test_init_without_board_reports_and_can_be_retried(bus, capfd):
    obj = torqline()
    assert obj.init() is False
    assert capfd.readouterr().out == NOT_FOUND
    board = bus.add_board()
    assert obj.init() is True
    assert board.frames == [BLANK_DISPLAY]
    assert capfd.readouterr().out == ""


def test_init_twice_runs_discovery_once(board):
    obj = torqline()
    assert obj.init() is True
    board.unplug()  # a second pass would find nothing
    assert obj.init() is True
    assert len(board.frames) == 1


def test_delete_blanks_then_closes(board):
    obj = torqline()
    obj.init()
    obj.set_rpm_led(1, 1)
    obj.show_me()
    assert board.open_handles == 3
    del obj
    gc.collect()
    assert board.frames[-1] == BLANK_DISPLAY
    assert len(board.frames) == 3
    assert board.open_handles == 0


def test_second_initialiser_call_tears_the_first_engine_down(board):
    obj = torqline()
    obj.init()
    obj.__init__("OTHER")
    assert board.open_handles == 0
    assert board.frames[-1] == BLANK_DISPLAY
    # The new engine is fresh: not initialised, its own serial filter.
    assert obj.get_device_info("product id") == 259
    assert obj.init() is False


def test_two_objects_own_separate_engines(bus):
    first_board = bus.add_board(serial="ONE")
    second_board = bus.add_board(serial="TWO")
    first, second = torqline("ONE"), torqline("TWO")
    assert first.init() and second.init()
    first.set_central_panel("111")
    second.set_central_panel("222")
    first.show_me()
    second.show_me()
    assert first_board.frames[-1][27:30] == b"111"
    assert second_board.frames[-1][27:30] == b"222"


def test_terminate_keeps_the_device_open(dev, board):
    assert dev.terminate() is True
    dev.show_me()
    assert len(board.frames) == 2
    assert board.open_handles == 3


def _resident_kb():
    with open(f"/proc/{os.getpid()}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


@pytest.mark.slow
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_create_init_delete_cycles_leave_nothing_behind(bus):
    board = bus.add_board()
    threads = len(os.listdir("/proc/self/task"))
    descriptors = len(os.listdir("/proc/self/fd"))
    for cycle in range(250):
        obj = torqline()
        assert obj.init() is True
        if cycle == 50:
            baseline = _resident_kb()
        del obj
    assert board.open_handles == 0
    assert len(os.listdir("/proc/self/task")) == threads
    assert len(os.listdir("/proc/self/fd")) == descriptors
    if not _sanitized():  # the sanitizers' allocators keep freed memory in quarantine
        assert _resident_kb() - baseline < 2048


def _sanitized():
    with open("/proc/self/maps") as maps:
        return any(name in maps.read() for name in ("libasan", "libtsan"))

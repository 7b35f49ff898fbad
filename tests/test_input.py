"""Controller input: the listener thread, the decoder and get_input_data."""
import gc
import time

import pytest

from torqpanel import torqline

from conftest import wait_until

pytestmark = pytest.mark.threaded


def report(buttons=0, switches=(0,) * 6, s8=0, s7=0, s9=0):
    """A 22-byte input report, report-ID byte first."""
    data = bytearray(22)
    data[1:5] = buttons.to_bytes(4, "little")
    for i, value in enumerate(switches):
        data[5 + 2 * i] = value
    data[17:19] = s8.to_bytes(2, "little", signed=True)
    data[19:21] = s7.to_bytes(2, "little", signed=True)
    data[21] = s9
    return bytes(data)


@pytest.fixture
def listening(dev):
    assert dev.start_input_listener() is True
    assert wait_until(lambda: dev.get_input_data() is not None)
    yield dev
    if dev.get_input_data() is not None:
        dev.stop_input_listener()


def events(dev, board, *reports, timeout=5.0):
    """Sends the reports one at a time, each after the previous one has been decoded,
    and returns the event that each of them produced."""
    seen = []
    for data in reports:
        before = dev.get_input_data()
        board.send_input(data)
        wait_until(lambda: dev.get_input_data()[:4] != before[:4], timeout)
        seen.append(dev.get_input_data()[:4])
    return seen


def test_first_poll_of_the_first_run(listening):
    assert listening.get_input_data() == (0, 0, 0, 0, 0)


@pytest.mark.parametrize("sequence, expected", [
    # button 11 alone: its bit position within byte 2 is 2, reported as value 3
    ([report(buttons=1 << 10), report()], [(15, 1, 11, 3), (15, 1, 11, 0)]),
    ([report(s9=0xF3), report(s9=0)], [(15, 0, 9, 3), (15, 0, 9, -240)]),
    ([report(s7=-1)], [(15, 0, 7, -1)]),
    ([report(s8=-32768)], [(15, 0, 8, -32768)]),
    ([report(switches=(0, 7, 0, 0, 9, 0)), report(switches=(0, 7, 0, 0, 9, 0), buttons=1)],
     [(15, 0, 2, 7), (15, 0, 5, 9)]),
])
def test_event_sequences(listening, board, sequence, expected):
    assert events(listening, board, *sequence) == expected


def test_switch_reported_at_255_is_retired_for_the_run(listening, board):
    assert events(listening, board, report(switches=(255,)))[0] == (15, 0, 1, 255)
    board.send_input(report(switches=(3,), s9=1))  # switch 1 ignored, switch 9 reported
    assert wait_until(lambda: listening.get_input_data()[:4] == (15, 0, 9, -239))


@pytest.mark.parametrize("sequence, expected", [
    # Button 2 pressed and released while button 1 stays held: the changed button is
    # reported each time, not the held one again.
    ([0b01, 0b11, 0b01, 0b00], [(15, 1, 1, 1), (15, 1, 2, 2), (15, 1, 2, 0), (15, 1, 1, 0)]),
    # Buttons 2 and 3 at once (reported from two reports), then 2 released.
    ([0b110, (0b110, 1), (0b100, 1)], [(15, 1, 2, 2), (15, 1, 3, 3), (15, 1, 2, 0)]),
])
def test_several_buttons_of_one_byte(listening, board, sequence, expected):
    reports = [report(buttons=b) if isinstance(b, int) else report(buttons=b[0], s9=b[1])
               for b in sequence]
    assert events(listening, board, *reports) == expected


def test_held_button_does_not_starve_later_fields(listening, board):
    seen = events(listening, board, report(buttons=0b01), report(buttons=0b11),
                  report(buttons=0b11, s9=2))
    assert seen == [(15, 1, 1, 1), (15, 1, 2, 2), (15, 0, 9, -238)]


def test_switches_7_and_8_in_one_report(listening, board):
    board.send_input(report(s7=100, s8=-200))
    assert wait_until(lambda: listening.get_input_data()[:4] == (15, 0, 7, 100))
    board.send_input(report(s7=100, s8=-200, buttons=1 << 31))  # a new report reaches the field
    assert wait_until(lambda: listening.get_input_data()[:4] == (15, 1, 32, 8))
    board.send_input(report(s7=100, s8=-200, buttons=1 << 31, s9=5))
    assert wait_until(lambda: listening.get_input_data()[:4] == (15, 0, 8, -200))


def test_latest_event_and_changed_flag(listening, board):
    board.send_input(report(buttons=4))
    board.send_input(report())
    # Only the latest event is kept; whichever poll first sees the release says changed.
    seen = [listening.get_input_data()]
    while seen[-1][:4] != (15, 1, 3, 0):
        time.sleep(0.02)
        seen.append(listening.get_input_data())
    assert seen[-1][4] == 1
    assert listening.get_input_data() == (15, 1, 3, 0, 0)


def test_repeated_report_is_one_event(listening, board):
    board.send_input(report(buttons=1))
    assert wait_until(lambda: listening.get_input_data() == (15, 1, 1, 1, 1))
    board.send_input(report(buttons=1))
    time.sleep(0.05)
    assert listening.get_input_data() == (15, 1, 1, 1, 0)


def test_short_reports_are_never_decoded(listening, board):
    board.send_input(report(buttons=1)[:21])
    board.send_input(report(s9=1))
    assert wait_until(lambda: listening.get_input_data()[:4] == (15, 0, 9, -239))


@pytest.mark.parametrize("call, message", [
    (lambda o: o.start_input_listener(), "Manager is not running."),
    (lambda o: o.stop_input_listener(), "Manager is not running."),
])
def test_listener_needs_init(bus, call, message):
    with pytest.raises(RuntimeError, match=message):
        call(torqline())


def test_start_twice_and_stop_without_start(dev):
    with pytest.raises(RuntimeError, match="Failed to stop input event thread."):
        dev.stop_input_listener()
    assert dev.start_input_listener() is True
    with pytest.raises(RuntimeError, match="Failed to start input event thread."):
        dev.start_input_listener()
    wait_until(lambda: dev.get_input_data() is not None)
    assert dev.stop_input_listener() is True
    assert dev.get_input_data() is None


def test_restart_begins_with_an_empty_snapshot(dev, board):
    dev.start_input_listener()
    wait_until(lambda: dev.get_input_data() is not None)
    board.send_input(report(buttons=2))
    assert wait_until(lambda: dev.get_input_data() == (15, 1, 2, 2, 1))
    dev.stop_input_listener()
    dev.start_input_listener()
    polls = []
    assert wait_until(lambda: polls.append(dev.get_input_data()) or polls[-1] is not None)
    # The empty snapshot differs from the event returned last: changed once.
    assert polls[-1] == (0, 0, 0, 0, 1)
    assert dev.get_input_data() == (0, 0, 0, 0, 0)
    board.send_input(report(buttons=2))  # the held button is reported again in the new run
    assert wait_until(lambda: dev.get_input_data() == (15, 1, 2, 2, 1))


def test_unplugged_board_keeps_the_last_snapshot(listening, board):
    board.send_input(report(buttons=8))
    assert wait_until(lambda: listening.get_input_data()[:4] == (15, 1, 4, 4))
    board.unplug()
    time.sleep(0.05)
    assert listening.get_input_data()[:4] == (15, 1, 4, 4)
    assert listening.stop_input_listener() is True


@pytest.mark.parametrize("how", ["stop", "terminate", "delete"])
def test_stopping_a_silent_board_is_fast(board, how):
    dev = torqline()
    dev.init()
    dev.start_input_listener()
    wait_until(lambda: dev.get_input_data() is not None)
    time.sleep(0.05)  # the listener is now waiting inside a read
    started = time.monotonic()
    if how == "stop":
        assert dev.stop_input_listener() is True
    elif how == "terminate":
        assert dev.terminate() is True
    else:
        del dev
        gc.collect()
    # A read waits up to 2 s; stopping wakes it instead of sitting that out.
    assert time.monotonic() - started < 1.0
    assert board.open_handles == (0 if how == "delete" else 3)


def test_delete_while_listening_closes_the_device(bus):
    board = bus.add_board()
    for _ in range(20):
        obj = torqline()
        obj.init()
        obj.start_input_listener()
        board.send_input(report(buttons=1))
        del obj
        assert board.open_handles == 0

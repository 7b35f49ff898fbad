"""Controller input: the listener thread, the decoder and get_input_data."""
import time

import pytest

from torqpanel import torqline

from conftest import wait_until

pytestmark = pytest.mark.threaded


def report(buttons=0, switches=(0,) * 6, s8=0, s7=0, s9=0, size=22):
    """An input report, report-ID byte first (22 bytes unless cut short)."""
    data = bytearray(22)
    data[1:5] = buttons.to_bytes(4, "little")
    for i, value in enumerate(switches):
        data[5 + 2 * i] = value
    data[17:19] = s8.to_bytes(2, "little", signed=True)
    data[19:21] = s7.to_bytes(2, "little", signed=True)
    data[21] = s9
    return bytes(data[:size])


def listen(dev):
    """Starts the listener; returns its first snapshot."""
    assert dev.start_input_listener() is True
    return wait_until(dev.get_input_data)


@pytest.fixture
def listening(dev):
    assert listen(dev) == (0, 0, 0, 0, 0)  # the first poll of the first run: no change
    yield dev
    dev.stop_input_listener()


@pytest.mark.parametrize("sequence, expected", [
    # button 11 alone: its bit position within byte 2 is 2, reported as value 3
    ([report(buttons=1 << 10), report()], [(15, 1, 11, 3), (15, 1, 11, 0)]),
    ([report(s9=0xF3), report(s9=0)], [(15, 0, 9, 3), (15, 0, 9, -240)]),
    ([report(s7=-1), report(s7=-1, s8=-32768)], [(15, 0, 7, -1), (15, 0, 8, -32768)]),
    # one event a report, the first field that differs: switches, buttons, 7, 8, 9
    ([report(switches=(0, 7, 0, 0, 9, 0)), report(switches=(0, 7, 0, 0, 9, 0), buttons=1)],
     [(15, 0, 2, 7), (15, 0, 5, 9)]),
    ([report(s7=100, s8=-200), report(s7=100, s8=-200, buttons=1 << 31),
      report(s7=100, s8=-200, buttons=1 << 31, s9=5)], [(15, 0, 7, 100), (15, 1, 32, 8), (15, 0, 8, -200)]),
    # a switch reported at 255 is retired for the run
    ([report(switches=(255,)), report(switches=(3,), s9=1)], [(15, 0, 1, 255), (15, 0, 9, -239)]),
    # the button that changed is reported, not a held one of the same byte, and a held
    # button does not starve later fields
    ([report(buttons=b) for b in (0b01, 0b11, 0b01, 0b00)],
     [(15, 1, 1, 1), (15, 1, 2, 2), (15, 1, 2, 0), (15, 1, 1, 0)]),
    ([report(buttons=0b110), report(buttons=0b110, s9=1), report(buttons=0b100, s9=1)],
     [(15, 1, 2, 2), (15, 1, 3, 3), (15, 1, 2, 0)]),
    ([report(buttons=0b01), report(buttons=0b11), report(buttons=0b11, s9=2)],
     [(15, 1, 1, 1), (15, 1, 2, 2), (15, 0, 9, -238)]),
    ([report(buttons=1, size=21), report(s9=1)], [None, (15, 0, 9, -239)]),  # short: never decoded
])
def test_event_sequences(listening, board, sequence, expected):
    """Each report is sent once the previous one has been decoded (or, when cut short,
    without waiting); the event it produced is recorded."""
    seen = []
    for data in sequence:
        before = listening.get_input_data()
        board.send_input(data)
        if len(data) < 22:
            seen.append(None)
            continue
        wait_until(lambda: listening.get_input_data()[:4] != before[:4])
        seen.append(listening.get_input_data()[:4])
    assert seen == expected


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


def test_listener_calls_out_of_order(board):
    obj = torqline()
    for call in (obj.start_input_listener, obj.stop_input_listener):
        with pytest.raises(RuntimeError, match="Manager is not running."):
            call()
    assert obj.init() is True
    with pytest.raises(RuntimeError, match="Failed to stop input event thread."):
        obj.stop_input_listener()
    assert obj.start_input_listener() is True
    with pytest.raises(RuntimeError, match="Failed to start input event thread."):
        obj.start_input_listener()
    wait_until(obj.get_input_data)
    assert obj.stop_input_listener() is True
    assert obj.get_input_data() is None


def test_restart_begins_with_an_empty_snapshot(listening, board):
    board.send_input(report(buttons=2))
    assert wait_until(lambda: listening.get_input_data() == (15, 1, 2, 2, 1))
    listening.stop_input_listener()
    # The empty snapshot differs from the event returned last: changed once.
    assert listen(listening) == (0, 0, 0, 0, 1)
    assert listening.get_input_data() == (0, 0, 0, 0, 0)
    board.send_input(report(buttons=2))  # the held button is reported again in the new run
    assert wait_until(lambda: listening.get_input_data() == (15, 1, 2, 2, 1))


def test_delete_while_input_arrives_closes_the_device(board):
    for _ in range(5):
        obj = torqline()
        obj.init()
        obj.start_input_listener()
        board.send_input(report(buttons=1))
        del obj
        assert board.open_handles == 0


def test_stop_or_delete_right_after_start(board):
    # Before the new thread has run a line: the stop must neither fail nor be undone.
    obj = torqline()
    assert obj.init() is True
    for _ in range(200):
        assert obj.start_input_listener() is True and obj.stop_input_listener() is True
    for _ in range(20):
        other = torqline()
        other.init()
        other.start_input_listener()
        del other
        assert board.open_handles == 3  # obj's only

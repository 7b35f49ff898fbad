"""Controller input: the listener thread, the decoder and get_input_data."""
import pytest

from torqpanel import torqline

from conftest import sees, wait_until

pytestmark = pytest.mark.threaded


def report(buttons=0, switches=(0,) * 6, s8=0, s7=0, s9=0, size=22):
    """An input report, report-ID byte first (22 bytes unless cut short)."""
    data = b"\0" + buttons.to_bytes(4, "little") + b"".join(bytes([s, 0]) for s in (*switches, *[0] * 5)[:6])
    data += s8.to_bytes(2, "little", signed=True) + s7.to_bytes(2, "little", signed=True) + bytes([s9])
    return data[:size]


@pytest.mark.parametrize("sequence, expected", [
    # What one field's bytes mean is the decoder fuzzer's; here, which event a report gives.
    # one event a report, the first field that differs: switches, buttons, 7, 8, 9
    ([report(switches=(0, 7, 0, 0, 9, 0)), report(switches=(0, 7, 0, 0, 9, 0), buttons=1)],
     [(15, 0, 2, 7), (15, 0, 5, 9)]),
    ([report(s7=100, s8=-200), report(s7=100, s8=-200, buttons=1 << 31),
      report(s7=100, s8=-200, buttons=1 << 31, s9=5)], [(15, 0, 7, 100), (15, 1, 32, 8), (15, 0, 8, -200)]),
    # a switch reported at 255 is retired for the run
    ([report(switches=(255,)), report(switches=(3,), s9=1)], [(15, 0, 1, 255), (15, 0, 9, -239)]),
    # the button that changed is reported, not a held one of the same byte, and a held
    # button does not starve later fields
    ([report(buttons=b, s9=s9) for b, s9 in ((0b01, 0), (0b11, 0), (0b11, 2), (0b01, 2), (0b00, 2))],
     [(15, 1, 1, 1), (15, 1, 2, 2), (15, 0, 9, -238), (15, 1, 2, 0), (15, 1, 1, 0)]),
    ([report(buttons=0b110), report(buttons=0b110, s9=1), report(buttons=0b100, s9=1)],
     [(15, 1, 2, 2), (15, 1, 3, 3), (15, 1, 2, 0)]),
    ([report(buttons=1, size=21), report(s9=1)], [None, (15, 0, 9, -239)]),  # short: never decoded
])
def test_event_sequences(listening, board, sequence, expected):
    for data, event in zip(sequence, expected):  # a short report's absence shows in the next event
        before = listening.get_input_data()[:4]
        board.send_input(data)
        if event:
            wait_until(lambda: listening.get_input_data()[:4] != before)
            assert listening.get_input_data()[:4] == event


def test_listener_calls_out_of_order_and_a_restart(board):
    obj = torqline()
    for call in (obj.start_input_listener, obj.stop_input_listener):
        with pytest.raises(RuntimeError, match="Manager is not running."):
            call()
    assert obj.init() is True
    with pytest.raises(RuntimeError, match="Failed to stop input event thread."):
        obj.stop_input_listener()
    # A stop before the new thread has run a line: neither failed nor undone, and the empty
    # snapshot already there (a delete is the soak's churn).
    for _ in range(200):
        assert obj.start_input_listener() is True and obj.get_input_data() == (0, 0, 0, 0, 0)
        assert obj.stop_input_listener() is True
    assert obj.start_input_listener() is True
    with pytest.raises(RuntimeError, match="Failed to start input event thread."):
        obj.start_input_listener()
    board.send_input(report(buttons=2))
    assert sees(obj, (15, 1, 2, 2, 1))
    assert obj.stop_input_listener() is True
    assert obj.get_input_data() is None
    # A restart begins with the empty snapshot, which differs from the event returned
    # last: changed once. (That a backlog is skipped to its newest report is the kernel tests'.)
    assert obj.start_input_listener() is True
    assert wait_until(obj.get_input_data) == (0, 0, 0, 0, 1)
    assert obj.get_input_data() == (0, 0, 0, 0, 0)
    board.send_input(report(buttons=2))  # the held button is reported again in the new run
    assert sees(obj, (15, 1, 2, 2, 1))


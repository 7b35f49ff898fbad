"""Output and input reports through hidraw, against the emulated kernel: frames byte for
byte, the report-ID byte and report boundaries on reads, unplugging, fast stops."""
import time

import pytest

from torqsim import BOARD_DESCRIPTOR

pytestmark = pytest.mark.threaded

# The board's descriptor with report ID 1 on every report: the device then sends the ID
# byte itself, and nothing may be put in front of it.
NUMBERED = BOARD_DESCRIPTOR[:6] + bytes([0x85, 0x01]) + BOARD_DESCRIPTOR[6:]

SEQUENCE = """
d.set_gear(52)
d.set_central_panel("-:--.8")
d.set_external_led(2, 1)
for led in (1, 4, 9):
    d.set_rpm_led(led, 1)
d.set_warning_led(6, 1)
d.load_rumble_motor(1, 200)
d.load_rumble_motor(2, 7)
d.show_me()
d.set_brightness(50)
d.set_rpm_led(4, 0)
d.show_me()
del d
"""


def data(buttons=0, switch1=0, s9=0, length=21):
    """An input report as the board sends it: no report-ID byte."""
    report = bytearray(length)
    report[0:4] = buttons.to_bytes(4, "little")
    report[4] = switch1
    report[20] = s9
    return bytes(report)


@pytest.fixture
def board(kernel, agent):
    kernel.add_board(0, serial="A1B2")
    agent.run("d = torqpanel.torqline()")
    assert agent.eval("d.init()") is True
    return 0


@pytest.fixture
def listening(agent, board):
    assert agent.eval("d.start_input_listener()") is True
    assert agent.wait_until("d.get_input_data() is not None")
    return board


def test_frames_byte_for_byte(kernel, agent, board):
    """What the board receives through hidraw is what a virtual board receives."""
    agent.run(SEQUENCE)
    agent.run("import torqsim\n"
              "with torqsim.VirtualBus() as bus:\n"
              "    virtual = bus.add_board()\n"
              "    d = torqpanel.torqline()\n"
              "    d.init()\n" + "\n".join("    " + line for line in SEQUENCE.strip().splitlines())
              + "\n    frames = [bytes(f) for f in virtual.frames]\n")
    expected = agent.eval("frames")
    assert len(expected) == 5 and all(len(f) == 54 for f in expected)
    assert kernel.frames(board) == expected


@pytest.mark.parametrize("descriptor, prefix", [(BOARD_DESCRIPTOR, b""), (NUMBERED, b"\x01")],
                         ids=["no-ids", "numbered"])
@pytest.mark.parametrize("extra", [0, 40], ids=["exact", "longer"])  # cut to the input length
def test_report_id_byte_and_boundaries(kernel, agent, descriptor, prefix, extra):
    kernel.add_board(0, descriptor=descriptor)
    agent.run("d = torqpanel.torqline()\nd.init()\nd.start_input_listener()")
    assert agent.wait_until("d.get_input_data() is not None")
    # Two reports queued at once stay two reports, each decoded on its own.
    kernel.send(0, prefix + data(switch1=5, length=21 + extra),
                prefix + data(switch1=5, buttons=1 << 10, length=21 + extra))
    assert agent.wait_until("d.get_input_data()[:4] == (15, 1, 11, 3)")
    kernel.send(0, prefix + data(switch1=5, buttons=1 << 10, s9=0xF3, length=21 + extra))
    assert agent.wait_until("d.get_input_data()[:4] == (15, 0, 9, 3)")
    agent.run("d.stop_input_listener()")


def test_listener_keeps_only_the_newest_reports(kernel, agent, board):
    """Like the Windows driver with two input buffers: a backlog is skipped, not replayed
    one report per listener cycle (hidraw itself would queue 64 and drop the newest)."""
    kernel.send(board, *[data(switch1=value) for value in range(1, 41)])
    agent.run("d.start_input_listener()")
    seen = agent.eval("watch_switch(d, 1, 40)")
    assert seen and seen[-1] == 40 and min(seen) >= 39, seen
    assert kernel.counts(board)["queued"] == 0
    agent.run("d.stop_input_listener()")


def test_unplug_while_reading(kernel, agent, listening):
    """The node of an unplugged board shows POLLIN beside POLLERR|POLLHUP while a report
    is still queued: the waiting read fails without taking it, and closes the channel."""
    kernel.send(listening, data(buttons=8))
    assert agent.wait_until("d.get_input_data()[:4] == (15, 1, 4, 4)")  # now waiting again
    before = kernel.counts(listening)
    kernel.unplug(listening, data(buttons=2))
    time.sleep(0.2)  # the hang-up wakes the waiting read at once; give it time to go wrong
    assert agent.eval("d.get_input_data()[:4]") == (15, 1, 4, 4)
    assert kernel.counts(listening) == dict(before, queued=1)  # not even read
    assert agent.eval("d.get_device_info('connected')") == 0  # what torqdash watches
    agent.run("d.show_me()")
    assert kernel.counts(listening)["writes"] == before["writes"]  # not even tried
    assert agent.eval("d.stop_input_listener()") is True


def test_unplug_while_writing_and_plugging_back(kernel, agent, board):
    kernel.unplug(board)
    for _ in range(3):
        agent.run("d.show_me()")
    assert kernel.counts(board)["writes"] == 2  # the blank display at init, one failure
    assert agent.eval("d.get_device_info('connected')") == 0
    kernel.add_board(1, serial="A1B2")
    agent.run("del d\nd = torqpanel.torqline()")
    assert agent.eval("d.init()") is True
    assert agent.eval("(d.get_device_info('device path'), d.get_device_info('connected'))") == (
        "/dev/hidraw1", 1)
    agent.run("d.show_me()")
    assert len(kernel.frames(1)) == 2


@pytest.mark.parametrize("how", ["d.stop_input_listener()", "d.terminate()", "del d"])
def test_stopping_a_silent_board_is_fast(agent, listening, how):
    # A read waits up to 2 s; stopping wakes it instead of sitting that out.
    elapsed = agent.eval(f"(time.sleep(0.05), time.monotonic(), exec({how!r}), time.monotonic())")
    assert elapsed[3] - elapsed[1] < 1.0

"""Every bus failure and an unplug at each point of a host program's life: no crash, hang, leak."""
import faulthandler
import os
import threading
import time

import pytest

import torqsim
from torqpanel import torqline

from conftest import BLANK_DISPLAY, display, initialised, sees, wait_until

pytestmark = pytest.mark.threaded

PHASES = ("init", "setters", "listening", "teardown")
FAULTS = torqsim.BUS_FAILURES + torqsim.DEVICE_FAILURES + ("unplug",)
# Steps that only discovery takes: failing them later changes nothing.
DISCOVERY = ("enumerate", "detail", "open_query", "open_write", "open_read", "attributes")

REPORT_A = bytes([0, 0b01]) + bytes(20)  # button 1 pressed
REPORT_B = bytes([0, 0b11]) + bytes(20)  # button 2 pressed as well
EVENT_A, EVENT_B = (15, 1, 1, 1), (15, 1, 2, 2)
# The display report after set_rpm_led(1, 1) and set_central_panel("1.2").
SHOWN = display(b2=b"\xb1\x32\x00", b5=1, b27=b"\xb1\x32\x00")
NOT_FOUND = "Error error: no supported device found, init failed! #1001\n F:init\n\n"


def expected_outcome(fault, phase):
    """What the program sees when `fault` strikes as `phase` begins. A failed write or wait
    clears the connection: later writes are dropped, the listener idles; an unplug fails both."""
    struck = PHASES.index(phase)
    lost = struck == 0 and (fault in DISCOVERY or fault == "unplug")  # nothing is opened
    # The program's writes and reads in order, with the phase each belongs to: a step gets
    # through unless the fault has struck by then and breaks it, or broke an earlier one.
    # (init's blank report, show_me, the reads before and after the fault of the listening
    # phase, the late show_me, teardown's blank report.)
    outcome = {"opened": not lost}
    for name, step_phase, kind in [("blank_at_init", "init", "write"), ("shown", "setters", "write"),
                                   ("decoded_a", "setters", "wait"), ("decoded_b", "listening", "wait"),
                                   ("late", "listening", "write"), ("blanked", "teardown", "write")]:
        lost = lost or (struck <= PHASES.index(step_phase) and fault in ("unplug", kind))
        outcome[name] = not lost
    if fault == "preparsed" and phase == "init":
        outcome.update(decoded_a=False, decoded_b=False)  # no capabilities: every read has length 0
    if fault == "unplug" and phase in ("setters", "listening"):
        outcome["decoded_b"] = None  # an unplugged board sends nothing
        if phase == "setters":
            outcome["decoded_a"] = None
    if fault == "wait" and phase == "teardown":
        outcome["blanked"] = None  # the listener's failed read races with the blank report
    return outcome


@pytest.fixture(scope="module", autouse=True)
def watchdog():
    """A hang prints every thread's traceback; armed once, so its thread is in every count."""
    faulthandler.dump_traceback_later(900, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def task_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("phase", PHASES)
@pytest.mark.parametrize("fault", FAULTS)
def test_fault_during_a_host_programs_life(bus, board, fault, phase, capfd):
    expect = expected_outcome(fault, phase)
    threads = task_count()
    quiet = 0.3  # a negative answer waits this long; a positive one comes as soon as it is true

    target = bus if fault in torqsim.BUS_FAILURES else board

    def strike(now):
        if now == phase:
            board.unplug() if fault == "unplug" else target.fail(fault)

    obj = torqline()
    strike("init")
    assert obj.init() is expect["opened"]
    assert capfd.readouterr().out == ("" if expect["opened"] else NOT_FOUND)
    assert board.frames == ([BLANK_DISPLAY] if expect["blank_at_init"] else [])
    board.clear_frames()

    obj.set_rpm_led(1, 1)
    obj.set_central_panel("1.2")
    strike("setters")
    obj.show_me()
    assert board.frames == ([SHOWN] if expect["shown"] else [])

    if expect["opened"]:
        assert obj.start_input_listener() is True
        assert wait_until(obj.get_input_data)  # the first snapshot
        for report, event, decoded, then in ((REPORT_A, EVENT_A, expect["decoded_a"], "listening"),
                                              (REPORT_B, EVENT_B, expect["decoded_b"], None)):
            if decoded is not None:
                board.send_input(report)
                assert sees(obj, event, 5 if decoded else quiet) is decoded
            strike(then)
        if not expect["decoded_b"]:
            # A lost board keeps the last snapshot, and the listener keeps running (a
            # failed `sees` has waited already).
            kept = EVENT_A if expect["decoded_a"] else (0, 0, 0, 0)
            if expect["decoded_b"] is None:
                time.sleep(quiet)
            assert obj.get_input_data()[:4] == kept
        board.clear_frames()
        obj.show_me()
        assert (len(board.frames), obj.get_device_info("connected")) == (expect["late"],) * 2
        assert obj.stop_input_listener() is True
        assert obj.start_input_listener() is True  # still running when the object goes

    board.clear_frames()
    strike("teardown")
    del obj
    if expect["blanked"] is not None:
        assert board.frames == ([BLANK_DISPLAY] if expect["blanked"] else [])
    assert board.open_handles == 0
    assert wait_until(lambda: task_count() == threads)
    assert capfd.readouterr().out == ""


# How a stalled write ends (time-out, the board reading again, unplug) is the kernel tests';
# here, a second thread's call while a show_me waits on a stalled board: whether it must
# wait for the write, and the reports the board then gets, whole and in order, after it.
SECOND_CALLS = {
    "show_me": (lambda obj: obj.show_me(), True, [SHOWN]),
    "set_brightness": (lambda obj: obj.set_brightness(9), True, [bytes([0, 2, 9]) + bytes(51)]),
    "__init__": (lambda obj: obj.__init__(), True, [BLANK_DISPLAY]),
    "init": (lambda obj: obj.init(), False, []),
    "terminate": (lambda obj: obj.terminate(), False, []),
    "delete": (None, False, [BLANK_DISPLAY]),  # the stalled call's reference: deallocation follows it
}


@pytest.mark.parametrize("second", SECOND_CALLS)
def test_calls_during_a_stalled_write_wait_for_it(bus, board, second):
    call, waits, after = SECOND_CALLS[second]
    obj = initialised()
    assert obj.start_input_listener() is True
    obj.set_rpm_led(1, 1)
    obj.set_central_panel("1.2")
    board.clear_frames()
    board.stall(timeout=30)  # a module that keeps the interpreter lock fails, not hangs
    (first := threading.Thread(target=obj.show_me)).start()
    assert wait_until(lambda: board.stalled_writes == 1)
    other = threading.Thread(target=call or (lambda: None), args=(obj,) if call else ())
    if call is None:
        del obj
    other.start()
    if waits:
        time.sleep(0.05)  # time for a call that does not wait to go wrong
        assert other.is_alive() and board.stalled_writes == 1 and board.frames == []
    else:
        other.join()
    board.resume()
    first.join()
    other.join()
    assert board.frames == [SHOWN] + after and board.timed_out_writes == 0
    assert board.open_handles == (0 if second in ("__init__", "delete") else 3)

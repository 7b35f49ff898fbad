"""Every command-line program we ship ends quietly when its output is closed early (a real
pipe into a reader that stops) and on Ctrl-C."""
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import child_env

PROGRAMS = {
    "demo": "torqsim demo --fps 0 --board virtual", "torqdash": "torqdash outgauge --virtual --port {port}",
    "run a program that prints": "torqsim run {tmp}/printer.py",
    "run a program that does not": "torqsim run {root}/examples/shift_light.py",
    "snapshot": "torqsim snapshot {tmp}/out.svg --frames {frames}",
}


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("name, closed, status", [(name, True, 141) for name in PROGRAMS] + [
    ("demo", False, 0), ("run a program that does not", False, 0),  # its end: the example's own handler
    ("snapshot", False, 130), ("torqdash", False, 0),
])
def test_closed_output_or_ctrl_c_ends_the_program_quietly(tmp_path, name, closed, status):
    (tmp_path / "printer.py").write_text("import itertools\nfor n in itertools.count(): print('line', n)\n")
    port = free_port()
    fill = dict(tmp=tmp_path, root=Path(__file__).parents[1], frames=300 if closed else 100000, port=port)
    args = [arg.format(**fill) for arg in PROGRAMS[name].split()]
    process = subprocess.Popen([sys.executable, "-m", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # as a shell
    try:
        if name != "snapshot":  # (which prints one line, at its end)
            process.stdout.readline()  # it runs
        if closed:
            process.stdout.close()  # the reader stops, as `| head -1` does
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
                for gear in range(3000):  # OutGauge's, each a new gear: torqdash writes on a change
                    if process.poll() is not None:
                        break
                    game.sendto(bytes(10) + bytes([gear % 8 + 1]) + bytes(81), ("127.0.0.1", port))
                    time.sleep(0.02)
        else:  # in its loop by then (snapshot's output so far: the guard line, as this process holds it)
            process.stdout.read(1 if name == "snapshot" else 0)
            time.sleep(1)
            process.send_signal(signal.SIGINT)
        error = process.communicate(timeout=60)[1]  # (its output read on: a full pipe would hold it up)
    finally:
        process.kill()
        process.wait()
    assert (process.returncode, error) == (status, b""), error
    assert closed or name != "snapshot" or not (tmp_path / "out.svg").exists()  # interrupted, it leaves none


@pytest.mark.parametrize("args, error", [
    (["run"], "the following arguments are required: PROGRAM.py\n"),  # not ARGS, which is optional
    (["demo", "--fps", "-1"], "argument --fps: must be a number from 0 up, not '-1'"),
    (["run", "--hold", "nan", "x.py"], "argument --hold: must be a number from 0 up"),
    (["snapshot", "out.svg", "--frames", "3", "--report", "0006"], "not allowed with argument --frames"),
])
def test_bad_command_lines(tmp_path, args, error):
    result = subprocess.run([sys.executable, "-m", "torqsim", *args], cwd=tmp_path, env=child_env(),
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and error in result.stderr and "Traceback" not in result.stderr

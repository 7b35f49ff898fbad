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

ROOT = Path(__file__).resolve().parent.parent
SHIFT_LIGHT = str(ROOT / "examples" / "shift_light.py")
PRINTER = "import itertools\nfor n in itertools.count():\n    print('line', n)\n"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def command(name, tmp_path, frames=300):
    """The program to run; torqdash's needs a port, told by its last argument."""
    (tmp_path / "printer.py").write_text(PRINTER)
    return {
        "demo": ["torqsim", "demo", "--fps", "0", "--board", "virtual"],
        "run a program that prints": ["torqsim", "run", str(tmp_path / "printer.py")],
        "run a program that does not": ["torqsim", "run", SHIFT_LIGHT],
        "snapshot": ["torqsim", "snapshot", str(tmp_path / "out.svg"), "--frames", str(frames)],
        "torqdash": ["torqdash", "outgauge", "--virtual", "--port", str(free_port())],
    }[name]


def start(args):
    # SIGINT as in a shell, even when this run ignores it.
    return subprocess.Popen([sys.executable, "-m", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def feed_torqdash(args, process, seconds=30.0):
    """OutGauge packets to the program until it ends (it writes only when the board changes)."""
    port = int(args[-1])
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        deadline, gear = time.monotonic() + seconds, 0
        while process.poll() is None and time.monotonic() < deadline:
            packet = bytearray(92)
            packet[10] = gear = gear % 8 + 1  # a new gear each time: a new report
            sender.sendto(bytes(packet), ("127.0.0.1", port))
            time.sleep(0.02)


PROGRAMS = ["demo", "run a program that prints", "run a program that does not", "snapshot", "torqdash"]


@pytest.mark.parametrize("name", PROGRAMS)
def test_closed_output_ends_the_program_quietly(tmp_path, name):
    args = command(name, tmp_path)
    process = start(args)
    try:
        if name != "snapshot":  # (which writes one line, at its end)
            process.stdout.readline()
        process.stdout.close()  # the reader stops, as `| head -1` does
        if name == "torqdash":
            feed_torqdash(args, process)
        status = process.wait(timeout=60)
        error = process.stderr.read().decode()
    finally:
        process.kill()
        process.wait()
    assert (status, error) == (141, "")


@pytest.mark.parametrize("name, expected", [
    ("demo", 0), ("run a program that does not", 0),  # its end: the example's own handler
    ("snapshot", 130), ("torqdash", 0),
])
def test_ctrl_c_ends_the_program_quietly(tmp_path, name, expected):
    args = command(name, tmp_path, frames=100000)
    process = start(args)
    try:
        # It runs: its first output. For snapshot, which prints only at its end, the module's
        # guard line, printed as this process holds the guard too.
        process.stdout.read(1)
        time.sleep(0.3)
        process.send_signal(signal.SIGINT)
        out, error = process.communicate(timeout=60)
    finally:
        process.kill()
        process.wait()
    assert (process.returncode, error.decode()) == (expected, "")
    assert name != "snapshot" or not (tmp_path / "out.svg").exists()  # an interrupted snapshot leaves none


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

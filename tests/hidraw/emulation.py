"""The two processes of a hidraw test: the emulated kernel (emulator.py, under an
interpreter with umockdev's GObject bindings) and the program under test (agent.py, an
interpreter with torqpanel started inside that kernel through umockdev's preload library).
The benchmark bench/hidraw_frame.py uses them too.
"""
import ast
import json
import os
import pathlib
import select
import subprocess
import sys
import time

import torqpanel
from torqsim import BOARD_DESCRIPTOR

HERE = pathlib.Path(__file__).parent
TIMEOUT = 60.0  # generous: the sanitizer builds are slow
GI_CHECK = "import gi; gi.require_version('UMockdev', '1.0'); from gi.repository import UMockdev"
BOARD = dict(vid=0x1DD2, pid=0x2011, descriptor=BOARD_DESCRIPTOR)


class LineChannel:
    """JSON lines to a process's stdin, JSON lines back from `fd`, with a deadline."""

    def __init__(self, process, fd, what):
        self.process, self.fd, self.what = process, fd, what
        self.buffer = b""

    def receive(self, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError(f"{self.what} did not answer within {timeout} s")
            chunk = os.read(self.fd, 65536)
            if not chunk:
                raise EOFError(f"{self.what} ended (exit status {self.process.wait()})")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def request(self, message, timeout=TIMEOUT):
        self.process.stdin.write((json.dumps(message) + "\n").encode())
        self.process.stdin.flush()
        return self.receive(timeout)


def _finish(process):
    if process.stdin:
        process.stdin.close()
    try:
        return process.wait(TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


class EmulatedKernel:
    """The emulated kernel's commands (emulator.Kernel), one process per test."""

    def __init__(self, python):
        # It runs no code of ours: no sanitizer runtime, no module path of this build.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
        self.process = subprocess.Popen([python, str(HERE / "emulator.py")], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.channel = LineChannel(self.process, self.process.stdout.fileno(), "the emulated kernel")
        hello = self.channel.receive()
        self.root, self.preload = hello["root"], hello["preload"]

    def _call(self, op, **arguments):
        answer = self.channel.request(dict(op=op, **arguments))
        if "error" in answer:
            raise RuntimeError(f"emulated kernel: {answer['error']}")
        return answer["ok"]

    def add(self, number, vid, pid, descriptor, serial=None, version=0x0100, bus="usb"):
        """A hidraw device numbered `number`; returns its node path."""
        return self._call("add", number=number, vid=vid, pid=pid, descriptor=bytes(descriptor).hex(),
                          serial=serial, version=version, bus=bus)

    def add_board(self, number, **details):
        return self.add(number, **{**BOARD, **details})

    def send(self, number, *reports):
        """Input reports as the device sends them: no report-ID byte unless numbered."""
        assert self._call("send", number=number, reports=[bytes(r).hex() for r in reports])

    def frames(self, number):
        return [bytes.fromhex(f) for f in self._call("frames", number=number)]

    def counts(self, number):
        return self._call("counts", number=number)

    def unplug(self, number, *left_behind):
        """Reports in `left_behind` arrived just before; the node still holds them."""
        self._call("unplug", number=number, left_behind=[bytes(r).hex() for r in left_behind])

    def refuse(self, number):
        self._call("refuse", number=number)

    def vanish(self, number):
        self._call("vanish", number=number)

    def close(self):
        _finish(self.process)


class Agent:
    """An interpreter with torqpanel inside the emulated kernel; see agent.py."""

    def __init__(self, kernel, directory, without_dac=False):
        answers, child_end = os.pipe()
        preloads = [os.environ.get("LD_PRELOAD", ""), kernel.preload]  # a sanitizer first
        site = str(pathlib.Path(torqpanel.__file__).parent)
        env = dict(os.environ, UMOCKDEV_DIR=kernel.root, LD_PRELOAD=" ".join(p for p in preloads if p),
                   PYTHONPATH=os.pathsep.join(filter(None, [site, os.environ.get("PYTHONPATH")])))
        # A sanitizer writing its report to a log file crashes inside the emulated
        # kernel; its report goes to this program's standard error instead, which the
        # test reads.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
            if name in env:
                env[name] = ":".join(option for option in env[name].split(":")
                                     if not option.startswith("log_path="))
        command = [sys.executable, str(HERE / "agent.py"), str(child_end)]
        if without_dac:
            # As root, permission bits bind only without these capabilities.
            command = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"] + command
        self.console_path = directory / "console.txt"
        self.errors_path = directory / "stderr.txt"
        with open(self.console_path, "wb") as out, open(self.errors_path, "wb") as err:
            self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=out,
                                            stderr=err, pass_fds=[child_end])
        os.close(child_end)
        self.channel = LineChannel(self.process, answers, "the program under test")
        self.answers = answers
        self._answer(self.channel.receive())  # torqpanel imported

    def _answer(self, answer):
        if "error" in answer:
            raise AssertionError(f"in the program under test:\n{answer['error']}")
        return answer["value"]

    def run(self, source):
        """Runs statements in the program under test."""
        self._answer(self.channel.request({"exec": source}))

    def eval(self, expression):
        """The value of an expression in the program under test (literals only)."""
        text = self._answer(self.channel.request({"eval": expression}))
        return ast.literal_eval(text)

    def console(self):
        return self.console_path.read_text(errors="replace")

    def wait_until(self, expression, timeout=10.0):
        """Polls an expression in the program under test until it is true; its last value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.eval(expression)
            if value or time.monotonic() > deadline:
                return value
            time.sleep(0.005)

    def close(self):
        status = _finish(self.process)
        os.close(self.answers)
        return status

    def errors(self):
        return self.errors_path.read_text(errors="replace")


def find_gi_python():
    """An interpreter that has umockdev's GObject bindings, or None."""
    for candidate in (sys.executable, "/usr/bin/python3"):
        if os.path.exists(candidate) and subprocess.run(
                [candidate, "-c", GI_CHECK], capture_output=True).returncode == 0:
            return candidate
    return None

"""BuildEx and the single-instance guard: the console lines of the library."""
import ctypes
import shutil
import subprocess
import sys

import pytest


@pytest.fixture(scope="module")
def build_ex(native):
    function = native.BuildEx
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.c_char_p, ctypes.c_int] + [ctypes.c_char_p] * 4
    return function


@pytest.mark.parametrize("args, printed", [
    ((b"m", 7, None, None, None, None), "Error m #7\n\n"),
    ((b"m", -1, None, None, None, None), "Error m #-1\n\n"),
    ((b"boom", 1001, b"init", b"d1", None, None), "Error boom #1001\n F:init\n\n"),
    ((b"boom", 2, None, b"d1", b"d2", None), "Error boom #2\n P1:d1\n\n"),
    ((b"boom", 3, None, None, b"d2", b"d3"), "Error boom #3\n P2:d2\n\n"),
    ((b"boom", 4, None, None, None, b"d3"), "Error boom #4\n P3:d3\n\n"),
])
def test_build_ex_lines(build_ex, capfd, args, printed):
    assert build_ex(*args) is False
    assert capfd.readouterr().out == printed


def test_build_ex_replaces_the_previous_text(build_ex, capfd):
    build_ex(b"first", 1, b"fn", None, None, None)
    build_ex(b"second", 2, None, None, None, None)
    assert capfd.readouterr().out.split("\n\n")[1] == "Error second #2"


def test_build_ex_never_overruns_its_buffers(build_ex, capfd):
    assert build_ex(b"m" * 1000, 5, b"f" * 1000, None, None, None) is False
    text = capfd.readouterr().out
    assert text.startswith("Error mmm") and len(text) <= len("Error ") + 255 + 1


# The guard's name lives in the abstract socket space of a network namespace, so each
# scenario runs in a fresh namespace of its own, away from this test process.
needs_namespace = pytest.mark.skipif(
    shutil.which("unshare") is None
    or subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0,
    reason="needs unshare -n (a private network namespace)")

SCENARIO = """
import subprocess, sys
# In "crash-leaving-child" the holder has started a program that outlives it.
child = "import os; os.system('sleep 3 >/dev/null 2>&1 &'); " if sys.argv[1] == "crash-leaving-child" else ""
holder = subprocess.Popen([sys.executable, "-c",
    "import torqpanel, sys; " + child + "print('ready', flush=True); sys.stdin.read()"],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
assert holder.stdout.readline() == "ready\\n"
if sys.argv[1].startswith("crash"):
    holder.kill()
    holder.wait()
second = subprocess.run([sys.executable, "-c", "import torqpanel"],
                        capture_output=True, text=True).stdout
if not sys.argv[1].startswith("crash"):
    holder.stdin.close()
    print(repr(holder.stdout.read()))
    holder.wait()
print(repr(second))
"""


@needs_namespace
@pytest.mark.parametrize("mode, expected", [
    ("live", ["''", "'Kavro Engine already running!'"]),
    ("crash", ["''"]),
    ("crash-leaving-child", ["''"]),  # the guard is not handed down to other programs
])
def test_single_instance_guard(mode, expected):
    result = subprocess.run(["unshare", "-n", sys.executable, "-c", SCENARIO, mode],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected

"""BuildEx and the single-instance guard: the console lines of the library."""
import ctypes
import os
import subprocess
import sys

import pytest


# The first of function, detail1..3 that is given is printed; the code is signed; a
# composition is cut at 255 characters, and the next one starts afresh.
@pytest.mark.parametrize("args, printed", [
    pytest.param((b"m" * 1000, 5, b"f" * 1000, None, None, None), "Error " + "m" * 255 + "\n", id="long"),
    ((b"m", -1, None, None, None, None), "Error m #-1\n\n"),
    ((b"boom", 1001, b"init", b"d1", None, None), "Error boom #1001\n F:init\n\n"),
    ((b"boom", 2, None, b"d1", b"d2", None), "Error boom #2\n P1:d1\n\n"),
    ((b"boom", 3, None, None, b"d2", b"d3"), "Error boom #3\n P2:d2\n\n"),
    ((b"boom", 4, None, None, None, b"d3"), "Error boom #4\n P3:d3\n\n"),
])
def test_build_ex_lines(native, capfd, args, printed):
    build_ex, text = native.BuildEx, ctypes.c_char_p
    build_ex.restype, build_ex.argtypes = ctypes.py_object, [text, ctypes.c_int, text, text, text, text]
    assert build_ex(*args) is False
    assert capfd.readouterr().out == printed


# As with a named mutex, every process that loads the library holds the guard while it
# runs, whichever was first, and programs it starts do not. A holder runs until its input
# ends; the "cat" it starts (an exec'd program, so no holder) reads that same input.
HOLDER = ("import subprocess, sys, torqpanel; subprocess.Popen(['cat'], stdout=subprocess.DEVNULL); "
          "print('ready', flush=True); sys.stdin.read()")


@pytest.mark.parametrize("kill_first", [False, True])
def test_single_instance_guard(tmp_path, kill_first):
    env = dict(os.environ, XDG_RUNTIME_DIR=str(tmp_path))  # away from this test process
    processes, printed = [], []

    def start():
        processes.append(subprocess.Popen([sys.executable, "-c", HOLDER], env=env, text=True,
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE))
        printed.append(processes[-1].stdout.readline())

    start()
    start()
    first = processes[0]
    first.kill() if kill_first else first.stdin.close()
    first.wait()  # a killed first leaves its cat running on its input to the end
    start()
    for process in processes[1:]:
        process.communicate()  # ends its input, waits
    start()
    processes[-1].communicate()
    first.stdin.close()
    first.stdout.close()
    assert printed == ["ready\n", *["Kavro Engine already running!ready\n"] * 2, "ready\n"]

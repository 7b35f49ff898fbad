"""Fixtures of the hidraw tests: an emulated kernel and the program under test inside it
(see emulation.py). They skip, with the reason, when umockdev or its Python bindings are
missing (Debian: apt-get install umockdev gir1.2-umockdev-1.0 python3-gi); .ci/run
installs them.
"""
import os
import shutil
import subprocess
import sys

import pytest

from .emulation import Agent, EmulatedKernel, find_gi_python


@pytest.fixture(scope="session")
def gi_python():
    if not sys.platform.startswith("linux"):
        pytest.skip("the hidraw backend is Linux only")
    python = find_gi_python()
    if python is None:
        pytest.skip("umockdev's Python bindings are missing "
                    "(apt-get install umockdev gir1.2-umockdev-1.0 python3-gi)")
    return python


@pytest.fixture
def kernel(gi_python):
    emulated = EmulatedKernel(gi_python)
    if emulated.preload is None:
        emulated.close()
        pytest.skip("umockdev's preload library (libumockdev-preload.so.0) is missing")
    yield emulated
    emulated.close()


@pytest.fixture
def agent(kernel, tmp_path):
    """The program under test; it must end cleanly (a sanitizer report fails the test)."""
    program = Agent(kernel, tmp_path)
    yield program
    status = program.close()
    assert status == 0, f"the program under test ended with {status}:\n{program.errors()}"


@pytest.fixture
def agent_without_dac(kernel, tmp_path):
    """The program under test, bound by file permissions even when run as root."""
    if os.geteuid() == 0 and (shutil.which("setpriv") is None or subprocess.run(
            ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--", "true"],
            capture_output=True).returncode != 0):
        pytest.skip("running as root, and setpriv cannot drop CAP_DAC_OVERRIDE here")
    program = Agent(kernel, tmp_path, without_dac=os.geteuid() == 0)
    yield program
    status = program.close()
    assert status == 0, f"the program under test ended with {status}:\n{program.errors()}"

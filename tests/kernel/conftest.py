"""Fixtures of the kernel tests, run as root in vm.py's guest: a missing need fails, never skips."""
import itertools
import os
import pathlib

import pytest

import torqpanel
from torqsim import BOARD_DESCRIPTOR

from gadget import Gadget

_names = itertools.count()


@pytest.fixture(scope="session", autouse=True)
def guest():
    problems = [what for what, missing in (
        ("root", os.geteuid() != 0), ("configfs gadgets", not pathlib.Path("/sys/kernel/config/usb_gadget").is_dir()),
        ("two dummy_hcd ports", len(list(pathlib.Path("/sys/class/udc").glob("dummy_udc.*"))) < 2)) if missing]
    if problems:
        pytest.fail("the kernel tests run in the guest of tests/kernel/vm.py; missing: " + ", ".join(problems))


@pytest.fixture
def plug(tmp_path):
    """Plugs in gadgets (a board unless told otherwise) with their firmware served."""
    made = []

    def make(serial="A1B2", descriptor=BOARD_DESCRIPTOR, port=0, firmware=True, **ids):
        made.append(Gadget(f"g{next(_names)}", descriptor, serial=serial, udc=f"dummy_udc.{port}",
                           serve=tmp_path if firmware else None, **ids))
        return made[-1]
    yield make
    for gadget in reversed(made):
        gadget.remove()


@pytest.fixture
def board(plug):
    return plug()


@pytest.fixture
def dash(board):
    obj = torqpanel.torqline()
    assert obj.init() is True
    assert len(board.firmware.frames(1)) == 1  # init's blank display
    yield obj
    del obj

"""Discovery, identity and capabilities through hidraw, against the emulated kernel."""
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import torqpanel
from torqsim import BOARD_DESCRIPTOR

from .emulation import Agent, EmulatedKernel

KEYBOARD = bytes.fromhex("05010906a101050719e029e71500250175019508810295067508150025650500"
                         "190029658100c0")
MOUSE = bytes.fromhex("05010902a1010901a100050919012903150025019503750181029505810105010930"
                      "09311581257f750895028106c0c0")
WINDOWS = json.loads((pathlib.Path(__file__).parent.parent / "data" / "windows_caps.json").read_text())


def init(agent, serial=None):
    agent.run(f"d = torqpanel.torqline({'' if serial is None else repr(serial)})")
    return agent.eval("d.init()")


@pytest.mark.parametrize("layout, serial, opened, summary", [
    ([], None, None, (1, 0, "")),
    ([("board", 0, "A1")], None, 0, (1, 1, "A1")),
    ([("keyboard", 0, None), ("mouse", 1, None), ("board", 2, "A1")], None, 2, (3, 1, "A1")),
    # By device number, not by name: hidraw2 comes before hidraw10.
    ([("board", 10, "LATE"), ("board", 2, "EARLY")], None, 2, (1, 1, "EARLY")),
    # Two boards: the serial number picks the second; the first is opened and refused.
    ([("board", 0, "S1"), ("board", 1, "S2")], "S2", 1, (2, 1, "S2")),
    ([("board", 0, "S1"), ("board", 1, "S2")], "S3", None, (3, 0, "")),
])
def test_enumeration(kernel, agent, layout, serial, opened, summary):
    for kind, number, board_serial in layout:
        if kind == "board":
            kernel.add_board(number, serial=board_serial)
        else:
            kernel.add(number, vid=0x046D, pid=0xC31C if kind == "keyboard" else 0xC077,
                       descriptor=KEYBOARD if kind == "keyboard" else MOUSE)
    assert init(agent, serial) is (opened is not None)
    assert agent.eval("key_summary(d)") == summary
    for kind, number, _ in layout:
        # Only the opened board is ever written to (its blank display).
        assert len(kernel.frames(number)) == (1 if number == opened else 0)
    if opened is not None:
        assert agent.eval("d.get_device_info('device path')") == f"/dev/hidraw{opened}"


@pytest.mark.parametrize("bus, version, serial, firmware, shown_serial", [
    ("usb", 0x0105, "A1B2", "1.05", "A1B2"),
    ("usb", 0x0A0B, "Ünï-7", "a.0b", "Ünï-7"),  # HID_UNIQ is UTF-8
    ("usb", 0xFFFF, None, "ff.ff", ""),
    # No version in sysfs for Bluetooth: not the USB adapter's above it.
    ("bluetooth", 0x0105, "aa:bb:cc:dd:ee:ff", "0.00", "aa:bb:cc:dd:ee:ff"),
])
def test_identity_from_sysfs(kernel, agent, bus, version, serial, firmware, shown_serial):
    kernel.add_board(3, serial=serial, version=version, bus=bus)
    assert init(agent) is True
    info = agent.eval("[d.get_device_info(k) for k in "
                      "('device path', 'serial number', 'firmware', 'digital', 'analog')]")
    assert info == ["/dev/hidraw3", shown_serial, firmware, 32, 9]


@pytest.mark.parametrize("trouble, program", [("vanish", "agent"), ("refuse", "agent_without_dac")])
def test_unusable_node_is_passed_over(request, kernel, trouble, program):
    agent = request.getfixturevalue(program)
    kernel.add_board(0, serial="FIRST")
    kernel.add_board(1, serial="SECOND")
    getattr(kernel, trouble)(0)
    assert init(agent) is True
    assert agent.eval("key_summary(d)") == (2, 1, "SECOND")
    assert kernel.frames(0) == [] and len(kernel.frames(1)) == 1


def test_refused_board_alone_is_not_found(kernel, agent_without_dac):
    kernel.add_board(0)
    kernel.refuse(0)
    assert init(agent_without_dac) is False
    assert "no supported device found" in agent_without_dac.console()


@pytest.fixture(scope="module")
def windows_world(gi_python, tmp_path_factory):
    """One emulated kernel with a device per Windows dump, and one program inside it."""
    kernel = EmulatedKernel(gi_python)
    if kernel.preload is None:
        kernel.close()
        pytest.skip("umockdev's preload library (libumockdev-preload.so.0) is missing")
    for number, entry in enumerate(WINDOWS):
        kernel.add(number, vid=entry["vendor_id"], pid=entry["product_id"],
                   descriptor=bytes.fromhex(entry["descriptor"]))
    # The whole device of one of them: hidraw hands over all its collections.
    whole = next(e for e in WINDOWS if e["name"] == "046D_B010_0001_000C")
    kernel.add(len(WINDOWS), vid=0x046D, pid=0xB010,
               descriptor=bytes.fromhex(whole["whole_device_descriptor"]))
    kernel.add_board(len(WINDOWS) + 1)
    agent = Agent(kernel, tmp_path_factory.mktemp("windows"))
    yield agent
    assert agent.close() == 0, agent.errors()
    kernel.close()


def windows_summary(entry):
    kinds = [entry[k] for k in ("input", "output", "feature")]
    return dict(
        lengths=tuple(k["report_byte_length"] for k in kinds),
        counts=tuple(n for k in kinds for n in (k["number_button_caps"], k["number_value_caps"])),
        top=(entry["usage_page"], entry["usage"], entry["link_collection_nodes"]),
        input_buttons=[(c["report_id"], c["usage_page"], c["usage_min"], c["usage_max"], c["is_range"])
                       for c in entry["input"]["button_caps"]])


@pytest.mark.parametrize("number", range(len(WINDOWS) + 1),
                         ids=[e["name"] for e in WINDOWS] + ["whole_046D_B010"])
def test_capabilities_match_windows(windows_world, number):
    name = "046D_B010_0002_0001" if number == len(WINDOWS) else WINDOWS[number]["name"]
    expected = windows_summary(next(e for e in WINDOWS if e["name"] == name))
    assert windows_world.eval(f"interface_caps('/dev/hidraw{number}')") == expected


def test_board_capabilities(windows_world):
    caps = windows_world.eval(f"interface_caps('/dev/hidraw{len(WINDOWS) + 1}')")
    assert caps["lengths"] == (22, 54, 0)
    assert caps["counts"][:2] == (1, 9)
    assert caps["input_buttons"] == [(0, 9, 1, 32, 1)]


def test_module_reads_are_not_fortified():
    """umockdev's preload sees read() but not glibc's __read_chk, which a build with
    _FORTIFY_SOURCE calls instead: such a build would read the real /sys and /dev."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm (binutils)")
    symbols = subprocess.run([nm, "-D", "--undefined-only", torqpanel.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert "read" in symbols and "__read_chk" not in symbols


def test_this_machine_without_a_board():
    """The real kernel of the machine the tests run on: no board, whatever else."""
    nodes = sorted(pathlib.Path("/sys/class/hidraw").glob("hidraw*"))
    for node in nodes:
        uevent = (node / "device" / "uevent").read_text() if (node / "device").exists() else ""
        if ":00001DD2:00002011" in uevent.upper():
            pytest.skip("a board is attached to this machine")
    script = ("import ctypes, torqpanel\n"
              "d = torqpanel.torqline()\n"
              "print(d.init())\n"
              "get = ctypes.pythonapi.PyCapsule_GetPointer\n"
              "get.restype = ctypes.c_void_p\n"
              "get.argtypes = [ctypes.py_object, ctypes.c_char_p]\n"
              "print(int.from_bytes(ctypes.string_at(get(d.get_module(), b'module.key') + 12, 4), 'little'))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(pathlib.Path(torqpanel.__file__).parent), os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-2:] == ["False", str(len(nodes) + 1)]

"""The type stubs: installed, true to the module, and mypy passing on the Python code with them."""
import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import torqpanel

pytest.importorskip("mypy")

STUB = Path(torqpanel.__file__).with_name("torqpanel.pyi")


def mypy(*args, cwd, tool="mypy"):
    """(status, output) of mypy or a tool of it; leaks of mypy's own are not ours to report."""
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    options = ["--no-error-summary", "--cache-dir", os.devnull] if tool == "mypy" else []
    result = subprocess.run([sys.executable, "-m", tool, *options, *args], cwd=cwd,
                            capture_output=True, text=True, timeout=300, env=env)
    return result.returncode, result.stdout + result.stderr


def test_stubs_beside_the_module_and_as_package_true_to_it_and_its_docstrings(tmp_path):
    assert STUB.read_bytes() == STUB.with_name("torqpanel-stubs").joinpath("__init__.pyi").read_bytes()
    cls = next(node for node in ast.parse(STUB.read_text()).body if isinstance(node, ast.ClassDef))
    docs = {node.name: ast.get_docstring(node) for node in cls.body if isinstance(node, ast.FunctionDef)}
    for name in docs.keys() - {"__init__"}:  # (an overload's last: the one with the docstring)
        assert docs[name].split("\n")[0].startswith(getattr(torqpanel.torqline, name).__doc__), name
    status, output = mypy("torqpanel", cwd=tmp_path, tool="mypy.stubtest")
    assert status == 0, output


def test_mypy_sees_the_installed_stubs(tmp_path):
    (tmp_path / "user.py").write_text("\n".join([
        "import torqpanel", "dash = torqpanel.torqline()", "reveal_type(dash.init())",
        "reveal_type(dash.get_input_data())", "reveal_type(dash.get_device_info('serial number'))",
        "reveal_type(dash.get_device_info('max rpm led'))", "dash.set_rpm_led('1', 1)",
        "dash.set_gear(3, point=True)", "dash.set_right_panel('1:23.456')", ""]))
    status, output = mypy("user.py", cwd=tmp_path)
    said = output.replace("builtins.", "").splitlines()
    revealed = [line.split('"')[1] for line in said if ": note: Revealed type" in line]
    assert status == 1 and [line[8] for line in said if ": error:" in line] == ["7", "8", "9"], output
    assert revealed[0] == "bool" and revealed[2:] == ["str", "int"] and "None" in revealed[1], output
    assert "int, int, int, int, int" in revealed[1]


@pytest.mark.parametrize("target", [["examples"], ["-p", "torqsim"], ["-p", "torqdash"],
                                    ["--platform", "win32", "-p", "torqdash"]])  # its Windows code
def test_mypy_passes_on_the_examples_the_simulator_and_torqdash(target):
    # The packages as installed, also when a wheel is under test.
    status, output = mypy("--strict", *target, cwd=Path(__file__).parents[1])
    assert status == 0, output

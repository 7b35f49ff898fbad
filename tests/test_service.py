"""torqdash's log lines, its service (systemd units, Windows shortcut), the udev rule: in temporary roots."""
import fcntl
import os
import pathlib
import shutil
import struct
import subprocess
import sys

import pytest

from conftest import wait_until
from torqdash.app import main as torqdash_main
from torqdash.service import (LINK_CLSID, ServiceError, install_shortcut, install_unit, remove_shortcut,
                              remove_unit, shortcut, torqdash_arguments)
from torqdash.status import StatusLines
from torqsim import udev_rule

ODD = "A B\"%$\\"  # a serial number with everything an ExecStart line must quote


@pytest.mark.parametrize("every, expected", [
    (0.0, [(0, "a"), (1, "b"), (2, "c"), (6, "d"), (11, "e")]),
    (5.0, [(0, "a"), (5, "c (after 1 more since the last line)"), (10, "d"), (11, "e")]),
])
def test_status_lines_at_most_one_every_few_seconds(every, expected):
    now, written = [0.0], []
    status = StatusLines(lambda text: written.append((now[0], text)), every, lambda: now[0])
    for at, text in [(0, "a"), (1, "b"), (2, "c"), (6, "d"), (11, "e")]:
        while (due := status.wake_in()) is not None and now[0] + due <= at:  # the app wakes when one is due
            now[0] += due
            status.pump()
        now[0] = at
        status.say(text)
    status.flush()  # at the end, a held line goes out at once
    assert written == expected


@pytest.mark.parametrize("args, expected", [
    (["outgauge", "--serial", ODD, "--port", "4445"], ["outgauge", "--port", "4445", "--serial", ODD]),
    (["forza", "--layout", "{layout}"], ["forza", "--layout", "{abs_layout}"]),  # the service runs elsewhere
    (["f1", "--forward", "rig:7000", "--forward", "[::1]:5606", "--no-status"],  # each given again
     ["f1", "--forward", "rig:7000", "--forward", "[::1]:5606", "--no-status"]),
    (["f1", "--virtual"], "--virtual draws in a terminal"), (["nosuchgame"], "unknown source 'nosuchgame'"),
    (["f1", "--layout", "/nonexistent.toml"], "bad layout file /nonexistent.toml"),
])
def test_the_service_runs_torqdash_options_as_checked(tmp_path, monkeypatch, args, expected):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "dash.toml").write_text('units = "mph"\n')
    fill = {"{layout}": "dash.toml", "{abs_layout}": str(tmp_path / "dash.toml")}
    args = [fill.get(arg, arg) for arg in args]
    if isinstance(expected, str):
        with pytest.raises(ServiceError, match=expected):
            torqdash_arguments(args)
    else:
        assert torqdash_arguments(args) == [fill.get(arg, arg) for arg in expected]


def tool_environment(**changes):
    """Another program's: without the sanitizers' runtime that a sanitizer run of this suite preloads."""
    return {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"} | changes


@pytest.mark.parametrize("system", [False, True])
def test_units_install_into_a_root_verify_and_remove(tmp_path, capsys, system):
    args, environ = torqdash_arguments(["f1", "--bind", "0.0.0.0", "--serial", ODD]), {"HOME": "/home/ann"}
    path = install_unit(args, system, run_as="daemon", root=str(tmp_path), run=None, environ=environ)
    folder = "etc/systemd/system" if system else "home/ann/.config/systemd/user"
    assert path == tmp_path / folder / "torqdash.service"
    text, out = path.read_text(), capsys.readouterr().out
    assert f'ExecStart={sys.executable} -m torqdash f1 --bind 0.0.0.0 --serial "A B\\"%%$$\\\\"\n' in text
    assert ("Restart=always" in text and "SuccessExitStatus=143" in text
            and ("User=daemon" in text) == system and ("WantedBy=multi-user.target" in text) == system)
    assert "not run with --root: systemctl" in out and f"journalctl {'--user ' * (not system)}-u" in out
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed (Debian: systemd)")
    (runtime := tmp_path / "runtime").mkdir(mode=0o700)  # a user manager's checks want one
    verify = subprocess.run(["systemd-analyze", *["--user"] * (not system), "verify", str(path)], text=True,
                            capture_output=True, env=tool_environment(XDG_RUNTIME_DIR=str(runtime)))
    assert verify.returncode == 0 and path.name not in verify.stderr, verify.stderr  # systemd's own check
    assert remove_unit(system, root=str(tmp_path), run=None, environ=environ) == path and not path.exists()


def test_install_and_remove_tell_systemd(tmp_path):
    calls, environ = [], {"HOME": str(tmp_path)}

    def run(command, status=0):
        calls.append(" ".join(command))
        return subprocess.CompletedProcess(command, status, "", "Failed to connect to bus")

    assert install_unit(["f1"], False, run=run, environ=environ, euid=1000).is_file()
    assert remove_unit(False, run=run, environ=environ) == tmp_path / ".config/systemd/user/torqdash.service"
    assert calls == [f"systemctl --user {words}" for words in ("daemon-reload", "enable torqdash.service",
                     "restart torqdash.service", "disable --now torqdash.service", "daemon-reload")]
    for system, euid, error in [(False, 1000, "restart torqdash.service failed: Failed to connect to bus"),
                                (True, 1000, "run it as root"), (False, 0, "as root, install a system unit")]:
        with pytest.raises(ServiceError, match=error):
            install_unit(["f1"], system, run=lambda words: run(words, "restart" in words), environ=environ,
                         euid=euid)


def test_service_command_line(tmp_path, capsys):
    assert torqdash_main(["service", "print", "f1", "--port", "20778"]) == 0
    assert "ExecStart=" in capsys.readouterr().out
    assert torqdash_main(["service", "remove", "--root", str(tmp_path)]) == 0
    assert "none installed" in capsys.readouterr().out
    with pytest.raises(SystemExit) as exited:
        torqdash_main(["service", "install", "f1", "--port", "0"])
    assert exited.value.code == 2 and "not a port" in capsys.readouterr().err


def test_windows_startup_shortcut(tmp_path, capsys):
    environ = {"APPDATA": r"C:\Users\Zoë Ann\AppData\Roaming", "USERPROFILE": r"C:\Users\Zoë Ann"}
    path = install_shortcut(["f1", "--layout", r"C:\Users\Zoë Ann\my dash.toml"], str(tmp_path), environ,
                            python=r"C:\Python312\python.exe")
    assert path == tmp_path / "Users/Zoë Ann/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Startup" \
        / "torqdash.lnk"
    data = path.read_bytes()  # [MS-SHLLINK]: the header and its flags; what Wine runs (below) in UTF-16
    assert struct.unpack_from("<I16sI", data) == (76, LINK_CLSID.bytes_le, 0x2F6)
    for text in [r"C:\Python312\pythonw.exe", r'-m torqdash f1 --layout "C:\Users\Zoë Ann\my dash.toml"',
                 r"C:\Users\Zoë Ann"]:
        assert struct.pack("<H", len(text)) + text.encode("utf-16-le") in data
    assert "pythonw.exe -m torqdash f1" in capsys.readouterr().out
    assert remove_shortcut(str(tmp_path), environ) == path and not path.exists()


def test_wine_runs_the_shortcut(tmp_path):
    """Wine's shell, another reader of shortcuts, runs the target with its arguments in the working folder."""
    wine = "/usr/lib/wine/wine64" if os.access("/usr/lib/wine/wine64", os.X_OK) else shutil.which("wine64")
    if wine is None:
        pytest.skip("Wine is not installed (Debian: wine64)")
    cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache")
    prefix = pathlib.Path(os.environ.get("TORQ_WINEPREFIX", "") or cache / "torqpanel" / "wine-prefix")
    if not (prefix / "system.reg").exists():  # (made by .ci/windows; else a new one, slower)
        prefix = tmp_path / "prefix"
    out, link = tmp_path / "ran.txt", tmp_path / "test.lnk"
    command = "/c echo %CD% ran> Z:" + str(out).replace("/", "\\")  # Wine's drive Z: is /
    link.write_bytes(shortcut(r"C:\windows\system32\cmd.exe", command, r"C:\users", "a test"))
    # One user of a prefix at a time, as .ci/windows takes it: a prefix being made is not usable.
    with open(f"{prefix}.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        subprocess.run([wine, "start", "/unix", str(link)], env=tool_environment(WINEPREFIX=str(prefix),
                       WINEDEBUG="-all"), capture_output=True, timeout=120, check=True)
        assert wait_until(out.exists, timeout=60) and out.read_text().strip() == r"C:\users ran"


def test_udev_rule_installs_names_its_group_and_runs_udevadm_as_root(tmp_path, capsys, monkeypatch):
    assert udev_rule.install(str(tmp_path)) == 0
    written = tmp_path / "etc/udev/rules.d/70-torqpanel.rules"
    assert written.read_bytes() == udev_rule.rule_file().read_bytes()
    assert [line for line in written.read_text().splitlines() if line and not line.startswith("#")] == [
        'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="1dd2", ATTRS{idProduct}=="2011", GROUP="plugdev", '
        'MODE="0660", TAG+="uaccess"']
    assert udev_rule.rule_group() == "plugdev" and "not run with --root: udevadm" in capsys.readouterr().out
    # Without a root: as root it runs udevadm, else it prints the commands.
    monkeypatch.setattr(udev_rule, "RULES_DIR", str(tmp_path / "rules.d"))
    calls, done = [], subprocess.CompletedProcess([], 0, "", "")
    assert udev_rule.install(euid=0, run=lambda cmd: calls.append(cmd) or done) == 0
    assert calls == udev_rule.APPLY and (tmp_path / "rules.d/70-torqpanel.rules").is_file()
    assert udev_rule.install(euid=1000) == 1 and capsys.readouterr().out.splitlines()[-3:] == [
        f"sudo install -m 644 {udev_rule.rule_file()} {tmp_path}/rules.d/70-torqpanel.rules",
        *(f"sudo {' '.join(command)}" for command in udev_rule.APPLY)]
    verify = ["udevadm", "verify"]
    if not shutil.which("udevadm") or subprocess.run([*verify, "-h"], capture_output=True).returncode:
        pytest.skip("udevadm verify needs udev from systemd 253 on")
    assert subprocess.run([*verify, str(written)], capture_output=True).returncode == 0


@pytest.mark.parametrize("group, user, advice", [
    ("no-such-group", "ann", "sudo groupadd --system no-such-group && sudo usermod -aG no-such-group ann"),
    ("daemon", "daemon", "daemon is in the group daemon"), ("bin", "daemon", "sudo usermod -aG bin daemon"),
    ("bin", "root", None),  # daemon's primary group is daemon; root needs none
])
def test_udev_group_advice(group, user, advice):
    lines = udev_rule.group_advice(group, user)
    assert any(advice in line for line in lines) if advice else lines == []

"""``python -m torqsim udev install``: the udev rule that opens the board's hidraw node to
its users, put in place and applied.

The rule shipped with the module (``torqsim/udev/`` in an installed wheel, ``udev/`` in a
clone) gives the node to a group (its GROUP line) and tags it ``uaccess`` for whoever is
logged in at the seat. As root the rule is copied into ``/etc/udev/rules.d`` and udev
reloads its rules and applies them to the hidraw nodes there are; otherwise the
commands that do it are printed. ``--root DIR`` writes into DIR instead of ``/``, and
runs nothing.
"""
import os
import pathlib
import re
import shlex
import subprocess
import sys
from typing import Callable, List, Optional, Sequence

RULE_NAME = "70-torqpanel.rules"
RULES_DIR = "/etc/udev/rules.d"
APPLY = [["udevadm", "control", "--reload-rules"], ["udevadm", "trigger", "--subsystem-match=hidraw"]]


def rule_file() -> pathlib.Path:
    """The shipped rule: beside this package when installed, else the clone's udev/."""
    here = pathlib.Path(__file__).resolve().parent
    for candidate in (here / "udev" / RULE_NAME, here.parent.parent / "udev" / RULE_NAME):
        if candidate.is_file():
            return candidate
    raise FileNotFoundError(f"{RULE_NAME} is not installed with torqsim (it comes with the Linux wheels)")


def rule_group(text: Optional[str] = None) -> Optional[str]:
    """The group that the rule gives the board's node to, or None."""
    found = re.search(r'^[^#\n]*\bGROUP="([^"]+)"', rule_file().read_text() if text is None else text, re.M)
    return found.group(1) if found else None


def under(root: Optional[str], path: str) -> pathlib.Path:
    """``path`` (absolute) inside ``root``, or itself without one."""
    return pathlib.Path(path) if root is None else pathlib.Path(root) / path.lstrip("/")


def invoking_user() -> str:
    """The user who asked: the one behind sudo, else this process's."""
    import pwd

    return os.environ.get("SUDO_USER") or pwd.getpwuid(os.geteuid()).pw_name


def group_advice(group: Optional[str], user: str) -> List[str]:
    """What is left to do so that ``user`` may open the board without a seat."""
    import grp
    import pwd

    if group is None or user == "root":
        return []
    try:
        members = grp.getgrnam(group).gr_mem
    except KeyError:
        return [f"The group {group} does not exist here yet (udev leaves the node root's until it does):",
                f"  sudo groupadd --system {group} && sudo usermod -aG {group} {user}"]
    try:
        primary = pwd.getpwnam(user).pw_gid == grp.getgrnam(group).gr_gid
    except KeyError:
        primary = False
    if user in members or primary:
        return [f"{user} is in the group {group}: a service or an ssh session of theirs may open the board."]
    return [f"For a service or an ssh session of {user} (no seat), add them to the group {group} "
            f"(from their next login on): sudo usermod -aG {group} {user}",
            "(a system service installed with python -m torqdash service install --system gets the "
            "group from its unit)"]


Runner = Callable[[Sequence[str]], "subprocess.CompletedProcess[str]"]


def run_quietly(command: Sequence[str]) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(list(command), capture_output=True, text=True, check=False)


def install(root: Optional[str] = None, euid: Optional[int] = None, run: Runner = run_quietly) -> int:
    source = rule_file()
    target = under(root, RULES_DIR) / RULE_NAME
    euid = os.geteuid() if euid is None else euid
    if root is None and euid != 0:
        print("torqsim udev: only root may install a udev rule; run these commands:", file=sys.stderr)
        for command in [["install", "-m", "644", str(source), str(target)], *APPLY]:
            print(shlex.join(["sudo", *command]), flush=True)
        print("then unplug and replug the board.", file=sys.stderr)
        return 1
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(source.read_bytes())
    target.chmod(0o644)
    print(f"torqsim udev: wrote {target}")
    if root is not None:
        print(f"torqsim udev: not run with --root: {'; '.join(map(shlex.join, APPLY))}")
    else:
        for command in APPLY:
            try:
                result = run(command)
            except OSError as error:  # no udevadm: no udev on this system
                print(f"torqsim udev: cannot run {command[0]}: {error.strerror}", file=sys.stderr)
                return 1
            if result.returncode != 0:
                print(f"torqsim udev: {shlex.join(command)} failed: {result.stderr.strip()}", file=sys.stderr)
                return 1
        print("torqsim udev: udev reloaded its rules and applied them; replug the board if it was plugged in")
    for line in group_advice(rule_group(source.read_text()), invoking_user()):
        print(f"torqsim udev: {line}")
    return 0


__all__ = ["RULE_NAME", "RULES_DIR", "group_advice", "install", "invoking_user", "rule_file", "rule_group",
           "under"]

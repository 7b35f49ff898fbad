"""``python -m torqdash service``: torqdash started with the machine, with no terminal
(its command lines: :data:`USAGE`).

Linux: a systemd unit that runs ``python -m torqdash SOURCE ...`` with this interpreter and
restarts it whenever it ends: a user unit (started when the user logs in, or at boot
with lingering on), or with ``--system`` a system unit for a box where nobody logs in,
run as the user who installs it (behind sudo) with the udev rule's group. Its lines go to
the journal (see :mod:`torqdash.status`).

Windows: a shortcut in the user's Startup folder to ``pythonw.exe -m torqdash SOURCE ...``,
so that it starts at logon with no console window. A shortcut rather than a .cmd, which
needs a console window of its own, or a .vbs, as Windows is retiring VBScript.

``--root DIR`` writes into DIR as if it were the file system's root (on Windows, the
system drive) and runs nothing: for packaging and tests.
"""
import argparse
import os
import pathlib
import shlex
import struct
import subprocess
import sys
import uuid
from typing import List, Mapping, NoReturn, Optional, Sequence

from torqsim.udev_rule import Runner, group_advice, invoking_user, rule_group, run_quietly, under

USAGE = """
  python -m torqdash service install SOURCE [torqdash's options] [--system [--run-as USER]] [--root DIR]
  python -m torqdash service remove [--system] [--root DIR]
  python -m torqdash service print SOURCE [torqdash's options] [--system [--run-as USER]]"""
UNIT = "torqdash.service"
SHORTCUT = "torqdash.lnk"
RESTART_S = 5
PATH_OPTIONS = ("layout", "shm_dir")  # made absolute: a service runs in another folder


class ServiceError(Exception):
    """What stops an install or a removal, said in one line."""


# --- torqdash's own command line -----------------------------------------------------

def torqdash_arguments(args: Sequence[str]) -> List[str]:
    """torqdash's options as the service runs them: checked by torqdash's own parser (its
    one-line error and status 2 on a bad one), written out in full, with absolute paths.
    ServiceError for what a service cannot do."""
    from .app import parser
    from .dash import LayoutError, load_layout
    from .games import SOURCES

    torqdash = parser()
    options = torqdash.parse_args(list(args))
    if options.source not in SOURCES:
        raise ServiceError(f"unknown source {options.source!r}: choose {', '.join(SOURCES)}")
    if options.virtual:
        raise ServiceError("--virtual draws in a terminal, which a service has not")
    for name in PATH_OPTIONS:
        if getattr(options, name, None):
            setattr(options, name, os.path.abspath(getattr(options, name)))
    if options.layout:
        try:
            load_layout(options.layout)
        except LayoutError as error:
            raise ServiceError(f"bad layout file {options.layout}: {error}") from None
    out = [options.source]
    for action in torqdash._actions:
        value = getattr(options, action.dest, None)
        if not action.option_strings or action.dest == "help" or value == action.default:
            continue
        if action.nargs == 0:
            out.append(action.option_strings[-1])
        else:  # an option given more than once (--forward) once per value
            for one in value if isinstance(value, list) else [value]:
                out += [action.option_strings[-1], str(one)]
    return out


def describe(args: Sequence[str]) -> str:
    return f"torqdash: {args[0]} telemetry on the torqpanel board"


# --- Linux: systemd ------------------------------------------------------------------

def systemd_quote(word: str) -> str:
    """One word of an ExecStart line: systemd expands % specifiers and $ variables
    everywhere, and splits at white space outside quotes, where C escapes apply."""
    word = word.replace("%", "%%").replace("$", "$$")
    if word and word != ";" and not any(c.isspace() or c in "\"'\\" for c in word):
        return word
    return '"' + word.replace("\\", "\\\\").replace('"', '\\"') + '"'


def unit_text(python: str, args: Sequence[str], system: bool = False, user: Optional[str] = None,
              group: Optional[str] = None) -> str:
    """The unit that runs ``python -m torqdash ARGS`` and restarts it when it ends; a
    system unit runs as ``user`` (not root when None) with ``group`` added."""
    command = " ".join(systemd_quote(word) for word in [python, "-m", "torqdash", *args])
    lines = ["# Written by python -m torqdash service install; python -m torqdash service remove",
             "# removes it.",
             "[Unit]", f"Description={describe(args)}"]
    if system:  # a game on another machine is reached through the network
        lines += ["Wants=network-online.target", "After=network-online.target"]
    lines += ["", "[Service]", "Type=exec", f"ExecStart={command}",
              "# Its lines reach the journal as they are written.",
              "Environment=PYTHONUNBUFFERED=1",
              f"Restart=always\nRestartSec={RESTART_S}",
              "# Stopped by systemd's SIGTERM, it gives the board back and ends with 128 + 15.",
              "SuccessExitStatus=143"]
    if system and user is not None and user != "root":
        lines.append(f"User={user}")
    if system and group is not None:
        lines += ["# The udev rule gives the board's node to this group.", f"SupplementaryGroups={group}"]
    lines += ["", "[Install]", f"WantedBy={'multi-user.target' if system else 'default.target'}", ""]
    return "\n".join(lines)


def unit_path(system: bool, root: Optional[str] = None,
              environ: Mapping[str, str] = os.environ) -> pathlib.Path:
    if system:
        return under(root, "/etc/systemd/system") / UNIT
    home = environ.get("HOME") or os.path.expanduser("~")
    config = environ.get("XDG_CONFIG_HOME") or os.path.join(home, ".config")
    return under(root, os.path.abspath(config)) / "systemd" / "user" / UNIT


def _systemctl(system: bool, *words: str) -> List[str]:
    return ["systemctl", *([] if system else ["--user"]), *words]


def _apply(commands: List[List[str]], root: Optional[str], run: Runner) -> None:
    if root is not None:
        print(f"torqdash service: not run with --root: {'; '.join(map(shlex.join, commands))}")
        return
    for command in commands:
        try:
            result = run(command)
        except OSError as error:
            raise ServiceError(f"cannot run {command[0]} ({error.strerror}): this system does not "
                               "run systemd") from None
        if result.returncode != 0:
            raise ServiceError(f"{shlex.join(command)} failed: {result.stderr.strip() or result.returncode}")


def _system_unit_text(args: Sequence[str], run_as: Optional[str]) -> str:
    if sys.platform == "win32":
        raise ServiceError("systemd units are for Linux")
    import grp

    try:
        group: Optional[str] = rule_group()
        if group is not None:
            grp.getgrnam(group)
    except (FileNotFoundError, KeyError):  # no rule, or no such group here: the unit would not start
        group = None
    return unit_text(sys.executable, args, True, run_as or invoking_user(), group)


def install_unit(args: Sequence[str], system: bool, run_as: Optional[str] = None,
                 root: Optional[str] = None, run: Runner = run_quietly,
                 environ: Mapping[str, str] = os.environ, euid: Optional[int] = None) -> pathlib.Path:
    if sys.platform == "win32":
        raise ServiceError("systemd units are for Linux")
    euid = os.geteuid() if euid is None else euid
    if system and root is None and euid != 0:
        raise ServiceError("--system writes into /etc/systemd/system: run it as root (sudo)")
    if not system and root is None and euid == 0:
        raise ServiceError("as root, install a system unit (--system), which runs as the user behind sudo")
    text = _system_unit_text(args, run_as) if system else unit_text(sys.executable, args)
    path = unit_path(system, root, environ)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    print(f"torqdash service: wrote {path}")
    _apply([_systemctl(system, "daemon-reload"), _systemctl(system, "enable", UNIT),
            _systemctl(system, "restart", UNIT)], root, run)
    scope = "" if system else "--user "
    if root is None:
        print(f"torqdash service: enabled and started; it restarts {RESTART_S} s after it ends")
    print(f"torqdash service: its log: journalctl {scope}-u torqdash -f   "
          f"its state: systemctl {scope}status torqdash")
    if not system:
        print("torqdash service: a user service starts when you log in; to start it at boot with no "
              "login: sudo loginctl enable-linger $USER (or install it with --system)")
        try:
            advice = group_advice(rule_group(), invoking_user())
        except FileNotFoundError:  # no udev rule installed with torqsim
            advice = []
        for line in advice:
            print(f"torqdash service: {line}")
    return path


def remove_unit(system: bool, root: Optional[str] = None, run: Runner = run_quietly,
                environ: Mapping[str, str] = os.environ) -> Optional[pathlib.Path]:
    path = unit_path(system, root, environ)
    if not path.exists():
        print(f"torqdash service: none installed ({path} does not exist)")
        return None
    _apply([_systemctl(system, "disable", "--now", UNIT)], root, run)
    path.unlink()
    _apply([_systemctl(system, "daemon-reload")], root, run)
    print(f"torqdash service: stopped, disabled and removed {path}")
    return path


# --- Windows: a shortcut in the Startup folder ---------------------------------------

def startup_folder(root: Optional[str] = None, environ: Mapping[str, str] = os.environ) -> pathlib.Path:
    """The user's Startup folder (in their roaming profile); with ``root``, the same
    path under it, the drive left out."""
    appdata = environ.get("APPDATA")
    if not appdata:
        raise ServiceError("APPDATA is not set: no user profile to start from")
    folder = pathlib.PureWindowsPath(appdata, "Microsoft", "Windows", "Start Menu", "Programs", "Startup")
    if root is None:
        return pathlib.Path(folder)
    return pathlib.Path(root, *folder.parts[1:])


def pythonw(python: str = sys.executable) -> str:
    """The console-less interpreter beside ``python`` (python.exe, in a venv too)."""
    return str(pathlib.PureWindowsPath(python).with_name("pythonw.exe"))


# [MS-SHLLINK] Shell Link (.LNK) Binary File Format (Microsoft's protocol documentation, v8.0):
# 2.1 ShellLinkHeader (76 bytes) and 2.1.1 LinkFlags; 2.3 LinkInfo (its header of 0x24
# bytes with the Unicode offsets, a VolumeID of a fixed drive with no label, the local
# base path in ANSI and in UTF-16 and empty common path suffixes); 2.4 StringData (a
# 16-bit count of UTF-16 code units, then the units); 2.5.4 EnvironmentVariableDataBlock
# (0x314 bytes, signature 0xA0000001, the target in 260 ANSI and 520 UTF-16 bytes) and the
# TerminalBlock (4 zero bytes). The target is in LinkInfo and in the environment block;
# no item ID list, which the shell makes from the path.
LINK_CLSID = uuid.UUID("00021401-0000-0000-C000-000000000046")
HAS_LINK_INFO, HAS_NAME, HAS_WORKING_DIR, HAS_ARGUMENTS = 0x02, 0x04, 0x10, 0x20
HAS_ICON_LOCATION, IS_UNICODE, HAS_EXP_STRING = 0x40, 0x80, 0x200
SW_SHOWMINNOACTIVE = 7
VOLUME_ID_AND_LOCAL_BASE_PATH, DRIVE_FIXED = 0x1, 3
ENVIRONMENT_BLOCK = (0x314, 0xA0000001)
MAX_PATH = 260


def _string_data(text: str) -> bytes:
    data = text.encode("utf-16-le")
    if len(data) // 2 > 0xFFFF:
        raise ServiceError("a shortcut's text holds at most 65535 characters")
    return struct.pack("<H", len(data) // 2) + data


def _link_info(target: str) -> bytes:
    volume = struct.pack("<IIII", 17, DRIVE_FIXED, 0, 16) + b"\0"
    ansi = target.encode("ascii", "replace") + b"\0"  # (the shell reads the UTF-16 one when it is there)
    wide = target.encode("utf-16-le") + b"\0\0"
    volume_at = 0x24
    base_at = volume_at + len(volume)
    suffix_at = base_at + len(ansi)
    wide_at = suffix_at + 1
    size = wide_at + len(wide) + 2
    return (struct.pack("<9I", size, 0x24, VOLUME_ID_AND_LOCAL_BASE_PATH, volume_at, base_at, 0, suffix_at,
                        wide_at, wide_at + len(wide))
            + volume + ansi + b"\0" + wide + b"\0\0")


def shortcut(target: str, arguments: str, working_dir: str, description: str) -> bytes:
    """A .lnk file that runs ``target arguments`` in ``working_dir``."""
    if len(target.encode("utf-16-le")) // 2 >= MAX_PATH:
        raise ServiceError(f"the interpreter's path is longer than a shortcut holds: {target}")
    flags = (HAS_LINK_INFO | HAS_NAME | HAS_WORKING_DIR | HAS_ARGUMENTS | HAS_ICON_LOCATION | IS_UNICODE
             | HAS_EXP_STRING)
    header = struct.pack("<I16sII24xIiIH10x", 0x4C, LINK_CLSID.bytes_le, flags, 0, 0, 0,
                         SW_SHOWMINNOACTIVE, 0)
    strings = b"".join(map(_string_data, (description, working_dir, arguments, target)))  # icon: the target's
    block = struct.pack("<II260s520s", *ENVIRONMENT_BLOCK, target.encode("ascii", "replace"),
                        target.encode("utf-16-le"))
    return header + _link_info(target) + strings + block + bytes(4)


def install_shortcut(args: Sequence[str], root: Optional[str] = None,
                     environ: Mapping[str, str] = os.environ, python: str = sys.executable) -> pathlib.Path:
    target = pythonw(python)
    if root is None and not os.path.exists(target):
        raise ServiceError(f"no {target}: torqdash needs the windowless interpreter beside {python}")
    folder = startup_folder(root, environ)
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / SHORTCUT
    home = environ.get("USERPROFILE") or str(pathlib.PureWindowsPath(target).parent)
    arguments = subprocess.list2cmdline(["-m", "torqdash", *args])
    path.write_bytes(shortcut(target, arguments, home, describe(args)))
    print(f"torqdash service: wrote {path}: {target} {arguments}")
    print("torqdash service: it starts at your next logon, with no window (Task Manager: pythonw.exe); "
          "Settings > Apps > Startup lists it")
    return path


def remove_shortcut(root: Optional[str] = None,
                    environ: Mapping[str, str] = os.environ) -> Optional[pathlib.Path]:
    path = startup_folder(root, environ) / SHORTCUT
    if not path.exists():
        print(f"torqdash service: none installed ({path} does not exist)")
        return None
    path.unlink()
    print(f"torqdash service: removed {path} (a torqdash running now goes on until you log off)")
    return path


# --- The command ---------------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"torqdash service: {message} (see python -m torqdash service --help)\n")


def parser() -> argparse.ArgumentParser:
    main = _Parser(prog="python -m torqdash service", allow_abbrev=False, usage=USAGE,
                   description="torqdash as a service that starts with the machine: a systemd unit on "
                               "Linux, a shortcut in the Startup folder on Windows. SOURCE and the "
                               "options after it are torqdash's own (python -m torqdash --help).")
    main.add_argument("action", choices=("install", "remove", "print"))
    main.add_argument("--system", action="store_true",
                      help="Linux: a system unit, started at boot with no login (needs root)")
    main.add_argument("--run-as", metavar="USER",
                      help="Linux, with --system: the user it runs as (default: who ran sudo)")
    main.add_argument("--root", metavar="DIR",
                      help="write into DIR instead of the file system, and run nothing")
    return main


def main(argv: Sequence[str], platform: str = sys.platform) -> int:
    options, rest = parser().parse_known_args(list(argv))
    if options.action == "remove" and rest:
        parser().error(f"remove takes no torqdash options: {' '.join(rest)}")
    if options.run_as and not options.system:
        parser().error("--run-as goes with --system")
    windows = platform == "win32"
    try:
        if options.action == "remove":
            if windows:
                remove_shortcut(options.root)
            else:
                remove_unit(options.system, options.root)
            return 0
        if not rest:
            parser().error("the SOURCE and options to run torqdash with")
        args = torqdash_arguments(rest)
        if options.action == "print":
            if windows:
                print(pythonw(), subprocess.list2cmdline(["-m", "torqdash", *args]))
            else:
                print(_system_unit_text(args, options.run_as) if options.system
                      else unit_text(sys.executable, args), end="")
            return 0
        if windows:
            install_shortcut(args, options.root)
        else:
            install_unit(args, options.system, options.run_as, options.root)
        return 0
    except (ServiceError, OSError) as error:
        print(f"torqdash service: {error}", file=sys.stderr)
        return 1


__all__ = ["SHORTCUT", "UNIT", "ServiceError", "install_shortcut", "install_unit", "main", "parser",
           "pythonw", "remove_shortcut", "remove_unit", "shortcut", "startup_folder", "systemd_quote",
           "torqdash_arguments", "unit_path", "unit_text"]

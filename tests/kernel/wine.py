"""Wine in the kernel guest: the prefix, made on the host (`python3 tests/kernel/wine.py`; the
guest writes to an overlay), and a Wine process running tests/windows/hid_session.cpp."""
import contextlib
import fcntl
import json
import os
import pathlib
import queue
import re
import subprocess
import tempfile
import threading

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / "torqpanel"
# winebus starts its SDL bus first by default and never gets to hidraw without libSDL2;
# there is no udevd in the guest, so it enumerates /dev/hidraw* and watches /dev itself.
WINEBUS = {"Enable SDL": 0, "DisableUdevd": 1, "DisableInput": 1}
WINEBUS_KEY = r"[System\\CurrentControlSet\\Services\\winebus] "


def environment(prefix):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return env | {"WINEPREFIX": str(prefix), "WINEDEBUG": "-all", "WINEARCH": "win64"}


def prefix_path():
    version = subprocess.run([WINE, "--version"], capture_output=True, text=True, check=True).stdout
    return CACHE / ("wine-guest-" + re.sub(r"[^A-Za-z0-9.]+", "-", version.strip()).strip("-"))


def prepare():
    """The guest's prefix (one per Wine version), made when missing, winebus set up."""
    prefix = prefix_path()
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(f"{prefix}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (prefix / "system.reg").exists():
            return prefix
        work = pathlib.Path(tempfile.mkdtemp(dir=CACHE, prefix=prefix.name + "."))
        env = environment(work)
        subprocess.run([WINE, "wineboot", "--init"], env=env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        subprocess.run([WINESERVER, "-w"], env=env, check=True, timeout=600)  # the registry is saved
        registry = work / "system.reg"
        lines = registry.read_text().split("\n")
        at = next(i for i, line in enumerate(lines) if line.startswith(WINEBUS_KEY))
        lines[at + 2:at + 2] = [f'"{name}"=dword:{value:08x}' for name, value in WINEBUS.items()]
        registry.write_text("\n".join(lines))
        work.rename(prefix)
    return prefix


class Session:
    """torq_hid_session.exe: `command(line)` gives its JSON answer, `send(line)` a later `answer()`."""

    def __init__(self, build):
        exe = pathlib.Path(build) / "tests" / "windows" / "torq_hid_session.exe"
        self.env, self.log, self.lines = environment(prefix_path()), tempfile.TemporaryFile("w+"), queue.Queue()
        # Wine's own services inherit the program's output: a thread reads the answers
        # without ever waiting for the end of that pipe; "" is the program's end.
        self.process = subprocess.Popen([WINE, str(exe)], env=self.env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.log, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        self.unanswered = 0
        try:
            self.command("list", timeout=180)  # once Wine is up
        except BaseException:
            self.close()
            raise

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put("")

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        self.unanswered += 1

    def answer(self, timeout=30):
        """The next answer: that of the oldest command still unanswered."""
        line = None
        with contextlib.suppress(queue.Empty):
            while line := self.lines.get(timeout=timeout):
                if line.startswith("torq "):
                    self.unanswered -= 1
                    answer = json.loads(line[5:])
                    assert "error" not in answer, answer["error"]
                    return answer
        self.log.seek(0)
        raise TimeoutError(f"no answer ({'the program ended' if line == '' else f'{timeout} s'}); "
                           f"Wine said: {self.log.read()[-2000:]}")

    def command(self, line, timeout=30):
        while self.unanswered:  # a case that failed while an answer was due
            self.answer(timeout)
        self.send(line)
        return self.answer(timeout)

    def close(self, timeout=20):
        """Ends the input; what does not end in time is killed, with Wine's server and its processes."""
        with contextlib.suppress(OSError, subprocess.TimeoutExpired):
            self.process.stdin.close()
            self.process.wait(timeout)
        with contextlib.suppress(subprocess.TimeoutExpired):
            subprocess.run([WINESERVER, "-k"], env=self.env, timeout=timeout)
        self.process.kill()
        self.process.wait(timeout)


if __name__ == "__main__":
    print(prepare())

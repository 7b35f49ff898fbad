"""What a host program of the board needs beside the module, shared by the simulator and
torqdash: finding a real board, the right panel's setter, a virtual board drawn in the
terminal (:func:`open_view` and the :class:`Monitor` that feeds it the board's reports),
and the quiet end of a command-line program (:func:`end_quietly`, from the screen module),
and the keys that press its buttons and turn its switches (:class:`Keyboard`).
"""
import os
import sys
import threading
import time
from typing import Callable, Dict, Optional

import torqpanel

from . import VirtualDevice, set_right_panel
from .board import BUTTON_KEYS, SWITCHES, BoardState, InputPanel, changes
from .screen import KeyReader, TerminalView, View, end_quietly, open_view

__all__ = ["Controls", "Keyboard", "Monitor", "View", "board_title", "end_quietly", "find_real_board",
           "open_view", "set_right_panel"]


class Monitor:
    """Takes the reports a virtual board received, decodes them into a
    :class:`BoardState` and tells a view; ``limit`` ends it after that many reports."""

    def __init__(self, device: VirtualDevice, view: View, limit: Optional[int] = None) -> None:
        self.device = device
        self.view = view
        self.limit = limit
        self.state = BoardState()
        #: The last report and the state before it.
        self.last_report = b""
        self.before_last = BoardState()

    @property
    def done(self) -> bool:
        return self.limit is not None and self.state.reports >= self.limit

    def pump(self) -> int:
        """Handles the reports that arrived since the last call; returns how many.
        Redraws only when there were any."""
        frames = self.device.take_frames()
        if self.limit is not None:
            frames = frames[:max(0, self.limit - self.state.reports)]
        for frame in frames:
            self.before_last = self.state.copy()
            self.last_report = frame
            kind = self.state.apply(frame)
            self.view.report(self.state, kind, changes(self.before_last, self.state))
        if frames:
            self.view.refresh(self.state)
        return len(frames)


def find_real_board(serial: Optional[str] = None) -> "Optional[torqpanel.torqline]":
    """A torqline initialised on a board attached to this computer, or None. The module
    prints its failure lines on file descriptor 1; they are silenced here, since no
    board is the usual case for the demo."""
    if sys.stdout is not None:
        sys.stdout.flush()
    try:
        saved = os.dup(1)
    except OSError:  # no standard output at all (pythonw on Windows): nothing to silence
        saved = -1
    try:
        if saved >= 0:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.close(null)
        line = torqpanel.torqline(serial) if serial else torqpanel.torqline()
        found = line.init()
    finally:
        if saved >= 0:
            os.dup2(saved, 1)
            os.close(saved)
    return line if found else None


def board_title(device: VirtualDevice, real: "Optional[torqpanel.torqline]") -> str:
    title = f"torqpanel · virtual board · serial {device.serial} · firmware " \
            f"{device.version >> 8:x}.{device.version & 0xFF:02x}"
    if real is not None:
        title += f" · also on board {real.get_device_info('serial number') or '(no serial)'}"
    return title


# Keys that pick and turn switches; the second of each pair needs no shift key on
# common layouts.
_PICK = {"left": -1, "<": -1, ",": -1, "right": 1, ">": 1, ".": 1}
_TURN = {"up": (1, False), "+": (1, False), "=": (1, False),
         "down": (-1, False), "-": (-1, False), "_": (-1, False),
         "pgup": (1, True), "pgdn": (-1, True)}


class Controls:
    """Turns keys into the board's input: a button key presses its button and lets it go
    ``hold`` seconds after the key's last repeat; the arrows pick and turn switches.
    Every change sends the whole input report."""

    def __init__(self, device: VirtualDevice, inputs: InputPanel, view: View,
                 hold: float) -> None:
        self.device = device
        self.inputs = inputs
        self.view = view
        self.hold = hold
        self.selected = 1
        self._releases: Dict[int, float] = {}
        self._lock = threading.Lock()

    def _send(self, status: str) -> None:
        self.device.send_input(self.inputs.report())
        if isinstance(self.view, TerminalView):
            self.view.status = status
            self.view.selected_switch = self.selected
            self.view.redraw()

    def key(self, name: str) -> None:
        with self._lock:
            button_key = name.lower() if len(name) == 1 else ""
            if button_key and button_key in BUTTON_KEYS:
                button = BUTTON_KEYS.index(button_key) + 1
                was_held = self.inputs.held(button)
                self._releases[button] = time.monotonic() + self.hold
                if not was_held:
                    self.inputs.press(button)
                    self._send(f"button {button} pressed")
            elif name in _PICK:
                self.selected = (self.selected - 1 + _PICK[name]) % SWITCHES + 1
                self._send(f"switch {self.selected} picked")
            elif name in _TURN:
                steps, big = _TURN[name]
                before = self.inputs.position(self.selected)
                after = self.inputs.turn(self.selected, steps, big)
                if after != before:
                    self._send(f"switch {self.selected} at {after}")

    def next_release(self) -> Optional[float]:
        """When the next held button is let go (time.monotonic), or None."""
        with self._lock:
            return min(self._releases.values(), default=None)

    def tick(self) -> None:
        """Lets go of the buttons whose time is up."""
        with self._lock:
            now = time.monotonic()
            for button, deadline in list(self._releases.items()):
                if now >= deadline:
                    del self._releases[button]
                    self.inputs.press(button, down=False)
                    self._send(f"button {button} released")


class Keyboard:
    """The terminal's keys on a virtual board, through :class:`Controls`: read in a
    thread while standard input is a terminal (as it is when the keyboard is made), and
    the buttons let go on time by another, which sleeps while none is held. ``take`` may
    take a key first (True when it did). :meth:`stop` gives the terminal its settings
    back."""

    def __init__(self, controls: Controls, take: Optional[Callable[[str], bool]] = None) -> None:
        self.controls = controls
        self.take = take
        terminal = sys.stdin is not None and sys.stdin.isatty()
        self.fd = sys.stdin.fileno() if terminal else None
        self._keys: Optional[KeyReader] = None
        self._stopping = False
        self._woken = threading.Event()
        self._releaser = threading.Thread(target=self._release, name="torqsim buttons", daemon=True)

    def _key(self, name: str) -> None:
        if self.take is None or not self.take(name):
            self.controls.key(name)
            self._woken.set()

    def _release(self) -> None:
        while not self._stopping:
            deadline = self.controls.next_release()
            self._woken.wait(None if deadline is None else max(0.0, deadline - time.monotonic()))
            self._woken.clear()
            self.controls.tick()

    def start(self) -> None:
        if self.fd is None:
            return  # no keys, so no buttons to let go
        self._keys = KeyReader(self.fd, self._key)
        self._keys.start()
        self._releaser.start()

    def stop(self) -> None:
        self._stopping = True
        self._woken.set()
        if self._releaser.is_alive():
            self._releaser.join(timeout=1.0)
        if self._keys is not None:
            self._keys.stop()
            self._keys = None

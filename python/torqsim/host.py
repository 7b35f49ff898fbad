"""What a host program of the board needs beside the module, shared by the simulator and
torqdash: finding a real board, the right panel's setter, a virtual board drawn in the
terminal (:func:`open_view` and the :class:`Monitor` that feeds it the board's reports),
and the quiet end of a command-line program (:func:`end_quietly`, from the screen module).
"""
import os
import sys
from typing import Optional

import torqpanel

from . import VirtualDevice, set_right_panel
from .board import BoardState, changes
from .screen import View, end_quietly, open_view

__all__ = ["Monitor", "View", "board_title", "end_quietly", "find_real_board", "open_view",
           "set_right_panel"]



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

"""The board's own buttons and switches, bound by the layout to the dash: pages,
brightness, rumble on and off.

The module's input listener keeps only the latest event, which ``get_input_data``
returns with a flag that says whether it changed since the previous call; so it is read
once per loop step. A press and release that both fall between two reads show only as
the release: a release of a button not seen pressed counts as its press.
"""
from typing import Optional, Set

from .dash import Dash

INPUT_EVENT = 15  # get_input_data's type for an event (0: none yet)
#: The longest wait between two reads while something is bound, so that a press shows
#: soon (within a tenth of a second) even while the game sends nothing.
POLL_S = 0.1


class Controls:
    """Reads the input of the dash's board and does what the layout binds to it."""

    def __init__(self, dash: Dash) -> None:
        self.dash = dash
        self._buttons = dash.layout.buttons()
        self._switches = dash.layout.switches()
        self._board: object = None
        self._held: Set[int] = set()

    def wake_in(self) -> Optional[float]:
        """The longest wait before the next :meth:`poll`, or None when nothing is bound."""
        bound = self._buttons or self._switches
        return POLL_S if bound and self.dash.board is not None else None

    def poll(self) -> bool:
        """Reads the board's latest input event and acts on it; True when it was new."""
        board = self.dash.board
        if board is None or not (self._buttons or self._switches):
            return False
        if board is not self._board:  # a reopened board: its listener starts afresh
            self._board, self._held = board, set()
        event = board.get_input_data()
        if event is None or event[0] != INPUT_EVENT or not event[4]:
            return False
        _, is_button, number, value, _ = event
        if is_button:
            if value:
                self._held.add(number)
            elif number in self._held:
                self._held.discard(number)
                return True
            if number in self._buttons:
                self._act(self._buttons[number])
        elif number in self._switches:
            name, binding = self._switches[number]
            if value in binding.positions:
                self._act(name, binding.positions.index(value))
        return True

    def _act(self, name: str, choice: int = 0) -> None:
        dash = self.dash
        if name in ("next_page", "previous_page"):
            dash.turn_page(1 if name == "next_page" else -1)
        elif name == "brightness_button":
            dash.step_brightness()
        elif name == "rumble_button":
            dash.rumble = not dash.rumble
        elif name == "page_switch":
            dash.show_page(choice)
        elif name == "brightness_switch":
            dash.set_brightness(dash.layout.brightness_levels[choice])
        else:  # the rumble switch: off, on
            dash.rumble = choice == 1

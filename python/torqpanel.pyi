"""Manages DASHLINK device

Type information for torqpanel, the extension module that drives the torqpanel USB HID
dashboard board (vendor 0x1DD2, product 0x2011). The module has one attribute, the type
:class:`torqline`.
"""
from typing import Literal, Optional, Tuple, Union, final, overload

_TextKey = Literal["version", "name", "firmware", "serial number", "device path"]
_NumberKey = Literal["ticks", "type", "vendor id", "product id", "panel count", "digits",
                     "gear", "max rpm led", "max warning led", "max external led",
                     "brightness", "digital", "analog", "rumble motor", "connected"]

@final
class torqline:
    """One board: create it, call :meth:`init`, then the setters, :meth:`show_me` and
    :meth:`get_input_data`. The type cannot be subclassed."""

    def __init__(self, serial: str = ..., /) -> None:
        """``serial``: the serial number of the one board this object may open; empty or
        left out for the first board found. Keyword arguments are ignored."""

    def set_gear(self, gear: Union[str, int], point: object = False, /) -> None:
        """Set gear

        ``gear``: a str (its first ASCII character, characters outside ASCII dropped;
        "" gives "0") or an int sent as the raw character code (51 is "3"; a code above
        128 lights the point and loses 128). ``point``: light the decimal point (any
        truth value; only positionally: a keyword is accepted and ignored). Writes the
        gear digit and the central panel (blank, gear, blank).
        Raises TypeError "set_gear - First argument must be a string or integer." for
        another type, OverflowError for an int outside 32 bits."""

    def init(self) -> bool:
        """Initialize the manager.

        Finds the first board (with this object's serial number, if one was given),
        opens it and sends it a blank display. True when a board is open (also on every
        later call); False when none was found, after printing "Error ..." lines on
        standard output (file descriptor 1). Raises RuntimeError on an internal failure."""

    def get_module(self) -> object:
        """Retrieve module Reference.

        A capsule named "module.key" pointing at the 1648-byte summary of the last
        discovery pass; valid while this object lives."""

    @overload
    def get_device_info(self, key: _TextKey, /) -> str:
        """Retrieve device information (a str for this key)."""
    @overload
    def get_device_info(self, key: _NumberKey, /) -> int:
        """Retrieve device information (an int for this key)."""
    @overload
    def get_device_info(self, key: str, /) -> Union[str, int]:
        """Retrieve device information.

        ``key`` (case of ASCII letters ignored): "version", "name", "firmware", "serial
        number", "device path" give a str; "ticks", "type", "vendor id", "product id",
        "panel count", "digits", "gear", "max rpm led", "max warning led", "max external
        led", "brightness", "digital", "analog", "rumble motor" give an int, and
        "connected" 1 while the board is open and no read or write has failed since
        (else 0).
        Raises ValueError "Unknown parameter for get_device_info" for another key and
        "Invalid parameter for get_device_info" when the key is not one str."""

    def get_input_data(self) -> Optional[Tuple[int, int, int, int, int]]:
        """Retrieve input data.

        The latest input event as (type, is_button, number, value, changed): type 15
        (0 before the first event), is_button 1 for a button and 0 for a switch, number
        1-32 for a button or 1-9 for a switch, value 0 for a released button, else the
        button's bit position within its report byte plus 1 (1-8), or the switch's
        position, changed 1 when the event differs from the one the previous call
        returned. None while no input listener runs."""

    def start_input_listener(self) -> bool:
        """Start Input Listener

        Starts the thread that reads the board's buttons and switches. True; raises
        RuntimeError "Manager is not running." before a successful init, "Failed to
        start input event thread." when one runs already."""

    def stop_input_listener(self) -> bool:
        """Stop Input Listener

        Stops the listener thread. True; raises RuntimeError "Manager is not running."
        before a successful init, "Failed to stop input event thread." when none runs."""

    def show_me(self) -> None:
        """Send report to board

        Sends the whole display (digits, LEDs, rumble) to the board in one report.
        Nothing is sent before a successful init. A failed write is not reported."""

    def set_rpm_led(self, led: int, state: int, /) -> None:
        """Set one RPM LED state

        ``led`` 1-9 on the shift-light bar; ``state`` 1 lights it, anything else
        (2 and -1 too) switches it off. Another LED number is ignored."""

    def set_warning_led(self, led: int, state: int, /) -> None:
        """Set warning LED state

        ``led`` 1-6; any positive ``state`` lights it, 0 or below switches it off.
        Another LED number is ignored."""

    def set_external_led(self, led: int, state: int, /) -> None:
        """Set external LED state

        The board has no external LEDs: every call is ignored."""

    def set_brightness(self, level: int, /) -> None:
        """Set global brightness

        Sends the brightness at once (no show_me needed): ``level`` 0-254; above 254,
        and negative levels, give 254. Nothing is sent, or remembered, before a
        successful init."""

    def load_rumble_motor(self, motor: int, power: int, /) -> None:
        """Set rumble motor power

        ``motor`` 1 or 2; ``power`` 0-255 (clamped). Another motor number is ignored."""

    def set_central_panel(self, text: str, /) -> None:
        """Set central digits display

        Shows ``text`` on the central and the left panel, three digits each: "." and
        ":" light the point of the digit before them, as in "1.2". A text of 0 or more
        than 8 bytes (UTF-8) shows "-.---"."""

    def terminate(self) -> bool:
        """Close Python module

        Stops the input listener if one runs; the board stays open until the object is
        deleted. Always True."""

"""torqdash: a racing game's telemetry on the torqpanel board.

``python -m torqdash SOURCE`` reads the game's telemetry (UDP datagrams, or the shared
memory a game publishes) and drives the board (or, with ``--virtual``, a virtual board
drawn in the terminal). The pieces are usable on their own::

    from torqdash import SOURCES, Dash

    decoder = SOURCES["f1"]()             # a fresh decoder of that source
    telemetry = decoder.feed(packet)      # a Telemetry, or None (counted in .rejected)
    if telemetry is not None:
        dash.show(telemetry)              # dash = Dash(an initialised torqline)

A shared-memory decoder's ``read(pages)`` takes a mapping from each page's name (as the
game publishes it) to its bytes instead.
"""
from .dash import Dash
from .layout import Layout, LayoutError, load_layout, parse_layout
from .games import F1, SOURCES, Decoder, Forza, OutGauge, SharedMemoryDecoder, UdpDecoder
from .telemetry import FLAGS, Telemetry

__all__ = ["FLAGS", "SOURCES", "Dash", "Decoder", "F1", "Forza", "Layout", "LayoutError", "OutGauge",
           "SharedMemoryDecoder", "Telemetry", "UdpDecoder", "load_layout", "parse_layout"]

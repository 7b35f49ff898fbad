"""torqdash: a racing game's UDP telemetry on the torqpanel board.

``python -m torqdash SOURCE`` listens for the game's packets and drives the board (or,
with ``--virtual``, a virtual board drawn in the terminal). The pieces are usable on
their own::

    from torqdash import Telemetry, OutGauge, Forza, F1, Dash

    decoder = F1()
    telemetry = decoder.feed(packet)      # a Telemetry, or None (counted in .rejected)
    if telemetry is not None:
        dash.show(telemetry)              # dash = Dash(an initialised torqline)
"""
from .dash import Dash, Layout, LayoutError, load_layout, parse_layout
from .decoders import F1, Decoder, Forza, OutGauge, Telemetry

__all__ = ["Dash", "Decoder", "F1", "Forza", "Layout", "LayoutError", "OutGauge",
           "Telemetry", "load_layout", "parse_layout"]

"""The games torqdash reads: one module per game or family of games, each holding its
published layout (cited where it is written down) and its decoder.

:data:`SOURCES` maps every SOURCE name of the command line to its decoder class;
``SOURCES[name]()`` makes a fresh decoder. A :class:`~.base.UdpDecoder` takes datagrams
(``feed``), a :class:`~.base.SharedMemoryDecoder` shared-memory pages (``read``).
"""
from typing import Dict, Type, Union

from .ams2 import Ams2, Ams2Memory
from .base import Decoder, SharedMemoryDecoder, UdpDecoder
from .dirt import Dirt
from .ets2 import Ets2
from .f1 import F1
from .forza import Forza
from .gt7 import GT7
from .iracing import IRacing
from .kunos import Ac, Acc
from .outgauge import OutGauge
from .raceroom import RaceRoom
from .rfactor import LeMansUltimate, RFactor2

AnyDecoder = Union[UdpDecoder, SharedMemoryDecoder]

SOURCES: Dict[str, Type[AnyDecoder]] = {
    decoder.name: decoder for decoder in (OutGauge, Forza, F1, IRacing, Acc, Ac,
                                          RFactor2, LeMansUltimate, RaceRoom, GT7)
}
SOURCES.update({decoder.name: decoder for decoder in (Ams2, Ams2Memory, Ets2, Dirt)})

__all__ = ["SOURCES", "Ac", "Acc", "AnyDecoder", "Decoder", "F1", "Forza", "IRacing", "OutGauge",
           "SharedMemoryDecoder", "UdpDecoder",
           "LeMansUltimate", "RFactor2", "RaceRoom", "GT7"]

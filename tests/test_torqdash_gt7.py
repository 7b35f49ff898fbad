"""Gran Turismo 7: the packet as MacManley/gt7-udp's README documents it, its cipher, the heartbeat."""
import math
import select
import socket
import struct
from contextlib import closing
from functools import partial

import pytest

from torqdash import Telemetry
from torqdash.app import open_source, parser
from torqdash.games.gt7 import GT7, GT7_PACKET, seal
from torqdash.sources import CONSOLE_LOST_S, UdpSource

# name: (offset, format) of every field read, as the README's struct places them.
FIELDS = {"magic": (0x00, "i"), "EngineRPM": (0x3C, "f"), "fuelLevel": (0x44, "f"),
          "fuelCapacity": (0x48, "f"), "speed": (0x4C, "f"), "lapCount": (0x74, "h"),
          "totalLaps": (0x76, "h"), "bestLaptime": (0x78, "i"), "lastLaptime": (0x7C, "i"),
          "RaceStartPosition": (0x84, "h"), "minAlertRPM": (0x88, "h"), "maxAlertRPM": (0x8A, "h"),
          "flags": (0x8E, "h"), "gears": (0x90, "B"), "carCode": (0x124, "i")}
# On track, rev limit alert, handbrake, TCS; fourth gear, second suggested.
VALUES = dict(magic=0x47375330, EngineRPM=7250.5, fuelLevel=30.0, fuelCapacity=60.0, speed=50.0, lapCount=3,
              totalLaps=10, bestLaptime=83456, lastLaptime=84000, RaceStartPosition=-1, minAlertRPM=7000,
              maxAlertRPM=7500, flags=1 | 1 << 5 | 1 << 6 | 1 << 11, gears=0x24, carCode=3450)
EXPECTED = Telemetry(rpm=7250.5, speed_kph=180.0, gear=4, suggested_gear=2, fuel=0.5, lap=3, laps=10,
                     car="3450", best_lap_s=83.456, last_lap_s=84.0, shift_rpm=7000, max_rpm=7500,
                     shift_light=True, handbrake=True, tc_active=True, stability_active=False, in_race=True)

LIGHTS_OFF = dict(shift_light=False, handbrake=False, tc_active=False)


def packet(size=296, seed=0x1234ABCD, **changes):
    data = bytearray(size)
    for name, value in {**VALUES, **changes}.items():
        struct.pack_into("<" + FIELDS[name][1], data, FIELDS[name][0], value)
    return seal(bytes(data), seed)


def test_layout_as_documented():
    offsets = {name: at for name, (at, _) in FIELDS.items()}
    assert (GT7_PACKET.size, {name: GT7_PACKET.offset(name) for name in FIELDS}) == (296, offsets)


GOOD = packet()


@pytest.mark.parametrize("data, expected", [
    *((packet(size), {}) for size in (296, 316, 344)),  # heartbeats A, B and ~
    (packet(gears=0xF0), dict(gear=-1, suggested_gear=None)),  # reverse, nothing suggested
    (packet(gears=0xFF), dict(gear=0, suggested_gear=None)),
    (packet(fuelCapacity=0.0, bestLaptime=-1, totalLaps=0, RaceStartPosition=5),  # electric, on the grid
     dict(fuel=None, best_lap_s=None, laps=None, position=5)),
    *((packet(flags=flags), dict(in_race=False, **LIGHTS_OFF))
      for flags in (0, 0b011, 0b101)),  # in a menu, paused, loading
    (packet(flags=1 | 1 << 10), dict(stability_active=True, **LIGHTS_OFF)),
    (packet(carCode=struct.unpack("<i", struct.pack("<f", 0.8))[0]), dict(car=None)),  # a 9th gear's ratio
    # Rejected: cut, too long, empty, GT6's magic, the seed moved, not finite.
    *((data, None) for data in (GOOD[:-1], GOOD + b"\0", b"", packet(316)[:-1], packet(magic=0x30533647),
                                GOOD[:0x40] + bytes([GOOD[0x40] ^ 1]) + GOOD[0x41:],
                                packet(EngineRPM=math.nan), packet(speed=math.inf)))])
def test_packets_read_or_rejected(data, expected):
    decoder, read = GT7(), None if expected is None else Telemetry(**{**vars(EXPECTED), **expected})
    assert decoder.feed(data) == read
    assert (decoder.rejected, decoder.ignored) == (expected is None, 0)


def received(sock):
    assert select.select([sock], [], [], 5)[0], "nothing came"
    return sock.recvfrom(64)


def test_heartbeat_finds_the_console_and_looks_again_when_it_falls_silent():
    udp = partial(socket.socket, socket.AF_INET, socket.SOCK_DGRAM)
    with udp() as receiver, udp() as everyone, udp() as console, udp() as stranger:
        receiver.bind(("127.0.0.1", 0))
        everyone.bind(("127.0.0.3", 0))  # stands in for the network's broadcast address
        console.bind(("127.0.0.2", everyone.getsockname()[1]))
        decoder = GT7()
        decoder.heartbeat_port = everyone.getsockname()[1]
        source = UdpSource(receiver, decoder, clock=lambda: 1.2, broadcast="127.0.0.3")
        assert "to every machine on the network (127.0.0.3) port" in source.describe()
        assert source.poll(0.0) is None and received(everyone)[0] == b"A"
        console.sendto(packet(), receiver.getsockname())  # (loopback: queued at once)
        stranger.sendto(b"not a game", receiver.getsockname())
        assert source.poll(0.5) == EXPECTED and (source.found, decoder.rejected) == ("127.0.0.2", 1)
        assert received(everyone)[0] == b"A"  # sent before the packets were read
        assert source.poll(1.0) is None and received(console) == (b"A", receiver.getsockname())
        assert source.wake_in(1.2) == pytest.approx(0.3) and "heartbeat to 127.0.0.2" in source.describe()
        source.poll(1.0 + CONSOLE_LOST_S)
        assert received(everyone)[0] == b"A"


@pytest.mark.parametrize("args, outcome", [
    (["--bind", "127.0.0.1", "--console", "localhost"], "heartbeat to 127.0.0.1 port 33739"),
    (["--bind", "127.0.0.1", "--console", "::1"], "cannot find the console ::1"),
    (["--bind", "::1"], "IPv6 has no broadcast")])
def test_console_option(args, outcome):
    try:
        with closing(open_source(parser().parse_args(["gt7", "--port", "33799", *args]))) as source:
            assert outcome in source.describe()
    except ValueError as error:
        assert outcome in str(error)

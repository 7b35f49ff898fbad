"""``--forward HOST:PORT``: every datagram of a UDP game sent on, unchanged, so that
another program (a second dashboard, a motion rig, a tool on another computer) still gets
the game's stream while torqdash listens on the port the game sends to."""
import argparse
import ipaddress
import socket
from typing import Dict, List, Optional, Tuple, Union

Target = Tuple[str, int]


def split(text: str) -> Target:
    """HOST:PORT, or [IPv6]:PORT, as the command line gives it: the host and the port."""
    host, colon, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not colon or not host or not port.isdigit() or not 1 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError(f"not HOST:PORT with a port from 1 to 65535: {text!r}")
    return host, int(port)


def target(text: str) -> str:
    """The option's check: HOST:PORT as given (a service writes it out again)."""
    split(text)
    return text


def _ip(address: str) -> "Optional[Union[ipaddress.IPv4Address, ipaddress.IPv6Address]]":
    try:
        return ipaddress.ip_address(address.split("%", 1)[0])
    except ValueError:
        return None


def loops_back(address: str, bound: str) -> bool:
    """Whether datagrams sent to ``address`` reach a socket bound to ``bound`` (on the
    same port): the same address, or this machine's when one of them stands for all."""
    to, on = _ip(address), _ip(bound)
    if to is None or on is None:
        return address == bound
    local = (to.is_loopback or to.is_unspecified, on.is_loopback or on.is_unspecified)
    return to == on or (on.is_unspecified and local[0]) or (to.is_unspecified and local[1])


class Forwarder:
    """Sends each datagram it is given to every target, from a socket of the target's
    address family. A send that fails (nobody listens, the network is down, the send
    buffer is full) drops that datagram for that target: the board never waits for it.

    ``listening``: the address torqdash's own socket is bound to; a target that would
    send the stream back to it is refused (ValueError), as is a host that cannot be
    resolved."""

    def __init__(self, targets: List[str], listening: Target) -> None:
        self.sockets: Dict[int, socket.socket] = {}
        self.targets: List[Tuple[socket.socket, Tuple[str, int]]] = []
        #: Datagrams that could not be sent, over all targets.
        self.failed = 0
        try:
            for text in targets:
                self._add(*split(text), listening)
        except BaseException:
            self.close()
            raise

    def _add(self, host: str, port: int, listening: Target) -> None:
        try:
            family, _, _, _, sockaddr = socket.getaddrinfo(host, port, type=socket.SOCK_DGRAM)[0]
        except (socket.gaierror, UnicodeError) as error:
            raise ValueError(f"cannot forward to {host}: {getattr(error, 'strerror', None) or error}") \
                from None
        bound_host, bound_port = listening
        address = (str(sockaddr[0]), port)
        if port == bound_port and loops_back(address[0], bound_host):
            raise ValueError(f"--forward {host}:{port} is where torqdash listens: "
                             "it would hear its own datagrams again")
        sock = self.sockets.get(family)
        if sock is None:
            sock = self.sockets[family] = socket.socket(family, socket.SOCK_DGRAM)
            sock.setblocking(False)
        self.targets.append((sock, address))

    def __call__(self, now: float, packet: bytes) -> None:
        for sock, address in self.targets:
            try:
                sock.sendto(packet, address)
            except OSError:
                self.failed += 1

    def close(self) -> None:
        for sock in self.sockets.values():
            sock.close()
        self.sockets.clear()

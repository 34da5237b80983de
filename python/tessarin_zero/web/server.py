"""Serving the page with uvicorn on a socket bound here, so that the address printed is the one
listened on (port 0: a free port) and a port in use is one clear line. Ctrl-C ends the server:
uvicorn stops taking requests, lets the running ones end (a few seconds at most) and returns."""

from __future__ import annotations

import ipaddress
import socket
from types import FrameType
from typing import Optional

import uvicorn

from tessarin_zero.web.app import PageSettings, create_app

GRACE_SECONDS = 5
"""How long a stopping server waits for requests under way (a network seat's search)."""


class AddressError(OSError):
    """The address cannot be listened on (a port in use, a host name that does not resolve)."""


def bind(host: str, port: int) -> socket.socket:
    """A listening socket on (host, port); AddressError saying why not."""
    try:
        found = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        family, kind, protocol, _, address = found[0]
        # With the protocol given (TCP), asyncio turns Nagle's algorithm off on every connection:
        # without it each answer on a kept-alive connection waited 40 ms for a delayed ACK.
        listener = socket.socket(family, kind, protocol)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(address)
        listener.listen(64)
    except OSError as error:
        raise AddressError(f"cannot listen on {host} port {port}: {error.strerror or error}")
    return listener


def is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


def address_of(listener: socket.socket) -> str:
    host, port = listener.getsockname()[:2]
    return f"http://[{host}]:{port}/" if ":" in host else f"http://{host}:{port}/"


class _Server(uvicorn.Server):
    """uvicorn's server, which also tells the games under way that it stops."""

    def __init__(self, config: uvicorn.Config, settings: PageSettings) -> None:
        super().__init__(config)
        self.settings = settings

    def handle_exit(self, sig: int, frame: Optional[FrameType]) -> None:
        self.settings.stopping.set()
        super().handle_exit(sig, frame)


def serve(settings: PageSettings, host: str, port: int) -> None:
    """Serves the page until Ctrl-C (KeyboardInterrupt, raised once uvicorn has stopped)."""
    listener = bind(host, port)
    config = uvicorn.Config(
        create_app(settings),
        log_level="warning",
        lifespan="off",  # the application has no start-up or shutdown of its own
        timeout_graceful_shutdown=GRACE_SECONDS,
    )
    print(f"The page is at {address_of(listener)} (Ctrl-C stops the server)", flush=True)
    if not is_loopback(host):
        print(
            f"warning: {host} is not a loopback address: anyone who reaches this machine can "
            "play, run the networks and read the run's files offered",
            flush=True,
        )
    try:
        _Server(config, settings).run(sockets=[listener])
    finally:
        listener.close()

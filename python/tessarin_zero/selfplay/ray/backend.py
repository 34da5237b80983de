"""The connection of a command to a Ray cluster, and the self-play actors that live on it.

`RayBackend` joins a cluster at an address, or starts a local instance with this machine's cores
and shuts it down at the end. It owns the self-play actors (`ray_actor`), which live from one
iteration to the next: each pool takes the ones it needs, and new ones replace the lost.
"""

from __future__ import annotations

import importlib.util
import logging
import os
import signal
import socket
import threading
import time
from types import TracebackType
from typing import Any, Optional

from tessarin_zero.selfplay.ray.actor import SelfPlayActor

_log = logging.getLogger(__name__)
_REACH_S = 10.0  # how long the head may take to accept a connection
_RESTORED_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class RayBackendError(RuntimeError):
    """The cluster could not be reached or the Ray package is missing."""


def ray_available() -> bool:
    """Whether the Ray package is installed (without importing it: that takes a second)."""
    return importlib.util.find_spec("ray") is not None


def _fetch(reference: Any) -> Any:
    import ray

    return ray.get(reference)


class RayBackend:
    """A connection to the cluster at `address`, or to a local instance with `num_cpus` cores
    (default: this machine's) started for the command when `address` is None. Use as a context
    manager: leaving it kills every actor, and shuts the instance down if it started it.

    ``ray.init`` puts in a SIGTERM handler of its own; the handlers in place before it (the
    host's, which stop a run in order) are put back. `start_seconds` is how long connecting
    took. In a program that has called ``ray.init`` itself, that connection is used and left
    as it is."""

    def __init__(
        self,
        address: Optional[str] = None,
        *,
        num_cpus: Optional[int] = None,
        max_restarts: int = 4,
        group_s: Optional[float] = None,
    ) -> None:
        self.address = address
        self.num_cpus = num_cpus
        self.max_restarts = max_restarts
        self.group_s = group_s
        self.started = False
        self.start_seconds = 0.0
        self._connected = False
        self._actors: list[Any] = []

    def __enter__(self) -> RayBackend:
        self.connect()
        return self

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        self.close()

    def connect(self) -> None:
        if not ray_available():
            raise RayBackendError(
                "the Ray backend needs the ray package: pip install 'tessarin-self-play[ray]'"
            )
        if self.address is not None:
            _check_reachable(self.address)
        import ray

        if ray.is_initialized():  # the program around us joined a cluster already: use it
            self._connected = True
            return
        main = threading.current_thread() is threading.main_thread()
        handlers = {s: signal.getsignal(s) for s in _RESTORED_SIGNALS} if main else {}
        began = time.perf_counter()
        try:
            if self.address is None:
                cpus = self.num_cpus if self.num_cpus is not None else os.cpu_count() or 1
                ray.init(
                    address="local",
                    num_cpus=cpus,
                    include_dashboard=False,
                    log_to_driver=False,
                    logging_level=logging.WARNING,
                )
            else:
                ray.init(address=self.address, log_to_driver=False, logging_level=logging.WARNING)
        except (ConnectionError, RuntimeError, ValueError) as error:
            raise RayBackendError(f"cannot connect to Ray at {self.address}: {error}") from error
        except BaseException:  # Ctrl-C while an instance starts: no half-started instance
            if self.address is None:
                ray.shutdown()
            raise
        finally:
            for stop, handler in handlers.items():
                if handler is not None:
                    signal.signal(stop, handler)
        self.start_seconds = time.perf_counter() - began
        self.started = self.address is None
        self._connected = True

    def actors(self, count: int) -> list[Any]:
        """`count` self-play actors: those of earlier pools, and new ones in place of the lost."""
        import ray

        options = dict(num_cpus=1, max_restarts=self.max_restarts, max_task_retries=0)
        remote = ray.remote(SelfPlayActor).options(**options)
        extra = {} if self.group_s is None else {"group_s": self.group_s}
        while len(self._actors) < count:
            self._actors.append(remote.remote(_fetch, **extra))
        return self._actors[:count]

    def drop(self, actor: Any) -> None:
        """Forgets an actor that cannot come back (a later pool starts a new one instead)."""
        self._actors = [kept for kept in self._actors if kept is not actor]
        self._kill(actor)

    def kill_actors(self) -> None:
        """Ends every actor at once, whatever it is doing."""
        actors, self._actors = self._actors, []
        for actor in actors:
            self._kill(actor)

    def close(self) -> None:
        """Kills the actors and, if this backend started the instance, shuts it down. Never
        raises."""
        if not self._connected:
            return
        self._connected = False
        self.kill_actors()
        if self.started:
            try:
                import ray

                ray.shutdown()
            except Exception as error:  # the run is over either way; say why it was untidy
                _log.warning("the local Ray instance did not shut down cleanly: %s", error)

    @staticmethod
    def _kill(actor: Any) -> None:
        import ray

        try:
            ray.kill(actor, no_restart=True)
        except Exception:  # gone already, or the cluster with it: nothing is left to end
            pass


def _check_reachable(address: str, timeout_s: float = _REACH_S) -> None:
    """Raises RayBackendError unless a host:port address takes a connection and answers as a
    Ray head does: ``ray.init`` would otherwise retry a mistyped or dead head for minutes, and
    as long a server of another kind listening there. Other forms (auto, ray://) are left to
    Ray."""
    host, colon, port = address.rpartition(":")
    if not colon or not port.isdigit() or "/" in address or not host:
        return
    try:
        with socket.create_connection((host.strip("[]"), int(port)), timeout=timeout_s) as link:
            answer = _http2_answer(link) if not _tls() else _SETTINGS_FRAME
    except OSError as error:
        raise RayBackendError(
            f"cannot reach the Ray cluster at {address} ({error}): is `ray start --head` "
            "running there?"
        ) from error
    if answer is None or not _is_settings_frame(answer):
        heard = f"it answered {answer!r}" if answer else f"no answer within {_ANSWER_S:g} s"
        raise RayBackendError(
            f"cannot reach the Ray cluster at {address}: what listens there is not a Ray head "
            f"({heard} to a gRPC greeting): is the port right?"
        )


# A Ray head's control service is gRPC, that is HTTP/2: to the client's greeting (the preface
# and an empty SETTINGS frame) it answers with a SETTINGS frame of its own. An HTTP/1 server
# answers with a status line, most others with nothing or a close.
_ANSWER_S = 5.0
_FRAME_HEADER = 9  # length (3 bytes), type, flags, stream id (4 bytes)
_SETTINGS = 0x4
_SETTINGS_FRAME = bytes([0, 0, 0, _SETTINGS, 0, 0, 0, 0, 0])
_HTTP2_GREETING = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + _SETTINGS_FRAME


def _http2_answer(link: socket.socket) -> Optional[bytes]:
    """The first frame header the server sends after the greeting; what came before it closed
    or fell silent if shorter, None when nothing came."""
    link.settimeout(_ANSWER_S)
    received = b""
    try:
        link.sendall(_HTTP2_GREETING)
        while len(received) < _FRAME_HEADER:
            more = link.recv(_FRAME_HEADER - len(received))
            if not more:
                break
            received += more
    except (socket.timeout, ConnectionError):
        pass
    return received or None


def _is_settings_frame(header: bytes) -> bool:
    return len(header) == _FRAME_HEADER and header[3] == _SETTINGS and header[5:] == bytes(4)


def _tls() -> bool:
    """Whether Ray is told to speak TLS, to which a clear greeting gets no answer."""
    return os.environ.get("RAY_USE_TLS", "0").lower() not in ("0", "false", "")

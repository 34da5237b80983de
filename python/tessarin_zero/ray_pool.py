"""Self-play on a Ray cluster: actors play, the driver receives and writes.

`RayBackend` is the command's connection to a cluster (or a local instance it starts with this
machine's cores and shuts down at the end) and owns the self-play actors, which live from one
iteration to the next. `RayPool` is a `WorkerPool` over those actors: each runs the batched
driver with its own copy of the network on one CPU (`ray_actor`). The network is published once
per pool with ``ray.put`` and the actors are handed its reference.

Records stream back in small groups as games finish and are yielded as outcomes, in the driver,
which writes them as with the local pools. Every game has an id (iteration, slot, index) and is
yielded once (`ray_ledger`). An actor that dies is restarted by Ray (up to `max_restarts`
times); the games of its share not yet received are played again by the first free actor and
the ones received are kept. An actor that cannot come back (its node is gone, its restarts are
spent) leaves the pool: the run goes on with the others, and fails only once none is left.
"""

from __future__ import annotations

import importlib.util
import logging
import os
import signal
import socket
import threading
import time
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Any, Optional

from .pool import GameOutcome, WorkerError, WorkerPool
from .ray_actor import SelfPlayActor, Taken
from .ray_ledger import GameLedger, Share
from .server import NetworkFactory
from .settings import GameSettings

_log = logging.getLogger(__name__)
_POLL_S = 0.1  # how often the driver runs its health check while it waits for the actors
_UNAVAILABLE_S = 120.0  # how long an unreachable actor may stay so before it counts as lost
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
    """Raises RayBackendError unless a host:port address takes a connection: ``ray.init`` would
    otherwise retry a mistyped or dead head for minutes. Other forms (auto, ray://) are left to
    Ray."""
    host, colon, port = address.rpartition(":")
    if not colon or not port.isdigit() or "/" in address or not host:
        return
    try:
        with socket.create_connection((host.strip("[]"), int(port)), timeout=timeout_s):
            pass
    except OSError as error:
        raise RayBackendError(
            f"cannot reach the Ray cluster at {address} ({error}): is `ray start --head` "
            "running there?"
        ) from error


class RayPool(WorkerPool):
    """`workers` actors of `backend`, each playing up to `batch_games` games of a share at once,
    evaluated the `inference` way on its CPU. `iteration` goes into every game's id.

    After `play`, `evaluations` and `steps` say what the actors did for the games received,
    `restarts` how many times an actor went down while it held a share and was asked to come
    back, `lost` how many could not, `replayed`
    how many games were handed to another actor (or the same one back) to be played again, and
    `ledger` which games were received."""

    def __init__(
        self,
        backend: RayBackend,
        network: NetworkFactory,
        config: GameSettings,
        workers: int,
        batch_games: int,
        *,
        inference: str,
        iteration: int = 0,
    ) -> None:
        if workers < 1:
            raise ValueError("a pool needs at least one worker")
        if batch_games < 1:
            raise ValueError("a batch needs at least one game")
        self._backend = backend
        self._network = network
        self._config = config
        self._workers = workers
        self._batch_games = batch_games
        self._inference = inference
        self._iteration = iteration
        self._published: list[Any] = []
        self._actors: list[Any] = []
        self._calls: dict[Any, tuple[int, str, Optional[Share]]] = {}
        self._stopped = False
        self.evaluations = 0
        self.steps = 0
        self.restarts = 0
        self.lost = 0
        self.replayed = 0
        self.ledger: Optional[GameLedger] = None
        self._idle: list[int] = []  # actors up and without a share
        self._pings: list[tuple[float, int]] = []  # (when, actor): readiness asked for then
        self._down_since: dict[int, float] = {}  # actors that failed a call, since when
        self._loss = ""

    def start(self) -> None:
        import ray

        try:
            self._published = [ray.put(self._network)]  # once: actors get the reference
            self._actors = self._backend.actors(self._workers)
        except BaseException:
            self.stop(abort=True)
            raise

    def play(self, games: int, check: Optional[Callable[[], None]] = None) -> Iterator[GameOutcome]:
        """Splits the games into one share per actor and yields each game's outcome once, as
        its group comes back. Raises WorkerError when the actors' code fails, or when every
        actor is lost."""
        import ray

        ledger = self.ledger = GameLedger(self._iteration, games, len(self._actors))
        self._idle = []
        self._pings = [(0.0, index) for index in range(len(self._actors))]
        self._down_since = {}
        while not ledger.done:
            if check is not None:
                check()
            while self._idle and ledger.pending:
                share = ledger.next_share(len(self._idle))
                assert share is not None
                self._begin(self._idle.pop(0), share)
            self._send_pings()
            if not self._calls:
                if not self._pings:
                    raise WorkerError(f"every self-play actor was lost; the last: {self._loss}")
                time.sleep(_POLL_S)
                continue
            finished, _ = ray.wait(list(self._calls), num_returns=1, timeout=_POLL_S)
            for reference in finished:
                index, kind, share = self._calls.pop(reference)
                taken = self._answer(reference, index, kind, share)
                if taken is None:
                    continue
                assert share is not None
                self.evaluations += taken.evaluations
                self.steps += taken.steps
                for game, record in taken.records:
                    if ledger.accept(share, game):
                        yield GameOutcome(game[1], False, (game[1], record))
                if taken.done and not ledger.finished(share):
                    self._give_back(share)  # games short: play them again

    def _answer(
        self, reference: Any, index: int, kind: str, share: Optional[Share]
    ) -> Optional[Taken]:
        """Moves actor `index` on after its call of `kind` returned; a take's records, if any."""
        import ray
        from ray.exceptions import ActorUnavailableError, RayActorError

        try:
            value = ray.get(reference)
        except RayActorError as error:
            if share is not None:  # died or unreachable mid-share: its games are played again
                self._give_back(share)
            if kind != "ready":
                self.restarts += 1
            down = self._down_since.setdefault(index, time.monotonic())
            unreachable = isinstance(error, ActorUnavailableError)  # restarting, or cut off
            if kind != "ready" or (unreachable and time.monotonic() - down < _UNAVAILABLE_S):
                self._pings.append((time.monotonic() + (_POLL_S if kind == "ready" else 0), index))
            else:  # it cannot (re)start: its node is gone or its restarts are spent
                self._loss = f"actor {index}: {_first_line(error)}"
                _log.warning("self-play %s; the pool goes on without it", self._loss)
                self.lost += 1
                self._backend.drop(self._actors[index])
            return None
        except Exception as error:  # the actor's own code raised: a fault, not a loss
            raise WorkerError(f"self-play actor {index} failed:\n{error}") from error
        if kind == "ready":
            self._down_since.pop(index, None)
            if index not in self._idle:
                self._idle.append(index)
            return None
        assert share is not None
        if kind == "begin":
            self._take(index, share)
            return None
        assert isinstance(value, Taken)
        if value.unknown:  # restarted between two calls: the share went with the old process
            self.restarts += 1
            self._give_back(share)
            self._idle.append(index)
            return None
        if value.done:
            self._idle.append(index)
        else:
            self._take(index, share)  # the actor plays on while the driver writes
        return value

    def _send_pings(self) -> None:
        now = time.monotonic()
        due = [index for when, index in self._pings if when <= now]
        self._pings = [(when, index) for when, index in self._pings if when > now]
        for index in due:
            self._calls[self._actors[index].ready.remote()] = (index, "ready", None)

    def _take(self, index: int, share: Share) -> None:
        call = self._actors[index].take.remote(self._iteration, share.slot, share.first)
        self._calls[call] = (index, "take", share)

    def _give_back(self, share: Share) -> None:
        assert self.ledger is not None
        rest = self.ledger.give_back(share)
        self.replayed += rest.count if rest is not None else 0

    def _begin(self, index: int, share: Share) -> None:
        actor = self._actors[index]
        call = actor.begin.remote(
            self._iteration,
            share.slot,
            share.first,
            share.count,
            self._published,
            self._config,
            self._batch_games,
            self._inference,
        )
        self._calls[call] = (index, "begin", share)

    def stop(self, abort: bool = False) -> None:
        """Idle actors are kept for the next pool; on `abort`, or with calls still out, every
        actor is killed."""
        if self._stopped:
            return
        self._stopped = True
        if abort or any(kind != "ready" for _, kind, _ in self._calls.values()):
            self._backend.kill_actors()
        self._calls.clear()
        self._published = []


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__

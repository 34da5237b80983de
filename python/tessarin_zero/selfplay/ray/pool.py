"""Self-play on a Ray cluster: actors play, the driver receives and writes.

`RayPool` is a `WorkerPool` over the actors of a `RayBackend` (`ray_backend`): each runs the
batched driver with its own copy of the network on one CPU (`ray_actor`). The network is
published once per pool with ``ray.put`` and the actors are handed its reference.

Records stream back in small groups as games finish and are yielded as outcomes, in the driver,
which writes them as with the local pools. Every game has an id (iteration, slot, index) and is
yielded once (`ray_ledger`). An actor that dies is restarted by Ray (up to the backend's
`max_restarts` times); the games of its share not yet received are played again by the first
free actor and the ones received are kept. An actor that cannot come back (its node is gone,
its restarts are spent) leaves the pool: the run goes on with the others, and fails only once
none is left.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Callable, Iterator
from typing import Any, Optional

from tessarin_zero.selfplay.outcomes import GameOutcome, WorkerError
from tessarin_zero.selfplay.pool import WorkerPool
from tessarin_zero.selfplay.ray.actor import Taken
from tessarin_zero.selfplay.ray.backend import RayBackend
from tessarin_zero.selfplay.ray.ledger import GameLedger, Share
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.common.settings import GameSettings

_log = logging.getLogger(__name__)
_POLL_S = 0.1  # how often the driver runs its health check while it waits for the actors
_UNAVAILABLE_S = 120.0  # how long an unreachable actor may stay so before it counts as lost


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
        cached_positions: int = 0,
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
        self._cached_positions = cached_positions
        self._iteration = iteration
        self._published: list[Any] = []
        self._actors: list[Any] = []
        self._calls: dict[Any, tuple[int, str, Optional[Share]]] = {}
        self._stopped = False
        self.evaluations = 0
        self.steps = 0
        self.cache_hits = 0
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
                self.cache_hits += taken.cache_hits
                for game, record in taken.records:
                    if ledger.accept(share, game):
                        yield GameOutcome(game[1], record=record)
                for game, reason in taken.failures:
                    if ledger.accept(share, game):
                        yield GameOutcome(game[1], failure=reason)
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
            self._cached_positions,
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

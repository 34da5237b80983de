"""The self-play actor of the Ray backend: a batched self-play driver with its own network copy.

An actor plays one share of games at a time (`begin`), in the engine's batch, evaluating every
step on its own copy of the network on the CPU, as a batched worker of the local pool does. The
batch is stepped on a thread of the actor, so it never waits for the driver. The driver calls
`take` again and again: each call returns once some games have finished (and at least
`group_s` has passed since it came) or the share is done, with those games' records and their
ids, so that records stream back while the share is being played and a lost actor costs only
the games it had not handed over.

The weights arrive as an object reference, wrapped in a list so that Ray does not fetch them on
every call: the actor fetches them once per publication and keeps the evaluator it built for
them until other weights are published. This class knows nothing of Ray's actor machinery (the
pool wraps it with ``ray.remote``), so it can be tried in-process.
"""

from __future__ import annotations

import os
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

from tessarin_zero.selfplay.batched import Evaluate, Step, new_batch, play_batch
from tessarin_zero.selfplay.ray.ledger import GameId
from tessarin_zero.common.settings import GameSettings
from tessarin_zero.storage.records import GameRecord

GROUP_S = 0.2  # a take's least length: long beside a call's round trip, short beside a share
_WAKE_S = 1.0  # how often a take with nothing to return looks again (a lost wake-up costs this)


@dataclass(frozen=True)
class Taken:
    """What one `take` returns: the games finished since the last call with their ids, as
    records, or as the reasons they were abandoned; the evaluations and batch steps made
    meanwhile; whether the share is done; and whether the actor did not know the share (it was
    restarted since the share began)."""

    records: list[tuple[GameId, GameRecord]]
    evaluations: int
    steps: int
    done: bool
    unknown: bool = False
    failures: list[tuple[GameId, str]] = field(default_factory=list)
    cache_hits: int = 0


EvaluatorFactory = Callable[[Any, GameSettings, str], Evaluate]
"""(published network, game settings, inference path) -> evaluator."""


def cpu_evaluator(network: Any, game: GameSettings, inference: str) -> Evaluate:
    """The network's evaluator on this process's CPU, one thread (an actor holds one core)."""
    import torch

    from tessarin_zero.inference.evaluator import BatchEvaluator

    torch.set_num_threads(1)
    return BatchEvaluator(network(), path=inference, channels_last=game.rep == 2, dim=game.dim)


class _Share:
    """One share being played on a thread of its own, so that the batch never waits for the
    driver: the records pile up here until the next `take` collects them."""

    def __init__(
        self, batch: Any, evaluate: Evaluate, iteration: int, slot: int, first: int, count: int
    ) -> None:
        self.key = (iteration, slot, first)
        self._batch = batch
        self._evaluate = evaluate
        self._next = first
        self._last = first + count
        self._changed = threading.Condition()
        self._records: list[tuple[GameId, GameRecord]] = []
        self._failures: list[tuple[GameId, str]] = []
        self._evaluations = 0
        self._steps = 0
        self._cache_hits = 0
        self._done = False
        self._error: Optional[BaseException] = None
        self._stopping = False
        self._thread = threading.Thread(target=self._play, name="self-play-share", daemon=True)
        self._thread.start()

    def _play(self) -> None:
        try:
            play_batch(self._batch, self._evaluate, self._add, stop=lambda: self._stopping)
        except BaseException as error:  # handed to the next take, which raises it
            with self._changed:
                self._error = error
        finally:
            with self._changed:
                self._done = True
                self._changed.notify_all()

    def _add(self, step: Step) -> None:
        with self._changed:
            self._evaluations += step.evaluations
            self._steps += 1 if step.evaluations else 0
            self._cache_hits += step.cache_hits
            self._records += [(self._number(), record) for record in step.records]
            self._failures += [(self._number(), reason) for reason in step.failures]
            if step.records or step.failures:
                self._changed.notify_all()

    def _number(self) -> GameId:
        """The id of the next game out of the batch: games are numbered in the order they come
        out, finished or abandoned, from the share's first."""
        if self._next >= self._last:
            raise RuntimeError("the batch finished more games than it was given")
        iteration, slot, _ = self.key
        self._next += 1
        return (iteration, slot, self._next - 1)

    def take(self, group_s: float) -> Taken:
        """Waits until a game is there and `group_s` has passed, or the share is over."""
        deadline = time.monotonic() + group_s
        with self._changed:
            while not self._done:
                left = deadline - time.monotonic()
                ready = self._records or self._failures
                if ready and left <= 0:
                    break
                self._changed.wait(left if ready else max(left, _WAKE_S))
            if self._error is not None:
                raise self._error
            taken = Taken(
                self._records,
                self._evaluations,
                self._steps,
                done=self._done or self._next >= self._last,
                failures=self._failures,
                cache_hits=self._cache_hits,
            )
            self._records, self._failures = [], []
            self._evaluations = self._steps = self._cache_hits = 0
            return taken

    def stop(self) -> None:
        self._stopping = True
        self._thread.join()


class SelfPlayActor:
    """Plays shares of self-play games; `fetch` turns a published reference into its value
    (``ray.get`` in an actor)."""

    def __init__(
        self,
        fetch: Callable[[Any], Any],
        evaluator: EvaluatorFactory = cpu_evaluator,
        group_s: float = GROUP_S,
    ) -> None:
        self._fetch = fetch
        self._make_evaluator = evaluator
        self._group_s = group_s
        self._evaluator: Optional[Evaluate] = None
        self._evaluator_key: Optional[tuple[str, str, int]] = None
        self._share: Optional[_Share] = None

    def ready(self) -> int:
        """Answered once the actor is up (after a start or a restart): its process id."""
        return os.getpid()

    def begin(
        self,
        iteration: int,
        slot: int,
        first: int,
        count: int,
        published: list[Any],
        game: GameSettings,
        batch_games: int,
        inference: str,
        cached_positions: int = 0,
    ) -> None:
        """Starts the share `first` .. `first + count - 1` of `slot`, ending any share begun
        before (the driver gave up on it)."""
        if count < 1:
            raise ValueError("a share needs at least one game")
        if self._share is not None:
            self._share.stop()
            self._share = None
        (reference,) = published
        key = (_key_of(reference), inference, game.rep)
        if self._evaluator is None or key != self._evaluator_key:
            self._evaluator = None  # the old network's memory goes before the new one comes
            self._evaluator = self._make_evaluator(self._fetch(reference), game, inference)
            self._evaluator_key = key
        batch = new_batch(game, min(batch_games, count), count, cached_positions=cached_positions)
        self._share = _Share(batch, self._evaluator, iteration, slot, first, count)

    def take(self, iteration: int, slot: int, first: int) -> Taken:
        """The records of the share begun as (`iteration`, `slot`, `first`) finished since the
        last call, once at least one is there and `group_s` has passed, or the share is over;
        the share goes on being played meanwhile. An actor that does not hold that share (a new
        process after a restart) says so."""
        share = self._share
        if share is None or share.key != (iteration, slot, first):
            return Taken([], 0, 0, done=False, unknown=True)
        taken = share.take(self._group_s)
        if taken.done:  # its thread is ending: the next share's must not overlap it
            share.stop()
            self._share = None
        return taken


def _key_of(reference: Any) -> str:
    """What tells two publications apart: the reference's id (any value in-process)."""
    identify = getattr(reference, "hex", None)
    return str(identify()) if callable(identify) else str(id(reference))

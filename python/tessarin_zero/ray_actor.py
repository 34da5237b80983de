"""The self-play actor of the Ray backend: a batched self-play driver with its own network copy.

An actor plays one share of games at a time (`begin`), in the engine's batch, evaluating every
step on its own copy of the network on the CPU, as a batched worker of the local pool does. The
driver then calls `take` again and again: each call steps the batch until some games have
finished (and at least `group_s` has passed) or the share is done, and returns those games'
records with their ids, so that records stream back while the share is being played and a lost
actor costs only the games it had not handed over.

The weights arrive as an object reference, wrapped in a list so that Ray does not fetch them on
every call: the actor fetches them once per publication and keeps the evaluator it built for
them until other weights are published. This class knows nothing of Ray's actor machinery (the
pool wraps it with ``ray.remote``), so it can be tried in-process.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

from .batched import Evaluate, new_batch
from .ray_ledger import GameId
from .settings import GameSettings

GROUP_S = 0.2  # a take's least length: long beside a call's round trip, short beside a share


@dataclass(frozen=True)
class Taken:
    """What one `take` returns: the records finished since the last call, with their ids; the
    evaluations and batch steps made meanwhile; whether the share is done; and whether the
    actor did not know the share (it was restarted since the share began)."""

    records: list[tuple[GameId, Any]]
    evaluations: int
    steps: int
    done: bool
    unknown: bool = False


EvaluatorFactory = Callable[[Any, GameSettings, str], Evaluate]
"""(published network, game settings, inference path) -> evaluator."""


def cpu_evaluator(network: Any, game: GameSettings, inference: str) -> Evaluate:
    """The network's evaluator on this process's CPU, one thread (an actor holds one core)."""
    import torch

    from .inference import BatchEvaluator

    torch.set_num_threads(1)
    return BatchEvaluator(network(), path=inference, channels_last=game.rep == 2)


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
        self._batch: Any = None
        self._share: Optional[tuple[int, int, int, int]] = None  # iteration, slot, next, last
        self._begun: Optional[tuple[int, int, int]] = None  # iteration, slot, first

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
    ) -> None:
        """Starts the share `first` .. `first + count - 1` of `slot`, dropping any share begun
        before (the driver gave up on it)."""
        if count < 1:
            raise ValueError("a share needs at least one game")
        (reference,) = published
        key = (_key_of(reference), inference, game.rep)
        if self._evaluator is None or key != self._evaluator_key:
            self._evaluator = None  # the old network's memory goes before the new one comes
            self._evaluator = self._make_evaluator(self._fetch(reference), game, inference)
            self._evaluator_key = key
        self._batch = new_batch(game, games=min(batch_games, count), total_games=count)
        self._share = (iteration, slot, first, first + count)
        self._begun = (iteration, slot, first)

    def take(self, iteration: int, slot: int, first: int) -> Taken:
        """Plays on the share begun as (`iteration`, `slot`, `first`) until at least one game
        has finished and `group_s` has passed, or the share is done; returns the records of the
        games finished meanwhile. An actor that does not hold that share (a new process after
        a restart) says so instead of playing."""
        if (iteration, slot, first) != self._begun or self._share is None or self._batch is None:
            return Taken([], 0, 0, done=False, unknown=True)
        assert self._evaluator is not None
        iteration, slot, index, last = self._share
        batch = self._batch
        evaluations = steps = 0
        records: list[tuple[GameId, Any]] = []
        started = time.perf_counter()
        while not batch.done:
            if records and time.perf_counter() - started >= self._group_s:
                break
            positions, slots = batch.step()
            waiting = len(memoryview(slots))
            if waiting:
                policy, value = self._evaluator(positions)
                batch.complete(policy, value)
                evaluations += waiting
                steps += 1
            for record in batch.take_finished():
                if index >= last:
                    raise RuntimeError("the batch finished more games than it was given")
                records.append(((iteration, slot, index), record))
                index += 1
        self._share = (iteration, slot, index, last)
        done = bool(batch.done)
        if done:
            self._batch = None
            self._begun = None
        return Taken(records, evaluations, steps, done)


def _key_of(reference: Any) -> str:
    """What tells two publications apart: the reference's id (any value in-process)."""
    identify = getattr(reference, "hex", None)
    return str(identify()) if callable(identify) else str(id(reference))

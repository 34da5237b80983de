"""Self-play in batches: many games in one process, one network call per step.

The engine's ``SelfPlayBatch`` holds N training games, each with its own search. A step hands
over the positions of every game waiting for an evaluation as one buffer, with the slots of the
games they belong to; the answers go back through the batch's own answer buffers (no buffer is
handed to the engine per step); finished games come out as records, abandoned ones as their
reasons, and a slot starts its next game until the requested number of games has been played.
`play_batch` is that loop, written once for the local workers, the Ray actors and the
benchmarks.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import tessarin_engine

from tessarin_zero.common.settings import GameSettings
from tessarin_zero.storage.records import GameRecord

Evaluate = Callable[[Any], tuple[np.ndarray, np.ndarray]]
"""Positions buffer -> (policy logits [B, dim * dim], value logits [B, 4]), float32."""


class BatchedUnavailable(RuntimeError):
    """The engine in use was built without the batched self-play type."""


def batched_available() -> bool:
    return hasattr(tessarin_engine, "SelfPlayBatch")


def new_batch(
    game: GameSettings,
    games: int,
    total_games: int,
    dtype: str = "float32",
    cached_positions: int = 0,
) -> Any:
    """A batch of `games` concurrent training games that plays `total_games` in all, handing
    over positions as `dtype` ("float32", what the evaluators read without a conversion, or
    "uint8", a quarter of the bytes for a step sent to the inference server), with a memo of
    `cached_positions` network answers by position (0: none)."""
    if not batched_available():
        raise BatchedUnavailable(
            "tessarin_engine has no SelfPlayBatch: this build cannot play batched self-play "
            "(use the per-game worker driver)"
        )
    return tessarin_engine.SelfPlayBatch(
        game,
        games=games,
        total_games=total_games,
        dtype=dtype,
        fast_sims=game.fast_sims_per_move,
        full_search_share=game.full_search_share,
        engine_opponents=game.engine_opponent_share,
        cached_positions=cached_positions,
    )


@dataclass(frozen=True)
class Step:
    """What one step of a batch gave: the positions evaluated, the evaluations its position
    memo answered meanwhile, the games finished since the last step and the reasons of those
    abandoned."""

    evaluations: int
    records: list[GameRecord]
    failures: list[str]
    cache_hits: int = 0


@dataclass(frozen=True)
class BatchRun:
    """What one `play_batch` call did."""

    evaluations: int
    steps: int
    games: int
    failed: int
    seconds: float
    cache_hits: int = 0

    @property
    def mean_batch(self) -> float:
        return self.evaluations / self.steps if self.steps else 0.0


def play_batch(
    batch: Any,
    evaluate: Evaluate,
    on_step: Callable[[Step], None] = lambda step: None,
    seconds: Optional[float] = None,
    stop: Callable[[], bool] = lambda: False,
) -> BatchRun:
    """Steps `batch` until it is done, for about `seconds`, or until `stop()` says so (checked
    between steps): every step's positions go to `evaluate` in one call, its answers are copied
    into the batch's answer buffers, and `on_step` hears what the step gave."""
    policy_rows, value_rows = (np.asarray(buffer) for buffer in batch.answers())
    evaluations = steps = games = failed = 0
    hits = first_hits = batch.cache_hits
    started = time.perf_counter()
    while not batch.done and not stop():
        if seconds is not None and time.perf_counter() - started >= seconds:
            break
        positions, slots = batch.step()
        waiting = len(memoryview(slots))  # the engine's buffers have no len() of their own
        if waiting:
            policy, value = evaluate(positions)
            policy_rows[:waiting] = policy
            value_rows[:waiting] = value
            batch.complete_from_answers()
            evaluations += waiting
            steps += 1
        step = Step(
            waiting,
            [GameRecord(*record) for record in batch.take_finished()],
            list(batch.take_failed()),
            batch.cache_hits - hits,
        )
        hits = batch.cache_hits
        games += len(step.records)
        failed += len(step.failures)
        on_step(step)
    return BatchRun(
        evaluations,
        steps,
        games,
        failed,
        time.perf_counter() - started,
        hits - first_hits,
    )

"""Self-play in batches: many games in one process, one network call per step.

The engine's ``SelfPlayBatch`` holds N training games, each with its own search. A step hands
over the positions of every game waiting for an evaluation as one buffer, with the slots of the
games they belong to; the answers go back as two arrays (policy logits [B, dim * dim], value
logits [B, 4]); finished games come out as training records in the module's format, and a slot
starts its next game until the requested number of games has been played. `play_batch` is that
loop, written once for the host and the benchmark.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import tessarin_engine

from .settings import GameSettings

Evaluate = Callable[[Any], tuple[np.ndarray, np.ndarray]]
"""Positions buffer -> (policy logits [B, dim * dim], value logits [B, 4]), float32."""


class BatchedUnavailable(RuntimeError):
    """The engine in use was built without the batched self-play type."""


def batched_available() -> bool:
    return hasattr(tessarin_engine, "SelfPlayBatch")


def new_batch(game: GameSettings, games: int, total_games: int) -> Any:
    """A batch of `games` concurrent training games that plays `total_games` in all, handing
    over float32 positions (what the evaluators take without a conversion)."""
    if not batched_available():
        raise BatchedUnavailable(
            "tessarin_engine has no SelfPlayBatch: this build cannot play batched self-play "
            "(use the per-game worker driver)"
        )
    return tessarin_engine.SelfPlayBatch(
        game,
        games=games,
        total_games=total_games,
        dtype="float32",
        fast_sims=game.fast_sims_per_move,
        full_search_share=game.full_search_share,
        engine_opponents=game.engine_opponent_share,
    )


@dataclass(frozen=True)
class BatchRun:
    """What one `play_batch` call did."""

    evaluations: int
    steps: int
    games: int
    seconds: float

    @property
    def mean_batch(self) -> float:
        return self.evaluations / self.steps if self.steps else 0.0


def play_batch(
    batch: Any,
    evaluate: Evaluate,
    on_record: Callable[[Any], None] = lambda record: None,
    seconds: Optional[float] = None,
) -> BatchRun:
    """Steps `batch` until it is done, or for about `seconds`: every step's positions go to
    `evaluate` in one call and its answers back in one; each finished game's record goes to
    `on_record` as it comes out, as the batch gives it: (history, policies, payoff), without
    the worker id in front of the module's records."""
    evaluations = steps = games = 0
    started = time.perf_counter()
    while not batch.done:
        if seconds is not None and time.perf_counter() - started >= seconds:
            break
        positions, slots = batch.step()
        waiting = len(memoryview(slots))  # the engine's buffers have no len() of their own
        if waiting:
            policy, value = evaluate(positions)
            batch.complete(policy, value)
            evaluations += waiting
            steps += 1
        for record in batch.take_finished():
            on_record(record)
            games += 1
    return BatchRun(evaluations, steps, games, time.perf_counter() - started)

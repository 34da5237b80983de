"""The batched self-play loop: one evaluation per step for every waiting game, answers back in
one call, every finished game's record delivered; and the engine's batch type where built."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import torch

from tessarin_zero.batched import (
    BatchedUnavailable,
    batched_available,
    new_batch,
    play_batch,
)
from tessarin_zero.data import RecordWriter
from tessarin_zero.inference import BatchEvaluator
from tessarin_zero.network import PolicyValueNet
from tessarin_zero.settings import GameSettings, NetworkSettings

DIM = 5


class ScriptedBatch:
    """Stands in for the engine's batch: slot s waits for `needs[s]` evaluations per game, a
    game's record is its slot and the value logits it was answered with, and a slot starts
    its next game until `total` games have started. Odd steps leave slot 0 out (a game that
    reached a terminal leaf does not wait)."""

    def __init__(self, needs: list[int], total: int) -> None:
        self.needs = needs
        self.left = [need for need in needs]
        self.answers: list[list[float]] = [[] for _ in needs]
        self.started = len(needs)
        self.total = total
        self.finished: list[Any] = []
        self.pending: np.ndarray | None = None
        self.steps = 0

    @property
    def done(self) -> bool:
        return self.pending is None and not any(left > 0 for left in self.left)

    def step(self) -> tuple[np.ndarray, np.ndarray]:
        assert self.pending is None, "step before the last step's answers"
        self.steps += 1
        waiting = [s for s, left in enumerate(self.left) if left > 0]
        if self.steps % 2 and len(waiting) > 1:
            waiting = waiting[1:]
        self.pending = np.array(waiting, dtype=np.int64)
        positions = np.zeros((len(waiting), 5, DIM, DIM), dtype=np.float32)
        positions[:, 0, 0, 0] = self.pending  # the slot, for the evaluator to echo
        return positions, self.pending

    def complete(self, policy: np.ndarray, value: np.ndarray) -> None:
        assert self.pending is not None, "answers without a pending step"
        assert policy.shape == (len(self.pending), DIM * DIM) and value.shape[1] == 4
        for slot, row in zip(self.pending, value):
            assert row[0] == slot, "answers out of the order of the positions"
            self.answers[slot].append(float(row[0]))
            self.left[slot] -= 1
            if self.left[slot] == 0:
                self.finished.append((int(slot), self.answers[slot]))
                self.answers[slot] = []
                if self.started < self.total:
                    self.started += 1
                    self.left[slot] = self.needs[slot]
        self.pending = None

    def take_finished(self) -> list[Any]:
        taken, self.finished = self.finished, []
        return taken


def echo(positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    value = np.zeros((len(positions), 4), dtype=np.float32)
    value[:, 0] = positions[:, 0, 0, 0]
    return np.zeros((len(positions), DIM * DIM), dtype=np.float32), value


def test_every_waiting_game_is_evaluated_in_one_call_per_step() -> None:
    batch = ScriptedBatch(needs=[3, 1, 2], total=7)
    calls: list[int] = []
    records: list[Any] = []

    def evaluate(positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        calls.append(len(positions))
        return echo(positions)

    run = play_batch(batch, evaluate, records.append)
    assert batch.done and run.games == len(records) == 7
    assert run.evaluations == sum(calls) == sum(len(answers) for _, answers in records)
    assert run.steps == len(calls) and max(calls) == 3 and run.mean_batch > 1
    assert all(answers == [float(slot)] * batch.needs[slot] for slot, answers in records)


def test_a_time_budget_stops_the_loop_between_steps() -> None:
    batch = ScriptedBatch(needs=[1_000_000], total=1)
    run = play_batch(batch, echo, seconds=0.05)
    assert not batch.done and batch.pending is None and run.evaluations > 0


@pytest.mark.skipif(batched_available(), reason="the engine has the batched type")
def test_without_the_engine_type_a_batch_is_refused_clearly() -> None:
    with pytest.raises(BatchedUnavailable, match="SelfPlayBatch"):
        new_batch(GameSettings(dim=DIM), games=2, total_games=2)


@pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet")
@pytest.mark.parametrize("rep", [1, 2])
def test_the_engine_batch_plays_games_whose_records_are_sound(rep: int, tmp_path: Any) -> None:
    torch.manual_seed(0)
    game = GameSettings(dim=DIM, rep=rep, sims_per_move=4)
    evaluator = BatchEvaluator(PolicyValueNet(NetworkSettings(8, 1)), channels_last=rep == 2)
    with RecordWriter(tmp_path, game) as writer:
        run = play_batch(new_batch(game, games=3, total_games=5), evaluator, writer.add)
    assert run.games == 5 and run.evaluations > 0

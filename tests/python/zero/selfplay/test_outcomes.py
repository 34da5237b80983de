"""The accounting of a run's games: a run stops once more than half of its games are abandoned
(half is not more), with the first reason in its message; each reason is logged once; each game a
batched worker reports carries the work done since the game before it, once; the jobs of a
batched run share its games out evenly, every game played once."""

from __future__ import annotations

import logging
from typing import Any, cast

import numpy as np

import pytest

from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.selfplay import workers
from tessarin_zero.selfplay.outcomes import FailureCount, GameOutcome, PlayError, Work
from tessarin_zero.selfplay.workers import BatchedGames, Worker, WorkerOptions


def test_a_run_stops_once_most_of_its_games_failed_naming_the_first_reason(
    caplog: pytest.LogCaptureFixture,
) -> None:
    failures = FailureCount("self-play", 6)
    with caplog.at_level(logging.WARNING):
        failures.add("first reason", "worker 0")
        failures.add("second reason")
        failures.add("first reason")  # half the games: the run goes on
        with pytest.raises(PlayError, match=r"self-play: 4 of 6 games .* the first: first reason"):
            failures.add("second reason")
    assert failures.failed == 4
    logged = [record.getMessage() for record in caplog.records]
    assert len(logged) == 2
    assert "worker 0: a game was abandoned: first reason" in logged[0]
    assert "second reason" in logged[1]


class FourSteps:
    """A batch of two games whose step k evaluates ROWS[k] positions while its memo answers
    HITS[k] more; the first game ends at step 1, the second at step 3."""

    ROWS = [2, 1, 0, 1]
    HITS = [1, 0, 2, 0]

    def __init__(self) -> None:
        self.step_number = 0
        self.cache_hits = 0
        self.finished: list[Any] = []
        self.buffers = (np.zeros((2, 25), np.float32), np.zeros((2, 4), np.float32))

    @property
    def done(self) -> bool:
        return self.step_number == len(self.ROWS)

    def answers(self) -> tuple[np.ndarray, np.ndarray]:
        return self.buffers

    def step(self) -> tuple[np.ndarray, np.ndarray]:
        rows = self.ROWS[self.step_number]
        self.cache_hits += self.HITS[self.step_number]
        if rows == 0:
            self.complete_from_answers()
        return np.zeros((rows, 5, 5, 5), np.float32), np.arange(rows, dtype=np.int64)

    def complete_from_answers(self) -> None:
        if self.step_number in (1, 3):
            self.finished.append(([(0, 0)], [[]], [0.25] * 4))
        self.step_number += 1

    def take_finished(self) -> list[Any]:
        taken, self.finished = self.finished, []
        return taken

    def take_failed(self) -> list[str]:
        return []


def test_each_game_carries_the_work_done_since_the_game_before_it(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    monkeypatch.setattr(workers, "new_batch", lambda *args: FourSteps())
    outcomes: list[GameOutcome] = []

    def evaluate(positions: Any) -> tuple[np.ndarray, np.ndarray]:
        rows = len(positions)
        return np.zeros((rows, 25), np.float32), np.zeros((rows, 4), np.float32)

    worker = Worker(
        0, cast(Any, None), [], WorkerOptions(), outcomes.append, {"evaluate": evaluate}
    )
    games = BatchedGames(
        NetworkFactory(NetworkSettings(4, 1), b""), GameSettings(dim=5), 2, "eager"
    )
    games.play(2, worker)
    assert [outcome.record is not None for outcome in outcomes] == [True, True]
    # Steps 0 and 1 evaluated 3 positions in 2 steps, the memo answering 1; steps 2 and 3
    # evaluated 1 in 1 step (step 2 evaluated none), the memo answering 2.
    assert [outcome.work for outcome in outcomes] == [Work(3, 2, 1), Work(1, 1, 2)]


@pytest.mark.parametrize(("games", "workers"), [(5, 2), (8, 3), (3, 3), (2, 5), (1, 1)])
def test_the_jobs_of_a_batched_run_share_its_games_evenly(games: int, workers: int) -> None:
    batched = BatchedGames(
        NetworkFactory(NetworkSettings(4, 1), b""), GameSettings(dim=5), 4, "eager"
    )
    jobs = batched.jobs(games, workers)
    assert sum(jobs) == games and len(jobs) <= workers and min(jobs) >= 1
    assert max(jobs) - min(jobs) <= 1

"""The accounting of a run's games: a run stops once more than half of its games are abandoned
(half is not more), with the first reason in its message; each reason is logged once; the work
the workers report adds up field by field; the jobs of a batched run share its games out
evenly, every game played once."""

from __future__ import annotations

import logging

import pytest

from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.selfplay.outcomes import FailureCount, PlayError, Work
from tessarin_zero.selfplay.workers import BatchedGames


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


def test_work_adds_up_field_by_field() -> None:
    total = Work(10, 2, 1) + Work(7, 3, 0) + Work()
    assert (total.evaluations, total.steps, total.cache_hits) == (17, 5, 1)


@pytest.mark.parametrize(("games", "workers"), [(5, 2), (8, 3), (3, 3), (2, 5), (1, 1)])
def test_the_jobs_of_a_batched_run_share_its_games_evenly(games: int, workers: int) -> None:
    batched = BatchedGames(
        NetworkFactory(NetworkSettings(4, 1), b""), GameSettings(dim=5), 4, "eager"
    )
    jobs = batched.jobs(games, workers)
    assert sum(jobs) == games and len(jobs) <= workers and min(jobs) >= 1
    assert max(jobs) - min(jobs) <= 1

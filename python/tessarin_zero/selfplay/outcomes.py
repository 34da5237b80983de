"""What a game hands back to the host, how failed games are accounted for, and what a run of
games did.

Every game a pool is asked for ends in exactly one `GameOutcome`, played or abandoned, so a run
always knows when it is over: an abandoned game is never silently dropped. `FailureCount` is
what each run keeps of the abandoned ones: the count, each reason logged once, and a stop with
one line once most of the run's games have failed.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass
from typing import Optional

from tessarin_zero.storage.records import GameRecord

_log = logging.getLogger(__name__)


class WorkerError(RuntimeError):
    """A worker raised or died; the run cannot go on."""


class PlayError(RuntimeError):
    """Most games of a run were abandoned: what the run produced is not worth keeping on."""


@dataclass(frozen=True)
class Work:
    """What a worker did since its previous report, where it counts it itself (batched
    workers): positions its network evaluated, in how many steps, and evaluations its position
    memo answered instead."""

    evaluations: int = 0
    steps: int = 0
    cache_hits: int = 0

    def __add__(self, other: Work) -> Work:
        return Work(
            self.evaluations + other.evaluations,
            self.steps + other.steps,
            self.cache_hits + other.cache_hits,
        )


@dataclass(frozen=True)
class GameOutcome:
    """One game's end as the worker that played it reports it: a self-play game's record, a
    test game's payoff of the seat under test, or why the game was abandoned; with the work
    done since the worker's previous outcome."""

    worker: int
    record: Optional[GameRecord] = None
    payoff: Optional[float] = None
    failure: Optional[str] = None
    work: Work = Work()

    @property
    def failed(self) -> bool:
        return self.failure is not None


class FailureCount:
    """The abandoned games of a run of `games` games labelled `label`: counted, each distinct
    reason logged once as a warning, and PlayError raised as soon as more than half of the
    run's games have failed (the run cannot end with most of its games played)."""

    def __init__(self, label: str, games: int) -> None:
        self.label = label
        self.games = games
        self.failed = 0
        self.first: Optional[str] = None
        self._logged: set[str] = set()

    def add(self, failure: str, where: str = "") -> None:
        """Counts one abandoned game (`where`: who played it, for the log); raises PlayError
        once most of the run's games have failed."""
        self.failed += 1
        if self.first is None:
            self.first = failure
        if failure not in self._logged:
            self._logged.add(failure)
            _log.warning(
                "%s: %sa game was abandoned: %s (games abandoned for the same reason are counted, "
                "not logged again)",
                self.label,
                f"{where}: " if where else "",
                failure,
            )
        if 2 * self.failed > self.games:
            raise PlayError(
                f"{self.label}: {self.failed} of {self.games} games were abandoned; the first: "
                f"{self.first}"
            )


@dataclass(frozen=True)
class PlayStats:
    """What a run of self-play games produced and how fast it went."""

    games: int
    failed: int
    actions: int
    evaluations: int
    mean_batch: float
    seconds: float
    cache_hits: int = 0
    """Evaluations answered from the workers' position memos instead of the network."""

    def __str__(self) -> str:
        evaluations = (
            f"{self.evaluations} evaluations in batches of {self.mean_batch:.1f} on average, "
            if self.evaluations
            else ""
        )
        if self.cache_hits:
            evaluations += f"{self.cache_hits} more answered from the position memo, "
        return (
            f"{self.games} games ({self.failed} failed), {self.actions} actions, "
            f"{evaluations}{self.seconds:.1f} s"
        )

"""The arena: a candidate network against random players and against the best network so far.

Seat 0 is the network under test in both kinds of game, so a payoff of 0.25 is a fair share: the
candidate is promoted when its mean payoff against three copies of the best reaches the
threshold.
"""

from __future__ import annotations

from dataclasses import dataclass
from statistics import fmean

import torch

from .play import play_against_baseline, play_against_random
from .settings import GameSettings, NetworkSettings, ServerSettings


@dataclass(frozen=True)
class ArenaResult:
    """Mean payoffs of seat 0 (the candidate) and the promotion decision."""

    win_rate_vs_random: float
    score_vs_best: float
    promoted: bool


def run_arena(
    candidate: torch.nn.Module,
    best: torch.nn.Module | None,
    network: NetworkSettings,
    game: GameSettings,
    server: ServerSettings,
    *,
    games_vs_random: int,
    games_vs_best: int,
    workers: int,
    threshold: float,
    progress: bool = True,
) -> ArenaResult:
    """Plays both matches; without a best network the candidate is promoted unopposed.
    `games_vs_random` must be at least 1: the win rate is a mean over those games."""
    if games_vs_random < 1:
        raise ValueError("the arena needs at least one game against random players")
    vs_random = play_against_random(
        candidate, network, game, games_vs_random, workers, server, progress=progress
    )
    if best is None or games_vs_best == 0:
        return ArenaResult(fmean(vs_random), float("nan"), best is None)
    vs_best = play_against_baseline(
        candidate, best, network, game, games_vs_best, workers, server, progress=progress
    )
    score = fmean(vs_best)
    return ArenaResult(fmean(vs_random), score, score >= threshold)

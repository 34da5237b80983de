"""Summaries of match payoffs: a mean with its 95% interval, and the chance that a promotion rule
promotes a network that is no stronger than the best.

The interval is the Wilson score interval of the mean payoff over n games, the mean taken as a
proportion p: centre (p + z^2 / 2n) / (1 + z^2 / n), half width
z / (1 + z^2 / n) * sqrt(p (1 - p) / n + z^2 / 4n^2), z = 1.96. A game's payoff lies in [0, 1],
so its variance is at most p (1 - p), with equality when every game is won or lost outright:
the interval is then the usual one for a proportion, and wider than needed when shared wins
split the payoff. Unlike the plain normal approximation it stays honest at 0 or 1 (three losses
in three games do not make [0, 0]). Games are treated as independent; in a rotated-seat match
each seat is played equally often, so counting the seats' edges as noise only widens it.
"""

from __future__ import annotations

import math
import random
from collections.abc import Sequence
from dataclasses import dataclass
from statistics import fmean

Z_95 = 1.959964


@dataclass(frozen=True)
class Score:
    """Mean payoff of the player under test over `games` games, with its 95% interval."""

    mean: float
    low: float
    high: float
    games: int

    def __str__(self) -> str:
        if self.games == 0:
            return "no games"
        return f"{self.mean:.3f} [{self.low:.3f}, {self.high:.3f}] over {self.games} games"

    @classmethod
    def none(cls) -> Score:
        """No games played: every figure NaN."""
        return cls(math.nan, math.nan, math.nan, 0)


def score_of(payoffs: Sequence[float]) -> Score:
    """The mean of `payoffs` with its 95% Wilson score interval."""
    n = len(payoffs)
    if n == 0:
        return Score.none()
    mean = fmean(payoffs)
    p = min(1.0, max(0.0, mean))
    z2n = Z_95 * Z_95 / n
    centre = (p + z2n / 2) / (1 + z2n)
    half = Z_95 / (1 + z2n) * math.sqrt(p * (1 - p) / n + z2n / (4 * n))
    return Score(mean, max(0.0, centre - half), min(1.0, centre + half), n)


def false_promotion_rate(
    payoffs_by_seat: Sequence[Sequence[float]],
    games: int,
    threshold: float,
    trials: int = 20_000,
    seed: int = 0,
) -> float:
    """The share of simulated matches of `games` games (the same number in every seat, as the
    arena plays them) whose mean payoff reaches `threshold`, each game's payoff drawn from the
    payoffs observed in its seat between equal players. Equal players have a mean of 0.25, so
    this is the chance that the rule promotes a network that is not stronger."""
    if games % len(payoffs_by_seat) != 0:
        raise ValueError("the games must split evenly over the seats")
    per_seat = games // len(payoffs_by_seat)
    draw = random.Random(seed)
    promoted = 0
    for _ in range(trials):
        total = sum(sum(draw.choices(seat, k=per_seat)) for seat in payoffs_by_seat)
        promoted += total / games >= threshold
    return promoted / trials

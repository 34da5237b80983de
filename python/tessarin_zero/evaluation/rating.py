"""A rating of players from four-player games: Plackett-Luce, as the library ``openskill`` rates.

Every four of the contestants play a share of the games, on the engine's match batch
(``matches.play_lineup``: seats rotate, so each plays every seat equally often; the order
around the table is drawn once per four from the seed). A game's ranking is read from its
payoffs: the players with the highest payoff share first place, the others share second
(a payoff says who won, not who came second). The games then update the ratings one at a time,
in the order they were played, interleaved across the fours, with the library's update for the
Plackett-Luce model (Weng and Lin's Bayesian approximation).

The scale is anchored on one contestant, by default the random player: its rating is held at
0 with no uncertainty, as a reference that every game measures the others against. The others
start at 0 too (as strong as random until games say otherwise), with the library's prior
uncertainty. A rating's uncertainty is the library's sigma: the standard deviation of the
model's belief about that contestant's strength relative to the anchor; ``low`` and ``high``
are the rating +- 1.96 sigma. Strengths do not drift while they are rated (a network is a fixed
file), so the library's drift per game (tau) is 0, and sigma keeps shrinking as games add up.

What a difference means: with ratings a and b, the model gives the odds of a finishing ahead of
b as about exp((a - b) / c), with c the sum over the four seats of (sigma^2 + beta^2), square
rooted: about 2 beta = 8.3 once sigmas are small (beta = 25/6, the library's default scale).
"""

from __future__ import annotations

import itertools
import math
import random
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Optional

from openskill.models import PlackettLuce

from tessarin_zero.common.game import PLAYERS
from tessarin_zero.evaluation.matches import (
    RANDOM,
    Contestant,
    GameResult,
    MatchSettings,
    play_lineup,
    rotated_games,
)
from tessarin_zero.evaluation.stats import Z_95

PRIOR_SIGMA = 25.0 / 3.0
"""The library's prior uncertainty of a new player (its default scale: beta = 25/6)."""
ANCHOR_SIGMA = 1e-6
"""The anchor's uncertainty: none to speak of (the library divides by it, so not 0)."""


@dataclass(frozen=True)
class Rating:
    """A contestant's rating relative to the anchor (0), its uncertainty (the library's sigma)
    and the games it played."""

    name: str
    mu: float
    sigma: float
    games: int

    @property
    def low(self) -> float:
        return self.mu - Z_95 * self.sigma

    @property
    def high(self) -> float:
        return self.mu + Z_95 * self.sigma

    def __str__(self) -> str:
        if self.games == 0:
            return "no games"
        return f"{self.mu:.1f} +- {self.sigma:.1f} [{self.low:.1f}, {self.high:.1f}]"


@dataclass(frozen=True)
class RatingResult:
    """The ratings of every contestant, in the order they were given, and the games played."""

    ratings: list[Rating]
    games: int
    anchor: str

    def of(self, name: str) -> Rating:
        return next(rating for rating in self.ratings if rating.name == name)

    def table(self) -> list[str]:
        """One line per contestant, strongest first: rating +- sigma [1.96 sigma interval]."""
        width = max(len(rating.name) for rating in self.ratings)
        ordered = sorted(self.ratings, key=lambda rating: -rating.mu)
        lines = [f"{'contestant':<{width}}  {'rating':>7} {'sigma':>6}  95% interval     games"]
        for rating in ordered:
            interval = f"[{rating.low:.1f}, {rating.high:.1f}]"
            lines.append(
                f"{rating.name:<{width}}  {rating.mu:>7.2f} {rating.sigma:>6.2f}  "
                f"{interval:<16} {rating.games:>5}"
            )
        return lines


def ranks_from_payoffs(payoffs: Sequence[float]) -> list[int]:
    """1 for the players with the highest payoff (a shared win is a tie), 2 for the others."""
    best = max(payoffs)
    return [1 if payoff == best else 2 for payoff in payoffs]


def derived_seed(seed: int, number: int) -> int:
    """Seed `number` drawn from `seed`, within the engine's 64 bits."""
    return (seed * 1_000_003 + number) % 2**64


def lineups(count: int, seed: Optional[int]) -> list[list[int]]:
    """Every four of `count` contestants (indices), each in an order around the table drawn
    from `seed` (the first four in their own order without one)."""
    if count < PLAYERS:
        raise ValueError(f"a rating needs at least {PLAYERS} contestants, not {count}")
    fours = [list(four) for four in itertools.combinations(range(count), PLAYERS)]
    if seed is not None:
        draw = random.Random(seed)
        for four in fours:
            draw.shuffle(four)
    return fours


def rate(
    contestants: Sequence[Contestant],
    settings: MatchSettings,
    games: int,
    *,
    anchor: Contestant = RANDOM,
    label: str = "rating",
) -> RatingResult:
    """Plays about `games` games among `contestants` (at least four, distinct names, `anchor`
    among them): split evenly over every four of them, each four a multiple of four games and at
    least four, all played with `settings`; and rates them, `anchor` held at 0. The same seed
    in `settings` gives the same games and the same ratings."""
    names = [contestant.name for contestant in contestants]
    if len(set(names)) != len(names):
        raise ValueError(f"contestants need distinct names: {names}")
    if anchor.name not in names:
        raise ValueError(f"the anchor {anchor.name!r} is not among the contestants {names}")
    fours = lineups(len(contestants), settings.seed)
    per_four = rotated_games(max(1, math.ceil(games / len(fours))))
    played: list[tuple[list[int], list[GameResult]]] = []
    for number, four in enumerate(fours):
        seed = None if settings.seed is None else derived_seed(settings.seed, number)
        results = play_lineup(
            [contestants[i] for i in four], replace(settings, seed=seed), per_four, label
        )
        played.append((four, results))
    return _rated(names, names.index(anchor.name), played)


def _rated(
    names: Sequence[str], anchor: int, played: Sequence[tuple[list[int], list[GameResult]]]
) -> RatingResult:
    """The ratings after every game of `played`, game i of every four before game i + 1 of
    any, the `anchor` contestant held at 0."""
    model = PlackettLuce(mu=0.0, sigma=PRIOR_SIGMA, tau=0.0)
    ratings = [model.rating(name=name) for name in names]
    ratings[anchor] = model.rating(mu=0.0, sigma=ANCHOR_SIGMA, name=names[anchor])
    counts = [0] * len(names)
    rounds = max((len(results) for _, results in played), default=0)
    total = 0
    for index in range(rounds):
        for four, results in played:
            if index >= len(results):
                continue
            teams = [[ratings[i]] for i in four]
            ranks = ranks_from_payoffs(results[index].payoff_by_entry)
            updated = model.rate(teams, ranks=[float(rank) for rank in ranks])
            for i, team in zip(four, updated):
                counts[i] += 1
                if i != anchor:
                    ratings[i] = team[0]
            total += 1
    return RatingResult(
        [
            Rating(name, rating.mu, rating.sigma if i != anchor else 0.0, counts[i])
            for i, (name, rating) in enumerate(zip(names, ratings))
        ],
        total,
        names[anchor],
    )

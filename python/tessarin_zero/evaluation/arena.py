"""The arena: a candidate network measured with rotated seats, and the promotion decision.

Every match puts the candidate (its raw policy) in one seat and the opponent in the other three,
each seat equally often (see ``matches``: they run on the engine's match batch, with the engine's
search), so 0.25 is parity. Matches, all on the board side being trained:

- against three uniformly random players;
- against three copies of the engine's heuristic (largest piece, most new corners);
- against three copies of the best network so far (raw policy): the promotion match. Two
  networks without search would play the same game in every game of a seat, so in this match
  both draw the first ``game.sample_moves`` tiles of a game from their policies (as self-play
  samples its first actions) and play greedily after;
- the heuristic's own score against three random players, played in the same run: the line the
  network has to beat;
- optionally the candidate with the engine's search (``search_sims`` simulations per tile, no
  root noise) against random players and against the heuristic.

Promotion: the candidate replaces the best network when its mean payoff against three copies of
it reaches `threshold`. Between equal networks the mean is 0.25 and one game's payoff has a
standard deviation of about 0.43 (a win in four), so the chance that a network no stronger than
the best is promoted is about P(Z >= (threshold - 0.25) * sqrt(games) / 0.43):
``false_promotion_rate_estimate``. The defaults, 200 games and 0.31, give 2.5% by that estimate;
a simulation from rotated games of equal players (``bench/strength_figures.py``, figures in
docs/) gives a similar figure.

The module's own test games stay available as what they are (``module_figures``): the network
in seat 0 only against random players on the training side, and the network in seat 0 only
against the best network on a 20 x 20 board.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Optional

from torch import nn

from tessarin_zero.common.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.evaluation.matches import (
    HEURISTIC,
    RANDOM,
    Contestant,
    MatchResult,
    MatchSettings,
    play_match,
)
from tessarin_zero.evaluation.module_games import play_against_baseline, play_against_random
from tessarin_zero.evaluation.stats import Score, score_of
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.network import non_finite_weights
from tessarin_zero.storage.kept_games import KeptGame

PAYOFF_SD_EQUAL = 0.433  # sqrt(0.25 * 0.75): one game's payoff between equal players


def false_promotion_rate_estimate(games: int, threshold: float) -> float:
    """The normal approximation of the chance that a network equal to the best reaches
    `threshold` over `games` rotated games."""
    if games < 1:
        return 1.0
    z = (threshold - 0.25) * math.sqrt(games) / PAYOFF_SD_EQUAL
    return 0.5 * math.erfc(z / math.sqrt(2.0))


@dataclass(frozen=True)
class ModuleFigures:
    """The module's test games, not seat-rotated: seat 0's mean payoff against random players
    (training side) and against the best network (always 20 x 20)."""

    seat0_vs_random: Score
    seat0_vs_best_20x20: Score


@dataclass(frozen=True)
class ArenaResult:
    """Rotated-seat scores of the candidate's raw policy (and with search when asked), the
    heuristic's score against random players, the promotion decision and one kept game per
    match."""

    vs_random: Score
    vs_heuristic: Score
    vs_best: Score
    heuristic_vs_random: Score
    promoted: bool
    search_vs_random: Score = field(default_factory=Score.none)
    search_vs_heuristic: Score = field(default_factory=Score.none)
    kept: dict[str, KeptGame] = field(default_factory=dict)

    @property
    def win_rate_vs_random(self) -> float:
        """The rotated-seat mean against random players (the old name of the figure)."""
        return self.vs_random.mean

    @property
    def score_vs_best(self) -> float:
        return self.vs_best.mean


def run_arena(
    candidate: nn.Module,
    best: nn.Module | None,
    game: GameSettings,
    *,
    inference: str,
    games_vs_random: int,
    games_vs_best: int,
    threshold: float,
    games_vs_heuristic: Optional[int] = None,
    search_sims: int = 0,
    games_with_search: int = 8,
    seed: Optional[int] = None,
) -> ArenaResult:
    """Plays the arena's matches on a ``game.dim`` board; without a best network the candidate
    is promoted unopposed. `games_vs_heuristic` defaults to `games_vs_random`; game counts are
    rounded up to multiples of four. The networks run the `inference` way; the search of the
    candidate's matches with search is the engine's, with ``game.c_base`` and ``game.c_init``.
    Raises ValueError for a network with non-finite weights, which must never play or be
    promoted."""
    if games_vs_random < 1:
        raise ValueError("the arena needs at least one game against random players")
    for model in (candidate, best):
        broken = non_finite_weights(model) if model is not None else []
        if broken:
            raise ValueError(f"a network with non-finite weights (in {broken[0]}) cannot play")
    heuristic_games = games_vs_random if games_vs_heuristic is None else games_vs_heuristic
    draw = _Seeds(seed)

    def settings(simulations: int = 0, sample_moves: int = 0) -> MatchSettings:
        return MatchSettings(
            game.dim, simulations, sample_moves, game.c_base, game.c_init, seed=draw()
        )

    network = Contestant("candidate", BatchEvaluator(candidate, path=inference, dim=game.dim))
    matches: dict[str, MatchResult] = {
        "vs random": play_match(network, RANDOM, settings(), games_vs_random),
        "vs heuristic": play_match(network, HEURISTIC, settings(), heuristic_games),
        "heuristic vs random": play_match(HEURISTIC, RANDOM, settings(), games_vs_random),
    }
    if best is not None and games_vs_best > 0:
        # Both networks are deterministic: their first tiles are sampled so the games differ.
        opponent = Contestant("best", BatchEvaluator(best, path=inference, dim=game.dim))
        opening = settings(sample_moves=game.sample_moves)
        matches["vs best"] = play_match(network, opponent, opening, games_vs_best)
    if search_sims > 0 and games_with_search > 0:
        searcher = Contestant(f"candidate+search{search_sims}", network.network)
        for label, opponent in (("random", RANDOM), ("heuristic", HEURISTIC)):
            matches[f"search vs {label}"] = play_match(
                searcher, opponent, settings(search_sims), games_with_search
            )

    def score(label: str) -> Score:
        return matches[label].score if label in matches else Score.none()

    vs_best = score("vs best")
    promoted = best is None or (vs_best.games > 0 and vs_best.mean >= threshold)
    return ArenaResult(
        vs_random=score("vs random"),
        vs_heuristic=score("vs heuristic"),
        vs_best=vs_best,
        heuristic_vs_random=score("heuristic vs random"),
        promoted=promoted,
        search_vs_random=score("search vs random"),
        search_vs_heuristic=score("search vs heuristic"),
        kept={label: m.kept for label, m in matches.items() if m.kept is not None},
    )


def module_figures(
    candidate: nn.Module,
    best: nn.Module | None,
    network: NetworkSettings,
    game: GameSettings,
    server: ServerSettings,
    *,
    games_vs_random: int,
    games_vs_best: int,
    workers: int,
    progress: bool = True,
) -> ModuleFigures:
    """The worker module's own test games, played by `workers` workers with the inference
    server: the candidate in seat 0 against three random players on ``game.dim``, and in seat 0
    against the best network (always 20 x 20, as the module plays it)."""
    seat0 = play_against_random(
        candidate, network, game, games_vs_random, workers, server, progress=progress
    )
    baseline: list[float] = []
    if best is not None and games_vs_best > 0:
        baseline = play_against_baseline(
            candidate, best, network, game, games_vs_best, workers, server, progress=progress
        )
    return ModuleFigures(score_of(seat0), score_of(baseline))


class _Seeds:
    """Seeds for the arena's random and heuristic players: drawn from `seed` when given, so a
    seeded arena plays the same games, or None (the system's entropy)."""

    def __init__(self, seed: Optional[int]) -> None:
        self._seed = seed
        self._count = 0

    def __call__(self) -> Optional[int]:
        if self._seed is None:
            return None
        self._count += 1
        return self._seed * 1009 + self._count

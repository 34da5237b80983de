"""The arena's matches, their intervals and the promotion rule."""

from __future__ import annotations

import math

import pytest
import torch

from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.evaluation.arena import ArenaResult, false_promotion_rate_estimate, run_arena
from tessarin_zero.evaluation.stats import false_promotion_rate, score_of
from tessarin_zero.inference.network import PolicyValueNet

TINY = NetworkSettings(channels=4, blocks=1)


def test_wilson_intervals_stay_honest_at_the_ends() -> None:
    all_lost = score_of([0.0] * 8)
    assert all_lost.mean == 0 and all_lost.low == 0 and all_lost.high > 0.3
    parity = score_of([1.0, 0.0, 0.0, 0.0] * 50)
    assert parity.low < 0.25 < parity.high and parity.high - parity.low < 0.13
    assert score_of([]).games == 0 and math.isnan(score_of([]).mean)


def test_the_promotion_defaults_rarely_promote_an_equal_network() -> None:
    # Win-or-lose payoffs of equal players, a quarter each, in every seat.
    equal = [[1.0, 0.0, 0.0, 0.0]] * 4
    simulated = false_promotion_rate(equal, 200, 0.31, trials=4000)
    estimate = false_promotion_rate_estimate(200, 0.31)
    assert 0.01 < estimate < 0.04 and abs(simulated - estimate) < 0.015
    assert false_promotion_rate_estimate(8, 0.31) > 0.3  # the old two games, rounded up
    with pytest.raises(ValueError):
        false_promotion_rate(equal, 10, 0.31)


def test_the_arena_reports_every_match_and_keeps_one_game_each() -> None:
    torch.manual_seed(0)
    candidate, best = PolicyValueNet(TINY), PolicyValueNet(TINY)

    def arena(best: PolicyValueNet | None, threshold: float, **more: int) -> ArenaResult:
        return run_arena(
            candidate,
            best,
            GameSettings(dim=5),
            inference="onnx",
            games_vs_random=4,
            games_vs_best=8,
            threshold=threshold,
            **more,
        )

    result = arena(best, 0.0, search_sims=2, games_with_search=4, seed=1)
    assert result.promoted  # any score reaches a threshold of 0
    assert (result.vs_random.games, result.vs_heuristic.games, result.vs_best.games) == (4, 4, 8)
    assert result.heuristic_vs_random.games == 4 and result.search_vs_heuristic.games == 4
    assert set(result.kept) == {
        "vs random",
        "vs heuristic",
        "vs best",
        "heuristic vs random",
        "search vs random",
        "search vs heuristic",
    }
    assert result.kept["vs best"].seats == ["candidate", "best", "best", "best"]
    assert result.kept["search vs random"].seats[0] == "candidate+search2"
    assert arena(best, 0.0, seed=1).vs_random == arena(best, 0.0, seed=1).vs_random
    unopposed = arena(None, 1.0)
    assert unopposed.promoted and unopposed.vs_best.games == 0


def test_the_largest_seed_the_command_line_takes_plays() -> None:
    # Each match's seed is drawn from the arena's: it must stay within the engine's 64 bits.
    torch.manual_seed(0)
    result = run_arena(
        PolicyValueNet(TINY),
        None,
        GameSettings(dim=5),
        inference="onnx",
        games_vs_random=4,
        games_vs_best=0,
        threshold=0.31,
        seed=2**63 - 1,
    )
    assert result.vs_random.games == 4 and result.heuristic_vs_random.games == 4

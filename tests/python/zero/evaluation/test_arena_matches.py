"""Which matches the arena plays, and how: each with its own game count, its own seed when the
arena is seeded, the promotion match drawing its opening tiles, the matches with search searching
and played only when asked for, a best network with broken weights refused, and the estimate of
false promotions at a known point of the normal curve."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import pytest
import torch

from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.evaluation import arena
from tessarin_zero.evaluation.arena import ArenaResult, false_promotion_rate_estimate, run_arena
from tessarin_zero.evaluation.matches import Contestant, MatchResult, MatchSettings
from tessarin_zero.inference.network import PolicyValueNet

TINY = NetworkSettings(channels=4, blocks=1)
GAME = GameSettings(dim=5, sample_moves=3)


@dataclass(frozen=True)
class Played:
    test: str
    opponent: str
    games: int
    simulations: int
    sample_moves: int
    seed: Optional[int]


def played_matches(
    monkeypatch: pytest.MonkeyPatch, seed: Optional[int], **options: int
) -> tuple[ArenaResult, list[Played]]:
    """The arena's result and the matches it asked for, each answered with parity."""
    played: list[Played] = []

    def record(
        test: Contestant, opponent: Contestant, settings: MatchSettings, games: int
    ) -> MatchResult:
        played.append(
            Played(
                test.name,
                opponent.name,
                games,
                settings.simulations,
                settings.sample_moves,
                settings.seed,
            )
        )
        return MatchResult([1.0, 0.0, 0.0, 0.0], [0, 1, 2, 3], None)

    monkeypatch.setattr(arena, "play_match", record)
    torch.manual_seed(0)
    result = run_arena(
        PolicyValueNet(TINY),
        PolicyValueNet(TINY),
        GAME,
        inference="eager",
        threshold=0.25,
        seed=seed,
        **options,
    )
    return result, played


def test_each_match_is_played_with_its_own_count_search_and_opening(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    result, played = played_matches(
        monkeypatch,
        seed=3,
        games_vs_random=12,
        games_vs_heuristic=20,
        games_vs_best=16,
        search_sims=5,
        games_with_search=8,
    )
    by_pair = {(match.test, match.opponent): match for match in played}
    assert len(by_pair) == len(played) == 6
    assert by_pair["candidate", "random"].games == 12
    assert by_pair["candidate", "heuristic"].games == 20
    assert by_pair["heuristic", "random"].games == 12
    assert by_pair["candidate", "best"].games == 16
    for opponent in ("random", "heuristic"):
        searched = by_pair["candidate+search5", opponent]
        assert (searched.games, searched.simulations, searched.sample_moves) == (8, 5, 0)
    # Only the promotion match draws its opening tiles; only the matches with search search.
    for match in played:
        assert match.sample_moves == (GAME.sample_moves if match.opponent == "best" else 0)
        assert match.simulations == (5 if match.test.startswith("candidate+search") else 0)
    # A seeded arena gives every match a seed of its own.
    seeds = [match.seed for match in played]
    assert None not in seeds and len(set(seeds)) == len(seeds)
    assert result.promoted and result.search_vs_heuristic.games == 4


def test_without_search_sims_no_match_searches_and_unseeded_matches_draw_their_own(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    result, played = played_matches(
        monkeypatch, seed=None, games_vs_random=4, games_vs_best=8, games_with_search=8
    )
    assert [match.test for match in played if "search" in match.test] == []
    assert result.search_vs_random.games == result.search_vs_heuristic.games == 0
    assert {match.seed for match in played} == {None}


def test_a_best_network_with_broken_weights_is_refused() -> None:
    best = PolicyValueNet(TINY)
    with torch.no_grad():
        next(best.parameters()).fill_(math.inf)
    with pytest.raises(ValueError, match="non-finite weights"):
        run_arena(
            PolicyValueNet(TINY),
            best,
            GAME,
            inference="eager",
            games_vs_random=4,
            games_vs_best=4,
            threshold=0.31,
        )


def test_the_false_promotion_estimate_at_known_points() -> None:
    # A threshold one standard error above parity is reached 15.9% of the time, two 2.3%.
    for errors, chance in ((1.0, 0.1587), (2.0, 0.0228)):
        for games in (16, 100, 400):
            threshold = 0.25 + errors * arena.PAYOFF_SD_EQUAL / math.sqrt(games)
            assert false_promotion_rate_estimate(games, threshold) == pytest.approx(
                chance, abs=2e-4
            )
    # No game vouches for nothing.
    assert false_promotion_rate_estimate(0, 0.31) == 1.0

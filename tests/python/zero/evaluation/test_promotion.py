"""The promotion decision at its edge and at its defaults: a candidate whose mean against the
best equals the threshold is promoted, one a hair below is not, and the defaults that the
commands and the loop share keep an equal network's chance of promotion near the 2.5% the docs
give."""

from __future__ import annotations

import pytest
import torch

from tessarin_zero.cli.flags import build_parser
from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.evaluation import arena
from tessarin_zero.evaluation.arena import false_promotion_rate_estimate, run_arena
from tessarin_zero.evaluation.matches import Contestant, MatchResult, MatchSettings
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.training.loop import LoopSettings

TINY = NetworkSettings(channels=4, blocks=1)


def promoted_at(threshold: float, monkeypatch: pytest.MonkeyPatch) -> bool:
    """Whether the arena promotes a candidate that wins exactly one game in four against the
    best (a mean of exactly 0.25), every other match stubbed out."""

    def stub(
        test: Contestant, opponent: Contestant, settings: MatchSettings, games: int
    ) -> MatchResult:
        payoffs = [1.0, 0.0, 0.0, 0.0] * (games // 4) if opponent.name == "best" else [0.0] * 4
        return MatchResult(payoffs, [0, 1, 2, 3] * (len(payoffs) // 4), None)

    monkeypatch.setattr(arena, "play_match", stub)
    torch.manual_seed(0)
    result = run_arena(
        PolicyValueNet(TINY),
        PolicyValueNet(TINY),
        GameSettings(dim=5),
        inference="eager",
        games_vs_random=4,
        games_vs_best=8,
        threshold=threshold,
    )
    assert result.vs_best.games == 8 and result.vs_best.mean == 0.25
    return result.promoted


def test_a_mean_equal_to_the_threshold_promotes_and_one_below_does_not(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    assert promoted_at(0.25, monkeypatch)
    assert not promoted_at(0.2500001, monkeypatch)


def test_the_default_promotion_rule_is_shared_and_rarely_promotes_an_equal_network() -> None:
    parser = build_parser()
    loop = parser.parse_args(["loop", "--run-dir", "run"])
    played = parser.parse_args(["arena"])
    settings = LoopSettings()
    assert loop.threshold == played.threshold == settings.threshold
    assert loop.games_vs_best == played.games_vs_best == settings.games_vs_best
    # About 2.5% by the docs' figure; a default moved by 0.01 gives 1.1% or 5.1%.
    assert 0.02 < false_promotion_rate_estimate(settings.games_vs_best, settings.threshold) < 0.03

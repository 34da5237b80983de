"""The Plackett-Luce rating: anchored on the random player, ranked from payoffs (shared wins
tied), ordered by strength, the same for a seed, and the ``rate`` command's table."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
import torch

from tessarin_zero.cli import main
from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.evaluation.matches import (
    HEURISTIC,
    RANDOM,
    Contestant,
    GameResult,
    MatchSettings,
)
from tessarin_zero.evaluation.rating import _rated, rate
from tessarin_zero.inference.checkpoints import save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet


class Corner:
    """A network that plays the legal tile of the largest (or smallest) index: a fixed,
    weak way of playing that differs from the engine players'."""

    def __init__(self, largest: bool) -> None:
        self.sign = 1.0 if largest else -1.0

    def __call__(self, positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        rows, _, dim, _ = positions.shape
        cells = np.arange(dim * dim, dtype=np.float32) * self.sign
        return np.tile(cells, (rows, 1)), np.zeros((rows, 4), dtype=np.float32)


LARGEST, SMALLEST = Contestant("largest", Corner(True)), Contestant("smallest", Corner(False))


def game(payoff_by_entry: list[float], number: int) -> GameResult:
    return GameResult(number, number % 4, payoff_by_entry, payoff_by_entry, np.zeros((0, 2)))


def test_payoffs_rank_the_players_shared_wins_tie_and_the_anchor_stays_at_zero() -> None:
    # "winner" wins every game alone; "pair" and "other" share the wins of every other game
    # (a tie), "random", the anchor, never wins.
    names = ["winner", "pair", "other", "random"]
    games = [
        game([1.0, 0.0, 0.0, 0.0] if n % 2 == 0 else [0.0, 0.5, 0.5, 0.0], n) for n in range(100)
    ]
    result = _rated(names, 3, [([0, 1, 2, 3], games)])
    winner, pair, other, anchor = (result.of(name) for name in names)
    assert (anchor.mu, anchor.sigma) == (0.0, 0.0) and result.anchor == "random"
    assert winner.mu > pair.mu > 0 and pair.mu == pytest.approx(other.mu)
    assert all(r.games == 100 for r in result.ratings) and result.games == 100
    assert 0 < winner.sigma < 25 / 3  # the games narrowed the prior


def test_the_heuristic_rates_above_weaker_players_and_every_four_plays_its_share() -> None:
    players = [LARGEST, HEURISTIC, SMALLEST, RANDOM]
    result = rate(players, MatchSettings(dim=7, seed=5), 160)
    heuristic = result.of("heuristic")
    assert result.of("random").mu == 0.0
    assert all(heuristic.mu > result.of(p.name).mu for p in players if p is not HEURISTIC)
    assert heuristic.low > 0  # clearly stronger than the random player

    # Five players: every four of them plays, each a multiple of four games (10 / 5 -> 4).
    fifth = Contestant("largest again", LARGEST.network)
    five = rate([*players, fifth], MatchSettings(dim=5, seed=1), 10)
    assert five.games == 20 and all(r.games == 16 for r in five.ratings)


def test_a_seed_gives_the_same_games_and_ratings() -> None:
    players = [HEURISTIC, LARGEST, SMALLEST, RANDOM]

    def mus(seed: int) -> list[float]:
        return [r.mu for r in rate(players, MatchSettings(dim=6, seed=seed), 24).ratings]

    assert mus(3) == mus(3)
    assert mus(3) != mus(4)  # the seed reaches the games


def test_a_rating_needs_four_distinct_players_and_its_anchor() -> None:
    settings = MatchSettings(dim=5, seed=1)
    with pytest.raises(ValueError, match="at least 4"):
        rate([HEURISTIC, LARGEST, RANDOM], settings, 4)
    with pytest.raises(ValueError, match="distinct"):
        rate([HEURISTIC, LARGEST, LARGEST, RANDOM], settings, 4)
    with pytest.raises(ValueError, match="anchor"):
        rate([HEURISTIC, LARGEST, SMALLEST, Contestant("x", LARGEST.network)], settings, 4)


def test_the_rate_command_prints_a_table_with_random_at_zero(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    torch.manual_seed(0)
    paths = []
    for name in ("first", "second", "third"):
        paths.append(tmp_path / f"{name}.pt")
        save_checkpoint(paths[-1], PolicyValueNet(NetworkSettings(channels=4, blocks=1)))
    common = ["--dim", "5", "--games", "8", "--seed", "2", "--quiet"]
    main(["rate", *map(str, paths[:2]), *common])
    lines = capsys.readouterr().out.splitlines()
    assert "8 games among 4 players, random held at 0" in lines[0]
    table = {line.split()[0]: line.split()[1:] for line in lines[2:]}
    assert set(table) == {"first", "second", "heuristic", "random"}
    assert table["random"][:2] == ["0.00", "0.00"] and table["first"][-1] == "8"

    # Without the random player the first network is the anchor; three players are too few.
    main(["rate", *map(str, paths), "--no-random", "--search-sims", "2", *common])
    out = capsys.readouterr().out
    assert "first held at 0" in out and "2 simulations per tile" in out
    with pytest.raises(SystemExit) as stop:
        main(["rate", str(paths[0]), *common])
    assert stop.value.code == 2 and "give more networks" in capsys.readouterr().err

"""The worker module's own test games, as the module plays them: the network without search in
seat 0 only (not seat-rotated), against three random players (``play_test_against_random``) or
against a baseline network in seats 1 to 3 on a 20 x 20 board (``play_test_game``), played by a
worker pool with the inference server. The host's matches are played on the engine's match
batch instead (``matches``); these remain to measure the module's interface itself."""

from __future__ import annotations

from typing import Optional

import tessarin_self_play
from torch import nn

from tessarin_zero.common.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.selfplay.backends import served_games
from tessarin_zero.selfplay.outcomes import GameOutcome


class _Payoffs(list[float]):
    """Collects the payoff of seat 0 of each played game."""

    def __call__(self, outcome: GameOutcome) -> None:
        assert outcome.payoff is not None
        self.append(outcome.payoff)


def play_against_random(
    model: nn.Module,
    network_settings: NetworkSettings,
    game: GameSettings,
    games: int,
    workers: int,
    server: ServerSettings,
    progress: bool = True,
    threads: Optional[int] = None,
) -> list[float]:
    """Payoffs of seat 0, played by `model` without search against three random players, on a
    board of side ``game.dim``; one entry per game played (abandoned ones are counted and
    logged)."""
    payoffs = _Payoffs()
    if games > 0:
        served_games(
            tessarin_self_play.play_test_against_random,
            [NetworkFactory.of(model, network_settings)],
            game,
            games,
            workers,
            server,
            "vs random",
            progress,
            payoffs,
            threads=threads,
        )
    return list(payoffs)


def play_against_baseline(
    model: nn.Module,
    baseline: nn.Module,
    network_settings: NetworkSettings,
    game: GameSettings,
    games: int,
    workers: int,
    server: ServerSettings,
    progress: bool = True,
    baseline_settings: Optional[NetworkSettings] = None,
    show_boards: bool = False,
    threads: Optional[int] = None,
) -> list[float]:
    """Payoffs of seat 0, played by `model` against `baseline` in seats 1 to 3, both without
    search, always on a 20 x 20 board; one entry per game played. `show_boards` lets the
    workers print every final board, as the module does."""
    payoffs = _Payoffs()
    if games > 0:
        served_games(
            tessarin_self_play.play_test_game,
            [
                NetworkFactory.of(model, network_settings),
                NetworkFactory.of(baseline, baseline_settings or network_settings),
            ],
            game,
            games,
            workers,
            server,
            "vs baseline",
            progress,
            payoffs,
            threads=threads,
            quiet=not show_boards,
        )
    return list(payoffs)

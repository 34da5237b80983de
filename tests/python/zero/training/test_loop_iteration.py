"""An iteration of the loop with its self-play and its arena stood in for: a promoted candidate
becomes the best network, in memory and in ``best.pt``, and one that is not leaves both as they
were; the arena is asked for the loop's own game counts; the kept games and the metrics row say
what the iteration did. The iterations still to do start after the last one done, and the final
figures measure the last network. A promotion rule that passes an equal network often is warned
about."""

from __future__ import annotations

import logging
from pathlib import Path
from typing import Any

import pytest
import torch

from games import uniform_game
from tessarin_zero.common.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.common.settings import TrainSettings
from tessarin_zero.evaluation.arena import ArenaResult
from tessarin_zero.evaluation.stats import score_of
from tessarin_zero.inference.checkpoints import load_checkpoint
from tessarin_zero.inference.network import NetworkFactory, PolicyValueNet
from tessarin_zero.selfplay.backends import Played, Run, SelfPlayBackend
from tessarin_zero.selfplay.outcomes import FailureCount, GameOutcome
from tessarin_zero.storage.kept_games import KeptGame
from tessarin_zero.storage.records import GameRecord
from tessarin_zero.training import loop
from tessarin_zero.training.loop import Loop, LoopSettings, LoopState, start_new
from tessarin_zero.training.metrics import IterationMetrics, MetricsLog
from tessarin_zero.training.window import load_window

GAME = GameSettings(dim=5, sims_per_move=2)
TINY = NetworkSettings(channels=4, blocks=1)


class Silent:
    """A loop report that says nothing."""

    def __getattr__(self, name: str) -> Any:
        return lambda *args, **kwargs: None


class RecordedGames(SelfPlayBackend):
    """Self-play that hands over one recorded game as every game asked for."""

    def __init__(self, record: GameRecord) -> None:
        self.record = record

    def _run(
        self,
        network: NetworkFactory,
        game: GameSettings,
        games: int,
        played: Played,
        progress: bool,
        iteration: int,
    ) -> Run:
        for _ in range(games):
            played(GameOutcome(0, record=self.record))
        return Run(FailureCount("self-play", games))


def same_weights(first: torch.nn.Module, second: torch.nn.Module) -> bool:
    one, other = first.state_dict(), second.state_dict()
    return all(torch.equal(one[name], other[name]) for name in one)


def test_a_promoted_candidate_becomes_the_best_and_one_not_promoted_changes_nothing(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    decisions = iter([True, False])
    asked: list[dict[str, Any]] = []
    record = uniform_game(GAME)
    seats = ["candidate", "random", "random", "random"]
    kept = KeptGame(5, [(p, t) for p, t in record.history], seats, list(record.payoff), "vs r")

    def arena(candidate: Any, best: Any, game: GameSettings, **options: Any) -> ArenaResult:
        asked.append(options)
        score = score_of([1.0, 0.0, 0.0, 0.0])
        return ArenaResult(score, score, score, score, next(decisions), kept={"vs random": kept})

    monkeypatch.setattr(loop, "run_arena", arena)
    settings = LoopSettings(
        iterations=2, games=2, games_vs_random=4, games_vs_heuristic=12, games_vs_best=8
    )
    training = TrainSettings(batch_size=16, epochs=1, learning_rate=0.05)
    run = Loop(tmp_path, GAME, ServerSettings(), training, settings, RecordedGames(record))
    torch.manual_seed(0)
    state = start_new(run, PolicyValueNet(TINY), Silent())
    first_best = PolicyValueNet(TINY)
    first_best.load_state_dict(state.best.state_dict())

    loop.play_iteration(run, state, 1, Silent())
    assert not same_weights(state.candidate, first_best)  # it trained
    assert same_weights(state.best, state.candidate)
    stored, metadata = load_checkpoint(run.checkpoints / "best.pt")
    assert metadata["iteration"] == 1 and same_weights(stored, state.candidate)
    promoted = PolicyValueNet(TINY)
    promoted.load_state_dict(state.candidate.state_dict())

    loop.play_iteration(run, state, 2, Silent())
    assert same_weights(state.best, promoted) and not same_weights(state.candidate, promoted)
    stored, metadata = load_checkpoint(run.checkpoints / "best.pt")
    assert metadata["iteration"] == 1 and same_weights(stored, promoted)

    for options in asked:
        assert (options["games_vs_random"], options["games_vs_heuristic"]) == (4, 12)
        assert (options["games_vs_best"], options["threshold"]) == (8, settings.threshold)
    window, _ = load_window([tmp_path / "records"], training, dim=5)
    assert [row.promoted for row in state.log.rows] == [True, False]
    assert state.log.rows[-1].positions == len(window) and len(window) > settings.games
    for iteration in (1, 2):
        saved = tmp_path / "games" / f"iteration-{iteration:03d}-vs-random.json"
        assert KeptGame.load(saved) == kept


def test_the_iterations_left_start_after_the_last_done_and_the_last_network_is_measured(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    played: list[int] = []
    measured: list[int] = []

    def iteration(run: Loop, state: LoopState, number: int, report: Any) -> None:
        played.append(number)
        state.log.append(IterationMetrics(number, 2, 10, 1.0, 1.0, False, 1.0))

    class Figures:
        def save(self, run_dir: Path) -> Path:
            return run_dir / "final.json"

    def figures(model: Any, number: int, game: GameSettings, **options: Any) -> Figures:
        measured.append(number)
        return Figures()

    monkeypatch.setattr(loop, "play_iteration", iteration)
    monkeypatch.setattr(loop, "final_figures", figures)
    log = MetricsLog(tmp_path)
    for number in (1, 2):
        log.append(IterationMetrics(number, 2, 10, 1.0, 1.0, False, 1.0))
    network = PolicyValueNet(TINY)
    run = Loop(
        tmp_path,
        GAME,
        ServerSettings(),
        TrainSettings(),
        LoopSettings(iterations=4, final_games=8),
        RecordedGames(uniform_game(GAME)),
    )
    loop.run_iterations(run, LoopState(network, network, log), Silent())
    assert played == [3, 4] and measured == [4]


def test_a_promotion_rule_that_often_passes_an_equal_network_is_warned_about(
    caplog: pytest.LogCaptureFixture,
) -> None:
    with caplog.at_level(logging.WARNING):
        loop.warn_of_false_promotion(LoopSettings())
        assert not caplog.records
        loop.warn_of_false_promotion(LoopSettings(games_vs_best=8))  # about a third
    assert "raise --games-vs-best or --threshold" in caplog.text

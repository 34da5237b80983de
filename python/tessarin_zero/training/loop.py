"""The loop: self-play with the newest network, training on the newest records, the arena, and
again, iteration after iteration; how a loop starts (new, with an optional warm start) or goes
on (resumed from its run folder), its learning-rate schedule and the figures it ends with.

A run folder holds what the loop needs to go on after any stop: ``records/``, one checkpoint
per finished iteration and ``best.pt`` in ``checkpoints/``, and ``metrics.csv``, whose rows say
which iterations finished. What the loop tells its user goes to a `LoopReport`.
"""

from __future__ import annotations

import dataclasses
import logging
import math
import shutil
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Protocol

from tessarin_zero.common.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.common.settings import TrainSettings
from tessarin_zero.evaluation.arena import ArenaResult, false_promotion_rate_estimate, run_arena
from tessarin_zero.evaluation.final import FinalFigures, final_figures
from tessarin_zero.evaluation.matches import HEURISTIC, rotated_games
from tessarin_zero.inference.checkpoints import load_checkpoint, save_checkpoint
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.network import NetworkFactory, PolicyValueNet
from tessarin_zero.selfplay.backends import SelfPlayBackend
from tessarin_zero.storage.kept_games import KeptGame
from tessarin_zero.storage.records import RecordError, RecordWriter
from tessarin_zero.storage.runs import RunStateError
from tessarin_zero.training.iteration_rating import RatedNetworks, network_name, rate_iteration
from tessarin_zero.training.metrics import IterationMetrics, MetricsLog, read_metrics
from tessarin_zero.training.tensors import TrainingTensors
from tessarin_zero.training.train import TrainingDiverged, train
from tessarin_zero.training.warm_start import WARM_START_FOLDER, warm_start
from tessarin_zero.training.window import load_window

_log = logging.getLogger(__name__)


@dataclass(frozen=True)
class LoopSettings:
    """What a loop does beyond the game, network, server and training settings (each field is a
    flag of ``loop``)."""

    iterations: int = 18
    games: int = 400
    final_learning_rate: Optional[float] = 1e-4
    seed: int = 0
    warm_start_games: int = 0
    warm_start_epochs: Optional[int] = None
    games_vs_random: int = 32
    games_vs_heuristic: Optional[int] = None
    games_vs_best: int = 200
    threshold: float = 0.31
    final_games: int = 2000
    final_search_sims: int = 0
    final_games_with_search: int = 100
    rating_games: int = 100


@dataclass(frozen=True)
class Loop:
    """One loop in its run folder: its settings and where its self-play games are played."""

    run_dir: Path
    game: GameSettings
    server: ServerSettings
    training: TrainSettings
    settings: LoopSettings
    backend: SelfPlayBackend
    progress: bool = True

    @property
    def checkpoints(self) -> Path:
        return self.run_dir / "checkpoints"

    def iteration_checkpoint(self, iteration: int) -> Path:
        return self.checkpoints / f"iteration-{iteration:03d}.pt"


@dataclass
class LoopState:
    """Where a loop stands: the network being trained, the best network so far and the
    metrics of the iterations done."""

    candidate: PolicyValueNet
    best: PolicyValueNet
    log: MetricsLog
    rated: Optional[RatedNetworks] = None


class LoopReport(Protocol):
    """What a loop tells its user."""

    def warm_started(
        self, games: int, positions: int, epochs: int, losses: dict[str, float]
    ) -> None:
        """The warm start trained the first network on `games` heuristic games."""

    def resumed(self, run_dir: Path, done: int) -> None:
        """The loop goes on after iteration `done`."""

    def started(self, run_dir: Path, first: int, iterations: int, games: int) -> None:
        """Iterations `first` to `iterations` are to be played."""

    def iteration(self, row: IterationMetrics, result: ArenaResult) -> None:
        """An iteration finished with these metrics and arena figures."""

    def finished(self, rows: list[IterationMetrics], run_dir: Path) -> None:
        """Every iteration is done."""

    def final(self, figures: FinalFigures, path: Path) -> None:
        """The final figures were played and written to `path`."""


def start_new(loop: Loop, model: PolicyValueNet, report: LoopReport) -> LoopState:
    """A new loop from `model` (a new network, or a checkpoint's): trained first on heuristic
    games with a warm start, and saved as iteration 0 and as the best network. A start cut
    short (see `start_finished`) is done again the same way: the heuristic games of its warm
    start, played again alike from the same seed, replace those it had written."""
    if loop.settings.warm_start_games > 0:
        if (loop.run_dir / WARM_START_FOLDER).exists():
            shutil.rmtree(loop.run_dir / WARM_START_FOLDER)
        warm_start_network(loop, model, report)
    best = PolicyValueNet(model.settings)
    best.load_state_dict(model.state_dict())
    side = loop.game.dim
    save_checkpoint(loop.iteration_checkpoint(0), model, iteration=0, dim=side)
    save_checkpoint(loop.checkpoints / "best.pt", best, iteration=0, dim=side)
    return LoopState(model, best, MetricsLog(loop.run_dir))


def start_finished(run_dir: Path) -> bool:
    """Whether the loop in `run_dir` finished its start (its first network is saved as
    iteration 0), or is an older one with metrics: else `start_new` is to be done again."""
    return (run_dir / "checkpoints" / "iteration-000.pt").exists() or (
        run_dir / "metrics.csv"
    ).exists()


def warm_start_network(loop: Loop, model: PolicyValueNet, report: LoopReport) -> None:
    """Trains the loop's first network on games of four heuristic players (see
    ``warm_start``), at the first iteration's learning rate."""
    settings = loop.settings
    rate = scheduled_learning_rate(
        loop.training.learning_rate, settings.final_learning_rate, 1, settings.iterations
    )
    epochs = settings.warm_start_epochs or loop.training.epochs
    phase = dataclasses.replace(loop.training, learning_rate=rate, epochs=epochs)
    positions, losses = warm_start(
        model,
        loop.game.dim,
        settings.warm_start_games,
        loop.run_dir / WARM_START_FOLDER,
        phase,
        seed=settings.seed,
        progress=loop.progress,
    )
    report.warm_started(settings.warm_start_games, positions, epochs, losses)


def resume(run_dir: Path, report: LoopReport, network: NetworkSettings, side: int) -> LoopState:
    """The candidate after the last complete iteration (the one with a metrics row), the best
    network as of that iteration (saved again as best.pt, trained on `side`), and the metrics so
    far. RunStateError when their networks are not of the size `network` the loop's settings
    say."""
    try:
        rows = read_metrics(run_dir / "metrics.csv")
    except ValueError as error:
        raise RunStateError(str(error)) from error
    done = rows[-1].iteration if rows else 0
    promoted = [row.iteration for row in rows if row.promoted]
    checkpoints = run_dir / "checkpoints"
    best_iteration = promoted[-1] if promoted else 0
    candidate = _network_of(checkpoints / f"iteration-{done:03d}.pt", network)
    best = _network_of(checkpoints / f"iteration-{best_iteration:03d}.pt", network)
    save_checkpoint(checkpoints / "best.pt", best, iteration=best_iteration, dim=side)
    report.resumed(run_dir, done)
    return LoopState(candidate, best, MetricsLog(run_dir, rows))


def _network_of(path: Path, network: NetworkSettings) -> PolicyValueNet:
    """The network saved at `path`, which must be of the size `network`."""
    model, _ = load_checkpoint(path)
    if model.settings != network:
        differences = [
            f"{name} {value} (the loop's settings say {getattr(network, name)})"
            for name, value in dataclasses.asdict(model.settings).items()
            if getattr(network, name) != value
        ]
        raise RunStateError(f"{path}: a network of another size: {', '.join(differences)}")
    return model


def training_window(
    folders: Sequence[Path], settings: TrainSettings, dim: int | None
) -> tuple[TrainingTensors, int]:
    """`load_window`'s samples and chunk count; RunStateError, naming the folders, when no
    chunk could be used (each set aside or of another side) or they hold no sample."""
    where = ", ".join(map(str, folders))
    try:
        tensors, chunks = load_window(folders, settings, dim=dim)
    except RecordError:
        raise
    except ValueError as error:  # load_training_tensors: no usable record chunks
        raise RunStateError(f"{where}: {error} (see the warnings above)") from error
    if len(tensors) == 0:
        raise RunStateError(f"{where}: the record chunks hold no position to train on")
    return tensors, chunks


def run_iterations(loop: Loop, state: LoopState, report: LoopReport) -> None:
    """The iterations still to do, then the final figures."""
    settings = loop.settings
    first = len(state.log.rows) + 1
    warn_of_false_promotion(settings)
    report.started(loop.run_dir, first, settings.iterations, settings.games)
    for iteration in range(first, settings.iterations + 1):
        play_iteration(loop, state, iteration, report)
    report.finished(state.log.rows, loop.run_dir)
    if settings.final_games > 0 and state.log.rows:
        figures = final_figures(
            state.candidate,
            state.log.rows[-1].iteration,
            loop.game,
            inference=loop.server.inference,
            games=settings.final_games,
            search_sims=settings.final_search_sims,
            games_with_search=settings.final_games_with_search,
        )
        report.final(figures, figures.save(loop.run_dir))


def warn_of_false_promotion(settings: LoopSettings) -> None:
    games = rotated_games(settings.games_vs_best)
    chance = false_promotion_rate_estimate(games, settings.threshold)
    if settings.games_vs_best > 0 and chance > 0.1:
        _log.warning(
            "promotion after %d games at threshold %s passes a network no stronger than the "
            "best %.0f%% of the time: raise --games-vs-best or --threshold",
            games,
            settings.threshold,
            100 * chance,
        )


def play_iteration(loop: Loop, state: LoopState, iteration: int, report: LoopReport) -> None:
    """Self-play, training and arena of one iteration; its checkpoint, kept games and metrics
    row are written once it is complete."""
    settings, candidate = loop.settings, state.candidate
    started = time.monotonic()
    with RecordWriter(loop.run_dir / "records", loop.game) as writer:
        loop.backend.play(
            NetworkFactory.of(candidate, candidate.settings),
            loop.game,
            settings.games,
            writer.add,
            progress=loop.progress,
            iteration=iteration,
        )
    tensors, _ = training_window([loop.run_dir / "records"], loop.training, dim=loop.game.dim)
    rate = scheduled_learning_rate(
        loop.training.learning_rate, settings.final_learning_rate, iteration, settings.iterations
    )
    phase = dataclasses.replace(loop.training, learning_rate=rate)
    try:
        losses = train(candidate, tensors, phase, progress=loop.progress)
    except TrainingDiverged as error:
        raise TrainingDiverged(
            f"{error}. Iteration {iteration} is not saved; --resume continues after "
            f"iteration {iteration - 1} (with a lower --learning-rate, say)"
        ) from error
    save_checkpoint(
        loop.iteration_checkpoint(iteration),
        candidate,
        iteration=iteration,
        losses=losses,
        learning_rate=rate,
        dim=loop.game.dim,
    )
    evaluator = BatchEvaluator(candidate, path=loop.server.inference, dim=loop.game.dim)
    result = run_arena(
        candidate,
        state.best,
        loop.game,
        inference=loop.server.inference,
        games_vs_random=settings.games_vs_random,
        games_vs_best=settings.games_vs_best,
        threshold=settings.threshold,
        games_vs_heuristic=settings.games_vs_heuristic,
        candidate_evaluator=evaluator,
    )
    keep_games(result.kept, loop.run_dir / "games", prefix=f"iteration-{iteration:03d}")
    if result.promoted:
        state.best.load_state_dict(candidate.state_dict())
        save_checkpoint(
            loop.checkpoints / "best.pt", state.best, iteration=iteration, dim=loop.game.dim
        )
    ratings = None
    if settings.rating_games > 0:
        state.rated = state.rated or RatedNetworks(
            loop.checkpoints, loop.server.inference, loop.game.dim
        )
        ratings = rate_iteration(
            state.rated, iteration, evaluator, loop.game, settings.rating_games, settings.seed
        )
    row = IterationMetrics(
        iteration=iteration,
        games=settings.games,
        positions=len(tensors),
        policy_loss=losses["policy"],
        value_loss=losses["value"],
        promoted=result.promoted,
        seconds=time.monotonic() - started,
    ).with_scores(
        vs_random=result.vs_random,
        vs_heuristic=result.vs_heuristic,
        vs_best=result.vs_best,
        heuristic_vs_random=result.heuristic_vs_random,
    )
    if ratings is not None:
        row = row.with_rating(ratings.of(network_name(iteration)), ratings.of(HEURISTIC.name))
    state.log.append(row)
    report.iteration(row, result)


def keep_games(kept: dict[str, KeptGame], folder: Path, prefix: str) -> list[Path]:
    """Writes one kept game per match into `folder`; returns their paths. OSError naming the
    game's file when it cannot be written."""
    paths = []
    for label, game in kept.items():
        path = folder / f"{prefix}-{label.replace(' ', '-')}.json"
        try:
            game.save(path)
        except OSError as error:
            if error.filename is not None:
                raise
            raise OSError(error.errno, error.strerror, str(path)) from error
        paths.append(path)
    return paths


def scheduled_learning_rate(
    first: float, last: float | None, iteration: int, iterations: int
) -> float:
    """The learning rate of `iteration` (1-based) of `iterations`: `first` throughout without a
    `last`, else falling from `first` at the first iteration to `last` at the final one along a
    half cosine, which keeps the early rate longest and lands softly. Late iterations train on
    data from stronger networks with smaller steps, so the network the run ends with swings
    less from one iteration to the next. A loop of one iteration trains at `first`."""
    if last is None or iterations <= 1:
        return first
    progress = min(1.0, (iteration - 1) / (iterations - 1))
    return last + (first - last) * 0.5 * (1.0 + math.cos(math.pi * progress))

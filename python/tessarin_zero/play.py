"""Self-play and test matches: an inference server and a worker pool around the module's games.

Each function starts a server with the network(s), a local pool of workers, plays its games with
a progress bar and tears both down on every way out (games done, an error, Ctrl-C). Networks
reach the server as their size and weights, and are rebuilt there.

A game abandoned on a failed evaluation is counted and left out of the results; a run in which
every game failed raises PlayError instead of returning nothing. `threads` is the server's torch
thread count (None: half the cores, see `server.default_threads`).
"""

from __future__ import annotations

import dataclasses
import logging
import time
from collections.abc import Callable, Sequence
from contextlib import ExitStack
from dataclasses import dataclass
from typing import Any, Optional

import tessarin_self_play
from torch import nn
from tqdm import tqdm

from .batched import batched_available
from .batched_pool import BatchedPool
from .data import TrainingRecord
from .pool import GameOutcome, LocalPool, Task, process_context
from .ray_backend import RayBackend
from .ray_pool import RayPool
from .server import InferenceServer, ModelFactory, NetworkFactory, RequestQueue, ServerStats
from .settings import GameSettings, NetworkSettings, ServerSettings

_log = logging.getLogger(__name__)


class PlayError(RuntimeError):
    """No game of a run could be finished."""


@dataclass(frozen=True)
class PlayStats:
    """What a run of self-play games produced and how fast the pipeline went."""

    games: int
    failed: int
    actions: int
    evaluations: int
    mean_batch: float
    seconds: float

    def __str__(self) -> str:
        evaluations = (
            f"{self.evaluations} evaluations in batches of {self.mean_batch:.1f} on average, "
            if self.evaluations
            else ""
        )
        return (
            f"{self.games} games ({self.failed} failed), {self.actions} actions, "
            f"{evaluations}{self.seconds:.1f} s"
        )


def choose_driver(driver: Optional[str]) -> str:
    """The self-play driver: the one asked for, else batched where the engine has it."""
    if driver is not None:
        return driver
    return "batched" if batched_available() else "worker"


def play_training_games(
    model: nn.Module,
    network_settings: NetworkSettings,
    game: GameSettings,
    games: int,
    workers: int,
    server: ServerSettings,
    on_record: Callable[[TrainingRecord], None],
    progress: bool = True,
    threads: Optional[int] = None,
    driver: str = "worker",
    batch_games: int = 64,
    ray: Optional[RayBackend] = None,
    iteration: int = 0,
) -> PlayStats:
    """Plays `games` self-play games with `model` in every seat; `on_record` gets each training
    record ``(id, (history, policies, payoff))`` as its game ends, in the parent process.

    The ``"worker"`` driver plays one game at a time per worker with the module, evaluated by the
    inference server; ``"batched"`` plays up to `batch_games` games at once per worker with the
    engine's batch type, evaluated in the worker on the CPU or by the server on another device
    (see `batched_pool`); it counts evaluations only where the server makes them. Given `ray`,
    the batched games are played by that cluster's actors on their CPUs instead (see
    `ray_pool`), and `iteration` goes into the id of every game."""
    if driver not in ("batched", "worker"):
        raise ValueError(f"unknown self-play driver {driver!r}: expected batched or worker")
    if ray is not None and driver != "batched":
        raise ValueError("self-play on Ray plays batched games: the worker driver runs locally")
    actions = 0

    def take(outcome: GameOutcome) -> None:
        nonlocal actions
        actions += len(outcome.value[1][0])
        on_record(outcome.value)

    started = time.monotonic()
    if ray is not None and games > 0:
        on_ray = _play_on_ray(
            ray,
            NetworkFactory.of(model, network_settings),
            game,
            games,
            workers,
            batch_games,
            server,
            take,
            progress,
            iteration,
        )
        return dataclasses.replace(on_ray, actions=actions, seconds=time.monotonic() - started)
    if driver == "batched" and games > 0:
        batched = _play_batched(
            NetworkFactory.of(model, network_settings),
            game,
            games,
            workers,
            batch_games,
            server,
            take,
            progress,
            threads,
        )
        return dataclasses.replace(batched, actions=actions, seconds=time.monotonic() - started)
    outcomes, stats = _run(
        tessarin_self_play.play_training_game,
        [NetworkFactory.of(model, network_settings)],
        game,
        games,
        workers,
        server,
        take,
        "self-play",
        progress,
        threads=threads,
    )
    return PlayStats(
        games=sum(not o.failed for o in outcomes),
        failed=sum(o.failed for o in outcomes),
        actions=actions,
        evaluations=stats.requests if stats else 0,
        mean_batch=stats.mean_batch if stats else 0.0,
        seconds=time.monotonic() - started,
    )


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
    board of side ``game.dim``; one entry per finished game."""
    outcomes, _ = _run(
        tessarin_self_play.play_test_against_random,
        [NetworkFactory.of(model, network_settings)],
        game,
        games,
        workers,
        server,
        None,
        "vs random",
        progress,
        threads=threads,
    )
    return [float(o.value[1]) for o in outcomes if not o.failed]


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
    search, always on a 20 x 20 board; one entry per finished game. `show_boards` lets the
    workers print every final board, as the module does."""
    factories = [
        NetworkFactory.of(model, network_settings),
        NetworkFactory.of(baseline, baseline_settings or network_settings),
    ]
    outcomes, _ = _run(
        tessarin_self_play.play_test_game,
        factories,
        game,
        games,
        workers,
        server,
        None,
        "vs baseline",
        progress,
        threads=threads,
        quiet=not show_boards,
    )
    return [float(o.value) for o in outcomes if not o.failed]


def batched_in_server(settings: ServerSettings) -> bool:
    """Whether batched workers send their steps to the inference server (for a device that
    several workers share) instead of each evaluating them on its own copy (the CPU)."""
    return settings.device != "cpu"


def _play_batched(
    network: NetworkFactory,
    game: GameSettings,
    games: int,
    workers: int,
    batch_games: int,
    settings: ServerSettings,
    take: Callable[[GameOutcome], Any],
    progress: bool,
    threads: Optional[int],
) -> PlayStats:
    """Self-play with batched workers: on the CPU each evaluates its own batches; on another
    device one inference server evaluates every worker's steps there."""
    context = process_context()
    requests = RequestQueue(context) if batched_in_server(settings) else None
    finished = 0
    stats: Optional[ServerStats] = None
    try:
        pool = BatchedPool(
            network,
            game,
            min(workers, games),
            batch_games,
            inference=settings.inference,
            device=settings.device,
            requests=requests,
            quiet=True,
        )
        server: Optional[InferenceServer] = None
        if requests is not None:
            server = InferenceServer(
                [network],
                [requests],
                pool.reply_ends,
                settings,
                channels_last=game.rep == 2,
                threads=threads,
                context=context,
            )
        with ExitStack() as stack:
            if server is not None:
                stack.enter_context(server)
            stack.enter_context(pool)
            bar = stack.enter_context(
                tqdm(total=games, desc="self-play", unit="game", disable=not progress)
            )
            for outcome in pool.play(games, check=server.check if server else None):
                take(outcome)
                finished += 1
                bar.update()
            pool.stop()
            stats = server.stop() if server is not None else None
    finally:
        if requests is not None:
            requests.close()
    evaluations = stats.requests if stats else 0
    mean_batch = stats.mean_batch if stats else 0.0
    return PlayStats(finished, 0, 0, evaluations, mean_batch, 0.0)


def _play_on_ray(
    backend: RayBackend,
    network: NetworkFactory,
    game: GameSettings,
    games: int,
    workers: int,
    batch_games: int,
    settings: ServerSettings,
    take: Callable[[GameOutcome], Any],
    progress: bool,
    iteration: int,
) -> PlayStats:
    """Self-play by the cluster's actors, each evaluating its own batches on its CPU."""
    if settings.device != "cpu":
        raise ValueError("self-play on Ray evaluates on the actors' CPUs: use device cpu")
    pool = RayPool(
        backend,
        network,
        game,
        min(workers, games),
        batch_games,
        inference=settings.inference,
        iteration=iteration,
    )
    finished = 0
    with pool, tqdm(total=games, desc="self-play", unit="game", disable=not progress) as bar:
        for outcome in pool.play(games):
            take(outcome)
            finished += 1
            bar.update()
        pool.stop()
    if pool.restarts or pool.lost:
        _log.warning(
            "self-play on Ray: %d actor restarts, %d actors lost; every game was kept once",
            pool.restarts,
            pool.lost,
        )
    mean_batch = pool.evaluations / pool.steps if pool.steps else 0.0
    return PlayStats(finished, 0, 0, pool.evaluations, mean_batch, 0.0)


def _run(
    task: Task,
    models: Sequence[ModelFactory],
    game: GameSettings,
    games: int,
    workers: int,
    settings: ServerSettings,
    take: Optional[Callable[[GameOutcome], Any]],
    label: str,
    progress: bool,
    threads: Optional[int] = None,
    quiet: bool = True,
) -> tuple[list[GameOutcome], Optional[ServerStats]]:
    """Plays the games and returns their outcomes with the server's statistics. `threads` are
    the server's torch threads (default: `default_threads`)."""
    if games <= 0:
        return [], None
    context = process_context()
    requests = [RequestQueue(context) for _ in models]
    outcomes: list[GameOutcome] = []
    try:
        pool = LocalPool(task, game, min(workers, games), requests, context=context, quiet=quiet)
        server = InferenceServer(
            models,
            requests,
            pool.reply_ends,
            settings,
            channels_last=game.rep == 2,
            threads=threads,
            context=context,
        )
        with server, pool, tqdm(total=games, desc=label, unit="game", disable=not progress) as bar:
            for outcome in pool.play(games, check=server.check):
                outcomes.append(outcome)
                if outcome.failed:
                    _log.warning(
                        "%s: worker %d abandoned a game: %s", label, outcome.worker, outcome.error
                    )
                elif take is not None:
                    take(outcome)
                bar.update()
            pool.stop()
            stats = server.stop()
    finally:
        for queue in requests:
            queue.close()
    if all(o.failed for o in outcomes):
        raise PlayError(f"{label}: every game failed; the first: {outcomes[0].error}")
    return outcomes, stats

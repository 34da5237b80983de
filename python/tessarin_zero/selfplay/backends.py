"""Where self-play games are played: one object per way of playing them.

- `ModuleWorkers`: worker processes that each play one game at a time with the self-play module,
  every evaluation answered by one inference server;
- `BatchedWorkers`: worker processes that each play a share of the games at once in the engine's
  batch, evaluating every step on their own copy of the network (the CPU), or sending it to the
  inference server as one request (another device, which the workers share);
- `RayActors`: the actors of a Ray cluster, each a batched worker on its own CPU.

`play` runs a number of games and hands each record to `on_record` as its game ends, in this
process (which writes them). Abandoned games are counted, each reason logged once, and a run
stops with PlayError once most of its games have failed (see ``outcomes``).
"""

from __future__ import annotations

import logging
import time
from abc import ABC, abstractmethod
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack
from dataclasses import dataclass
from typing import Optional

import tessarin_self_play
from tqdm import tqdm

from tessarin_zero.common.processes import process_context
from tessarin_zero.common.settings import GameSettings, ServerSettings
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.inference.server import InferenceServer, ModelFactory, RequestQueue, ServerStats
from tessarin_zero.selfplay.outcomes import FailureCount, GameOutcome, PlayStats, Work
from tessarin_zero.selfplay.pool import LocalPool
from tessarin_zero.selfplay.ray.backend import RayBackend
from tessarin_zero.selfplay.ray.pool import RayPool
from tessarin_zero.selfplay.workers import BatchedGames, ModuleGames, Task, WorkerOptions
from tessarin_zero.storage.records import GameRecord

_log = logging.getLogger(__name__)

OnRecord = Callable[[GameRecord], None]


class Played:
    """Takes the outcomes of a run's played games: each record goes on to `on_record`, and the
    games and their actions are counted."""

    def __init__(self, on_record: OnRecord) -> None:
        self._on_record = on_record
        self.games = 0
        self.actions = 0

    def __call__(self, outcome: GameOutcome) -> None:
        assert outcome.record is not None
        self.games += 1
        self.actions += len(outcome.record.history)
        self._on_record(outcome.record)


@dataclass(frozen=True)
class Run:
    """What a backend's run reports beside the records: its failures, and the evaluations made
    where the backend counts them, with their mean batch."""

    failures: FailureCount
    evaluations: int = 0
    mean_batch: float = 0.0
    cache_hits: int = 0


class SelfPlayBackend(ABC):
    """One way of playing self-play games."""

    def play(
        self,
        network: NetworkFactory,
        game: GameSettings,
        games: int,
        on_record: OnRecord,
        *,
        progress: bool = True,
        iteration: int = 0,
    ) -> PlayStats:
        """Plays `games` games with `network` in every seat; `on_record` gets each record as
        its game ends. `iteration` names the games where the backend keeps ids (Ray)."""
        started = time.monotonic()
        played = Played(on_record)
        run = self._run(network, game, games, played, progress, iteration) if games > 0 else None
        return PlayStats(
            played.games,
            run.failures.failed if run else 0,
            played.actions,
            run.evaluations if run else 0,
            run.mean_batch if run else 0.0,
            time.monotonic() - started,
            run.cache_hits if run else 0,
        )

    @abstractmethod
    def _run(
        self,
        network: NetworkFactory,
        game: GameSettings,
        games: int,
        played: Played,
        progress: bool,
        iteration: int,
    ) -> Run:
        """Plays `games` (at least one) games, handing each played one to `played`."""


def collect(
    outcomes: Iterator[GameOutcome],
    games: int,
    label: str,
    progress: bool,
    take: Callable[[GameOutcome], None],
) -> tuple[FailureCount, Work]:
    """Takes the outcome of each of `games` games with a progress bar: the played ones go to
    `take`, the abandoned ones are counted (PlayError once most have failed), and the work the
    workers report is added up."""
    failures = FailureCount(label, games)
    work = Work()
    # With progress, tqdm's None draws on a terminal only: a log would get every redraw.
    hidden = None if progress else True
    with tqdm(total=games, desc=label, unit="game", disable=hidden) as bar:
        for outcome in outcomes:
            work = work + outcome.work
            if outcome.failure is not None:
                failures.add(outcome.failure, f"worker {outcome.worker}")
            else:
                take(outcome)
            bar.update()
    return failures, work


def served_games(
    task: Task,
    models: Sequence[ModelFactory],
    game: GameSettings,
    games: int,
    workers: int,
    settings: ServerSettings,
    label: str,
    progress: bool,
    take: Callable[[GameOutcome], None],
    *,
    threads: Optional[int] = None,
    quiet: bool = True,
) -> tuple[FailureCount, Optional[ServerStats]]:
    """Plays `games` games of the module's `task` in `workers` worker processes, every
    evaluation answered by one inference server running `models` (one request queue each, in
    the order the task takes them); `threads` are the server's torch threads (None: half the
    cores). Starts and ends the server and the pool on every way out."""
    context = process_context()
    requests = [RequestQueue(context) for _ in models]
    try:
        pool = LocalPool(
            ModuleGames(task, game),
            min(workers, games),
            requests,
            context=context,
            options=WorkerOptions(quiet=quiet),
        )
        server = InferenceServer(
            models,
            requests,
            pool.reply_ends,
            settings,
            channels_last=game.rep == 2,
            dim=game.dim,
            threads=threads,
            context=context,
        )
        with server, pool:
            failures, _ = collect(
                pool.play(games, check=server.check), games, label, progress, take
            )
            pool.stop()
            stats = server.stop()
    finally:
        for queue in requests:
            queue.close()
    return failures, stats


def _served_run(failures: FailureCount, stats: Optional[ServerStats]) -> Run:
    if stats is None:
        return Run(failures)
    return Run(failures, stats.requests, stats.mean_batch)


@dataclass(frozen=True)
class ModuleWorkers(SelfPlayBackend):
    """`workers` processes playing one game at a time with the self-play module; the inference
    server runs the network the `server` way with `threads` torch threads."""

    workers: int
    server: ServerSettings = ServerSettings()
    threads: Optional[int] = None

    def _run(
        self,
        network: NetworkFactory,
        game: GameSettings,
        games: int,
        played: Played,
        progress: bool,
        iteration: int,
    ) -> Run:
        return _served_run(
            *served_games(
                tessarin_self_play.play_training_game,
                [network],
                game,
                games,
                self.workers,
                self.server,
                "self-play",
                progress,
                played,
                threads=self.threads,
            )
        )


@dataclass(frozen=True)
class BatchedWorkers(SelfPlayBackend):
    """`workers` processes, each playing up to `batch_games` games of its share at once. On the
    CPU each evaluates in-process on its own copy of the network, run the ``server.inference``
    way; on another device one inference server (with `threads` torch threads) evaluates every
    worker's steps there (`in_server` says which, None: by the device). Evaluations are counted
    where the server makes them."""

    workers: int
    batch_games: int = 64
    server: ServerSettings = ServerSettings()
    threads: Optional[int] = None
    in_server: Optional[bool] = None

    def _run(
        self,
        network: NetworkFactory,
        game: GameSettings,
        games: int,
        played: Played,
        progress: bool,
        iteration: int,
    ) -> Run:
        if self.batch_games < 1:
            raise ValueError("a batch needs at least one game")
        in_server = self.server.device != "cpu" if self.in_server is None else self.in_server
        context = process_context()
        requests = [RequestQueue(context)] if in_server else []
        try:
            pool = LocalPool(
                BatchedGames(
                    network,
                    game,
                    self.batch_games,
                    self.server.inference,
                    self.server.device,
                    in_server,
                    self.server.position_cache,
                ),
                min(self.workers, games),
                requests,
                context=context,
                options=WorkerOptions(quiet=True),
            )
            with ExitStack() as stack:
                server: Optional[InferenceServer] = None
                if in_server:
                    server = InferenceServer(
                        [network],
                        requests,
                        pool.reply_ends,
                        self.server,
                        channels_last=game.rep == 2,
                        dim=game.dim,
                        threads=self.threads,
                        context=context,
                    )
                    stack.enter_context(server)
                stack.enter_context(pool)
                check = server.check if server is not None else None
                outcomes = pool.play(games, check)
                failures, work = collect(outcomes, games, "self-play", progress, played)
                pool.stop()
                if server is not None:
                    server.stop()
        finally:
            for queue in requests:
                queue.close()
        mean_batch = work.evaluations / work.steps if work.steps else 0.0
        return Run(failures, work.evaluations, mean_batch, work.cache_hits)


@dataclass(frozen=True)
class RayActors(SelfPlayBackend):
    """`workers` actors of the cluster `ray` is connected to, each playing up to `batch_games`
    games of a share at once and evaluating them on its CPU, run the `inference` way, with a
    memo of `position_cache` answers by position."""

    ray: RayBackend
    workers: int
    batch_games: int = 64
    inference: str = ServerSettings().inference
    position_cache: int = ServerSettings().position_cache

    def _run(
        self,
        network: NetworkFactory,
        game: GameSettings,
        games: int,
        played: Played,
        progress: bool,
        iteration: int,
    ) -> Run:
        pool = RayPool(
            self.ray,
            network,
            game,
            min(self.workers, games),
            self.batch_games,
            inference=self.inference,
            iteration=iteration,
            cached_positions=self.position_cache,
        )
        with pool:
            failures, _ = collect(pool.play(games), games, "self-play", progress, played)
            pool.stop()
        if pool.restarts or pool.lost:
            _log.warning(
                "self-play on Ray: %d actor restarts, %d actors lost; every game was kept once",
                pool.restarts,
                pool.lost,
            )
        mean_batch = pool.evaluations / pool.steps if pool.steps else 0.0
        return Run(failures, pool.evaluations, mean_batch, pool.cache_hits)

"""Worker pools: where games are played.

``WorkerPool`` is the interface the self-play backends and the module's test games use (start,
play, stop), so that the Ray cluster's pool stands beside ``LocalPool``, which runs worker
processes on this machine. What the local workers play is a `WorkerGames` (see ``workers``): the
module's games one per job, or shares of batched self-play. Every game a pool is asked for comes
back as exactly one outcome, played or abandoned, so `play` always ends.
"""

from __future__ import annotations

import queue
import time
from abc import ABC, abstractmethod
from collections.abc import Callable, Iterator, Sequence
from multiprocessing.connection import Connection
from multiprocessing.context import BaseContext
from multiprocessing.process import BaseProcess
from multiprocessing.queues import Queue
from types import TracebackType
from typing import Any, Optional

from tessarin_zero.common.processes import process_context
from tessarin_zero.selfplay.outcomes import GameOutcome, WorkerError
from tessarin_zero.selfplay.workers import (
    SupportsPut,
    WorkerFailure,
    WorkerGames,
    WorkerOptions,
    worker_main,
)

_CHECK_S = 0.1  # how often the parent looks at the health of the workers and the server


class WorkerPool(ABC):
    """Plays games and yields their outcomes. Use as a context manager."""

    @abstractmethod
    def start(self) -> None:
        """Starts the workers."""

    @abstractmethod
    def play(self, games: int, check: Optional[Callable[[], None]] = None) -> Iterator[GameOutcome]:
        """Plays `games` games and yields one outcome for each as it ends. `check` is called
        while waiting and may raise to end the run (the inference server's health check).
        Raises WorkerError if a worker fails."""

    @abstractmethod
    def stop(self, abort: bool = False) -> None:
        """Ends every worker, waiting for idle ones unless `abort`. Never raises."""

    def __enter__(self) -> WorkerPool:
        self.start()
        return self

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        self.stop(abort=kind is not None)


class LocalPool(WorkerPool):
    """`workers` processes on this machine, with ids 0 .. workers - 1, playing `games`.

    ``requests`` are the request queues of the models, in the order the games take them
    (``play_test_game``: model, then baseline). The server needs ``reply_ends``, the sending
    ends of the workers' pipes, before the pool starts. `options` say how long workers wait for
    replies and whether what the games print is shown.
    """

    def __init__(
        self,
        games: WorkerGames,
        workers: int,
        requests: Sequence[SupportsPut] = (),
        *,
        context: Optional[BaseContext] = None,
        options: WorkerOptions = WorkerOptions(),
    ) -> None:
        if workers < 1:
            raise ValueError("a pool needs at least one worker")
        self._games = games
        self._requests = list(requests)
        self._context = context if context is not None else process_context()
        self._options = options
        pipes = {worker: self._context.Pipe(duplex=False) for worker in range(workers)}
        self._worker_ends = {worker: ends[0] for worker, ends in pipes.items()}
        self.reply_ends: dict[int, Connection] = {w: ends[1] for w, ends in pipes.items()}
        self._jobs: Queue[Optional[int]] = self._context.Queue()
        self._results: Queue[Any] = self._context.Queue()
        self.processes: list[BaseProcess] = []
        self._next_check = 0.0
        self._stopped = False

    def start(self) -> None:
        try:
            for worker, pipe in self._worker_ends.items():
                process = self._context.Process(  # type: ignore[attr-defined]
                    target=worker_main,
                    name=f"worker-{worker}",
                    args=(
                        worker,
                        self._games,
                        self._requests,
                        pipe,
                        self._jobs,
                        self._results,
                        self._options,
                    ),
                    daemon=True,
                )
                process.start()
                self.processes.append(process)
                pipe.close()
        except BaseException:  # no half-started pool: __exit__ does not run if start raises
            self.stop(abort=True)
            raise

    def play(self, games: int, check: Optional[Callable[[], None]] = None) -> Iterator[GameOutcome]:
        for job in self._games.jobs(games, len(self.processes)):
            self._jobs.put(job)
        for _ in range(games):
            yield self._next_outcome(check)

    def stop(self, abort: bool = False) -> None:
        if self._stopped:
            return
        self._stopped = True
        if not abort:
            for _ in self.processes:
                self._jobs.put(None)
            deadline = time.monotonic() + 5.0
            for process in self.processes:
                process.join(max(0.0, deadline - time.monotonic()))
        for process in self.processes:
            if process.exitcode is None:
                process.terminate()
        for process in self.processes:
            process.join(2.0)
            if process.exitcode is None:
                process.kill()
                process.join(2.0)
        for channel in (self._jobs, self._results):
            channel.cancel_join_thread()
            channel.close()
        for end in [*self._worker_ends.values(), *self.reply_ends.values()]:
            end.close()

    def _next_outcome(self, check: Optional[Callable[[], None]]) -> GameOutcome:
        """The next outcome. The health checks run every tenth of a second whether or not
        outcomes keep coming: the other workers may well go on playing after one has died."""
        while True:
            if time.monotonic() >= self._next_check:
                if check is not None:
                    check()
                self._check_workers()
                self._next_check = time.monotonic() + _CHECK_S
            try:
                message = self._results.get(timeout=_CHECK_S)
            except queue.Empty:
                continue
            if isinstance(message, WorkerFailure) and check is not None:
                check()  # a dead server is the cause to report, not the worker it broke
            return self._outcome_of(message)

    def _outcome_of(self, message: Any) -> GameOutcome:
        if isinstance(message, WorkerFailure):
            raise WorkerError(f"worker {message.worker} failed:\n{message.report}")
        assert isinstance(message, GameOutcome)
        return message

    def _check_workers(self) -> None:
        """Raises WorkerError for a worker that ended while games were still being played,
        preferring the report it sent before it exited to its bare exit code."""
        dead = [p for p in self.processes if p.exitcode is not None]
        if not dead:
            return
        deadline = time.monotonic() + 0.5  # for a report still on its way
        try:
            while time.monotonic() < deadline:
                message = self._results.get(timeout=max(0.0, deadline - time.monotonic()))
                if isinstance(message, WorkerFailure):
                    self._outcome_of(message)
        except queue.Empty:
            pass
        names = ", ".join(f"{p.name} (exit code {p.exitcode})" for p in dead)
        raise WorkerError(f"worker process ended during the run: {names}")

"""The worker side of a local pool: what runs in each worker process.

Every worker process runs `worker_main`, written once: it ties its life to the main process,
leaves Ctrl-C to the parent, takes jobs from the pool's job queue until a None job arrives and
reports every game's outcome on the pool's result queue; anything that escapes a job is sent to
the parent as a `WorkerFailure` and ends the worker. What a job plays is a `WorkerGames`:

- `ModuleGames`: one game of the self-play module per job (``play_training_game``,
  ``play_test_against_random`` or ``play_test_game``), evaluated by the inference server. The
  module is handed the worker's own objects in place of the host's: a request sender per model,
  which puts ``(id, position)`` on the model's queue as a NumPy bool array (it pickles to a
  fraction of the nested lists) and counts the reply now owed; the worker's reply channel,
  which waits with a time-out; and a result sink, whose item comes back to the parent with the
  game's status.
- `BatchedGames`: a share of self-play games per job, played at once by the engine's batch and
  evaluated by the worker's own copy of the network, or by the inference server (a device that
  several workers share), one request per step.

The protocol has no request numbers: a worker takes the next reply on its pipe as the answer to
its last request. After a game abandoned on a failed evaluation (a reply that timed out, say),
the worker therefore waits for every reply still owed and throws it away before it starts the
next game; if one does not come in time it stops, since its pipe can no longer be trusted.
"""

from __future__ import annotations

import multiprocessing
import os
import queue
import signal
import sys
import time
import traceback
from abc import ABC, abstractmethod
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from multiprocessing.connection import Connection
from multiprocessing.queues import Queue
from typing import Any, Optional, Protocol

import numpy as np
import torch

from tessarin_zero.common.lifetime import die_with_parent
from tessarin_zero.common.settings import GameSettings
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.inference.server import PositionBatch
from tessarin_zero.selfplay.batched import Evaluate, Step, new_batch, play_batch
from tessarin_zero.selfplay.outcomes import GameOutcome, Work
from tessarin_zero.storage.records import GameRecord

POLL_S = 0.5  # how often a waiting worker looks at whether its parent is still there


class SupportsPut(Protocol):
    """A queue as the module sees it."""

    def put(self, item: Any, /) -> None: ...


Task = Callable[..., Any]
"""A game function of the module, called as ``task(id, config, result_queue, *queues, pipe)``;
it must be picklable (a module-level function)."""


@dataclass(frozen=True)
class WorkerOptions:
    """`reply_timeout_s`: how long a worker waits for a reply (None: for ever) before the game
    fails; `drain_timeout_s`: how long it then waits for the late reply before it gives up;
    `quiet`: what the games print goes to the null device."""

    reply_timeout_s: Optional[float] = 300.0
    drain_timeout_s: float = 60.0
    quiet: bool = False


@dataclass(frozen=True)
class WorkerFailure:
    """What a worker sends its parent before it ends on an error."""

    worker: int
    report: str


class ReplyChannel:
    """A worker's end of its reply pipe, handed to the module as its ``pipe``.

    ``owed`` counts requests put and not yet answered: a request sender raises it, a reply taken
    lowers it. `recv` fails after `timeout_s` (the game is then abandoned) or when the parent
    has gone, and remembers why in `last_error`.
    """

    def __init__(
        self,
        pipe: Connection,
        timeout_s: Optional[float],
        parent_alive: Callable[[], bool] = lambda: True,
    ) -> None:
        self._pipe = pipe
        self._timeout_s = timeout_s
        self._parent_alive = parent_alive
        self.owed = 0
        self.last_error: Optional[str] = None

    def recv(self) -> Any:
        try:
            self._wait(self._timeout_s)
        except BaseException as error:
            self.last_error = f"{type(error).__name__}: {error}"
            raise
        try:
            return self._pipe.recv()
        except BaseException as error:
            self.last_error = f"{type(error).__name__}: {error}"
            raise
        finally:  # a reply that was there has been taken, even if it did not unpickle
            self.owed = max(0, self.owed - 1)

    def drain(self, timeout_s: float) -> int:
        """Takes and discards every reply still owed; returns how many. Raises TimeoutError if
        one does not arrive within `timeout_s`."""
        drained = 0
        while self.owed > 0:
            self._wait(timeout_s)
            self.owed -= 1
            self._pipe.recv()
            drained += 1
        return drained

    def _wait(self, timeout_s: Optional[float]) -> None:
        deadline = None if timeout_s is None else time.monotonic() + timeout_s
        while True:
            step = POLL_S if deadline is None else min(POLL_S, deadline - time.monotonic())
            if self._pipe.poll(max(0.0, step)):
                return
            if not self._parent_alive():
                raise ConnectionError("the parent process has gone")
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"no reply from the inference server within {timeout_s} s")


@dataclass
class Worker:
    """What the jobs of a worker process work with: its id, its reply channel, the request
    queues of the models (in the order the task takes them), its options and where outcomes
    go."""

    id: int
    channel: ReplyChannel
    requests: Sequence[SupportsPut]
    options: WorkerOptions
    report: Callable[[GameOutcome], None]
    kept: dict[str, Any] = field(default_factory=dict)
    """What the worker's jobs keep from one job to the next (a network built once)."""


class WorkerGames(ABC):
    """What the workers of a pool play. It crosses to the worker processes (picklable); `play`
    runs there."""

    @abstractmethod
    def jobs(self, games: int, workers: int) -> list[int]:
        """The jobs that play `games` games on `workers` workers: each is what `play` is given."""

    @abstractmethod
    def play(self, job: int, worker: Worker) -> None:
        """Plays one job, reporting the outcome of each of its games, played or abandoned. An
        exception ends the worker."""


class RequestSender:
    """Puts requests on one model's queue and records, on the channel, the reply now owed."""

    def __init__(self, requests: SupportsPut, channel: ReplyChannel) -> None:
        self._requests = requests
        self._channel = channel

    def put(self, item: Any) -> None:
        worker, position = item
        self._requests.put((worker, pack_position(position)))
        self._channel.owed += 1


def pack_position(position: Any) -> np.ndarray:
    """A position (three levels of nested lists of bools) as a NumPy bool array of the same
    shape. ``bytes`` of a row of bools is one C loop, faster than ``np.array`` on the whole
    nesting, and this runs once per evaluation on the round trip's critical path."""
    try:
        rows = b"".join([bytes(row) for plane in position for row in plane])
        shape = (len(position), len(position[0]), -1)
        return np.frombuffer(rows, dtype=np.bool_).reshape(shape)
    except (TypeError, ValueError, IndexError):  # not rows of bools: let NumPy sort it out
        return np.array(position, dtype=np.bool_)


class _ResultSink:
    """Stands in for the result queue: the worker sends the item with the game's outcome."""

    def __init__(self) -> None:
        self.items: list[Any] = []

    def put(self, item: Any) -> None:
        self.items.append(item)


def play_one(
    task: Task, worker: int, config: Any, senders: Sequence[RequestSender], channel: ReplyChannel
) -> GameOutcome:
    """Plays one game of the module and describes its end. An ``Exception`` from the task is a
    failed evaluation (``play_test_game`` raises one); anything else escapes and stops the
    worker."""
    sink = _ResultSink()
    channel.last_error = None
    try:
        returned = task(worker, config, sink, *senders, channel)
    except Exception as error:
        return GameOutcome(worker, failure=channel.last_error or f"{type(error).__name__}: {error}")
    if isinstance(returned, bool) or not isinstance(returned, (int, float)):
        raise TypeError(f"the game function returned {returned!r}")
    if isinstance(returned, float):  # play_test_game: the payoff of seat 0
        return GameOutcome(worker, payoff=returned)
    if returned != 0 or not sink.items:
        reason = channel.last_error or f"abandoned after a failed evaluation (status {returned})"
        return GameOutcome(worker, failure=reason)
    _, result = sink.items[-1]
    if isinstance(result, tuple):  # play_training_game: (id, (history, policies, payoff))
        return GameOutcome(worker, record=GameRecord.of_module(sink.items[-1]))
    return GameOutcome(worker, payoff=float(result))  # play_test_against_random: (id, payoff)


@dataclass(frozen=True)
class ModuleGames(WorkerGames):
    """One game of the module's `task` per job, with `config`."""

    task: Task
    config: Any

    def jobs(self, games: int, workers: int) -> list[int]:
        return [1] * games

    def play(self, job: int, worker: Worker) -> None:
        senders = [RequestSender(source, worker.channel) for source in worker.requests]
        outcome = play_one(self.task, worker.id, self.config, senders, worker.channel)
        if outcome.failed:
            worker.channel.drain(worker.options.drain_timeout_s)
        worker.report(outcome)


class ServerEvaluator:
    """Evaluates a step's positions with one request to the inference server and the reply on
    this worker's pipe (which fails after the channel's time-out, or when the parent is gone)."""

    def __init__(self, worker: int, requests: SupportsPut, channel: ReplyChannel) -> None:
        self._worker = worker
        self._requests = requests
        self._channel = channel

    def __call__(self, positions: Any) -> tuple[np.ndarray, np.ndarray]:
        self._requests.put((self._worker, PositionBatch(np.asarray(positions))))
        self._channel.owed += 1
        policy, value = self._channel.recv()
        return policy, value


@dataclass(frozen=True)
class BatchedGames(WorkerGames):
    """A share of the self-play games per worker, up to `batch_games` at once in the engine's
    batch: evaluated by the worker's own copy of `network`, run the `inference` way on `device`
    with one torch thread, or, with `in_server`, by the inference server (the pool's request
    queue), which is sent positions as uint8 (a quarter of float32's bytes). The batch keeps
    `cached_positions` answers by position (0: none)."""

    network: NetworkFactory
    config: GameSettings
    batch_games: int
    inference: str
    device: str = "cpu"
    in_server: bool = False
    cached_positions: int = 0

    def jobs(self, games: int, workers: int) -> list[int]:
        shares = [games // workers + (index < games % workers) for index in range(workers)]
        return [share for share in shares if share]

    def play(self, job: int, worker: Worker) -> None:
        evaluate = _evaluator_of(self, worker)
        dtype = "uint8" if self.in_server else "float32"
        batch = new_batch(
            self.config, min(self.batch_games, job), job, dtype, self.cached_positions
        )
        work = Work()

        def report(step: Step) -> None:
            # The work of the steps since the last game ended goes with the next one to end.
            nonlocal work
            work = work + Work(step.evaluations, 1 if step.evaluations else 0, step.cache_hits)
            for record in step.records:
                worker.report(GameOutcome(worker.id, record=record, work=work))
                work = Work()
            for reason in step.failures:
                worker.report(GameOutcome(worker.id, failure=reason, work=work))
                work = Work()

        play_batch(batch, evaluate, report)


def _evaluator_of(games: BatchedGames, worker: Worker) -> Evaluate:
    """The worker's evaluator, built by its first job and kept for the next ones."""
    evaluate: Optional[Evaluate] = worker.kept.get("evaluate")
    if evaluate is None:
        if games.in_server:
            evaluate = ServerEvaluator(worker.id, worker.requests[0], worker.channel)
        else:
            torch.set_num_threads(1)  # one worker per core
            evaluate = BatchEvaluator(
                games.network(),
                path=games.inference,
                channels_last=games.config.rep == 2,
                device=games.device,
                dim=games.config.dim,
            )
        worker.kept["evaluate"] = evaluate
    return evaluate


def worker_main(
    worker: int,
    games: WorkerGames,
    requests: Sequence[SupportsPut],
    pipe: Connection,
    jobs: Queue[Optional[int]],
    results: Queue[Any],
    options: WorkerOptions,
) -> None:
    """Entry point of every worker process: plays jobs until a None job arrives."""
    die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the parent's to handle
    if options.quiet:
        sys.stdout = open(os.devnull, "w")
    parent = multiprocessing.parent_process()
    parent_alive: Callable[[], bool] = parent.is_alive if parent is not None else (lambda: True)
    channel = ReplyChannel(pipe, options.reply_timeout_s, parent_alive)
    side = Worker(worker, channel, requests, options, results.put)
    try:
        while True:
            try:
                job = jobs.get(timeout=POLL_S)
            except queue.Empty:
                if parent_alive():
                    continue
                job = None
            if job is None:
                return
            games.play(job, side)
    except BaseException:
        results.put(WorkerFailure(worker, traceback.format_exc()))
        if not parent_alive():
            results.cancel_join_thread()
        sys.exit(1)

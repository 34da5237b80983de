"""Worker pools: where the self-play module's games are played.

``WorkerPool`` is the interface the high-level functions use (start, play, stop), so that a
backend spread over several machines can stand beside ``LocalPool``, which runs worker processes
on this one. A worker loops over the games it is given and calls a game function of the module
(``play_training_game``, ``play_test_against_random`` or ``play_test_game``) for each; it hands
the module its own objects in place of the host's:

- a request sender per model, which puts ``(id, position)`` on the model's shared queue and
  counts the reply now owed; it turns the position into a NumPy bool array first, which pickles
  to a fraction of the nested lists and lets the server stack a batch without looking at
  elements (the server accepts nested lists too);
- its reply channel, the receiving end of its own pipe, which waits for a reply with a time-out
  and counts the replies it has taken;
- a result sink, so that whatever the game puts on its result queue comes back to the parent in
  one message together with the game's status.

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
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from multiprocessing.connection import Connection
from multiprocessing.context import BaseContext
from multiprocessing.process import BaseProcess
from multiprocessing.queues import Queue
from types import TracebackType
from typing import Any, Optional, Protocol

import numpy as np

from .lifetime import die_with_parent

_POLL_S = 0.5  # how often a waiting worker looks at whether its parent is still there
_CHECK_S = 0.1  # how often the parent looks at the health of the workers and the server
# ONNX Runtime and the exporter too: importing them took 0.6 s of each server's 0.7 s start.
_PRELOAD = ["tessarin_self_play", "tessarin_zero.server", "onnxruntime", "onnx", "torch.onnx"]


class SupportsPut(Protocol):
    """A queue as the module sees it."""

    def put(self, item: Any, /) -> None: ...


Task = Callable[..., Any]
"""A game function of the module, called as ``task(id, config, result_queue, *queues, pipe)``;
it must be picklable (a module-level function)."""


def process_context() -> BaseContext:
    """The start method of every process of the host: a fork server that has imported torch, ONNX
    Runtime and the module once. Forking the parent itself is not safe once torch has run a parallel
    operation in it (the child's thread pool hangs), and spawning imports torch every time."""
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(_PRELOAD)
    return context


class WorkerError(RuntimeError):
    """A worker raised or died; the run cannot go on."""


@dataclass(frozen=True)
class GameOutcome:
    """One game's end, as reported by the worker that played it.

    `value` is what the game put on its result queue (training record, test result) or what it
    returned (a float), or None for a failed game; `error` says why a game failed.
    """

    worker: int
    failed: bool
    value: Any = None
    error: Optional[str] = None


@dataclass(frozen=True)
class _WorkerOptions:
    reply_timeout_s: Optional[float]
    drain_timeout_s: float
    quiet: bool


@dataclass(frozen=True)
class _WorkerFailure:
    worker: int
    report: str


class WorkerPool(ABC):
    """Plays games of one task with one configuration. Use as a context manager."""

    @abstractmethod
    def start(self) -> None:
        """Starts the workers."""

    @abstractmethod
    def play(self, games: int, check: Optional[Callable[[], None]] = None) -> Iterator[GameOutcome]:
        """Plays `games` games and yields their outcomes as they end. `check` is called while
        waiting and may raise to end the run (the inference server's health check). Raises
        WorkerError if a worker fails."""

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
    """`workers` processes on this machine, with ids 0 .. workers - 1.

    ``requests`` are the request queues of the models, in the order the task takes them
    (``play_test_game``: model, then baseline). The server needs ``reply_ends``, the sending
    ends of the workers' pipes, before the pool starts. A reply slower than `reply_timeout_s`
    (None: wait for ever) fails the evaluation, and so the game; a worker then waits up to
    `drain_timeout_s` for the late reply before it gives up. `quiet` sends what the games print
    (the module's "Finished Game" boards and error lines) to the null device.
    """

    def __init__(
        self,
        task: Task,
        config: Any,
        workers: int,
        requests: Sequence[SupportsPut],
        *,
        context: Optional[BaseContext] = None,
        reply_timeout_s: Optional[float] = 300.0,
        drain_timeout_s: float = 60.0,
        quiet: bool = False,
    ) -> None:
        if workers < 1:
            raise ValueError("a pool needs at least one worker")
        self._task = task
        self._config = config
        self._requests = list(requests)
        self._context = context if context is not None else process_context()
        self._options = _WorkerOptions(reply_timeout_s, drain_timeout_s, quiet)
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
                self._start_worker(worker, pipe)
        except BaseException:  # no half-started pool: __exit__ does not run if start raises
            self.stop(abort=True)
            raise

    def _start_worker(self, worker: int, pipe: Connection) -> None:
        process = self._context.Process(  # type: ignore[attr-defined]
            target=_work,
            name=f"worker-{worker}",
            args=(
                worker,
                self._task,
                self._config,
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

    def play(self, games: int, check: Optional[Callable[[], None]] = None) -> Iterator[GameOutcome]:
        for game in range(games):
            self._jobs.put(game)
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
            if isinstance(message, _WorkerFailure) and check is not None:
                check()  # a dead server is the cause to report, not the worker it broke
            return self._outcome_of(message)

    def _outcome_of(self, message: Any) -> GameOutcome:
        if isinstance(message, _WorkerFailure):
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
                if isinstance(message, _WorkerFailure):
                    self._outcome_of(message)
        except queue.Empty:
            pass
        names = ", ".join(f"{p.name} (exit code {p.exitcode})" for p in dead)
        raise WorkerError(f"worker process ended during the run: {names}")


# Worker side: everything below runs in the worker processes.


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
            step = _POLL_S if deadline is None else min(_POLL_S, deadline - time.monotonic())
            if self._pipe.poll(max(0.0, step)):
                return
            if not self._parent_alive():
                raise ConnectionError("the parent process has gone")
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"no reply from the inference server within {timeout_s} s")


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
    shape. ``bytes`` of a row of bools is one C loop, twice as fast as ``np.array`` on the whole
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
    """Plays one game and describes its end. An ``Exception`` from the task is a failed
    evaluation (``play_test_game`` raises one); anything else escapes and stops the worker."""
    sink = _ResultSink()
    channel.last_error = None
    try:
        returned = task(worker, config, sink, *senders, channel)
    except Exception as error:
        reason = channel.last_error or f"{type(error).__name__}: {error}"
        return GameOutcome(worker, True, None, reason)
    if isinstance(returned, bool) or not isinstance(returned, (int, float)):
        raise TypeError(f"the game function returned {returned!r}")
    if isinstance(returned, float):
        return GameOutcome(worker, False, returned)
    if returned != 0:
        reason = channel.last_error or f"abandoned after a failed evaluation (status {returned})"
        return GameOutcome(worker, True, None, reason)
    return GameOutcome(worker, False, sink.items[-1] if sink.items else None)


def _work(
    worker: int,
    task: Task,
    config: Any,
    requests: Sequence[SupportsPut],
    pipe: Connection,
    jobs: Queue[Optional[int]],
    results: Queue[Any],
    options: _WorkerOptions,
) -> None:
    """Entry point of a worker process: plays games until a None job arrives."""
    die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the parent's to handle
    if options.quiet:
        sys.stdout = open(os.devnull, "w")
    parent = multiprocessing.parent_process()
    parent_alive: Callable[[], bool] = parent.is_alive if parent is not None else (lambda: True)
    channel = ReplyChannel(pipe, options.reply_timeout_s, parent_alive)
    senders = [RequestSender(source, channel) for source in requests]
    try:
        while True:
            try:
                job = jobs.get(timeout=_POLL_S)
            except queue.Empty:
                if parent_alive():
                    continue
                job = None
            if job is None:
                return
            outcome = play_one(task, worker, config, senders, channel)
            if outcome.failed:
                channel.drain(options.drain_timeout_s)
            results.put(outcome)
    except BaseException:
        results.put(_WorkerFailure(worker, traceback.format_exc()))
        if not parent_alive():
            results.cancel_join_thread()
        sys.exit(1)

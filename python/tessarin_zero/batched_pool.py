"""Worker processes that each play a batch of self-play games at once and evaluate in-process.

Each worker plays its share of the games with the engine's ``SelfPlayBatch``, at most
`batch_games` at a time, with one evaluation call per step for every game of the batch waiting
for one. On the CPU the worker evaluates in-process on its own copy of the network (a
`BatchEvaluator`, one torch thread): no server, pipes or pickling in between. For a GPU, where
several workers share one device, it sends each step's positions to the inference server as
one request instead (`ServerEvaluator`). Each finished game's record goes to the parent as it
comes out, so a run stopped by a signal keeps every game that had finished, as with the
per-game workers.
"""

from __future__ import annotations

import multiprocessing
import os
import queue
import signal
import sys
import traceback
from collections.abc import Callable, Iterator
from multiprocessing.connection import Connection
from multiprocessing.queues import Queue
from typing import Any, Optional

import numpy as np
import torch

from .batched import Evaluate, new_batch, play_batch
from .inference import BatchEvaluator
from .lifetime import die_with_parent
from .pool import (
    _POLL_S,
    GameOutcome,
    LocalPool,
    ReplyChannel,
    SupportsPut,
    _WorkerFailure,
    _WorkerOptions,
)
from .server import NetworkFactory, PositionBatch, RequestQueue
from .settings import GameSettings


class ServerEvaluator:
    """Evaluates a step's positions with one request to the inference server and the reply on
    this worker's pipe (which fails after the channel's time-out, or when the parent is gone)."""

    def __init__(self, worker: int, requests: SupportsPut, channel: ReplyChannel) -> None:
        self._worker = worker
        self._requests = requests
        self._channel = channel

    def __call__(self, positions: Any) -> tuple[np.ndarray, np.ndarray]:
        planes = np.asarray(positions).astype(np.bool_)  # a quarter of float32's bytes to send
        self._requests.put((self._worker, PositionBatch(planes)))
        self._channel.owed += 1
        policy, value = self._channel.recv()
        return policy, value


def _no_task(*args: Any) -> None:
    raise AssertionError("batched workers play through the engine's batch, not a module task")


class BatchedPool(LocalPool):
    """`workers` processes, each playing up to `batch_games` games of its share at once,
    evaluated by its own copy of the network, run the `inference` way on `device`; or, given
    `requests`, by the inference server that reads them (which needs `reply_ends`)."""

    def __init__(
        self,
        network: NetworkFactory,
        config: GameSettings,
        workers: int,
        batch_games: int,
        *,
        inference: str,
        device: str = "cpu",
        requests: Optional[RequestQueue] = None,
        reply_timeout_s: Optional[float] = 300.0,
        quiet: bool = False,
    ) -> None:
        if batch_games < 1:
            raise ValueError("a batch needs at least one game")
        queues = [] if requests is None else [requests]
        super().__init__(
            _no_task, config, workers, queues, reply_timeout_s=reply_timeout_s, quiet=quiet
        )
        self._network = network
        self._batch_games = batch_games
        self._inference = inference
        self._device = device

    def _start_worker(self, worker: int, pipe: Connection) -> None:
        process = self._context.Process(  # type: ignore[attr-defined]
            target=_play_batches,
            name=f"batch-worker-{worker}",
            args=(
                worker,
                self._network,
                self._config,
                self._batch_games,
                self._inference,
                self._device,
                self._requests[0] if self._requests else None,
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
        """Splits the games evenly over the workers (one job each) and yields each game's
        outcome as it ends."""
        workers = len(self.processes)
        for index in range(workers):
            share = games // workers + (index < games % workers)
            if share:
                self._jobs.put(share)
        for _ in range(games):
            yield self._next_outcome(check)


def _play_batches(
    worker: int,
    network: NetworkFactory,
    config: GameSettings,
    batch_games: int,
    inference: str,
    device: str,
    requests: Optional[SupportsPut],
    pipe: Connection,
    jobs: Queue[Optional[int]],
    results: Queue[Any],
    options: _WorkerOptions,
) -> None:
    """Entry point of a batched worker: plays each job's games until a None job arrives."""
    die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the parent's to handle
    if options.quiet:
        sys.stdout = open(os.devnull, "w")
    parent = multiprocessing.parent_process()
    parent_alive: Callable[[], bool] = parent.is_alive if parent is not None else (lambda: True)
    try:
        evaluator: Evaluate
        if requests is not None:
            channel = ReplyChannel(pipe, options.reply_timeout_s, parent_alive)
            evaluator = ServerEvaluator(worker, requests, channel)
        else:
            torch.set_num_threads(1)  # one worker per core
            evaluator = BatchEvaluator(
                network(), path=inference, channels_last=config.rep == 2, device=device
            )

        def finished(record: Any) -> None:
            # The batch gives (history, policies, payoff); the host's record, like the
            # module's, carries the worker id in front.
            results.put(GameOutcome(worker, False, (worker, record)))

        while True:
            try:
                job = jobs.get(timeout=_POLL_S)
            except queue.Empty:
                if parent_alive():
                    continue
                job = None
            if job is None:
                return
            batch = new_batch(config, games=min(batch_games, job), total_games=job)
            play_batch(batch, evaluator, finished)
    except BaseException:
        results.put(_WorkerFailure(worker, traceback.format_exc()))
        if not parent_alive():
            results.cancel_join_thread()
        sys.exit(1)

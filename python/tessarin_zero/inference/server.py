"""The inference server: one process that owns the networks and answers every evaluation.

A worker puts ``(worker_id, position)`` on the request queue of a model and blocks on its own
pipe until ``(policy_logits, value_logits)`` arrives there. The server gathers requests into
batches, runs one forward pass per model and batch, and sends each reply on the pipe of the
request's worker, in the order the requests were taken from the queue. A worker that plays a
batch of games puts ``(worker_id, PositionBatch(planes))`` instead: every position of one of its
steps, answered with two arrays; its positions join the forward pass like any others.

Every worker has at most one request outstanding, so a batch can never hold more requests than
there are workers: the server stops waiting for a fuller batch as soon as it holds one request
per worker, and otherwise waits at most ``max_wait_ms`` after the first request of a batch.
Models cross the process boundary as factories that build them inside the server, so a model
never has to be pickled with its autograd state, and CUDA is only ever initialised there.

Request queues are `RequestQueue`s, not ``multiprocessing.Queue``s: a put pickles and writes in
the caller's thread (a worker blocks on its reply right after, so a feeder thread would only add
a hand-off to the round trip), and the server waits on all queues and its control pipe with one
``select``, in one thread, so a request goes from the pipe into a batch without a thread switch.
"""

from __future__ import annotations

import os
import pickle
import queue
import selectors
import signal
import time
import traceback
from collections import Counter, deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from multiprocessing.connection import Connection
from multiprocessing.context import BaseContext
from multiprocessing.process import BaseProcess
from types import TracebackType
from typing import Any, NamedTuple, Optional

import numpy as np
import torch
from torch import nn

from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.common.lifetime import die_with_parent
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.common.processes import process_context
from tessarin_zero.common.settings import ServerSettings

ModelFactory = Callable[[], nn.Module]
"""Builds a model inside the server process; must be picklable (a module-level callable)."""


_SPIN_S = 0.0003  # how long the server polls for requests before it blocks


class ServerError(RuntimeError):
    """The server could not start, or stopped while it was still needed."""


class RequestQueue:
    """A queue that many processes put on and the server alone reads: a pipe whose writers share
    a lock. Pass it to processes at their start (like any multiprocessing queue)."""

    def __init__(self, context: Optional[BaseContext] = None) -> None:
        context = context if context is not None else process_context()
        self.reader, self._writer = context.Pipe(duplex=False)
        self._lock = context.Lock()

    def put(self, item: Any) -> None:
        data = pickle.dumps(item, protocol=pickle.HIGHEST_PROTOCOL)
        with self._lock:
            self._writer.send_bytes(data)

    def get(self, timeout_s: Optional[float] = None) -> Any:
        """The next item, for a reader other than the server (which selects on `reader`);
        raises queue.Empty after `timeout_s`."""
        if not self.reader.poll(timeout_s):
            raise queue.Empty
        return pickle.loads(self.reader.recv_bytes())

    def close(self) -> None:
        self.reader.close()
        self._writer.close()


@dataclass(frozen=True)
class ServerStats:
    """What the server did between its first request and its stop."""

    requests: int  # evaluations: a position batch counts each of its positions
    batches: int
    batch_sizes: dict[int, int] = field(default_factory=dict)
    span_s: float = 0.0  # from the first request taken to the last reply sent
    forward_s: float = 0.0  # in the models' forward passes, reading their outputs included

    @property
    def mean_batch(self) -> float:
        return self.requests / self.batches if self.batches else 0.0


def default_threads() -> int:
    """Torch threads of the server: half the cores, the other half left to the workers. A
    parallel forward pass waits at its barriers for every one of its threads, so a thread that a
    worker has pushed off its core stalls the whole pass (docs/performance.md, "The network on the
    CPU")."""
    return max(1, (os.cpu_count() or 2) // 2)


class InferenceServer:
    """Parent-side handle of the server process: start, health check, stop.

    ``requests[i]`` carries the requests for ``models[i]``; ``replies`` maps each worker id to the
    sending end of that worker's pipe. ``start`` hands the reply ends to the server process and
    closes this process's copies, so a worker sees end-of-file as soon as the server is gone.
    ``channels_last`` says that positions come as [dim][dim][5] (rep 2) instead of [5][dim][dim];
    ``dim`` is the board side the games are played on (the int8 path calibrates on it).

    The stop sentinel travels on a control pipe of its own rather than on the request queues: a
    worker terminated in the middle of a put can leave a request queue locked or half written,
    and the server must still stop when asked. The server also stops when that pipe reaches
    end-of-file, that is when this process has died, so it is never left behind.
    """

    def __init__(
        self,
        models: Sequence[ModelFactory],
        requests: Sequence[RequestQueue],
        replies: Mapping[int, Connection],
        settings: ServerSettings = ServerSettings(),
        *,
        channels_last: bool = False,
        dim: int = 7,
        threads: Optional[int] = None,
        context: Optional[BaseContext] = None,
    ) -> None:
        if len(models) != len(requests) or not models:
            raise ValueError("one request queue per model, and at least one model")
        if settings.max_batch < 1 or settings.max_wait_ms < 0:
            raise ValueError(f"invalid server settings: {settings}")
        self._models = list(models)
        self._requests = list(requests)
        self._replies = dict(replies)
        self._settings = settings
        self._channels_last = channels_last
        self._dim = dim
        self._threads = threads if threads is not None else default_threads()
        self._context = context if context is not None else process_context()
        self._process: Optional[BaseProcess] = None
        self._control: Optional[Connection] = None
        self._error: Optional[str] = None
        self._stats: Optional[ServerStats] = None
        self._stopped = False

    def start(self, timeout_s: float = 120.0) -> None:
        """Starts the process and waits until its models are built; raises ServerError if they
        cannot be."""
        control, server_end = self._context.Pipe()
        process = self._context.Process(  # type: ignore[attr-defined]
            target=_serve,
            name="inference-server",
            args=(
                self._models,
                self._requests,
                self._replies,
                self._settings,
                self._channels_last,
                self._dim,
                self._threads,
                server_end,
            ),
            daemon=True,
        )
        process.start()
        self._process, self._control = process, control
        server_end.close()
        for end in self._replies.values():
            end.close()
        if not control.poll(timeout_s):
            self.stop(timeout_s=1.0)
            raise ServerError(f"the inference server was not ready within {timeout_s} s")
        self._read_control()
        if self._error is not None:
            self.stop(timeout_s=1.0)
            raise ServerError(f"the inference server failed to start:\n{self._error}")

    def check(self) -> None:
        """Raises ServerError if the server process has ended (it only ends when stopped)."""
        if self._process is None or self._stopped:
            raise ServerError("the inference server is not running")
        if self._process.exitcode is not None:
            self._read_control()
            detail = self._error or f"exit code {self._process.exitcode}"
            raise ServerError(f"the inference server stopped unexpectedly: {detail}")

    def stop(self, timeout_s: float = 10.0) -> Optional[ServerStats]:
        """Sends the stop sentinel, waits `timeout_s`, then terminates the server. Never raises;
        returns the server's statistics when it stopped cleanly. Calling it again does nothing."""
        if self._process is None or self._stopped or self._control is None:
            return self._stats
        self._stopped = True
        try:
            self._control.send(_STOP)
        except OSError:  # the server has gone already
            pass
        self._process.join(timeout_s)
        _end_process(self._process)
        self._read_control()
        self._control.close()
        return self._stats

    @property
    def pid(self) -> Optional[int]:
        return None if self._process is None else self._process.pid

    def __enter__(self) -> InferenceServer:
        self.start()
        return self

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        self.stop(timeout_s=10.0 if kind is None else 2.0)

    def _read_control(self) -> None:
        """Takes every message the server has sent so far: ready, error or stats."""
        control = self._control
        if control is None or control.closed:
            return
        try:
            while control.poll(0):
                kind, payload = control.recv()
                if kind == "error":
                    self._error = payload
                elif kind == "stats":
                    self._stats = payload
        except (EOFError, OSError):
            pass


_STOP = ("stop", None)


def _end_process(process: BaseProcess) -> None:
    """Terminate, then kill: the last resort for a process that did not stop when asked."""
    if process.exitcode is None:
        process.terminate()
        process.join(2.0)
    if process.exitcode is None:
        process.kill()
        process.join(2.0)


@dataclass(frozen=True)
class PositionBatch:
    """The positions of a request that asks for many evaluations at once ([B, 5, dim, dim], or
    [B, dim, dim, 5] with channels last; 0/1 values, best as uint8), answered with the policy
    logits [B, dim * dim] and value logits [B, 4] as two float32 arrays."""

    planes: np.ndarray


def _planes_of(position: Any) -> np.ndarray:
    """A request's positions as 0/1 uint8 with one leading entry per position: bool planes (the
    module's requests) are read as their bytes and uint8 ones (a batched worker's steps) as
    they come, so the evaluator's conversion to float32 is the only one."""
    batch = isinstance(position, PositionBatch)
    planes = np.asarray(position.planes if batch else position)
    if planes.dtype == np.bool_:
        planes = planes.view(np.uint8)
    elif planes.dtype != np.uint8:
        planes = planes.astype(np.uint8)
    if not batch:
        return planes[np.newaxis]
    if planes.ndim != 4 or len(planes) == 0:
        raise ValueError(f"a position batch of shape {planes.shape}")
    return planes


class _Request(NamedTuple):
    model: int
    worker: int
    position: Any


def _serve(
    factories: Sequence[ModelFactory],
    requests: Sequence[RequestQueue],
    replies: Mapping[int, Connection],
    settings: ServerSettings,
    channels_last: bool,
    dim: int,
    threads: int,
    control: Connection,
) -> None:
    """Entry point of the server process. Ctrl-C is the parent's to handle: it stops us."""
    die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        torch.set_num_threads(threads)
        try:
            torch.set_num_interop_threads(1)
        except RuntimeError:  # already fixed by earlier torch work in this process
            pass
        models = [_evaluator(factory(), settings, channels_last, dim) for factory in factories]
        loop = _ServeLoop(models, requests, replies, settings, control)
        control.send(("ready", None))
        control.send(("stats", loop.run()))
    except BaseException:
        control.send(("error", traceback.format_exc()))
        raise SystemExit(1)
    finally:
        control.close()


def _evaluator(
    model: nn.Module, settings: ServerSettings, channels_last: bool, dim: int
) -> BatchEvaluator:
    """The network, run the way the settings say; any other model (a test double) as it is,
    since only the network's layers are known to export and fold."""
    path = settings.inference if isinstance(model, PolicyValueNet) else "eager"
    return BatchEvaluator(
        model, path=path, channels_last=channels_last, device=settings.device, dim=dim
    )


class _ServeLoop:
    """Gathers batches from the request queues and answers them until told to stop.

    The stop sentinel, or end-of-file on the control pipe (the parent has died), ends the loop.
    """

    def __init__(
        self,
        models: Sequence[BatchEvaluator],
        requests: Sequence[RequestQueue],
        replies: Mapping[int, Connection],
        settings: ServerSettings,
        control: Connection,
    ) -> None:
        self._models = models
        self._replies = replies
        self._limit = max(1, min(settings.max_batch, len(replies)))
        self._max_wait_s = settings.max_wait_ms / 1000.0
        self._control = control
        self._sources = {requests.reader: index for index, requests in enumerate(requests)}
        # One selector for the whole run: building one per wait costs more than the wait.
        self._selector = selectors.DefaultSelector()
        for connection in [*self._sources, control]:
            self._selector.register(connection, selectors.EVENT_READ)
        self._pending: deque[_Request] = deque()
        self._stopping = False
        self._gone: set[int] = set()
        self._sizes: Counter[int] = Counter()
        self._forward_s = 0.0
        self._first: Optional[float] = None
        self._last = 0.0

    def run(self) -> ServerStats:
        while True:
            batch = self._gather()
            if not batch:
                break
            self._answer(batch, self._evaluate(batch))
        requests = sum(size * count for size, count in self._sizes.items())
        span = self._last - self._first if self._first is not None else 0.0
        return ServerStats(
            requests, sum(self._sizes.values()), dict(self._sizes), span, self._forward_s
        )

    def _gather(self) -> list[_Request]:
        """Blocks for the first request, then waits at most max_wait for more (empty: stop)."""
        while not self._pending:
            if self._stopping:
                return []
            self._receive(None)
        if self._first is None:
            self._first = time.perf_counter()
        deadline = time.perf_counter() + self._max_wait_s
        batch: list[_Request] = []
        while len(batch) < self._limit and not self._stopping:
            if self._pending:
                batch.append(self._pending.popleft())
            elif not self._receive(max(0.0, deadline - time.perf_counter())):
                break
        return batch

    def _receive(self, timeout_s: Optional[float]) -> bool:
        """Waits up to `timeout_s` (None: for ever) and reads one message from every ready
        connection; False if nothing was ready in time.

        It polls for a short while first, yielding the core to any runnable worker between
        polls, before it blocks: the next requests usually come within a worker's turnaround,
        and a wake-up from a blocking wait costs tens of microseconds on a busy small machine
        (docs/performance.md, "The network on the CPU").
        """
        started = time.perf_counter()
        spin_s = _SPIN_S if timeout_s is None else min(_SPIN_S, timeout_s)
        events = self._selector.select(0)
        while not events and time.perf_counter() - started < spin_s:
            os.sched_yield()
            events = self._selector.select(0)
        if not events and timeout_s != 0:
            left = (
                None if timeout_s is None else max(0.0, started + timeout_s - time.perf_counter())
            )
            events = self._selector.select(left)
        ready = [key.fileobj for key, _ in events]
        for connection in ready:
            if connection is self._control:
                self._stopping = True  # the sentinel, or end-of-file: the parent has gone
                continue
            assert isinstance(connection, Connection)
            index = self._sources[connection]
            try:
                item = pickle.loads(connection.recv_bytes())
            except (EOFError, OSError, pickle.UnpicklingError) as error:
                raise ServerError(f"reading request queue {index} failed") from error
            if not (isinstance(item, tuple) and len(item) == 2 and isinstance(item[0], int)):
                raise ServerError(f"malformed request on queue {index}: {item!r:.200}")
            if item[0] not in self._replies:
                raise ServerError(f"request from unknown worker id {item[0]}")
            self._pending.append(_Request(index, item[0], item[1]))
        return bool(ready)

    def _evaluate(self, batch: list[_Request]) -> list[bytes]:
        """One forward pass per model present in the batch; pickled replies in batch order.
        A `PositionBatch` request is answered with two arrays, a single position with the two
        lists the module reads."""
        outputs: list[bytes] = [b""] * len(batch)
        evaluated = 0
        for model in sorted({request.model for request in batch}):
            members = [i for i, request in enumerate(batch) if request.model == model]
            try:
                parts = [_planes_of(batch[i].position) for i in members]
                planes = parts[0] if len(parts) == 1 else np.concatenate(parts)
            except ValueError as error:
                raise ServerError("positions of one batch differ in shape") from error
            started = time.perf_counter()
            policy, value = self._models[model](planes)
            offset = 0
            for i, part in zip(members, parts):
                rows = slice(offset, offset + len(part))
                offset += len(part)
                if isinstance(batch[i].position, PositionBatch):
                    reply: Any = (policy[rows], value[rows])
                else:
                    reply = (policy[rows.start].tolist(), value[rows.start].tolist())
                outputs[i] = pickle.dumps(reply, protocol=pickle.HIGHEST_PROTOCOL)
            self._forward_s += time.perf_counter() - started
            evaluated += len(planes)
        self._sizes[evaluated] += 1
        return outputs

    def _answer(self, batch: list[_Request], outputs: list[bytes]) -> None:
        for request, reply in zip(batch, outputs):
            if request.worker in self._gone:
                continue
            try:
                self._replies[request.worker].send_bytes(reply)
            except OSError:  # that worker has gone; the pool reports it
                self._gone.add(request.worker)
        self._last = time.perf_counter()

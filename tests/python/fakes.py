"""Stand-ins for the host objects a worker hands to tessarin_self_play.

The queues record every request, the pipe answers from a scripted network that sizes its reply
from the request it has just seen, and the configuration objects are plain namespaces or objects
that log which attributes were read.
"""

from __future__ import annotations

import multiprocessing
import queue
import random
import sys
import time
from collections import Counter
from dataclasses import dataclass
from multiprocessing.connection import Connection
from types import SimpleNamespace
from typing import Any, Callable, Iterable, Optional, Sequence

import tessarin_self_play

DEFAULT_CONFIG: dict[str, Any] = dict(
    dim=20, rep=1, sims_per_move=8, sample_moves=10, c_base=19652.0, c_init=1.25,
    dirichlet_alpha=0.3, exploration_fraction=0.25,
)  # fmt: skip
CONFIG_FIELDS: tuple[str, ...] = tuple(DEFAULT_CONFIG)  # in the order the module reads them

PLANES = 5
LEGAL_PLANE = 4

# Payoffs of one seat, as the 32-bit values the module computes, widened to double.
PAYOFF_VALUES: frozenset[float] = frozenset({0.0, 1.0, 0.5, 0.3333333432674408, 0.25})


def start_corner(player: int, dim: int) -> int:
    """Cell of a player's start corner: top left, top right, bottom right, bottom left."""
    return [0, dim - 1, dim * dim - 1, (dim - 1) * dim][player]


def opening_tiles(player: int, dim: int) -> frozenset[int]:
    """Legal tiles of a player's first square on an empty board: every cell within taxicab
    distance 4 of its start corner (pieces have at most five squares)."""
    corner = start_corner(player, dim)
    row, col = divmod(corner, dim)
    return frozenset(
        r * dim + c for r in range(dim) for c in range(dim) if abs(r - row) + abs(c - col) <= 4
    )


def make_config(**overrides: Any) -> SimpleNamespace:
    """A configuration namespace with sensible defaults; keyword arguments override fields."""
    values = dict(DEFAULT_CONFIG)
    values.update(overrides)
    return SimpleNamespace(**values)


class RecordingConfig:
    """A configuration whose attribute reads are logged in `reads`; the defaults with the given
    fields overridden, and those named in `missing` raising AttributeError."""

    def __init__(self, missing: Sequence[str] = (), **overrides: Any) -> None:
        self.reads: list[str] = []
        self.values = {k: v for k, v in {**DEFAULT_CONFIG, **overrides}.items() if k not in missing}

    def __getattr__(self, name: str) -> Any:
        self.reads.append(name)
        if name not in self.values:
            raise AttributeError(name)
        return self.values[name]


@dataclass(frozen=True)
class Position:
    """A decoded inference request: the board side and, per plane, the set of true cells."""

    dim: int
    planes: tuple[frozenset[int], ...]

    @property
    def legal(self) -> frozenset[int]:
        return self.planes[LEGAL_PLANE]

    @property
    def occupied(self) -> frozenset[int]:
        return frozenset().union(*self.planes[:LEGAL_PLANE])


def decode_position(position: Any, rep: int) -> Position:
    """Checks the nesting of a position (lists of real bools: [plane][row][col] in layout 1,
    [row][col][plane] in layout 2) and decodes it."""
    assert rep in (1, 2), f"no layout for rep {rep}"
    dim = len(position[0]) if rep == 1 else len(position)
    shape = (PLANES, dim, dim) if rep == 1 else (dim, dim, PLANES)

    def nested(value: Any, depth: int) -> list[Any]:
        assert type(value) is list and len(value) == shape[depth], f"bad nesting at {depth}"
        return value

    planes: list[set[int]] = [set() for _ in range(PLANES)]
    for i, middle in enumerate(nested(position, 0)):
        for j, inner in enumerate(nested(middle, 1)):
            for k, flag in enumerate(nested(inner, 2)):
                assert flag is True or flag is False, f"position entry {flag!r} is not a bool"
                plane, row, col = (i, j, k) if rep == 1 else (k, i, j)
                if flag:
                    planes[plane].add(row * dim + col)
    return Position(dim, tuple(frozenset(p) for p in planes))


class RecordingQueue:
    """A queue whose `put` records its argument, optionally failing on the n-th call.

    Queues that share a `log` list record (queue, item) pairs there in call order, so a pipe
    behind several queues can see which request came last.
    """

    def __init__(
        self,
        name: str = "queue",
        log: Optional[list[tuple["RecordingQueue", Any]]] = None,
        fail_with: Optional[Callable[[], BaseException]] = None,
        fail_on_call: int = 1,
    ) -> None:
        self.name = name
        self.items: list[Any] = []
        self.calls = 0
        self.log = log if log is not None else []
        self.fail_with = fail_with
        self.fail_on_call = fail_on_call

    def put(self, item: Any) -> None:
        self.calls += 1
        if self.fail_with is not None and self.calls >= self.fail_on_call:
            raise self.fail_with()
        self.items.append(item)
        self.log.append((self, item))

    def __repr__(self) -> str:
        return f"RecordingQueue({self.name!r})"


Reply = Any
Network = Callable[[Position], Reply]


def uniform_network(position: Position) -> Reply:
    return [0.0] * (position.dim * position.dim), [0.0, 0.0, 0.0, 0.0]


def random_network(seed: int = 0) -> Network:
    rng = random.Random(seed)

    def network(position: Position) -> Reply:
        size = position.dim * position.dim
        return [rng.uniform(-3.0, 3.0) for _ in range(size)], [
            rng.uniform(-1.0, 1.0) for _ in range(4)
        ]

    return network


def failing_after(
    replies: int,
    network: Network,
    make_error: Callable[[], BaseException] = lambda: RuntimeError("network gone"),
) -> Network:
    """`network` for the first `replies` requests, then `make_error()` raised for every one."""
    answered = 0

    def failing(position: Position) -> Reply:
        nonlocal answered
        if answered >= replies:
            raise make_error()
        answered += 1
        return network(position)

    return failing


class FakeCheckFailed(BaseException):
    """A check inside a fake failed. Derived from BaseException so that the module lets it
    through at once instead of treating it as a failed evaluation."""


class ScriptedPipe:
    """A pipe whose `recv` answers the last request put on any queue sharing `log`.

    Every reply is recorded with the decoded request it answers. A malformed request, or more
    than `max_calls` requests (a worker that keeps asking), raises FakeCheckFailed.
    """

    def __init__(
        self,
        network: Network,
        log: list[tuple[RecordingQueue, Any]],
        rep: int = 1,
        max_calls: int = 5000,
    ) -> None:
        self.network = network
        self.log = log
        self.rep = rep
        self.max_calls = max_calls
        self.calls = 0
        self.answered: list[tuple[Position, Reply]] = []

    def recv(self) -> Reply:
        self.calls += 1
        if self.calls > self.max_calls:
            raise FakeCheckFailed("the worker asked for too many evaluations")
        try:
            assert len(self.log) == self.calls, "recv without a new request"
            request = self.log[-1][1]
            assert type(request) is tuple and len(request) == 2, f"request {request!r}"
            decoded = decode_position(request[1], self.rep)
        except AssertionError as failure:
            raise FakeCheckFailed(str(failure)) from failure
        reply = self.network(decoded)
        self.answered.append((decoded, reply))
        return reply


@dataclass
class Host:
    """The host objects of one call. The inference queue doubles as the model queue of
    play_test_game; both queues share `log`, in call order."""

    config: Any
    result_queue: Any  # a RecordingQueue, or None for play_test_game
    inference_queue: RecordingQueue
    baseline_queue: RecordingQueue
    pipe: ScriptedPipe
    log: list[tuple[RecordingQueue, Any]]

    def positions(self) -> list[Position]:
        return [position for position, _ in self.pipe.answered]


def make_host(network: Network = uniform_network, rep: int = 1, **config_overrides: Any) -> Host:
    """Host objects around a configuration of `rep` and the given fields; the pipe decodes
    requests in layout `rep` (layout 1 for a representation the module does not know).
    """
    log: list[tuple[RecordingQueue, Any]] = []
    inference = RecordingQueue("inference", log)
    baseline = RecordingQueue("baseline", log)
    pipe = ScriptedPipe(network, log, rep=rep if rep in (1, 2) else 1)
    config = make_config(rep=rep, **config_overrides)
    return Host(config, RecordingQueue("result"), inference, baseline, pipe, log)


def played_tiles(positions: Iterable[Position]) -> list[int]:
    """The tile seat 0 played between successive requests of its own: exactly one new square
    of plane 0 each time."""
    tiles = []
    ordered = list(positions)
    for before, after in zip(ordered, ordered[1:]):
        new = after.planes[0] - before.planes[0]
        assert len(new) == 1, f"expected one new square of seat 0, got {sorted(new)}"
        tiles.append(next(iter(new)))
    return tiles


ENTRY_PARAMETERS: dict[str, list[str]] = {
    "play_training_game": ["id", "config", "result_queue", "inference_queue", "pipe"],
    "play_test_game": ["id", "config", "result_queue", "model_queue", "baseline_queue", "pipe"],
    "play_test_against_random": ["id", "config", "result_queue", "inference_queue", "pipe"],
}


def entry_arguments(name: str, host: Host, worker_id: Any = 1) -> dict[str, Any]:
    """The arguments of entry function `name` by parameter, in order, taken from `host`."""
    values = {
        "id": worker_id,
        "config": host.config,
        "result_queue": host.result_queue,
        "inference_queue": host.inference_queue,
        "model_queue": host.inference_queue,
        "baseline_queue": host.baseline_queue,
        "pipe": host.pipe,
    }
    return {n: values[n] for n in ENTRY_PARAMETERS[name]}


def play(name: str, host: Host, worker_id: Any = 1) -> Any:
    """Calls entry function `name` with the objects of `host`, by position."""
    return getattr(tessarin_self_play, name)(*entry_arguments(name, host, worker_id).values())


def play_against_random(host: Host, worker_id: Any = 3) -> int:
    """Runs play_test_against_random on `host`; the status must be an int."""
    status = play("play_test_against_random", host, worker_id)
    assert type(status) is int
    return status


def play_baseline(host: Host, worker_id: Any = 5) -> float:
    """Runs play_test_game on `host`; the payoff must be a float."""
    payoff = play("play_test_game", host, worker_id)
    assert type(payoff) is float
    return payoff


def network_process_main(
    requests: Any,
    pipes: dict[int, Connection],
    modes: dict[int, str],
    dim: int,
    timeout: float,
    stats: Any,
) -> None:
    """Answers every (id, position) request on the pipe of that worker until a None arrives:
    policy logits all 0 for a worker in mode "uniform", Gaussian for one in mode "random"."""
    rng = random.Random(1)
    served: Counter[int] = Counter()
    problems: list[str] = []
    while True:
        item = requests.get(timeout=timeout)
        if item is None:
            break
        worker_id, position = item
        side = len(position[0])
        if worker_id not in pipes or len(position) != PLANES or side != dim:
            problems.append(f"unexpected request from {worker_id!r}, side {side}")
            continue
        size = side * side
        if modes[worker_id] == "uniform":
            policy = [0.0] * size
        else:
            policy = [rng.gauss(0.0, 1.0) for _ in range(size)]
        pipes[worker_id].send((policy, [rng.gauss(0.0, 1.0) for _ in range(4)]))
        served[worker_id] += 1
    stats.put((dict(served), problems))


def worker_process_main(
    entry: str,
    games: int,
    worker_id: int,
    config: Any,
    results: Any,
    requests: Any,
    pipe: Connection,
) -> None:
    """Plays `games` games with the entry function named `entry`; exit code 0 when every status
    was 0."""
    play = getattr(tessarin_self_play, entry)
    statuses = [play(worker_id, config, results, requests, pipe) for _ in range(games)]
    sys.exit(0 if statuses == [0] * games else 1)


@dataclass
class ProcessRun:
    """What came back from run_worker_processes."""

    results: list[Any]  # every item put on the result queue
    served: dict[int, int]  # requests answered, per worker id
    problems: list[str]  # malformed requests seen by the network process


def run_worker_processes(
    entry: str, config: Any, modes: dict[int, str], games_per_worker: int, timeout: float
) -> ProcessRun:
    """One network process (config.dim, layout 1) and one forked worker process per id of
    `modes`, over real queues and pipes. Fails if any process fails, a result is missing or
    extra, or anything takes longer than `timeout`; every process is gone on return."""
    context = multiprocessing.get_context("fork")
    requests = context.Queue()
    results = context.Queue()
    stats = context.Queue()
    ends = {worker_id: context.Pipe() for worker_id in modes}
    network = context.Process(
        target=network_process_main,
        args=(
            requests,
            {worker_id: end for worker_id, (end, _) in ends.items()},
            modes,
            config.dim,
            timeout,
            stats,
        ),
        daemon=True,
    )
    workers = [
        context.Process(
            target=worker_process_main,
            args=(entry, games_per_worker, worker_id, config, results, requests, worker_end),
            daemon=True,
        )
        for worker_id, (_, worker_end) in ends.items()
    ]
    processes = [network, *workers]
    for process in processes:
        process.start()
    try:
        expected = games_per_worker * len(workers)
        collected: list[Any] = []
        deadline = time.monotonic() + timeout
        while len(collected) < expected:
            # Exit codes (None: still running) say which side stopped or hangs.
            assert time.monotonic() < deadline, (
                f"only {len(collected)} results arrived; network process exit code "
                f"{network.exitcode}, workers' {[p.exitcode for p in workers]}"
            )
            try:
                collected.append(results.get(timeout=0.2))
            except queue.Empty:
                failed = [p.exitcode for p in processes if p.exitcode not in (None, 0)]
                assert not failed, f"a worker or the network process failed: exit codes {failed}"
        for worker in workers:
            worker.join(timeout=timeout)
            assert worker.exitcode == 0
        requests.put(None)
        served, problems = stats.get(timeout=timeout)
        network.join(timeout=timeout)
        assert network.exitcode == 0
        assert results.empty()
    finally:
        for process in processes:
            if process.is_alive():
                process.terminate()
                process.join(timeout=5)
        for queue_ in (requests, results, stats):
            queue_.close()
            queue_.join_thread()
    return ProcessRun(collected, served, problems)

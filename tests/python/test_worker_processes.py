"""Two worker processes play against random players, served by a network process over real
multiprocessing queues and pipes."""

from __future__ import annotations

import multiprocessing
import queue
import random
import sys
import time
from collections import Counter
from multiprocessing.connection import Connection
from typing import Any

import tessarin_self_play

from fakes import PAYOFF_VALUES, make_config

DIM = 7
GAMES_PER_WORKER = 3
WORKER_MODES = {11: "uniform", 12: "random"}
TIMEOUT_S = 60.0


def network_main(requests: Any, pipes: dict[int, Connection], stats: Any) -> None:
    """Answers every (id, position) request on the pipe of that worker until a None arrives."""
    rng = random.Random(1)
    served: Counter[int] = Counter()
    problems: list[str] = []
    while True:
        item = requests.get(timeout=TIMEOUT_S)
        if item is None:
            break
        worker_id, position = item
        dim = len(position[0])
        if worker_id not in pipes or len(position) != 5 or dim != DIM:
            problems.append(f"unexpected request from {worker_id!r}, side {dim}")
            continue
        size = dim * dim
        if WORKER_MODES[worker_id] == "uniform":
            policy = [0.0] * size
        else:
            policy = [rng.gauss(0.0, 1.0) for _ in range(size)]
        pipes[worker_id].send((policy, [rng.gauss(0.0, 1.0) for _ in range(4)]))
        served[worker_id] += 1
    stats.put((dict(served), problems))


def worker_main(
    worker_id: int, config: Any, results: Any, requests: Any, pipe: Connection
) -> None:
    statuses = [
        tessarin_self_play.play_test_against_random(
            worker_id, config, results, requests, pipe
        )
        for _ in range(GAMES_PER_WORKER)
    ]
    sys.exit(0 if statuses == [0] * GAMES_PER_WORKER else 1)


def test_workers_play_to_the_end_against_a_network_process() -> None:
    context = multiprocessing.get_context("fork")
    requests = context.Queue()
    results = context.Queue()
    stats = context.Queue()
    ends = {worker_id: context.Pipe() for worker_id in WORKER_MODES}
    config = make_config(dim=DIM, rep=1)

    network = context.Process(
        target=network_main,
        args=(
            requests,
            {worker_id: end for worker_id, (end, _) in ends.items()},
            stats,
        ),
        daemon=True,
    )
    workers = [
        context.Process(
            target=worker_main,
            args=(worker_id, config, results, requests, worker_end),
            daemon=True,
        )
        for worker_id, (_, worker_end) in ends.items()
    ]
    processes = [network, *workers]
    for process in processes:
        process.start()
    try:
        expected = GAMES_PER_WORKER * len(workers)
        collected: list[tuple[int, float]] = []
        deadline = time.monotonic() + TIMEOUT_S
        while len(collected) < expected:
            assert time.monotonic() < deadline, f"only {len(collected)} results arrived"
            try:
                collected.append(results.get(timeout=0.2))
            except queue.Empty:
                failed = [p.exitcode for p in workers if p.exitcode not in (None, 0)]
                assert not failed, f"a worker failed with exit code {failed}"
        for worker in workers:
            worker.join(timeout=TIMEOUT_S)
            assert worker.exitcode == 0
        requests.put(None)
        served, problems = stats.get(timeout=TIMEOUT_S)
        network.join(timeout=TIMEOUT_S)
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

    assert problems == []
    assert Counter(worker_id for worker_id, _ in collected) == {
        worker_id: GAMES_PER_WORKER for worker_id in WORKER_MODES
    }
    assert all(
        type(payoff) is float and payoff in PAYOFF_VALUES for _, payoff in collected
    )
    # Every game needs at least one decision of seat 0.
    assert all(
        served.get(worker_id, 0) >= GAMES_PER_WORKER for worker_id in WORKER_MODES
    )

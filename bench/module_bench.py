"""Benchmarks of the Python module against an in-process fake host (board side 20).

- evaluation: play_test_against_random, whose seat 0 makes one evaluation per action (request
  built, put, reply taken and converted, node expanded); microseconds per evaluation, next to
  the floor: the same number of bare Python put + recv calls on the same fake host with a
  trivial payload.
- training: play_training_game at 64 simulations per action: evaluations per second and
  microseconds per evaluation (search included).
- memory: one whole training game at 800 simulations per action, in a fresh process: peak RSS
  growth over the RSS after import.
- transport: what a worker process adds per evaluation when its queue and pipe are real ones
  (multiprocessing pickles the request and unpickles the reply in the worker): microseconds to
  pickle one real request and to unpickle one reply of side 20.
- games memory (--games-memory N): N training games at 100 simulations per action in a fresh
  process, with a pipe that answers with a fresh reply each time (as one that unpickles would)
  and no explicit garbage collection (a worker makes none): RSS growth from after the first game
  to after the last.

Runs under CPython and PyPy; bench/interpreters_bench.py runs it under both and compares.
Every timed figure follows untimed games of 20,000 evaluations (PyPy's JIT needs them; a worker
plays many games). Figures are medians of repeated runs. Usage: python bench/module_bench.py [--quick] [--json]
[--games-memory N]
"""

from __future__ import annotations

import argparse
import json
import pickle
import pathlib
import statistics
import subprocess
import sys
import time
import types
from typing import Any

import tessarin_self_play as module

DIM = 20


class KeepLastQueue:
    """A queue that keeps only the latest item, as a network process would consume it."""

    def __init__(self) -> None:
        self.count = 0
        self.last: Any = None

    def put(self, item: Any) -> None:
        self.count += 1
        self.last = item


class PreparedPipe:
    """A pipe whose recv returns one prepared reply of uniform logits."""

    def __init__(self, dim: int) -> None:
        self.reply = ([0.0] * (dim * dim), [0.0, 0.0, 0.0, 0.0])

    def recv(self) -> Any:
        return self.reply


def config(sims_per_move: int) -> types.SimpleNamespace:
    return types.SimpleNamespace(
        dim=DIM,
        rep=1,
        sims_per_move=sims_per_move,
        sample_moves=30,
        c_base=19652.0,
        c_init=1.25,
        dirichlet_alpha=0.3,
        exploration_fraction=0.25,
    )


def warm_up(play: Any, queue: KeepLastQueue, evaluations: int = 20_000) -> None:
    """Plays untimed games until `evaluations` requests have been put on `queue`, then resets its
    count: PyPy's JIT compiles the exchange only after thousands of calls, and a worker plays
    many games."""
    while queue.count < evaluations:
        play()
    queue.count = 0


def evaluation_us(games: int) -> tuple[float, float]:
    """(microseconds per evaluation, microseconds per bare put + recv) over `games` games."""
    queue, pipe = KeepLastQueue(), PreparedPipe(DIM)
    settings = config(0)
    warm_up(
        lambda: module.play_test_against_random(0, settings, KeepLastQueue(), queue, pipe), queue
    )
    start = time.perf_counter()
    for _ in range(games):
        module.play_test_against_random(0, settings, KeepLastQueue(), queue, pipe)
    elapsed = time.perf_counter() - start
    calls = queue.count

    floor_queue, floor_pipe = KeepLastQueue(), PreparedPipe(DIM)
    payload = (0, None)
    start = time.perf_counter()
    for _ in range(calls):
        floor_queue.put(payload)
        floor_pipe.recv()
    floor = time.perf_counter() - start
    return elapsed / calls * 1e6, floor / calls * 1e6


def training_rate(games: int) -> tuple[float, float]:
    """(evaluations per second, microseconds per evaluation) of training games at 64 sims."""
    queue, pipe = KeepLastQueue(), PreparedPipe(DIM)
    warm_up(lambda: module.play_training_game(0, config(8), KeepLastQueue(), queue, pipe), queue)
    start = time.perf_counter()
    for _ in range(games):
        module.play_training_game(0, config(64), KeepLastQueue(), queue, pipe)
    elapsed = time.perf_counter() - start
    return queue.count / elapsed, elapsed / queue.count * 1e6


MEMORY_PROBE = """
import resource, sys, types
sys.path[:0] = {path!r}
import module_bench as bench
def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024
base = rss_kb()
queue, pipe = bench.KeepLastQueue(), bench.PreparedPipe(bench.DIM)
bench.module.play_training_game(0, bench.config(800), bench.KeepLastQueue(), queue, pipe)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((peak - base) / 1024, queue.count)
"""


def memory_growth_mb() -> tuple[float, int]:
    """(peak RSS growth in MB, evaluations) of one training game at 800 sims, in a new process."""
    script = MEMORY_PROBE.format(path=[str(pathlib.Path(__file__).parent)])
    out = subprocess.run(
        [sys.executable, "-c", script], check=True, capture_output=True, text=True
    ).stdout.split()
    return float(out[0]), int(out[1])


def transport_us(repetitions: int) -> tuple[float, float]:
    """(microseconds to pickle one request, to unpickle one reply), medians of `repetitions`."""
    queue, pipe = KeepLastQueue(), PreparedPipe(DIM)
    module.play_test_against_random(0, config(0), KeepLastQueue(), queue, pipe)
    request, reply = queue.last, pickle.dumps(pipe.reply, protocol=pickle.HIGHEST_PROTOCOL)

    def per_call(action: Any, calls: int = 2000) -> float:
        for _ in range(calls // 10):
            action()
        start = time.perf_counter()
        for _ in range(calls):
            action()
        return (time.perf_counter() - start) / calls * 1e6

    dumps = [per_call(lambda: pickle.dumps(request, protocol=pickle.HIGHEST_PROTOCOL))]
    loads = [per_call(lambda: pickle.loads(reply))]
    for _ in range(repetitions - 1):
        dumps.append(per_call(lambda: pickle.dumps(request, protocol=pickle.HIGHEST_PROTOCOL)))
        loads.append(per_call(lambda: pickle.loads(reply)))
    return statistics.median(dumps), statistics.median(loads)


class FreshReplyPipe:
    """A pipe whose recv returns a new reply of uniform logits each time."""

    def __init__(self, dim: int) -> None:
        self.dim = dim

    def recv(self) -> Any:
        return [0.0] * (self.dim * self.dim), [0.0, 0.0, 0.0, 0.0]


GAMES_PROBE = """
import os, sys
sys.path[:0] = {path!r}
import module_bench as bench
def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
queue, pipe = bench.KeepLastQueue(), bench.FreshReplyPipe(bench.DIM)
def game():
    bench.module.play_training_game(0, bench.config(100), bench.KeepLastQueue(), queue, pipe)
game()
start = rss_mb()
for _ in range({games} - 1):
    game()
print(rss_mb() - start, queue.count)
"""


def games_memory_growth_mb(games: int) -> tuple[float, int]:
    """(RSS growth in MB from after the first of `games` games to after the last, evaluations)."""
    script = GAMES_PROBE.format(path=[str(pathlib.Path(__file__).parent)], games=games)
    out = subprocess.run(
        [sys.executable, "-c", script], check=True, capture_output=True, text=True
    ).stdout.split()
    return float(out[0]), int(out[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON line")
    parser.add_argument(
        "--games-memory", type=int, default=0, metavar="N", help="also the N-game memory probe"
    )
    args = parser.parse_args()
    repetitions = 3 if args.quick else 7

    evaluations = [evaluation_us(games=5) for _ in range(repetitions)]
    eval_us = statistics.median(e for e, _ in evaluations)
    floor_us = statistics.median(f for _, f in evaluations)
    training = [training_rate(games=1) for _ in range(3 if args.quick else 5)]
    rate = statistics.median(r for r, _ in training)
    train_us = statistics.median(u for _, u in training)
    growth, memory_evals = memory_growth_mb()
    pickle_us, unpickle_us = transport_us(repetitions)
    games_growth, games_evals = (
        games_memory_growth_mb(args.games_memory) if args.games_memory else (None, None)
    )
    if args.json:
        figures = {
            "interpreter": sys.implementation.name,
            "evaluation_us": eval_us,
            "floor_us": floor_us,
            "training_eps": rate,
            "training_us": train_us,
            "pickle_request_us": pickle_us,
            "unpickle_reply_us": unpickle_us,
            "game_800_peak_mb": growth,
            "games_memory_games": args.games_memory,
            "games_memory_mb": games_growth,
            "games_memory_evaluations": games_evals,
        }
        print(json.dumps(figures))
        return

    print("| figure | measured (median) | floor | target |")
    print("|---|---|---|---|")
    print(
        f"| one evaluation, fake host | {eval_us:.1f} µs | {floor_us:.2f} µs bare put + recv | ≤ 20 µs |"
    )
    print(
        f"| training game, 64 sims/action | {rate:,.0f} evaluations/s ({train_us:.1f} µs each) | {floor_us:.2f} µs | |"
    )
    print(
        f"| training game, 800 sims/action: peak RSS growth | {growth:.1f} MB ({memory_evals:,} evaluations) | | ≤ 64 MB |"
    )
    print(
        f"| worker transport: request pickled, reply unpickled | {pickle_us:.1f} µs + {unpickle_us:.1f} µs | | |"
    )
    if games_growth is not None:
        print(
            f"| {args.games_memory} training games, 100 sims/action: RSS growth | {games_growth:.1f} MB ({games_evals:,} evaluations) | | < 64 MB |"
        )


if __name__ == "__main__":
    main()

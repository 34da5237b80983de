"""The batched self-play type through Python, with an instant network (NumPy zeros, made once):
evaluations per second of `games` whole games played side by side, beside the worker module's
play_training_game with an in-process instant host (the per-game path, whole games) in the same
run.

This measures what Python adds around the C++ batch (one buffer per step, the answers read from
two arrays, the lock released while the engine works); the C++ side alone is bench/batch_bench
and bench/batch_memory. Medians of repeated runs.

Usage: python bench/batch_python_bench.py [--dim 20] [--games 32] [--sims 200] [--repeats 3]
"""

from __future__ import annotations

import argparse
import statistics
import time
import types
from typing import Any

import numpy as np
import tessarin_engine as te
import tessarin_self_play


def config(dim: int, sims: int) -> Any:
    return types.SimpleNamespace(
        dim=dim, rep=1, sims_per_move=sims, sample_moves=30, c_base=19652.0, c_init=1.25,
        dirichlet_alpha=0.3, exploration_fraction=0.25,
    )  # fmt: skip


def batched(dim: int, games: int, sims: int) -> float:
    """Evaluations per second of a batch of `games` games played to their end."""
    batch = te.SelfPlayBatch(config(dim, sims), games=games, total_games=games, seed=1)
    policy = np.zeros((games, dim * dim), np.float32)
    value = np.zeros((games, 4), np.float32)
    evaluations = 0
    start = time.perf_counter()
    while not batch.done:
        positions, slots = batch.step()
        rows = len(np.asarray(slots))
        if rows == 0:
            break
        np.asarray(positions)  # what a host does before running its network
        batch.complete(policy[:rows], value[:rows])
        evaluations += rows
        batch.take_finished()
    return evaluations / (time.perf_counter() - start)


class InstantHost:
    """Queue and pipe in one: every put is answered at once with zero logits."""

    def __init__(self, dim: int) -> None:
        self.reply = ([0.0] * (dim * dim), [0.0] * 4)
        self.count = 0

    def put(self, item: Any) -> None:
        self.count += 1

    def recv(self) -> Any:
        return self.reply


def per_game(dim: int, sims: int, seconds: float) -> float:
    """Evaluations per second of whole training games through the worker module."""
    host = InstantHost(dim)
    results = InstantHost(dim)
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        tessarin_self_play.play_training_game(1, config(dim, sims), results, host, host)
    return host.count / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--games", type=int, default=32)
    parser.add_argument("--sims", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    batch_rates = []
    module_rates = []
    for _ in range(args.repeats):
        batch_rates.append(batched(args.dim, args.games, args.sims))
        module_rates.append(per_game(args.dim, args.sims, 5.0))
    b = statistics.median(batch_rates)
    m = statistics.median(module_rates)
    print(f"dim {args.dim} games {args.games} sims {args.sims}")
    print(f"batched {b:.0f} evaluations/s (runs {', '.join(f'{r:.0f}' for r in batch_rates)})")
    print(f"module  {m:.0f} evaluations/s (runs {', '.join(f'{r:.0f}' for r in module_rates)})")
    print(f"ratio {b / m:.2f}")


if __name__ == "__main__":
    main()

"""Self-play evaluations per second on the Ray backend beside the local batched pool.

The same settings for both (board side, default network, 64 simulations, `--games` games with
`--workers` workers or actors, `--batch-games` games at once in each), played through the
self-play backends as the loop plays an iteration, a fresh copy of the network each time (as a
new iteration publishes one). The two take turns within each of `--repeats` rounds after one
untimed round each; the figures are medians. A call's time includes its per-iteration set-up:
the local pool starts its worker processes, the Ray pool publishes the weights and its actors
build their evaluators. Starting the local Ray instance and its actors' first start are
one-time costs, reported apart.

Evaluations: the actors count theirs; the local workers' are counted by a network factory
that makes them (``counted_network``).

The last line is `local L/s ray R/s ratio X start S s actors A s`.

Usage: PYTHONPATH=python .venv/bin/python bench/ray_bench.py [--dim 7] [--games 64]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path
from typing import Any

import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
from counted_network import CountedNetwork  # noqa: E402

from tessarin_zero.common.processes import process_context  # noqa: E402
from tessarin_zero.common.settings import GameSettings, NetworkSettings  # noqa: E402
from tessarin_zero.inference.network import NetworkFactory, PolicyValueNet  # noqa: E402
from tessarin_zero.selfplay.backends import (  # noqa: E402
    BatchedWorkers,
    RayActors,
    SelfPlayBackend,
)
from tessarin_zero.selfplay.outcomes import PlayStats  # noqa: E402
from tessarin_zero.selfplay.ray.backend import RayBackend  # noqa: E402


def local_round(model: Any, network: NetworkSettings, game: GameSettings, args: Any) -> float:
    """Evaluations per second of one local batched call."""
    counter = process_context().Value("q", 0)
    factory = NetworkFactory.of(model, network)
    counted = CountedNetwork(factory.settings, factory.weights, counter)
    stats = _play(BatchedWorkers(args.workers, args.batch_games), counted, game, args)
    return float(counter.value) / stats.seconds


def ray_round(
    model: Any, network: NetworkSettings, game: GameSettings, args: Any, backend: RayBackend
) -> float:
    actors = RayActors(backend, args.workers, args.batch_games)
    stats = _play(actors, NetworkFactory.of(model, network), game, args)
    return float(stats.evaluations / stats.seconds)


def _play(
    backend: SelfPlayBackend, network: NetworkFactory, game: GameSettings, args: Any
) -> PlayStats:
    records: list[Any] = []
    stats = backend.play(network, game, args.games, records.append, progress=False)
    assert len(records) == args.games
    return stats


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--dim", type=int, default=7, help="board side (default 7)")
    parser.add_argument("--games", type=int, default=64, help="games per call (default 64)")
    parser.add_argument("--sims", type=int, default=64, help="simulations per action (default 64)")
    parser.add_argument("--workers", type=int, default=2, help="workers or actors (default 2)")
    parser.add_argument("--batch-games", type=int, default=64, help="games at once (default 64)")
    parser.add_argument("--repeats", type=int, default=3, help="timed rounds (default 3)")
    args = parser.parse_args()

    network, game = NetworkSettings(), GameSettings(dim=args.dim, sims_per_move=args.sims)
    torch.manual_seed(0)
    model = PolicyValueNet(network).eval()
    print(
        f"side {args.dim}, {game.sims_per_move} simulations, network {network.channels} x "
        f"{network.blocks}; {args.games} games, {args.workers} workers/actors, "
        f"{args.batch_games} games at once"
    )
    with RayBackend(num_cpus=args.workers) as backend:
        began = time.perf_counter()
        import ray

        ray.get([actor.ready.remote() for actor in backend.actors(args.workers)])
        actors_s = time.perf_counter() - began
        print(
            f"local Ray instance started in {backend.start_seconds:.1f} s, actors in {actors_s:.1f} s"
        )
        local_round(model, network, game, args)  # untimed: the fork server, the actors' imports
        ray_round(model, network, game, args, backend)
        local: list[float] = []
        remote: list[float] = []
        for repeat in range(args.repeats):
            local.append(local_round(model, network, game, args))
            remote.append(ray_round(model, network, game, args, backend))
            print(
                f"round {repeat + 1}: local {local[-1]:.0f} evaluations/s, "
                f"ray {remote[-1]:.0f} evaluations/s"
            )
    low, high = statistics.median(local), statistics.median(remote)
    print(
        f"local {low:.0f}/s ray {high:.0f}/s ratio {high / low:.2f} "
        f"start {backend.start_seconds:.1f} s actors {actors_s:.1f} s"
    )


if __name__ == "__main__":
    main()

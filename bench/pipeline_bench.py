"""Throughput of the self-play pipeline next to the bare network it serves.

W workers play training games (board side 20, default network and game settings) against one
inference server. The pipeline's rate is the server's evaluations divided by the time from its
first request to its last reply; the run ends once `--games` games have finished, while every
worker is still busy, so the figure is the steady state with W workers. In the same run the bare
model's forward throughput is measured in this process, with the server's thread count, at the
batch size the server reached on average (rounded), run the way the server runs it
(`--inference`). The ratio of the two says how much of the network's speed survives queues,
pipes, batching and the search; the target is 0.7 or more.
Figures are medians of `--repeats` runs.

Usage: PYTHONPATH=python python bench/pipeline_bench.py [--workers 2] [--repeats 3] [--quick]
"""

from __future__ import annotations

import argparse
import statistics
import time
from dataclasses import dataclass

import tessarin_self_play
import torch

from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.common.processes import process_context
from tessarin_zero.selfplay.pool import LocalPool
from tessarin_zero.selfplay.workers import ModuleGames
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.inference.server import (
    InferenceServer,
    RequestQueue,
    ServerStats,
    default_threads,
)
from tessarin_zero.common.settings import (
    INFERENCE_PATHS,
    GameSettings,
    NetworkSettings,
    ServerSettings,
)

TARGET_RATIO = 0.7


@dataclass(frozen=True)
class RunFigures:
    pipeline_eps: float
    bare_eps: float
    mean_batch: float
    batch_sizes: dict[int, int]

    @property
    def ratio(self) -> float:
        return self.pipeline_eps / self.bare_eps


def run_pipeline(
    model: torch.nn.Module,
    network: NetworkSettings,
    game: GameSettings,
    server_settings: ServerSettings,
    workers: int,
    games: int,
    threads: int,
) -> ServerStats:
    """Plays until `games` games have finished (more are queued, so no worker idles before)."""
    context = process_context()
    requests = RequestQueue(context)
    pool = LocalPool(
        ModuleGames(tessarin_self_play.play_training_game, game),
        workers,
        [requests],
        context=context,
    )
    server = InferenceServer(
        [NetworkFactory.of(model, network)],
        [requests],
        pool.reply_ends,
        server_settings,
        threads=threads,
        context=context,
    )
    with server, pool:
        finished = 0
        for outcome in pool.play(games + workers, check=server.check):
            if outcome.failed:
                raise RuntimeError(f"a game failed: {outcome.failure}")
            finished += 1
            if finished == games:
                break
        pool.stop(abort=True)
        stats = server.stop()
    if stats is None:
        raise RuntimeError("the server did not report its statistics")
    return stats


def bare_forward_eps(
    model: torch.nn.Module, batch: int, dim: int, seconds: float, inference: str
) -> float:
    """Evaluations per second of the model alone, run the way the server runs it, on random
    0/1 planes of one batch size."""
    evaluator = BatchEvaluator(model, path=inference)
    planes = torch.rand(batch, 5, dim, dim).round().to(torch.uint8).numpy()
    for _ in range(5):
        evaluator(planes)
    calls = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        evaluator(planes)
        calls += 1
    elapsed = time.perf_counter() - started
    return batch * calls / elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--games", type=int, default=2, help="games per run (default 2)")
    parser.add_argument("--repeats", type=int, default=3, help="runs (default 3)")
    parser.add_argument("--dim", type=int, default=20, help="board side (default 20)")
    parser.add_argument("--sims", type=int, default=64, help="simulations per action (default 64)")
    parser.add_argument("--max-batch", type=int, default=ServerSettings.max_batch)
    parser.add_argument("--max-wait-ms", type=float, default=ServerSettings.max_wait_ms)
    parser.add_argument("--threads", type=int, default=default_threads(), help="server threads")
    parser.add_argument(
        "--inference", choices=INFERENCE_PATHS, default=ServerSettings.inference, help="network"
    )
    parser.add_argument("--quick", action="store_true", help="1 game, 8 simulations, 2 runs")
    args = parser.parse_args()
    if args.quick:
        args.games, args.sims, args.repeats = 1, 8, 2

    network = NetworkSettings()
    torch.manual_seed(0)
    model = PolicyValueNet(network).eval()
    torch.set_num_threads(args.threads)
    game = GameSettings(dim=args.dim, sims_per_move=args.sims)
    server = ServerSettings(args.max_batch, args.max_wait_ms, inference=args.inference)
    print(
        f"pipeline: {args.workers} workers, side {args.dim}, {args.sims} simulations per action, "
        f"network {network.channels} x {network.blocks}, server {server}, "
        f"{args.threads} torch threads"
    )
    runs = []
    for repeat in range(args.repeats):
        stats = run_pipeline(model, network, game, server, args.workers, args.games, args.threads)
        pipeline = stats.requests / stats.span_s
        batch = max(1, round(stats.mean_batch))
        bare = bare_forward_eps(model, batch, args.dim, 2.0, server.inference)
        run = RunFigures(pipeline, bare, stats.mean_batch, stats.batch_sizes)
        runs.append(run)
        sizes = ", ".join(f"{size}: {count}" for size, count in sorted(run.batch_sizes.items()))
        print(
            f"run {repeat + 1}: {stats.requests} evaluations in {stats.span_s:.1f} s, "
            f"pipeline {pipeline:.0f}/s, bare model {bare:.0f}/s at batch "
            f"{max(1, round(stats.mean_batch))}, ratio {run.ratio:.2f}; "
            f"mean batch {stats.mean_batch:.2f}, batches by size {{{sizes}}}"
        )
    ratio = statistics.median(run.ratio for run in runs)
    print(
        f"median: pipeline {statistics.median(r.pipeline_eps for r in runs):.0f} evaluations/s, "
        f"bare model {statistics.median(r.bare_eps for r in runs):.0f}/s, "
        f"mean batch {statistics.median(r.mean_batch for r in runs):.2f}, "
        f"ratio {ratio:.2f} (target >= {TARGET_RATIO}: {'met' if ratio >= TARGET_RATIO else 'MISSED'})"
    )


if __name__ == "__main__":
    main()

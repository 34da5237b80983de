"""Evaluations per second of batched self-play, next to the worker pipeline and the bare network.

For one board side, default network and game settings, in one run (medians of `--repeats`
rounds, the three measurements taking turns within each round):

- bare: the network's forward throughput at batch N (`--batch-games`), through the evaluator
  the batched driver uses (default inference path), on float32 0/1 planes, in `--processes`
  processes at once with one thread each (summed);
- pipeline: the module's per-game pipeline with `--workers` worker processes and one inference
  server, measured as in pipeline_bench.py (the server's evaluations over the time from its
  first request to its last reply, stopped while every worker is still busy);
- batched: `--processes` processes, each playing N games at once with the engine's
  SelfPlayBatch and evaluating in-process, for `--seconds` (every slot stays busy: the batch
  is asked for more games than it can finish in that time); evaluations over the slowest
  process's time. Until the engine has that type this prints that it is not built and
  counts 0.

The last line is `batched E/s pipeline P/s bare B/s batch N ratio_pipeline R1 ratio_bare R2`.

With `--against-float32`, it compares instead, round by round, batched self-play at the host's
defaults (its default inference path and position memo, 32 simulations per action) with
batched self-play as it ran before either (ONNX Runtime in float32, no memo): each of
`--processes` processes plays `--whole-games` games side by side from the first action to the
last (a memo's hits depend on the stretch of the game: the first actions of a batch's games
share their positions, later ones far less). The figure is simulations per second: the
positions the searches asked about (each a simulation's leaf or a search's root), answered by
the network or by the memo, over the slowest process's time. The last line is then
`default S/s float32 B/s ratio R`.

Usage: PYTHONPATH=python python bench/selfplay_bench.py --dim 7 [--batch-games 256]
       [--inference onnx|fused|eager] [--repeats 3] [--against-float32]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pipeline_bench import run_pipeline  # noqa: E402 - the pipeline, measured as it is there

from tessarin_zero.selfplay.batched import batched_available, new_batch, play_batch  # noqa: E402
from tessarin_zero.inference.evaluator import BatchEvaluator  # noqa: E402
from tessarin_zero.inference.network import PolicyValueNet  # noqa: E402
from tessarin_zero.common.processes import process_context  # noqa: E402
from tessarin_zero.inference.network import NetworkFactory  # noqa: E402
from tessarin_zero.inference.server import default_threads  # noqa: E402
from tessarin_zero.common.settings import (  # noqa: E402
    INFERENCE_PATHS,
    GameSettings,
    NetworkSettings,
    ServerSettings,
)


def bare_rate(
    factory: NetworkFactory, game: GameSettings, inference: str, batch: int, seconds: float
) -> float:
    """Positions per second of the evaluator alone at one batch size."""
    evaluator = BatchEvaluator(factory(), path=inference, channels_last=game.rep == 2, dim=game.dim)
    shape = (batch, game.dim, game.dim, 5) if game.rep == 2 else (batch, 5, game.dim, game.dim)
    planes = np.random.default_rng(0).integers(0, 2, shape).astype(np.float32)
    for _ in range(3):
        evaluator(planes)
    return _timed(lambda: evaluator(planes), batch, seconds)


def _timed(call: Callable[[], Any], per_call: int, seconds: float) -> float:
    calls = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        call()
        calls += 1
    return per_call * calls / (time.perf_counter() - started)


def batched_run(
    factory: NetworkFactory, game: GameSettings, inference: str, games: int, seconds: float
) -> tuple[int, float, float]:
    """(evaluations, seconds, mean batch) of one process playing `games` games at once."""
    evaluator = BatchEvaluator(factory(), path=inference, channels_last=game.rep == 2, dim=game.dim)
    batch = new_batch(game, games=games, total_games=games * 1000)
    run = play_batch(batch, evaluator, seconds=seconds)
    return run.evaluations, run.seconds, run.mean_batch


def _child(job: Callable[..., Any], args: tuple[Any, ...], start: Any, results: Any) -> None:
    torch.set_num_threads(1)
    start.wait()  # every process has built its evaluator: time them together
    results.put(job(*args))


def in_processes(count: int, job: Callable[..., Any], *args: Any) -> list[Any]:
    """`job(*args)` in `count` processes started together (one torch thread each)."""
    context = process_context()
    start, results = context.Barrier(count), context.Queue()
    spawn: Any = context.Process  # type: ignore[attr-defined]
    processes = [spawn(target=_child, args=(job, args, start, results)) for _ in range(count)]
    for process in processes:
        process.start()
    outcome = [results.get(timeout=600) for _ in processes]
    for process in processes:
        process.join()
    return outcome


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dim", type=int, default=7, help="board side (default 7)")
    parser.add_argument("--sims", type=int, default=64, help="simulations per action (default 64)")
    parser.add_argument("--batch-games", type=int, default=256, help="N, games per process")
    parser.add_argument("--processes", type=int, default=2, help="batched/bare processes")
    parser.add_argument("--workers", type=int, default=2, help="pipeline workers (default 2)")
    parser.add_argument(
        "--pipeline-games",
        type=int,
        default=None,
        help="pipeline games per round (default 2 from side 15 on, else 12: enough for a second)",
    )
    parser.add_argument(
        "--inference",
        choices=INFERENCE_PATHS,
        default=ServerSettings().inference,
        help="how the network is run, everywhere (default: the host's default)",
    )
    parser.add_argument("--seconds", type=float, default=10.0, help="batched/bare time per round")
    parser.add_argument("--repeats", type=int, default=3, help="rounds (default 3)")
    parser.add_argument(
        "--against-float32",
        action="store_true",
        help="compare the host's defaults with float32 ONNX Runtime and no position memo",
    )
    parser.add_argument(
        "--whole-games", type=int, default=16, help="games per process with --against-float32"
    )
    args = parser.parse_args()
    if args.against_float32:
        against_float32(args)
        return

    if args.pipeline_games is None:
        args.pipeline_games = 2 if args.dim >= 15 else 12
    network, game = NetworkSettings(), GameSettings(dim=args.dim, sims_per_move=args.sims)
    server = ServerSettings(inference=args.inference)
    torch.manual_seed(0)
    model = PolicyValueNet(network).eval()
    factory = NetworkFactory.of(model, network)
    print(
        f"side {args.dim}, {game.sims_per_move} simulations per action, network "
        f"{network.channels} x {network.blocks}, inference {args.inference}; "
        f"batch {args.batch_games} games in each of {args.processes} processes, "
        f"pipeline {args.workers} workers, {args.pipeline_games} games per round"
    )
    if not batched_available():
        print("batched: tessarin_engine.SelfPlayBatch is not built; counted as 0")
    bare, pipeline, batched = [], [], []
    for round_ in range(1, args.repeats + 1):
        rates = in_processes(
            args.processes, bare_rate, factory, game, args.inference, args.batch_games, 3.0
        )
        bare.append(sum(rates))
        stats = run_pipeline(
            model,
            network,
            game,
            server,
            args.workers,
            args.pipeline_games,
            default_threads(),
        )
        pipeline.append(stats.requests / stats.span_s)
        line = (
            f"round {round_}: bare {bare[-1]:,.0f}/s, pipeline {pipeline[-1]:,.0f}/s "
            f"(mean batch {stats.mean_batch:.2f})"
        )
        if batched_available():
            runs = in_processes(
                args.processes,
                batched_run,
                factory,
                game,
                args.inference,
                args.batch_games,
                args.seconds,
            )
            batched.append(sum(r[0] for r in runs) / max(r[1] for r in runs))
            line += f", batched {batched[-1]:,.0f}/s (mean batch {runs[0][2]:.1f})"
        print(line, flush=True)

    def summary(name: str, values: list[float]) -> float:
        if not values:
            return 0.0
        median = statistics.median(values)
        print(f"{name}: median {median:,.0f}/s [{min(values):,.0f} - {max(values):,.0f}]")
        return median

    bare_eps, pipeline_eps = summary("bare", bare), summary("pipeline", pipeline)
    batched_eps = summary("batched", batched)
    print(
        f"batched {batched_eps:.0f} pipeline {pipeline_eps:.0f} bare {bare_eps:.0f} "
        f"batch {args.batch_games} ratio_pipeline {batched_eps / pipeline_eps:.2f} "
        f"ratio_bare {batched_eps / bare_eps:.2f}"
    )


def whole_games(
    factory: NetworkFactory, game: GameSettings, inference: str, games: int, cached: int
) -> tuple[int, int, float]:
    """(positions evaluated, positions the memo answered, seconds) of `games` games played side
    by side to their end."""
    evaluator = BatchEvaluator(factory(), path=inference, channels_last=game.rep == 2, dim=game.dim)
    run = play_batch(new_batch(game, games, games, cached_positions=cached), evaluator)
    return run.evaluations, run.cache_hits, run.seconds


def against_float32(args: argparse.Namespace) -> None:
    """Simulations per second at the host's defaults and as before them, rounds alternating."""
    network, defaults = NetworkSettings(), ServerSettings()
    game = GameSettings(dim=args.dim)  # the host's default simulations per action
    torch.manual_seed(0)
    factory = NetworkFactory.of(PolicyValueNet(network).eval(), network)
    setups = {
        "default": (args.inference, defaults.position_cache),
        "float32": ("onnx", 0),
    }
    print(
        f"side {args.dim}, {game.sims_per_move} simulations per action, network "
        f"{network.channels} x {network.blocks}; {args.whole_games} whole games side by side in "
        f"each of {args.processes} processes; default: inference {args.inference}, memo "
        f"of {defaults.position_cache} positions; float32: onnx, no memo"
    )
    rates: dict[str, list[float]] = {name: [] for name in setups}
    for round_ in range(1, args.repeats + 1):
        line = f"round {round_}:"
        for name, (inference, cached) in setups.items():
            runs = in_processes(
                args.processes, whole_games, factory, game, inference, args.whole_games, cached
            )
            evaluated, hits = sum(r[0] for r in runs), sum(r[1] for r in runs)
            rates[name].append((evaluated + hits) / max(r[2] for r in runs))
            line += (
                f" {name} {rates[name][-1]:,.0f} simulations/s ({evaluated:,} evaluated, "
                f"{hits:,} from the memo, {max(r[2] for r in runs):.0f} s);"
            )
        print(line, flush=True)
    default, plain = (statistics.median(rates[name]) for name in setups)
    print(f"default {default:.0f}/s float32 {plain:.0f}/s ratio {default / plain:.2f}")


if __name__ == "__main__":
    main()

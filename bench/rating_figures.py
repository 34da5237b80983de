"""What the rating costs in a loop, and how many games a rating difference needs.

    PYTHONPATH=python .venv/bin/python bench/rating_figures.py RUN/checkpoints \
        [--repeats 5] [--pairs 18:1,18:12] [--games 100,200,400,800,1600] [--seeds 4]

RUN/checkpoints holds a loop's ``iteration-NNN.pt`` (7 x 7 networks). Prints:

- the time of one iteration's rating at the loop's defaults (the newest network with the two
  before it, the heuristic and random, 100 games) beside the iteration's arena (its default
  matches), run alternately in one process: medians of `--repeats` of each, wall and CPU time;
  and the time of preparing (exporting) one network, which a loop pays once for the starting
  network and, after a resume, for the two networks before the first new one;
- for each pair A:B of iterations, the two networks rated with the heuristic and random over
  each game count with `--seeds` seeds: per count, the difference A - B of each seed, the
  share of seeds whose difference has the sign of the longest count's mean, the share whose
  intervals (rating +- 1.96 sigma) do not overlap, the mean reported sigma of the difference
  (the sigmas added in quadrature) and the standard deviation of the difference across seeds.
"""

from __future__ import annotations

import argparse
import math
import statistics
import time
from collections.abc import Callable
from pathlib import Path

from tessarin_zero.common.settings import GameSettings
from tessarin_zero.evaluation.arena import run_arena
from tessarin_zero.evaluation.matches import HEURISTIC, RANDOM, Contestant, MatchSettings
from tessarin_zero.evaluation.rating import rate
from tessarin_zero.inference.checkpoints import load_checkpoint
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.training.iteration_rating import RatedNetworks, network_name, rate_iteration


def timed(work: Callable[[], object]) -> tuple[float, float]:
    """Wall and CPU seconds of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - wall, time.process_time() - cpu


def cost(folder: Path, repeats: int) -> None:
    newest = max(int(path.stem.split("-")[1]) for path in folder.glob("iteration-*.pt"))
    game = GameSettings()
    networks = RatedNetworks(folder, "onnx", game.dim)
    model, _ = load_checkpoint(folder / f"{network_name(newest)}.pt")
    best, _ = load_checkpoint(folder / f"{network_name(newest - 1)}.pt")
    candidate = BatchEvaluator(model, path="onnx", dim=game.dim)
    for earlier in (newest - 1, newest - 2):
        networks.evaluator(earlier)
    times: dict[str, list[tuple[float, float]]] = {"arena": [], "rating": [], "export": []}
    for repeat in range(repeats):
        times["arena"].append(
            timed(
                lambda: run_arena(
                    model,
                    best,
                    game,
                    inference="onnx",
                    games_vs_random=32,
                    games_vs_best=200,
                    threshold=0.31,
                    candidate_evaluator=candidate,
                )
            )
        )
        times["rating"].append(
            timed(lambda: rate_iteration(networks, newest, candidate, game, 100, repeat))
        )
        times["export"].append(timed(lambda: BatchEvaluator(model, path="onnx", dim=game.dim)))
    print(f"One iteration at the loop's defaults, medians of {repeats} (wall s, CPU s):")
    for name, pairs in times.items():
        wall = statistics.median(pair[0] for pair in pairs)
        cpu = statistics.median(pair[1] for pair in pairs)
        print(f"  {name:<7} {wall:6.2f} {cpu:6.2f}")


def separation(folder: Path, pair: str, counts: list[int], seeds: int) -> None:
    first, second = (int(number) for number in pair.split(":"))
    players = []
    for number in (first, second):
        model, _ = load_checkpoint(folder / f"{network_name(number)}.pt")
        players.append(Contestant(network_name(number), BatchEvaluator(model, path="onnx")))
    names = [player.name for player in players]
    print(f"\n{names[0]} - {names[1]}, rated with the heuristic and random at 7 x 7:")
    print("  games  differences by seed                 same sign  apart  sigma  sd")
    rows = []
    for games in counts:
        differences, apart, sigmas = [], 0, []
        for seed in range(seeds):
            settings = MatchSettings(7, sample_moves=12, seed=1000 * games + seed)
            result = rate([*players, HEURISTIC, RANDOM], settings, games)
            a, b = result.of(names[0]), result.of(names[1])
            differences.append(a.mu - b.mu)
            apart += a.low > b.high or b.low > a.high
            sigmas.append(math.hypot(a.sigma, b.sigma))
        rows.append((games, differences, apart, statistics.fmean(sigmas)))
    sign = math.copysign(1.0, statistics.fmean(rows[-1][1]))
    for games, differences, apart, sigma in rows:
        same = sum(math.copysign(1.0, d) == sign for d in differences)
        spread = statistics.stdev(differences) if len(differences) > 1 else math.nan
        shown = " ".join(f"{d:+5.1f}" for d in differences)
        print(
            f"  {games:>5}  {shown:<34}  {same}/{seeds}       {apart}/{seeds}   "
            f"{sigma:4.2f}  {spread:4.2f}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("checkpoints", type=Path)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--pairs", default="18:1,18:12")
    parser.add_argument("--games", default="100,200,400,800,1600")
    parser.add_argument("--seeds", type=int, default=4)
    parser.add_argument("--skip-cost", action="store_true")
    args = parser.parse_args()
    if not args.skip_cost:
        cost(args.checkpoints, args.repeats)
    counts = [int(count) for count in args.games.split(",")]
    for pair in args.pairs.split(","):
        separation(args.checkpoints, pair, counts, args.seeds)


if __name__ == "__main__":
    main()

"""Time of the host's matches: the loop's arena and a match of a network with search.

    PYTHONPATH=python .venv/bin/python bench/match_bench.py --candidate A.pt --best B.pt
        [--repeats 3] [--big-dim 20] [--search-sims 64] [--search-games 8]

Times, in `--repeats` rounds, (a) the arena the loop plays after every iteration at its defaults
(7 x 7 unless `--dim`: 32 games against three random players, 32 against three heuristic
players, 200 against three copies of the best network, 32 of the heuristic against random
players), and (b) `--search-games` rotated games of the candidate with `--search-sims`
simulations per tile against three heuristic players on a `--big-dim` board, with the number of
positions the network evaluated (at the network's throughput, the time's floor). Prints each
round's seconds and figures, then the medians. Without checkpoints, fresh networks of the
default size play (seeded). The networks run the `--inference` way with torch's default threads,
as in the loop, whose arena runs in its main process once the self-play workers are done.
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path
from typing import Any

import numpy as np
import torch

from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.evaluation.arena import run_arena
from tessarin_zero.evaluation.matches import HEURISTIC, Contestant, MatchSettings, play_match
from tessarin_zero.inference.checkpoints import load_or_new
from tessarin_zero.inference.evaluator import BatchEvaluator


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--candidate", type=Path, default=None)
    parser.add_argument("--best", type=Path, default=None)
    parser.add_argument("--dim", type=int, default=7, help="the arena's board side (default 7)")
    parser.add_argument("--big-dim", type=int, default=20, help="the search match's side")
    parser.add_argument("--search-sims", type=int, default=64)
    parser.add_argument("--search-games", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--inference", default="onnx")
    args = parser.parse_args()

    torch.manual_seed(0)
    candidate = load_or_new(args.candidate, NetworkSettings())
    best = load_or_new(args.best, NetworkSettings())
    arena_s: list[float] = []
    search_s: list[float] = []
    for round_ in range(1, args.repeats + 1):
        started = time.perf_counter()
        result = run_arena(
            candidate,
            best,
            GameSettings(dim=args.dim),
            inference=args.inference,
            games_vs_random=32,
            games_vs_best=200,
            threshold=0.31,
        )
        arena_s.append(time.perf_counter() - started)
        started = time.perf_counter()
        evaluator = BatchEvaluator(candidate, path=args.inference, dim=args.big_dim)
        positions = 0

        def counted(planes: Any) -> tuple[np.ndarray, np.ndarray]:
            nonlocal positions
            positions += len(np.asarray(planes))
            return evaluator(planes)

        settings = MatchSettings(args.big_dim, args.search_sims)
        search = play_match(
            Contestant("candidate", counted), HEURISTIC, settings, args.search_games
        )
        search_s.append(time.perf_counter() - started)
        print(
            f"round {round_}: arena {arena_s[-1]:.1f} s (vs random {result.vs_random}; vs "
            f"heuristic {result.vs_heuristic}; vs best {result.vs_best}); {args.big_dim} x "
            f"{args.big_dim} with {args.search_sims} simulations vs 3 heuristic "
            f"{search_s[-1]:.1f} s ({search.score}; {positions} positions evaluated)",
            flush=True,
        )
    print(
        f"arena {statistics.median(arena_s):.1f} s search match {statistics.median(search_s):.1f} s"
    )


if __name__ == "__main__":
    main()

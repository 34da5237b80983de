"""Strength figures of the players that need no network, and what the promotion rule risks.

    PYTHONPATH=python .venv/bin/python bench/strength_figures.py [--blocks 5] [--games 400]
        [--big-games 200]

Prints, for each match, the mean payoff of the player under test over all games with its 95%
Wilson interval, and the median of the per-block means (the match is played in `--blocks`
blocks with different seeds):

- the heuristic against three random players, rotated seats, at 7 x 7, 10 x 10 and 20 x 20;
- a random player against three random players, rotated seats (parity, 0.25, by design);
- the first seat's edge: each seat's mean payoff when four random players play, and the
  heuristic's games in seat 0 only of its rotated matches against random players;
- the false-promotion rate of the arena's rule (mean >= threshold over rotated games against
  three copies of the best): simulated from the per-seat payoffs of equal players (random
  against random, heuristic against heuristic), beside the normal estimate;
- the time the arena's promotion match takes with the default network size at 7 x 7.
"""

from __future__ import annotations

import argparse
import statistics
import time

import torch

from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.evaluation.arena import false_promotion_rate_estimate
from tessarin_zero.evaluation.matches import (
    HEURISTIC,
    RANDOM,
    Contestant,
    MatchResult,
    MatchSettings,
    play_match,
    seat_edge,
)
from tessarin_zero.evaluation.stats import false_promotion_rate, score_of
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.network import PolicyValueNet


def blocks_of(
    test: Contestant, against: Contestant, dim: int, games: int, blocks: int
) -> list[MatchResult]:
    """The match played `blocks` times, each block with its own seed."""
    return [
        play_match(test, against, MatchSettings(dim, seed=100 + b), games) for b in range(blocks)
    ]


def report(label: str, results: list[MatchResult], seat: int | None = None) -> None:
    """The mean payoff of the player under test over every game (or over the games in which it
    sat in `seat` only), with the median of the per-block means."""
    if seat is None:
        groups = [r.payoffs for r in results]
    else:
        groups = [r.by_seat()[seat] for r in results]
    payoffs = [p for group in groups for p in group]
    medians = statistics.median(score_of(group).mean for group in groups)
    print(f"{label:<48} {score_of(payoffs)}; median of {len(groups)} block means {medians:.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--blocks", type=int, default=5)
    parser.add_argument("--games", type=int, default=400, help="games per block at 7 and 10")
    parser.add_argument("--big-games", type=int, default=200, help="games per block at 20")
    args = parser.parse_args()

    for dim in (7, 10, 20):
        games = args.big_games if dim == 20 else args.games
        heuristic = blocks_of(HEURISTIC, RANDOM, dim, games, args.blocks)
        report(f"heuristic vs 3 random, rotated, {dim}x{dim}", heuristic)
        report(
            f"random vs 3 random, rotated, {dim}x{dim}",
            blocks_of(RANDOM, RANDOM, dim, games, args.blocks),
        )
        report(f"heuristic in seat 0 only vs 3 random, {dim}x{dim}", heuristic, seat=0)
        edges = [
            seat_edge([RANDOM] * 4, MatchSettings(dim, seed=300 + b), games)
            for b in range(args.blocks)
        ]
        per_seat = [statistics.median(e[seat] for e in edges) for seat in range(4)]
        pooled = [statistics.fmean(e[seat] for e in edges) for seat in range(4)]
        print(
            f"{'four random players, no rotation, ' + f'{dim}x{dim}':<48} seat means "
            f"{', '.join(f'{v:.3f}' for v in pooled)} over {games * args.blocks} games; "
            f"block medians {', '.join(f'{v:.3f}' for v in per_seat)}"
        )

    print()
    for name, player in (("random", RANDOM), ("heuristic", HEURISTIC)):
        equal = blocks_of(player, player, 7, 2000, 2)
        by_seat: list[list[float]] = [[], [], [], []]
        for result in equal:
            for seat, values in enumerate(result.by_seat()):
                by_seat[seat].extend(values)
        games = sum(len(v) for v in by_seat)
        for count, threshold in ((200, 0.31), (100, 0.31), (200, 0.30), (8, 0.30)):
            rate = false_promotion_rate(by_seat, count, threshold, trials=20_000)
            print(
                f"false promotion, {count} games at {threshold}, equal {name} players at 7x7 "
                f"({games} games): simulated {rate:.4f}, normal estimate "
                f"{false_promotion_rate_estimate(count, threshold):.4f}"
            )

    torch.manual_seed(0)
    candidate, best = PolicyValueNet(NetworkSettings()), PolicyValueNet(NetworkSettings())
    started = time.monotonic()
    play_match(
        Contestant("candidate", BatchEvaluator(candidate)),
        Contestant("best", BatchEvaluator(best)),
        MatchSettings(7, sample_moves=12),
        200,
    )
    print(
        f"\npromotion match, 200 games at 7x7, default network size: "
        f"{time.monotonic() - started:.1f} s on {torch.get_num_threads()} torch threads"
    )


if __name__ == "__main__":
    main()

"""Strength figures of the players that need no network, and what the promotion rule risks.

    .venv/bin/python bench/strength_figures.py [--blocks 5] [--games 400] [--big-games 200]

Prints, for each match, the mean payoff of the player under test over all games with its 95%
Wilson interval, and the median of the per-block means (the match is played in `--blocks`
blocks with different seeds):

- the heuristic against three random players, rotated seats, at 7 x 7, 10 x 10 and 20 x 20;
- a random player against three random players, rotated seats (parity, 0.25, by design);
- the first seat's edge without rotation: each seat's mean payoff when four random players play,
  and the heuristic in seat 0 only against random players;
- the false-promotion rate of the arena's rule (mean >= threshold over rotated games against
  three copies of the best): simulated from the per-seat payoffs of equal players (random
  against random, heuristic against heuristic), beside the normal estimate;
- the time the arena's promotion match takes with the default network size at 7 x 7.
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable

import torch

from tessarin_zero.arena import false_promotion_rate_estimate
from tessarin_zero.match import MatchResult, play_match, seat_edge
from tessarin_zero.network import PolicyValueNet
from tessarin_zero.players import HeuristicSeat, Player, PolicyPlayer, RandomPlayer
from tessarin_zero.settings import NetworkSettings
from tessarin_zero.stats import false_promotion_rate, score_of


def blocks_of(
    make: Callable[[int], Player],
    against: Callable[[int], Player],
    dim: int,
    games: int,
    blocks: int,
    rotate: bool = True,
) -> list[MatchResult]:
    """The match played `blocks` times, each block with its own seeds."""
    return [
        play_match(make(100 + b), against(200 + b), dim, games, rotate=rotate)
        for b in range(blocks)
    ]


def report(label: str, results: list[MatchResult]) -> None:
    payoffs = [p for r in results for p in r.payoffs]
    medians = statistics.median(r.score.mean for r in results)
    print(f"{label:<48} {score_of(payoffs)}; median of {len(results)} block means {medians:.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--blocks", type=int, default=5)
    parser.add_argument("--games", type=int, default=400, help="games per block at 7 and 10")
    parser.add_argument("--big-games", type=int, default=200, help="games per block at 20")
    args = parser.parse_args()

    for dim in (7, 10, 20):
        games = args.big_games if dim == 20 else args.games
        report(
            f"heuristic vs 3 random, rotated, {dim}x{dim}",
            blocks_of(HeuristicSeat, RandomPlayer, dim, games, args.blocks),
        )
        report(
            f"random vs 3 random, rotated, {dim}x{dim}",
            blocks_of(RandomPlayer, RandomPlayer, dim, games, args.blocks),
        )
        report(
            f"heuristic in seat 0 only vs 3 random, {dim}x{dim}",
            blocks_of(HeuristicSeat, RandomPlayer, dim, games, args.blocks, rotate=False),
        )
        edges = [seat_edge([RandomPlayer(300 + b)] * 4, dim, games) for b in range(args.blocks)]
        per_seat = [statistics.median(e[seat] for e in edges) for seat in range(4)]
        pooled = [statistics.fmean(e[seat] for e in edges) for seat in range(4)]
        print(
            f"{'four random players, no rotation, ' + f'{dim}x{dim}':<48} seat means "
            f"{', '.join(f'{v:.3f}' for v in pooled)} over {games * args.blocks} games; "
            f"block medians {', '.join(f'{v:.3f}' for v in per_seat)}"
        )

    print()
    for name, player in (("random", RandomPlayer), ("heuristic", HeuristicSeat)):
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
    play_match(PolicyPlayer(candidate), PolicyPlayer(best, "best"), 7, 200)
    print(
        f"\npromotion match, 200 games at 7x7, default network size: "
        f"{time.monotonic() - started:.1f} s on {torch.get_num_threads()} torch threads"
    )


if __name__ == "__main__":
    main()

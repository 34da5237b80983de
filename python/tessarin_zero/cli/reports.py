"""What the commands print: the arena's figures, a loop's progress, and its summary."""

from __future__ import annotations

import math
from collections.abc import Sequence
from pathlib import Path

from tessarin_zero.evaluation.arena import ArenaResult, ModuleFigures, false_promotion_rate_estimate
from tessarin_zero.evaluation.final import FinalFigures
from tessarin_zero.evaluation.matches import rotated_games
from tessarin_zero.evaluation.rating import RatingResult
from tessarin_zero.training.metrics import IterationMetrics


def arena_lines(result: ArenaResult, search_sims: int = 0) -> list[str]:
    """The arena's figures, one labelled line each."""
    lines = [
        f"network vs 3 random:     {result.vs_random}",
        f"network vs 3 heuristic:  {result.vs_heuristic}",
        f"network vs 3 best:       {result.vs_best}",
        f"heuristic vs 3 random:   {result.heuristic_vs_random}  (the line to beat)",
    ]
    if search_sims > 0:
        lines += [
            f"network+search{search_sims} vs 3 random:    {result.search_vs_random}",
            f"network+search{search_sims} vs 3 heuristic: {result.search_vs_heuristic}",
        ]
    return lines


def rating_lines(result: RatingResult, dim: int, search_sims: int = 0) -> list[str]:
    """A rating's table, headed by what was played and what the figures mean."""
    play = f"{search_sims} simulations per tile" if search_sims else "raw policies"
    return [
        f"Plackett-Luce rating on {dim} x {dim} ({play}), {result.games} games among "
        f"{len(result.ratings)} players, {result.anchor} held at 0; sigma is the rating's "
        "standard deviation, the interval rating +- 1.96 sigma:",
        *(f"  {line}" for line in result.table()),
    ]


def module_lines(figures: ModuleFigures, dim: int) -> list[str]:
    """The module's own test games, labelled for what they are."""
    return [
        "The module's test games (not seat-rotated):",
        f"  seat 0 only vs 3 random on {dim} x {dim}: {figures.seat0_vs_random}",
        f"  seat 0 only vs 3 best, 20 x 20 only: {figures.seat0_vs_best_20x20}",
    ]


def starting_network_line(path: Path, trained: object, side: int) -> str:
    """What a new loop starts from when given a checkpoint: the network is convolutional, so
    one trained on another side goes on at the loop's side, and the line says so."""
    if not isinstance(trained, int) or isinstance(trained, bool):
        origin = "a network that does not record its board side"
    elif trained == side:
        origin = f"a network trained on {side} x {side}"
    else:
        origin = f"a network trained on {trained} x {trained}, to go on at {side} x {side}"
    return f"Starting from {path}: {origin}."


def promotion_rule(games_vs_best: int, threshold: float) -> str:
    games = rotated_games(games_vs_best)
    chance = false_promotion_rate_estimate(games, threshold)
    return (
        f" (threshold {threshold} over {games} games; an equal network passes it "
        f"{100 * chance:.1f}% of the time)"
    )


def print_summary(rows: Sequence[IterationMetrics], run_dir: Path) -> None:
    print("\nSummary: mean payoff of the network's raw policy with rotated seats (0.25 is parity)")
    print("and its 95% interval; heur/rnd is the heuristic's own score against random players")
    header = (
        f"{'iteration':>9} {'vs random':>19} {'vs heuristic':>19} {'vs best':>19} "
        f"{'heur/rnd':>19} {'policy':>7} {'value':>7} {'promoted':>8} {'rating':>11} "
        f"{'heur rating':>11}"
    )
    print(header)
    for row in rows:
        figures = " ".join(
            f"{interval_text(row, name):>19}"
            for name in ("vs_random", "vs_heuristic", "vs_best", "heuristic_vs_random")
        )
        print(
            f"{row.iteration:>9} {figures} {row.policy_loss:>7.3f} {row.value_loss:>7.3f} "
            f"{str(row.promoted):>8} {rating_text(row, 'rating'):>11} "
            f"{rating_text(row, 'heuristic_rating'):>11}"
        )
    if any(not math.isnan(row.rating) for row in rows):
        print("rating: Plackett-Luce, from games among the network, the two before it, the")
        print("heuristic and random players (random = 0), +- its sigma; heur rating: the")
        print("heuristic's own rating from the same games (the line to beat)")
    if any(not math.isnan(row.win_rate_vs_random) for row in rows):
        print("Rows without these figures come from an older version: its figures were seat 0")
        print("only (win_rate_vs_random) and 20 x 20 only (score_vs_best), in metrics.csv.")
    print(
        f"Metrics {run_dir / 'metrics.csv'}, plots {run_dir / 'losses.png'} and "
        f"{run_dir / 'win_rate.png'}, best network {run_dir / 'checkpoints' / 'best.pt'}, "
        f"one game per match and iteration in {run_dir / 'games'} (draw them with `render`)"
    )


def interval_text(row: IterationMetrics, name: str) -> str:
    """'0.312 [0.25,0.37]' for a figure of the row, '-' when it was not measured."""
    mean = getattr(row, name)
    if math.isnan(mean):
        return "-"
    return f"{mean:.3f} [{getattr(row, name + '_low'):.2f},{getattr(row, name + '_high'):.2f}]"


def rating_text(row: IterationMetrics, name: str) -> str:
    """'5.2 +- 3.1' for a rating of the row, '-' when there is none."""
    mean = getattr(row, name)
    if math.isnan(mean):
        return "-"
    return f"{mean:.1f} +- {getattr(row, name + '_sigma'):.1f}"


def rating_summary(row: IterationMetrics) -> str:
    """The row's ratings for the iteration's line, or nothing when it has none."""
    if math.isnan(row.rating):
        return ""
    return (
        f"rating {rating_text(row, 'rating')} (heuristic {rating_text(row, 'heuristic_rating')}, "
        "random 0); "
    )


class PrintedReport:
    """A loop's progress on standard output (see ``training.loop.LoopReport``)."""

    def warm_started(
        self, games: int, positions: int, epochs: int, losses: dict[str, float]
    ) -> None:
        print(
            f"Warm start: {games} games of four heuristic players, {positions} positions, "
            f"{epochs} epochs; policy loss {losses['policy']:.3f}, value loss "
            f"{losses['value']:.3f}",
            flush=True,
        )

    def resumed(self, run_dir: Path, done: int) -> None:
        print(f"Resuming {run_dir} after iteration {done}")

    def started(self, run_dir: Path, first: int, iterations: int, games: int) -> None:
        if first > iterations:
            print(f"Run folder {run_dir}: all {iterations} iterations are done")
        else:
            span = f"iterations {first} to {iterations}"
            print(f"Run folder {run_dir}: {span}, {games} self-play games each")

    def iteration(self, row: IterationMetrics, result: ArenaResult) -> None:
        print(
            f"Iteration {row.iteration} (rotated seats, 95% intervals): "
            f"vs random {result.vs_random}; vs heuristic {result.vs_heuristic}; "
            f"vs best {result.vs_best} ({'promoted' if row.promoted else 'kept best'}); "
            f"heuristic vs random {result.heuristic_vs_random}; "
            f"{rating_summary(row)}policy loss {row.policy_loss:.3f}, value loss {row.value_loss:.3f}, "
            f"{row.seconds:.0f} s",
            flush=True,
        )

    def finished(self, rows: list[IterationMetrics], run_dir: Path) -> None:
        print_summary(rows, run_dir)

    def final(self, figures: FinalFigures, path: Path) -> None:
        print("\n" + "\n".join(figures.lines()))
        print(f"Final figures in {path}")

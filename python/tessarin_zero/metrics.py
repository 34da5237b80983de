"""The run's metrics: one CSV row per iteration, and the plots drawn from it."""

from __future__ import annotations

import csv
from dataclasses import asdict, dataclass, fields
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only: runs have no display
import matplotlib.pyplot as plt  # noqa: E402


@dataclass(frozen=True)
class IterationMetrics:
    """What one self-play → train → arena iteration measured."""

    iteration: int
    games: int
    positions: int
    policy_loss: float
    value_loss: float
    win_rate_vs_random: float
    score_vs_best: float
    promoted: bool
    seconds: float


class MetricsLog:
    """Appends rows to ``metrics.csv`` (header written once) and redraws the plots."""

    def __init__(self, run_dir: Path) -> None:
        self.path = run_dir / "metrics.csv"
        self.run_dir = run_dir
        self.rows: list[IterationMetrics] = []

    def append(self, row: IterationMetrics) -> None:
        new_file = not self.path.exists()
        with self.path.open("a", newline="") as handle:
            writer = csv.DictWriter(handle, fieldnames=[f.name for f in fields(IterationMetrics)])
            if new_file:
                writer.writeheader()
            writer.writerow(asdict(row))
        self.rows.append(row)
        plot_metrics(self.rows, self.run_dir)


def plot_metrics(rows: list[IterationMetrics], out_dir: Path) -> list[Path]:
    """Draws ``losses.png`` and ``win_rate.png`` into ``out_dir``; returns their paths."""
    iterations = [row.iteration for row in rows]
    figure, axes = plt.subplots(figsize=(6, 4))
    axes.plot(iterations, [row.policy_loss for row in rows], marker="o", label="policy")
    axes.plot(iterations, [row.value_loss for row in rows], marker="o", label="value")
    axes.set(xlabel="iteration", ylabel="loss (cross-entropy)", title="Training losses")
    axes.legend()
    losses = out_dir / "losses.png"
    figure.tight_layout()
    figure.savefig(losses)
    plt.close(figure)

    figure, axes = plt.subplots(figsize=(6, 4))
    axes.plot(iterations, [row.win_rate_vs_random for row in rows], marker="o", label="vs random")
    axes.plot(iterations, [row.score_vs_best for row in rows], marker="o", label="vs best")
    axes.axhline(0.25, color="grey", linestyle="--", label="fair share (1 of 4)")
    axes.set(xlabel="iteration", ylabel="mean payoff of seat 0", title="Arena", ylim=(0, 1))
    axes.legend()
    win_rate = out_dir / "win_rate.png"
    figure.tight_layout()
    figure.savefig(win_rate)
    plt.close(figure)
    return [losses, win_rate]

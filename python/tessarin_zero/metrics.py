"""The run's metrics: one CSV row per iteration, and the plots drawn from it."""

from __future__ import annotations

import csv
import os
from collections.abc import Sequence
from dataclasses import asdict, dataclass, fields
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only: runs have no display
import matplotlib.pyplot as plt  # noqa: E402

from .errors import describe  # noqa: E402


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
    """Keeps ``metrics.csv`` (one row per finished iteration) and redraws the plots.

    The whole file is rewritten under a temporary name and renamed for every row, so a run
    killed at any moment leaves either the old or the new file, never half a row. `rows` are the
    rows already in the file (a resumed run).
    """

    def __init__(self, run_dir: Path, rows: Sequence[IterationMetrics] = ()) -> None:
        self.path = run_dir / "metrics.csv"
        self.run_dir = run_dir
        self.rows: list[IterationMetrics] = list(rows)

    def append(self, row: IterationMetrics) -> None:
        rows = [*self.rows, row]
        temporary = self.path.with_name(f".{self.path.name}.tmp")
        with temporary.open("w", newline="") as handle:
            writer = csv.DictWriter(handle, fieldnames=[f.name for f in fields(IterationMetrics)])
            writer.writeheader()
            writer.writerows(asdict(r) for r in rows)
        os.replace(temporary, self.path)
        self.rows = rows
        plot_metrics(self.rows, self.run_dir)


def read_metrics(path: Path) -> list[IterationMetrics]:
    """The rows of a ``metrics.csv``, which must number the iterations 1, 2, 3...; ValueError
    naming the file otherwise. A missing file has no rows."""
    if not path.exists():
        return []
    rows = []
    try:
        with path.open(newline="") as handle:
            for record in csv.DictReader(handle):
                values = {}
                for f in fields(IterationMetrics):
                    text = record[f.name]
                    if f.type in ("bool", bool):
                        if text not in ("True", "False"):
                            raise ValueError(f"{f.name} {text!r} is not True or False")
                        values[f.name] = text == "True"
                    else:
                        values[f.name] = int(text) if f.type in ("int", int) else float(text)
                rows.append(IterationMetrics(**values))
    except (OSError, KeyError, TypeError, ValueError, csv.Error) as error:
        raise ValueError(f"{path}: unreadable metrics ({describe(error)})") from error
    numbers = [row.iteration for row in rows]
    if numbers != list(range(1, len(rows) + 1)):
        raise ValueError(f"{path}: iterations {numbers} are not numbered 1, 2, 3...")
    return rows


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

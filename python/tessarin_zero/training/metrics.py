"""The run's metrics: one CSV row per iteration, and the plots drawn from it.

Arena figures are rotated-seat mean payoffs of the candidate's raw policy (0.25 is parity), each
with the bounds of its 95% interval and its number of games: against random players, against
the heuristic, against the best network, and the heuristic's own score against random players
(the line to beat). Folders written before these columns existed hold ``win_rate_vs_random``
and ``score_vs_best`` instead: seat 0 only, and against the best on 20 x 20 only. Both sets of
columns are kept; a row leaves the other set empty (NaN), so such a folder can be resumed.
The ratings (``rating``, ``heuristic_rating``, with their sigmas) came later still: rows without
them leave them empty.
"""

from __future__ import annotations

import contextlib
import csv
import math
import os
from collections.abc import Sequence
from dataclasses import MISSING, asdict, dataclass, fields, replace
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only: runs have no display
import matplotlib.pyplot as plt  # noqa: E402

from tessarin_zero.common.errors import describe  # noqa: E402
from tessarin_zero.evaluation.rating import Rating  # noqa: E402
from tessarin_zero.evaluation.stats import Z_95, Score  # noqa: E402


@dataclass(frozen=True)
class IterationMetrics:
    """What one self-play → train → arena iteration measured."""

    iteration: int
    games: int
    positions: int
    policy_loss: float
    value_loss: float
    promoted: bool
    seconds: float
    vs_random: float = math.nan
    vs_random_low: float = math.nan
    vs_random_high: float = math.nan
    vs_random_games: int = 0
    vs_heuristic: float = math.nan
    vs_heuristic_low: float = math.nan
    vs_heuristic_high: float = math.nan
    vs_heuristic_games: int = 0
    vs_best: float = math.nan
    vs_best_low: float = math.nan
    vs_best_high: float = math.nan
    vs_best_games: int = 0
    heuristic_vs_random: float = math.nan
    heuristic_vs_random_low: float = math.nan
    heuristic_vs_random_high: float = math.nan
    heuristic_vs_random_games: int = 0
    # Older folders only: seat 0's payoff against random players, and against the best network
    # on a 20 x 20 board (not seat-rotated).
    win_rate_vs_random: float = math.nan
    score_vs_best: float = math.nan
    # The Plackett-Luce rating of the iteration's network and of the heuristic, the random
    # player being 0, each with the library's sigma (``evaluation.rating``); older folders
    # have none.
    rating: float = math.nan
    rating_sigma: float = math.nan
    rating_games: int = 0
    heuristic_rating: float = math.nan
    heuristic_rating_sigma: float = math.nan

    def with_scores(self, **scores: Score) -> IterationMetrics:
        """This row with the figures of `scores` (keyword: column name) filled in."""
        values: dict[str, float | int] = {}
        for name, score in scores.items():
            values.update(
                {
                    name: score.mean,
                    f"{name}_low": score.low,
                    f"{name}_high": score.high,
                    f"{name}_games": score.games,
                }
            )
        return replace(self, **values)  # type: ignore[arg-type]

    def with_rating(self, network: Rating, heuristic: Rating) -> IterationMetrics:
        """This row with the network's and the heuristic's ratings filled in."""
        return replace(
            self,
            rating=network.mu,
            rating_sigma=network.sigma,
            rating_games=network.games,
            heuristic_rating=heuristic.mu,
            heuristic_rating_sigma=heuristic.sigma,
        )


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
        """Adds a row to the file (OSError naming the file if it cannot be written), then
        redraws the plots."""
        rows = [*self.rows, row]
        temporary = self.path.with_name(f".{self.path.name}.tmp")
        try:
            with temporary.open("w", newline="") as handle:
                names = [f.name for f in fields(IterationMetrics)]
                writer = csv.DictWriter(handle, fieldnames=names)
                writer.writeheader()
                writer.writerows(asdict(r) for r in rows)
            os.replace(temporary, self.path)
        except OSError as error:
            with contextlib.suppress(OSError):
                temporary.unlink(missing_ok=True)
            raise OSError(error.errno, error.strerror, str(self.path)) from error
        self.rows = rows
        plot_metrics(self.rows, self.run_dir)


def read_metrics(path: Path) -> list[IterationMetrics]:
    """The rows of a ``metrics.csv``, which must number the iterations 1, 2, 3...; ValueError
    naming the file otherwise. A missing file has no rows."""
    if not path.exists():
        return []
    rows: list[IterationMetrics] = []
    try:
        with path.open(newline="") as handle:
            reader = csv.DictReader(handle)
            for record in reader:
                if None in record or None in record.values():
                    raise ValueError(
                        f"row {len(rows) + 1} does not have one value per column: the file "
                        "was cut or damaged"
                    )
                rows.append(_row(record))
    except (OSError, KeyError, TypeError, ValueError, csv.Error) as error:
        raise ValueError(f"{path}: unreadable metrics ({describe(error)})") from error
    numbers = [row.iteration for row in rows]
    if numbers != list(range(1, len(rows) + 1)):
        raise ValueError(f"{path}: iterations {numbers} are not numbered 1, 2, 3...")
    return rows


def _row(record: dict[str, str]) -> IterationMetrics:
    """One row of the file; a column the file lacks (added since it was written) takes its
    default."""
    values: dict[str, Any] = {}
    for f in fields(IterationMetrics):
        text = record.get(f.name)
        if text is None or (text == "" and f.default is not MISSING):
            if f.default is MISSING:
                raise KeyError(f.name)
            continue
        if f.type in ("bool", bool):
            if text not in ("True", "False"):
                raise ValueError(f"{f.name} {text!r} is not True or False")
            values[f.name] = text == "True"
        else:
            values[f.name] = int(text) if f.type in ("int", int) else float(text)
    return IterationMetrics(**values)


def plot_metrics(rows: list[IterationMetrics], out_dir: Path) -> list[Path]:
    """Draws ``losses.png`` and ``win_rate.png`` (the arena's figures, and below them the
    ratings when the rows have them) into ``out_dir``; returns their paths."""
    iterations = [row.iteration for row in rows]
    figure, axes = plt.subplots(figsize=(6, 4))
    axes.plot(iterations, [row.policy_loss for row in rows], marker="o", label="policy")
    axes.plot(iterations, [row.value_loss for row in rows], marker="o", label="value")
    axes.set(xlabel="iteration", ylabel="loss (cross-entropy)", title="Training losses")
    axes.legend()
    losses = out_dir / "losses.png"
    _save(figure, losses)

    rated = any(math.isfinite(row.rating) for row in rows)
    figure, panels = plt.subplots(
        2 if rated else 1, figsize=(7, 8 if rated else 4.5), squeeze=False
    )
    axes = panels[0][0]
    for name, label in (
        ("vs_random", "vs 3 random"),
        ("vs_heuristic", "vs 3 heuristic"),
        ("vs_best", "vs 3 best"),
    ):
        _plot_with_interval(axes, rows, name, label, marker="o")
    _plot_with_interval(
        axes, rows, "heuristic_vs_random", "heuristic vs 3 random (to beat)", linestyle="--"
    )
    axes.axhline(0.25, color="grey", linestyle=":", label="parity (rotated seats)")
    if any(math.isfinite(row.win_rate_vs_random) for row in rows):
        axes.plot(
            iterations,
            [row.win_rate_vs_random for row in rows],
            marker="x",
            linestyle="none",
            color="black",
            label="older rows: seat 0 only vs random",
        )
    axes.set(
        xlabel="iteration",
        ylabel="mean payoff, rotated seats (95% interval)",
        title="Arena",
        ylim=(0, 1),
    )
    axes.legend(fontsize="small")
    if rated:
        _plot_ratings(panels[1][0], rows)
    win_rate = out_dir / "win_rate.png"
    _save(figure, win_rate)
    return [losses, win_rate]


def _save(figure: Any, path: Path) -> None:
    """Writes and closes a figure; OSError naming the file when it cannot be written."""
    try:
        figure.tight_layout()
        figure.savefig(path)
    except OSError as error:
        raise OSError(error.errno, error.strerror, str(path)) from error
    finally:
        plt.close(figure)


def _plot_with_interval(
    axes: Any, rows: Sequence[IterationMetrics], name: str, label: str, **style: Any
) -> None:
    """One figure per iteration as a line, its 95% interval as a band; nothing if never
    measured."""
    points = [
        (r.iteration, getattr(r, name), getattr(r, f"{name}_low"), getattr(r, f"{name}_high"))
        for r in rows
        if math.isfinite(getattr(r, name))
    ]
    if not points:
        return
    x, mean, low, high = (list(column) for column in zip(*points))
    (line,) = axes.plot(x, mean, label=label, **style)
    axes.fill_between(x, low, high, color=line.get_color(), alpha=0.15)


def _plot_ratings(axes: Any, rows: Sequence[IterationMetrics]) -> None:
    """The network's rating and the heuristic's by iteration, each with its rating +- 1.96
    sigma as a band; the random player, the anchor, is 0."""
    for name, label, style in (
        ("rating", "network", {"marker": "o"}),
        ("heuristic_rating", "heuristic (to beat)", {"linestyle": "--"}),
    ):
        points = [
            (row.iteration, getattr(row, name), getattr(row, f"{name}_sigma"))
            for row in rows
            if math.isfinite(getattr(row, name))
        ]
        if not points:
            continue
        x, mean, sigma = (list(column) for column in zip(*points))
        (line,) = axes.plot(x, mean, label=label, **style)
        low = [m - Z_95 * s for m, s in zip(mean, sigma)]
        high = [m + Z_95 * s for m, s in zip(mean, sigma)]
        axes.fill_between(x, low, high, color=line.get_color(), alpha=0.15)
    axes.axhline(0.0, color="grey", linestyle=":", label="random (0)")
    axes.set(
        xlabel="iteration",
        ylabel="rating (+- 1.96 sigma)",
        title="Plackett-Luce rating among recent networks, heuristic and random",
    )
    axes.legend(fontsize="small")

"""metrics.csv across versions of the host."""

from __future__ import annotations

import csv
import math
from pathlib import Path

import matplotlib.pyplot as plt
import pytest

from tessarin_zero.cli import main
from tessarin_zero.evaluation.rating import Rating
from tessarin_zero.evaluation.stats import score_of
from tessarin_zero.training.metrics import IterationMetrics, MetricsLog, read_metrics

# The header and a row as the host wrote them before the rotated-seat figures existed.
OLD_HEADER = (
    "iteration,games,positions,policy_loss,value_loss,win_rate_vs_random,score_vs_best,"
    "promoted,seconds"
)
OLD_ROW = "1,20,1234,3.1,1.3,0.5625,0.0,False,61.2"


def test_an_older_metrics_file_is_read_and_extended_with_the_new_columns(tmp_path: Path) -> None:
    (tmp_path / "metrics.csv").write_text(f"{OLD_HEADER}\n{OLD_ROW}\n")
    rows = read_metrics(tmp_path / "metrics.csv")
    assert rows[0].win_rate_vs_random == 0.5625 and not rows[0].promoted
    assert math.isnan(rows[0].vs_random) and rows[0].vs_random_games == 0

    new = IterationMetrics(2, 20, 2000, 3.0, 1.2, True, 50.0).with_scores(
        vs_random=score_of([1.0, 0.0, 0.0, 0.0]), heuristic_vs_random=score_of([0.5] * 4)
    )
    MetricsLog(tmp_path, rows).append(new)
    again = read_metrics(tmp_path / "metrics.csv")
    assert again[0].win_rate_vs_random == 0.5625 and math.isnan(again[0].vs_heuristic)
    assert again[1].vs_random == 0.25 and again[1].vs_random_games == 4
    assert again[1].heuristic_vs_random == 0.5 and math.isnan(again[1].win_rate_vs_random)
    assert 0 <= again[1].vs_random_low < 0.25 < again[1].vs_random_high <= 1
    assert (tmp_path / "win_rate.png").stat().st_size > 0


def test_rows_without_ratings_read_and_rated_rows_keep_them(tmp_path: Path) -> None:
    # A row as the host wrote it before the ratings: every other column, none of theirs.
    unrated = IterationMetrics(1, 20, 1234, 3.1, 1.3, False, 61.2)
    MetricsLog(tmp_path).append(unrated)
    plain_height = plt.imread(tmp_path / "win_rate.png").shape[0]
    with (tmp_path / "metrics.csv").open() as handle:
        rows = list(csv.DictReader(handle))
    rating_columns = [name for name in rows[0] if "rating" in name]
    assert rating_columns  # the ratings would be in the file
    kept = [name for name in rows[0] if name not in rating_columns]
    with (tmp_path / "metrics.csv").open("w", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=kept, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)
    older = read_metrics(tmp_path / "metrics.csv")
    assert math.isnan(older[0].rating) and older[0].rating_games == 0

    network, heuristic = Rating("iteration-002", 4.5, 1.5, 80), Rating("heuristic", 7.0, 1.2, 80)
    MetricsLog(tmp_path, older).append(
        IterationMetrics(2, 20, 2000, 3.0, 1.2, True, 50.0).with_rating(network, heuristic)
    )
    again = read_metrics(tmp_path / "metrics.csv")
    assert math.isnan(again[0].rating)
    assert (again[1].rating, again[1].rating_sigma, again[1].rating_games) == (4.5, 1.5, 80)
    assert (again[1].heuristic_rating, again[1].heuristic_rating_sigma) == (7.0, 1.2)
    # The ratings get their own panel below the arena's.
    assert plt.imread(tmp_path / "win_rate.png").shape[0] > plain_height


def test_a_metrics_file_missing_a_column_it_always_had_is_refused(tmp_path: Path) -> None:
    header = OLD_HEADER.replace("policy_loss,", "")
    row = OLD_ROW.replace("3.1,", "", 1)
    (tmp_path / "metrics.csv").write_text(f"{header}\n{row}\n")
    with pytest.raises(ValueError, match="unreadable metrics"):
        read_metrics(tmp_path / "metrics.csv")


def test_a_loop_folder_of_an_older_version_resumes(tmp_path: Path) -> None:
    run = tmp_path / "run"
    net = ["--channels", "4", "--blocks", "1", "--quiet"]
    loop = ["loop", "--run-dir", str(run), "--iterations", "1", "--games", "2", "--dim", "5"]
    loop += ["--sims-per-move", "2", "--games-vs-random", "4", "--games-vs-best", "4"]
    main(loop + ["--epochs", "1", *net])
    # Rewrite its metrics as the older version did: its own columns only.
    with (run / "metrics.csv").open() as handle:
        row = next(csv.DictReader(handle))
    old = {name: row[name] for name in OLD_HEADER.split(",")}
    old.update(win_rate_vs_random="0.5", score_vs_best="0.0")
    (run / "metrics.csv").write_text(OLD_HEADER + "\n" + ",".join(old.values()) + "\n")
    main(["loop", "--run-dir", str(run), "--resume", "--iterations", "2", "--quiet"])
    rows = read_metrics(run / "metrics.csv")
    assert [r.iteration for r in rows] == [1, 2]
    assert rows[0].win_rate_vs_random == 0.5 and rows[1].vs_best_games == 4
    # The resumed iteration rated its network with the two before it (five players: 80 of
    # the 100 games), read from their checkpoints.
    assert math.isnan(rows[0].rating) and rows[1].rating_games == 80
    assert math.isfinite(rows[1].rating) and rows[1].heuristic_rating_sigma > 0
    assert sorted(p.name for p in (run / "games").glob("iteration-002-*.json")) == [
        "iteration-002-heuristic-vs-random.json",
        "iteration-002-vs-best.json",
        "iteration-002-vs-heuristic.json",
        "iteration-002-vs-random.json",
    ]

"""metrics.csv across versions of the host."""

from __future__ import annotations

import csv
import math
from pathlib import Path

import pytest

from tessarin_zero.cli import main
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
    assert sorted(p.name for p in (run / "games").glob("iteration-002-*.json")) == [
        "iteration-002-heuristic-vs-random.json",
        "iteration-002-vs-best.json",
        "iteration-002-vs-heuristic.json",
        "iteration-002-vs-random.json",
    ]

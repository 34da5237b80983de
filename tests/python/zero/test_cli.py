"""One iteration of the command-line loop, end to end, with a tiny network on a small board."""

from __future__ import annotations

import csv
from pathlib import Path

import pytest

from tessarin_zero.cli import main

TINY = ["--dim", "5", "--sims-per-move", "2", "--channels", "8", "--blocks", "1", "--quiet"]


def test_loop_iteration_writes_records_checkpoints_metrics_and_plots(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    run = tmp_path / "run"
    main(
        ["loop", "--run-dir", str(run), "--iterations", "1", "--games", "2"]
        + ["--games-vs-random", "2", "--games-vs-best", "1", "--workers", "2", "--epochs", "1"]
        + TINY
    )
    out = capsys.readouterr().out
    assert "Iteration 1: win rate vs random" in out

    rows = list(csv.DictReader((run / "metrics.csv").open()))
    assert [row["iteration"] for row in rows] == ["1"]
    assert 0.0 <= float(rows[0]["win_rate_vs_random"]) <= 1.0
    assert int(rows[0]["positions"]) > 0
    assert list((run / "records").glob("*.npz"))
    assert (run / "checkpoints" / "best.pt").exists()
    assert (run / "checkpoints" / "iteration-001.pt").exists()
    assert (run / "losses.png").stat().st_size > 0 and (run / "win_rate.png").stat().st_size > 0


def test_train_without_records_explains_what_is_missing(tmp_path: Path) -> None:
    with pytest.raises(SystemExit, match="No record chunks"):
        main(["train", "--run-dir", str(tmp_path), "--quiet"])

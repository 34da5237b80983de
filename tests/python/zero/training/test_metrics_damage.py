"""A damaged metrics.csv is refused with the file and the row named, never read as iterations
that finished."""

from __future__ import annotations

from pathlib import Path

import pytest

from tessarin_zero.evaluation.stats import score_of
from tessarin_zero.training.metrics import IterationMetrics, MetricsLog, read_metrics


def test_a_row_cut_short_or_overlong_is_not_a_finished_iteration(tmp_path: Path) -> None:
    log = MetricsLog(tmp_path)
    for iteration in (1, 2):
        row = IterationMetrics(iteration, 20, 1000, 3.0, 1.2, False, 50.0)
        log.append(row.with_scores(vs_random=score_of([1.0, 0.0, 0.0, 0.0])))
    path = tmp_path / "metrics.csv"
    whole = path.read_text()
    assert len(read_metrics(path)) == 2
    last = whole.rstrip("\n").rsplit("\n", 1)[1]
    for damaged in (
        whole[: whole.index(last) + len(last) // 2],  # cut in the middle of row 2
        whole.rstrip("\n") + ",7\n",  # a value too many
    ):
        path.write_text(damaged)
        with pytest.raises(ValueError, match=f"{path}: .*row 2 does not have one value per"):
            read_metrics(path)

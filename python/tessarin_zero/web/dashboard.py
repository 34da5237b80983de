"""A run's figures as the loop writes them: the rows of ``metrics.csv`` and the loop's own
plots (``training.metrics.plot_metrics``), drawn again whenever the file changes so that a
page polling them follows a running loop."""

from __future__ import annotations

import dataclasses
import math
import tempfile
import threading
from pathlib import Path
from typing import Any, Optional

from tessarin_zero.training.metrics import plot_metrics, read_metrics
from tessarin_zero.web.errors import Missing, Refused

PLOTS = ("win_rate.png", "losses.png")


class Dashboard:
    """The figures of the run folder `run_dir`."""

    def __init__(self, run_dir: Path) -> None:
        self.run_dir = run_dir
        self.metrics = run_dir / "metrics.csv"
        self._lock = threading.Lock()  # pyplot's state is one per process
        self._drawn: Optional[tuple[int, int]] = None
        self._plots: dict[str, bytes] = {}

    def _stamp(self) -> Optional[tuple[int, int]]:
        try:
            status = self.metrics.stat()
        except FileNotFoundError:
            return None
        return status.st_mtime_ns, status.st_size

    def figures(self) -> dict[str, Any]:
        """The rows (NaN as None: a figure not measured), and a stamp that changes with the
        file."""
        stamp = self._stamp()
        try:
            rows = read_metrics(self.metrics)
        except ValueError as error:
            raise Refused(str(error)) from error
        return {
            "run": str(self.run_dir),
            "stamp": None if stamp is None else f"{stamp[0]}-{stamp[1]}",
            "rows": [
                {
                    key: None if isinstance(value, float) and not math.isfinite(value) else value
                    for key, value in dataclasses.asdict(row).items()
                }
                for row in rows
            ],
            "plots": list(PLOTS) if rows else [],
        }

    def plot(self, name: str) -> bytes:
        """One of the loop's plots (PNG) of the file as it is now; Missing for another name or
        before the first row."""
        if name not in PLOTS:
            raise Missing(f"no plot {name!r} (there are {', '.join(PLOTS)})")
        with self._lock:
            stamp = self._stamp()
            if stamp != self._drawn or name not in self._plots:
                try:
                    rows = read_metrics(self.metrics)
                except ValueError as error:
                    raise Refused(str(error)) from error
                if not rows:
                    raise Missing(f"{self.metrics} has no row yet")
                with tempfile.TemporaryDirectory() as folder:
                    drawn = plot_metrics(rows, Path(folder))
                    self._plots = {path.name: path.read_bytes() for path in drawn}
                self._drawn = stamp
            return self._plots[name]

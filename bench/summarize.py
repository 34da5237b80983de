#!/usr/bin/env python3
"""Turns the JSON of engine_bench into a Markdown table of medians.

Usage: summarize.py [RESULT.json]   (default: the newest JSON file in bench/results/)

The table has one row per operation: the engine's median and the straightforward version's
median per operation, how many times faster the engine is, the engine's heap allocations per
operation, the target, and whether the engine's median meets it. Times per operation are the
benchmark's CPU-time counters (per_game, per_call, per_copy).
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

RESULTS_DIR = Path(__file__).resolve().parent / "results"


@dataclass(frozen=True)
class Row:
    """One operation of the table."""

    label: str
    engine: str  # benchmark run name of the engine
    straightforward: str  # benchmark run name of the straightforward version
    counter: str  # seconds per operation
    allocs: str  # allocations per operation
    target_s: float  # the engine's median must not exceed it
    max_allocs: float  # nor its allocations per operation
    target_text: str


ROWS = [
    Row(
        "Random game (reset, random tiles to the end)",
        "RandomGame/engine",
        "RandomGame/straightforward",
        "per_game",
        "allocs_per_game",
        0.5e-3,
        float("inf"),
        "≤ 0.5 ms",
    ),
    Row(
        "get_tile_moves",
        "TileMoves/engine",
        "TileMoves/straightforward",
        "per_call",
        "allocs_per_call",
        5e-6,
        float("inf"),
        "≤ 5 µs",
    ),
    Row(
        "Game copy",
        "GameCopy/engine",
        "GameCopy/straightforward",
        "per_copy",
        "allocs_per_copy",
        0.3e-6,
        1.0,
        "≤ 0.3 µs, ≤ 1 allocation (history)",
    ),
    Row(
        "Game copy without history",
        "GameCopy/engine_without_history",
        "GameCopy/straightforward",
        "per_copy",
        "allocs_per_copy",
        0.3e-6,
        0.0,
        "≤ 0.3 µs, no allocation",
    ),
]


def format_seconds(seconds: float) -> str:
    """A duration with a unit that keeps three or four significant digits."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_count(count: float) -> str:
    """An allocation count: one decimal below 100 when not whole, else a whole number."""
    if count >= 100 or count == int(count):
        return f"{count:,.0f}"
    return f"{count:.1f}"


def medians(path: Path) -> dict[str, dict[str, Any]]:
    """The median aggregate of every benchmark in `path`, by run name."""
    data = json.loads(path.read_text(encoding="utf-8"))
    result: dict[str, dict[str, Any]] = {}
    for entry in data.get("benchmarks", []):
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") == "median":
            result[entry["run_name"]] = entry
    return result


def table(runs: dict[str, dict[str, Any]]) -> list[str]:
    """The Markdown lines of the summary."""
    lines = [
        "| Operation | Engine (median) | Straightforward (median) | Engine faster by "
        "| Engine allocations | Target | Met |",
        "|---|---|---|---|---|---|---|",
    ]
    for row in ROWS:
        engine = runs.get(row.engine)
        baseline = runs.get(row.straightforward)
        if engine is None:
            continue
        engine_s = float(engine[row.counter])
        engine_allocs = float(engine[row.allocs])
        met = engine_s <= row.target_s and engine_allocs <= row.max_allocs
        if baseline is not None:
            baseline_s = float(baseline[row.counter])
            baseline_text = (
                f"{format_seconds(baseline_s)} "
                f"({format_count(float(baseline[row.allocs]))} allocations)"
            )
            ratio = f"{baseline_s / engine_s:.1f}×"
        else:
            baseline_text, ratio = "–", "–"
        lines.append(
            f"| {row.label} | {format_seconds(engine_s)} | {baseline_text} | {ratio} "
            f"| {format_count(engine_allocs)} | {row.target_text} | {'yes' if met else 'NO'} |"
        )
    return lines


def notes(runs: dict[str, dict[str, Any]]) -> list[str]:
    """Remarks on the run: whether both versions played the same games."""
    engine = runs.get("RandomGame/engine")
    baseline = runs.get("RandomGame/straightforward")
    if engine is None or baseline is None:
        return []
    mine, theirs = float(engine["tiles_per_game"]), float(baseline["tiles_per_game"])
    if mine != theirs:
        return [f"\nWARNING: the versions played different games ({mine} vs {theirs} tiles/game)."]
    return [f"\nBoth versions played the same random games ({mine:.1f} tiles per game)."]


def newest_result() -> Path:
    """The most recently written JSON file of bench/results/."""
    candidates = sorted(RESULTS_DIR.glob("*.json"), key=lambda p: p.stat().st_mtime)
    if not candidates:
        sys.exit(f"no result in {RESULTS_DIR}; run bench/run_engine_bench.sh first")
    return candidates[-1]


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else newest_result()
    runs = medians(path)
    if not runs:
        sys.exit(f"{path}: no median aggregates (run with --benchmark_repetitions > 1)")
    print("\n".join(table(runs) + notes(runs)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""Leak check of tessarin_self_play under repeated failing calls.

Runs every failure case of tests/python/failure_cases.py many times (10,000 by default) and
reports, per case, how the reference counts of its host objects (where the interpreter counts
references: not PyPy) and the resident memory of the process changed. Exits with status 1 if any
reference count moved or the process grew by more than the limit.

    .venv/bin/python bench/leak_check.py [--calls N] [--limit-mib M]
    .venv-pypy/bin/python bench/leak_check.py [--calls N] [--limit-mib M]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from failure_cases import FailureCase, NullStream, TrackedError, build_cases  # noqa: E402
from memory_checks import (  # noqa: E402
    HAS_REFERENCE_COUNTS,
    collect,
    reference_counts,
    resident_bytes,
)


def held_counts(case: FailureCase) -> list[int]:
    """The reference counts of the case's objects, or nothing without reference counts."""
    return reference_counts([*case.held, TrackedError]) if HAS_REFERENCE_COUNTS else []


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000, help="calls per failure case")
    # Under PyPy what failed calls leave is reclaimed over several major collections, so memory
    # settles later and higher: a longer warm-up and a wider limit there.
    parser.add_argument(
        "--warm-up",
        type=int,
        default=100 if HAS_REFERENCE_COUNTS else 1000,
        help="untimed calls per case first",
    )
    parser.add_argument(
        "--limit-mib",
        type=float,
        default=5.0 if HAS_REFERENCE_COUNTS else 16.0,
        help="allowed growth in MiB",
    )
    options = parser.parse_args()

    report = sys.stdout
    cases = build_cases()
    rows: list[tuple[str, list[int], int, float]] = []
    sys.stdout = sys.stderr = NullStream()  # the module writes its reports here
    try:
        for case in cases:
            for _ in range(options.warm_up):
                case.run()
        collect()
        start = resident_bytes()
        for case in cases:
            before = held_counts(case)
            rss_before = resident_bytes()
            began = time.perf_counter()
            for _ in range(options.calls):
                case.run()
            elapsed = time.perf_counter() - began
            after = held_counts(case)
            deltas = [b - a for a, b in zip(before, after)]
            rows.append((case.name, deltas, resident_bytes() - rss_before, elapsed))
        collect()
        growth = resident_bytes() - start
    finally:
        sys.stdout, sys.stderr = report, sys.__stderr__

    print(f"{'case':32} {'refcount deltas':>20} {'rss KiB':>9} {'us/call':>8}")
    leaked = False
    for name, deltas, rss, elapsed in rows:
        moved = any(deltas)
        leaked |= moved
        marker = "  <- LEAK" if moved else ""
        shown = ",".join(str(d) for d in deltas)
        print(
            f"{name:32} {shown:>20} {rss / 1024:9.0f} {elapsed / options.calls * 1e6:8.1f}{marker}"
        )
    limit = options.limit_mib * 1024 * 1024
    print(f"total resident growth: {growth / 1024:.0f} KiB (limit {limit / 1024:.0f} KiB)")
    if growth >= limit:
        leaked = True
        print("resident memory grew beyond the limit")
    return 1 if leaked else 0


if __name__ == "__main__":
    sys.exit(main())

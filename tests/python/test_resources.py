"""Repeated calls give back every reference and all their memory, on CPython and on PyPy."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from failure_cases import FailureCase, NullStream, TrackedError, build_cases
from memory_checks import (
    HAS_REFERENCE_COUNTS,
    growth_after_warm_up,
    measures_resident_memory,
    reference_counts,
)

CALLS_PER_CASE = 500
WARM_UP_CALLS = 20
RSS_LIMIT_BYTES = 5 * 1024 * 1024

CASES = build_cases()


@pytest.fixture
def silent_streams(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sys, "stdout", NullStream())
    monkeypatch.setattr(sys, "stderr", NullStream())


@pytest.mark.skipif(
    not HAS_REFERENCE_COUNTS,
    reason="no reference counts on this interpreter: the resident-memory tests cover it",
)
@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_failing_calls_release_the_host_objects(case: FailureCase, silent_streams: None) -> None:
    for _ in range(WARM_UP_CALLS):
        case.run()
    held = [*case.held, TrackedError]
    before = reference_counts(held)
    for _ in range(CALLS_PER_CASE):
        case.run()
    after = reference_counts(held)
    labels = [type(obj).__name__ for obj in case.held] + ["TrackedError"]
    assert dict(zip(labels, after)) == dict(zip(labels, before))
    assert after == before


def run_every_case() -> None:
    for case in CASES:
        case.run()


@measures_resident_memory
def test_failing_calls_do_not_grow_the_process(silent_streams: None) -> None:
    # Under PyPy a failed call's exception, traceback and request are reclaimed only after a few
    # major collections: memory settles after about a thousand calls of the costliest case
    # (a put that raises) and stays flat from there.
    if HAS_REFERENCE_COUNTS:
        growth = growth_after_warm_up(run_every_case, WARM_UP_CALLS, CALLS_PER_CASE, 100)
    else:
        growth = growth_after_warm_up(run_every_case, 300, 600, 25)
    assert growth < RSS_LIMIT_BYTES, f"resident memory grew by {growth / 1024:.0f} KiB"


def probe_growth(probe: str) -> int:
    """Resident growth in bytes that memory_probes.py measures in a fresh interpreter."""
    script = Path(__file__).resolve().parent / "memory_probes.py"
    done = subprocess.run(
        [sys.executable, str(script), probe], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    return int(done.stdout.split()[-1])


@measures_resident_memory
def test_failing_puts_settle_without_collections() -> None:
    # A host whose put keeps raising, and nobody collects: under PyPy the collector must still
    # learn that exceptions held by the module are worth a collection (this grew by ~8 MiB per
    # thousand calls, without bound, before the module reported them as memory pressure).
    growth = probe_growth("failing-puts")
    assert growth < RSS_LIMIT_BYTES, f"3,000 failing puts grew the process by {growth >> 10} KiB"


@measures_resident_memory
def test_training_games_keep_memory_flat() -> None:
    # Each game at side 20 makes thousands of requests of 2,000 entries each; under PyPy,
    # requests built through its C-API emulation of lists were never reclaimed in time (the
    # process grew by hundreds of MiB here). Nobody collects explicitly: a worker does not.
    growth = probe_growth("training-games")
    assert growth < 16 * 1024 * 1024, f"three games grew the process by {growth >> 20} MiB"


@measures_resident_memory
def test_batch_answered_in_its_own_buffers_keeps_memory_flat() -> None:
    # Fresh answer buffers passed to complete() at every step cost PyPy's C-API emulation memory
    # that no collection gives back (about 3 KiB a step: 130 MiB over these steps); answers
    # copied into the batch's own buffers through views taken once take no buffer per step. What
    # remains (about 20 MiB under PyPy, 5 MiB under CPython) is the position buffers step()
    # makes and the records of the games the probe leaves in the batch.
    growth = probe_growth("batch-answers")
    assert growth < 48 * 1024 * 1024, f"40,000 steps grew the process by {growth >> 20} MiB"

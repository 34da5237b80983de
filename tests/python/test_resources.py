"""Repeated failing calls give back every reference and all their memory."""

from __future__ import annotations

import gc
import sys

import pytest

from failure_cases import (
    FailureCase,
    NullStream,
    TrackedError,
    build_cases,
    resident_bytes,
)

CALLS_PER_CASE = 500
WARM_UP_CALLS = 20
RSS_LIMIT_BYTES = 5 * 1024 * 1024

CASES = build_cases()


@pytest.fixture
def silent_streams(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sys, "stdout", NullStream())
    monkeypatch.setattr(sys, "stderr", NullStream())


def reference_counts(case: FailureCase) -> list[int]:
    gc.collect()
    return [sys.getrefcount(obj) for obj in [*case.held, TrackedError]]


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_failing_calls_release_the_host_objects(case: FailureCase, silent_streams: None) -> None:
    for _ in range(WARM_UP_CALLS):
        case.run()
    before = reference_counts(case)
    for _ in range(CALLS_PER_CASE):
        case.run()
    after = reference_counts(case)
    labels = [type(obj).__name__ for obj in case.held] + ["TrackedError"]
    assert dict(zip(labels, after)) == dict(zip(labels, before))
    assert after == before


def test_failing_calls_do_not_grow_the_process(silent_streams: None) -> None:
    for case in CASES:
        for _ in range(WARM_UP_CALLS):
            case.run()
    gc.collect()
    start = resident_bytes()
    for case in CASES:
        for _ in range(CALLS_PER_CASE):
            case.run()
    gc.collect()
    growth = resident_bytes() - start
    assert growth < RSS_LIMIT_BYTES, f"resident memory grew by {growth / 1024:.0f} KiB"

"""Reference and memory checks that work on CPython and on PyPy.

CPython counts references, so a leak shows as a count that moved. PyPy has no reference counts
(no sys.getrefcount), and memory the module let go of is reclaimed only by its garbage collector,
over a few major collections: there a leak shows as resident memory that keeps growing while
calls go on with collections in between, and memory that is only reclaimed late stops growing.
"""

from __future__ import annotations

import gc
import os
import sys
from typing import Callable, Iterable

import pytest

HAS_REFERENCE_COUNTS = hasattr(sys, "getrefcount")

# Under a preloaded AddressSanitizer runtime, resident memory measures its quarantine of freed
# blocks rather than the module; reference counts still tell.
measures_resident_memory = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="resident memory measures the sanitizer's quarantine, not the module",
)

# Objects that C code held are reclaimed over several major collections under PyPy.
COLLECTIONS = 1 if HAS_REFERENCE_COUNTS else 4


def collect() -> None:
    for _ in range(COLLECTIONS):
        gc.collect()


def reference_counts(objects: Iterable[object]) -> list[int]:
    """The reference count of each object after a collection (CPython only)."""
    collect()
    return [sys.getrefcount(obj) for obj in objects]


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth_after_warm_up(
    run: Callable[[], None], warm_up: int, calls: int, collect_every: int
) -> int:
    """Resident growth in bytes over `calls` calls of `run` after `warm_up` calls, collecting
    every `collect_every` calls in both phases, so what is only reclaimed late has settled."""
    for done in range(1, warm_up + 1):
        run()
        if done % collect_every == 0:
            collect()
    collect()
    start = resident_bytes()
    for done in range(1, calls + 1):
        run()
        if done % collect_every == 0:
            collect()
    collect()
    return resident_bytes() - start

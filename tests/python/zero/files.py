"""Files for tests: damaged copies, and what a run folder holds."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from tessarin_zero.storage.checksum import digest_arrays
from tessarin_zero.storage.records import CHECKSUM_KEY, read_chunk


def garble(path: Path, count: int = 200) -> None:
    data = bytearray(path.read_bytes())
    middle = len(data) // 2
    data[middle : middle + count] = bytes((b ^ 0x5A) for b in data[middle : middle + count])
    path.write_bytes(bytes(data))


def forge(source: Path, target: Path, **changes: Any) -> Path:
    """A copy of chunk `source` at `target` with arrays replaced by `changes` and the checksum
    recomputed, as someone who knows the format would forge it."""
    with np.load(source) as archive:
        arrays = {key: archive[key] for key in archive.files if key != CHECKSUM_KEY}
    arrays.update(changes)
    arrays[CHECKSUM_KEY] = np.array(digest_arrays(arrays))
    target.parent.mkdir(parents=True, exist_ok=True)
    np.savez_compressed(target, **arrays)
    return target


def finished_games(records: Path) -> int:
    """Games journaled or in chunks so far."""
    journal = records / ".journal"
    entries = len(list(journal.glob("game-*.npz"))) if journal.is_dir() else 0
    chunks = sum(read_chunk(path).games for path in records.glob("*.npz"))
    return entries + chunks

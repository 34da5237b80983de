"""Files for tests: damaged copies, and what a run folder holds."""

from __future__ import annotations

from pathlib import Path

from tessarin_zero.storage.records import read_chunk


def garble(path: Path, count: int = 200) -> None:
    data = bytearray(path.read_bytes())
    middle = len(data) // 2
    data[middle : middle + count] = bytes((b ^ 0x5A) for b in data[middle : middle + count])
    path.write_bytes(bytes(data))


def finished_games(records: Path) -> int:
    """Games journaled or in chunks so far."""
    journal = records / ".journal"
    entries = len(list(journal.glob("game-*.npz"))) if journal.is_dir() else 0
    chunks = sum(read_chunk(path).games for path in records.glob("*.npz"))
    return entries + chunks

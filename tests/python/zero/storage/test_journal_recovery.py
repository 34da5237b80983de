"""Games journaled by a writer that was killed come back whatever their number: one game, the
least a writer can have journaled, is recovered as surely as many, and never twice."""

from __future__ import annotations

import subprocess
from pathlib import Path

import numpy as np
import pytest

from games import uniform_game
from tessarin_zero.common.settings import GameSettings
from tessarin_zero.storage.records import GameRecord, RecordWriter, read_chunk, recover_journal

SETTINGS = GameSettings(dim=5, sims_per_move=2)


@pytest.fixture(scope="module")
def record() -> GameRecord:
    return uniform_game(SETTINGS)


def dead_pid() -> int:
    process = subprocess.Popen(["true"])
    process.wait()
    return process.pid


def as_written_by(path: Path, pid: int) -> Path:
    """Renames a chunk or journal entry as if process `pid` had written it."""
    parts = path.name.split("-")
    parts[2] = f"{pid:07d}"
    return path.rename(path.with_name("-".join(parts)))


@pytest.mark.parametrize("games", [1, 2])
def test_every_game_a_killed_writer_journaled_is_recovered_once(
    record: GameRecord, games: int, tmp_path: Path
) -> None:
    writer = RecordWriter(tmp_path, SETTINGS, games_per_chunk=8)
    for _ in range(games):
        writer.add(record)
    # Killed here, before any chunk: its entries now belong to a dead process.
    pid = dead_pid()
    for entry in sorted((tmp_path / ".journal").iterdir()):
        as_written_by(entry, pid)
    recovered = recover_journal(tmp_path)
    assert len(recovered) == 1
    chunk = read_chunk(recovered[0])
    assert chunk.games == games
    assert np.array_equal(chunk.actions[: len(record.history)], np.asarray(record.history))
    assert sorted(tmp_path.iterdir()) == recovered  # the journal is gone
    assert recover_journal(tmp_path) == []  # and nothing comes back a second time


def test_a_one_game_chunk_written_before_the_kill_is_not_recovered_again(
    record: GameRecord, tmp_path: Path
) -> None:
    writer = RecordWriter(tmp_path, SETTINGS, games_per_chunk=8)
    writer.add(record)
    entry = next((tmp_path / ".journal").iterdir())
    kept = entry.read_bytes()
    writer.flush()
    # Killed after its chunk was written, before its only entry was removed.
    entry.parent.mkdir()
    entry.write_bytes(kept)
    pid = dead_pid()
    as_written_by(entry, pid)
    as_written_by(writer.paths[0], pid)
    assert recover_journal(tmp_path) == []
    chunks = sorted(tmp_path.glob("*.npz"))
    assert len(chunks) == 1 and read_chunk(chunks[0]).games == 1
    assert not (tmp_path / ".journal").exists()

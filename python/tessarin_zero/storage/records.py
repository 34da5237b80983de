"""Self-play records on disk: chunk files, their writer and its journal.

On-disk format, version 1. Games are stored in chunks; each chunk is one compressed NumPy
archive (``np.savez_compressed``, loadable with ``allow_pickle=False``) with these keys, where G
is the number of games in the chunk and N the number of actions of all its games together:

=================  ==================  ====================================================
key                dtype, shape        content
=================  ==================  ====================================================
``format_version`` int32, ()           1
``dim``            int32, ()           board side d
``actions``        int32, [N, 2]       (player, tile) of every action, games concatenated
                                       in order; tile = row * d + column
``game_lengths``   int32, [G]          actions per game; they add up to N
``policy``         float32, [N, d*d]   share of the search's visits per tile, per action;
                                       all zero where ``has_policy`` is false
``has_policy``     bool, [N]           false where the search ran no simulation (its shares
                                       were 0 / 0): such an action has no policy target
``payoffs``        float32, [G, 4]     final payoff by absolute player (1/k to each of the
                                       k winners)
``config``         str, ()             JSON object of the GameSettings the games were
                                       played with
``sha256``         str, ()             checksum of every other key (see ``checksum``);
                                       chunks written before it existed lack it and are
                                       read unchecked
=================  ==================  ====================================================

Positions are not stored: they follow from replaying ``actions`` through ``tessarin_engine``,
which keeps chunks small and makes the engine the only authority on what a position looks like.
A chunk is written under a hidden temporary name ending in ``.tmp`` and renamed to its final
``chunk-<nanoseconds>-<pid>-<sequence>.npz`` name, so readers never see half a chunk and chunk
names sort in the order they were written.

Every finished game is also written at once, as a one-game chunk, to the hidden journal folder
``.journal/`` beside the chunks (named ``game-<nanoseconds>-<pid>-<sequence>.npz``), so that a
game survives its process being killed before the chunk is written. A chunk takes its name from
the first journal entry it holds, and the entries are removed last first once the chunk is
there; a writer that opens the folder merges the entries of dead processes into the chunk they
would have become, or removes them if that chunk exists already.

A file that cannot be used is never deleted: the host moves it to ``set-aside/`` beside the
chunks (``set_aside``).
"""

from __future__ import annotations

import dataclasses
import json
import logging
import math
import os
import re
import time
import zipfile
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import tessarin_engine

from tessarin_zero.storage.checksum import digest_arrays
from tessarin_zero.common.errors import describe
from tessarin_zero.common.game import PLAYERS
from tessarin_zero.common.lifetime import signals_deferred
from tessarin_zero.common.settings import GameSettings

FORMAT_VERSION = 1
MIN_DIM = tessarin_engine.MIN_DIM
MAX_DIM = tessarin_engine.MAX_DIM
MAX_CHUNK_BYTES = 1 << 32
"""The most bytes a chunk's arrays may hold: beyond it the engine's replay refuses the chunk's
samples anyway (``tessarin_engine.replay_records``)."""
JOURNAL = ".journal"
SET_ASIDE = "set-aside"
CHECKSUM_KEY = "sha256"
_KEYS = ("format_version", "dim", "actions", "game_lengths", "policy", "has_policy", "payoffs")
_log = logging.getLogger(__name__)
_ENTRY = re.compile(r"game-(\d{20})-(\d{7})-(\d{6})\.npz")


class GameRecord(NamedTuple):
    """One finished self-play game: (player, tile) of every action, one policy target per
    action ((tile, share of the search's visits) per child; NaN or 0 / 0 shares where the action
    has no target), and the payoff by absolute player. The engine's batch gives exactly these
    three; the worker module's record carries the worker id in front (`of_module`)."""

    history: Sequence[tuple[int, int]]
    policies: Sequence[Sequence[tuple[int, float]]]
    payoff: Sequence[float]

    @classmethod
    def of_module(cls, item: Any) -> GameRecord:
        """The record ``tessarin_self_play.play_training_game`` puts on its result queue,
        ``(id, (history, policies, payoff))``, without the id."""
        _, (history, policies, payoff) = item
        return cls(history, policies, payoff)


class RecordError(ValueError):
    """A record chunk that cannot be used; the message starts with the file's path.

    `damaged` is False for a sound chunk that does not fit (another board side)."""

    def __init__(self, path: str | os.PathLike[str], problem: str, damaged: bool = True) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = Path(path)
        self.damaged = damaged


@dataclass(frozen=True)
class Chunk:
    """The arrays of one chunk file (see the module docstring for their meaning)."""

    dim: int
    actions: npt.NDArray[np.int32]
    game_lengths: npt.NDArray[np.int32]
    policy: npt.NDArray[np.float32]
    has_policy: npt.NDArray[np.bool_]
    payoffs: npt.NDArray[np.float32]
    config: dict[str, Any]

    @property
    def games(self) -> int:
        return len(self.game_lengths)


_Game = tuple[npt.NDArray[np.int32], npt.NDArray[np.float32], npt.NDArray[np.bool_], Any]


class RecordWriter:
    """Collects training records and writes them in chunks of `games_per_chunk` games, each
    game journaled as it is added (see the module docstring).

    Use as a context manager (or call `close`) so that the last, partial chunk is written too.
    `paths` lists the chunks written, starting with those recovered from the journals of dead
    writers when the folder was opened.
    """

    def __init__(
        self, folder: str | os.PathLike[str], game_settings: GameSettings, games_per_chunk: int = 64
    ) -> None:
        if games_per_chunk < 1:
            raise ValueError("games_per_chunk must be at least 1")
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.journal = self.folder / JOURNAL
        self.dim = game_settings.dim
        self.games_per_chunk = games_per_chunk
        self.paths: list[Path] = recover_journal(self.folder)
        self._config = json.dumps(dataclasses.asdict(game_settings), sort_keys=True)
        self._pending: list[_Game] = []
        self._entries: list[Path] = []
        self._last_stamp = 0
        self._added = 0

    def add(self, record: GameRecord) -> None:
        """Converts one record and journals it at once (a malformed one fails here)."""
        game = self._convert(record)
        stamp = max(time.time_ns(), self._last_stamp + 1)
        self._last_stamp = stamp
        entry = self.journal / f"game-{stamp:020d}-{os.getpid():07d}-{self._added:06d}.npz"
        self.journal.mkdir(exist_ok=True)
        # A signal between the write and the listing would leave an entry that this writer's
        # chunk leaves out: it would stay in the journal until another command recovered it.
        with signals_deferred():
            try:
                _write_atomically(entry, _chunk_arrays([game], self.dim, self._config), sync=False)
            except BaseException:
                _remove_if_empty(self.journal)
                raise
            self._added += 1
            self._pending.append(game)
            self._entries.append(entry)
        if len(self._pending) >= self.games_per_chunk:
            self.flush()

    def _convert(self, record: GameRecord) -> _Game:
        history, policies, payoff = record
        if len(history) != len(policies) or len(payoff) != PLAYERS:
            raise ValueError("record: history and policies differ in length, or payoff not 4")
        if not all(math.isfinite(value) for value in payoff):
            raise ValueError(f"record: payoff {list(payoff)} is not finite")
        cells = self.dim * self.dim
        actions = np.asarray(history, dtype=np.int32).reshape(len(history), 2)
        if np.any((actions[:, 0] < 0) | (actions[:, 0] >= PLAYERS)):
            raise ValueError("record: player outside 0..3")
        if np.any((actions[:, 1] < 0) | (actions[:, 1] >= cells)):
            raise ValueError(f"record: tile outside the {self.dim} x {self.dim} board")
        dense = np.zeros((len(policies), cells), dtype=np.float32)
        has_policy = np.zeros(len(policies), dtype=bool)
        for step, policy in enumerate(policies):
            shares = [share for _, share in policy]
            # 0 / 0 shares mean the search ran no simulation: no target, not a bad record.
            if policy and all(math.isfinite(s) and s >= 0 for s in shares) and sum(shares) > 0:
                tiles = [tile for tile, _ in policy]
                dense[step, tiles] = shares
                has_policy[step] = True
        return actions, dense, has_policy, np.asarray(payoff, dtype=np.float32)

    def flush(self) -> None:
        """Writes the pending games, if any, as one chunk, then drops their journal entries."""
        if not self._pending:
            return
        arrays = _chunk_arrays(self._pending, self.dim, self._config)
        with signals_deferred():  # the chunk, then its entries gone, then the lists emptied
            self.paths.append(_write_atomically(_chunk_path_of(self._entries[0]), arrays))
            _remove_entries(self._entries)
            self._pending.clear()
            self._entries.clear()
            _remove_if_empty(self.journal)

    def close(self) -> None:
        self.flush()

    def __enter__(self) -> RecordWriter:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()


def _chunk_arrays(games: Sequence[_Game], dim: int, config: str) -> dict[str, Any]:
    arrays: dict[str, Any] = {
        "format_version": np.int32(FORMAT_VERSION),
        "dim": np.int32(dim),
        "actions": np.concatenate([g[0] for g in games]),
        "game_lengths": np.array([len(g[0]) for g in games], dtype=np.int32),
        "policy": np.concatenate([g[1] for g in games]),
        "has_policy": np.concatenate([g[2] for g in games]),
        "payoffs": np.stack([g[3] for g in games]),
        "config": np.array(config),
    }
    arrays[CHECKSUM_KEY] = np.array(digest_arrays(arrays))
    return arrays


def _chunk_path_of(entry: Path) -> Path:
    """The chunk that the games from journal entry `entry` on are written to."""
    return entry.parent.parent / entry.name.replace("game-", "chunk-", 1)


def _remove_entries(entries: Sequence[Path]) -> None:
    """Last first: the first entry, which names the chunk, goes only when all others have."""
    for entry in reversed(entries):
        entry.unlink(missing_ok=True)


def _remove_if_empty(folder: Path) -> None:
    """The journal folder exists only while it holds games: a folder of chunks stays just that."""
    try:
        folder.rmdir()
    except OSError:  # not empty (another writer's games), or gone
        pass


def _write_atomically(path: Path, arrays: dict[str, Any], sync: bool = True) -> Path:
    """`sync` also survives a crash of the machine; a journal entry only needs to survive its
    process, and the page cache does that."""
    temporary = path.with_name(f".{path.name}.tmp")
    try:
        with open(temporary, "wb") as stream:
            np.savez_compressed(stream, **arrays)
            stream.flush()
            if sync:
                os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return path


def _process_alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # someone else's process
        return True
    return True


def recover_journal(folder: str | os.PathLike[str]) -> list[Path]:
    """Turns the journal entries of dead writers in `folder` into chunks; returns the chunks
    written. An entry that cannot be read is set aside with a warning."""
    journal = Path(folder) / JOURNAL
    by_writer: dict[int, list[Path]] = {}
    for entry in sorted(journal.glob("game-*.npz")) if journal.is_dir() else []:
        match = _ENTRY.fullmatch(entry.name)
        if match is not None:
            by_writer.setdefault(int(match.group(2)), []).append(entry)
    written = []
    for pid, entries in by_writer.items():
        if _process_alive(pid):
            continue
        # A kill can only have interrupted the writer's last removal: from the first entry whose
        # chunk exists on, the games are in that chunk; the entries before it never were.
        flushed = next(
            (i for i, entry in enumerate(entries) if _chunk_path_of(entry).exists()), len(entries)
        )
        if flushed > 0:
            written.extend(_merge(entries[:flushed]))
        _remove_entries(entries)
    if by_writer:
        _remove_if_empty(journal)
    return written


def _merge(entries: Sequence[Path]) -> list[Path]:
    """Writes the games of the readable entries as the chunk the first entry names."""
    games: list[_Game] = []
    dim, config = 0, ""
    for entry in entries:
        try:
            chunk = read_chunk(entry)
            if games and chunk.dim != dim:
                raise RecordError(entry, f"board side {chunk.dim} in a journal of side {dim}")
        except RecordError as error:
            _log.warning("%s; set aside as %s", error, set_aside(entry, Path(entry).parent.parent))
            continue
        dim, config = chunk.dim, json.dumps(chunk.config, sort_keys=True)
        games.append((chunk.actions, chunk.policy, chunk.has_policy, chunk.payoffs[0]))
    if not games:
        return []
    path = _chunk_path_of(entries[0])
    _log.warning("%d games of an ended run recovered from its journal into %s", len(games), path)
    return [_write_atomically(path, _chunk_arrays(games, dim, config))]


def set_aside(path: str | os.PathLike[str], records: str | os.PathLike[str]) -> Path:
    """Moves an unusable file into ``set-aside/`` under `records`, where it is out of every
    reader's way but kept for inspection; returns its new path."""
    folder = Path(records) / SET_ASIDE
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / Path(path).name
    serial = 1
    while target.exists():
        serial += 1
        target = folder / f"{Path(path).stem}.{serial}{Path(path).suffix}"
    os.replace(path, target)
    return target


def read_chunk(path: str | os.PathLike[str]) -> Chunk:
    """Loads and checks one chunk file; raises RecordError, which names the file and says what
    is wrong with it, for anything but a sound chunk.

    The sizes its arrays declare are checked against the file before any array is read, so a
    small forged file cannot make the reader allocate gigabytes; the games themselves are
    checked when they are replayed (``training.tensors``)."""
    try:
        with open(path, "rb") as stream:
            # A lone array file would be read, and allocated, by np.load before any check.
            if stream.read(4) != b"PK\x03\x04":
                raise RecordError(path, "not a record chunk (not a zip archive)")
        with np.load(Path(path), allow_pickle=False) as archive:
            _check_declared_sizes(path, archive.zip)
            stored = {key: archive[key] for key in archive.files}
    except RecordError:
        raise
    except OSError as error:
        raise RecordError(path, f"cannot be read ({error.strerror or error})") from error
    except Exception as error:  # zipfile, zlib, pickle and NumPy errors of a damaged file
        problem = f"not a readable record chunk ({describe(error)})"
        raise RecordError(path, problem) from error
    missing = [key for key in (*_KEYS, "config") if key not in stored]
    if missing:
        raise RecordError(path, f"not a record chunk: no {', '.join(missing)}")
    try:
        version = int(stored["format_version"])
    except (TypeError, ValueError) as error:
        raise RecordError(path, f"malformed format version ({describe(error)})") from error
    if version != FORMAT_VERSION:  # before the checksum: a newer format may sum otherwise
        raise RecordError(path, f"unsupported record format version {version}")
    if CHECKSUM_KEY in stored:
        content = {key: value for key, value in stored.items() if key != CHECKSUM_KEY}
        if str(stored[CHECKSUM_KEY]) != digest_arrays(content):
            raise RecordError(path, "checksum mismatch: the file is damaged")
    try:
        chunk = Chunk(
            dim=int(stored["dim"]),
            actions=stored["actions"].astype(np.int32),
            game_lengths=stored["game_lengths"].astype(np.int32),
            policy=stored["policy"].astype(np.float32),
            has_policy=stored["has_policy"].astype(bool),
            payoffs=stored["payoffs"].astype(np.float32),
            config=json.loads(str(stored["config"])),
        )
    except (TypeError, ValueError) as error:
        raise RecordError(path, f"malformed content ({describe(error)})") from error
    _check_content(path, chunk)
    return chunk


def _check_declared_sizes(path: str | os.PathLike[str], archive: zipfile.ZipFile) -> None:
    """Refuses an archive whose arrays declare more bytes than its members can hold, or than
    MAX_CHUNK_BYTES in all, reading only the members' array headers: NumPy allocates an array
    from its header before it reads the data."""
    file_size = os.path.getsize(path)
    total = 0
    for member in archive.infolist():
        if member.compress_size > file_size or member.file_size > _most_inflated(member):
            raise RecordError(path, f"member {member.filename} declares more than the file holds")
        with archive.open(member) as stream:
            version = np.lib.format.read_magic(stream)
            if version == (1, 0):
                shape, _, dtype = np.lib.format.read_array_header_1_0(stream)
            elif version == (2, 0):
                shape, _, dtype = np.lib.format.read_array_header_2_0(stream)
            else:
                raise RecordError(path, f"member {member.filename}: array format {version}")
            header = stream.tell()
        declared = math.prod(shape) * dtype.itemsize
        if header + declared > member.file_size:
            problem = f"array {member.filename} declares {declared} bytes, more than it holds"
            raise RecordError(path, problem)
        total += declared
    if total > MAX_CHUNK_BYTES:
        raise RecordError(path, f"its arrays hold {total} bytes, more than {MAX_CHUNK_BYTES}")


def _most_inflated(member: zipfile.ZipInfo) -> int:
    """The most bytes a member's stored data can unpack to: deflate turns 258 bytes into a few
    bits at best (at most 1,032 to 1)."""
    if member.compress_type == zipfile.ZIP_STORED:
        return member.compress_size
    return 1032 * member.compress_size + 1024


def _check_content(path: str | os.PathLike[str], chunk: Chunk) -> None:
    steps = len(chunk.actions)
    if not MIN_DIM <= chunk.dim <= MAX_DIM:
        problem = f"board side {chunk.dim} is not one the engine plays ({MIN_DIM} to {MAX_DIM})"
        raise RecordError(path, problem)
    if (
        chunk.game_lengths.ndim != 1
        or int(chunk.game_lengths.sum()) != steps
        or np.any(chunk.game_lengths < 0)
        or chunk.actions.shape != (steps, 2)
        or chunk.policy.shape != (steps, chunk.dim * chunk.dim)
        or chunk.has_policy.shape != (steps,)
        or chunk.payoffs.shape != (chunk.games, PLAYERS)
    ):
        raise RecordError(path, "inconsistent array shapes")
    games = np.flatnonzero(~np.isfinite(chunk.payoffs).all(axis=1))
    if len(games):
        payoff = chunk.payoffs[games[0]].tolist()
        raise RecordError(path, f"game {games[0]}: payoffs {payoff} are not finite")
    rows = np.flatnonzero(~(np.isfinite(chunk.policy) & (chunk.policy >= 0)).all(axis=1))
    if len(rows):
        raise RecordError(
            path, f"{_action_at(chunk, rows[0])}: visit shares not finite or negative"
        )


def _action_at(chunk: Chunk, row: int) -> str:
    """Where row `row` of the chunk's arrays is, as the engine's replay names it."""
    ends = np.cumsum(chunk.game_lengths)
    game = int(np.searchsorted(ends, row, side="right"))
    return f"game {game}, action {row - (int(ends[game - 1]) if game else 0)} (row {row})"

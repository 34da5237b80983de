"""Self-play records on disk, and the training tensors rebuilt from them.

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
=================  ==================  ====================================================

Positions are not stored: they follow from replaying ``actions`` through ``tessarin_engine``,
which keeps chunks small and makes the engine the only authority on what a position looks like.
A chunk is written under a hidden temporary name ending in ``.tmp`` and renamed to its final
``chunk-<nanoseconds>-<pid>-<sequence>.npz`` name, so readers never see half a chunk and chunk
names sort in the order they were written.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt
import tessarin_engine
import torch

from .settings import GameSettings
from .symmetry import EXACT_SYMMETRIES, transform_sample

FORMAT_VERSION = 1
PLANES = 5
PLAYERS = 4

History = Sequence[tuple[int, int]]
Policies = Sequence[Sequence[tuple[int, float]]]
TrainingRecord = tuple[int, tuple[History, Policies, Sequence[float]]]
"""What ``tessarin_self_play.play_training_game`` puts on its result queue."""


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


class RecordWriter:
    """Collects training records and writes them in chunks of `games_per_chunk` games.

    Use as a context manager (or call `close`) so that the last, partial chunk is written too.
    """

    def __init__(
        self, folder: str | os.PathLike[str], game_settings: GameSettings, games_per_chunk: int = 64
    ) -> None:
        if games_per_chunk < 1:
            raise ValueError("games_per_chunk must be at least 1")
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.dim = game_settings.dim
        self.games_per_chunk = games_per_chunk
        self.paths: list[Path] = []
        self._config = json.dumps(dataclasses.asdict(game_settings), sort_keys=True)
        self._pending: list[tuple[npt.NDArray[Any], ...]] = []
        self._last_stamp = 0

    def add(self, record: TrainingRecord) -> None:
        """Converts one record at once (so a malformed one fails here, not at flush time)."""
        _, (history, policies, payoff) = record
        if len(history) != len(policies) or len(payoff) != PLAYERS:
            raise ValueError("record: history and policies differ in length, or payoff not 4")
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
            if policy and all(math.isfinite(s) for s in shares) and sum(shares) > 0:
                tiles = [tile for tile, _ in policy]
                dense[step, tiles] = shares
                has_policy[step] = True
        self._pending.append((actions, dense, has_policy, np.asarray(payoff, dtype=np.float32)))
        if len(self._pending) >= self.games_per_chunk:
            self.flush()

    def flush(self) -> None:
        """Writes the pending games, if any, as one chunk."""
        if not self._pending:
            return
        stamp = max(time.time_ns(), self._last_stamp + 1)
        self._last_stamp = stamp
        name = f"chunk-{stamp:020d}-{os.getpid():07d}-{len(self.paths):06d}.npz"
        arrays = {
            "format_version": np.int32(FORMAT_VERSION),
            "dim": np.int32(self.dim),
            "actions": np.concatenate([g[0] for g in self._pending]),
            "game_lengths": np.array([len(g[0]) for g in self._pending], dtype=np.int32),
            "policy": np.concatenate([g[1] for g in self._pending]),
            "has_policy": np.concatenate([g[2] for g in self._pending]),
            "payoffs": np.stack([g[3] for g in self._pending]),
            "config": np.array(self._config),
        }
        self.paths.append(_write_atomically(self.folder / name, arrays))
        self._pending.clear()

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


def _write_atomically(path: Path, arrays: dict[str, Any]) -> Path:
    temporary = path.with_name(f".{path.name}.tmp")
    try:
        with open(temporary, "wb") as stream:
            np.savez_compressed(stream, **arrays)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return path


def read_chunk(path: str | os.PathLike[str]) -> Chunk:
    """Loads and checks one chunk file."""
    with np.load(Path(path), allow_pickle=False) as archive:
        version = int(archive["format_version"])
        if version != FORMAT_VERSION:
            raise ValueError(f"{path}: unsupported record format version {version}")
        chunk = Chunk(
            dim=int(archive["dim"]),
            actions=archive["actions"].astype(np.int32),
            game_lengths=archive["game_lengths"].astype(np.int32),
            policy=archive["policy"].astype(np.float32),
            has_policy=archive["has_policy"].astype(bool),
            payoffs=archive["payoffs"].astype(np.float32),
            config=json.loads(str(archive["config"])),
        )
    steps = len(chunk.actions)
    if (
        int(chunk.game_lengths.sum()) != steps
        or chunk.actions.shape != (steps, 2)
        or chunk.policy.shape != (steps, chunk.dim * chunk.dim)
        or chunk.has_policy.shape != (steps,)
        or chunk.payoffs.shape != (chunk.games, PLAYERS)
    ):
        raise ValueError(f"{path}: inconsistent array shapes")
    return chunk


@dataclass(frozen=True)
class TrainingTensors:
    """Training samples, one per recorded action that has a policy target.

    states [M, 5, d, d] (the engine's planes for the player to move), policy [M, d * d] (visit
    shares, summing to 1), value [M, 4] (payoff shares relative to the player to move: entry j
    belongs to player (mover + j) mod 4, the order of the network's value logits).
    """

    states: torch.Tensor
    policy: torch.Tensor
    value: torch.Tensor

    def __len__(self) -> int:
        return int(self.states.shape[0])


def load_training_tensors(
    paths: Iterable[str | os.PathLike[str]],
    augment: bool,
    rng: np.random.Generator | None = None,
) -> TrainingTensors:
    """Replays every game of the chunks at `paths` and builds its training samples.

    With `augment`, every sample is turned by one exact board symmetry drawn at random from
    `rng` (the identity included), so the data set keeps its size while each training phase sees
    other orientations. All chunks must share one board side.
    """
    chunks = [read_chunk(path) for path in paths]
    if not chunks:
        raise ValueError("no chunks to load")
    dim = chunks[0].dim
    if any(chunk.dim != dim for chunk in chunks):
        raise ValueError("chunks of different board sides cannot share one tensor set")
    total = sum(int(chunk.has_policy.sum()) for chunk in chunks)
    states = np.empty((total, PLANES, dim, dim), dtype=np.uint8)
    policy = np.empty((total, dim * dim), dtype=np.float32)
    value = np.empty((total, PLAYERS), dtype=np.float32)
    filled = 0
    for chunk in chunks:
        filled = _replay_chunk(chunk, states, policy, value, filled)
    planes = states.astype(np.float32)
    if augment:
        generator = rng if rng is not None else np.random.default_rng()
        choice = generator.integers(len(EXACT_SYMMETRIES), size=total)
        for index, symmetry in enumerate(EXACT_SYMMETRIES):
            rows = np.flatnonzero(choice == index)
            planes[rows], policy[rows], value[rows] = transform_sample(
                symmetry, planes[rows], policy[rows], value[rows]
            )
    return TrainingTensors(
        torch.from_numpy(planes), torch.from_numpy(policy), torch.from_numpy(value)
    )


def _replay_chunk(
    chunk: Chunk,
    states: npt.NDArray[np.uint8],
    policy: npt.NDArray[np.float32],
    value: npt.NDArray[np.float32],
    filled: int,
) -> int:
    """Fills samples from `filled` on with the chunk's games; returns the next free row.

    The replay checks the record against the engine (right player to move, legal tiles, game
    over at the end), so a record from another rule set or a damaged file is refused instead of
    silently producing wrong positions.
    """
    dim = chunk.dim
    start = 0
    for game_index, length in enumerate(chunk.game_lengths):
        game = tessarin_engine.Game(dim)
        payoff = chunk.payoffs[game_index]
        for step in range(start, start + int(length)):
            player, tile = (int(x) for x in chunk.actions[step])
            if game.current_player != player:
                raise ValueError(f"game {game_index}: player {player} is not to move at {step}")
            if chunk.has_policy[step]:
                raw = np.frombuffer(game.state(), dtype=np.uint8)
                states[filled] = raw.reshape(PLANES, dim, dim)
                policy[filled] = chunk.policy[step]
                value[filled] = np.roll(payoff, -player)
                filled += 1
            game.apply(tile)
        if not game.is_terminal():
            raise ValueError(f"game {game_index} ends before the game is over")
        start += int(length)
    return filled

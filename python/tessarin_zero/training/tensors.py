"""Training tensors rebuilt from the self-play record chunks (see ``storage.records`` for the
files): every game is replayed through the engine, and each action with a policy target becomes
a sample."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Optional

import numpy as np
import numpy.typing as npt
import tessarin_engine
import torch

from tessarin_zero.common.errors import describe
from tessarin_zero.common.game import INPUT_PLANES, PLAYERS
from tessarin_zero.storage.records import Chunk, RecordError, read_chunk
from tessarin_zero.training.symmetry import EXACT_SYMMETRIES, transform_sample

UNOWNED = PLAYERS
"""Ownership class of a cell that no player covers at the end of the game."""


@dataclass(frozen=True)
class TrainingTensors:
    """Training samples, one per recorded action that has a policy target.

    states [M, 5, d, d] (the engine's planes for the player to move), policy [M, d * d] (visit
    shares, summing to 1), value [M, 4] (payoff shares relative to the player to move: entry j
    belongs to player (mover + j) mod 4, the order of the network's value logits), and
    optionally ownership [M, d, d] (uint8: who covers each cell when the game is over, j for
    player (mover + j) mod 4 and UNOWNED for nobody; an auxiliary target of the network).
    """

    states: torch.Tensor
    policy: torch.Tensor
    value: torch.Tensor
    ownership: Optional[torch.Tensor] = None

    def __len__(self) -> int:
        return int(self.states.shape[0])


Refusal = Callable[[RecordError], None]
"""Told about each chunk that is left out; without one, the first such chunk raises."""


def load_training_tensors(
    paths: Sequence[str | os.PathLike[str]],
    augment: bool,
    rng: np.random.Generator | None = None,
    *,
    dim: Optional[int] = None,
    newest: int = 0,
    on_refused: Optional[Refusal] = None,
) -> TrainingTensors:
    """Replays every game of the chunks at `paths` (in the order written) and builds its
    training samples.

    All chunks must have board side `dim` (default: that of the newest chunk read). With
    `newest` > 0 only the newest that many usable chunks are read. A chunk that cannot be read,
    does not replay or has another side raises RecordError (which names it), or, given
    `on_refused`, is reported there and left out.

    With `augment`, every sample is turned by one exact board symmetry drawn at random from
    `rng` (the identity included), so the data set keeps its size while each training phase sees
    other orientations.
    """
    parts: list[Samples] = []
    for path in reversed(list(paths)):
        if 0 < newest <= len(parts):
            break
        try:
            chunk = read_chunk(path)
            if dim is None:
                dim = chunk.dim
            elif chunk.dim != dim:
                raise RecordError(path, f"board side {chunk.dim}, not {dim}", damaged=False)
            parts.append(_replay_chunk(path, chunk))
        except RecordError as error:
            if on_refused is None:
                raise
            on_refused(error)
    if not parts:
        raise ValueError("no usable record chunks to load")
    parts.reverse()
    states = np.concatenate([part[0] for part in parts])
    policy = np.concatenate([part[1] for part in parts])
    value = np.concatenate([part[2] for part in parts])
    ownership = np.concatenate([part[3] for part in parts])
    planes = states.astype(np.float32)
    if augment:
        generator = rng if rng is not None else np.random.default_rng()
        choice = generator.integers(len(EXACT_SYMMETRIES), size=len(planes))
        for index, symmetry in enumerate(EXACT_SYMMETRIES):
            rows = np.flatnonzero(choice == index)
            planes[rows], policy[rows], value[rows] = transform_sample(
                symmetry, planes[rows], policy[rows], value[rows]
            )
            # Ownership is relative to the mover like the planes, so it turns with the board.
            ownership[rows] = symmetry.board(ownership[rows])
    return TrainingTensors(
        torch.from_numpy(planes),
        torch.from_numpy(policy),
        torch.from_numpy(value),
        torch.from_numpy(ownership),
    )


Samples = tuple[
    npt.NDArray[np.uint8], npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.uint8]
]
"""States, policy targets, value targets and ownership targets of one chunk."""


def _replay_chunk(path: str | os.PathLike[str], chunk: Chunk) -> Samples:
    """The chunk's samples: states, policy, value and ownership targets.

    The replay checks the record against the engine (right player to move, legal tiles, game
    over at the end), so a record from another rule set or a damaged file is refused instead of
    silently producing wrong positions.
    """
    dim = chunk.dim
    total = int(chunk.has_policy.sum())
    states = np.empty((total, INPUT_PLANES, dim, dim), dtype=np.uint8)
    policy = np.empty((total, dim * dim), dtype=np.float32)
    value = np.empty((total, PLAYERS), dtype=np.float32)
    ownership = np.empty((total, dim, dim), dtype=np.uint8)
    movers = np.empty(total, dtype=np.int64)
    filled = 0
    start = 0
    for game_index, length in enumerate(chunk.game_lengths):
        game = tessarin_engine.Game(dim)
        payoff = chunk.payoffs[game_index]
        first_sample = filled
        for step in range(start, start + int(length)):
            player, tile = (int(x) for x in chunk.actions[step])
            if game.current_player != player:
                problem = f"game {game_index}: player {player} is not to move at action {step}"
                raise RecordError(path, problem)
            if chunk.has_policy[step]:
                raw = np.frombuffer(game.state(), dtype=np.uint8)
                states[filled] = raw.reshape(INPUT_PLANES, dim, dim)
                policy[filled] = chunk.policy[step]
                value[filled] = np.roll(payoff, -player)
                movers[filled] = player
                filled += 1
            try:
                game.apply(tile)
            except Exception as error:
                problem = f"game {game_index}, action {step}: {describe(error)}"
                raise RecordError(path, problem) from error
        if not game.is_terminal():
            raise RecordError(path, f"game {game_index} ends before the game is over")
        actions = chunk.actions[start : start + int(length)]
        ownership[first_sample:filled] = relative_owners(actions, movers[first_sample:filled], dim)
        start += int(length)
    return states, policy, value, ownership


def relative_owners(
    actions: npt.NDArray[np.integer], movers: npt.NDArray[np.int64], dim: int
) -> npt.NDArray[np.uint8]:
    """Ownership targets [len(movers), d, d] of one replayed game: every cell covered by one of
    its (player, tile) `actions` belongs to that player for good, seen from each mover in turn
    (j for player (mover + j) mod 4), and UNOWNED where no action covers it."""
    owner = np.full(dim * dim, -1, dtype=np.int64)
    owner[actions[:, 1].astype(np.int64)] = actions[:, 0]
    relative = (owner[None, :] - movers[:, None]) % PLAYERS
    relative[:, owner < 0] = UNOWNED
    return relative.astype(np.uint8).reshape(len(movers), dim, dim)

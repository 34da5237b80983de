"""Training tensors rebuilt from the self-play record chunks (see ``storage.records`` for the
files): every game is replayed and checked on the engine, and each action with a policy target
becomes a sample."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Optional

import numpy as np
import numpy.typing as npt
import tessarin_engine
import torch

from tessarin_zero.common.game import PLAYERS
from tessarin_zero.storage.records import Chunk, RecordError, read_chunk
from tessarin_zero.training.symmetry import EXACT_SYMMETRIES, transform_sample

UNOWNED = PLAYERS
"""Ownership class of a cell that no player covers at the end of the game (the engine's replay
writes it)."""


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

    All chunks must have board side `dim` (default: that of the newest usable chunk). With
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
            if dim is not None and chunk.dim != dim:
                raise RecordError(path, f"board side {chunk.dim}, not {dim}", damaged=False)
            parts.append(_replay_chunk(path, chunk))
            dim = chunk.dim  # the side of the newest usable chunk, not of a refused one
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

    The engine replays every game and checks it against the rules (``replay_records``): the
    player to move and the legality of every tile, the game over at its end, the payoffs the
    engine's for the final position, and every policy target a distribution over its position's
    legal tiles. A record from another rule set, a damaged or a forged file is refused, naming
    the game and the action, instead of producing wrong positions or targets.
    """
    try:
        states, values, ownership = tessarin_engine.replay_records(
            chunk.dim,
            np.ascontiguousarray(chunk.actions, dtype=np.int32),
            np.ascontiguousarray(chunk.game_lengths, dtype=np.int32),
            np.ascontiguousarray(chunk.policy, dtype=np.float32),
            np.ascontiguousarray(chunk.has_policy, dtype=np.bool_),
            np.ascontiguousarray(chunk.payoffs, dtype=np.float32),
        )
    except ValueError as error:
        raise RecordError(path, str(error)) from error
    return (
        np.asarray(states),
        chunk.policy[chunk.has_policy],
        np.asarray(values),
        np.asarray(ownership),
    )

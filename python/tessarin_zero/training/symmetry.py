"""Board symmetries that are exact for training samples.

The piece set holds every orientation of every piece and the legality tests (inside the board,
no edge contact with one's own squares, corner contact) only look at the board's geometry, so the
rules are invariant under all 8 symmetries of the square except for two things that carry an
identity: each player's first piece must cover *its own* start corner (0 top left, 1 top right,
2 bottom right, 3 bottom left), and the turn passes 0, 1, 2, 3, i.e. clockwise around the
corners.

Moving the start corners with the board relabels the players: the player whose corner lands on
corner q becomes player q. A sample (position seen by the player to move, visit shares, values
relative to the mover) stays exact only if that relabelling keeps "the next player" the next
player, i.e. if it is a cyclic shift p -> p + k:

- a clockwise quarter turn sends corner p to corner p + 1, a half turn to p + 2, a
  counter-clockwise quarter turn to p + 3. The relabelled mover sees the turned board, its own
  squares in plane 0 and the squares of the players after it in planes 1 to 3 exactly as before,
  and the game goes on from there as the turned copy of the original. So the planes and the
  policy turn with the board, and the relative value targets do not change at all. The turned
  position can be one the engine's own games never reach (in them seat 0 always opens, here seat
  k did), but the state of a game, not its opening seat, fixes what follows, so the targets hold.
- a mirror (either axis or either diagonal) reverses the cyclic order of the corners. The mover's
  next player would then sit on the corner of the player before it: the mirrored sample describes
  a game played anticlockwise, which is not this game. Mirrors are left out.

The engine cannot reproduce a turned position as a whole, since it always opens with seat 0; the
tests check with the engine that turned openings replay with turned legal tiles, and check the
corner argument above against the engine's start corners.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TypeVar

import numpy as np
import numpy.typing as npt

from tessarin_zero.common.game import PLAYERS

Scalar = TypeVar("Scalar", bound=np.generic)


def start_corners(dim: int) -> tuple[int, ...]:
    """Start corner cell of players 0 to 3: top left, top right, bottom right, bottom left."""
    return (0, dim - 1, dim * dim - 1, (dim - 1) * dim)


@dataclass(frozen=True)
class Symmetry:
    """An optional left-right mirror followed by `turns` clockwise quarter turns."""

    turns: int
    mirror: bool = False

    @property
    def name(self) -> str:
        return ("mirror+" if self.mirror else "") + f"turn{self.turns * 90}"

    def board(self, array: npt.NDArray[Scalar]) -> npt.NDArray[Scalar]:
        """Transforms the last two axes (rows, columns) of `array`, whatever comes before them."""
        if self.mirror:
            array = np.flip(array, axis=-1)
        return np.ascontiguousarray(np.rot90(array, k=-self.turns, axes=(-2, -1)))

    def cells(self, dim: int) -> npt.NDArray[np.int64]:
        """cells[c] is the image of cell c."""
        image = self.board(np.arange(dim * dim).reshape(dim, dim)).ravel()
        mapping = np.empty(dim * dim, dtype=np.int64)
        mapping[image] = np.arange(dim * dim)
        return mapping

    def seats(self) -> tuple[int, ...]:
        """seats[p] is the player whose start corner is the image of player p's start corner."""
        dim = 4  # the corner pattern is the same on every board
        corners = start_corners(dim)
        images = self.cells(dim)
        return tuple(corners.index(int(images[corner])) for corner in corners)

    @property
    def is_exact(self) -> bool:
        """True when the relabelling of seats is a cyclic shift, keeping the turn order."""
        seats = self.seats()
        shift = seats[0]
        return all(seats[p] == (p + shift) % PLAYERS for p in range(PLAYERS))


ALL_SYMMETRIES: tuple[Symmetry, ...] = tuple(
    Symmetry(turns, mirror) for mirror in (False, True) for turns in range(4)
)
EXACT_SYMMETRIES: tuple[Symmetry, ...] = tuple(s for s in ALL_SYMMETRIES if s.is_exact)


def transform_sample(
    symmetry: Symmetry,
    planes: npt.NDArray[Scalar],
    policy: npt.NDArray[Scalar],
    value: npt.NDArray[Scalar],
) -> tuple[npt.NDArray[Scalar], npt.NDArray[Scalar], npt.NDArray[Scalar]]:
    """Applies an exact symmetry to samples: planes [..., 5, d, d], policy [..., d * d] and
    values [..., 4] relative to the mover (returned unchanged: see the module docstring).

    Leading axes are batch axes, so a whole batch turns in one call.
    """
    if not symmetry.is_exact:
        raise ValueError(f"{symmetry.name} does not keep the turn order: not an exact symmetry")
    dim = planes.shape[-1]
    if planes.shape[-2] != dim or policy.shape[-1] != dim * dim:
        raise ValueError(f"planes {planes.shape} and policy {policy.shape} do not match")
    turned_planes = symmetry.board(planes)
    turned_policy = symmetry.board(policy.reshape(*policy.shape[:-1], dim, dim))
    return turned_planes, turned_policy.reshape(policy.shape), value.copy()

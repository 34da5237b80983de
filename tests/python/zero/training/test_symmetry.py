"""Only the quarter turns are exact, and the engine agrees: a turned opening replays with turned
legal tiles, and its mover's view is the turned view exactly when the seats shift cyclically."""

from __future__ import annotations

import random

import numpy as np
import numpy.typing as npt
import pytest
import tessarin_engine

from tessarin_zero.training.symmetry import (
    ALL_SYMMETRIES,
    EXACT_SYMMETRIES,
    Symmetry,
    transform_sample,
)

Planes = npt.NDArray[np.uint8]
Pieces = dict[int, list[list[tuple[int, Planes]]]]


def planes_of(game: tessarin_engine.Game) -> Planes:
    return np.frombuffer(game.state(), np.uint8).reshape(5, game.dim, game.dim)


def test_exact_symmetries_are_the_four_turns_and_cycle() -> None:
    assert EXACT_SYMMETRIES == tuple(Symmetry(turns) for turns in range(4))
    rng = np.random.default_rng(0)
    sample = rng.random((2, 5, 6, 6)), rng.random((2, 36)), rng.random((2, 4))
    turned: tuple[npt.NDArray[np.float64], ...] = sample
    for turns in [1, 2, 3, 0]:  # the last: four quarter turns are the identity
        turned = transform_sample(Symmetry(1), *turned)
        expected = transform_sample(Symmetry(turns), *sample)
        assert all((mine == theirs).all() for mine, theirs in zip(turned, expected))
        assert sorted(Symmetry(turns).cells(6)) == list(range(36))
    with pytest.raises(ValueError):
        transform_sample(Symmetry(0, mirror=True), *sample)


def random_opening(dim: int, rounds: int, seed: int) -> tuple[Pieces, Planes]:
    """Random pieces of the first rounds: per player, per round, (tile, planes before it)."""
    rng = random.Random(seed)
    game = tessarin_engine.Game(dim)
    pieces: Pieces = {player: [] for player in range(4)}
    steps: list[tuple[int, Planes]]
    for _ in range(4 * rounds):
        player, steps = game.current_player, []
        while game.current_player == player:
            tile = rng.choice(game.legal_tiles())
            steps.append((tile, planes_of(game)))
            game.apply(tile)
        pieces[player].append(steps)
    return pieces, planes_of(game)


@pytest.mark.parametrize("symmetry", ALL_SYMMETRIES, ids=lambda s: s.name)
def test_engine_replays_turned_opening(symmetry: Symmetry) -> None:
    # On a 20 x 20 board two pieces stay inside their corner's 10 x 10 quarter, so the players'
    # openings do not interact and may be replayed in any seat order.
    dim, rounds = 20, 2
    pieces, final = random_opening(dim, rounds, seed=5)
    cells, seats = symmetry.cells(dim), symmetry.seats()
    game = tessarin_engine.Game(dim)
    for round_ in range(rounds):
        for seat in range(4):
            for tile, before in pieces[seats.index(seat)][round_]:
                assert game.current_player == seat
                now, expected = planes_of(game), symmetry.board(before)
                np.testing.assert_array_equal(now[[0, 4]], expected[[0, 4]])  # own, legal
                game.apply(int(cells[tile]))
            assert game.current_player == (seat + 1) % 4  # the piece completes as before
    # The mover is the player the symmetry moved onto seat 0. Its next players, as the engine
    # orders them, are the turned next players of that same player only if seats shift cyclically.
    view = np.roll(final[:4], -seats.index(0), axis=0)
    assert np.array_equal(planes_of(game)[:4], symmetry.board(view)) == symmetry.is_exact

"""tessarin_engine.replay_records: a chunk's arrays replayed on the engine come back as the
positions, payoffs and owners the engine gives, in buffers; arguments of the wrong kind raise
TypeError or ValueError naming what was expected, a record that breaks the rules a ValueError
naming its game and action, and a forged size is refused before anything is allocated.

Buffers are made with array/memoryview so that the tests run where NumPy is missing (PyPy)."""

from __future__ import annotations

import array
import importlib.util
import os
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any

import pytest
import tessarin_engine as te

DIM = 6
CELLS = DIM * DIM


@dataclass
class Chunk:
    """A chunk's arrays as flat Python lists, and the positions the engine showed on the way."""

    actions: list[int] = field(default_factory=list)  # player, tile, player, tile...
    lengths: list[int] = field(default_factory=list)
    policy: list[float] = field(default_factory=list)
    flags: list[bool] = field(default_factory=list)
    payoffs: list[float] = field(default_factory=list)
    states: list[bytes] = field(default_factory=list)  # of every action with a target
    movers: list[int] = field(default_factory=list)
    games: list[Any] = field(default_factory=list)  # the finished games

    def arguments(self) -> tuple[Any, ...]:
        return (
            DIM,
            shaped("i", self.actions, [len(self.flags), 2]),
            shaped("i", self.lengths, [len(self.lengths)]),
            shaped("f", self.policy, [len(self.flags), CELLS]),
            memoryview(bytes(self.flags)).cast("?"),
            shaped("f", self.payoffs, [len(self.lengths), 4]),
        )


def shaped(code: str, values: list[Any], shape: list[int]) -> memoryview:
    return memoryview(array.array(code, values)).cast("B").cast(code, shape)


def heuristic_games(games: int = 3, seed: int = 5) -> Chunk:
    """Heuristic games; every third action has no target, the others put their shares on the
    legal tiles, the chosen one weighted up."""
    chunk = Chunk()
    for number in range(games):
        game, player = te.Game(DIM), te.HeuristicPlayer(seed + number)
        while not game.is_terminal():
            tile, legal = player.choose(game), game.legal_tiles()
            target = len(chunk.flags) % 3 != 2
            shares = [0.0] * CELLS
            if target:
                for cell in legal:
                    shares[cell] = (4.0 if cell == tile else 1.0) / (len(legal) + 3)
                chunk.states.append(game.state())
                chunk.movers.append(game.current_player)
            chunk.actions += [game.current_player, tile]
            chunk.policy += shares
            chunk.flags.append(target)
            game.apply(tile)
        chunk.lengths.append(len(game.history))
        chunk.payoffs += game.payoff()
        chunk.games.append(game)
    return chunk


def test_samples_come_back_in_buffers_laid_out_as_the_engine_shows_them() -> None:
    chunk = heuristic_games()
    states, values, owners = te.replay_records(*chunk.arguments())
    samples = len(chunk.states)
    assert memoryview(states).shape == (samples, 5, DIM, DIM) and memoryview(states).format == "B"
    assert memoryview(values).shape == (samples, 4) and memoryview(values).format == "f"
    assert memoryview(owners).shape == (samples, DIM, DIM) and memoryview(owners).format == "B"
    assert bytes(memoryview(states)) == b"".join(chunk.states)
    # The last sample's rows: its game's payoff and final owners, seen from its mover.
    mover, game = chunk.movers[-1], chunk.games[-1]
    payoff = game.payoff()
    assert memoryview(values).tolist()[-1] == [payoff[(mover + j) % 4] for j in range(4)]
    owner = [4] * CELLS
    for player, tile in game.history:
        owner[tile] = (player - mover) % 4
    assert list(bytes(memoryview(owners))[-CELLS:]) == owner


def test_arguments_of_the_wrong_kind_are_refused_by_name() -> None:
    good = heuristic_games(1).arguments()
    rows = len(memoryview(good[4]))
    strided = memoryview(array.array("i", [0]) * (rows * 4)).cast("B").cast("i")[::2]
    cases: list[tuple[int, Any, type[Exception], str]] = [
        (
            1,
            shaped("q", [0] * rows * 2, [rows, 2]),
            TypeError,
            "actions must be a C-contiguous int32",
        ),
        (1, shaped("i", [0] * rows * 3, [rows, 3]), ValueError, r"shape \[n, 2\]"),
        (1, strided, ValueError, "actions must be"),
        (2, [3, 4], TypeError, "game_lengths must be .* not list"),
        (3, shaped("d", [0.0] * rows * CELLS, [rows, CELLS]), TypeError, "policy .* float32"),
        (3, shaped("f", [0.0] * rows * 16, [rows, 16]), ValueError, r"\[n, 36\]"),
        (4, memoryview(bytes(rows)), TypeError, "has_policy .* bool"),
        (5, shaped("f", [0.0] * 3, [1, 3]), ValueError, r"payoffs .* \[n, 4\]"),
    ]
    for position, argument, kind, message in cases:
        arguments = list(good)
        arguments[position] = argument
        with pytest.raises(kind, match=message):
            te.replay_records(*arguments)
    with pytest.raises(OverflowError):
        te.replay_records(-1, *good[1:])
    with pytest.raises(ValueError, match="board side 3 is not one the engine plays"):
        te.replay_records(3, *good[1:])


def test_a_record_against_the_rules_is_refused_with_its_game_and_action() -> None:
    chunk = heuristic_games(2)
    chunk.payoffs[4:8] = [1e6, -1e6, 0.0, 0.0]
    with pytest.raises(ValueError, match=r"^game 1: payoffs \[1000000, -1000000, 0, 0\] are not"):
        te.replay_records(*chunk.arguments())

    chunk = heuristic_games(2)
    row = chunk.lengths[0] + 4
    chunk.actions[2 * row + 1] = chunk.actions[2 * row - 1]  # the tile just played
    with pytest.raises(ValueError, match=rf"^game 1, action 4 \(row {row}\): Invalid move"):
        te.replay_records(*chunk.arguments())


def test_the_samples_memory_is_checked_before_it_is_allocated() -> None:
    chunk = heuristic_games(1)
    samples = len(chunk.states)
    needed = samples * (6 * CELLS + 16) + 8 * CELLS
    assert len(memoryview(te.replay_records(*chunk.arguments(), max_bytes=needed)[0])) == samples
    with pytest.raises(ValueError, match=f"needs {needed} bytes, more than the {needed - 1}"):
        te.replay_records(*chunk.arguments(), max_bytes=needed - 1)


# A game declared on the engine's largest side with no action at all: every array agrees with
# that side (no policy row), yet a board of that side alone takes gigabytes.
LARGEST_SIDE_EMPTY_GAME = """
import resource
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import numpy as np
import tessarin_engine as te
side = te.MAX_DIM
try:
    te.replay_records(
        side,
        np.zeros((0, 2), np.int32),
        np.zeros(1, np.int32),
        np.zeros((0, side * side), np.float32),
        np.zeros(0, bool),
        np.full((1, 4), 0.25, np.float32),
    )
except ValueError as error:
    print(error)
"""


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's shadow memory does not fit an address-space limit",
)
@pytest.mark.skipif(importlib.util.find_spec("numpy") is None, reason="NumPy is not installed")
def test_a_forged_side_is_refused_before_a_board_is_made() -> None:
    done = subprocess.run(
        [sys.executable, "-c", LARGEST_SIDE_EMPTY_GAME],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, OPENBLAS_NUM_THREADS="1"),
    )
    assert done.stdout == "game 0: 0 actions: the game cannot be over\n", done.stderr[-2000:]

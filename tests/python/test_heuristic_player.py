"""tessarin_engine.HeuristicPlayer: the engine's largest-piece heuristic as a Python seat."""

from __future__ import annotations

import random
from typing import Any

import pytest
import tessarin_engine


def play(dim: int, seed: int, heuristic_seats: set[int]) -> tessarin_engine.Game:
    """A whole game, heuristic players in `heuristic_seats` and random players elsewhere. An
    illegal tile from the heuristic raises ValueError out of apply."""
    chooser = random.Random(seed)
    players = {seat: tessarin_engine.HeuristicPlayer(seed * 4 + seat) for seat in heuristic_seats}
    game = tessarin_engine.Game(dim)
    while not game.is_terminal():
        seat = game.current_player
        if seat in players:
            tile = players[seat].choose(game)
        else:
            tile = chooser.choice(game.legal_tiles())
        game.apply(tile)
    return game


def turns(game: tessarin_engine.Game) -> list[tuple[int, int]]:
    """(player, squares) of every piece laid, from the history."""
    laid: list[tuple[int, int]] = []
    for player, _ in game.history:
        if laid and laid[-1][0] == player and laid[-1][1] < 5:
            laid[-1] = (player, laid[-1][1] + 1)
        else:
            laid.append((player, 1))
    return laid


@pytest.mark.parametrize("dim", [5, 7, 10, 20])
def test_heuristic_seats_play_legal_tiles_to_the_end(dim: int) -> None:
    for seed in range(12 if dim < 20 else 4):
        seats = {seat for seat in range(4) if (seed + 1) >> seat & 1} or {0}
        game = play(dim, seed, seats)
        assert game.is_terminal() and game.legal_tiles() == []
        assert sum(game.payoff()) == pytest.approx(1.0)


def test_the_first_pieces_on_an_open_board_are_five_squares() -> None:
    # On 20 x 20 every player can still lay a five-square piece for its first turns.
    game = play(20, 3, {0, 1, 2, 3})
    first = {player: [n for p, n in turns(game) if p == player][:3] for player in range(4)}
    assert first == {player: [5, 5, 5] for player in range(4)}


def test_a_seed_fixes_the_games_and_different_seeds_differ() -> None:
    histories = [play(10, seed, {0, 2}).history for seed in (1, 1, 2)]
    assert histories[0] == histories[1]
    assert any(
        play(10, seed, {0, 1, 2, 3}).history != play(10, 1, {0, 1, 2, 3}).history
        for seed in range(2, 6)
    )


def test_choose_plays_nothing_and_follows_its_placement() -> None:
    game = tessarin_engine.Game(20)
    player = tessarin_engine.HeuristicPlayer(seed=9)
    assert game.turn_tiles == 0
    tiles = []
    while game.current_player == 0:
        tile = player.choose(game)
        assert player.choose(game) == tile and game.history == [(0, t) for t in tiles]
        game.apply(tile)
        tiles.append(tile)
        assert game.turn_tiles == (len(tiles) if game.current_player == 0 else 0)
    assert len(tiles) == 5 and tiles == sorted(tiles) and tiles[0] == 0


@pytest.mark.parametrize(
    "seed, error", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("1", TypeError)]
)
def test_invalid_seed_raises(seed: Any, error: type[BaseException]) -> None:
    with pytest.raises(error):
        tessarin_engine.HeuristicPlayer(seed)


def test_choose_refuses_other_objects_and_finished_games() -> None:
    player = tessarin_engine.HeuristicPlayer(0)
    for other in (None, 7, "game", player):
        with pytest.raises(TypeError, match="tessarin_engine.Game"):
            player.choose(other)  # type: ignore[arg-type]
    finished = play(5, 0, {0, 1, 2, 3})
    with pytest.raises(ValueError, match="game is over"):
        player.choose(finished)
    assert tessarin_engine.HeuristicPlayer().choose(tessarin_engine.Game(7)) == 0

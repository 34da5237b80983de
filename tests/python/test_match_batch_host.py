"""tessarin_engine.MatchBatch with host seats and a start position, and what Game tells a page
(scores, pieces held): the host plays its seats' tiles between steps, a refused tile changes
nothing and says why, a start that breaks the rules is refused naming the action."""

from __future__ import annotations

import array
from typing import Any

import pytest
import tessarin_engine as te

DIM = 7
CELLS = DIM * DIM


def floats(rows: int, columns: int) -> memoryview:
    return (
        memoryview(array.array("f", [0.0]) * (rows * columns)).cast("B").cast("f", [rows, columns])
    )


def replay(history: Any) -> Any:
    """The game of a history Buffer or list of [player, tile]."""
    game = te.Game(DIM)
    for _, tile in history if isinstance(history, list) else memoryview(history).tolist():
        game.apply(tile)
    return game


def host_game(batch: Any) -> tuple[list[list[int]], list[float], list[list[int]]]:
    """Plays the one game of `batch` to its end, the host laying the lowest legal tile; returns
    its history, its payoff by seat and the (position's history length, tile) of every host
    tile."""
    host_tiles: list[list[int]] = []
    while True:
        positions, _, _ = batch.step()
        rows = memoryview(positions).shape[0]
        finished = batch.take_finished()
        if finished:
            _, by_seat, _, _, history = finished[0]
            return memoryview(history).tolist(), by_seat, host_tiles
        if rows:
            batch.complete(floats(rows, CELLS), floats(rows, 4))
            continue
        assert batch.host_turns() == [0]
        game = replay(batch.history(0))
        tile = game.legal_tiles()[0]
        host_tiles.append([len(game.history), tile])
        batch.play(0, tile)


@pytest.mark.parametrize("sims", [0, 4])
def test_the_host_plays_its_seats_between_steps_to_the_engines_payoff(sims: int) -> None:
    batch = te.MatchBatch(DIM, 1, ["host", 0, "heuristic", "random"], 1, sims, seed=9)
    history, by_seat, host_tiles = host_game(batch)
    game = replay(history)
    assert game.is_terminal() and game.payoff() == by_seat and batch.done
    assert host_tiles and all(history[at] == [0, tile] for at, tile in host_tiles)
    assert [at for at, _ in host_tiles] == [at for at, (p, _) in enumerate(history) if p == 0]


def test_a_refused_host_tile_changes_nothing_and_says_why() -> None:
    batch = te.MatchBatch(DIM, 1, ["heuristic", "host", "heuristic", "heuristic"], 1, seed=2)
    with pytest.raises(RuntimeError, match="does not wait for a host tile"):
        batch.play(0, 0)  # the heuristic seat 0 moves first, at the next step
    batch.step()
    before = memoryview(batch.history(0)).tolist()
    assert batch.host_turns() == [0] and before[-1][0] == 0
    with pytest.raises(ValueError, match="first piece must cover your start corner"):
        batch.play(0, (DIM - 1) * DIM)  # player 3's corner, far from player 1's
    with pytest.raises(ValueError, match="is already covered"):
        batch.play(0, before[0][1])
    for tile in (-1, CELLS):
        with pytest.raises(ValueError, match="off the board"):
            batch.play(0, tile)
    with pytest.raises(ValueError, match="slot 1 is not one of the batch's 1 slots"):
        batch.play(1, DIM - 1)
    with pytest.raises(TypeError):
        batch.play(0, "7")
    assert memoryview(batch.history(0)).tolist() == before and batch.host_turns() == [0]
    batch.play(0, DIM - 1)  # player 1's start corner
    assert memoryview(batch.history(0)).tolist() == [*before, [1, DIM - 1]]


def test_games_start_from_the_given_position() -> None:
    whole, _, _ = host_game(te.MatchBatch(DIM, 1, ["host", "heuristic", 0, "random"], 1, seed=4))
    start = [tuple(action) for action in whole[:17]]
    batch = te.MatchBatch(DIM, 1, ["host"] * 4, 1, start=start)
    assert memoryview(batch.history(0)).tolist() == whole[:17]
    assert batch.host_turns() == [0]
    history, _, host_tiles = host_game(batch)
    assert history[:17] == whole[:17] and len(host_tiles) == len(history) - 17


@pytest.mark.parametrize(
    "start, error, message",
    [
        ([(0, 0), (1, 1)], ValueError, "start action 1: player 1 is not to move"),
        ([(0, CELLS - 1)], ValueError, "start action 0: Invalid move - Player 0, Tile 48"),
        ([(0, CELLS)], ValueError, "start action 0: tile 49 is off the board"),
        ([(0, 0, 1)], ValueError, r"start\[0\] must be a \(player, tile\) pair"),
        ([0], TypeError, "start must hold"),
        (5, TypeError, "start must be None or a sequence"),
        ([(0, 2**40)], OverflowError, "out of range"),
    ],
)
def test_a_start_that_is_not_a_game_is_refused(start: Any, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        te.MatchBatch(DIM, 1, ["host"] * 4, 1, start=start)


def test_an_unknown_seat_names_the_host_among_the_players() -> None:
    with pytest.raises(ValueError, match='"heuristic" or "host"'):
        te.MatchBatch(DIM, 1, ["person", "random", "random", "random"], 1)


def test_history_of_a_slot_whose_games_are_over_is_refused() -> None:
    batch = te.MatchBatch(DIM, 1, ["random"] * 4, 1, seed=1)
    batch.step()
    assert batch.done
    with pytest.raises(RuntimeError, match="holds no game"):
        batch.history(0)
    with pytest.raises(ValueError, match="slot 3"):
        batch.history(3)


def test_scores_and_pieces_follow_the_game_and_the_payoff_goes_to_the_best_score() -> None:
    game = te.Game(DIM)
    assert game.scores() == [-89] * 4
    pieces = game.pieces(0)
    assert len(pieces) == 21 and sum(len(cells) for _, cells in pieces) == 89
    assert len({name for name, _ in pieces}) == 21
    assert pieces[0] == ("I1", [(0, 0)])
    for player in (-1, 4):
        with pytest.raises(ValueError, match="player must be from 0 to 3"):
            game.pieces(player)
    heuristic = te.HeuristicPlayer(seed=3)
    while not game.is_terminal():
        player, laid = game.current_player, len(game.pieces(game.current_player))
        game.apply(heuristic.choose(game))
        if game.turn_tiles == 0:  # a piece was completed
            assert len(game.pieces(player)) == laid - 1
    scores, payoff = game.scores(), game.payoff()
    squares = [sum(1 for p, _ in game.history if p == player) for player in range(4)]
    for player in range(4):
        held = sum(len(cells) for _, cells in game.pieces(player))
        assert squares[player] + held == 89
        assert scores[player] == squares[player] - 89 or not game.pieces(player)
        assert (payoff[player] > 0) == (scores[player] == max(scores))

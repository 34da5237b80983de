"""The inference requests of a game against random players, and the tiles seat 0 plays."""

from __future__ import annotations

import random
from typing import Callable

import pytest

from fakes import (
    Position,
    decode_position,
    make_host,
    opening_tiles,
    play_against_random,
    played_tiles,
    random_network,
    start_corner,
    uniform_network,
)

OPENING_20 = frozenset({0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80})


@pytest.mark.parametrize("rep, dim", [(1, 20), (2, 20), (1, 6), (2, 4)])
def test_first_request_shows_an_empty_board_and_the_opening_tiles(rep: int, dim: int) -> None:
    host = make_host(rep=rep, dim=dim)
    assert play_against_random(host) == 0
    first = host.inference_queue.items[0]
    assert type(first) is tuple and len(first) == 2
    _, nested = first
    shape = (len(nested), len(nested[0]), len(nested[0][0]))
    assert shape == ((5, dim, dim) if rep == 1 else (dim, dim, 5))
    # decode_position checks that every entry is a real bool.
    position = decode_position(nested, rep)
    assert position.planes[:4] == (frozenset(),) * 4
    assert position.legal == (OPENING_20 if dim == 20 else opening_tiles(0, dim))
    # Every request is built afresh, down to its planes.
    items = host.inference_queue.items
    assert len(items) > 1
    assert len({id(item[1]) for item in items}) == len(items)
    assert len({id(item[1][-1]) for item in items}) == len(items)


@pytest.mark.parametrize("rep, network", [(1, uniform_network), (2, random_network(1))])
def test_requests_follow_the_game_from_seat_zeros_view(
    rep: int, network: Callable[[Position], object]
) -> None:
    host = make_host(network, rep=rep, dim=20)
    assert play_against_random(host) == 0
    positions = host.positions()
    assert len(positions) == len(host.inference_queue.items) == host.pipe.calls

    for before, after in zip(positions, positions[1:]):
        for plane in range(4):
            assert before.planes[plane] <= after.planes[plane]
    for position in positions:
        planes = position.planes
        assert sum(len(p) for p in planes[:4]) == len(position.occupied)
        assert position.legal, "seat 0 is asked only when it has a legal tile"
        assert not position.legal & position.occupied
        # Beyond five squares a player's first piece is complete and covers its start corner.
        for player, squares in enumerate(planes[:4]):
            assert len(squares) <= 5 or start_corner(player, 20) in squares

    # One request per action of seat 0, never one for the random seats: seat 0 holds one square
    # fewer in each request than the number of requests so far.
    assert [len(p.planes[0]) for p in positions] == list(range(len(positions)))
    for position, tile in zip(positions, played_tiles(positions)):
        assert tile in position.legal


def central(tile: int) -> float:
    """Closeness to the centre of side 20; the small tile term breaks every tie."""
    return -abs(tile // 20 - 9.5) - abs(tile % 20 - 9.5) + 0.001 * tile


@pytest.mark.parametrize(
    "rep, score",
    [(1, lambda tile: -float(tile)), (2, lambda tile: float(tile) / 10), (2, central)],
    ids=["lowest", "highest", "central"],
)
def test_seat_zero_plays_the_legal_tile_the_network_prefers(
    rep: int, score: Callable[[int], float]
) -> None:
    host = make_host(lambda p: ([score(t) for t in range(400)], [0.0] * 4), rep=rep, dim=20)
    assert play_against_random(host) == 0
    positions = host.positions()
    tiles = played_tiles(positions)
    assert len(tiles) > 10
    for position, tile in zip(positions, tiles):
        assert tile == max(position.legal, key=score)


def test_large_logits_of_illegal_tiles_do_not_matter() -> None:
    rng = random.Random(5)

    def network(position: Position) -> tuple[list[float], list[float]]:
        logits = [1000.0] * (position.dim * position.dim)
        for tile in position.legal:
            logits[tile] = rng.uniform(-5.0, 5.0)
        return logits, [0.0] * 4

    host = make_host(network, dim=20)
    assert play_against_random(host) == 0
    tiles = played_tiles(host.positions())
    for (position, (logits, _)), tile in zip(host.pipe.answered, tiles):
        assert tile == max(position.legal, key=lambda t: logits[t])


def test_equal_priors_choose_some_legal_tile_and_vary_between_games() -> None:
    seen_first_tiles = set()
    for _ in range(20):
        host = make_host(dim=20)
        assert play_against_random(host) == 0
        positions = host.positions()
        tiles = played_tiles(positions)
        assert all(tile in p.legal for p, tile in zip(positions, tiles))
        seen_first_tiles.add(tiles[0])
    assert len(seen_first_tiles) > 1

"""The inference requests of a game against random players, and the tiles seat 0 plays."""

from __future__ import annotations

import random

import pytest

from fakes import (
    PAYOFF_VALUES,
    Position,
    decode_position,
    make_host,
    opening_tiles,
    play_against_random,
    played_tiles,
    preference_network,
    random_network,
    start_corner,
    uniform_network,
)

OPENING_20 = frozenset({0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80})


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize("dim", [20, 14, 7, 5, 4])
def test_first_request_shows_an_empty_board_and_the_opening_tiles(
    rep: int, dim: int
) -> None:
    host = make_host(rep=rep, dim=dim)
    assert play_against_random(host) == 0
    first = host.inference_queue.items[0]
    assert type(first) is tuple and len(first) == 2
    position = decode_position(first[1], rep)
    assert position.dim == dim
    assert position.planes[:4] == (frozenset(),) * 4
    assert position.legal == opening_tiles(0, dim)
    if dim == 20:
        assert position.legal == OPENING_20


@pytest.mark.parametrize("rep", [1, 2])
def test_request_nesting_per_representation(rep: int) -> None:
    host = make_host(rep=rep, dim=6)
    assert play_against_random(host) == 0
    _, position = host.inference_queue.items[0]
    shape = (len(position), len(position[0]), len(position[0][0]))
    assert shape == ((5, 6, 6) if rep == 1 else (6, 6, 5))
    if rep == 1:
        assert position[4][0][0] is True and position[4][5][5] is False
    else:
        assert position[0][0][4] is True and position[5][5][4] is False


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize("network_seed", [None, 1, 2])
def test_requests_follow_the_game_from_seat_zeros_view(
    rep: int, network_seed: int | None
) -> None:
    network = uniform_network if network_seed is None else random_network(network_seed)
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


def test_requests_are_fresh_lists() -> None:
    host = make_host(dim=7)
    assert play_against_random(host) == 0
    items = host.inference_queue.items
    assert len(items) > 1
    assert len({id(item[1]) for item in items}) == len(items)
    assert len({id(item[1][4]) for item in items}) == len(items)


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize(
    "preference",
    ["lowest", "highest", "central"],
)
def test_seat_zero_plays_the_legal_tile_the_network_prefers(
    rep: int, preference: str
) -> None:
    dim = 20
    if preference == "lowest":
        score = lambda tile: -float(tile)  # noqa: E731
    elif preference == "highest":
        score = lambda tile: float(tile) / 10  # noqa: E731
    else:
        # Closest to the centre; the small tile term breaks every tie.
        score = lambda tile: (  # noqa: E731
            -abs(tile // dim - 9.5) - abs(tile % dim - 9.5) + 0.001 * tile
        )
    host = make_host(preference_network(score), rep=rep, dim=dim)
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
    positions = host.positions()
    for (position, (logits, _)), tile in zip(
        host.pipe.answered, played_tiles(positions)
    ):
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


@pytest.mark.parametrize("dim", [4, 5, 7, 20])
def test_result_is_the_id_and_a_float_payoff(dim: int) -> None:
    host = make_host(random_network(dim), dim=dim)
    assert play_against_random(host, worker_id=-12) == 0
    [(worker_id, payoff)] = host.result_queue.items
    assert worker_id == -12
    assert type(payoff) is float and payoff in PAYOFF_VALUES

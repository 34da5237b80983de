"""The game of the model network against the baseline network."""

from __future__ import annotations

import itertools
from collections import Counter

import pytest

from fakes import (
    PAYOFF_VALUES,
    make_host,
    opening_tiles,
    play_baseline,
    played_tiles,
    random_network,
    start_corner,
    uniform_network,
)

SYMBOLS = {"🟥": 0, "🟦": 1, "🟨": 2, "🟩": 3, "⬜": None}


def parse_board(out: str) -> list[list[int | None]]:
    """The board of the output, which is "Finished Game", 20 rows of 20 symbols and a blank
    line."""
    lines = out.split("\n")
    assert lines[0] == "Finished Game"
    assert len(lines) == 1 + 20 + 2 and lines[-2:] == ["", ""]
    assert all(len(line) == 20 for line in lines[1:21])
    return [[SYMBOLS[symbol] for symbol in line] for line in lines[1:21]]


def expected_payoffs(counts: Counter[int | None]) -> set[float]:
    """Payoff of player 0 for the squares each player placed; a player with all 89 squares down
    scores 15, or 20 when its last piece was the single square."""
    options = [[15, 20] if counts[p] == 89 else [counts[p] - 89] for p in range(4)]
    shares = {1: 1.0, 2: 0.5, 3: 0.3333333432674408, 4: 0.25}
    payoffs = set()
    for scores in itertools.product(*options):
        best = max(scores)
        payoffs.add(shares[scores.count(best)] if scores[0] == best else 0.0)
    return payoffs


@pytest.mark.parametrize(
    "rep, dim, seed", [(1, 20, None), (2, 14, 7), (1, 3, 7)], ids=["rep1-20", "rep2-14", "rep1-3"]
)
def test_seats_route_to_their_queues_on_a_board_of_side_20(
    rep: int, dim: int, seed: int | None, capsys: pytest.CaptureFixture[str]
) -> None:
    network = uniform_network if seed is None else random_network(seed)
    host = make_host(network, rep=rep, dim=dim)
    result_queue = host.result_queue
    if seed is not None:
        host.result_queue = None
    payoff = play_baseline(host)
    out, err = capsys.readouterr()
    assert err == "" and result_queue.calls == 0

    routed = [(q, p) for (q, _), (p, _) in zip(host.log, host.pipe.answered)]
    model_positions = [p for q, p in routed if q is host.inference_queue]
    baseline_positions = [p for q, p in routed if q is host.baseline_queue]
    assert len(host.log) == host.pipe.calls == len(host.pipe.answered)
    assert len(model_positions) == host.inference_queue.calls
    assert len(baseline_positions) == host.baseline_queue.calls
    assert all(p.dim == 20 for p in model_positions + baseline_positions)

    # Seat 0 sees itself in plane 0: its opening is at the top left, and each of its requests
    # holds one more own square than the one before.
    assert model_positions[0].legal == opening_tiles(0, 20)
    assert model_positions[0].occupied == frozenset()
    assert [len(p.planes[0]) for p in model_positions] == list(range(len(model_positions)))
    for position, tile in zip(model_positions, played_tiles(model_positions)):
        assert tile in position.legal

    # The baseline seats, in turn order, each open from their own corner; every request is
    # seen from the player to move, so seat 0's squares sit in plane 4 - player.
    first_requests: dict[int, int] = {}
    for index, position in enumerate(baseline_positions):
        for player in (1, 2, 3):
            if position.legal == opening_tiles(player, 20) and not position.planes[0]:
                first_requests.setdefault(player, index)
    assert list(first_requests) == [1, 2, 3]
    for player, index in first_requests.items():
        position = baseline_positions[index]
        assert 0 in position.planes[4 - player]
        assert len(position.planes[0]) == 0

    board = parse_board(out)
    counts = Counter(cell for row in board for cell in row)
    assert counts[0] == len(model_positions)
    assert counts[1] + counts[2] + counts[3] == len(baseline_positions)
    last_model = model_positions[-1]
    assert all(board[t // 20][t % 20] == 0 for t in last_model.planes[0])
    for player in (1, 2, 3):
        assert all(board[t // 20][t % 20] == player for t in last_model.planes[player])
        corner = start_corner(player, 20)
        assert board[corner // 20][corner % 20] == player

    assert payoff in PAYOFF_VALUES
    assert payoff in expected_payoffs(counts)

"""tessarin_engine.MatchBatch: arena games with rotating seats, positions grouped by network,
results by lineup entry and by seat, and refused lineups and answers."""

from __future__ import annotations

import array
from typing import Any

import pytest
import tessarin_engine as te

DIM = 7
CELLS = DIM * DIM


def floats(rows: int, columns: int, fill: float = 0.0) -> memoryview:
    data = array.array("f", [fill]) * (rows * columns)
    return memoryview(data).cast("B").cast("f", [rows, columns])


def play_out(batch: Any) -> tuple[list[Any], list[list[int]]]:
    """Steps to the end with uniform answers; the results and every step's network rows."""
    results: list[Any] = []
    networks_seen: list[list[int]] = []
    while True:
        positions, slots, networks = batch.step()
        results += batch.take_finished()
        rows = memoryview(positions).shape[0]
        assert memoryview(slots).shape[0] == memoryview(networks).shape[0] == rows
        if rows == 0:
            return results, networks_seen
        networks_seen.append(memoryview(networks).tolist())
        batch.complete(floats(rows, CELLS), floats(rows, 4))


@pytest.mark.parametrize("sims", [0, 6])
def test_two_networks_and_a_random_player_rotate_over_the_seats(sims: int) -> None:
    batch = te.MatchBatch(DIM, 1, [0, 1, "random", 1], games=8, sims_per_move=sims, seed=3)
    results, networks_seen = play_out(batch)
    assert batch.done and batch.games_finished == 8 and batch.games_failed == 0
    assert len(results) == 8
    for rows in networks_seen:
        assert rows == sorted(rows) and set(rows) <= {0, 1}
    assert any(set(rows) == {0, 1} for rows in networks_seen)
    assert sorted(rotation for _, _, rotation in results) == [0, 0, 1, 1, 2, 2, 3, 3]
    for by_entry, by_seat, rotation in results:
        assert by_entry == [by_seat[(entry + rotation) % 4] for entry in range(4)]
        assert abs(sum(by_seat) - 1.0) < 1e-6


def test_random_players_alone_need_no_network() -> None:
    batch = te.MatchBatch(DIM, 2, ["random"] * 4, games=5, parallel=2)
    results, networks_seen = play_out(batch)
    assert networks_seen == [] and len(results) == 5 and batch.done


def test_the_heuristic_seat_beats_random_players_over_rotated_seats() -> None:
    # The heuristic scores about 0.47 against three random players at 7 x 7 with rotated seats,
    # a random player about 0.18: over 48 seeded games the gap is several standard errors.
    batch = te.MatchBatch(DIM, 1, ["heuristic", "random", "random", "random"], games=48, seed=5)
    results, networks_seen = play_out(batch)
    assert networks_seen == [] and len(results) == 48 and batch.games_failed == 0
    means = [sum(by_entry[entry] for by_entry, _, _ in results) / 48 for entry in range(4)]
    assert means[0] > 0.35 and means[0] > max(means[1:]) + 0.15, means


@pytest.mark.parametrize(
    "seats, error, text",
    [
        ([0, 1, 2], ValueError, "seats must name 4 players, not 3"),
        ([0, -1, 0, 0], ValueError, "seats[1]: a network index is at least 0, not -1"),
        ([0, "heuristic?", 0, 0], ValueError, 'seats[1]: unknown player "heuristic?"'),
        (["heuristic", "heuristic", "random", 0.5], TypeError, "seats[3] must be a network index"),
        ([0, 1.5, 0, 0], TypeError, "seats[1] must be a network index"),
        (5, TypeError, "seats must be a sequence"),
    ],
)
def test_refused_lineups(seats: Any, error: type[BaseException], text: str) -> None:
    with pytest.raises(error) as raised:
        te.MatchBatch(DIM, 1, seats, games=4)
    assert text in str(raised.value)


def test_refused_settings_and_answers_change_nothing() -> None:
    for arguments, text in [
        (dict(dim=3), "board side"),
        (dict(rep=3), "rep must be 1 or 2"),
        (dict(games=0), "games must be at least 1"),
        (dict(parallel=0), "parallel must be at least 1"),
        (dict(sims_per_move=4, dirichlet_alpha=0.0), "dirichlet_alpha must be above 0"),
    ]:
        settings: dict[str, Any] = dict(dim=DIM, rep=1, seats=[0, 0, 0, 0], games=2)
        settings.update(arguments)
        with pytest.raises(ValueError, match=text):
            te.MatchBatch(**settings)
    batch = te.MatchBatch(DIM, 1, [0, "random", "random", "random"], games=2, seed=1)
    with pytest.raises(RuntimeError, match="call step"):
        batch.complete(floats(1, CELLS), floats(1, 4))
    positions, _, _ = batch.step()
    rows = memoryview(positions).shape[0]
    with pytest.raises(ValueError, match=f"shape \\[{rows}, {CELLS}\\]"):
        batch.complete(floats(rows, CELLS - 1), floats(rows, 4))
    assert batch.pending == rows
    batch.complete(floats(rows, CELLS), floats(rows, 4))
    assert batch.pending == 0


def test_answers_written_into_the_batch_give_the_same_results() -> None:
    passed, _ = play_out(
        te.MatchBatch(DIM, 1, [0, 1, "random", 1], games=4, sims_per_move=4, seed=5)
    )
    batch = te.MatchBatch(DIM, 1, [0, 1, "random", 1], games=4, sims_per_move=4, seed=5)
    policy, value = batch.answers()
    assert list(memoryview(policy).shape) == [4, CELLS] and list(memoryview(value).shape) == [4, 4]
    written: list[Any] = []
    while True:
        positions, _, _ = batch.step()
        written += batch.take_finished()
        if memoryview(positions).shape[0] == 0:
            break
        batch.complete_from_answers()  # the buffers start zeroed, as play_out's answers
    assert written == passed and len(written) == 4

"""Matches on the engine's match batch: every seat is its player's, the answers of each network
reach the rows of that network, networks sample only their opening tiles, the search follows a
decisive prior, and a game abandoned on a bad answer is counted, not waited for."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pytest
import tessarin_engine

from tessarin_zero.evaluation.matches import (
    HEURISTIC,
    RANDOM,
    Contestant,
    GameResult,
    MatchSettings,
    play_lineup,
    play_match,
    rotated_games,
    seat_edge,
)
from tessarin_zero.selfplay.outcomes import PlayError


class Scripted:
    """A network whose policy logit of a cell is its index times `scale` (the largest legal tile
    is best) or its negation, with uniform values; it records the batch size of every call."""

    def __init__(self, largest: bool = True, value: float = 0.0, scale: float = 1.0) -> None:
        self.sign = scale if largest else -scale
        self.value = value
        self.calls: list[int] = []

    def __call__(self, positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        rows, _, dim, _ = positions.shape
        self.calls.append(rows)
        cells = np.arange(dim * dim, dtype=np.float32) * self.sign
        return np.tile(cells, (rows, 1)), np.full((rows, 4), self.value, dtype=np.float32)


def replayed_choices(result: GameResult, dim: int) -> list[tuple[int, int, list[int]]]:
    """(seat, tile played, legal tiles then) of every action of a game."""
    game, choices = tessarin_engine.Game(dim), []
    for player, tile in result.history.tolist():
        assert player == game.current_player
        choices.append((player, tile, game.legal_tiles()))
        game.apply(tile)
    assert game.is_terminal() and game.payoff() == pytest.approx(result.payoff_by_seat)
    return choices


def entry_of(seat: int, result: GameResult) -> int:
    return (seat - result.rotation) % 4


def test_each_network_answers_its_own_rows_in_every_seat() -> None:
    # Two networks that disagree on every tile, beside an engine player: a row answered by the
    # wrong network, or a seat played by the wrong entry, shows in the replay.
    largest, smallest = Scripted(largest=True), Scripted(largest=False)
    lineup = [Contestant("largest", largest), Contestant("smallest", smallest), RANDOM, RANDOM]
    results = play_lineup(lineup, MatchSettings(dim=6, seed=3), 8)
    assert [result.number for result in results] == list(range(8))
    assert sorted(result.rotation for result in results) == [0, 0, 1, 1, 2, 2, 3, 3]
    for result in results:
        assert result.payoff_by_entry == [
            result.payoff_by_seat[(entry + result.rotation) % 4] for entry in range(4)
        ]
        for seat, tile, legal in replayed_choices(result, 6):
            entry = entry_of(seat, result)
            if entry == 0:
                assert tile == max(legal)
            elif entry == 1:
                assert tile == min(legal)
    assert max(largest.calls) > 1 and max(smallest.calls) > 1  # one call per step, many games


def test_the_player_under_test_is_credited_with_its_own_seat() -> None:
    # The heuristic wins most 20 x 20 games against random players: credited with the wrong
    # seat it would score near 0.07.
    result = play_match(HEURISTIC, RANDOM, MatchSettings(dim=20, seed=1), 22)
    assert len(result.payoffs) == rotated_games(22) == 24 and result.score.mean > 0.5
    assert [len(group) for group in result.by_seat()] == [6, 6, 6, 6]
    kept = result.kept
    assert kept is not None and kept.seats == ["heuristic", "random", "random", "random"]
    assert kept.payoff[0] == result.payoffs[0]
    replay = tessarin_engine.Game(20)
    for _, tile in kept.history:
        replay.apply(tile)
    assert replay.is_terminal() and replay.payoff() == kept.payoff


def test_a_seeded_match_replays_and_the_seat_edge_adds_up() -> None:
    settings = MatchSettings(dim=7, seed=4)
    first, second = (play_match(HEURISTIC, RANDOM, settings, 8) for _ in range(2))
    assert first.payoffs == second.payoffs and first.kept == second.kept
    edge = seat_edge([RANDOM] * 4, MatchSettings(dim=5, seed=1), 40)
    assert len(edge) == 4 and sum(edge) == pytest.approx(1.0)


def opening_tiles(results: Sequence[GameResult]) -> set[int]:
    return {int(result.history[0][1]) for result in results if result.rotation == 0}


def test_networks_sample_only_their_opening_tiles() -> None:
    network = Contestant("network", Scripted(largest=True, scale=0.01))  # a flat policy
    greedy = play_lineup([network, RANDOM, RANDOM, RANDOM], MatchSettings(dim=7, seed=2), 40)
    assert len(opening_tiles(greedy)) == 1
    sampling = MatchSettings(dim=7, sample_moves=1, seed=2)
    sampled = play_lineup([network, RANDOM, RANDOM, RANDOM], sampling, 40)
    assert len(opening_tiles(sampled)) > 1
    for result in sampled:  # from the second action on, the best tile again
        for number, (seat, tile, legal) in enumerate(replayed_choices(result, 7)):
            if number >= 1 and entry_of(seat, result) == 0:
                assert tile == max(legal)


def test_the_search_follows_a_decisive_prior() -> None:
    # With values that never differ, the visits follow the priors: the largest tile wins.
    network = Contestant("network+search", Scripted(largest=True))
    results = play_lineup([network, RANDOM, RANDOM, RANDOM], MatchSettings(7, 16, seed=5), 4)
    for result in results:
        for seat, tile, legal in replayed_choices(result, 7):
            if entry_of(seat, result) == 0:
                assert tile == max(legal)


def test_games_a_network_breaks_are_counted_and_most_failing_stops_the_match() -> None:
    def poisoned(positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        policy, value = Scripted()(positions)
        policy[:] = np.nan  # no prior survives: no root of the network's searches gets a child
        return policy, value

    lineup = [Contestant("broken", poisoned), RANDOM, RANDOM, RANDOM]
    with pytest.raises(PlayError, match="of 8 games were abandoned; the first: "):
        play_lineup(lineup, MatchSettings(5, simulations=2, seed=1), 8)
    with pytest.raises(ValueError, match="not an engine player"):
        Contestant("nobody")

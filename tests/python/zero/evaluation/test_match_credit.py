"""What a match reports is read off the right games and seats: the player under test is
credited with the payoff and the seat of entry 0 in every game, the seat edge with the payoff of
each seat whoever sat there, the match's settings reach the engine's batch as given, and a match
of no games plays none."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pytest
import tessarin_engine

from tessarin_zero.evaluation import matches
from tessarin_zero.evaluation.matches import (
    HEURISTIC,
    RANDOM,
    Contestant,
    GameResult,
    MatchSettings,
    play_lineup,
    play_match,
    seat_edge,
)


def rotated_results(games: int) -> list[GameResult]:
    """Games numbered 0 .. games - 1 in which seat s of game g pays s + g / 100 (a figure that
    names both), entry i sitting at seat (i + g) mod 4."""
    results = []
    for number in range(games):
        rotation = number % 4
        by_seat = [seat + number / 100 for seat in range(4)]
        by_entry = [by_seat[(entry + rotation) % 4] for entry in range(4)]
        history = np.array([[rotation, number]], dtype=np.int32)
        results.append(GameResult(number, rotation, by_entry, by_seat, history))
    return results


def test_the_player_under_test_gets_its_own_payoff_and_seat_in_every_game(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    def scripted(
        lineup: Sequence[Contestant], settings: MatchSettings, games: int, label: str = ""
    ) -> list[GameResult]:
        return rotated_results(games)

    monkeypatch.setattr(matches, "play_lineup", scripted)
    result = play_match(HEURISTIC, RANDOM, MatchSettings(dim=5), 8)
    # Entry 0 sits at seat g mod 4 in game g, so it is paid g mod 4 + g / 100.
    assert result.payoffs == [number % 4 + number / 100 for number in range(8)]
    assert result.seats == [number % 4 for number in range(8)]
    for seat, group in enumerate(result.by_seat()):
        assert group == [seat + number / 100 for number in range(8) if number % 4 == seat]
    # The kept game is one where the player under test sits in seat 0, labelled so.
    assert result.kept is not None and result.kept.history == [(0, 0)]
    assert result.kept.payoff == [seat + 0.0 for seat in range(4)]
    # The seat edge is by seat, whichever entry sat there.
    edge = seat_edge([RANDOM] * 4, MatchSettings(dim=5), 8)
    assert edge == pytest.approx([seat + 0.035 for seat in range(4)])


def test_the_settings_of_a_match_reach_the_engines_batch(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    made: list[dict[str, Any]] = []
    engine_batch = tessarin_engine.MatchBatch

    def recording(*args: Any, **options: Any) -> Any:
        made.append(dict(options, dim=args[0], seats=args[2], games=args[3], sims=args[4]))
        return engine_batch(*args, **options)

    monkeypatch.setattr(tessarin_engine, "MatchBatch", recording)
    settings = MatchSettings(
        dim=5, simulations=2, sample_moves=3, c_base=500.0, c_init=2.5, seed=7, parallel=3
    )
    played = play_lineup([HEURISTIC, RANDOM, RANDOM, HEURISTIC], settings, 4)
    assert len(played) == 4
    (options,) = made
    assert (options["dim"], options["sims"], options["games"]) == (5, 2, 4)
    assert options["seats"] == ["heuristic", "random", "random", "heuristic"]
    assert (options["c_base"], options["c_init"]) == (500.0, 2.5)
    assert (options["sample_moves"], options["seed"], options["parallel"]) == (3, 7, 3)


def test_a_match_of_no_games_plays_none() -> None:
    network = Contestant("network", lambda positions: pytest.fail("no position to evaluate"))
    assert play_lineup([network, RANDOM, RANDOM, RANDOM], MatchSettings(dim=5), 0) == []
    empty = play_match(network, RANDOM, MatchSettings(dim=5), 0)
    assert empty.payoffs == [] and empty.kept is None and empty.score.games == 0

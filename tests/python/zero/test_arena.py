"""Rotated-seat matches, the seats that play them, their intervals and the promotion rule."""

from __future__ import annotations

import math
from collections.abc import Sequence

import pytest
import tessarin_engine
import torch
from torch import Tensor, nn

from tessarin_zero.arena import ArenaResult, false_promotion_rate_estimate, run_arena
from tessarin_zero.match import play_match, rotated_games, seat_edge
from tessarin_zero.network import PolicyValueNet
from tessarin_zero.players import (
    HeuristicSeat,
    Move,
    Player,
    PolicyPlayer,
    RandomPlayer,
    SearchPlayer,
    evaluate,
)
from tessarin_zero.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.stats import false_promotion_rate, score_of

TINY = NetworkSettings(channels=4, blocks=1)


class Recording(Player):
    """Random tiles; records, per game, the seats it was asked to move for and its batch
    sizes."""

    def __init__(self, name: str, batched: bool = False) -> None:
        self.name = name
        self.batched = batched
        self._random = RandomPlayer(0)
        self.seats: dict[int, set[int]] = {}
        self.batches: list[int] = []

    def choose(self, moves: Sequence[Move]) -> list[int]:
        self.batches.append(len(moves))
        for index, game in moves:
            self.seats.setdefault(index, set()).add(game.current_player)
        return self._random.choose(moves)


@pytest.mark.parametrize("rotate", [True, False])
def test_the_player_under_test_takes_its_seat_and_only_that(rotate: bool) -> None:
    test, opponent = Recording("test"), Recording("opponent")
    result = play_match(test, opponent, 7, 10, rotate=rotate)
    count = 12 if rotate else 10  # rounded up to a game per seat
    expected = [i % 4 if rotate else 0 for i in range(count)]
    assert result.seats == expected and len(result.payoffs) == count
    assert test.seats == {i: {seat} for i, seat in enumerate(expected)}
    for i, seat in enumerate(expected):
        assert seat not in opponent.seats[i] and len(opponent.seats[i]) == 3
    assert [len(group) for group in result.by_seat()] == ([3, 3, 3, 3] if rotate else [10, 0, 0, 0])
    assert [rotated_games(n) for n in (0, 1, 4, 5)] == [0, 4, 4, 8]


def test_batched_players_wait_until_the_other_seats_have_moved() -> None:
    network, others = Recording("network", batched=True), Recording("others")
    play_match(network, others, 7, 8)
    # Every game waits for the network before it is asked: the first batch holds all eight.
    assert network.batches[0] == 8
    assert max(network.batches) == 8 and sum(network.batches) > 8


def test_payoffs_belong_to_the_seat_of_the_player_under_test() -> None:
    # The heuristic wins most 20 x 20 games against random players (0.8 of the payoff in 200
    # games): credited to the wrong seat it would score near 0.07.
    result = play_match(HeuristicSeat(1), RandomPlayer(2), 20, 24)
    assert result.score.mean > 0.5
    kept = result.kept
    assert kept is not None and kept.seats == ["heuristic", "random", "random", "random"]
    assert kept.payoff[0] == result.payoffs[0]
    replay = tessarin_engine.Game(20)
    for _, tile in kept.history:
        replay.apply(tile)
    assert replay.is_terminal() and replay.payoff() == kept.payoff


def test_seeded_heuristic_and_random_seats_replay_the_same_match() -> None:
    first, second = (play_match(HeuristicSeat(3), RandomPlayer(4), 7, 8) for _ in range(2))
    assert first.payoffs == second.payoffs and first.kept == second.kept


def test_seat_edge_reports_every_seat() -> None:
    edge = seat_edge([RandomPlayer(1)] * 4, 5, 40)
    assert len(edge) == 4 and sum(edge) == pytest.approx(1.0)


class Scripted(nn.Module):
    """Policy logits equal to the cell index (so the largest legal tile is best) or its
    negation, and fixed value logits."""

    def __init__(self, largest: bool = True, value: Sequence[float] = (0, 0, 0, 0)) -> None:
        super().__init__()
        self.sign = 1.0 if largest else -1.0
        self.value = torch.tensor(value, dtype=torch.float32)
        self.weight = nn.Parameter(torch.zeros(1))  # gives the model a device

    def forward(self, planes: Tensor) -> tuple[Tensor, Tensor]:
        batch, _, height, width = planes.shape
        cells = torch.arange(height * width, dtype=torch.float32) * self.sign
        return cells.repeat(batch, 1), self.value.repeat(batch, 1)


def test_the_raw_policy_plays_the_legal_tile_of_highest_logit() -> None:
    games = [tessarin_engine.Game(7), tessarin_engine.Game(7)]
    games[1].apply(0)  # a smaller set of legal tiles
    moves = list(enumerate(games))
    assert PolicyPlayer(Scripted(largest=True)).choose(moves) == [
        max(g.legal_tiles()) for g in games
    ]
    assert PolicyPlayer(Scripted(largest=False)).choose(moves) == [0, min(games[1].legal_tiles())]


def test_networks_sample_their_opening_tiles_so_that_games_differ() -> None:
    fresh = tessarin_engine.Game(7)
    sampler = PolicyPlayer(Scripted(largest=True), sample_tiles=1, seed=5)
    opening = {sampler.choose([(0, fresh)])[0] for _ in range(40)}
    assert len(opening) > 1 and opening <= set(fresh.legal_tiles())
    fresh.apply(max(fresh.legal_tiles()))  # one tile played: greedy from now on
    assert {sampler.choose([(0, fresh)])[0] for _ in range(10)} == {max(fresh.legal_tiles())}
    greedy = PolicyPlayer(Scripted(largest=True))
    start = tessarin_engine.Game(7)
    assert {greedy.choose([(0, start)])[0] for _ in range(10)} == {max(start.legal_tiles())}


def test_values_come_back_by_absolute_player() -> None:
    game = tessarin_engine.Game(7)
    while game.current_player == 0:
        game.apply(game.legal_tiles()[0])
    _, values = evaluate(Scripted(value=(5, 0, 0, 0)), [game])  # the mover's own value high
    assert int(values[0].argmax()) == 1 and values[0].sum() == pytest.approx(1.0)


def test_search_follows_a_decisive_prior_and_plays_legal_tiles() -> None:
    game = tessarin_engine.Game(7)
    # With values that never differ, the visits follow the priors: the largest tile wins.
    assert SearchPlayer(Scripted(largest=True), 16).choose([(0, game)]) == [max(game.legal_tiles())]
    result = play_match(SearchPlayer(PolicyValueNet(TINY), 3), RandomPlayer(0), 5, 4)
    assert len(result.payoffs) == 4
    with pytest.raises(ValueError):
        SearchPlayer(Scripted(), 0)


def test_wilson_intervals_stay_honest_at_the_ends() -> None:
    all_lost = score_of([0.0] * 8)
    assert all_lost.mean == 0 and all_lost.low == 0 and all_lost.high > 0.3
    parity = score_of([1.0, 0.0, 0.0, 0.0] * 50)
    assert parity.low < 0.25 < parity.high and parity.high - parity.low < 0.13
    assert score_of([]).games == 0 and math.isnan(score_of([]).mean)


def test_the_promotion_defaults_rarely_promote_an_equal_network() -> None:
    # Win-or-lose payoffs of equal players, a quarter each, in every seat.
    equal = [[1.0, 0.0, 0.0, 0.0]] * 4
    simulated = false_promotion_rate(equal, 200, 0.31, trials=4000)
    estimate = false_promotion_rate_estimate(200, 0.31)
    assert 0.01 < estimate < 0.04 and abs(simulated - estimate) < 0.015
    assert false_promotion_rate_estimate(8, 0.31) > 0.3  # the old two games, rounded up
    with pytest.raises(ValueError):
        false_promotion_rate(equal, 10, 0.31)


def test_the_arena_reports_every_match_and_keeps_one_game_each() -> None:
    torch.manual_seed(0)
    candidate, best = PolicyValueNet(TINY), PolicyValueNet(TINY)

    def arena(best: PolicyValueNet | None, threshold: float, **more: int) -> ArenaResult:
        return run_arena(
            candidate,
            best,
            TINY,
            GameSettings(dim=5),
            ServerSettings(),
            games_vs_random=4,
            games_vs_best=8,
            workers=1,
            threshold=threshold,
            progress=False,
            **more,
        )

    result = arena(best, 0.0, search_sims=2, games_with_search=4, seed=1)
    assert result.promoted  # any score reaches a threshold of 0
    assert (result.vs_random.games, result.vs_heuristic.games, result.vs_best.games) == (4, 4, 8)
    assert result.heuristic_vs_random.games == 4 and result.search_vs_heuristic.games == 4
    assert set(result.kept) == {
        "vs random",
        "vs heuristic",
        "vs best",
        "heuristic vs random",
        "search vs random",
        "search vs heuristic",
    }
    assert result.kept["vs best"].seats == ["candidate", "best", "best", "best"]
    unopposed = arena(None, 1.0)
    assert unopposed.promoted and unopposed.vs_best.games == 0

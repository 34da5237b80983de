"""Hosts that call the module again from inside a call, on the same thread: a put or a recv that
plays a whole nested game (a notebook callback, a host that plays a game of its own while it
waits). Both games must finish with valid results; neither may disturb the other's search."""

from __future__ import annotations

from typing import Any, Callable

import pytest

from fakes import PAYOFF_VALUES, Host, Position, Reply, make_host, play, uniform_network
from test_training_game import DIM, SIMS, check_record

# The third request comes from inside a simulation of the first search (the first is the root's),
# so the outer search is half way down its tree when the nested game runs.
NESTING_CALL = 3
ENTRIES = ["play_training_game", "play_test_game"]


def game_host() -> Host:
    return make_host(dim=DIM, sims_per_move=SIMS)


def check_result(entry: str, host: Host, result: Any) -> None:
    if entry == "play_training_game":
        assert result == 0
        [record] = host.result_queue.items
        check_record(record, worker_id=1)
    else:
        assert type(result) is float and result in PAYOFF_VALUES


def nest_once(outer: Host, where: str, play_nested: Callable[[], None]) -> None:
    """Makes the NESTING_CALL-th put on the outer inference queue, or recv on its pipe, run
    `play_nested()` before it does its own work."""
    if where == "put":
        queue = outer.inference_queue
        put = queue.put

        def nesting_put(item: Any) -> None:
            if queue.calls + 1 == NESTING_CALL:
                play_nested()
            put(item)

        queue.put = nesting_put  # type: ignore[method-assign]
    else:
        network = outer.pipe.network

        def nesting_network(position: Position) -> Reply:
            if outer.pipe.calls == NESTING_CALL:
                play_nested()
            return network(position)

        outer.pipe.network = nesting_network


@pytest.mark.parametrize("where", ["put", "recv"])
@pytest.mark.parametrize("inner_entry", ENTRIES, ids=["inner-training", "inner-test-game"])
@pytest.mark.parametrize("outer_entry", ENTRIES, ids=["outer-training", "outer-test-game"])
def test_game_nested_in_a_host_call_leaves_both_games_valid(
    outer_entry: str, inner_entry: str, where: str, capsys: pytest.CaptureFixture[str]
) -> None:
    outer, inner = game_host(), game_host()
    inner_results: list[Any] = []

    def play_nested() -> None:
        inner_results.append(play(inner_entry, inner))

    nest_once(outer, where, play_nested)
    outer_result = play(outer_entry, outer)

    assert len(inner_results) == 1, "the nested game did not run exactly once"
    check_result(inner_entry, inner, inner_results[0])
    check_result(outer_entry, outer, outer_result)
    assert outer.pipe.calls == len(outer.log) > NESTING_CALL
    out = capsys.readouterr().out
    assert "Error running MCTS" not in out
    assert out.count("Finished Game\n") == [outer_entry, inner_entry].count("play_test_game")


def test_nested_games_at_every_request_of_a_search() -> None:
    """Every evaluation of the outer game's first searches plays a nested training game, so
    each simulation's path is interleaved with a whole other search."""
    outer = make_host(dim=DIM, sims_per_move=SIMS)
    inner_results: list[int] = []
    network = outer.pipe.network

    def nesting_network(position: Position) -> Reply:
        if outer.pipe.calls <= 2 * (SIMS + 1):
            inner = game_host()
            inner_results.append(play("play_training_game", inner))
            check_result("play_training_game", inner, inner_results[-1])
        return network(position)

    outer.pipe.network = nesting_network
    check_result("play_training_game", outer, play("play_training_game", outer))
    assert inner_results == [0] * 2 * (SIMS + 1)


def test_reply_element_that_plays_a_nested_game() -> None:
    """A value logit whose __float__ plays a whole game: the reply is being read when the nested
    call starts, and is read on afterwards."""
    inner_results: list[Any] = []

    class NestingLogit:
        def __float__(self) -> float:
            inner = game_host()
            inner_results.append(play("play_training_game", inner))
            check_result("play_training_game", inner, inner_results[-1])
            return 0.0

    def network(position: Position) -> Reply:
        policy, values = uniform_network(position)
        if outer.pipe.calls == NESTING_CALL:
            values = [NestingLogit(), *values[1:]]
        return policy, values

    outer = make_host(network, dim=DIM, sims_per_move=SIMS)
    check_result("play_training_game", outer, play("play_training_game", outer))
    assert inner_results == [0]

"""The training game through the module: the record put on the result queue, games abandoned
after a failed evaluation, and worker processes playing training games against a network
process."""

from __future__ import annotations

import math
from collections import Counter
from typing import Any

import pytest
import tessarin_self_play

from fakes import (
    PAYOFF_VALUES,
    Host,
    RecordingQueue,
    failing_after,
    make_config,
    make_host,
    opening_tiles,
    random_network,
    run_worker_processes,
    uniform_network,
)

DIM = 7
SIMS = 4
WORKER_ID = 9


def play_training(host: Host) -> int:
    status = tessarin_self_play.play_training_game(
        WORKER_ID, host.config, host.result_queue, host.inference_queue, host.pipe
    )
    assert type(status) is int
    return status


def check_record(record: Any, worker_id: int, searched: bool = True) -> list[tuple[int, int]]:
    """Checks the layout and the consistency of one training record; returns its history."""
    assert type(record) is tuple and len(record) == 2
    assert type(record[0]) is int and record[0] == worker_id
    assert type(record[1]) is tuple and len(record[1]) == 3
    history, policies, payoff = record[1]
    assert type(history) is list and type(policies) is list and type(payoff) is list
    assert len(history) == len(policies) > 0
    assert {tile for tile, _ in policies[0]} == opening_tiles(0, DIM)
    for (player, tile), policy in zip(history, policies):
        assert type(player) is int and type(tile) is int and 0 <= player < 4
        assert type(policy) is list
        assert all(type(pair) is tuple and len(pair) == 2 for pair in policy)
        assert all(type(t) is int and type(share) is float for t, share in policy)
        listed = [t for t, _ in policy]
        assert tile in listed and len(set(listed)) == len(listed)
        shares = [share for _, share in policy]
        if searched:
            assert math.isclose(sum(shares), 1.0, abs_tol=1e-4)
        else:
            assert all(math.isnan(share) for share in shares) and tile == listed[-1]
    assert all(type(entry) is tuple and len(entry) == 2 for entry in history)
    tiles = [tile for _, tile in history]
    assert len(set(tiles)) == len(tiles), "a cell was played twice"
    assert history[0][0] == 0
    assert len(payoff) == 4 and all(type(v) is float and v in PAYOFF_VALUES for v in payoff)
    assert math.isclose(sum(payoff), 1.0, abs_tol=1e-6)
    return history


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize("network", [uniform_network, random_network(3)])
def test_finished_game_puts_one_consistent_record(rep: int, network: Any) -> None:
    host = make_host(network, rep=rep, dim=DIM, sims_per_move=SIMS)
    assert play_training(host) == 0
    assert len(host.result_queue.items) == 1
    history = check_record(host.result_queue.items[0], WORKER_ID)
    requests = host.inference_queue.items
    assert all(request[0] == WORKER_ID for request in requests)
    # At most the root and one leaf per simulation for every action.
    assert len(requests) <= len(history) * (SIMS + 1)
    # Positions at the end of the game are never sent: each request has a legal tile.
    assert all(position.legal for position in host.positions())


def test_without_simulations_every_root_is_evaluated_once() -> None:
    host = make_host(dim=DIM, sims_per_move=0, sample_moves=5)
    assert play_training(host) == 0
    history = check_record(host.result_queue.items[0], WORKER_ID, searched=False)
    assert host.inference_queue.calls == len(history)


@pytest.mark.parametrize("replies", [0, 30])
def test_failed_evaluation_abandons_the_game(
    replies: int, capfd: pytest.CaptureFixture[str]
) -> None:
    host = make_host(failing_after(replies, uniform_network), dim=DIM, sims_per_move=SIMS)
    assert play_training(host) == 1
    assert capfd.readouterr() == ("", "")
    assert host.result_queue.items == [] and host.result_queue.calls == 0
    # Nothing more is asked once an evaluation failed.
    assert host.inference_queue.calls == host.pipe.calls == replies + 1


def test_failing_result_put_still_counts_as_played() -> None:
    host = make_host(dim=DIM, sims_per_move=SIMS)
    host.result_queue = RecordingQueue("result", fail_with=lambda: RuntimeError("closed"))
    assert play_training(host) == 0
    assert host.result_queue.calls == 1


def test_worker_processes_play_training_games() -> None:
    modes = {21: "uniform", 22: "random"}
    games = 2
    run = run_worker_processes(
        "play_training_game",
        make_config(dim=DIM, rep=1, sims_per_move=SIMS),
        modes,
        games,
        timeout=120.0,
    )
    assert run.problems == []
    assert Counter(record[0] for record in run.results) == {worker_id: games for worker_id in modes}
    for record in run.results:
        check_record(record, record[0])

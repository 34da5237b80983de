"""The bookkeeping behind self-play on a cluster, without a cluster: games split into shares,
each game taken once whatever comes back twice, the unreceived end of a lost actor's share
played again, and the actor's own side (ids numbered from its share's start, the network built
once per publication) played in this process."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest

from tessarin_zero.selfplay.batched import batched_available
from tessarin_zero.storage.records import RecordWriter, read_chunk
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.selfplay.ray.actor import SelfPlayActor, cpu_evaluator
from tessarin_zero.selfplay.ray.ledger import GameLedger, Share
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.common.settings import GameSettings, NetworkSettings


def test_games_are_split_evenly_and_each_is_taken_once() -> None:
    ledger = GameLedger(iteration=2, games=7, slots=3)
    shares = [ledger.next_share() for _ in range(3)]
    assert shares == [Share(0, 0, 3), Share(1, 0, 2), Share(2, 0, 2)]
    assert ledger.next_share() is None
    first = shares[0]
    assert first is not None
    assert ledger.accept(first, (2, 0, 0))
    assert not ledger.accept(first, (2, 0, 0)), "a game that came back twice"
    assert not ledger.accept(first, (1, 0, 1)), "a game of another iteration"
    assert not ledger.accept(first, (2, 1, 1)), "a game of another slot"
    assert not ledger.accept(first, (2, 0, 3)), "a game past the share"
    assert not ledger.finished(first)
    for index in (1, 2):
        assert ledger.accept(first, (2, 0, index))
    assert ledger.finished(first) and ledger.received == 3 and not ledger.done
    for share in shares[1:]:
        assert share is not None
        for index in range(share.count):
            ledger.accept(share, (2, share.slot, index))
        assert ledger.finished(share)
    assert ledger.done and ledger.ids() == sorted(
        [(2, 0, i) for i in range(3)] + [(2, s, i) for s in (1, 2) for i in range(2)]
    )


def test_a_lost_share_is_played_again_from_its_first_game_not_received() -> None:
    ledger = GameLedger(iteration=0, games=10, slots=1)
    share = ledger.next_share()
    assert share == Share(0, 0, 10)
    for index in range(3):
        ledger.accept(share, (0, 0, index))
    assert ledger.give_back(share) == Share(0, 3, 7)
    assert ledger.give_back(share) is None, "given back twice"
    # Three actors free: the rest is split over them, each with its own indices.
    again = [ledger.next_share(idle_actors=3 - taken) for taken in range(3)]
    assert again == [Share(0, 3, 3), Share(0, 6, 2), Share(0, 8, 2)]
    for part in again:
        assert part is not None
        assert not ledger.accept(part, (0, 0, 2)), "received before the loss"
        for index in range(part.first, part.first + part.count):
            assert ledger.accept(part, (0, 0, index))
        assert ledger.finished(part)
    assert ledger.done and ledger.ids() == [(0, 0, i) for i in range(10)]


def test_a_share_finished_before_the_loss_is_not_given_back() -> None:
    ledger = GameLedger(iteration=0, games=2, slots=1)
    share = ledger.next_share()
    assert share is not None
    for index in range(2):
        ledger.accept(share, (0, 0, index))
    assert ledger.give_back(share) is None and ledger.pending == 0 and ledger.done


@pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet")
def test_an_actor_numbers_its_games_from_its_share_and_builds_a_network_once_per_publication(
    tmp_path: Any,
) -> None:
    game = GameSettings(dim=5, sims_per_move=2)
    built: list[Any] = []

    def evaluator(network: Any, game: GameSettings, inference: str) -> Any:
        built.append(network)
        return cpu_evaluator(network, game, inference)

    factory = NetworkFactory.of(PolicyValueNet(NetworkSettings(4, 1)), NetworkSettings(4, 1))
    actor = SelfPlayActor(fetch=lambda reference: reference, evaluator=evaluator, group_s=0.0)
    published = [factory]
    ids = []
    with RecordWriter(tmp_path, game) as writer:
        for first, count in ((5, 3), (0, 2)):
            actor.begin(4, 1, first, count, published, game, 2, "onnx")
            assert actor.take(4, 1, first + 1).unknown, "a share it was not given"
            while True:
                taken = actor.take(4, 1, first)
                for game_id, record in taken.records:
                    ids.append(game_id)
                    writer.add(record)
                if taken.done:
                    break
        assert taken.evaluations > 0 and taken.steps > 0
        assert actor.take(4, 1, 0).unknown, "a share it has finished"
        other = NetworkFactory.of(PolicyValueNet(factory.settings), factory.settings)
        actor.begin(4, 1, 0, 1, [other], game, 2, "onnx")
    assert ids == [(4, 1, 5), (4, 1, 6), (4, 1, 7), (4, 1, 0), (4, 1, 1)]
    assert sum(read_chunk(path).games for path in writer.paths) == 5
    assert len(built) == 2, "the same publication built twice, or a new one not built"
    assert SelfPlayActor(fetch=lambda reference: reference).take(4, 1, 0).unknown, "restarted"


@pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet")
def test_a_fault_while_the_actor_plays_is_raised_by_its_next_take() -> None:
    def failing(network: Any, game: GameSettings, inference: str) -> Any:
        def evaluate(positions: Any) -> Any:
            raise ArithmeticError("the network answered NaN")

        return evaluate

    actor = SelfPlayActor(fetch=lambda reference: reference, evaluator=failing, group_s=0.0)
    actor.begin(0, 0, 0, 2, [object()], GameSettings(dim=5, sims_per_move=2), 2, "onnx")
    with pytest.raises(ArithmeticError, match="NaN"):
        actor.take(0, 0, 0)


@pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet")
def test_an_actor_numbers_abandoned_games_too_so_its_share_ends() -> None:
    def poisoning(network: Any, game: GameSettings, inference: str) -> Any:
        calls = [0]

        def evaluate(positions: Any) -> Any:
            rows = len(np.asarray(positions))
            policy, value = np.zeros((rows, 25), np.float32), np.zeros((rows, 4))
            calls[0] += 1
            if calls[0] <= 3:  # the whole first search of the first game: its root gets no child
                policy[0] = np.nan
            return policy, value.astype(np.float32)

        return evaluate

    actor = SelfPlayActor(fetch=lambda reference: reference, evaluator=poisoning, group_s=0.0)
    actor.begin(2, 0, 0, 3, [object()], GameSettings(dim=5, sims_per_move=2), 3, "onnx")
    records: list[Any] = []
    failures: list[Any] = []
    while True:
        taken = actor.take(2, 0, 0)
        records += taken.records
        failures += taken.failures
        if taken.done:
            break
    assert len(failures) == 1 and failures[0][1]  # the reason, as the engine gave it
    assert sorted(game_id for game_id, _ in records + failures) == [(2, 0, i) for i in range(3)]

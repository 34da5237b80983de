"""The batched self-play loop: one evaluation per step for every waiting game, answers back in
one call, every finished game's record delivered; a step evaluated by the inference server; and
the engine's batch type where built."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
import torch

from networks import real_positions, trained_like
from servers import make_server, recv
from tessarin_zero.common.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.network import NetworkFactory, PolicyValueNet
from tessarin_zero.selfplay.backends import BatchedWorkers
from tessarin_zero.selfplay.batched import (
    BatchedUnavailable,
    Step,
    batched_available,
    new_batch,
    play_batch,
)
from tessarin_zero.selfplay.workers import ReplyChannel, ServerEvaluator
from tessarin_zero.storage.records import RecordWriter, read_chunk
from tessarin_zero.training.tensors import load_training_tensors

DIM = 5


class ScriptedBatch:
    """Stands in for the engine's batch: slot s waits for `needs[s]` evaluations per game, a
    game's history holds (slot, value logit) of each answer it got, and a slot starts its next
    game until `total` games have started. Odd steps leave slot 0 out (a game that reached a
    terminal leaf does not wait). A game of a slot in `abandoned` is abandoned at its last
    answer instead of finishing. Answers are read from its answer buffers, as the engine's."""

    def __init__(self, needs: list[int], total: int, abandoned: tuple[int, ...] = ()) -> None:
        self.needs = needs
        self.left = [need for need in needs]
        self.answered: list[list[tuple[int, int]]] = [[] for _ in needs]
        self.started = len(needs)
        self.total = total
        self.abandoned = abandoned
        self.finished: list[Any] = []
        self.failed: list[str] = []
        self.pending: np.ndarray | None = None
        self.steps = 0
        self.cache_hits = 0  # it keeps no memo
        self.buffers = (
            np.full((len(needs), DIM * DIM), np.nan, dtype=np.float32),
            np.full((len(needs), 4), np.nan, dtype=np.float32),
        )

    @property
    def done(self) -> bool:
        return self.pending is None and not any(left > 0 for left in self.left)

    def step(self) -> tuple[np.ndarray, np.ndarray]:
        assert self.pending is None, "step before the last step's answers"
        self.steps += 1
        waiting = [s for s, left in enumerate(self.left) if left > 0]
        if self.steps % 2 and len(waiting) > 1:
            waiting = waiting[1:]
        self.pending = np.array(waiting, dtype=np.int64)
        positions = np.zeros((len(waiting), 5, DIM, DIM), dtype=np.float32)
        positions[:, 0, 0, 0] = self.pending  # the slot, for the evaluator to echo
        return positions, self.pending

    def answers(self) -> tuple[np.ndarray, np.ndarray]:
        return self.buffers

    def complete_from_answers(self) -> None:
        assert self.pending is not None, "answers without a pending step"
        value = self.buffers[1][: len(self.pending)]
        for slot, row in zip(self.pending, value):
            assert row[0] == slot, "answers out of the order of the positions"
            self.answered[slot].append((int(slot), int(row[0])))
            self.left[slot] -= 1
            if self.left[slot] == 0:
                if slot in self.abandoned:
                    self.failed.append(f"slot {slot} abandoned")
                else:
                    self.finished.append((self.answered[slot], [], [0.25] * 4))
                self.answered[slot] = []
                if self.started < self.total:
                    self.started += 1
                    self.left[slot] = self.needs[slot]
        self.buffers[0][:] = self.buffers[1][:] = np.nan  # answers are read once
        self.pending = None

    def take_finished(self) -> list[Any]:
        taken, self.finished = self.finished, []
        return taken

    def take_failed(self) -> list[str]:
        taken, self.failed = self.failed, []
        return taken


def write_to(writer: RecordWriter) -> Callable[[Step], None]:
    def write(step: Step) -> None:
        for record in step.records:
            writer.add(record)

    return write


def echo(positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    value = np.zeros((len(positions), 4), dtype=np.float32)
    value[:, 0] = positions[:, 0, 0, 0]
    return np.zeros((len(positions), DIM * DIM), dtype=np.float32), value


def test_every_waiting_game_is_evaluated_in_one_call_per_step() -> None:
    batch = ScriptedBatch(needs=[3, 1, 2], total=8, abandoned=(1,))
    calls: list[int] = []
    steps: list[Step] = []

    def evaluate(positions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        calls.append(len(positions))
        return echo(positions)

    run = play_batch(batch, evaluate, steps.append)
    records = [record for step in steps for record in step.records]
    failures = [reason for step in steps for reason in step.failures]
    assert batch.done and (run.games, run.failed) == (len(records), len(failures))
    assert failures and set(failures) == {"slot 1 abandoned"} and run.games + run.failed == 8
    assert run.evaluations == sum(calls) == sum(step.evaluations for step in steps)
    assert run.steps == len(calls) and max(calls) == 3 and run.mean_batch > 1
    for record in records:
        slot = record.history[0][0]
        assert record.history == [(slot, slot)] * batch.needs[slot]


def test_a_time_budget_or_a_stop_ends_the_loop_between_steps() -> None:
    batch = ScriptedBatch(needs=[1_000_000], total=1)
    run = play_batch(batch, echo, seconds=0.05)
    assert not batch.done and batch.pending is None and run.evaluations > 0
    steps = iter(range(3))
    run = play_batch(batch, echo, stop=lambda: next(steps) == 2)
    assert run.steps == 2


@pytest.mark.skipif(batched_available(), reason="the engine has the batched type")
def test_without_the_engine_type_a_batch_is_refused_clearly() -> None:
    with pytest.raises(BatchedUnavailable, match="SelfPlayBatch"):
        new_batch(GameSettings(dim=DIM), games=2, total_games=2)


@pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet")
@pytest.mark.parametrize("rep", [1, 2])
def test_the_engine_batch_plays_games_whose_records_are_sound(rep: int, tmp_path: Any) -> None:
    torch.manual_seed(0)
    game = GameSettings(dim=DIM, rep=rep, sims_per_move=4)
    evaluator = BatchEvaluator(PolicyValueNet(NetworkSettings(8, 1)), channels_last=rep == 2)
    with RecordWriter(tmp_path, game) as writer:
        run = play_batch(new_batch(game, games=3, total_games=5), evaluator, write_to(writer))
    assert run.games == 5 and run.evaluations > 0


@pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet")
@pytest.mark.parametrize(
    "game",
    [
        GameSettings(dim=DIM, sims_per_move=4, fast_sims_per_move=1, full_search_share=0.5),
        GameSettings(dim=DIM, sims_per_move=4, engine_opponent_share=1.0),
    ],
    ids=["playout cap", "engine opponents"],
)
def test_settings_that_leave_actions_without_a_target_reach_the_engine_and_leave_no_sample(
    tmp_path: Any, game: GameSettings
) -> None:
    torch.manual_seed(0)
    evaluator = BatchEvaluator(PolicyValueNet(NetworkSettings(8, 1)), channels_last=False)
    with RecordWriter(tmp_path, game) as writer:
        play_batch(new_batch(game, 3, 6), evaluator, write_to(writer))
    (chunk,) = sorted(tmp_path.glob("*.npz"))
    searched = read_chunk(chunk).has_policy
    assert 0 < searched.sum() < len(searched)  # both kinds of action, drawn per action or game
    assert len(load_training_tensors([chunk], augment=False)) == searched.sum()


@pytest.mark.parametrize("channels_last", [False, True])
def test_a_step_sent_to_the_server_is_answered_with_arrays_in_one_forward_pass(
    channels_last: bool,
) -> None:
    model = trained_like(NetworkSettings(8, 1))
    settings = ServerSettings(max_batch=8, max_wait_ms=5000.0)
    factory = NetworkFactory.of(model, model.settings)
    server, (requests,), ends = make_server([0, 1], [factory], settings, channels_last)
    positions = real_positions(7, 6, channels_last)
    planes = torch.from_numpy(positions.astype(np.float32))
    if channels_last:
        planes = planes.permute(0, 3, 1, 2).contiguous()
    with torch.no_grad():
        policy, value = model(planes)
    with server:
        # Worker 1 asks for one position the module's way: it joins worker 0's step.
        requests.put((1, positions[5].astype(bool).tolist()))
        evaluate = ServerEvaluator(0, requests, ReplyChannel(ends[0], timeout_s=20.0))
        step_policy, step_value = evaluate(positions[:5])  # uint8, as batched workers send
        single_policy, single_value = recv(ends[1])
        stats = server.stop()
    assert step_policy.dtype == np.float32 and step_policy.shape == (5, 49)
    np.testing.assert_allclose(step_policy, policy[:5].numpy(), rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(step_value, value[:5].numpy(), rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(single_policy, policy[5].numpy(), rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(single_value, value[5].numpy(), rtol=1e-4, atol=1e-5)
    assert stats is not None and stats.batch_sizes == {6: 1}


@pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet")
@pytest.mark.parametrize("in_server", [False, True])
def test_batched_workers_deliver_every_game_evaluating_in_process_or_in_the_server(
    in_server: bool,
) -> None:
    records: list[Any] = []
    network = NetworkFactory.of(PolicyValueNet(NetworkSettings(8, 1)), NetworkSettings(8, 1))
    backend = BatchedWorkers(2, batch_games=2, in_server=in_server)
    game = GameSettings(dim=DIM, sims_per_move=4)
    stats = backend.play(network, game, 5, records.append, progress=False)
    assert stats.games == len(records) == 5 and stats.actions > 0
    # The workers count their evaluations, and their memo the first positions the games share.
    assert stats.evaluations > 0 and stats.mean_batch > 1 and stats.cache_hits > 0

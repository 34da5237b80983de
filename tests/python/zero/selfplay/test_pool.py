"""Worker pools and the self-play backends: real games through a server, a late reply that must
not answer the next game, abandoned games that are counted and never hang a run, and runs that
end cleanly when a worker fails or Ctrl-C is pressed."""

from __future__ import annotations

import math
import os
import queue
import select
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import pytest
import tessarin_self_play
import torch
from torch import Tensor, nn

from fakes import PAYOFF_VALUES
from processes import PACKAGE_ROOT, session_members
from tessarin_zero.common.processes import process_context
from tessarin_zero.common.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.evaluation.module_games import play_against_baseline, play_against_random
from tessarin_zero.inference.network import NetworkFactory, PolicyValueNet
from tessarin_zero.inference.server import InferenceServer, RequestQueue, ServerError
from tessarin_zero.selfplay.backends import BatchedWorkers, ModuleWorkers
from tessarin_zero.selfplay.outcomes import PlayError, WorkerError
from tessarin_zero.selfplay.pool import LocalPool
from tessarin_zero.selfplay.workers import ModuleGames, WorkerOptions
from tessarin_zero.storage.records import GameRecord

TIMEOUT_S = 20.0
TINY = NetworkSettings(channels=4, blocks=1)


@pytest.fixture(autouse=True)
def watchdog() -> Iterator[None]:
    """A run that should have ended but waits for ever fails the test instead of hanging it."""

    def expire(signum: int, frame: object) -> None:
        raise TimeoutError("the test ran for more than 60 s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, 60.0)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)


def test_a_tiny_network_plays_each_kind_of_game() -> None:
    model = PolicyValueNet(TINY)
    server = ServerSettings(max_batch=8, max_wait_ms=1.0)
    payoffs = play_against_random(model, TINY, GameSettings(dim=5, rep=2), 4, 2, server, False)
    assert len(payoffs) == 4 and set(payoffs) <= PAYOFF_VALUES

    records: list[GameRecord] = []
    game = GameSettings(dim=5, sims_per_move=4)
    network = NetworkFactory.of(model, TINY)
    stats = ModuleWorkers(2, server).play(network, game, 3, records.append, progress=False)
    assert (stats.games, stats.failed, len(records)) == (3, 0, 3)
    for history, policies, payoff in records:
        assert len(history) == len(policies) > 0 and sum(payoff) == pytest.approx(1.0)
    assert stats.actions == sum(len(record.history) for record in records)
    assert stats.evaluations >= stats.actions and stats.mean_batch >= 1.0

    vs_baseline = play_against_baseline(model, PolicyValueNet(TINY), TINY, game, 1, 1, server)
    assert len(vs_baseline) == 1 and vs_baseline[0] in PAYOFF_VALUES


def test_a_late_reply_to_a_failed_game_is_never_taken_for_the_next_answer() -> None:
    context = process_context()
    requests = RequestQueue(context)
    pool = LocalPool(
        ModuleGames(tessarin_self_play.play_test_against_random, GameSettings(dim=5)),
        1,
        [requests],
        context=context,
        options=WorkerOptions(reply_timeout_s=0.5, drain_timeout_s=TIMEOUT_S, quiet=True),
    )
    reply_end = pool.reply_ends[0]
    done = threading.Event()

    def serve() -> None:
        """Answers the first request after the worker gave up on it, with a reply that fails
        any game it is taken for; every later request at once."""
        late = True
        while not done.is_set():
            try:
                _, position = requests.get(timeout_s=0.1)
            except queue.Empty:
                continue
            if late:
                late = False
                time.sleep(1.2)
                reply_end.send(("stale", "stale"))
            else:
                reply_end.send(([0.0] * len(position[0]) ** 2, [0.0] * 4))

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    try:
        with pool:
            outcomes = list(pool.play(3))
            done.set()
            server.join(TIMEOUT_S)
    finally:
        done.set()
    assert [outcome.failed for outcome in outcomes] == [True, False, False]
    assert "TimeoutError" in (outcomes[0].failure or "")


@pytest.mark.parametrize("failure", ["worker killed", "worker stopped", "server killed"])
def test_a_failure_ends_the_run_without_leaving_processes(failure: str) -> None:
    context = process_context()
    requests = RequestQueue(context)
    config = GameSettings(dim=5, rep=3 if failure == "worker stopped" else 1)  # rep 3: a stop
    pool = LocalPool(
        ModuleGames(tessarin_self_play.play_test_against_random, config),
        2,
        [requests],
        context=context,
        # a worker that gets no reply waits until it is ended
        options=WorkerOptions(reply_timeout_s=None, quiet=True),
    )
    model = NetworkFactory.of(PolicyValueNet(TINY), TINY)
    server = InferenceServer([model], [requests], pool.reply_ends, ServerSettings(), threads=1)
    expected: tuple[type[Exception], ...] = (WorkerError,)
    if failure == "server killed":  # the workers may report the broken pipe first
        expected = (ServerError, WorkerError)
    started = time.monotonic()
    with pytest.raises(expected, match="exit code -9|Invalid representation type|EOFError"):
        with server, pool:
            outcomes = pool.play(100_000, check=server.check)
            next(outcomes)  # one game is over: the workers are in the middle of the next ones
            victim = server.pid if failure == "server killed" else pool.processes[0].pid
            os.kill(victim or 0, signal.SIGKILL)
            for _ in outcomes:
                pass
    assert time.monotonic() - started < TIMEOUT_S
    processes = [*pool.processes, server._process]
    assert len(processes) == 3 and all(p is not None and p.exitcode is not None for p in processes)


class PoisonNet(nn.Module):
    """Uniform answers, but NaN policy logits for the first position of each of its first
    `calls` calls in each process (0: for every position of every call). Rows come in slot order
    and the first game's search waits at every step, so with `calls` one more than the
    simulations per action, every evaluation of that game's first search has no prior: its root
    gets no child, and the game is abandoned."""

    def __init__(self, calls: int) -> None:
        super().__init__()
        self.poisoned_calls = calls
        self.calls = 0

    def forward(self, planes: Tensor) -> tuple[Tensor, Tensor]:
        self.calls += 1
        policy = torch.zeros(len(planes), planes.shape[2] * planes.shape[3])
        if self.poisoned_calls == 0:
            policy[:] = math.nan
        elif self.calls <= self.poisoned_calls:
            policy[0] = math.nan
        return policy, torch.zeros(len(planes), 4)


@dataclass(frozen=True)
class PoisonFactory:
    calls: int

    def __call__(self) -> nn.Module:
        return PoisonNet(self.calls)


POISON_GAME = GameSettings(dim=5, sims_per_move=2)
# The poison is Python, not for export; and without a position memo, whose answer for the same
# first position from another game would heal the poisoned one.
EAGER = ServerSettings(inference="eager", position_cache=0)


def test_a_poisoned_game_is_counted_and_the_run_ends_with_the_others() -> None:
    records: list[GameRecord] = []
    factory: Any = PoisonFactory(calls=3)  # the first game of the worker's batch
    backend = BatchedWorkers(1, batch_games=3, server=EAGER)
    stats = backend.play(factory, POISON_GAME, 6, records.append, progress=False)
    assert (stats.games, stats.failed, len(records)) == (5, 1, 5)


def test_a_run_whose_games_mostly_fail_stops_with_one_line() -> None:
    factory: Any = PoisonFactory(calls=0)
    with pytest.raises(PlayError, match=r"self-play: \d+ of 8 games were abandoned; the first: "):
        BatchedWorkers(2, batch_games=4, server=EAGER).play(
            factory, POISON_GAME, 8, lambda record: None, progress=False
        )


# A program started from a terminal takes Ctrl-C; one started in the background by a shell
# without job control (as some CI runners start theirs) inherits SIGINT ignored.
CTRL_C_RUN = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.inference.network import NetworkFactory, PolicyValueNet
from tessarin_zero.selfplay.backends import ModuleWorkers

net = NetworkSettings(channels=4, blocks=1)
ModuleWorkers(2).play(
    NetworkFactory.of(PolicyValueNet(net), net), GameSettings(dim=5, sims_per_move=2), 100_000,
    lambda record: print("record", flush=True), progress=False,
)
"""


def test_ctrl_c_ends_the_run_and_every_process_it_started() -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE_ROOT), *sys.path]))
    run = subprocess.Popen(
        [sys.executable, "-c", CTRL_C_RUN],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        start_new_session=True,  # its own process group, as a terminal would give it
    )
    try:
        assert run.stdout is not None
        ready, _, _ = select.select([run.stdout], [], [], TIMEOUT_S)
        assert ready and run.stdout.readline() == b"record\n", "no game finished"
        os.killpg(run.pid, signal.SIGINT)  # Ctrl-C reaches every process of the group
        _, err = run.communicate(timeout=TIMEOUT_S)
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
            run.wait()
    assert b"KeyboardInterrupt" in err
    deadline = time.monotonic() + 5.0
    while session_members(run.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert session_members(run.pid) == []

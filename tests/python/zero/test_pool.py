"""Worker pools and the play functions: real games through a server, a late reply that must not
answer the next game, and runs that end cleanly when a worker fails or Ctrl-C is pressed."""

from __future__ import annotations

import os
import queue
import select
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import pytest
import tessarin_self_play

from fakes import PAYOFF_VALUES
from processes import session_members
from tessarin_zero.data import TrainingRecord
from tessarin_zero.network import PolicyValueNet
from tessarin_zero.play import play_against_baseline, play_against_random, play_training_games
from tessarin_zero.pool import LocalPool, WorkerError, process_context
from tessarin_zero.server import InferenceServer, NetworkFactory, RequestQueue, ServerError
from tessarin_zero.settings import GameSettings, NetworkSettings, ServerSettings

TIMEOUT_S = 20.0
TINY = NetworkSettings(channels=4, blocks=1)
PACKAGE_ROOT = Path(__file__).resolve().parents[3] / "python"


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

    records: list[TrainingRecord] = []
    game = GameSettings(dim=5, sims_per_move=4)
    stats = play_training_games(model, TINY, game, 3, 2, server, records.append, False)
    assert (stats.games, stats.failed, len(records)) == (3, 0, 3)
    assert {worker for worker, _ in records} <= {0, 1}
    for _, (history, policies, payoff) in records:
        assert len(history) == len(policies) > 0 and sum(payoff) == pytest.approx(1.0)
    assert stats.actions == sum(len(history) for _, (history, _, _) in records)
    assert stats.evaluations >= stats.actions and stats.mean_batch >= 1.0

    vs_baseline = play_against_baseline(model, PolicyValueNet(TINY), TINY, game, 1, 1, server)
    assert len(vs_baseline) == 1 and vs_baseline[0] in PAYOFF_VALUES


def test_a_late_reply_to_a_failed_game_is_never_taken_for_the_next_answer() -> None:
    context = process_context()
    requests = RequestQueue(context)
    pool = LocalPool(
        tessarin_self_play.play_test_against_random,
        GameSettings(dim=5),
        1,
        [requests],
        context=context,
        reply_timeout_s=0.5,
        drain_timeout_s=TIMEOUT_S,
        quiet=True,
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
    assert "TimeoutError" in (outcomes[0].error or "")


@pytest.mark.parametrize("failure", ["worker killed", "worker stopped", "server killed"])
def test_a_failure_ends_the_run_without_leaving_processes(failure: str) -> None:
    context = process_context()
    requests = RequestQueue(context)
    config = GameSettings(dim=5, rep=3 if failure == "worker stopped" else 1)  # rep 3: a stop
    pool = LocalPool(
        tessarin_self_play.play_test_against_random,
        config,
        2,
        [requests],
        context=context,
        reply_timeout_s=None,  # a worker that gets no reply waits until it is ended
        quiet=True,
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


# A program started from a terminal takes Ctrl-C; one started in the background by a shell
# without job control (as some CI runners start theirs) inherits SIGINT ignored.
CTRL_C_RUN = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
from tessarin_zero.network import PolicyValueNet
from tessarin_zero.play import play_training_games
from tessarin_zero.settings import GameSettings, NetworkSettings, ServerSettings

net = NetworkSettings(channels=4, blocks=1)
play_training_games(
    PolicyValueNet(net), net, GameSettings(dim=5, sims_per_move=2), 100_000, 2, ServerSettings(),
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

"""Self-play on a local Ray instance: every game written exactly once when an actor is killed
mid-run (it comes back and plays its unfinished games again) or lost for good (the pool goes on
without it); a fault in the actors' code ends the run; Ctrl-C and SIGTERM end the command, its
actors and the instance it started. Skipped where Ray is not installed."""

from __future__ import annotations

import os
import signal
import socket
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from processes import TINY, end_session, members_after, start_cli
from files import finished_games
from tessarin_zero.selfplay.batched import batched_available
from tessarin_zero.cli import main
from tessarin_zero.storage.records import RecordWriter, read_chunk
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.selfplay.pool import WorkerError
from tessarin_zero.selfplay.ray.backend import RayBackend, ray_available
from tessarin_zero.selfplay.ray.pool import RayPool
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.common.settings import GameSettings, NetworkSettings

pytestmark = [
    pytest.mark.skipif(not ray_available(), reason="ray is not installed"),
    pytest.mark.skipif(not batched_available(), reason="the engine has no batched type yet"),
]

# A share takes seconds (one game at a time, the default network): long beside a call, so that
# an actor killed after the first game still has games of its share to play.
GAME = GameSettings(dim=7, sims_per_move=64)
NETWORK = NetworkSettings()
GAMES = 24
RUN_S = 120.0  # a run's bound, an actor's restart (a new process importing torch) included
STARTUP_S = 90.0  # the command's imports, the instance and its actors on a busy machine


@pytest.fixture(scope="module")
def backend() -> Iterator[RayBackend]:
    with RayBackend(num_cpus=2, group_s=0.02) as started:
        yield started


def within(seconds: float) -> Callable[[], None]:
    """A health check that ends a run that hangs."""
    deadline = time.monotonic() + seconds

    def check() -> None:
        if time.monotonic() > deadline:
            raise TimeoutError(f"the run took over {seconds} s")

    return check


def play_and_write(
    backend: RayBackend, folder: Path, during: Callable[[int, Any, list[int]], None]
) -> RayPool:
    """Plays GAMES games on two actors, writing each as it comes; `during(n, actors, pids)`
    runs after the n-th game."""
    actors = backend.actors(2)
    pids = [back_up(actor) for actor in actors]  # both up (an earlier run's may be restarting)
    factory = NetworkFactory.of(PolicyValueNet(NETWORK), NETWORK)
    pool = RayPool(backend, factory, GAME, 2, batch_games=1, inference="onnx", iteration=3)
    with pool, RecordWriter(folder, GAME) as writer:
        for received, outcome in enumerate(pool.play(GAMES, check=within(RUN_S)), start=1):
            assert outcome.record is not None
            writer.add(outcome.record)
            during(received, actors, pids)
    assert sum(read_chunk(path).games for path in writer.paths) == GAMES
    assert pool.ledger is not None
    assert pool.ledger.ids() == sorted((3, s, i) for s in range(2) for i in range(GAMES // 2))
    return pool


def back_up(actor: Any) -> int:
    """Waits until a restarting actor answers again; its new process id."""
    import ray
    from ray.exceptions import ActorUnavailableError

    deadline = time.monotonic() + RUN_S
    while True:
        try:
            return int(ray.get(actor.ready.remote()))
        except ActorUnavailableError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


@pytest.mark.parametrize("between_calls", [False, True], ids=["mid-call", "between-calls"])
def test_an_actor_killed_mid_run_comes_back_and_every_game_is_written_once(
    backend: RayBackend, tmp_path: Path, between_calls: bool
) -> None:
    def kill_first_actor(received: int, actors: Any, pids: list[int]) -> None:
        if received != 1:
            return
        if not between_calls:  # while it plays the call the driver made before this game
            os.kill(pids[0], signal.SIGKILL)
            return
        # The driver waits here: once the actor has answered the call it has, it holds none
        # until the driver goes on, and the next one reaches a new process with no share.
        import ray

        ray.get(actors[0].ready.remote())
        os.kill(pids[0], signal.SIGKILL)
        assert back_up(actors[0]) != pids[0]

    pool = play_and_write(backend, tmp_path, kill_first_actor)
    assert pool.restarts == 1 and pool.lost == 0
    assert pool.replayed > 0, "the actor had no unfinished game when it was killed"


def test_an_actor_that_cannot_come_back_shrinks_the_pool(
    backend: RayBackend, tmp_path: Path
) -> None:
    import ray

    def lose_first_actor(received: int, actors: Any, pids: list[int]) -> None:
        if received == 1:
            ray.kill(actors[0], no_restart=True)

    pool = play_and_write(backend, tmp_path, lose_first_actor)
    assert pool.replayed > 0 and pool.restarts + pool.lost >= 1
    # The run may end before Ray reports the actor dead for good; the next one finds out.
    factory = NetworkFactory.of(PolicyValueNet(NETWORK), NETWORK)
    after = RayPool(backend, factory, GAME, 2, batch_games=1, inference="onnx")
    with after:
        assert len(list(after.play(4, check=within(RUN_S)))) == 4
    assert pool.lost + after.lost == 1


def test_a_fault_in_the_actors_code_ends_the_run(backend: RayBackend) -> None:
    factory = NetworkFactory.of(PolicyValueNet(NETWORK), NETWORK)
    broken = GameSettings(dim=5, sims_per_move=2, rep=3)  # a layout the engine refuses
    pool = RayPool(backend, factory, broken, 2, batch_games=2, inference="onnx")
    with pytest.raises(WorkerError, match="self-play actor"):
        with pool:
            list(pool.play(4, check=within(RUN_S)))


def test_the_loop_plays_every_iterations_games_on_the_actors_once(
    backend: RayBackend, tmp_path: Path
) -> None:
    # In this process Ray is up already (the fixture's instance): the loop joins it and leaves
    # it running, and its own actors play a new network each iteration.
    run = tmp_path / "run"
    main(
        ["loop", "--backend", "ray", "--run-dir", str(run), "--iterations", "2", "--games", "5"]
        + ["--games-vs-random", "1", "--games-vs-best", "1", "--workers", "2", "--epochs", "1"]
        + ["--final-games", "0"]
        + TINY
    )
    records = run / "records"
    assert not (records / ".journal").exists()
    assert sum(read_chunk(path).games for path in records.glob("*.npz")) == 10
    import ray

    assert ray.is_initialized(), "the loop shut down an instance it had not started"


def test_a_head_that_takes_no_connection_fails_at_once_with_what_to_check(tmp_path: Path) -> None:
    with socket.socket() as closed:  # bound, never listening: a connection is refused
        closed.bind(("127.0.0.1", 0))
        address = f"127.0.0.1:{closed.getsockname()[1]}"
        began = time.monotonic()
        with pytest.raises(SystemExit, match="cannot reach the Ray cluster at .*ray start --head"):
            main(
                ["selfplay", "--backend", "ray", "--ray-address", address, "--quiet"]
                + ["--run-dir", str(tmp_path / "run"), "--games", "1"]
            )
    assert time.monotonic() - began < 30, "Ray's own retries were waited for"


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 1), (signal.SIGTERM, 143)])
def test_a_stop_signal_ends_the_command_its_actors_and_its_ray_instance(
    tmp_path: Path, signum: int, status: int
) -> None:
    run_dir = tmp_path / "run"
    records = run_dir / "records"
    run = start_cli(
        ["selfplay", "--backend", "ray", "--run-dir", str(run_dir), "--games", "100000"]
        + ["--workers", "2", *TINY],
        cwd=tmp_path,
    )
    try:
        deadline = time.monotonic() + STARTUP_S
        while finished_games(records) < 2 and time.monotonic() < deadline and run.poll() is None:
            time.sleep(0.05)
        finished = finished_games(records)
        assert finished >= 2, "no game reached the disk while the run went on"
        if signum == signal.SIGINT:  # Ctrl-C: the terminal signals the whole process group
            os.killpg(run.pid, signum)
        else:
            run.send_signal(signum)
        _, err = run.communicate(timeout=60)
        left = members_after(run.pid, 10.0)
    finally:
        end_session(run)
    assert left == [], "actors or Ray's own processes outlived the command"
    assert run.returncode == status, err.decode()[-2000:]
    assert (b"Interrupted" if signum == signal.SIGINT else b"Terminated by SIGTERM") in err
    assert not (records / ".journal").exists()
    assert sum(read_chunk(path).games for path in records.glob("*.npz")) >= finished

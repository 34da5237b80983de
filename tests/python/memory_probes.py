"""Memory probes that must start from a fresh interpreter, run by test_resources.py.

Each probe plays calls the way a worker does, with no explicit garbage collection, and prints
how many bytes the resident memory grew over its measured part. A fresh process keeps the
figure free of what earlier tests left on the heap: under PyPy the collector's next major
collection comes later the more the heap holds, so garbage from other tests would blur it.

    python memory_probes.py training-games | failing-puts | batch-answers
"""

from __future__ import annotations

import array
import sys
import types
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tessarin_engine  # noqa: E402
import tessarin_self_play  # noqa: E402

from failure_cases import NullStream, build_cases  # noqa: E402
from memory_checks import collect as collect_all  # noqa: E402
from memory_checks import resident_bytes  # noqa: E402


class DroppingQueue:
    def put(self, item: object) -> None:
        pass


class UniformPipe:
    """Answers with a fresh reply each time, as a pipe that unpickles one would."""

    def recv(self) -> object:
        return [0.0] * 400, [0.0] * 4


def training_game() -> None:
    config = types.SimpleNamespace(
        dim=20,
        rep=1,
        sims_per_move=16,
        sample_moves=30,
        c_base=19652.0,
        c_init=1.25,
        dirichlet_alpha=0.3,
        exploration_fraction=0.25,
    )
    requests = DroppingQueue()
    status = tessarin_self_play.play_training_game(0, config, requests, requests, UniformPipe())
    assert status == 0


def failing_put() -> Callable[[], None]:
    [case] = [case for case in build_cases() if case.name == "put-raises"]
    return case.run


def batch_answered_in_place() -> Callable[[], None]:
    """One step of a batch per call, answered the way a host with fresh network outputs does:
    copied into the batch's own answer buffers through views taken once."""
    config = types.SimpleNamespace(
        dim=5,
        rep=1,
        sims_per_move=1,
        sample_moves=30,
        c_base=19652.0,
        c_init=1.25,
        dirichlet_alpha=0.3,
        exploration_fraction=0.25,
    )
    batch = tessarin_engine.SelfPlayBatch(config, games=1, total_games=10**9, seed=1)
    policy_buffer, value_buffer = batch.answers()
    policy_view = memoryview(policy_buffer).cast("B").cast("f")
    value_view = memoryview(value_buffer).cast("B").cast("f")

    def step() -> None:
        batch.step()
        policy_view[:25] = array.array("f", [0.0] * 25)
        value_view[:4] = array.array("f", [0.0] * 4)
        batch.complete_from_answers()

    return step


def growth(run: Callable[[], None], warm_up: int, calls: int, collect: bool = False) -> int:
    """With `collect`, garbage is collected before and after the measured calls, so only what
    is kept for good counts."""
    for _ in range(warm_up):
        run()
    if collect:
        collect_all()
    start = resident_bytes()
    for _ in range(calls):
        run()
    if collect:
        collect_all()
    return resident_bytes() - start


def main() -> None:
    probe = sys.argv[1]
    report = sys.stdout
    sys.stdout = sys.stderr = NullStream()  # failing test games print their errors
    if probe == "training-games":
        grown = growth(training_game, warm_up=1, calls=3)
    elif probe == "failing-puts":
        grown = growth(failing_put(), warm_up=3000, calls=3000)
    elif probe == "batch-answers":
        grown = growth(batch_answered_in_place(), warm_up=10000, calls=40000, collect=True)
    else:
        raise SystemExit(f"unknown probe {probe!r}")
    report.write(f"{grown}\n")


if __name__ == "__main__":
    main()

"""Two worker processes play against random players, served by a network process over real
multiprocessing queues and pipes."""

from __future__ import annotations

from collections import Counter

from fakes import PAYOFF_VALUES, make_config, run_worker_processes

DIM = 7
GAMES_PER_WORKER = 3
WORKER_MODES = {11: "uniform", 12: "random"}
TIMEOUT_S = 60.0


def test_workers_play_to_the_end_against_a_network_process() -> None:
    run = run_worker_processes(
        "play_test_against_random",
        make_config(dim=DIM, rep=1),
        WORKER_MODES,
        GAMES_PER_WORKER,
        TIMEOUT_S,
    )

    assert run.problems == []
    assert Counter(worker_id for worker_id, _ in run.results) == {
        worker_id: GAMES_PER_WORKER for worker_id in WORKER_MODES
    }
    assert all(type(payoff) is float and payoff in PAYOFF_VALUES for _, payoff in run.results)
    # Every game needs at least one decision of seat 0.
    assert all(run.served.get(worker_id, 0) >= GAMES_PER_WORKER for worker_id in WORKER_MODES)

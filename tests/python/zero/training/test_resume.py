"""A resumed loop takes up the network it stopped with and, as its best, the network of the
last iteration that was promoted (iteration 0 when none was), whichever iterations came after."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest
import torch

from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.inference.checkpoints import load_checkpoint, save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.training.loop import resume
from tessarin_zero.training.metrics import IterationMetrics, MetricsLog

TINY = NetworkSettings(channels=4, blocks=1)


class Silent:
    """A loop report that keeps what it is told."""

    def __init__(self) -> None:
        self.resumed_after: list[int] = []

    def resumed(self, run_dir: Path, done: int) -> None:
        self.resumed_after.append(done)

    def __getattr__(self, name: str) -> Any:
        return lambda *args, **kwargs: None


def same_weights(first: torch.nn.Module, second: torch.nn.Module) -> bool:
    one, other = first.state_dict(), second.state_dict()
    return one.keys() == other.keys() and all(torch.equal(one[k], other[k]) for k in one)


def run_folder(tmp_path: Path, promoted: list[bool]) -> list[PolicyValueNet]:
    """A loop folder after len(`promoted`) iterations, each with its own network (iteration 0
    too) and a metrics row saying whether it was promoted."""
    networks = []
    for iteration in range(len(promoted) + 1):
        torch.manual_seed(100 + iteration)
        network = PolicyValueNet(TINY)
        save_checkpoint(tmp_path / "checkpoints" / f"iteration-{iteration:03d}.pt", network)
        networks.append(network)
    # best.pt as a stop could have left it: the newest network, whatever was promoted.
    save_checkpoint(tmp_path / "checkpoints" / "best.pt", networks[-1], iteration=len(promoted))
    log = MetricsLog(tmp_path)
    for iteration, was_promoted in enumerate(promoted, start=1):
        log.append(IterationMetrics(iteration, 4, 10, 1.0, 1.0, was_promoted, 1.0))
    return networks


@pytest.mark.parametrize(
    ("promoted", "best"),
    [
        ([True, False, True, False], 3),
        ([True, True, False, False], 2),
        ([False, True, False, True], 4),
        ([False, False, False], 0),
    ],
)
def test_the_best_network_is_the_last_promoted_iterations(
    promoted: list[bool], best: int, tmp_path: Path
) -> None:
    networks = run_folder(tmp_path, promoted)
    report = Silent()
    state = resume(tmp_path, report, TINY, side=5)
    assert report.resumed_after == [len(promoted)]
    assert same_weights(state.candidate, networks[-1])
    assert same_weights(state.best, networks[best])
    assert not same_weights(state.best, networks[best - 1 if best else 1])
    stored, metadata = load_checkpoint(tmp_path / "checkpoints" / "best.pt")
    assert metadata["iteration"] == best and same_weights(stored, networks[best])
    assert metadata["dim"] == 5
    assert [row.iteration for row in state.log.rows] == list(range(1, len(promoted) + 1))

"""A loop's start cut short at any stage leaves a folder that a rerun takes up: before its
settings are stored, a plain rerun starts it; after, --resume does the start again, ending with
the first network an uncut start saves."""

from __future__ import annotations

import importlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
import torch

from tessarin_zero.cli import main
from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.inference.checkpoints import load_checkpoint, save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet

RUN = ["--iterations", "1", "--games", "2", "--games-vs-random", "2", "--games-vs-best", "0"]
RUN += ["--workers", "1", "--epochs", "1", "--final-games", "0"]
RUN += ["--dim", "5", "--sims-per-move", "2", "--quiet"]
# Without augmentation (its symmetries are drawn unseeded) a start is the same every time.
LOOP = [*RUN, "--warm-start-games", "4", "--no-augment", "--channels", "8", "--blocks", "1"]


def cut(monkeypatch: pytest.MonkeyPatch, target: str, call: int = 1) -> None:
    """Ctrl-C at the `call`-th call of `target` ("module.name"), before it runs."""
    module_name, name = target.rsplit(".", 1)
    module = importlib.import_module(module_name)
    original: Callable[..., Any] = getattr(module, name)
    calls = 0

    def interrupted(*args: Any, **kwargs: Any) -> Any:
        nonlocal calls
        calls += 1
        if calls == call:
            raise KeyboardInterrupt
        return original(*args, **kwargs)

    monkeypatch.setattr(module, name, interrupted)


def first_network(run: Path) -> dict[str, torch.Tensor]:
    return load_checkpoint(run / "checkpoints" / "iteration-000.pt")[0].state_dict()


@pytest.fixture(scope="module")
def uncut(tmp_path_factory: pytest.TempPathFactory) -> dict[str, torch.Tensor]:
    """The first network of the loop started without a cut."""
    run = tmp_path_factory.mktemp("uncut") / "run"
    main(["loop", "--run-dir", str(run), *LOOP])
    return first_network(run)


STAGES = [
    ("tessarin_zero.cli.commands.save_loop_settings", 1),  # before anything is stored
    ("tessarin_zero.training.warm_start.train", 1),  # its games written, not trained on
    ("tessarin_zero.training.loop.save_checkpoint", 1),  # iteration 0
    ("tessarin_zero.training.loop.save_checkpoint", 2),  # the best network
]


@pytest.mark.parametrize("target, call", STAGES)
def test_a_start_cut_short_at_any_stage_is_taken_up_by_a_rerun(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    uncut: dict[str, torch.Tensor],
    target: str,
    call: int,
) -> None:
    run = tmp_path / "run"
    cut(monkeypatch, target, call)
    with pytest.raises(SystemExit, match="Interrupted"):
        main(["loop", "--run-dir", str(run), *LOOP])
    monkeypatch.undo()

    stored = (run / "run.json").exists()
    assert stored == (target != STAGES[0][0])  # the settings come first
    main(["loop", "--run-dir", str(run), *(["--resume"] if stored else LOOP)])
    assert (run / "metrics.csv").exists() and (run / "checkpoints" / "best.pt").exists()
    # The warm start's games once (not those of the cut start as well), the same network.
    assert len(list((run / "warm-start").glob("*.npz"))) == 1
    for name, weights in first_network(run).items():
        assert torch.equal(weights, uncut[name]), name


def test_a_start_from_a_checkpoint_cut_short_starts_from_that_checkpoint_again(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    start = tmp_path / "start.pt"
    save_checkpoint(start, PolicyValueNet(NetworkSettings(channels=6, blocks=2)))
    run = tmp_path / "run"
    cut(monkeypatch, "tessarin_zero.training.loop.save_checkpoint")
    with pytest.raises(SystemExit, match="Interrupted"):
        main(["loop", "--run-dir", str(run), "--checkpoint", str(start), *RUN])
    monkeypatch.undo()

    main(["loop", "--run-dir", str(run), "--resume"])
    expected = load_checkpoint(start)[0].state_dict()
    for name, weights in first_network(run).items():
        assert torch.equal(weights, expected[name]), name


def test_a_network_of_another_side_goes_on_at_the_loops_side(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    small = tmp_path / "small"
    main(["loop", "--run-dir", str(small), *RUN, "--channels", "6", "--blocks", "1"])
    start = small / "checkpoints" / "best.pt"
    assert load_checkpoint(start)[1]["dim"] == 5
    capsys.readouterr()

    large = tmp_path / "large"
    main(["loop", "--run-dir", str(large), "--checkpoint", str(start), *RUN, "--dim", "7"])
    assert f"Starting from {start}: a network trained on 5 x 5, to go on at 7 x 7." in (
        capsys.readouterr().out
    )
    expected = load_checkpoint(start)[0].state_dict()
    for name, weights in first_network(large).items():
        assert torch.equal(weights, expected[name]), name
    network, metadata = load_checkpoint(large / "checkpoints" / "iteration-001.pt")
    assert metadata["dim"] == 7 and network.settings.channels == 6

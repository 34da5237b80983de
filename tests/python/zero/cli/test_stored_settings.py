"""Stored settings are checked as flags are: a loop's run.json (a damaged one is refused in one
line naming the file and the key, before anything runs or is written; an older one resumes with
what its missing keys meant) and a checkpoint's network size."""

from __future__ import annotations

import json
import shutil
from pathlib import Path
from typing import Any

import pytest
import torch

from exits import exit_of
from tessarin_zero.cli import main
from tessarin_zero.cli.flags import parse
from tessarin_zero.common.settings import FIRST_HEADS, NetworkSettings
from tessarin_zero.inference.checkpoints import (
    CheckpointError,
    checkpoint_digest,
    load_checkpoint,
    save_checkpoint,
)
from tessarin_zero.inference.network import PolicyValueNet

NET = ["--channels", "8", "--blocks", "1", "--quiet"]
LOOP = ["--iterations", "1", "--games", "2", "--games-vs-random", "2", "--games-vs-best", "0"]
LOOP += ["--workers", "1", "--epochs", "1", "--final-games", "0", "--no-canonical"]
LOOP += ["--dim", "5", "--sims-per-move", "2", *NET]

# What the first loops to store their settings wrote (every later key is missing).
FIRST_RUN_JSON: dict[str, Any] = {
    "augment": True,
    "batch_size": 128,
    "blocks": 1,
    "c_base": 19652.0,
    "c_init": 1.25,
    "channels": 8,
    "device": "cpu",
    "dim": 5,
    "dirichlet_alpha": 0.3,
    "epochs": 1,
    "exploration_fraction": 0.25,
    "games": 2,
    "games_vs_best": 0,
    "games_vs_random": 2,
    "iterations": 1,
    "learning_rate": 0.002,
    "max_batch": 64,
    "max_wait_ms": 2.0,
    "rep": 1,
    "sample_moves": 12,
    "seed": 0,
    "sims_per_move": 2,
    "threshold": 0.3,
    "weight_decay": 0.0001,
    "window_chunks": 8,
    "workers": 1,
}


@pytest.fixture(scope="module")
def finished(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A finished loop of one iteration; each test damages a copy of it."""
    run = tmp_path_factory.mktemp("finished") / "run"
    main(["loop", "--run-dir", str(run), *LOOP])
    return run


def edited(finished: Path, to: Path, **changes: Any) -> Path:
    """A copy of the finished run whose run.json has `changes` (None: the key removed)."""
    run = to / "run"
    shutil.copytree(finished, run)
    stored = json.loads((run / "run.json").read_text())
    for key, value in changes.items():
        if value is None:
            stored.pop(key)
        else:
            stored[key] = value
    (run / "run.json").write_text(json.dumps(stored))
    return run


DAMAGED = [
    ({"value_weight": -5}, "value_weight: -5 is out of range"),
    ({"threshold": 2.0}, "threshold: 2.0 is out of range"),
    ({"window_chunks": -3}, "window_chunks: -3 is out of range"),
    ({"workers": 0}, "workers: 0 is out of range"),
    ({"sims_per_move": -3}, "sims_per_move: -3 is out of range"),
    ({"epochs": 0}, "epochs: 0 is out of range"),
    ({"learning_rate": float("nan")}, "learning_rate: NaN is out of range"),
    ({"games": "5"}, 'games: "5" is not a whole number'),
    ({"augment": 1}, "augment: 1 is not true or false"),
    ({"driver": "fast"}, 'driver: "fast" is not one of batched, worker'),
    ({"inference": "tpu"}, "inference: 'tpu' is not one of onnx"),
    ({"position_cache": -1}, "position_cache: -1 is out of range"),
    ({"dim": None}, "the setting 'dim' is missing"),
    ({"colour": "red"}, "unknown setting 'colour'"),
]


@pytest.mark.parametrize("changes, named", DAMAGED)
def test_a_damaged_run_json_is_refused_before_anything_runs(
    finished: Path,
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    changes: dict[str, Any],
    named: str,
) -> None:
    run = edited(finished, tmp_path, **changes)
    stored = (run / "run.json").read_bytes()
    status, said = exit_of(["loop", "--run-dir", str(run), "--resume", "--iterations", "2"], capsys)
    assert status == 1 and said.startswith(f"error: {run / 'run.json'}: {named}"), said
    assert "\n" not in said
    assert (run / "run.json").read_bytes() == stored
    assert not (run / "checkpoints" / "iteration-002.pt").exists()


@pytest.mark.parametrize(
    "stored, named",
    [
        ({"threshold": None}, "threshold: null is not a number"),  # no key may be null...
        ({"warm_start_epochs": "2"}, 'warm_start_epochs: "2" is not a whole number'),
    ],
)
def test_null_is_a_value_only_where_the_flag_has_none(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], stored: dict[str, Any], named: str
) -> None:
    (tmp_path / "run.json").write_text(json.dumps({**FIRST_RUN_JSON, **stored}))
    status, said = exit_of(["loop", "--run-dir", str(tmp_path), "--resume"], capsys)
    assert status == 1 and said == f"error: {tmp_path / 'run.json'}: {named}"
    # ...but those that default to none (the warm start's epochs: --epochs) may.
    (tmp_path / "run.json").write_text(json.dumps({**FIRST_RUN_JSON, "warm_start_epochs": None}))
    assert parse(["loop", "--run-dir", str(tmp_path), "--resume"]).warm_start_epochs is None


def test_an_empty_run_json_is_not_a_run_of_the_default_settings(
    finished: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    run = tmp_path / "run"
    shutil.copytree(finished, run)
    (run / "run.json").write_text("{}")
    status, said = exit_of(["loop", "--run-dir", str(run), "--resume", "--iterations", "2"], capsys)
    assert status == 1 and "run.json: the setting 'augment' is missing" in said
    assert (run / "run.json").read_text() == "{}"


def test_stored_network_settings_must_be_those_of_the_runs_networks(
    finished: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    # A key of the network that an older folder would lack means the first heads; a folder
    # whose networks have others is refused rather than resumed under the wrong settings.
    for changes, named in (
        ({"channels": 16}, "channels 8 (the loop's settings say 16)"),
        ({"policy_channels": None}, "policy_channels 16 (the loop's settings say 2)"),
    ):
        run = edited(finished, tmp_path / next(iter(changes)), **changes)
        stored = (run / "run.json").read_bytes()
        status, said = exit_of(["loop", "--run-dir", str(run), "--resume"], capsys)
        assert status == 1 and "iteration-001.pt: a network of another size" in said, said
        assert named in said
        assert (run / "run.json").read_bytes() == stored


@pytest.mark.parametrize(
    "changes",
    [
        # As the loop stored it before it kept its starting checkpoint, with or without the
        # settings of the position memo and the low-precision paths.
        {"checkpoint": None},
        {"checkpoint": None, "position_cache": None, "inference": None},
        {"checkpoint": None, "position_cache": 0, "inference": "bf16"},
    ],
)
def test_a_run_json_of_the_versions_before_resumes(
    finished: Path, tmp_path: Path, changes: dict[str, Any]
) -> None:
    run = edited(finished, tmp_path, **changes)
    main(["loop", "--run-dir", str(run), "--resume", "--iterations", "2"])
    stored = json.loads((run / "run.json").read_text())
    given = {key: value for key, value in changes.items() if value is not None}
    expected = {"position_cache": 65_536, "inference": "onnx", **given, "checkpoint": None}
    assert {key: stored[key] for key in expected} == expected
    assert (run / "checkpoints" / "iteration-002.pt").exists()


def test_a_folder_of_the_first_version_resumes_with_what_its_missing_keys_meant(
    tmp_path: Path,
) -> None:
    run = tmp_path / "run"
    (run / "checkpoints").mkdir(parents=True)
    (run / "run.json").write_text(json.dumps(FIRST_RUN_JSON))
    first = PolicyValueNet(NetworkSettings(channels=8, blocks=1, **FIRST_HEADS))
    save_checkpoint(run / "checkpoints" / "iteration-000.pt", first, iteration=0)
    resumed = parse(["loop", "--run-dir", str(run), "--resume"])
    assert (resumed.learning_rate, resumed.final_learning_rate) == (0.002, None)  # constant
    assert parse(["loop", "--run-dir", str(tmp_path / "new")]).final_learning_rate == 1e-4

    main(["loop", "--run-dir", str(run), "--resume"])
    stored = json.loads((run / "run.json").read_text())
    assert {key: stored[key] for key in FIRST_HEADS} == FIRST_HEADS  # not today's defaults
    assert (stored["dim"], stored["final_learning_rate"]) == (5, None)
    network, _ = load_checkpoint(run / "checkpoints" / "iteration-001.pt")
    assert network.settings == first.settings


def forge(path: Path, network: dict[str, Any], state: dict[str, torch.Tensor]) -> Path:
    """A checkpoint of this network size and weights with a valid checksum."""
    payload = {"format": 1, "network": network, "state_dict": state, "metadata": {}}
    payload["sha256"] = checkpoint_digest(network, state)
    torch.save(payload, path)
    return path


@pytest.mark.parametrize(
    "change, named",
    [
        ({"canonical": "yes"}, 'network size: canonical: "yes" is not true or false'),
        ({"channels": 8.0}, "network size: channels: 8.0 is not a whole number"),
        ({"blocks": -1}, "network size: blocks: -1 is out of range"),
        ({"colour": 1}, "network size: unknown setting 'colour'"),
        ({"channels": None}, "network size: no 'channels'"),
        (
            {"channels": 64},
            "not those of its network size: stem.0.weight is [8, 5, 3, 3], not [64, 5, 3, 3]",
        ),
        ({"blocks": 10**9}, "not those of its network size: 1000000000 blocks"),
    ],
)
def test_a_checkpoints_network_size_is_checked_before_the_network_is_built(
    tmp_path: Path, change: dict[str, Any], named: str
) -> None:
    settings = NetworkSettings(channels=8, blocks=1)
    network: dict[str, Any] = {**settings.__dict__, **change}
    network = {key: value for key, value in network.items() if value is not None}
    path = forge(tmp_path / "forged.pt", network, PolicyValueNet(settings).state_dict())
    with pytest.raises(CheckpointError) as refusal:
        load_checkpoint(path)
    assert str(refusal.value).startswith(f"{path}: ") and named in str(refusal.value)

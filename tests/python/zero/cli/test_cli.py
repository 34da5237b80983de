"""The command line end to end with a tiny network on a small board: the loop, its resume and
its folder rules, settings checked when parsed, and bad data set aside."""

from __future__ import annotations

import csv
import importlib.util
import json
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
import torch

from exits import exit_of
from games import uniform_game
from files import garble
from tessarin_zero.cli import main
from tessarin_zero.cli.flags import engine_has_batches, parse
from tessarin_zero.storage.records import RecordWriter, read_chunk
from tessarin_zero.inference.checkpoints import load_checkpoint, save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.storage.runs import RunLock, new_run_dir
from tessarin_zero.common.settings import GameSettings, NetworkSettings

NET = ["--channels", "8", "--blocks", "1", "--quiet"]
TINY = ["--dim", "5", "--sims-per-move", "2", *NET]


def test_loop_iteration_writes_records_checkpoints_metrics_and_plots(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    run = tmp_path / "run"
    main(
        ["loop", "--run-dir", str(run), "--iterations", "1", "--games", "2"]
        + ["--games-vs-random", "2", "--games-vs-best", "1", "--workers", "2", "--epochs", "1"]
        + ["--final-games", "6", "--final-search-sims", "2", "--final-games-with-search", "3"]
        + TINY
    )
    out = capsys.readouterr().out
    assert "Iteration 1 (rotated seats, 95% intervals): vs random" in out
    assert "Final figures: the network of iteration 1 on 5 x 5" in out
    final = json.loads((run / "final.json").read_text())
    counts = {name: final[name]["games"] for name in final if isinstance(final[name], dict)}
    assert counts == {  # rounded up to whole rotations
        "vs_random": 8,
        "vs_heuristic": 8,
        "heuristic_vs_random": 8,
        "search_vs_random": 4,
        "search_vs_heuristic": 4,
    }
    assert all(0.0 <= final[name]["mean"] <= 1.0 for name in counts)

    rows = list(csv.DictReader((run / "metrics.csv").open()))
    assert [row["iteration"] for row in rows] == ["1"]
    for name in ("vs_random", "vs_heuristic", "vs_best", "heuristic_vs_random"):
        low, mean, high = (float(rows[0][name + end]) for end in ("_low", "", "_high"))
        assert 0.0 <= low <= mean <= high <= 1.0
        assert int(rows[0][name + "_games"]) == 4  # rounded up to one game per seat
    assert int(rows[0]["positions"]) > 0
    assert list((run / "records").glob("*.npz"))
    assert (run / "checkpoints" / "best.pt").exists()
    assert (run / "checkpoints" / "iteration-001.pt").exists()
    assert (run / "losses.png").stat().st_size > 0 and (run / "win_rate.png").stat().st_size > 0


def test_train_without_records_explains_what_is_missing(tmp_path: Path) -> None:
    with pytest.raises(SystemExit, match="No record chunks"):
        main(["train", "--run-dir", str(tmp_path), "--quiet"])


BAD_SETTINGS = [
    (["selfplay", "--workers", "0"], "--workers"),
    (["selfplay", "--max-batch", "0"], "--max-batch"),
    (["selfplay", "--max-wait-ms", "-1"], "--max-wait-ms"),
    (["selfplay", "--device", "tpu"], "--device"),
    (["selfplay", "--inference", "fast"], "--inference"),
    (["selfplay", "--dim", "3"], "--dim"),
    (["selfplay", "--rep", "3"], "--rep"),
    (["selfplay", "--sims-per-move", "-5"], "--sims-per-move"),
    (["selfplay", "--dirichlet-alpha", "0"], "--dirichlet-alpha"),
    (["selfplay", "--c-base", "1e39"], "--c-base"),
    (["selfplay", "--channels", "0"], "--channels"),
    (["selfplay", "--games", "0"], "--games"),
    (["loop", "--games-vs-random", "0"], "--games-vs-random"),
    (["loop", "--threshold", "2"], "--threshold"),
    (["loop", "--learning-rate", "nan"], "--learning-rate"),
    (["arena", "--run-dir", "runs/x"], "unrecognized arguments: --run-dir"),
    (["train", "--run-dir", "runs/x", "--workers", "2"], "unrecognized arguments: --workers"),
    (["train"], "--run-dir"),
    (["loop", "--resume"], "--resume needs --run-dir"),
    (["selfplay", "--backend", "cluster"], "--backend"),
    (["loop", "--ray-address", "head:6379"], "--ray-address: only with --backend ray"),
    (["selfplay", "--backend", "ray", "--ray-address", ""], "--ray-address"),
    (["selfplay", "--backend", "ray", "--ray-address", "head :6379"], "--ray-address"),
    (["loop", "--backend", "ray", "--driver", "worker"], "--backend: ray plays batched"),
    (["loop", "--fast-sims-per-move", "8", "--driver", "worker"], "--fast-sims-per-move"),
    (["loop", "--engine-opponent-share", "0.5", "--driver", "worker"], "--engine-opponent-share"),
    (["selfplay", "--full-search-share", "1.5"], "--full-search-share"),
    (["selfplay", "--backend", "ray", "--device", "cuda"], "--device: cuda with --backend ray"),
    (["selfplay", "--root-search", "mcts"], "--root-search"),
    (["arena", "--gumbel-considered", "0"], "--gumbel-considered"),
]


def test_the_root_search_flags_reach_the_game_settings() -> None:
    for command in (["selfplay"], ["loop", "--run-dir", "unused"], ["arena"]):
        args = parse([*command, "--root-search", "gumbel", "--gumbel-considered", "8"])
        assert (args.root_search, args.gumbel_considered) == ("gumbel", 8)
    assert parse(["selfplay"]).root_search == GameSettings().root_search == "puct"


@pytest.mark.parametrize("argv, named", BAD_SETTINGS)
def test_bad_settings_are_usage_errors_before_anything_runs(
    argv: list[str],
    named: str,
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
) -> None:
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as stop:
        main([*argv, "--quiet"])
    assert stop.value.code == 2
    assert named in capsys.readouterr().err
    assert not (tmp_path / "runs").exists()


@pytest.mark.skipif(torch.cuda.is_available(), reason="a CUDA device is there")
def test_cuda_without_a_device_is_a_usage_error(capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as stop:
        main(["selfplay", "--device", "cuda", "--quiet"])
    assert stop.value.code == 2 and "no CUDA device" in capsys.readouterr().err


def test_the_ray_backend_without_its_package_is_a_usage_error(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    find_spec = importlib.util.find_spec
    monkeypatch.setattr(
        importlib.util, "find_spec", lambda name, *rest: None if name == "ray" else find_spec(name)
    )
    with pytest.raises(SystemExit) as stop:
        main(["selfplay", "--backend", "ray", "--quiet"])
    assert (
        stop.value.code == 2 and "pip install 'tessarin-self-play[ray]'" in capsys.readouterr().err
    )


def write_records(folder: Path, games: int = 2, dim: int = 5) -> Path:
    settings = GameSettings(dim=dim, sims_per_move=2)
    with RecordWriter(folder, settings) as writer:
        for _ in range(games):
            writer.add(uniform_game(settings))
    return writer.paths[0]


def test_training_sets_damaged_chunks_aside_and_goes_on(
    tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    run = tmp_path / "run"
    records = run / "records"
    foreign = write_records(records, games=1, dim=6)  # older: the newest chunks decide the side
    write_records(records)
    damaged = {name: write_records(records) for name in ("garbled", "truncated", "illegal")}
    garble(damaged["garbled"])
    damaged["truncated"].write_bytes(damaged["truncated"].read_bytes()[:300])
    with np.load(damaged["illegal"]) as archive:
        arrays = {key: archive[key] for key in archive.files if key != "sha256"}
    arrays["actions"][1, 1] = 24  # bottom right: no second square of an opening piece
    np.savez_compressed(damaged["illegal"], **arrays)
    contents = {name: path.read_bytes() for name, path in damaged.items()}

    main(["train", "--run-dir", str(run), "--epochs", "1", "--window-chunks", "0", *NET])
    load_checkpoint(run / "checkpoints" / "trained.pt")
    for name, path in damaged.items():
        assert f"{path}: " in caplog.text, name
        assert (records / "set-aside" / path.name).read_bytes() == contents[name]
        assert not path.exists()
    assert foreign.exists() and f"{foreign}: board side" in caplog.text


def test_diverged_training_writes_no_checkpoint(tmp_path: Path) -> None:
    run = tmp_path / "run"
    write_records(run / "records", games=4)
    with pytest.raises(SystemExit, match="training diverged"):
        main(
            ["train", "--run-dir", str(run), "--learning-rate", "1e6", "--batch-size", "4"]
            + ["--epochs", "3", *NET]
        )
    assert not (run / "checkpoints" / "trained.pt").exists()


def test_a_run_folder_in_use_is_refused_by_every_command_alike(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    run, empty = tmp_path / "run", tmp_path / "empty"
    write_records(run / "records")
    with RunLock(run), RunLock(empty):  # as other commands hold them
        for argv in (
            ["selfplay", "--run-dir", str(run), "--games", "1", *TINY],
            ["train", "--run-dir", str(run), *NET],
            ["loop", "--run-dir", str(empty), *LOOP],
        ):
            status, said = exit_of(argv, capsys)
            assert status == 1 and "is in use by another command" in said, argv
    assert not (run / "checkpoints").exists() and not (empty / "records").exists()


def test_default_run_folders_are_unique(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    folders = [new_run_dir() for _ in range(3)]  # within one second, as two runs may start
    assert len(set(folders)) == 3 and all(folder.is_dir() for folder in folders)


LOOP = ["--iterations", "1", "--games", "2", "--games-vs-random", "2", "--games-vs-best", "1"]
LOOP += ["--workers", "2", "--epochs", "1", "--final-games", "0", "--no-canonical", *TINY]


def test_loop_refuses_a_used_folder_and_resumes_after_its_last_iteration(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], caplog: pytest.LogCaptureFixture
) -> None:
    run = tmp_path / "run"
    main(["loop", "--run-dir", str(run), *LOOP])
    first = {path.name: path.read_bytes() for path in (run / "checkpoints").iterdir()}
    metrics = (run / "metrics.csv").read_bytes()
    capsys.readouterr()

    status, said = exit_of(["loop", "--run-dir", str(run), *LOOP], capsys)
    assert status == 1 and "is in use: add --resume" in said
    with pytest.raises(SystemExit) as stop:
        main(["loop", "--run-dir", str(run), "--resume", "--dim", "6"])
    assert stop.value.code == 2 and "--dim 6 cannot change" in capsys.readouterr().err
    assert (run / "metrics.csv").read_bytes() == metrics
    assert {p.name: p.read_bytes() for p in (run / "checkpoints").iterdir()} == first

    chunk = next((run / "records").glob("*.npz"))
    garble(chunk)  # the loop goes on without it
    main(["loop", "--run-dir", str(run), "--resume", "--iterations", "2"])
    assert "Resuming" in capsys.readouterr().out and str(chunk) in caplog.text
    rows = list(csv.DictReader((run / "metrics.csv").open()))
    assert [row["iteration"] for row in rows] == ["1", "2"]
    assert (run / "metrics.csv").read_bytes().startswith(metrics)
    assert (run / "checkpoints" / "iteration-001.pt").read_bytes() == first["iteration-001.pt"]
    for name in ("iteration-002.pt", "best.pt"):
        load_checkpoint(run / "checkpoints" / name)
    assert (run / "records" / "set-aside" / chunk.name).exists()
    network, metadata = load_checkpoint(run / "checkpoints" / "iteration-002.pt")
    # The run's own network settings, not the defaults.
    assert (network.settings.channels, network.settings.blocks) == (8, 1)
    assert not network.settings.canonical
    # One iteration alone trains at --learning-rate; the last of two at --final-learning-rate.
    assert load_checkpoint(run / "checkpoints" / "iteration-001.pt")[1]["learning_rate"] == 1e-3
    assert metadata["learning_rate"] == pytest.approx(1e-4)


def test_a_warm_started_loop_starts_from_the_trained_network(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    run = tmp_path / "run"
    main(
        [
            "loop",
            "--run-dir",
            str(run),
            "--warm-start-games",
            "4",
            "--warm-start-epochs",
            "2",
            *LOOP,
        ]
    )
    out = capsys.readouterr().out
    assert "Warm start: 4 games of four heuristic players" in out and ", 2 epochs;" in out
    assert read_chunk(next((run / "warm-start").glob("chunk-*.npz"))).games == 4
    torch.manual_seed(0)  # the loop's --seed: the network it would have started from
    untrained = PolicyValueNet(NetworkSettings(channels=8, blocks=1, canonical=False))
    first, _ = load_checkpoint(run / "checkpoints" / "iteration-000.pt")
    weights = zip(first.state_dict().values(), untrained.state_dict().values())
    assert not all(torch.equal(a, b) for a, b in weights)


def test_the_readme_commands_share_one_run_folder(tmp_path: Path) -> None:
    run = tmp_path / "run"
    main(["selfplay", "--run-dir", str(run), "--games", "2", *TINY])
    main(["train", "--run-dir", str(run), "--epochs", "1", *NET])
    main(
        ["arena", "--candidate", str(run / "checkpoints" / "trained.pt")]
        + ["--games-vs-random", "2", "--games-vs-best", "0", "--dim", "5", "--quiet"]
    )


def test_main_sh_help_installs_nothing(tmp_path: Path) -> None:
    root = Path(__file__).resolve().parents[4]
    (tmp_path / "scripts").mkdir()
    shutil.copy(root / "scripts" / "main.sh", tmp_path / "scripts" / "main.sh")
    marker = tmp_path / "installed"
    (tmp_path / "scripts" / "install_deps.sh").write_text(f"touch {marker}\n")
    (tmp_path / "python").symlink_to(root / "python")
    done = subprocess.run(
        ["bash", str(tmp_path / "scripts" / "main.sh"), "--help"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert "--iterations" in done.stdout and "--resume" in done.stdout
    assert not marker.exists() and not (tmp_path / ".venv").exists()


def test_arena_prints_labelled_figures_and_keeps_its_games(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    best = tmp_path / "best.pt"
    torch.manual_seed(1)
    save_checkpoint(best, PolicyValueNet(NetworkSettings(channels=8, blocks=1)))
    main(
        ["arena", "--best", str(best), "--dim", "5", "--games-vs-random", "4"]
        + ["--games-vs-best", "4", "--search-sims", "2", "--games-with-search", "4"]
        + ["--module-figures", "--seed", "3", "--keep-games", str(tmp_path / "kept"), *NET]
    )
    out = capsys.readouterr().out
    for label in (
        "network vs 3 random:",
        "network vs 3 heuristic:",
        "network vs 3 best:",
        "heuristic vs 3 random:",
        "network+search2 vs 3 heuristic:",
        "seat 0 only vs 3 random on 5 x 5:",
        "seat 0 only vs 3 best, 20 x 20 only:",
    ):
        assert label in out, out
    assert "over 4 games" in out and "an equal network passes it" in out
    assert len(list((tmp_path / "kept").glob("arena-*.json"))) == 6


@pytest.mark.skipif(engine_has_batches(), reason="the engine has the batched type")
def test_batched_driver_without_the_engine_type_is_a_usage_error(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    monkeypatch.chdir(tmp_path)
    for command in ("selfplay", "loop"):
        with pytest.raises(SystemExit) as stop:
            main([command, "--driver", "batched", "--quiet"])
        assert stop.value.code == 2
        assert "--driver: batched needs tessarin_engine.SelfPlayBatch" in capsys.readouterr().err
    assert not (tmp_path / "runs").exists()


@pytest.mark.parametrize(
    "driver",
    [
        "worker",
        pytest.param(
            "batched",
            marks=pytest.mark.skipif(not engine_has_batches(), reason="no batched type yet"),
        ),
    ],
)
def test_selfplay_writes_the_records_of_every_game_with_either_driver(
    tmp_path: Path, driver: str
) -> None:
    run = tmp_path / "run"
    main(["selfplay", "--run-dir", str(run), "--games", "3", "--driver", driver, *TINY])
    main(["selfplay", "--run-dir", str(run), "--games", "2", "--batch-games", "1", *TINY])
    games = [read_chunk(path) for path in sorted((run / "records").glob("*.npz"))]
    assert [chunk.games for chunk in games] == [3, 2] and all(c.dim == 5 for c in games)

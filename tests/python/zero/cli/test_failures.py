"""Every way a command fails ends in one line: status 1 naming what could not be read or written
(a full disk, a read-only folder, no usable records, a Ray address where Ray is not), status 2
for a command line that names the wrong thing; and nothing is left behind by a refused one."""

from __future__ import annotations

import http.server
import os
import shlex
import subprocess
import sys
import threading
from collections.abc import Iterator
from pathlib import Path

import pytest

from exits import exit_of
from files import garble
from games import uniform_game
from processes import PACKAGE_ROOT
from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.inference.checkpoints import save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.selfplay.ray.backend import RayBackend, RayBackendError, ray_available
from tessarin_zero.storage.kept_games import KeptGame
from tessarin_zero.storage.records import RecordWriter

TINY = ["--dim", "5", "--sims-per-move", "2", "--channels", "4", "--blocks", "1", "--quiet"]


def write_records(folder: Path, games: int = 2) -> Path:
    settings = GameSettings(dim=5, sims_per_move=2)
    with RecordWriter(folder, settings) as writer:
        for _ in range(games):
            writer.add(uniform_game(settings))
    return writer.paths[0]


def test_a_run_dir_that_is_a_file_or_mistyped_is_a_usage_error_that_makes_nothing(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "notes").write_text("not a run folder")
    for command in (["selfplay", "--games", "1"], ["train"], ["loop"]):
        status, said = exit_of([*command, "--run-dir", "notes", "--quiet"], capsys)
        assert status == 2 and "--run-dir: notes is a file, not a folder" in said, command
    status, said = exit_of(["train", "--run-dir", "rns/typo", "--quiet"], capsys)
    assert status == 2 and "--run-dir: rns/typo: no such folder" in said
    status, said = exit_of(["train", "--data", ".", "--out", ".", "--quiet"], capsys)
    assert status == 2 and "--out: . is a folder, not a checkpoint file" in said
    assert sorted(path.name for path in tmp_path.iterdir()) == ["notes"]


def test_training_on_chunks_that_are_all_set_aside_ends_in_one_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], caplog: pytest.LogCaptureFixture
) -> None:
    run = tmp_path / "run"
    for _ in range(2):
        garble(write_records(run / "records"))
    status, said = exit_of(["train", "--run-dir", str(run), "--quiet"], capsys)
    assert status == 1 and said.startswith(f"error: {run / 'records'}: no usable record chunks")
    assert len(list((run / "records" / "set-aside").glob("*.npz"))) == 2
    assert not (run / "checkpoints").exists()


def mount_namespace_problem(folder: Path) -> str:
    """Why this machine cannot mount a tmpfs on `folder` in a mount namespace of the test's own
    (which needs unshare and user namespaces, or root), or ''."""
    try:
        done = subprocess.run(
            ["unshare", "--user", "--map-root-user", "--mount"]
            + ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(folder)],
            capture_output=True,
            text=True,
            timeout=30,
        )
    except (OSError, subprocess.TimeoutExpired) as error:
        return str(error)
    return "" if done.returncode == 0 else done.stderr.strip()


@pytest.fixture(scope="module")
def seed_run(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A run folder with records, a network and a kept game, to be copied onto the mounts."""
    run = tmp_path_factory.mktemp("seed") / "run"
    write_records(run / "records")
    save_checkpoint(run / "checkpoints" / "best.pt", PolicyValueNet(NetworkSettings(4, 1)))
    record = uniform_game(GameSettings(dim=5, sims_per_move=2))
    history = [(int(player), int(tile)) for player, tile in record.history]
    KeptGame(5, history, ["random"] * 4, list(record.payoff)).save(run / "games" / "game.json")
    return run


COMMANDS = {
    "selfplay": ["selfplay", "--run-dir", "{m}/run", "--games", "2", "--workers", "1", *TINY],
    "train": ["train", "--run-dir", "{m}/run", "--epochs", "1", "--quiet"],
    "loop": ["loop", "--run-dir", "{m}/new", "--iterations", "1", "--games", "2", *TINY],
    "arena": ["arena", "--candidate", "{m}/run/checkpoints/best.pt", "--dim", "5"]
    + ["--games-vs-random", "4", "--games-vs-best", "0", "--keep-games", "{m}/kept", "--quiet"],
    "render": ["render", "{m}/run/games/game.json", "--out", "{m}/pictures"],
}


def run_on_mount(
    prepare: str, commands: dict[str, list[str]], work: Path
) -> tuple[Path, dict[str, tuple[int, str, str]]]:
    """Runs each command (with {m} the mount) in a mount namespace of its own on a fresh tmpfs
    made ready by the shell lines `prepare`; returns the mount and each command's status,
    output and errors."""
    mount = work / "mount"
    mount.mkdir(parents=True)
    python = " ".join(map(shlex.quote, [sys.executable, "-m", "tessarin_zero"]))
    lines = ["set -e", f"mount -t tmpfs -o size=8m tmpfs {mount}", prepare.format(m=mount)]
    lines.append("set +e")
    for name, argv in commands.items():
        words = " ".join(shlex.quote(word.format(m=mount)) for word in argv)
        out = work / name
        lines.append(f"{python} {words} >{out}.out 2>{out}.err; echo $? >{out}.status")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE_ROOT), *sys.path]))
    subprocess.run(
        ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", "\n".join(lines)],
        cwd=work,
        env=env,
        check=True,
        timeout=600,
    )
    results = {}
    for name in commands:
        status = int((work / f"{name}.status").read_text())
        results[name] = (
            status,
            (work / f"{name}.out").read_text(),
            (work / f"{name}.err").read_text(),
        )
    return mount, results


def assert_one_line_naming(
    mount: Path, results: dict[str, tuple[int, str, str]], named: dict[str, str]
) -> None:
    for name, (status, out, err) in results.items():
        assert status == 1 and "Traceback" not in err, (name, err)
        assert err.strip().splitlines()[-1] == "error: " + named[name].format(m=mount), name
        if name == "arena":
            assert out == ""  # refused before its matches


READ_ONLY = {
    "selfplay": "{m}/run/.lock: Read-only file system",
    "train": "{m}/run/.lock: Read-only file system",
    "loop": "{m}/new: Read-only file system",
    "arena": "{m}/kept: Read-only file system",
    "render": "{m}/pictures: Read-only file system",
}
FULL = {
    "selfplay": "{m}/run/records: No space left on device",
    "train": "{m}/run/checkpoints: No space left on device",  # before it trains
    "arena": "{m}/kept: No space left on device",  # before it plays
    "render": "{m}/pictures: No space left on device",
}


@pytest.mark.parametrize("kind", ["full", "read-only"])
def test_commands_on_a_full_or_read_only_disk_end_in_one_line_naming_the_file(
    tmp_path: Path, seed_run: Path, kind: str
) -> None:
    problem = mount_namespace_problem(tmp_path)
    if problem:
        pytest.skip(f"cannot mount a small tmpfs of the test's own: {problem}")
    copy = f"cp -r {shlex.quote(str(seed_run))} {{m}}/run"
    if kind == "read-only":
        prepare = f"{copy}\nmount -o remount,ro {{m}}"
        assert_one_line_naming(*run_on_mount(prepare, COMMANDS, tmp_path), READ_ONLY)
        return
    fill = "dd if=/dev/zero of={m}/filler bs=4k 2>/dev/null || true"
    # Room for a loop's settings, not for its first network (a wide one: hundreds of KB).
    wide = [*COMMANDS["loop"], "--channels", "64", "--blocks", "2"]
    prepare = f"{copy}\n{fill}\ntruncate -s -64K {{m}}/filler"
    mount, results = run_on_mount(prepare, {"loop": wide}, tmp_path / "room")
    assert_one_line_naming(
        mount, results, {"loop": "{m}/new/checkpoints/iteration-000.pt: No space left on device"}
    )
    others = {name: COMMANDS[name] for name in FULL}
    assert_one_line_naming(*run_on_mount(f"{copy}\n{fill}", others, tmp_path / "full"), FULL)


@pytest.fixture
def http_server() -> Iterator[int]:
    """The port of an HTTP server on this machine."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.server_address[1]
    server.shutdown()
    server.server_close()


@pytest.mark.skipif(not ray_available(), reason="ray is not installed")
def test_a_ray_address_where_another_server_listens_is_refused_at_once(http_server: int) -> None:
    with pytest.raises(RayBackendError, match="cannot reach the Ray cluster at .*not a Ray head"):
        with RayBackend(f"127.0.0.1:{http_server}"):
            pass


@pytest.mark.skipif(not ray_available(), reason="ray is not installed")
def test_a_ray_head_passes_the_check_of_its_address() -> None:
    import ray

    with RayBackend(num_cpus=1):  # a local instance, then joined again by its address
        address = ray.get_runtime_context().gcs_address
        with RayBackend(address) as joined:
            assert joined.address == address

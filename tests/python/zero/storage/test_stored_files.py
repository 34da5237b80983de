"""Stored files are checked when loaded: a damaged, foreign or diverged file is refused with a
message that names it, files written before checksums existed still load, and games journaled
by a process that was killed come back as a chunk."""

from __future__ import annotations

import dataclasses
import io
import json
import subprocess
import tracemalloc
import zipfile
from pathlib import Path

import numpy as np
import pytest
import torch

from files import forge, garble
from games import on_side, uniform_game
from tessarin_zero.cli import main
from tessarin_zero.evaluation.arena import run_arena
from tessarin_zero.storage.kept_games import load_game
from tessarin_zero.storage.records import (
    MAX_DIM,
    SET_ASIDE,
    RecordError,
    RecordWriter,
    GameRecord,
    read_chunk,
    recover_journal,
)
from tessarin_zero.training.tensors import load_training_tensors
from tessarin_zero.training.window import load_window
from tessarin_zero.inference.checkpoints import load_checkpoint, save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.common.settings import GameSettings, NetworkSettings, TrainSettings

DIM = 5
SETTINGS = GameSettings(dim=DIM, sims_per_move=2)
TINY = NetworkSettings(channels=4, blocks=1)


@pytest.fixture(scope="module")
def record() -> GameRecord:
    return uniform_game(SETTINGS)


def write_chunk(folder: Path, record: GameRecord, games: int = 2) -> Path:
    with RecordWriter(folder, SETTINGS) as writer:
        for _ in range(games):
            writer.add(record)
    assert len(writer.paths) == 1
    return writer.paths[0]


def damaged_copies(source: Path, folder: Path) -> dict[str, Path]:
    """Copies of a file damaged the ways disks, copies and people damage files."""
    data = source.read_bytes()
    copies = {
        "truncated": data[: len(data) // 2],
        "empty": b"",
        "text": b"not a stored file, just some text\n",
    }
    paths = {}
    for name, content in copies.items():
        paths[name] = folder / f"{name}{source.suffix}"
        paths[name].write_bytes(content)
    paths["garbled"] = folder / f"garbled{source.suffix}"
    paths["garbled"].write_bytes(data)
    garble(paths["garbled"])
    return paths


def test_damaged_chunks_are_refused_with_their_name(record: GameRecord, tmp_path: Path) -> None:
    chunk = write_chunk(tmp_path / "records", record)
    for name, path in damaged_copies(chunk, tmp_path).items():
        with pytest.raises(RecordError) as refused:
            read_chunk(path)
        assert str(refused.value).startswith(f"{path}: "), name

    # Damage that still unpacks: one visit share changed inside a well-formed archive.
    with np.load(chunk) as archive:
        arrays = dict(archive)
    arrays["policy"] = arrays["policy"].copy()
    arrays["policy"][0, 0] += 0.5
    np.savez_compressed(tmp_path / "edited.npz", **arrays)
    with pytest.raises(RecordError, match="edited.npz: checksum mismatch"):
        read_chunk(tmp_path / "edited.npz")


def test_chunks_without_a_checksum_still_load_and_are_still_checked(
    record: GameRecord, tmp_path: Path
) -> None:
    chunk = write_chunk(tmp_path / "records", record)
    with np.load(chunk) as archive:
        legacy = {key: archive[key] for key in archive.files if key != "sha256"}
    np.savez_compressed(tmp_path / "legacy.npz", **legacy)
    assert read_chunk(tmp_path / "legacy.npz").games == 2
    assert len(load_training_tensors([tmp_path / "legacy.npz"], augment=False)) > 0

    payoffs = legacy["payoffs"].copy()
    payoffs[1, 2] = np.nan
    np.savez_compressed(tmp_path / "nan.npz", **dict(legacy, payoffs=payoffs))
    with pytest.raises(RecordError, match=r"nan.npz: game 1: payoffs \[.*nan.*\] are not finite"):
        read_chunk(tmp_path / "nan.npz")


def header_only(chunk: Path, target: Path, member: str, shape: tuple[int, ...]) -> Path:
    """A copy of `chunk` whose array `member` declares `shape` (float32) but holds no data, as a
    forger who wants the reader to allocate it would write it."""
    with zipfile.ZipFile(chunk) as source, zipfile.ZipFile(target, "w") as forged:
        for info in source.infolist():
            content = source.read(info)
            if info.filename == member:
                header = {"descr": "<f4", "fortran_order": False, "shape": shape}
                stream = io.BytesIO()
                np.lib.format.write_array_header_1_0(stream, header)
                content = stream.getvalue()
            forged.writestr(info.filename, content, zipfile.ZIP_DEFLATED)
    return target


def refusal_and_peak(path: Path) -> tuple[str, int]:
    """read_chunk's refusal of `path` and the most memory Python and NumPy held meanwhile."""
    tracemalloc.start()
    try:
        with pytest.raises(RecordError) as refused:
            read_chunk(path)
        return str(refused.value), tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_sizes_a_file_declares_are_checked_before_anything_is_allocated(
    record: GameRecord, tmp_path: Path
) -> None:
    chunk = write_chunk(tmp_path / "records", record)
    steps = len(read_chunk(chunk).actions)
    policy = header_only(chunk, tmp_path / "policy.npz", "policy.npy", (steps, MAX_DIM**2))
    text, peak = refusal_and_peak(policy)
    assert text.startswith(f"{policy}: array policy.npy declares {steps * 4 * MAX_DIM**2} bytes")
    assert peak < 1 << 24
    # An array file (not an archive) named as a chunk: NumPy would read it whole at once.
    lone = tmp_path / "lone.npz"
    with open(lone, "wb") as stream:
        header = {"descr": "<f4", "fortran_order": False, "shape": (MAX_DIM, MAX_DIM)}
        np.lib.format.write_array_header_1_0(stream, header)
    text, peak = refusal_and_peak(lone)
    assert text == f"{lone}: not a record chunk (not a zip archive)" and peak < 1 << 24

    beyond = forge(chunk, tmp_path / "beyond.npz", dim=np.int32(MAX_DIM + 1))
    with pytest.raises(RecordError, match=f"board side {MAX_DIM + 1} is not one the engine plays"):
        read_chunk(beyond)


def test_a_chunk_on_the_largest_side_is_set_aside_and_drawn_nowhere(
    record: GameRecord, tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    # Every array agrees with the side, and the checksum holds: one game without an action.
    records = tmp_path / "run" / "records"
    honest = write_chunk(records, record)
    largest = forge(
        honest,
        records / honest.name.replace("chunk-", "chunk-9", 1),
        dim=np.int32(MAX_DIM),
        actions=np.zeros((0, 2), np.int32),
        game_lengths=np.zeros(1, np.int32),
        policy=np.zeros((0, MAX_DIM**2), np.float32),
        has_policy=np.zeros(0, bool),
        payoffs=np.full((1, 4), 0.25, np.float32),
    )
    assert largest.stat().st_size < 4096 and read_chunk(largest).dim == MAX_DIM
    kept = tmp_path / "largest.npz"
    kept.write_bytes(largest.read_bytes())
    with pytest.raises(SystemExit, match=f"larger than the 800 drawn"):
        main(["render", str(kept), "--out", str(tmp_path / "pictures")])

    settings = TrainSettings(window_chunks=0, augment=False)
    tensors, used = load_window([records], settings, dim=None)
    assert used == 1 and len(tensors) == len(load_training_tensors([honest], augment=False))
    assert f"{largest}: game 0: 0 actions: the game cannot be over" in caplog.text
    assert (records / SET_ASIDE / largest.name).exists() and not largest.exists()


def test_kept_games_with_impossible_fields_are_refused_in_one_line(tmp_path: Path) -> None:
    game = {"dim": 5, "history": [[0, 0]], "seats": ["a"] * 4, "payoff": [0.25] * 4}
    cases = {
        "negative side": ({"dim": -5}, "board side -5 is not one the engine plays"),
        "side beyond the engine": ({"dim": MAX_DIM + 1}, f"board side {MAX_DIM + 1} is not"),
        "negative tile": ({"history": [[0, -1]]}, "action 0: tile -1 is off the 5 x 5 board"),
        "player 4": ({"history": [[4, 0]]}, "action 0: player 4 is not one of 0 to 3"),
        "three seats": ({"seats": ["a"] * 3}, "3 seats and 4 payoffs, not 4"),
    }
    for name, (change, problem) in cases.items():
        path = tmp_path / f"{name}.json"
        path.write_text(json.dumps({**game, **change}))
        with pytest.raises(SystemExit, match=f"^error: {path}: not a kept game \\({problem}"):
            main(["render", str(path), "--out", str(tmp_path / "pictures")])
    largest = tmp_path / "largest.json"
    largest.write_text(json.dumps({**game, "dim": MAX_DIM}))
    assert load_game(largest).dim == MAX_DIM
    with pytest.raises(SystemExit, match="board side 46340 is larger than the 800 drawn"):
        main(["render", str(largest), "--out", str(tmp_path / "pictures")])
    assert not (tmp_path / "pictures").exists()


def test_records_with_non_finite_payoffs_are_refused_when_written(
    record: GameRecord, tmp_path: Path
) -> None:
    writer = RecordWriter(tmp_path, SETTINGS)
    with pytest.raises(ValueError, match="payoff"):
        writer.add(record._replace(payoff=[float("nan"), 0.5, 0.25, 0.25]))
    writer.close()
    assert writer.paths == [] and list(tmp_path.iterdir()) == []


def test_unusable_chunks_are_reported_and_left_out(record: GameRecord, tmp_path: Path) -> None:
    good = write_chunk(tmp_path / "a", record)
    garbled = write_chunk(tmp_path / "b", record)
    garble(garbled)
    other_side = tmp_path / "c" / "side7.npz"
    with RecordWriter(tmp_path / "c", on_side(SETTINGS, 7)) as writer:
        writer.add(uniform_game(on_side(SETTINGS, 7)))
    writer.paths[0].rename(other_side)
    refused: list[RecordError] = []
    tensors = load_training_tensors(
        [garbled, good, other_side], augment=False, dim=DIM, on_refused=refused.append
    )
    assert len(tensors) == len(load_training_tensors([good], augment=False))
    assert {(error.path, error.damaged) for error in refused} == {
        (garbled, True),
        (other_side, False),
    }
    foreign = next(error for error in refused if not error.damaged)
    assert "board side 7, not 5" in str(foreign)


def dead_pid() -> int:
    process = subprocess.Popen(["true"])
    process.wait()
    return process.pid


def as_written_by(path: Path, pid: int) -> Path:
    """Renames a chunk or journal entry as if process `pid` had written it."""
    parts = path.name.split("-")
    parts[2] = f"{pid:07d}"
    return path.rename(path.with_name("-".join(parts)))


def test_games_journaled_by_a_killed_writer_become_a_chunk(
    record: GameRecord, tmp_path: Path
) -> None:
    writer = RecordWriter(tmp_path, SETTINGS)
    for _ in range(3):
        writer.add(record)
    # The process is killed here: nothing flushed. Its entries now belong to a dead process.
    pid = dead_pid()
    for entry in sorted((tmp_path / ".journal").iterdir()):
        as_written_by(entry, pid)
    recovered = RecordWriter(tmp_path, SETTINGS).paths
    assert len(recovered) == 1 and read_chunk(recovered[0]).games == 3
    assert sorted(tmp_path.iterdir()) == recovered  # journal gone

    # Killed after writing its chunk, while removing its entries: no game twice.
    writer = RecordWriter(tmp_path / "again", SETTINGS)
    for _ in range(2):
        writer.add(record)
    first = sorted((tmp_path / "again" / ".journal").iterdir())[0]
    kept = first.read_bytes()
    writer.flush()
    first.parent.mkdir()
    first.write_bytes(kept)  # the first entry is removed last: killed just before that
    as_written_by(first, pid)
    as_written_by(writer.paths[0], pid)
    assert recover_journal(tmp_path / "again") == []
    chunks = sorted((tmp_path / "again").iterdir())
    assert len(chunks) == 1 and read_chunk(chunks[0]).games == 2


def saved(tmp_path: Path, model: PolicyValueNet | None = None) -> tuple[Path, PolicyValueNet]:
    torch.manual_seed(3)
    model = model or PolicyValueNet(TINY)
    path = tmp_path / "net.pt"
    save_checkpoint(path, model, iteration=4)
    return path, model


def test_damaged_checkpoints_are_refused_with_their_name(tmp_path: Path) -> None:
    path, _ = saved(tmp_path)
    for name, copy in damaged_copies(path, tmp_path).items():
        with pytest.raises(ValueError) as refused:
            load_checkpoint(copy)
        assert str(refused.value).startswith(f"{copy}: "), name
    with pytest.raises(ValueError, match="empty.pt: the file is empty"):
        load_checkpoint(tmp_path / "empty.pt")

    payload = torch.load(path, weights_only=True)
    payload["state_dict"]["stem.0.weight"][0, 0, 0, 0] += 1.0
    torch.save(payload, tmp_path / "edited.pt")
    with pytest.raises(ValueError, match="edited.pt: checksum mismatch"):
        load_checkpoint(tmp_path / "edited.pt")


def test_checkpoints_without_a_checksum_still_load(tmp_path: Path) -> None:
    path, model = saved(tmp_path)
    payload = torch.load(path, weights_only=True)
    del payload["sha256"]
    del payload["network"]["canonical"]  # older networks saw positions unturned
    torch.save(payload, tmp_path / "legacy.pt")
    loaded, metadata = load_checkpoint(tmp_path / "legacy.pt")
    assert metadata == {"iteration": 4} and not loaded.settings.canonical
    for name, tensor in model.state_dict().items():
        torch.testing.assert_close(loaded.state_dict()[name], tensor)


def test_checkpoints_from_before_the_head_widths_load_with_the_narrow_heads(
    tmp_path: Path,
) -> None:
    narrow = NetworkSettings(4, 1, canonical=False, policy_channels=2, value_channels=4)
    model = PolicyValueNet(dataclasses.replace(narrow, ownership_head=False))
    path = tmp_path / "narrow.pt"
    save_checkpoint(path, model, iteration=1)
    payload = torch.load(path, weights_only=True)
    del payload["sha256"]
    for key in ("canonical", "policy_channels", "value_channels", "ownership_head"):
        del payload["network"][key]
    torch.save(payload, path)
    loaded, _ = load_checkpoint(path)
    assert loaded.settings == model.settings
    with pytest.raises(ValueError, match="no ownership head"):
        loaded.forward_with_ownership(torch.zeros(1, 5, 6, 6))


def test_a_diverged_network_is_never_saved_served_or_promoted(tmp_path: Path) -> None:
    torch.manual_seed(4)
    diverged = PolicyValueNet(TINY)
    with torch.no_grad():
        diverged.value_mlp[-1].weight[0, 0] = float("nan")
    with pytest.raises(ValueError, match="not saved, the network has non-finite weights"):
        save_checkpoint(tmp_path / "nan.pt", diverged)
    assert not (tmp_path / "nan.pt").exists()

    path, _ = saved(tmp_path)  # one written without the check, as before it existed
    payload = torch.load(path, weights_only=True)
    payload["state_dict"]["value_mlp.2.weight"][0, 0] = float("nan")
    del payload["sha256"]
    torch.save(payload, tmp_path / "legacy-nan.pt")
    with pytest.raises(ValueError, match="legacy-nan.pt: non-finite weights"):
        load_checkpoint(tmp_path / "legacy-nan.pt")

    with pytest.raises(ValueError, match="non-finite"):
        NetworkFactory.of(diverged, TINY)
    with pytest.raises(ValueError, match="non-finite"):
        run_arena(
            diverged,
            PolicyValueNet(TINY),
            GameSettings(dim=DIM),
            inference="onnx",
            games_vs_random=1,
            games_vs_best=1,
            threshold=0.0,
        )

"""Real self-play records survive the chunk files and come back as the engine's positions; a
chunk forged against the rules, with a valid checksum, is set aside naming its file and game
and cannot change a network."""

from __future__ import annotations

import dataclasses
import math
import shutil
from collections.abc import Callable
from pathlib import Path

from typing import Any

import numpy as np
import numpy.typing as npt
import pytest
import tessarin_engine
import torch

from files import forge
from games import uniform_game
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.storage.records import SET_ASIDE, GameRecord, RecordWriter, read_chunk
from tessarin_zero.training.tensors import load_training_tensors
from tessarin_zero.training.train import train
from tessarin_zero.training.window import load_window
from tessarin_zero.common.settings import GameSettings, NetworkSettings, TrainSettings
from tessarin_zero.training.symmetry import EXACT_SYMMETRIES, transform_sample

DIM = 5
KEYS = ("game_lengths", "actions", "payoffs", "policy", "has_policy")


SETTINGS = GameSettings(dim=DIM, sims_per_move=2)


@pytest.fixture(scope="module")
def records() -> list[GameRecord]:
    # The last game runs no simulation: every share is 0 / 0 and no step has a policy target.
    return [uniform_game(SETTINGS) for _ in range(3)] + [
        uniform_game(dataclasses.replace(SETTINGS, sims_per_move=0))
    ]


@pytest.fixture(scope="module")
def chunks(records: list[GameRecord], tmp_path_factory: pytest.TempPathFactory) -> list[Path]:
    folder = tmp_path_factory.mktemp("records")
    with RecordWriter(folder, SETTINGS, games_per_chunk=3) as writer:
        for record in records:
            writer.add(record)
    assert sorted(folder.iterdir()) == writer.paths  # names sort by time, no temporaries left
    return writer.paths


def test_chunks_hold_the_records(records: list[GameRecord], chunks: list[Path]) -> None:
    first, last = (read_chunk(path) for path in chunks)  # a full chunk, the rest written on close
    assert (first.games, last.games) == (3, 1) and first.config == dataclasses.asdict(SETTINGS)
    joined = {key: np.concatenate([getattr(first, key), getattr(last, key)]) for key in KEYS}
    assert joined["game_lengths"].tolist() == [len(r.history) for r in records]
    assert joined["actions"].tolist() == [list(a) for r in records for a in r.history]
    np.testing.assert_allclose(joined["payoffs"], [r.payoff for r in records])
    policies = [policy for r in records for policy in r.policies]
    for dense, flag, policy in zip(joined["policy"], joined["has_policy"], policies, strict=True):
        tiles, shares = zip(*policy)
        finite = not math.isnan(shares[0])
        assert flag == finite
        assert dense[list(tiles)].tolist() == (list(shares) if finite else [0.0] * len(tiles))
        assert dense.sum() == pytest.approx(sum(shares) if finite else 0.0)  # nothing elsewhere


def test_loader_rebuilds_positions_and_targets(
    records: list[GameRecord], chunks: list[Path]
) -> None:
    tensors = load_training_tensors(chunks, augment=False)
    expected_states, expected_values, expected_owners = [], [], []
    for history, policies, payoff in records:
        game, movers = tessarin_engine.Game(DIM), []
        for (player, tile), policy in zip(history, policies):
            if not math.isnan(policy[0][1]):
                expected_states.append(np.frombuffer(game.state(), np.uint8).reshape(5, DIM, DIM))
                expected_values.append([payoff[(player + j) % 4] for j in range(4)])
                movers.append(player)
            game.apply(tile)
        # Who covers each cell at the end, read from the final position's planes.
        final = np.frombuffer(game.state(), np.uint8).reshape(5, DIM, DIM)[:4]
        owner = np.where(final.any(axis=0), final.argmax(axis=0) + game.current_player, -1)
        for mover in movers:
            expected_owners.append(np.where(owner < 0, 4, (owner - mover) % 4))
    assert len(tensors) == len(expected_states) == sum(len(r.history) for r in records[:3])
    np.testing.assert_array_equal(tensors.states.numpy(), np.stack(expected_states))
    np.testing.assert_allclose(tensors.value.numpy(), expected_values)
    assert tensors.ownership is not None
    np.testing.assert_array_equal(tensors.ownership.numpy(), np.stack(expected_owners))
    assert (tensors.ownership.numpy() == 4).any()  # a game also leaves cells nobody covers
    np.testing.assert_allclose(tensors.policy.sum(dim=1).numpy(), 1.0, rtol=1e-5)
    assert not (tensors.policy * (1 - tensors.states[:, 4].flatten(1))).any()  # mass on legal


def test_augmented_samples_are_exact_turns(chunks: list[Path]) -> None:
    plain = load_training_tensors(chunks, augment=False)
    turned = load_training_tensors(chunks, augment=True, rng=np.random.default_rng(3))
    used = set()
    for i in range(len(plain)):
        recorded = (plain.states[i].numpy(), plain.policy[i].numpy(), plain.value[i].numpy())
        loaded = (turned.states[i].numpy(), turned.policy[i].numpy(), turned.value[i].numpy())
        assert plain.ownership is not None and turned.ownership is not None
        matches = {
            symmetry
            for symmetry in EXACT_SYMMETRIES
            if all((x == y).all() for x, y in zip(transform_sample(symmetry, *recorded), loaded))
            and (symmetry.board(plain.ownership[i].numpy()) == turned.ownership[i].numpy()).all()
        }
        assert matches, f"sample {i} is no exact turn of the recorded one"
        used |= matches
    assert len(used) > 1
    assert not (turned.policy * (1 - turned.states[:, 4].flatten(1))).any()  # mass on legal


def test_damaged_or_foreign_chunks_are_refused(chunks: list[Path], tmp_path: Path) -> None:
    with np.load(chunks[0]) as archive:
        arrays = dict(archive)
    del arrays["sha256"]  # edited by hand as chunks without a checksum: the checks behind it
    newer = dict(arrays, format_version=np.int32(2))
    np.savez_compressed(tmp_path / "newer.npz", **newer)
    with pytest.raises(ValueError, match="version"):
        read_chunk(tmp_path / "newer.npz")
    wrong_player, illegal_tile = arrays["actions"].copy(), arrays["actions"].copy()
    wrong_player[0, 0] = 1
    illegal_tile[1, 1] = DIM * DIM - 1  # bottom right: no second square of an opening piece
    lengths = arrays["game_lengths"].copy()
    lengths[-1] -= 1
    damaged = {
        "player": dict(arrays, actions=wrong_player),
        "tile": dict(arrays, actions=illegal_tile),
        "truncated": {
            **arrays,
            **{key: arrays[key][:-1] for key in ("actions", "policy", "has_policy")},
            "game_lengths": lengths,
        },
    }
    for name, damage in damaged.items():
        np.savez_compressed(tmp_path / f"{name}.npz", **damage)
        with pytest.raises(ValueError, match=f"^{tmp_path / name}.npz: "):
            load_training_tensors([tmp_path / f"{name}.npz"], augment=False)


def test_chunk_is_invisible_until_complete(
    records: list[GameRecord], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    seen_while_writing: list[Path] = []

    def broken(*args: Any, **kwargs: Any) -> None:
        seen_while_writing.extend(tmp_path.glob("*.npz"))
        raise OSError("disk full")

    monkeypatch.setattr(np, "savez_compressed", broken)
    writer = RecordWriter(tmp_path, SETTINGS, games_per_chunk=1)
    with pytest.raises(OSError, match="disk full"):
        writer.add(records[0])
    assert seen_while_writing == [] and list(tmp_path.iterdir()) == []


Forgery = tuple[dict[str, npt.NDArray[Any]], str]


def forgeries(chunk: Path) -> dict[str, Forgery]:
    """Ways to forge game 1 of `chunk` that the file's own checks cannot see, as arrays to
    replace, each with the start of the refusal it earns after the file's name."""
    with np.load(chunk) as archive:
        arrays = {key: archive[key] for key in archive.files}
    lengths = arrays["game_lengths"]
    start, end = int(lengths[0]), int(lengths[0] + lengths[1])
    row = next(r for r in range(start + 4, end) if arrays["has_policy"][r])
    at = f"game 1, action {row - start} (row {row}): policy target: "
    occupied = int(arrays["actions"][start, 1])  # game 1's first square: never legal again

    def policy(edit: Callable[[npt.NDArray[np.float32]], None]) -> dict[str, npt.NDArray[Any]]:
        forged = arrays["policy"].copy()
        edit(forged[row])
        return {"policy": forged}

    def payoffs(values: list[float]) -> dict[str, npt.NDArray[Any]]:
        forged = arrays["payoffs"].copy()
        forged[1] = values
        return {"payoffs": forged}

    def on_occupied(shares: npt.NDArray[np.float32]) -> None:
        shares[:] = 0.0
        shares[occupied] = 1.0

    def scaled(shares: npt.NDArray[np.float32]) -> None:
        shares *= 1e30

    def halved(shares: npt.NDArray[np.float32]) -> None:
        shares /= 2

    outcome = arrays["payoffs"][1]
    other = [1.0, 0.0, 0.0, 0.0] if outcome[0] != 1.0 else [0.0, 1.0, 0.0, 0.0]
    kept = np.arange(len(arrays["has_policy"])) != end - 1  # game 1's last action dropped
    cut = {key: arrays[key][kept] for key in ("actions", "policy", "has_policy")}
    cut["game_lengths"] = lengths - (np.arange(len(lengths)) == 1)
    return {
        "impossible payoffs": (payoffs([1e6, -1e6, 0.0, 0.0]), "game 1: payoffs [1000000, "),
        "another outcome": (payoffs(other), "game 1: payoffs "),
        "all mass on an illegal tile": (policy(on_occupied), at + "visit share 1 on tile "),
        "shares times 1e30": (policy(scaled), at + "visit shares sum to "),
        "shares halved": (policy(halved), at + "visit shares sum to 0.5"),
        "a game cut short": (cut, "game 1: the game is not over after its"),
    }


def honest_and_forged(chunk: Path, folder: Path, forgery: Forgery) -> tuple[Path, Path]:
    """`folder` holding a copy of `chunk` and, written after it, a forged copy."""
    folder.mkdir(parents=True)
    honest = Path(shutil.copy(chunk, folder / chunk.name))
    forged = forge(chunk, folder / chunk.name.replace("chunk-", "chunk-9", 1), **forgery[0])
    return honest, forged


PLAIN = TrainSettings(batch_size=16, epochs=1, window_chunks=0, augment=False)


def test_forged_chunks_are_set_aside_naming_file_and_game(
    chunks: list[Path], tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    samples = len(load_training_tensors(chunks[:1], augment=False))
    for name, forgery in forgeries(chunks[0]).items():
        honest, forged = honest_and_forged(chunks[0], tmp_path / name, forgery)
        content = forged.read_bytes()
        assert read_chunk(forged).games == 3, name  # the checksum holds
        tensors, used = load_window([forged.parent], PLAIN, dim=None)
        assert (len(tensors), used) == (samples, 1), name
        assert f"{forged}: {forgery[1]}" in caplog.text, name
        assert (forged.parent / SET_ASIDE / forged.name).read_bytes() == content, name
        assert honest.exists() and not forged.exists(), name


def test_a_forged_chunk_cannot_change_a_network(chunks: list[Path], tmp_path: Path) -> None:
    forgery = forgeries(chunks[0])["impossible payoffs"]
    honest, _ = honest_and_forged(chunks[0], tmp_path / "forged", forgery)
    alone = tmp_path / "honest"
    alone.mkdir()
    shutil.copy(honest, alone)
    weights = []
    for folder in (honest.parent, alone):
        torch.manual_seed(5)
        model = PolicyValueNet(NetworkSettings(channels=4, blocks=1))
        tensors, _ = load_window([folder], PLAIN, dim=None)
        train(model, tensors, PLAIN, progress=False, generator=torch.Generator().manual_seed(6))
        weights.append(model.state_dict())
    for name, tensor in weights[0].items():
        assert torch.equal(tensor, weights[1][name]), name

"""Real self-play records survive the chunk files and come back as the engine's positions."""

from __future__ import annotations

import dataclasses
import math
from pathlib import Path

from typing import Any

import numpy as np
import pytest
import tessarin_engine


from games import uniform_game
from tessarin_zero.storage.records import GameRecord, RecordWriter, read_chunk
from tessarin_zero.training.tensors import load_training_tensors
from tessarin_zero.common.settings import GameSettings
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

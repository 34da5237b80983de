"""The warm start: heuristic games become sound records, and training on them teaches the
network the heuristic's tiles."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import tessarin_engine
import torch

from tessarin_zero.training.tensors import load_training_tensors
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.common.settings import NetworkSettings, TrainSettings
from tessarin_zero.training.warm_start import heuristic_records, warm_start

DIM = 5


def test_heuristic_games_replay_with_the_played_tile_as_each_target(tmp_path: Path) -> None:
    records = heuristic_records(DIM, 6, seed=3)
    assert records == heuristic_records(DIM, 6, seed=3)  # a seeded run is repeatable
    positions, _ = warm_start(
        PolicyValueNet(NetworkSettings(channels=8, blocks=1)),
        DIM,
        6,
        tmp_path,
        TrainSettings(epochs=1, augment=False),
        seed=3,
        progress=False,
    )
    # The chunks replay through the engine (a wrong player or tile would be refused there),
    # every action a sample whose target is the tile played.
    tensors = load_training_tensors(sorted(tmp_path.glob("chunk-*.npz")), augment=False)
    tiles = [tile for record in records for _, tile in record.history]
    assert positions == len(tensors) == len(tiles)
    assert tensors.policy.argmax(dim=1).tolist() == tiles


def agreement(model: PolicyValueNet, games: int, seed: int) -> float:
    """How often the network's most likely legal tile is the heuristic's, over heuristic games
    of another seed than the training games."""
    same = total = 0
    model.eval()
    for history, _, _ in heuristic_records(DIM, games, seed):
        replay = tessarin_engine.Game(DIM)
        for _, tile in history:
            raw = np.frombuffer(replay.state(), dtype=np.uint8).reshape(1, 5, DIM, DIM)
            with torch.no_grad():
                logits = model(torch.from_numpy(raw.astype(np.float32)))[0][0]
            legal = replay.legal_tiles()
            same += legal[int(logits[legal].argmax())] == tile
            total += 1
            replay.apply(tile)
    return same / total


def test_a_warm_start_teaches_the_heuristics_tiles(tmp_path: Path) -> None:
    torch.manual_seed(0)
    model = PolicyValueNet(NetworkSettings(channels=16, blocks=1))
    before = agreement(model, 16, seed=99)
    warm_start(
        model, DIM, 128, tmp_path, TrainSettings(epochs=3, augment=False), seed=1, progress=False
    )
    after = agreement(model, 16, seed=99)
    assert after > before + 0.2, (before, after)

"""A warm start for a new network: games of four heuristic players, and training on them.

A new network knows nothing, and on a small budget self-play spends many iterations finding
what the engine's heuristic already plays (the largest pieces first, toward open corners). Games
of four heuristic players cost well under a millisecond each; a network trained on them (the
heuristic's tile as the policy target, the game's payoffs as the value target) starts the loop
from that play, and self-play with search then improves on a prior worth searching from.
"""

from __future__ import annotations

from pathlib import Path

from torch import nn

from tessarin_zero.common.settings import GameSettings, TrainSettings
from tessarin_zero.evaluation.matches import HEURISTIC, MatchSettings, play_lineup
from tessarin_zero.storage.records import GameRecord, RecordWriter
from tessarin_zero.training.tensors import load_training_tensors
from tessarin_zero.training.train import train

WARM_START_FOLDER = "warm-start"
"""The run folder's subfolder of the heuristic games a loop started from."""


def heuristic_records(dim: int, games: int, seed: int) -> list[GameRecord]:
    """`games` games of four heuristic players on a dim x dim board, played by the engine's
    match batch, as training records: each action's policy target is the tile the heuristic
    played."""
    results = play_lineup([HEURISTIC] * 4, MatchSettings(dim, seed=seed), games, "warm start")
    records = []
    for result in results:
        history = [(int(player), int(tile)) for player, tile in result.history]
        policies = [[(tile, 1.0)] for _, tile in history]
        records.append(GameRecord(history, policies, result.payoff_by_seat))
    return records


def warm_start(
    model: nn.Module,
    dim: int,
    games: int,
    folder: Path,
    settings: TrainSettings,
    seed: int,
    progress: bool = True,
) -> tuple[int, dict[str, float]]:
    """Trains `model` on `games` heuristic games written as record chunks to `folder` (kept
    there to be looked at or trained on again). Returns the positions trained on and the
    losses of the last epoch (see `train`)."""
    with RecordWriter(folder, GameSettings(dim=dim)) as writer:
        for record in heuristic_records(dim, games, seed):
            writer.add(record)
    tensors = load_training_tensors(writer.paths, settings.augment, dim=dim)
    return len(tensors), train(model, tensors, settings, progress=progress)

"""Real self-play records for tests, played in-process against uniform network answers."""

from __future__ import annotations

import dataclasses
from types import SimpleNamespace
from typing import Any

import tessarin_self_play

from tessarin_zero.common.settings import GameSettings
from tessarin_zero.storage.records import GameRecord


def uniform_game(settings: GameSettings) -> GameRecord:
    """One self-play game whose every evaluation answers uniform logits."""
    cells = settings.dim * settings.dim
    results: list[Any] = []
    pipe = SimpleNamespace(recv=lambda: ([0.0] * cells, [0.0] * 4))
    queues = SimpleNamespace(put=results.append), SimpleNamespace(put=lambda request: None)
    assert tessarin_self_play.play_training_game(7, settings, *queues, pipe) == 0
    return GameRecord.of_module(results[0])


def on_side(settings: GameSettings, dim: int) -> GameSettings:
    return dataclasses.replace(settings, dim=dim)

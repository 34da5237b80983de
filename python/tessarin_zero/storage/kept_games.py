"""Whole games kept to be looked at: one game of every match in a run folder's ``games/``, and a
game of a record chunk read the same way, enough to replay and draw it."""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

from tessarin_zero.common.game import PLAYERS
from tessarin_zero.storage.records import MAX_DIM, MIN_DIM, read_chunk


@dataclass(frozen=True)
class KeptGame:
    """One whole game: its board side, (player, tile) of every action, who played each seat,
    the payoff by seat and a label saying where it comes from."""

    dim: int
    history: list[tuple[int, int]]
    seats: list[str]
    payoff: list[float]
    label: str = ""

    def save(self, path: Path) -> None:
        """Writes the game as JSON, under a temporary name renamed into place."""
        path.parent.mkdir(parents=True, exist_ok=True)
        temporary = path.with_name(f".{path.name}.tmp")
        temporary.write_text(json.dumps(asdict(self), indent=1) + "\n")
        os.replace(temporary, path)

    @classmethod
    def load(cls, path: Path) -> KeptGame:
        """The game saved at `path`; ValueError naming the file if it is not one."""
        try:
            data: Any = json.loads(path.read_text())
            game = cls(
                dim=int(data["dim"]),
                history=[(int(p), int(t)) for p, t in data["history"]],
                seats=[str(s) for s in data["seats"]],
                payoff=[float(v) for v in data["payoff"]],
                label=str(data.get("label", "")),
            )
        except (OSError, ValueError, KeyError, TypeError) as error:
            raise ValueError(f"{path}: not a kept game ({error})") from error
        problem = game.problem()
        if problem is not None:
            raise ValueError(f"{path}: not a kept game ({problem})")
        return game

    def problem(self) -> str | None:
        """What makes the game's fields impossible, checked before anything is built from them
        (a forged side would have the replay allocate gigabytes), or None. The moves themselves
        are checked by replaying them."""
        if not MIN_DIM <= self.dim <= MAX_DIM:
            return f"board side {self.dim} is not one the engine plays ({MIN_DIM} to {MAX_DIM})"
        if len(self.seats) != PLAYERS or len(self.payoff) != PLAYERS:
            return f"{len(self.seats)} seats and {len(self.payoff)} payoffs, not {PLAYERS}"
        cells = self.dim * self.dim
        for number, (player, tile) in enumerate(self.history):
            if not 0 <= player < PLAYERS:
                return f"action {number}: player {player} is not one of 0 to 3"
            if not 0 <= tile < cells:
                return f"action {number}: tile {tile} is off the {self.dim} x {self.dim} board"
        return None


def load_game(path: Path, index: int = 0) -> KeptGame:
    """The kept game in a ``.json`` file, or game `index` of a record chunk (``.npz``).
    ValueError naming the file when it holds no such game."""
    if path.suffix != ".npz":
        return KeptGame.load(path)
    chunk = read_chunk(path)
    if not 0 <= index < chunk.games:
        raise ValueError(f"{path}: no game {index} (the chunk holds {chunk.games})")
    start = int(chunk.game_lengths[:index].sum())
    actions = chunk.actions[start : start + int(chunk.game_lengths[index])]
    return KeptGame(
        dim=chunk.dim,
        history=[(int(p), int(t)) for p, t in actions],
        seats=["self-play"] * 4,
        payoff=[float(v) for v in chunk.payoffs[index]],
        label=f"{path.name}, game {index}",
    )

"""Recorded games to step through: the record chunks and kept games of a run folder, and files
named on the command line. Only files in the listing are ever opened (a request names one by
its listed name), each game is replayed through the engine before the page sees it, and a
chunk's visit shares come with every action that has them."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

import numpy as np

from tessarin_zero.storage.kept_games import KeptGame
from tessarin_zero.storage.records import RecordError, read_chunk
from tessarin_zero.web.errors import Missing, Refused
from tessarin_zero.web.positions import MAX_SIDE, MIN_SIDE, replay


@dataclass(frozen=True)
class Source:
    """A file of recorded games: its name on the page, its path, and whether it is a record
    chunk (``.npz``, many self-play games) or a kept game (``.json``, one match game)."""

    name: str
    path: Path

    @property
    def chunk(self) -> bool:
        return self.path.suffix == ".npz"


def _files(folder: Path) -> list[Path]:
    return sorted([*folder.glob("*.npz"), *folder.glob("*.json")])


def sources(run_dir: Optional[Path], extra: Sequence[Path]) -> list[Source]:
    """The run folder's record chunks and kept games (``records/``, ``games/``), then each
    extra file, or the chunks and kept games in each extra folder; looked up anew at every
    call, so that a running loop's new files appear."""
    found: list[Source] = []
    if run_dir is not None:
        for sub in ("records", "games"):
            found += [Source(f"{sub}/{p.name}", p) for p in _files(run_dir / sub)]
    for path in extra:
        if path.is_dir():
            found += [Source(f"{path.name}/{p.name}", p) for p in _files(path)]
        elif path.suffix in (".npz", ".json"):
            found.append(Source(path.name, path))
    return found


def find(listing: Sequence[Source], name: Any) -> Source:
    """The listed source called `name`; Missing otherwise."""
    for source in listing:
        if source.name == name:
            return source
    raise Missing(f"no recorded games called {name!r}")


def recorded_game(source: Source, index: int) -> dict[str, Any]:
    """Game `index` of `source` as the page steps through it: side, history, seats, payoff,
    label, the number of games in the file, and per action the recorded visit shares as
    [tile, share] pairs (None for an action without them, and for kept games)."""
    if source.chunk:
        try:
            chunk = read_chunk(source.path)
        except RecordError as error:
            raise Refused(str(error)) from error
        if not 0 <= index < chunk.games:
            raise Missing(f"{source.name} holds games 0 to {chunk.games - 1}, not game {index}")
        start = int(chunk.game_lengths[:index].sum())
        end = start + int(chunk.game_lengths[index])
        side, games = chunk.dim, chunk.games
        history = [(int(p), int(t)) for p, t in chunk.actions[start:end]]
        shares: list[Optional[list[list[float]]]] = []
        for row, has in zip(chunk.policy[start:end], chunk.has_policy[start:end]):
            tiles = np.flatnonzero(row > 0) if has else np.empty(0, dtype=np.int64)
            shares.append([[int(t), round(float(row[t]), 5)] for t in tiles] if has else None)
        seats, payoff = ["self-play"] * 4, [float(v) for v in chunk.payoffs[index]]
        label = f"{source.name}, game {index}"
    else:
        try:
            kept = KeptGame.load(source.path)
        except ValueError as error:
            raise Refused(str(error)) from error
        if index != 0:
            raise Missing(f"{source.name} holds one game, game 0, not game {index}")
        side, games, history = kept.dim, 1, kept.history
        shares = [None] * len(history)
        seats, payoff, label = kept.seats, kept.payoff, kept.label or source.name
    if not MIN_SIDE <= side <= MAX_SIDE:
        raise Refused(f"{source.name}: a board side of {side} is not one the page draws")
    try:
        replay(side, history)
    except Refused as error:
        raise Refused(f"{source.name}, game {index} breaks the rules: {error}") from error
    return {
        "source": source.name,
        "index": index,
        "games": games,
        "side": side,
        "history": [list(action) for action in history],
        "shares": shares,
        "seats": seats,
        "payoff": payoff,
        "label": label,
    }

"""Matches with rotated seats, played in this process.

The player under test plays one seat of every game and the opponent the other three. With
rotation, game g puts the player under test in seat g mod 4 and the number of games is rounded
up to a multiple of four, so every seat is played equally often and a mean payoff of 0.25 is
parity: the first seat's edge (large on small boards) cancels out. Without rotation the player
under test always sits in seat 0, which is what the module's test games measure.

All games of a match advance together. Players that are not networks move first, until every
unfinished game waits for a network; then each network chooses in all the games waiting for it
at once, in one batch.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, Optional

import tessarin_engine

from .players import PLAYERS, Player
from .stats import Score, score_of


@dataclass(frozen=True)
class KeptGame:
    """One whole game of a match, enough to replay and draw it."""

    dim: int
    history: list[tuple[int, int]]
    seats: list[str]  # who played each seat
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
        return game


@dataclass(frozen=True)
class MatchResult:
    """The payoffs of the player under test, game by game, its seat in each, and one kept
    game (the first, where it sits in seat 0)."""

    payoffs: list[float]
    seats: list[int]
    kept: Optional[KeptGame]

    @property
    def score(self) -> Score:
        return score_of(self.payoffs)

    def by_seat(self) -> list[list[float]]:
        """The payoffs of the player under test, grouped by the seat it played."""
        groups: list[list[float]] = [[] for _ in range(PLAYERS)]
        for seat, payoff in zip(self.seats, self.payoffs):
            groups[seat].append(payoff)
        return groups


def rotated_games(games: int) -> int:
    """The number of games a rotated match plays: `games` rounded up to a multiple of four."""
    return -(-games // PLAYERS) * PLAYERS


def play_match(
    test: Player,
    opponent: Player,
    dim: int,
    games: int,
    *,
    rotate: bool = True,
    label: str = "",
) -> MatchResult:
    """Plays `test` in one seat against `opponent` in the other three, on a dim x dim board;
    `games` rounded up to a multiple of four when `rotate`."""
    count = rotated_games(games) if rotate else games
    if count < 1:
        return MatchResult([], [], None)
    boards = [tessarin_engine.Game(dim) for _ in range(count)]
    seats = [index % PLAYERS if rotate else 0 for index in range(count)]
    play_out(boards, lambda i, seat: test if seat == seats[i] else opponent)
    payoffs = [boards[i].payoff()[seats[i]] for i in range(count)]
    first = boards[0]
    kept = KeptGame(
        dim=dim,
        history=[(p, t) for p, t in first.history],
        seats=[test.name if seat == seats[0] else opponent.name for seat in range(PLAYERS)],
        payoff=first.payoff(),
        label=label or f"{test.name} vs {opponent.name}",
    )
    return MatchResult(payoffs, seats, kept)


def seat_edge(players: Sequence[Player], dim: int, games: int) -> list[float]:
    """Mean payoff of each seat when `players[seat]` plays it in every game (no rotation)."""
    boards = [tessarin_engine.Game(dim) for _ in range(games)]
    play_out(boards, lambda _, seat: players[seat])
    totals = [0.0] * PLAYERS
    for board in boards:
        for seat, value in enumerate(board.payoff()):
            totals[seat] += value
    return [total / games for total in totals]


def play_out(
    boards: Sequence[tessarin_engine.Game], seat_player: Callable[[int, int], Player]
) -> None:
    """Plays every game to its end, `seat_player(game index, seat)` choosing for each seat."""
    active = [i for i, board in enumerate(boards) if not board.is_terminal()]
    while active:
        waiting: dict[int, tuple[Player, list[int]]] = {}
        for i in active:
            player = seat_player(i, boards[i].current_player)
            waiting.setdefault(id(player), (player, []))[1].append(i)
        cheap = [entry for entry in waiting.values() if not entry[0].batched]
        for player, indices in cheap or list(waiting.values()):
            tiles = player.choose([(i, boards[i]) for i in indices])
            for i, tile in zip(indices, tiles):
                boards[i].apply(tile)
        active = [i for i in active if not boards[i].is_terminal()]

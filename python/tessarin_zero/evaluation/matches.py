"""Matches with rotated seats, played by the engine's match batch.

Every match the host plays runs here, on ``tessarin_engine.MatchBatch``: its engine players
(random, the heuristic) move inside the engine, and its network seats use the engine's own
search, the one self-play uses (the raw policy is that search with no simulation). A step hands
over the positions of every game waiting for a network, grouped by network; each network
evaluates its rows in one call, and the answers go back through the batch's answer buffers.

The player under test sits in entry 0 of the lineup and its opponent in the other three. Game g
seats entry i at seat (i + g) mod 4 and a match plays a multiple of four games, so the player
under test plays every seat equally often and 0.25 is parity: the first seat's edge, large on
small boards, cancels out.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import tessarin_engine

from tessarin_zero.common.game import PLAYERS
from tessarin_zero.evaluation.stats import Score, score_of
from tessarin_zero.selfplay.outcomes import FailureCount
from tessarin_zero.storage.kept_games import KeptGame

Evaluate = Callable[[Any], tuple[np.ndarray, np.ndarray]]
"""Positions [B, 5, dim, dim] (float32 0/1) -> policy logits [B, dim * dim] and value logits
[B, 4], float32: a `BatchEvaluator`."""

ENGINE_PLAYERS = ("random", "heuristic")
PARALLEL_GAMES = 256
"""Games a match plays at once: one network call covers up to that many positions, and the
engine keeps each game's search and move tables meanwhile."""


@dataclass(frozen=True)
class Contestant:
    """Who plays a seat: an engine player (`name` "random" or "heuristic") or a network, named
    `name`, that answers with `network`."""

    name: str
    network: Optional[Evaluate] = None

    def __post_init__(self) -> None:
        if self.network is None and self.name not in ENGINE_PLAYERS:
            raise ValueError(f"{self.name!r} is not an engine player ({', '.join(ENGINE_PLAYERS)})")


RANDOM = Contestant("random")
HEURISTIC = Contestant("heuristic")


@dataclass(frozen=True)
class MatchSettings:
    """How a match is played: the board, the search of the network seats (`simulations` per
    tile; 0 plays the raw policy's best tile), how many of a game's first tiles network seats
    draw from their policy or visit shares instead of playing the best (two networks without
    search would otherwise play one game over and over), and a seed (None: the system's
    entropy)."""

    dim: int
    simulations: int = 0
    sample_moves: int = 0
    c_base: float = 19652.0
    c_init: float = 1.25
    seed: Optional[int] = None
    parallel: int = PARALLEL_GAMES
    cached_positions: int = 65_536
    """Answers each network keeps by position, for the positions its games meet again (the
    games of a match start alike and a search meets its transpositions; 0: none)."""


@dataclass(frozen=True)
class GameResult:
    """One game of a lineup: its number in the match, the seat of lineup entry 0 (entry i sat at
    (i + rotation) mod 4), the payoffs by entry and by seat, and (player, tile) of every action
    as an int32 array [actions, 2]."""

    number: int
    rotation: int
    payoff_by_entry: list[float]
    payoff_by_seat: list[float]
    history: np.ndarray


def play_lineup(
    lineup: Sequence[Contestant], settings: MatchSettings, games: int, label: str = "match"
) -> list[GameResult]:
    """Plays `games` games of the four entries of `lineup`, seats rotating, and returns the
    games played, in the order they were numbered. An abandoned game is counted, its reason
    logged once, and PlayError raised when most games of the match were (see
    ``selfplay.outcomes``)."""
    if len(lineup) != PLAYERS:
        raise ValueError(f"a lineup names {PLAYERS} contestants, not {len(lineup)}")
    if games < 1:
        return []
    networks: list[Evaluate] = []
    seats: list[int | str] = []
    for contestant in lineup:
        if contestant.network is None:
            seats.append(contestant.name)
            continue
        known = [i for i, network in enumerate(networks) if network is contestant.network]
        if not known:
            networks.append(contestant.network)
        seats.append(known[0] if known else len(networks) - 1)
    batch = tessarin_engine.MatchBatch(
        settings.dim,
        1,
        seats,
        games,
        settings.simulations,
        parallel=min(games, settings.parallel),
        c_base=settings.c_base,
        c_init=settings.c_init,
        sample_moves=settings.sample_moves,
        dtype="float32",
        seed=settings.seed,
        cached_positions=settings.cached_positions,
    )
    failures = FailureCount(label, games)
    results: list[GameResult] = []
    policy_rows, value_rows = (np.asarray(buffer) for buffer in batch.answers())
    while not batch.done:
        positions, _, networks_of_rows = batch.step()
        indices = np.asarray(networks_of_rows)
        if len(indices):
            _evaluate_rows(networks, np.asarray(positions), indices, policy_rows, value_rows)
            batch.complete_from_answers()
        for by_entry, by_seat, rotation, number, history in batch.take_finished():
            results.append(
                GameResult(number, rotation, list(by_entry), list(by_seat), np.asarray(history))
            )
        for reason in batch.take_failed():
            failures.add(reason)
    results.sort(key=lambda result: result.number)
    return results


def _evaluate_rows(
    networks: Sequence[Evaluate],
    positions: np.ndarray,
    indices: np.ndarray,
    policy_rows: np.ndarray,
    value_rows: np.ndarray,
) -> None:
    """Answers a step's rows, grouped by network index, one call per network, into the
    batch's answer buffers."""
    starts = [0, *(np.flatnonzero(np.diff(indices)) + 1).tolist()]
    ends = [*starts[1:], len(indices)]
    for start, end in zip(starts, ends):
        if start == end:
            continue
        policy, value = networks[int(indices[start])](positions[start:end])
        policy_rows[start:end] = policy
        value_rows[start:end] = value


def rotated_games(games: int) -> int:
    """The number of games a match plays: `games` rounded up to a multiple of four."""
    return -(-games // PLAYERS) * PLAYERS


@dataclass(frozen=True)
class MatchResult:
    """The payoffs of the player under test, game by game, its seat in each, and one kept game
    (the first, where it sits in seat 0)."""

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


def play_match(
    test: Contestant,
    opponent: Contestant,
    settings: MatchSettings,
    games: int,
    *,
    label: str = "",
) -> MatchResult:
    """Plays `test` in one seat against `opponent` in the other three, `games` rounded up to a
    multiple of four, every seat equally often."""
    label = label or f"{test.name} vs {opponent.name}"
    lineup = [test, opponent, opponent, opponent]
    results = play_lineup(lineup, settings, rotated_games(games), label)
    kept = None
    first = next((result for result in results if result.rotation == 0), None)
    if first is not None:
        kept = KeptGame(
            dim=settings.dim,
            history=[(int(player), int(tile)) for player, tile in first.history],
            seats=[contestant.name for contestant in lineup],
            payoff=first.payoff_by_seat,
            label=label,
        )
    return MatchResult(
        [result.payoff_by_entry[0] for result in results],
        [result.rotation for result in results],
        kept,
    )


def seat_edge(players: Sequence[Contestant], settings: MatchSettings, games: int) -> list[float]:
    """Mean payoff of each seat over `games` games of four `players` that play alike (engine
    players of one kind, say): the first seat's edge."""
    results = play_lineup(players, settings, games, "seat edge")
    totals = np.sum([result.payoff_by_seat for result in results], axis=0)
    return [float(total) / len(results) for total in totals]

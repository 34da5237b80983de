"""Games a person plays on the page, each its own session, a bounded number kept.

A game is one game of the engine's match batch (``tessarin_engine.MatchBatch``) whose person
seats are the batch's host seats: the batch plays the heuristic and random seats and runs the
network seats' search (the one self-play uses; 0 simulations plays the raw policy's best tile),
the session evaluates the positions it hands over with the host's evaluators and lays the
person's tiles, which the engine checks. Taking a tile back starts a new batch from the position
before the person's last tile (the batch's ``start``).
"""

from __future__ import annotations

import secrets
import threading
from collections import OrderedDict
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
import tessarin_engine

from tessarin_zero.common.game import PLAYERS
from tessarin_zero.web.errors import Missing, NotNow, Refused
from tessarin_zero.web.networks import Networks
from tessarin_zero.web.positions import Action, checked_side, position_view, replay

SEAT_KINDS = ("person", "network", "heuristic", "random")
MAX_SIMULATIONS = 1024
"""The most simulations per tile a game's network seats may search: the page waits for them."""
KEPT_GAMES = 64

Evaluate = Callable[[Any], tuple[np.ndarray, np.ndarray]]


@dataclass(frozen=True)
class Seat:
    """Who plays a seat: a person, a network (by its name in the catalogue), the heuristic or a
    random player."""

    kind: str
    network: Optional[str] = None

    @property
    def label(self) -> str:
        return f"network {self.network}" if self.kind == "network" else self.kind


@dataclass(frozen=True)
class GameSetup:
    """A new game: the board side, the four seats, the simulations of every network seat's
    search per tile (0: the raw policy) and a seed (None: the system's entropy)."""

    side: int
    seats: tuple[Seat, ...]
    simulations: int = 0
    seed: Optional[int] = None


def _whole(body: dict[str, Any], key: str, default: Any, low: int, high: int) -> Any:
    value = body.get(key, default)
    if value is None and default is None:
        return None
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise Refused(f"{key} must be a whole number from {low} to {high}, not {value!r}")
    return value


def setup_from(body: Any, networks: Networks) -> GameSetup:
    """The game a request asks for: ``{"side", "seats": [{"kind", "network"}] * 4,
    "simulations", "seed"}``; Refused, saying what is wrong, for anything else (a network the
    catalogue lacks or that was trained on another side included)."""
    if not isinstance(body, dict):
        raise Refused("a new game is a JSON object with side and seats")
    side = checked_side(body.get("side", 20))
    simulations = _whole(body, "simulations", 0, 0, MAX_SIMULATIONS)
    seed = _whole(body, "seed", None, 0, 2**63 - 1)
    seats_body = body.get("seats")
    if not isinstance(seats_body, list) or len(seats_body) != PLAYERS:
        raise Refused(f"seats must list {PLAYERS} players")
    seats = []
    for number, item in enumerate(seats_body):
        kind = item.get("kind") if isinstance(item, dict) else None
        if kind not in SEAT_KINDS:
            raise Refused(f"seat {number}: the player must be one of {', '.join(SEAT_KINDS)}")
        network = item.get("network") if kind == "network" else None
        if kind == "network":
            if not isinstance(network, str):
                raise Refused(f"seat {number}: a network seat names its network")
            networks.check_side(network, side)
        seats.append(Seat(kind, network))
    return GameSetup(side, tuple(seats), simulations, seed)


@dataclass
class GameSession:
    """One game on the page. Its methods are called under `lock`, one request at a time."""

    setup: GameSetup
    evaluators: Sequence[Evaluate]
    lineup: list[int | str]
    lock: threading.Lock = field(default_factory=threading.Lock)
    history: list[Action] = field(default_factory=list)
    payoff: Optional[list[float]] = None
    failure: Optional[str] = None

    def __post_init__(self) -> None:
        self._batch = self._batch_from([])

    @classmethod
    def start(cls, setup: GameSetup, networks: Networks) -> GameSession:
        """A new game of `setup`, its networks loaded (Refused when one does not load)."""
        names: list[str] = []
        lineup: list[int | str] = []
        for seat in setup.seats:
            if seat.kind == "person":
                lineup.append("host")
            elif seat.kind == "network":
                assert seat.network is not None
                if seat.network not in names:
                    names.append(seat.network)
                lineup.append(names.index(seat.network))
            else:
                lineup.append(seat.kind)
        evaluators = [networks.evaluator(name) for name in names]
        return cls(setup, evaluators, lineup)

    def _batch_from(self, start: Sequence[Action]) -> Any:
        return tessarin_engine.MatchBatch(
            self.setup.side,
            1,
            self.lineup,
            1,
            self.setup.simulations,
            seed=self.setup.seed,
            start=list(start),
        )

    @property
    def waiting(self) -> str:
        """Who the game waits for: "person", "engine" (its seats have not moved yet: advance())
        or "over"."""
        if self.payoff is not None or self.failure is not None:
            return "over"
        return "person" if self._batch.host_turns() else "engine"

    def advance(self, stopping: Optional[threading.Event] = None) -> None:
        """Plays the engine's seats until a person is to move or the game is over; NotNow once
        `stopping` is set (the server stops: a long search must not hold it up)."""
        while self.waiting == "engine":
            if stopping is not None and stopping.is_set():
                raise NotNow("the server is stopping")
            positions, _, networks = self._batch.step()
            rows = np.asarray(networks)
            if len(rows):
                policy, value = self.evaluators[int(rows[0])](np.asarray(positions))
                self._batch.complete(policy, value)
                continue
            for _, by_seat, _, _, history in self._batch.take_finished():
                self.payoff = [float(v) for v in by_seat]
                self.history = [(int(p), int(t)) for p, t in np.asarray(history)]
            for reason in self._batch.take_failed():
                self.failure = f"the engine gave the game up: {reason}"
            if self.payoff is None and self.failure is None and not self._batch.host_turns():
                raise RuntimeError("the match batch neither finished nor waits for the host")
        if self.waiting == "person":
            self.history = [(int(p), int(t)) for p, t in np.asarray(self._batch.history(0))]

    def play(self, tile: Any) -> None:
        """Lays `tile` for the person to move; Refused (nothing changes) with the engine's reason
        for a tile that is not legal, NotNow when no person is to move."""
        if not isinstance(tile, int) or isinstance(tile, bool):
            raise Refused(f"a cell is a whole number, not {tile!r}")
        if self.waiting != "person":
            raise NotNow(
                "the game is over" if self.waiting == "over" else "the engine's seats are to move"
            )
        try:
            self._batch.play(0, tile)
        except ValueError as error:
            raise Refused(str(error)) from error
        self.history = [(int(p), int(t)) for p, t in np.asarray(self._batch.history(0))]

    def undo(self) -> None:
        """Goes back to the position before the last tile a person laid; NotNow when no person
        has laid one."""
        people = {seat for seat, s in enumerate(self.setup.seats) if s.kind == "person"}
        laid = [number for number, (player, _) in enumerate(self.history) if player in people]
        if not laid:
            raise NotNow("nothing to take back: no person has laid a tile yet")
        self.history = self.history[: laid[-1]]
        self._batch = self._batch_from(self.history)
        self.payoff = None
        self.failure = None

    def view(self) -> dict[str, Any]:
        """The position as the page draws it, with the seats and who the game waits for."""
        game = replay(self.setup.side, self.history)
        view = position_view(game)
        if self.payoff is not None:
            view["payoff"] = self.payoff
        waiting = self.waiting
        view.update(
            {
                "seats": [seat.label for seat in self.setup.seats],
                "people": [seat.kind == "person" for seat in self.setup.seats],
                "simulations": self.setup.simulations,
                "waiting": waiting,
                "failure": self.failure,
                "can_undo": any(
                    self.setup.seats[player].kind == "person" for player, _ in self.history
                ),
            }
        )
        if waiting != "person":
            view["legal"] = []  # the engine's seats move: nothing to click
        return view


class Sessions:
    """The games in play, by id; beyond `limit` the one used longest ago is dropped."""

    def __init__(self, limit: int = KEPT_GAMES) -> None:
        self.limit = limit
        self._games: OrderedDict[str, GameSession] = OrderedDict()
        self._lock = threading.Lock()

    def add(self, session: GameSession) -> str:
        game_id = secrets.token_urlsafe(12)
        with self._lock:
            self._games[game_id] = session
            while len(self._games) > self.limit:
                self._games.popitem(last=False)
        return game_id

    def get(self, game_id: str) -> GameSession:
        """The game `game_id`; Missing when it never was or was dropped."""
        with self._lock:
            found = self._games.get(game_id)
            if found is None:
                raise Missing(
                    f"no game {game_id!r}: it ended with the server or was dropped (the server "
                    f"keeps the {self.limit} games used last)"
                )
            self._games.move_to_end(game_id)
        return found

    def __len__(self) -> int:
        return len(self._games)

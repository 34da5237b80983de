"""Which self-play games of a cluster run are owed, being played and received.

Every game has an id (iteration, slot, index): the slot is the share of the games it was first
given to, the index its place among that slot's games. An actor plays a *share*, a range of a
slot's indices, and numbers its finished games from the range's start in the order they finish;
so the games still owed after an actor is lost are exactly the end of its range, and the range
goes back to be played again from there. A record whose id has been received already (a task
that ran twice, say) is dropped; one from another iteration too. No Ray here: the pool drives
the ledger with what its actors return.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import Any

GameId = tuple[int, int, int]
"""(iteration, slot, index)."""


@dataclass(frozen=True)
class Share:
    """The games `first` .. `first + count - 1` of `slot`."""

    slot: int
    first: int
    count: int


class GameLedger:
    """Splits `games` over `slots` shares as evenly as possible and follows them to the end."""

    def __init__(self, iteration: int, games: int, slots: int) -> None:
        if slots < 1:
            raise ValueError("a run needs at least one slot")
        self.iteration = iteration
        self.games = games
        self._pending: deque[Share] = deque()
        for slot in range(slots):
            count = games // slots + (slot < games % slots)
            if count:
                self._pending.append(Share(slot, 0, count))
        self._playing: dict[Share, int] = {}  # share -> games of it received
        self._received: set[GameId] = set()

    @property
    def received(self) -> int:
        return len(self._received)

    @property
    def done(self) -> bool:
        return len(self._received) == self.games

    @property
    def pending(self) -> int:
        """Shares waiting for an actor."""
        return len(self._pending)

    def next_share(self, idle_actors: int = 1) -> Share | None:
        """The share for an idle actor, or None. With more idle actors than waiting shares, the
        largest waiting share is split first, so that a share handed back by a lost actor is
        played by all of those that are free rather than by one of them."""
        while 0 < len(self._pending) < idle_actors:
            largest = max(self._pending, key=lambda share: share.count)
            if largest.count < 2:
                break
            self._pending.remove(largest)
            half = largest.count // 2
            self._pending.append(Share(largest.slot, largest.first, half))
            self._pending.append(Share(largest.slot, largest.first + half, largest.count - half))
        if not self._pending:
            return None
        share = self._pending.popleft()
        self._playing[share] = 0
        return share

    def accept(self, share: Share, game: GameId) -> bool:
        """Whether the game is new: then it counts for `share` and must be written. A game of
        another iteration, outside the share or received before is refused."""
        iteration, slot, index = game
        inside = slot == share.slot and share.first <= index < share.first + share.count
        if iteration != self.iteration or not inside or game in self._received:
            return False
        if share not in self._playing:
            raise ValueError(f"{share} is not being played")
        self._received.add(game)
        self._playing[share] += 1
        return True

    def finished(self, share: Share) -> bool:
        """Whether every game of `share` has been received; it is then no longer played."""
        if self._playing.get(share, -1) < share.count:
            return False
        del self._playing[share]
        return True

    def ids(self) -> list[GameId]:
        """The games received, in order."""
        return sorted(self._received)

    def give_back(self, share: Share) -> Share | None:
        """The actor playing `share` was lost: the games of it not yet received wait for an
        actor again (first in line). Returns what was given back, if anything."""
        received = self._playing.pop(share, None)
        if received is None or received >= share.count:
            return None
        rest = Share(share.slot, share.first + received, share.count - received)
        self._pending.appendleft(rest)
        return rest

    def describe(self) -> dict[str, Any]:
        return {
            "received": self.received,
            "games": self.games,
            "pending": list(self._pending),
            "playing": dict(self._playing),
        }

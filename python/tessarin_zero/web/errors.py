"""What the page is told when a request cannot be done: a message for a person and the HTTP
status that goes with it. Nothing a request sends can stop the server."""

from __future__ import annotations


class Refused(ValueError):
    """A request that cannot be done as asked (an illegal cell, a malformed body, a checkpoint
    that does not load, a board side the network was not trained for): 400."""

    status = 400


class Missing(LookupError):
    """A game, record or run that the server does not have (any more): 404."""

    status = 404


class NotNow(RuntimeError):
    """A request the game cannot take in its present state (a click while the engine's seats
    are to move, undo with nothing to take back): 409."""

    status = 409


PageError = (Refused, Missing, NotNow)

"""Positions as the page draws them. Every position is the engine's: a history is replayed
through ``tessarin_engine.Game`` (which refuses one that breaks the rules), and what the page
shows of it (legal cells, the piece being laid, scores, pieces held, payoffs) is what the
engine says. The network's view of a position is its raw output made readable: the masked
softmax of its policy over the legal cells (the priors the search starts from) and the softmax
of its value logits, by player."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import tessarin_engine

from tessarin_zero.common.game import PLAYERS
from tessarin_zero.web.errors import Refused

MIN_SIDE = 4
MAX_SIDE = 64
"""The largest side the page offers: 4,096 cells to draw and click. The engine takes far larger
boards, which no page could show."""

Action = tuple[int, int]


def checked_side(value: Any) -> int:
    """A board side the page plays on; Refused otherwise."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise Refused(f"the board side must be a whole number, not {value!r}")
    if not MIN_SIDE <= value <= MAX_SIDE:
        raise Refused(f"the board side must be from {MIN_SIDE} to {MAX_SIDE}, not {value}")
    return value


def checked_history(value: Any, side: int) -> list[Action]:
    """A list of (player, tile) pairs of whole numbers; Refused otherwise (the rules are the
    engine's to check, in `replay`)."""
    if not isinstance(value, list):
        raise Refused("the history must be a list of [player, tile] pairs")
    actions: list[Action] = []
    for number, item in enumerate(value):
        if (
            not isinstance(item, (list, tuple))
            or len(item) != 2
            or not all(isinstance(x, int) and not isinstance(x, bool) for x in item)
        ):
            raise Refused(f"action {number} must be a [player, tile] pair of whole numbers")
        actions.append((int(item[0]), int(item[1])))
    if len(actions) > side * side:
        raise Refused(f"a game on {side} x {side} has at most {side * side} actions")
    return actions


def replay(side: int, history: Sequence[Action]) -> Any:
    """The engine's game after `history`; Refused naming the first action that breaks the
    rules."""
    game = tessarin_engine.Game(side)
    for number, (player, tile) in enumerate(history):
        if game.is_terminal():
            raise Refused(f"action {number}: the game is already over")
        if player != game.current_player:
            raise Refused(
                f"action {number}: player {player} is not to move (player "
                f"{game.current_player} is)"
            )
        if not 0 <= tile < side * side:
            raise Refused(f"action {number}: tile {tile} is off the board")
        try:
            game.apply(tile)
        except ValueError as error:
            raise Refused(f"action {number}: {error}") from error
    return game


def position_view(game: Any) -> dict[str, Any]:
    """What the page draws of a position: the history, the player to move and the squares of
    the piece it is laying, the legal cells, scores, pieces held and (at the end) payoffs."""
    history = [[player, tile] for player, tile in game.history]
    over = game.is_terminal()
    laying = game.turn_tiles
    return {
        "side": game.dim,
        "history": history,
        "over": over,
        "to_move": None if over else game.current_player,
        "laying": [tile for _, tile in history[len(history) - laying :]] if laying else [],
        "legal": [] if over else game.legal_tiles(),
        "scores": game.scores(),
        "pieces": [
            [{"name": name, "cells": [list(cell) for cell in cells]} for name, cells in held]
            for held in (game.pieces(player) for player in range(PLAYERS))
        ],
        "payoff": game.payoff() if over else None,
    }


def network_view(game: Any, policy_logits: np.ndarray, value_logits: np.ndarray) -> dict[str, Any]:
    """The share of the network's policy on every cell (0 off the legal cells), and its value for
    every player (the logits are relative to the player to move: entry j is player (mover + j)
    mod 4; None when they are not finite)."""
    cells = game.dim * game.dim
    legal = np.asarray(game.legal_tiles(), dtype=np.int64)
    shares = np.zeros(cells, dtype=np.float64)
    if len(legal):
        logits = policy_logits.astype(np.float64)[legal]
        finite = np.isfinite(logits)
        if finite.any():
            exp = np.where(finite, np.exp(logits - logits[finite].max()), 0.0)
            shares[legal] = exp / exp.sum()
    mover = game.current_player
    by_player = None
    values = value_logits.astype(np.float64)
    if np.isfinite(values).all():  # a diverged network gives none
        values = np.exp(values - values.max())
        values /= values.sum()
        by_player = [float(values[(player - mover) % PLAYERS]) for player in range(PLAYERS)]
    return {"policy": [round(float(x), 5) for x in shares], "values": by_player, "mover": mover}

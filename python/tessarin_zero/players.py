"""Seats of a match played in this process: random, the engine's heuristic, a network's raw
policy, and a network with tree search.

A player is asked for the tiles of many games at once (``choose``), so that the network players
evaluate every position of one step in a single forward pass. Games are named by their index in
the match, which lets a player keep per-game state (the heuristic's committed placement).

The search player runs the same pUCT search as the self-play module, without root noise and
from a fresh tree for every tile:
  C = ln((c_base + N + 1) / c_base) + c_init,  score = sqrt(N) * C / (n + 1) * P + Q,
every child holding the mean value of the player who chose it; after the simulations it plays
the most visited tile (the highest prior among equally visited ones).
"""

from __future__ import annotations

import math
import random
from abc import ABC, abstractmethod
from collections.abc import Callable, Sequence
from typing import Optional

import numpy as np
import tessarin_engine
import torch
from torch import nn

from .inference import BatchEvaluator

Move = tuple[int, tessarin_engine.Game]
"""(index of the game in its match, the game), the player to move being this player's."""

PLAYERS = 4


class Player(ABC):
    """One kind of seat. `name` labels it in reports and kept games; `batched` players (the
    networks) answer many games for little more than the cost of one, so a match lets the other
    seats move first and asks them for as many games at once as it can."""

    name: str
    batched: bool = False

    @abstractmethod
    def choose(self, moves: Sequence[Move]) -> list[int]:
        """A legal tile for the player to move in each game, in order."""


class RandomPlayer(Player):
    """A uniformly random legal tile."""

    def __init__(self, seed: Optional[int] = None) -> None:
        self.name = "random"
        self._random = random.Random(seed)

    def choose(self, moves: Sequence[Move]) -> list[int]:
        return [self._random.choice(game.legal_tiles()) for _, game in moves]


class HeuristicSeat(Player):
    """The engine's heuristic: the largest piece, then the most new corner cells, ties drawn
    from a generator seeded per game from `seed`."""

    def __init__(self, seed: Optional[int] = None) -> None:
        self.name = "heuristic"
        self._seed = seed
        self._players: dict[int, tessarin_engine.HeuristicPlayer] = {}

    def choose(self, moves: Sequence[Move]) -> list[int]:
        tiles = []
        for index, game in moves:
            player = self._players.get(index)
            if player is None:
                seed = None if self._seed is None else self._seed * 1_000_003 + index
                player = self._players[index] = tessarin_engine.HeuristicPlayer(seed)
            tiles.append(player.choose(game))
        return tiles


Forward = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]
"""Planes [B, 5, dim, dim] (uint8) -> policy logits [B, dim * dim], value logits [B, 4]: a
`BatchEvaluator`."""


def network_of(model: nn.Module, inference: Optional[str]) -> nn.Module | Forward:
    """What a network player evaluates with: the model itself (eager PyTorch, any module), or
    a `BatchEvaluator` running it the `inference` way (ONNX Runtime by default in the host)."""
    return model.eval() if inference is None else BatchEvaluator(model, path=inference)


def evaluate(
    network: nn.Module | Forward, games: Sequence[tessarin_engine.Game]
) -> tuple[np.ndarray, np.ndarray]:
    """One forward pass over the positions of `games` (one board side): policy logits
    [B, dim * dim] and the value of every player, by absolute player, [B, 4]."""
    dim = games[0].dim
    raw = np.frombuffer(b"".join(game.state() for game in games), dtype=np.uint8)
    planes = raw.reshape(len(games), 5, dim, dim)
    if isinstance(network, nn.Module):
        batch = torch.from_numpy(planes.astype(np.float32))
        device = next(network.parameters()).device
        with torch.inference_mode():
            policy, value = network(batch.to(device))
        logits = policy.float().cpu().numpy()
        value_logits = value.float().cpu().numpy()
    else:
        logits, value_logits = network(planes)
    shifted = np.exp(value_logits - value_logits.max(axis=1, keepdims=True))
    relative = shifted / shifted.sum(axis=1, keepdims=True)
    values = np.empty_like(relative)
    for row, game in enumerate(games):
        mover = game.current_player
        for j in range(PLAYERS):  # entry j belongs to player (mover + j) mod 4
            values[row, (mover + j) % PLAYERS] = relative[row, j]
    return logits, values


def _masked_priors(logits: np.ndarray, legal: list[int]) -> np.ndarray:
    chosen = logits[legal].astype(np.float64)
    chosen = np.exp(chosen - chosen.max())
    priors: np.ndarray = chosen / chosen.sum()
    return priors


class PolicyPlayer(Player):
    """A network without search: the legal tile of highest policy logit (the lowest tile among
    equal ones), one evaluation per tile.

    Two such players make every game of a seat the same game, so a match between networks would
    count one game many times over. With `sample_tiles`, the first `sample_tiles` tiles of a
    game (counted over all players) are instead drawn from the policy's softmax over the legal
    tiles, as self-play samples its first actions, so that the games differ."""

    batched = True

    def __init__(
        self,
        model: nn.Module,
        name: str = "network",
        sample_tiles: int = 0,
        seed: Optional[int] = None,
        inference: Optional[str] = None,
    ) -> None:
        self.name = name
        self._model = network_of(model, inference)
        self._sample_tiles = sample_tiles
        self._random = np.random.default_rng(seed)

    def choose(self, moves: Sequence[Move]) -> list[int]:
        logits, _ = evaluate(self._model, [game for _, game in moves])
        tiles = []
        for row, (_, game) in enumerate(moves):
            legal = game.legal_tiles()
            if len(game.history) < self._sample_tiles:
                priors = _masked_priors(logits[row], legal)
                tiles.append(legal[int(self._random.choice(len(legal), p=priors))])
            else:
                tiles.append(legal[int(np.argmax(logits[row, legal]))])
        return tiles


class _Node:
    """A position of the search: its player to move, and per child (legal tile) the prior, the
    visits and the sum of values of this node's player to move."""

    __slots__ = ("player", "tiles", "priors", "visits", "value_sums", "children", "total")

    def __init__(self, player: int, tiles: list[int], priors: np.ndarray) -> None:
        self.player = player
        self.tiles = tiles
        self.priors = priors
        self.visits = np.zeros(len(tiles))
        self.value_sums = np.zeros(len(tiles))
        self.children: list[Optional[_Node]] = [None] * len(tiles)
        self.total = 0

    def select(self, c_base: float, c_init: float) -> int:
        c = math.log((c_base + self.total + 1.0) / c_base) + c_init
        explore = math.sqrt(self.total) * c
        q = np.divide(
            self.value_sums, self.visits, out=np.zeros_like(self.value_sums), where=self.visits > 0
        )
        return int(np.argmax(explore / (self.visits + 1.0) * self.priors + q))


class SearchPlayer(Player):
    """A network with `simulations` simulations of tree search per tile; the simulations of all
    games of a step are evaluated together, one forward pass per simulation."""

    batched = True

    def __init__(
        self,
        model: nn.Module,
        simulations: int,
        c_base: float = 19652.0,
        c_init: float = 1.25,
        name: Optional[str] = None,
        inference: Optional[str] = None,
    ) -> None:
        if simulations < 1:
            raise ValueError("a search needs at least one simulation")
        self.name = name or f"network+search{simulations}"
        self._model = network_of(model, inference)
        self._simulations = simulations
        self._c_base = c_base
        self._c_init = c_init

    def _expand(self, games: Sequence[tessarin_engine.Game]) -> tuple[list[_Node], np.ndarray]:
        logits, values = evaluate(self._model, games)
        nodes = []
        for row, game in enumerate(games):
            legal = game.legal_tiles()
            nodes.append(_Node(game.current_player, legal, _masked_priors(logits[row], legal)))
        return nodes, values

    def choose(self, moves: Sequence[Move]) -> list[int]:
        roots, _ = self._expand([game for _, game in moves])
        for _ in range(self._simulations):
            pending: list[tuple[_Node, int, tessarin_engine.Game, list[tuple[_Node, int]]]] = []
            for root, (_, game) in zip(roots, moves):
                copy = game.copy()
                node, path = root, []
                while True:
                    child = node.select(self._c_base, self._c_init)
                    copy.apply(node.tiles[child])
                    path.append((node, child))
                    if node.children[child] is None or copy.is_terminal():
                        break
                    node = node.children[child]  # type: ignore[assignment]
                if copy.is_terminal():
                    _back_up(root, path, np.asarray(copy.payoff()))
                else:
                    pending.append((node, child, copy, path))
            if pending:
                leaves, values = self._expand([copy for _, _, copy, _ in pending])
                for (node, child, _, path), leaf, value in zip(pending, leaves, values):
                    node.children[child] = leaf
                    _back_up(path[0][0], path, value)
        tiles = []
        for root in roots:
            order = np.lexsort((root.priors, root.visits))  # most visits, then highest prior
            tiles.append(root.tiles[int(order[-1])])
        return tiles


def _back_up(root: _Node, path: list[tuple[_Node, int]], values: np.ndarray) -> None:
    """One visit worth `values` (by absolute player) along `path`, each edge taking the value of
    the player who chose it."""
    root.total += 1
    for node, child in path:
        node.visits[child] += 1
        node.value_sums[child] += values[node.player]
        grandchild = node.children[child]
        if grandchild is not None:
            grandchild.total += 1

"""Settings shared by the host's parts; every field is also a command-line flag."""

from __future__ import annotations

from dataclasses import dataclass

ROOT_SEARCHES = ("puct", "gumbel")
"""How the engine's search spends its simulations at the root: the pUCT rule with Dirichlet
noise, or Gumbel-top-k sampling with sequential halving and the completed-Q policy target."""

INFERENCE_PATHS = ("onnx", "fused", "eager", "int8", "bf16")
"""How a network is run to answer evaluations (see ``inference.evaluator``): ONNX Runtime, the
network with its batch norms folded in PyTorch, the network as built, ONNX Runtime with the
residual tower in int8, or the folded network in bfloat16 in PyTorch."""


@dataclass(frozen=True)
class GameSettings:
    """The run configuration handed to the self-play module (read by attribute)."""

    dim: int = 7
    rep: int = 1
    sims_per_move: int = 32
    """Simulations per action. 32 with twice the games per iteration ends the main job's network
    above the heuristic against random players where 64 did not (docs/experiments.md)."""
    sample_moves: int = 12
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25
    fast_sims_per_move: int = 0
    """Playout-cap randomization (batched self-play only): with it above 0, an action's search
    is a full one (sims_per_move, noise, a policy target) with probability full_search_share and
    otherwise a fast one of this many simulations that only chooses the action."""
    full_search_share: float = 0.25
    engine_opponent_share: float = 0.0
    """Self-play against engine players (batched self-play only): the share of games in which
    1 to 3 seats, drawn at random, are played by random or heuristic players instead of the
    search, so that the network also learns the positions weaker players lead to. Their actions
    have no policy target; the game's outcome is the value target of every position."""
    root_search: str = ROOT_SEARCHES[0]
    """The root of every search (self-play, and matches with search): "puct", or "gumbel":
    Gumbel-top-k sampling of gumbel_considered tiles and sequential halving over them, the tile
    the root chooses played and its completed-Q policy the target, which learns from far fewer
    simulations than visit counts do."""
    gumbel_considered: int = 16


@dataclass(frozen=True)
class NetworkSettings:
    """Size of the residual policy/value network (fully convolutional: any board side)."""

    channels: int = 32
    blocks: int = 3
    canonical: bool = True
    """Turn each position to the mover's start corner before the tower (see ``network``)."""
    policy_channels: int = 16
    value_channels: int = 16
    ownership_head: bool = True
    """Learn who covers each cell at the end besides the policy and value (training only)."""


FIRST_HEADS = {
    "canonical": False,
    "policy_channels": 2,
    "value_channels": 4,
    "ownership_head": False,
}
"""The network settings that checkpoints and run folders written before these fields existed
lack, as their networks were: unturned, with the first, narrow heads and no ownership head."""


@dataclass(frozen=True)
class ServerSettings:
    """Batching of the inference server, and how its networks are run."""

    max_batch: int = 64
    max_wait_ms: float = 2.0
    device: str = "cpu"
    inference: str = INFERENCE_PATHS[0]
    position_cache: int = 65_536
    """Network answers a batched self-play worker keeps by position, for the positions its
    searches meet again (0: none). An answer costs a few hundred bytes at 20 x 20."""


@dataclass(frozen=True)
class TrainSettings:
    """One training phase over the newest self-play data."""

    batch_size: int = 128
    epochs: int = 3
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    window_chunks: int = 8
    augment: bool = True
    ownership_weight: float = 1.0
    """Weight of the ownership loss (per cell, averaged) beside the policy and value losses."""
    value_weight: float = 1.0
    """Weight of the value loss beside the policy loss. A game gives every one of its positions
    the same outcome, so the value head can learn the games it has seen by heart rather than
    positions in general; a smaller weight keeps it from that."""

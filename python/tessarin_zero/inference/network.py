"""The policy/value network.

The network is fully convolutional: no layer depends on the board side, so one set of weights
evaluates 5 x 5 test boards and 20 x 20 match boards alike. Its input is the five 0/1 planes the
engine builds for the player to move (own squares, the next three players' squares, legal
tiles). Its outputs are what the self-play module reads back from the pipe: one policy logit per
cell, flattened row-major so that index row * dim + column is the tile of that cell, and four
value logits relative to the player to move (entry j belongs to player (mover + j) mod 4).

With `canonical`, the network first turns each position so that the mover's start corner is
the top-left one, and turns its policy back: the rules are the same under a quarter turn that
relabels the players cyclically (see ``symmetry``), so the network learns one corner's game
instead of four. The turn is read from the planes alone (see `mover_corner`), so training, the
module's workers, the batched drivers and every inference path agree without being told the
mover's seat.
"""

from __future__ import annotations


import io
from dataclasses import dataclass

import torch
from torch import Tensor, nn

from tessarin_zero.common.game import INPUT_PLANES, PLAYERS
from tessarin_zero.common.settings import NetworkSettings

_VALUE_HIDDEN = 64
OWNERSHIP_CLASSES = PLAYERS + 1  # the four players relative to the mover, and nobody


def _conv_bn(inputs: int, outputs: int, kernel: int) -> list[nn.Module]:
    """A same-padded convolution and its batch norm (the norm makes the conv's bias redundant)."""
    conv = nn.Conv2d(inputs, outputs, kernel, padding=kernel // 2, bias=False)
    return [conv, nn.BatchNorm2d(outputs)]


class ResidualBlock(nn.Module):
    """Two 3 x 3 convolutions with a skip connection, so deep towers still train."""

    def __init__(self, channels: int) -> None:
        super().__init__()
        self.body = nn.Sequential(
            *_conv_bn(channels, channels, 3), nn.ReLU(), *_conv_bn(channels, channels, 3)
        )

    def forward(self, x: Tensor) -> Tensor:
        return torch.relu(x + self.body(x))


_OWN_PLANE = 0
_LEGAL_PLANE = INPUT_PLANES - 1


def mover_corner(planes: Tensor) -> Tensor:
    """One-hot [B, 4] of the start corner (0 top left, then clockwise) of the player to move.

    It is the corner cell that is the mover's own square or a legal tile: a player's first
    piece covers its start corner, every placement of that piece covers the corner cell (so it is
    legal until laid), and on a side of 6 or more no other player's corner is within a piece's
    reach of the mover's squares before its owner has covered it. On smaller boards, or should
    two corners qualify, the first in clockwise order from the top left wins; the choice is a
    function of the planes alone, so it is the same in training and in play whatever it is.
    """
    side = planes.shape[-1]
    cells = [(0, 0), (0, side - 1), (side - 1, side - 1), (side - 1, 0)]
    marked = planes[:, _OWN_PLANE] + planes[:, _LEGAL_PLANE]
    scores = torch.stack([marked[:, row, column] for row, column in cells], dim=1)
    scores = scores + torch.tensor([0.3, 0.2, 0.1, 0.0], dtype=scores.dtype, device=scores.device)
    return (scores == scores.amax(dim=1, keepdim=True)).to(planes.dtype)


def turn_by_corner(maps: Tensor, corner: Tensor, back: bool = False) -> Tensor:
    """`maps` [B, C, H, W] turned so that corner k of sample b (one-hot `corner` [B, 4]) lands
    top left: k counter-clockwise quarter turns (`back`: clockwise, undoing it). A weighted sum
    of the four turns keeps the graph free of data-dependent control flow, so it traces and
    exports like the rest of the network."""
    direction = -1 if back else 1
    total = corner[:, 0, None, None, None] * maps
    for k in range(1, PLAYERS):
        total = total + corner[:, k, None, None, None] * _quarter_turns(maps, direction * k)
    return total


def _quarter_turns(maps: Tensor, turns: int) -> Tensor:
    """torch.rot90(maps, turns, dims=(2, 3)) in flips and transposes, which ONNX exports."""
    turns %= 4
    if turns == 1:
        return maps.flip(3).transpose(2, 3)
    if turns == 2:
        return maps.flip(2).flip(3)
    if turns == 3:
        return maps.transpose(2, 3).flip(3)
    return maps


class PolicyValueNet(nn.Module):
    """Residual tower with a per-cell policy head and a pooled four-player value head."""

    def __init__(self, settings: NetworkSettings) -> None:
        super().__init__()
        if (
            min(settings.channels, settings.policy_channels, settings.value_channels) < 1
            or settings.blocks < 0
        ):
            raise ValueError(f"invalid network size: {settings}")
        self.settings = settings
        channels = settings.channels
        self.stem = nn.Sequential(*_conv_bn(INPUT_PLANES, channels, 3), nn.ReLU())
        self.tower = nn.Sequential(*(ResidualBlock(channels) for _ in range(settings.blocks)))
        self.policy_head = nn.Sequential(
            *_conv_bn(channels, settings.policy_channels, 1),
            nn.ReLU(),
            nn.Conv2d(settings.policy_channels, 1, 1),
        )
        self.value_conv = nn.Sequential(*_conv_bn(channels, settings.value_channels, 1), nn.ReLU())
        # Global average pooling before the MLP keeps the value head independent of the side.
        self.value_mlp = nn.Sequential(
            nn.Linear(settings.value_channels, _VALUE_HIDDEN),
            nn.ReLU(),
            nn.Linear(_VALUE_HIDDEN, PLAYERS),
        )
        # Who ends up covering each cell: a dense target that teaches the tower about territory
        # far faster than one payoff per game. Only training reads it.
        self.ownership_head = (
            nn.Conv2d(channels, OWNERSHIP_CLASSES, 1) if settings.ownership_head else None
        )

    def forward(self, planes: Tensor) -> tuple[Tensor, Tensor]:
        """planes [B, 5, H, W] -> (policy logits [B, H * W] row-major, value logits [B, 4])."""
        policy, value, _ = self._heads(planes, ownership=False)
        return policy, value

    def forward_with_ownership(self, planes: Tensor) -> tuple[Tensor, Tensor, Tensor]:
        """As `forward`, and ownership logits [B, 5, H, W] (class j: player (mover + j) mod 4,
        class 4: nobody). Only for a network built with `ownership_head`."""
        policy, value, ownership = self._heads(planes, ownership=True)
        assert ownership is not None
        return policy, value, ownership

    def _heads(self, planes: Tensor, ownership: bool) -> tuple[Tensor, Tensor, Tensor | None]:
        if planes.dim() != 4 or planes.shape[1] != INPUT_PLANES:
            raise ValueError(
                f"expected planes of shape [B, {INPUT_PLANES}, H, W], got {planes.shape}"
            )
        corner = mover_corner(planes) if self.settings.canonical else None
        if corner is not None:
            planes = turn_by_corner(planes, corner)
        features = self.tower(self.stem(planes))
        policy_map = self.policy_head(features)
        if corner is not None:
            policy_map = turn_by_corner(policy_map, corner, back=True)
        policy = policy_map.flatten(1)
        value = self.value_mlp(self.value_conv(features).mean(dim=(2, 3)))
        if not ownership:
            return policy, value, None
        if self.ownership_head is None:
            raise ValueError("this network has no ownership head")
        owners = self.ownership_head(features)
        if corner is not None:
            owners = turn_by_corner(owners, corner, back=True)
        return policy, value, owners


def non_finite_weights(model: nn.Module) -> list[str]:
    """Names of the parameters and buffers holding NaN or infinite values (a diverged
    network, which must never be saved, served or promoted)."""
    return [
        name
        for name, tensor in model.state_dict().items()
        if tensor.is_floating_point() and not bool(torch.isfinite(tensor).all())
    ]


@dataclass(frozen=True)
class NetworkFactory:
    """Rebuilds a PolicyValueNet from its size and serialised weights in the server process.

    The weights travel as ``torch.save`` bytes: plain data, with no tensor sharing between
    processes to set up or tear down.
    """

    settings: NetworkSettings
    weights: bytes

    @classmethod
    def of(cls, model: nn.Module, settings: NetworkSettings) -> NetworkFactory:
        """Raises ValueError for a network with non-finite weights: a diverged network would
        answer NaN logits, which no game can be played with."""
        broken = non_finite_weights(model)
        if broken:
            raise ValueError(f"a network with non-finite weights (in {broken[0]}) is not served")
        buffer = io.BytesIO()
        torch.save({k: v.detach().cpu() for k, v in model.state_dict().items()}, buffer)
        return cls(settings, buffer.getvalue())

    def __call__(self) -> nn.Module:
        model = PolicyValueNet(self.settings)
        model.load_state_dict(torch.load(io.BytesIO(self.weights), weights_only=True))
        return model

"""Networks and positions for tests of the ways a network is run."""

from __future__ import annotations

import random

import numpy as np
import tessarin_engine
import torch
from torch import nn

from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.inference.network import PolicyValueNet


def trained_like(settings: NetworkSettings = NetworkSettings()) -> PolicyValueNet:
    """A network whose batch norms carry statistics and affine terms far from a fresh one's
    (where folding them would change nothing, so a wrong fold would pass unseen)."""
    torch.manual_seed(3)
    model = PolicyValueNet(settings)
    for module in model.modules():
        if isinstance(module, nn.BatchNorm2d):
            shape = module.running_mean.shape
            module.running_mean.copy_(torch.randn(shape) * 0.5)
            module.running_var.copy_(torch.rand(shape) * 2 + 0.2)
            module.weight.data.copy_(torch.rand(shape) + 0.5)
            module.bias.data.copy_(torch.randn(shape) * 0.3)
    return model.eval()


def real_positions(dim: int, count: int, channels_last: bool) -> np.ndarray:
    """`count` positions along random games, as the engine writes them (read-only bytes)."""
    chooser = random.Random(dim)
    game = tessarin_engine.Game(dim)
    states: list[bytes] = []
    while len(states) < count:
        if game.is_terminal():
            game = tessarin_engine.Game(dim)
        states.append(game.state(channels_last))
        game.apply(chooser.choice(game.legal_tiles()))
    shape = (count, dim, dim, 5) if channels_last else (count, 5, dim, dim)
    return np.frombuffer(b"".join(states), dtype=np.uint8).reshape(shape)

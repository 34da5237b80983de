"""The policy/value network and its checkpoints.

The network is fully convolutional: no layer depends on the board side, so one set of weights
evaluates 5 x 5 test boards and 20 x 20 match boards alike. Its input is the five 0/1 planes the
engine builds for the player to move (own squares, the next three players' squares, legal
tiles). Its outputs are what the self-play module reads back from the pipe: one policy logit per
cell, flattened row-major so that index row * dim + column is the tile of that cell, and four
value logits relative to the player to move (entry j belongs to player (mover + j) mod 4).
"""

from __future__ import annotations

import dataclasses
import os
import tempfile
from pathlib import Path
from typing import Any

import torch
from torch import Tensor, nn

from .settings import NetworkSettings

INPUT_PLANES = 5
PLAYERS = 4
CHECKPOINT_FORMAT = 1

_POLICY_CHANNELS = 2
_VALUE_CHANNELS = 4
_VALUE_HIDDEN = 64


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


class PolicyValueNet(nn.Module):
    """Residual tower with a per-cell policy head and a pooled four-player value head."""

    def __init__(self, settings: NetworkSettings) -> None:
        super().__init__()
        if settings.channels < 1 or settings.blocks < 0:
            raise ValueError(f"invalid network size: {settings}")
        self.settings = settings
        channels = settings.channels
        self.stem = nn.Sequential(*_conv_bn(INPUT_PLANES, channels, 3), nn.ReLU())
        self.tower = nn.Sequential(*(ResidualBlock(channels) for _ in range(settings.blocks)))
        self.policy_head = nn.Sequential(
            *_conv_bn(channels, _POLICY_CHANNELS, 1),
            nn.ReLU(),
            nn.Conv2d(_POLICY_CHANNELS, 1, 1),
        )
        self.value_conv = nn.Sequential(*_conv_bn(channels, _VALUE_CHANNELS, 1), nn.ReLU())
        # Global average pooling before the MLP keeps the value head independent of the side.
        self.value_mlp = nn.Sequential(
            nn.Linear(_VALUE_CHANNELS, _VALUE_HIDDEN), nn.ReLU(), nn.Linear(_VALUE_HIDDEN, PLAYERS)
        )

    def forward(self, planes: Tensor) -> tuple[Tensor, Tensor]:
        """planes [B, 5, H, W] -> (policy logits [B, H * W] row-major, value logits [B, 4])."""
        if planes.dim() != 4 or planes.shape[1] != INPUT_PLANES:
            raise ValueError(
                f"expected planes of shape [B, {INPUT_PLANES}, H, W], got {planes.shape}"
            )
        features = self.tower(self.stem(planes))
        policy = self.policy_head(features).flatten(1)
        value = self.value_mlp(self.value_conv(features).mean(dim=(2, 3)))
        return policy, value


def save_checkpoint(path: str | os.PathLike[str], model: PolicyValueNet, **metadata: Any) -> None:
    """Writes the weights, the network size and `metadata` so that `load_checkpoint` can rebuild
    the network without being told its size.

    The file is written under a temporary name in the same folder and renamed over `path`, so a
    reader (another process promoting or loading the best network) never sees half a file.
    Metadata values must be plain Python data (numbers, strings, lists, dicts) or tensors:
    checkpoints are loaded with torch's weights-only unpickler.
    """
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    payload = {
        "format": CHECKPOINT_FORMAT,
        "network": dataclasses.asdict(model.settings),
        "state_dict": model.state_dict(),
        "metadata": metadata,
    }
    handle, temporary = tempfile.mkstemp(
        dir=target.parent, prefix=f".{target.name}.", suffix=".tmp"
    )
    try:
        with os.fdopen(handle, "wb") as stream:
            torch.save(payload, stream)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def load_checkpoint(path: str | os.PathLike[str]) -> tuple[PolicyValueNet, dict[str, Any]]:
    """Rebuilds the network of a checkpoint on the CPU, in evaluation mode (ready to serve;
    `train` switches modes itself), and returns it with the metadata it was saved with."""
    payload = torch.load(Path(path), map_location="cpu", weights_only=True)
    if payload.get("format") != CHECKPOINT_FORMAT:
        raise ValueError(f"{path}: unsupported checkpoint format {payload.get('format')!r}")
    model = PolicyValueNet(NetworkSettings(**payload["network"]))
    model.load_state_dict(payload["state_dict"])
    model.eval()
    return model, dict(payload["metadata"])

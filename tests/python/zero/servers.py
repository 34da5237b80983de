"""Inference servers for tests: networks whose answers encode their input, and a server wired to
pipes of the test's own."""

from __future__ import annotations

from dataclasses import dataclass
from multiprocessing.connection import Connection
from typing import Any

import numpy as np
import torch
from torch import Tensor, nn

from tessarin_zero.common.processes import process_context
from tessarin_zero.common.settings import ServerSettings
from tessarin_zero.inference.server import InferenceServer, RequestQueue

TIMEOUT_S = 20.0
PLANE_WEIGHTS = (1.0, 2.0, 4.0, 8.0, 16.0)


class EchoNet(nn.Module):
    """Its outputs encode its input: the policy logit of a cell is the cell's five bits as a
    number, and the values are (batch size, tag, 0, 0)."""

    def __init__(self, tag: float) -> None:
        super().__init__()
        self.tag = tag
        self.weights = torch.tensor(PLANE_WEIGHTS).view(1, 5, 1, 1)

    def forward(self, planes: Tensor) -> tuple[Tensor, Tensor]:
        policy = (planes * self.weights).sum(dim=1).flatten(1)
        value = torch.tensor([[float(len(planes)), self.tag, 0.0, 0.0]]).expand(len(planes), 4)
        return policy, value


@dataclass(frozen=True)
class EchoFactory:
    tag: float

    def __call__(self) -> nn.Module:
        return EchoNet(self.tag)


@dataclass(frozen=True)
class BrokenFactory:
    def __call__(self) -> nn.Module:
        raise RuntimeError("no weights here")


def expected_policy(planes: np.ndarray) -> list[float]:
    """`planes` channels first, [5, dim, dim]."""
    weighted = planes * np.array(PLANE_WEIGHTS).reshape(5, 1, 1)
    return [float(logit) for logit in weighted.sum(axis=0).ravel()]


def recv(end: Connection) -> Any:
    assert end.poll(TIMEOUT_S), "no reply"
    return end.recv()


def make_server(
    workers: list[int], models: list[Any], settings: ServerSettings, channels_last: bool = False
) -> tuple[InferenceServer, list[Any], dict[int, Connection]]:
    context = process_context()
    queues = [RequestQueue(context) for _ in models]
    pipes = {worker: context.Pipe(duplex=False) for worker in workers}
    server = InferenceServer(
        models,
        queues,
        {w: ends[1] for w, ends in pipes.items()},
        settings,
        channels_last=channels_last,
        threads=1,
        context=context,
    )
    return server, queues, {w: ends[0] for w, ends in pipes.items()}

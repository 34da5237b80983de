"""The value loss's weight reaches the gradient: the value head, which only the value loss
trains, is pushed in proportion to the weight, the policy head not at all, and the shared tower
by both losses in the proportion the weight sets."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import pytest
import torch

from tessarin_zero.common.settings import NetworkSettings, TrainSettings
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.training.tensors import TrainingTensors
from tessarin_zero.training.train import train

DIM = 5


def samples() -> TrainingTensors:
    generator = torch.Generator().manual_seed(0)
    states = (torch.rand(8, 5, DIM, DIM, generator=generator) < 0.3).float()
    policy = torch.softmax(3 * torch.randn(8, DIM * DIM, generator=generator), dim=1)
    value = torch.tensor([[1.0, 0, 0, 0], [0, 0.5, 0.5, 0], [0.25] * 4, [0, 0, 0, 1.0]] * 2)
    return TrainingTensors(states, policy, value)


def first_gradients(value_weight: float, monkeypatch: pytest.MonkeyPatch) -> dict[str, Any]:
    """The gradient of every parameter at the first optimiser step of a training phase with
    `value_weight`, from the same network and the same single batch."""
    seen: dict[str, Any] = {}
    torch.manual_seed(4)
    model = PolicyValueNet(NetworkSettings(channels=4, blocks=1))
    names = {id(parameter): name for name, parameter in model.named_parameters()}

    class Recorder(torch.optim.SGD):
        def __init__(self, parameters: Iterable[torch.Tensor], **options: Any) -> None:
            super().__init__(parameters, lr=0.0)

        def step(self, closure: Any = None) -> Any:
            for group in self.param_groups:
                for parameter in group["params"]:
                    if parameter.grad is not None:
                        seen.setdefault(names[id(parameter)], parameter.grad.clone())
            return None

    monkeypatch.setattr(torch.optim, "AdamW", Recorder)
    settings = TrainSettings(
        batch_size=8, epochs=1, ownership_weight=0.0, value_weight=value_weight
    )
    train(model, samples(), settings, progress=False, generator=torch.Generator().manual_seed(1))
    return seen


def test_the_value_weight_scales_the_value_losss_gradient(monkeypatch: pytest.MonkeyPatch) -> None:
    full, quarter = first_gradients(1.0, monkeypatch), first_gradients(0.25, monkeypatch)
    value_head = [name for name in full if name.startswith(("value_conv", "value_mlp"))]
    policy_head = [name for name in full if name.startswith("policy_head")]
    tower = [name for name in full if name.startswith(("stem", "tower"))]
    assert value_head and policy_head and tower
    for name in value_head:
        assert torch.count_nonzero(full[name]) > 0, name
        torch.testing.assert_close(quarter[name], 0.25 * full[name], rtol=1e-4, atol=1e-7)
    for name in policy_head:
        torch.testing.assert_close(quarter[name], full[name], rtol=1e-5, atol=1e-8)
    # The tower learns from both: a quarter of the value loss changes its gradient.
    assert any(not torch.allclose(quarter[name], full[name]) for name in tower)

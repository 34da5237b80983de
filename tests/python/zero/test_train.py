"""Training fits soft policy and value targets with per-sample mean cross-entropies."""

from __future__ import annotations

import math

import pytest
import torch

from tessarin_zero.data import TrainingTensors
from tessarin_zero.network import PolicyValueNet
from tessarin_zero.settings import NetworkSettings, TrainSettings
from tessarin_zero.train import TrainingDiverged, train

DIM = 5


def tiny_batch() -> TrainingTensors:
    generator = torch.Generator().manual_seed(0)
    states = (torch.rand(6, 5, DIM, DIM, generator=generator) < 0.3).float()
    policy = torch.softmax(3 * torch.randn(6, DIM * DIM, generator=generator), dim=1)
    value = torch.tensor([[1.0, 0, 0, 0], [0, 0.5, 0.5, 0], [0.25] * 4] * 2)
    return TrainingTensors(states, policy, value)


def test_uniform_logits_cost_the_log_of_the_choices() -> None:
    model = PolicyValueNet(NetworkSettings(channels=4, blocks=1)).eval()
    with torch.no_grad():
        for head in (model.policy_head[-1], model.value_mlp[-1]):
            for parameter in head.parameters():
                parameter.zero_()
    settings = TrainSettings(batch_size=4, epochs=1, learning_rate=0.0, weight_decay=0.0)
    losses = train(model, tiny_batch(), settings, progress=False)
    assert math.isclose(losses["policy"], math.log(DIM * DIM), rel_tol=1e-5)
    assert math.isclose(losses["value"], math.log(4), rel_tol=1e-5)
    assert math.isclose(losses["loss"], losses["policy"] + losses["value"])
    assert not model.training  # handed back in the mode it came in


def test_training_reduces_the_loss_on_a_fixed_batch() -> None:
    torch.manual_seed(1)
    model = PolicyValueNet(NetworkSettings(channels=8, blocks=1))
    batch, generator = tiny_batch(), torch.Generator().manual_seed(2)
    one_batch = TrainSettings(batch_size=6, epochs=1, learning_rate=1e-2)
    before = train(model, batch, one_batch, progress=False, generator=generator)  # pre-step loss
    train(model, batch, TrainSettings(batch_size=6, epochs=30, learning_rate=1e-2), False)
    after = train(model, batch, one_batch, progress=False, generator=generator)
    assert after["policy"] < 0.8 * before["policy"] and after["value"] < 0.5 * before["value"]


def test_diverging_training_stops_with_a_clear_message() -> None:
    torch.manual_seed(0)
    model = PolicyValueNet(NetworkSettings(channels=4, blocks=1))
    settings = TrainSettings(batch_size=2, epochs=3, learning_rate=1e6)
    with pytest.raises(TrainingDiverged, match="training diverged: policy loss nan"):
        train(model, tiny_batch(), settings, progress=False)

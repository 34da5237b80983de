"""Training fits soft policy and value targets with per-sample mean cross-entropies."""

from __future__ import annotations

import math

import pytest
import torch

from tessarin_zero.training.loop import scheduled_learning_rate
from tessarin_zero.training.tensors import TrainingTensors
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.common.settings import NetworkSettings, TrainSettings
from tessarin_zero.training.train import TrainingDiverged, train

DIM = 5


def tiny_batch() -> TrainingTensors:
    generator = torch.Generator().manual_seed(0)
    states = (torch.rand(6, 5, DIM, DIM, generator=generator) < 0.3).float()
    policy = torch.softmax(3 * torch.randn(6, DIM * DIM, generator=generator), dim=1)
    value = torch.tensor([[1.0, 0, 0, 0], [0, 0.5, 0.5, 0], [0.25] * 4] * 2)
    return TrainingTensors(states, policy, value)


def usual_layout(model: torch.nn.Module) -> bool:
    """Training lays the weights out channels last while it runs; exports and checkpoints must
    get them back as they were, however it ends."""
    return all(parameter.is_contiguous() for parameter in model.parameters())


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
    assert usual_layout(model)


def test_training_reduces_the_loss_on_a_fixed_batch() -> None:
    torch.manual_seed(1)
    model = PolicyValueNet(NetworkSettings(channels=8, blocks=1))
    batch, generator = tiny_batch(), torch.Generator().manual_seed(2)
    one_batch = TrainSettings(batch_size=6, epochs=1, learning_rate=1e-2)
    before = train(model, batch, one_batch, progress=False, generator=generator)  # pre-step loss
    train(model, batch, TrainSettings(batch_size=6, epochs=30, learning_rate=1e-2), False)
    after = train(model, batch, one_batch, progress=False, generator=generator)
    # The value targets' own entropy is the least a cross-entropy can reach.
    floor = float(-(batch.value * batch.value.clamp_min(1e-12).log()).sum(dim=1).mean())
    assert after["policy"] < 0.8 * before["policy"]
    assert after["value"] - floor < 0.5 * (before["value"] - floor)


def test_diverging_training_stops_with_a_clear_message() -> None:
    torch.manual_seed(0)
    model = PolicyValueNet(NetworkSettings(channels=4, blocks=1))
    settings = TrainSettings(batch_size=2, epochs=3, learning_rate=1e6)
    with pytest.raises(TrainingDiverged, match="training diverged: policy loss nan"):
        train(model, tiny_batch(), settings, progress=False)
    assert usual_layout(model)


def test_ownership_is_learned_only_with_a_weight() -> None:
    batch = tiny_batch()
    generator = torch.Generator().manual_seed(5)
    owners = torch.randint(0, 5, (len(batch), DIM, DIM), generator=generator, dtype=torch.uint8)
    with_owners = TrainingTensors(batch.states, batch.policy, batch.value, owners)
    torch.manual_seed(4)
    model = PolicyValueNet(NetworkSettings(channels=8, blocks=1))
    untouched = [p.clone() for p in model.ownership_head.parameters()]
    ignored = TrainSettings(batch_size=6, epochs=5, learning_rate=1e-2, ownership_weight=0.0)
    losses = train(model, with_owners, ignored, progress=False)
    assert losses["ownership"] == 0.0
    for before, after in zip(untouched, model.ownership_head.parameters()):
        torch.testing.assert_close(before, after)

    one_batch = TrainSettings(batch_size=6, epochs=1, learning_rate=1e-2, ownership_weight=2.0)
    before = train(model, with_owners, one_batch, progress=False)
    train(model, with_owners, TrainSettings(batch_size=6, epochs=30, learning_rate=1e-2), False)
    after = train(model, with_owners, one_batch, progress=False)
    assert after["ownership"] < 0.8 * before["ownership"]
    total = after["policy"] + after["value"] + 2.0 * after["ownership"]
    assert math.isclose(after["loss"], total)


def test_the_value_loss_counts_by_its_weight_and_not_at_all_at_zero() -> None:
    torch.manual_seed(6)
    model = PolicyValueNet(NetworkSettings(channels=8, blocks=1))
    value_parameters = [*model.value_conv.parameters(), *model.value_mlp.parameters()]
    untouched = [p.clone() for p in value_parameters]
    ignored = TrainSettings(batch_size=6, epochs=3, learning_rate=1e-2, value_weight=0.0)
    losses = train(model, tiny_batch(), ignored, progress=False)
    for before, after in zip(untouched, value_parameters):
        torch.testing.assert_close(before, after)
    assert losses["value"] > 0 and math.isclose(losses["loss"], losses["policy"])

    halved = TrainSettings(batch_size=6, epochs=1, learning_rate=1e-2, value_weight=0.5)
    losses = train(model, tiny_batch(), halved, progress=False)
    assert math.isclose(losses["loss"], losses["policy"] + 0.5 * losses["value"])
    assert any(not torch.equal(b, a) for b, a in zip(untouched, value_parameters))


def test_the_learning_rate_falls_from_the_first_to_the_final_iteration() -> None:
    rates = [scheduled_learning_rate(1e-3, 1e-4, i, 10) for i in range(1, 11)]
    assert rates[0] == pytest.approx(1e-3) and rates[-1] == pytest.approx(1e-4)
    assert all(a > b for a, b in zip(rates, rates[1:]))
    assert scheduled_learning_rate(1e-3, 1e-4, 11, 10) == pytest.approx(1e-4)  # resumed past it
    assert scheduled_learning_rate(1e-3, 1e-4, 1, 1) == pytest.approx(1e-3)
    assert {scheduled_learning_rate(1e-3, None, i, 10) for i in (1, 5, 10)} == {1e-3}

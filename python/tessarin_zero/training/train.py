"""One training phase of the policy/value network on self-play samples.

Both heads learn soft targets with cross-entropy: the policy the search's visit shares, the value
the payoff shares (1/k to each of k winners) relative to the player to move. A softmax over four
players fits a game that ends in a shared win better than a scalar regression would, and it is
what the search turns the value logits into. A network with an ownership head also learns, per
cell, who covers it when the game is over (cross-entropy averaged over the cells, weighted by
`ownership_weight`): a hundred targets per sample instead of one payoff, which shapes the tower
while the search never reads that head. The value loss is weighted by `value_weight`: every
position of a game shares its one outcome, so at full weight the value head soon learns the
games in the window by heart, and its estimates on new games get worse instead of better.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager

import torch
import torch.nn.functional as F
from torch import Tensor, nn
from tqdm import tqdm

from tessarin_zero.training.tensors import TrainingTensors
from tessarin_zero.inference.network import non_finite_weights
from tessarin_zero.common.settings import TrainSettings


class TrainingDiverged(ArithmeticError):
    """A loss or a weight became NaN or infinite: the network must not be used."""


def soft_cross_entropy(logits: Tensor, targets: Tensor) -> Tensor:
    """Mean over the batch of -sum(target * log softmax(logits))."""
    return -(targets * F.log_softmax(logits, dim=1)).sum(dim=1).mean()


@contextmanager
def channels_last(model: nn.Module) -> Iterator[None]:
    """The model's weights laid out channels last while the block runs, as they were after it.
    Its convolutions learn about a quarter faster in that layout on the CPU (bench/train_bench.py);
    everything else (exports, checkpoints, the evaluators) gets the usual layout back."""
    model.to(memory_format=torch.channels_last)  # type: ignore[call-overload]
    try:
        yield
    finally:
        model.to(memory_format=torch.contiguous_format)  # type: ignore[call-overload]


def train(
    model: nn.Module,
    tensors: TrainingTensors,
    settings: TrainSettings,
    progress: bool = True,
    generator: torch.Generator | None = None,
) -> dict[str, float]:
    """Trains `model` in place for `settings.epochs` shuffled passes over `tensors`.

    AdamW applies `weight_decay` decoupled from the adaptive step, so the decay means the same
    whatever the gradient scale. The optimiser is new for every phase: the data window moves
    between phases and stale moment estimates would only lag. The model is put in training mode
    and given back in the mode it came in. Returns the sample-weighted mean losses of the last
    epoch: "policy", "value" (unweighted), "ownership" (0 when it is not learned) and their
    weighted sum "loss".

    Raises TrainingDiverged as soon as a loss is not finite, or at the end if a weight is not:
    the model is then unusable, and the caller must neither save nor serve it.
    """
    samples = len(tensors)
    if samples == 0:
        raise ValueError("no training samples")
    if settings.epochs < 1 or settings.batch_size < 1:
        raise ValueError("epochs and batch_size must be at least 1")
    device = next(model.parameters()).device
    optimizer = torch.optim.AdamW(
        model.parameters(), lr=settings.learning_rate, weight_decay=settings.weight_decay
    )
    batches = -(-samples // settings.batch_size)
    was_training = model.training
    model.train()
    learn_ownership = (
        tensors.ownership is not None
        and settings.ownership_weight > 0
        and getattr(model, "ownership_head", None) is not None
    )
    sums = {"policy": 0.0, "value": 0.0, "ownership": 0.0}
    bar = tqdm(total=settings.epochs * batches, disable=not progress, desc="train")
    with bar, channels_last(model):
        for epoch in range(settings.epochs):
            sums = {"policy": 0.0, "value": 0.0, "ownership": 0.0}
            order = torch.randperm(samples, generator=generator)
            for first in range(0, samples, settings.batch_size):
                batch = order[first : first + settings.batch_size]
                states = tensors.states[batch].to(device)
                states = states.contiguous(memory_format=torch.channels_last)
                if learn_ownership:
                    assert tensors.ownership is not None
                    with_ownership: Callable[[Tensor], tuple[Tensor, Tensor, Tensor]]
                    with_ownership = getattr(model, "forward_with_ownership")
                    policy_logits, value_logits, owner_logits = with_ownership(states)
                    owners = tensors.ownership[batch].to(device=device, dtype=torch.long)
                    ownership_loss = F.cross_entropy(owner_logits, owners)
                else:
                    policy_logits, value_logits = model(states)
                    ownership_loss = torch.zeros((), device=device)
                policy_loss = soft_cross_entropy(policy_logits, tensors.policy[batch].to(device))
                value_loss = soft_cross_entropy(value_logits, tensors.value[batch].to(device))
                total = policy_loss + settings.ownership_weight * ownership_loss
                if settings.value_weight > 0:  # at 0 the value head is left as it is, undecayed
                    total = total + settings.value_weight * value_loss
                if not bool(torch.isfinite(total)):
                    raise TrainingDiverged(
                        f"training diverged: policy loss {policy_loss.item()}, value loss "
                        f"{value_loss.item()}, ownership loss {ownership_loss.item()} in epoch "
                        f"{epoch + 1}, batch "
                        f"{first // settings.batch_size + 1} (learning rate "
                        f"{settings.learning_rate:g}); the network is not usable"
                    )
                optimizer.zero_grad(set_to_none=True)
                torch.autograd.backward(total)
                optimizer.step()
                sums["policy"] += policy_loss.item() * len(batch)
                sums["value"] += value_loss.item() * len(batch)
                sums["ownership"] += ownership_loss.item() * len(batch)
                bar.update()
                bar.set_postfix(policy=policy_loss.item(), value=value_loss.item())
    model.train(was_training)
    broken = non_finite_weights(model)
    if broken:
        raise TrainingDiverged(f"training diverged: non-finite weights in {broken[0]}")
    losses = {name: total / samples for name, total in sums.items()}
    losses["loss"] = (
        losses["policy"]
        + settings.value_weight * losses["value"]
        + settings.ownership_weight * losses["ownership"]
    )
    return losses

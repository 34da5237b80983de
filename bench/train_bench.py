"""Training throughput of the network on the CPU, in samples per second, by memory layout.

One training step is what `training.train` does per batch: the forward pass with the ownership
head, the three losses, the backward pass and an AdamW step, on random 0/1 planes and random
targets. The layouts take turns (one timed block of `--steps` steps each, `--repeats` rounds), so
that load from other processes falls on all of them alike. Printed per layout: the median
samples/s over the rounds with the lowest and highest round, and the ratio to the usual layout.

Layouts: contiguous (the usual NCHW), channels_last (what `train` uses: NHWC weights and inputs,
oneDNN's layout) and bf16 (channels last under bfloat16 autocast, for comparison only: training
does not use it).

Usage: PYTHONPATH=python python bench/train_bench.py [--dim 20] [--channels 32] [--blocks 3]
       [--batch 128] [--steps 8] [--repeats 5]
"""

from __future__ import annotations

import argparse
import contextlib
import statistics
import time
from collections.abc import Callable

import torch
import torch.nn.functional as F

from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.training.train import soft_cross_entropy

LAYOUTS = ("contiguous", "channels_last", "bf16")


def training_step(
    layout: str, settings: NetworkSettings, dim: int, batch: int
) -> Callable[[], None]:
    model = PolicyValueNet(settings).train()
    planes = torch.randint(0, 2, (batch, 5, dim, dim)).float()
    if layout != "contiguous":
        model.to(memory_format=torch.channels_last)  # type: ignore[call-overload]
        planes = planes.contiguous(memory_format=torch.channels_last)
    policy = torch.softmax(torch.randn(batch, dim * dim), dim=1)
    value = torch.softmax(torch.randn(batch, 4), dim=1)
    owners = torch.randint(0, 5, (batch, dim, dim))
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3)

    def step() -> None:
        precision = (
            torch.autocast("cpu", dtype=torch.bfloat16)
            if layout == "bf16"
            else contextlib.nullcontext()
        )
        with precision:
            policy_logits, value_logits, owner_logits = model.forward_with_ownership(planes)
        loss = (
            soft_cross_entropy(policy_logits.float(), policy)
            + soft_cross_entropy(value_logits.float(), value)
            + F.cross_entropy(owner_logits.float(), owners)
        )
        optimizer.zero_grad(set_to_none=True)
        loss.backward()  # type: ignore[no-untyped-call]
        optimizer.step()

    return step


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--channels", type=int, default=32)
    parser.add_argument("--blocks", type=int, default=3)
    parser.add_argument("--batch", type=int, default=128)
    parser.add_argument("--steps", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    torch.manual_seed(0)
    settings = NetworkSettings(channels=args.channels, blocks=args.blocks)
    steps = {layout: training_step(layout, settings, args.dim, args.batch) for layout in LAYOUTS}
    for step in steps.values():  # warm up: first calls pick and cache oneDNN kernels
        step()
        step()
    rates: dict[str, list[float]] = {layout: [] for layout in LAYOUTS}
    for _ in range(args.repeats):
        for layout, step in steps.items():
            start = time.perf_counter()
            for _ in range(args.steps):
                step()
            rates[layout].append(args.steps * args.batch / (time.perf_counter() - start))
    print(
        f"training on {args.dim} x {args.dim}, network {args.channels} x {args.blocks}, batch "
        f"{args.batch}, {torch.get_num_threads()} threads; median samples/s over "
        f"{args.repeats} rounds [lowest, highest]:"
    )
    usual = statistics.median(rates["contiguous"])
    for layout, measured in rates.items():
        median = statistics.median(measured)
        print(
            f"  {layout:14} {median:8.0f} [{min(measured):.0f}, {max(measured):.0f}]  "
            f"{median / usual:.2f}x"
        )


if __name__ == "__main__":
    main()

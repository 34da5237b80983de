"""Forward throughput of the default network on the CPU through several inference paths.

Each path evaluates the same random 0/1 planes; for every board side and batch size the paths
take turns (one timed block each, `--repeats` rounds), so that load from other processes on
this shared machine falls on all of them alike. Printed per cell: median positions/s over the
rounds with the lowest and highest round, and the speed-up over eager from the medians. Before
timing, every path's outputs are compared with eager's; a path that disagrees is marked.

Paths: eager (the network as built), eager_cl (channels-last memory format), fused (batch norms
folded into the convolutions), fused_cl, jit (torch.jit.trace of the folded network, frozen),
compile (torch.compile of the folded network, dynamic shapes; its compile time is printed),
onnx (the folded network exported to ONNX and run by ONNX Runtime, when that is importable),
int8 and bf16 (the host's low-precision paths, `--inference int8|bf16`: the tower in int8
through ONNX Runtime, the network in bfloat16 in PyTorch; their agreement is printed, not
required).

Each cell also gives the multiply-adds the network did per second (its multiply-adds per
position, counted from its layers at that side, times positions/s), to set beside one core's
peak at each precision: `build/release/bench/peak_ops` (float32 FMA, bfloat16 and int8 dot
products of AVX-512).

Usage: PYTHONPATH=python python bench/inference_bench.py [--dims 7 20]
       [--batches 1 2 8 32 128 256] [--threads 1] [--repeats 7] [--paths ...]
"""

from __future__ import annotations

import argparse
import copy
import statistics
import time
from collections.abc import Callable

import torch
from torch import Tensor, nn

from tessarin_zero.inference.evaluator import BatchEvaluator, fold_batch_norms
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.common.settings import NetworkSettings

Forward = Callable[[Tensor], tuple[Tensor, Tensor]]
ALL_PATHS = ("eager", "eager_cl", "fused", "fused_cl", "jit", "compile", "onnx", "int8", "bf16")
LOW_PRECISION = ("int8", "bf16")


def onnx_runtime(model: nn.Module, dim: int, threads: int) -> Forward:
    """The folded network exported to ONNX and run by ONNX Runtime (which must be importable;
    it is not a dependency of the project)."""
    import io

    import onnxruntime

    buffer = io.BytesIO()
    dynamic = {"planes": {0: "b", 2: "h", 3: "w"}, "policy": {0: "b", 1: "hw"}, "value": {0: "b"}}
    torch.onnx.export(
        model,
        (torch.rand(8, 5, dim, dim).round(),),
        buffer,  # type: ignore[arg-type]  # any binary stream will do
        dynamo=False,
        input_names=["planes"],
        output_names=["policy", "value"],
        dynamic_axes=dynamic,
        opset_version=17,
    )
    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    session = onnxruntime.InferenceSession(
        buffer.getvalue(), options, providers=["CPUExecutionProvider"]
    )

    def forward(planes: Tensor) -> tuple[Tensor, Tensor]:
        policy, value = session.run(None, {"planes": planes.numpy()})
        return torch.from_numpy(policy), torch.from_numpy(value)

    return forward


def realistic(model: PolicyValueNet) -> PolicyValueNet:
    """Batch-norm statistics and affine terms away from their fresh values, as after training,
    so that folding them has something to fold."""
    generator = torch.Generator().manual_seed(1)
    for module in model.modules():
        if isinstance(module, nn.BatchNorm2d):
            assert module.running_mean is not None and module.running_var is not None
            shape = module.running_mean.shape
            module.running_mean.copy_(torch.randn(shape, generator=generator) * 0.3)
            module.running_var.copy_(torch.rand(shape, generator=generator) + 0.5)
            module.weight.data.copy_(torch.rand(shape, generator=generator) + 0.5)
            module.bias.data.copy_(torch.randn(shape, generator=generator) * 0.1)
    return model.eval()


def build_paths(
    model: nn.Module, names: list[str], dim: int, threads: int
) -> dict[str, tuple[Forward, bool]]:
    """name -> (forward, wants channels-last input)."""
    fused = fold_batch_norms(model)
    last = torch.channels_last
    paths: dict[str, tuple[Forward, bool]] = {}
    for name in names:
        if name == "eager":
            paths[name] = (model, False)
        elif name == "eager_cl":
            paths[name] = (
                copy.deepcopy(model).to(memory_format=last),  # type: ignore[call-overload]
                True,
            )
        elif name == "fused":
            paths[name] = (fused, False)
        elif name == "fused_cl":
            paths[name] = (
                fold_batch_norms(model).to(memory_format=last),  # type: ignore[call-overload]
                True,
            )
        elif name == "jit":
            example = torch.rand(8, 5, dim, dim).round()
            with torch.inference_mode():
                traced = torch.jit.trace(  # type: ignore[no-untyped-call]
                    fused, example, check_trace=False
                )
                traced = torch.jit.freeze(traced)
            paths[name] = (traced, False)
        elif name == "compile":
            started = time.perf_counter()
            compiled = torch.compile(fold_batch_norms(model), dynamic=True)
            with torch.inference_mode():
                compiled(torch.rand(3, 5, dim, dim).round())
            print(f"  torch.compile: first call (compile) {time.perf_counter() - started:.1f} s")
            paths[name] = (compiled, False)
        elif name == "onnx":
            try:
                paths[name] = (onnx_runtime(fused, dim, threads), False)
            except ImportError:
                print("  onnx: ONNX Runtime is not installed, left out")
        elif name in LOW_PRECISION:
            paths[name] = (host_path(model, name, dim, threads), False)
        else:
            raise SystemExit(f"unknown path {name}")
    return paths


def host_path(model: nn.Module, path: str, dim: int, threads: int) -> Forward:
    """The host's evaluator run the `path` way (calibrated at side `dim` for int8)."""
    evaluator = BatchEvaluator(model, path=path, threads=threads, dim=dim)

    def forward(planes: Tensor) -> tuple[Tensor, Tensor]:
        policy, value = evaluator(planes.numpy())
        return torch.from_numpy(policy), torch.from_numpy(value)

    return forward


def multiply_adds(model: nn.Module, dim: int) -> int:
    """The multiply-adds of one position at side `dim`: every convolution's and linear layer's,
    counted with hooks over one forward pass."""
    count = 0

    def hook(module: nn.Module, inputs: tuple[Tensor, ...], output: Tensor) -> None:
        nonlocal count
        if isinstance(module, nn.Conv2d):
            per_output = (
                module.in_channels // module.groups * module.kernel_size[0] * module.kernel_size[1]
            )
            count += output[0].numel() * per_output
        elif isinstance(module, nn.Linear):
            count += module.in_features * module.out_features

    handles = [
        m.register_forward_hook(hook)
        for m in model.modules()
        if isinstance(m, (nn.Conv2d, nn.Linear))
    ]
    with torch.inference_mode():
        model(torch.zeros(1, 5, dim, dim))
    for handle in handles:
        handle.remove()
    return count


def agreement(reference: Forward, paths: dict[str, tuple[Forward, bool]], dim: int) -> None:
    planes = torch.rand(16, 5, dim, dim).round()
    with torch.inference_mode():
        policy, value = reference(planes)
        for name, (forward, last) in paths.items():
            inputs = planes.contiguous(memory_format=torch.channels_last) if last else planes
            mine = forward(inputs)
            error = max(float((mine[0] - policy).abs().max()), float((mine[1] - value).abs().max()))
            ok = torch.allclose(mine[0], policy, rtol=1e-4, atol=1e-4) and torch.allclose(
                mine[1], value, rtol=1e-4, atol=1e-4
            )
            flag = "(low precision)" if name in LOW_PRECISION else "" if ok else "DIFFERS"
            print(f"  {name:9} max |difference| from eager {error:.2e} {flag}")


def timed_block(forward: Forward, planes: Tensor, seconds: float) -> float:
    """Positions per second over a block of calls lasting about `seconds`."""
    calls = 0
    started = time.perf_counter()
    while True:
        forward(planes)
        calls += 1
        elapsed = time.perf_counter() - started
        if elapsed >= seconds:
            return planes.shape[0] * calls / elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dims", type=int, nargs="+", default=[7, 20])
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 2, 8, 32, 128, 256])
    parser.add_argument("--threads", type=int, default=1, help="torch threads (default 1)")
    parser.add_argument("--repeats", type=int, default=7, help="rounds (default 7)")
    parser.add_argument("--block-s", type=float, default=0.25, help="length of a timed block")
    parser.add_argument("--paths", nargs="+", default=list(ALL_PATHS), choices=ALL_PATHS)
    args = parser.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(0)
    model = realistic(PolicyValueNet(NetworkSettings()))
    print(
        f"network {model.settings.channels} x {model.settings.blocks}, {args.threads} torch "
        f"threads, {args.repeats} rounds of {args.block_s} s per path and cell; positions/s: "
        "median [lowest - highest round] (speed-up over eager's median)"
    )
    for dim in args.dims:
        macs = multiply_adds(model, dim)
        print(f"side {dim}: {macs / 1e6:.1f} million multiply-adds a position")
        paths = build_paths(model, args.paths, dim, args.threads)
        agreement(model, paths, dim)
        for batch in args.batches:
            planes = torch.rand(batch, 5, dim, dim).round()
            planes_last = planes.contiguous(memory_format=torch.channels_last)
            rates: dict[str, list[float]] = {name: [] for name in paths}
            with torch.inference_mode():
                for forward, last in paths.values():  # warm-up
                    for _ in range(3):
                        forward(planes_last if last else planes)
                for _ in range(args.repeats):
                    for name, (forward, last) in paths.items():
                        inputs = planes_last if last else planes
                        rates[name].append(timed_block(forward, inputs, args.block_s))
            base = statistics.median(rates["eager"]) if "eager" in rates else None
            cells = []
            for name, values in rates.items():
                median = statistics.median(values)
                speedup = f" ({median / base:.2f}x)" if base else ""
                spread = f"[{min(values):,.0f}-{max(values):,.0f}]"
                achieved = f", {median * macs / 1e9:.1f} G multiply-adds/s"
                cells.append(f"{name} {median:,.0f} {spread}{speedup}{achieved}")
            print(f"  batch {batch:>3}: " + "; ".join(cells), flush=True)


if __name__ == "__main__":
    main()

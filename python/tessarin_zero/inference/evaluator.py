"""The network prepared for answering evaluations, and one call that answers a whole batch.

Training needs the network as built (batch norms with running statistics); evaluation does not.
A `BatchEvaluator` holds a copy for evaluation only, run one of five ways (its `path`):

- ``"onnx"`` (the default): the network, batch norms folded into its convolutions, exported
  to ONNX and run by ONNX Runtime: on the CPU several times as fast as eager PyTorch at the small
  batches the worker pipeline forms and faster at large ones, and its export costs far less
  than ``torch.compile``'s first call (docs/performance.md, "The network on the CPU"). On a
  device other than the CPU this path runs the folded network in PyTorch on that device.
- ``"fused"``: the folded network in PyTorch.
- ``"eager"``: the network as it is; the way back should a version of either library ever
  disagree with the others.
- ``"int8"``: as ``"onnx"``, the residual tower's convolutions in int8 (`int8_graph`), which
  this machine's processor runs several times as fast per operation as float32; calibrated on
  engine games of the side it will play. Its answers differ from float32's by more than
  rounding (docs/performance.md says how much, and what training with it gives).
- ``"bf16"``: the folded network in bfloat16 in PyTorch, channels last.

Its input is one buffer of positions, [B, 5, dim, dim] or (channels last, the module's ``rep``
2) [B, dim, dim, 5], of uint8 or float32 0/1 values (bool is read as uint8); its output,
contiguous float32 policy logits [B, dim * dim] and value logits [B, 4] as NumPy arrays. No
Python object is made per position. Every process builds its own evaluator (an ONNX Runtime
session cannot be pickled): the inference server for each of its models, and a worker that
evaluates in-process for its model copy.
"""

from __future__ import annotations

import contextlib
import copy
import io
import tempfile
import warnings
from pathlib import Path
from typing import Any, Optional

import numpy as np
import onnx
import tessarin_engine
import torch
from torch import Tensor, nn
from torch.nn.utils.fusion import fuse_conv_bn_eval

from tessarin_zero.common.game import INPUT_PLANES
from tessarin_zero.common.settings import INFERENCE_PATHS

DEFAULT_PATH = INFERENCE_PATHS[0]
_EXPORT_SIDE = 7  # any side works: the exported graph keeps batch and board sides symbolic


def fold_batch_norms(module: nn.Module) -> nn.Module:
    """A copy of `module` for evaluation in which every BatchNorm2d that directly follows a
    Conv2d in a Sequential is folded into that convolution's weights and bias. The copy computes
    what the original computes in evaluation mode, up to float32 rounding."""
    folded = copy.deepcopy(module).eval()
    for parent in [m for m in folded.modules() if isinstance(m, nn.Sequential)]:
        layers = list(parent)
        kept: list[nn.Module] = []
        index = 0
        while index < len(layers):
            layer = layers[index]
            following = layers[index + 1] if index + 1 < len(layers) else None
            if isinstance(layer, nn.Conv2d) and isinstance(following, nn.BatchNorm2d):
                kept.append(fuse_conv_bn_eval(layer, following))
                index += 2
            else:
                kept.append(layer)
                index += 1
        for name in list(parent._modules):
            del parent._modules[name]
        for position, layer in enumerate(kept):
            parent.add_module(str(position), layer)
    for parameter in folded.parameters():
        parameter.requires_grad_(False)
    return folded


def onnx_graph(model: nn.Module) -> bytes:
    """`model` exported to ONNX: input "planes" [B, 5, H, W] float32, outputs "policy"
    [B, H * W] and "value" [B, 4], batch and board sides symbolic."""
    buffer = io.BytesIO()
    example = torch.zeros(2, INPUT_PLANES, _EXPORT_SIDE, _EXPORT_SIDE)
    with warnings.catch_warnings():
        # The tracer notes that the input check in forward is fixed at export (it holds for
        # every input with five planes), and the exporter that its TorchScript mode is old.
        warnings.simplefilter("ignore")
        torch.onnx.export(
            model,
            (example,),
            buffer,  # type: ignore[arg-type]  # the exporter writes to any binary stream
            dynamo=False,
            input_names=["planes"],
            output_names=["policy", "value"],
            dynamic_axes={
                "planes": {0: "batch", 2: "rows", 3: "columns"},
                "policy": {0: "batch", 1: "cells"},
                "value": {0: "batch"},
            },
            opset_version=17,
        )
    return buffer.getvalue()


def onnx_session(model: nn.Module | bytes, threads: int) -> Any:
    """An ONNX Runtime session (CPU) running `model` (a network, or its ONNX graph), taking
    "planes" [B, 5, H, W] float32 and giving "policy" [B, H * W] and "value" [B, 4]."""
    import onnxruntime  # a dependency of the host; imported here so the other paths need not

    graph = model if isinstance(model, bytes) else onnx_graph(model)
    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    options.log_severity_level = 3  # errors only: its notes would land in every game's output
    # A pool thread spinning for work takes a core from the workers on a small machine.
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    return onnxruntime.InferenceSession(graph, options, providers=["CPUExecutionProvider"])


def int8_graph(model: nn.Module, calibration: np.ndarray) -> bytes:
    """The folded network's ONNX graph with its residual tower's convolutions in int8: weights
    per output channel (int8), activations per tensor (uint8) with the ranges they take on the
    `calibration` planes ([N, 5, H, W] float32; the 0.001 and 99.999 percentiles, so that a rare
    large activation does not spend the whole range). The stem, which reads the 0/1 planes and
    turns the board, and the heads, whose outputs are the logits, stay in float32: quantized,
    they cost the most agreement for the least time."""
    from onnxruntime import quantization

    class Planes(quantization.CalibrationDataReader):  # type: ignore[misc]  # untyped library
        def __init__(self) -> None:
            # Batches of one size: the percentile calibrator stacks them.
            whole = len(calibration) - len(calibration) % 32
            self._batches = iter([{"planes": calibration[i : i + 32]} for i in range(0, whole, 32)])

        def get_next(self) -> Optional[dict[str, np.ndarray]]:
            return next(self._batches, None)

    with tempfile.TemporaryDirectory() as folder:
        plain, prepared, quantized = (Path(folder) / n for n in ("f.onnx", "p.onnx", "q.onnx"))
        plain.write_bytes(onnx_graph(model))
        quantization.quant_pre_process(str(plain), str(prepared), skip_symbolic_shape=True)
        nodes = onnx.load(str(prepared)).graph.node
        tower = [n.name for n in nodes if n.op_type == "Conv" and "/tower/" in n.name]
        with contextlib.redirect_stdout(io.StringIO()):  # its progress notes are not ours to print
            quantization.quantize_static(
                str(prepared),
                str(quantized),
                Planes(),
                quant_format=quantization.QuantFormat.QDQ,
                per_channel=True,
                activation_type=quantization.QuantType.QUInt8,
                weight_type=quantization.QuantType.QInt8,
                op_types_to_quantize=["Conv"],
                nodes_to_quantize=tower,
                calibrate_method=quantization.CalibrationMethod.Percentile,
            )
        return quantized.read_bytes()


def calibration_planes(dim: int, positions: int = 256, seed: int = 1) -> np.ndarray:
    """About `positions` positions [N, 5, dim, dim] float32 from the whole length of engine
    games (heuristic players against random ones), to calibrate an int8 network on the side it
    will play. More do not change the ranges it finds and cost calibration time."""
    batch = tessarin_engine.MatchBatch(
        dim, 1, ["heuristic", "random", "heuristic", "random"], 4, seed=seed
    )
    states: list[bytes] = []
    while not batch.done:
        batch.step()
        for result in batch.take_finished():
            game = tessarin_engine.Game(dim)
            for _, tile in np.asarray(result[4]).tolist():
                states.append(game.state())
                game.apply(tile)
    every = max(1, len(states) // positions)
    kept = b"".join(states[::every][:positions])
    planes = np.frombuffer(kept, dtype=np.uint8).reshape(-1, INPUT_PLANES, dim, dim)
    return planes.astype(np.float32)


class BatchEvaluator:
    """Answers batches of positions with a copy of a network (see the module's docstring).

    `threads` are ONNX Runtime's threads (None: torch's thread count in this process, which the
    server and the workers set); the PyTorch paths use torch's own setting. `dim` is the board
    side the int8 path calibrates on (it answers any side).
    """

    def __init__(
        self,
        model: nn.Module,
        *,
        path: str = DEFAULT_PATH,
        channels_last: bool = False,
        device: str | torch.device = "cpu",
        threads: Optional[int] = None,
        dim: int = 7,
    ) -> None:
        if path not in INFERENCE_PATHS:
            raise ValueError(f"unknown inference path {path!r}: expected one of {INFERENCE_PATHS}")
        self.device = torch.device(device)
        if path in ("onnx", "int8") and self.device.type != "cpu":
            path = "fused"
        self.path = path
        self.channels_last = channels_last
        self._session: Any = None
        self._model: Optional[nn.Module] = None
        self._dtype = torch.bfloat16 if path == "bf16" else torch.float32
        threads = max(1, threads if threads is not None else torch.get_num_threads())
        if path == "eager":
            self._model = copy.deepcopy(model).eval().requires_grad_(False).to(self.device)
        elif path == "fused":
            self._model = fold_batch_norms(model).to(self.device)
        elif path == "bf16":
            folded = fold_batch_norms(model).to(self.device, dtype=torch.bfloat16)
            # Module.to takes a memory format, whatever its stubs say.
            self._model = folded.to(memory_format=torch.channels_last)  # type: ignore[call-overload]
        elif path == "int8":
            folded = fold_batch_norms(model).cpu()
            self._session = onnx_session(int8_graph(folded, calibration_planes(dim)), threads)
        else:
            self._session = onnx_session(fold_batch_norms(model).cpu(), threads)

    def __call__(self, positions: Any) -> tuple[np.ndarray, np.ndarray]:
        array = self._checked(positions)
        if self._session is not None:
            if self.channels_last:
                array = array.transpose(0, 3, 1, 2)
            planes = np.ascontiguousarray(array, dtype=np.float32)
            policy, value = self._session.run(None, {"planes": planes})
        else:
            assert self._model is not None
            with torch.inference_mode():
                policy_tensor, value_tensor = self._model(self._tensor(array))
                policy = policy_tensor.to(device="cpu", dtype=torch.float32).numpy()
                value = value_tensor.to(device="cpu", dtype=torch.float32).numpy()
        return (
            np.ascontiguousarray(policy, dtype=np.float32),
            np.ascontiguousarray(value, dtype=np.float32),
        )

    def _checked(self, positions: Any) -> np.ndarray:
        """The positions as an array of the expected layout; ValueError naming it if not."""
        array = np.asarray(positions)
        if array.dtype == np.bool_:
            array = array.view(np.uint8)
        if array.dtype not in (np.uint8, np.float32):
            raise ValueError(f"positions must be uint8 or float32, got {array.dtype}")
        layout = "[B, dim, dim, 5]" if self.channels_last else "[B, 5, dim, dim]"
        planes_axis, rows, columns = (3, 1, 2) if self.channels_last else (1, 2, 3)
        if (
            array.ndim != 4
            or array.shape[planes_axis] != INPUT_PLANES
            or array.shape[rows] != array.shape[columns]
            or array.shape[0] == 0
        ):
            raise ValueError(f"positions must have shape {layout} with B >= 1, got {array.shape}")
        return array

    def _tensor(self, array: np.ndarray) -> Tensor:
        """A float32 [B, 5, dim, dim] tensor on the device; channels-last input stays in its
        memory order (a permuted view)."""
        if not array.flags.writeable:  # torch wants writable memory: convert while copying
            array = array.astype(np.float32)
        tensor = torch.from_numpy(array)
        if self.channels_last:
            tensor = tensor.permute(0, 3, 1, 2)
        tensor = tensor.to(device=self.device, dtype=self._dtype)
        if self._dtype == torch.bfloat16:  # the layout oneDNN's bf16 convolutions are fast in
            tensor = tensor.contiguous(memory_format=torch.channels_last)
        return tensor

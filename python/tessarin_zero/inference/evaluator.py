"""The network prepared for answering evaluations, and one call that answers a whole batch.

Training needs the network as built (batch norms with running statistics); evaluation does not.
A `BatchEvaluator` holds a copy for evaluation only, run one of three ways (its `path`):

- ``"onnx"`` (the default): the network, batch norms folded into its convolutions, exported
  to ONNX and run by ONNX Runtime: on the CPU several times as fast as eager PyTorch at the small
  batches the worker pipeline forms and faster at large ones, and its export costs far less
  than ``torch.compile``'s first call (docs/performance.md, "The network on the CPU"). On a
  device other than the CPU this path runs the folded network in PyTorch on that device.
- ``"fused"``: the folded network in PyTorch.
- ``"eager"``: the network as it is; the way back should a version of either library ever
  disagree with the others.

Its input is one buffer of positions, [B, 5, dim, dim] or (channels last, the module's ``rep``
2) [B, dim, dim, 5], of uint8 or float32 0/1 values (bool is read as uint8); its output,
contiguous float32 policy logits [B, dim * dim] and value logits [B, 4] as NumPy arrays. No
Python object is made per position. Every process builds its own evaluator (an ONNX Runtime
session cannot be pickled): the inference server for each of its models, and a worker that
evaluates in-process for its model copy.
"""

from __future__ import annotations

import copy
import io
import warnings
from typing import Any, Optional

import numpy as np
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


def onnx_session(model: nn.Module, threads: int) -> Any:
    """An ONNX Runtime session (CPU) running `model`, taking "planes" [B, 5, H, W] float32 and
    giving "policy" [B, H * W] and "value" [B, 4]."""
    import onnxruntime  # a dependency of the host; imported here so the other paths need not

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
    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    options.log_severity_level = 3  # errors only: its notes would land in every game's output
    # A pool thread spinning for work takes a core from the workers on a small machine.
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    return onnxruntime.InferenceSession(
        buffer.getvalue(), options, providers=["CPUExecutionProvider"]
    )


class BatchEvaluator:
    """Answers batches of positions with a copy of a network (see the module's docstring).

    `threads` are ONNX Runtime's threads (None: torch's thread count in this process, which the
    server and the workers set); the PyTorch paths use torch's own setting.
    """

    def __init__(
        self,
        model: nn.Module,
        *,
        path: str = DEFAULT_PATH,
        channels_last: bool = False,
        device: str | torch.device = "cpu",
        threads: Optional[int] = None,
    ) -> None:
        if path not in INFERENCE_PATHS:
            raise ValueError(f"unknown inference path {path!r}: expected one of {INFERENCE_PATHS}")
        self.device = torch.device(device)
        if path == "onnx" and self.device.type != "cpu":
            path = "fused"
        self.path = path
        self.channels_last = channels_last
        self._session: Any = None
        self._model: Optional[nn.Module] = None
        if path == "eager":
            self._model = copy.deepcopy(model).eval().requires_grad_(False).to(self.device)
        elif path == "fused":
            self._model = fold_batch_norms(model).to(self.device)
        else:
            threads = threads if threads is not None else torch.get_num_threads()
            self._session = onnx_session(fold_batch_norms(model).cpu(), max(1, threads))

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
        return tensor.to(device=self.device, dtype=torch.float32)

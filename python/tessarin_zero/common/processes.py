"""The start method of every process the host starts."""

from __future__ import annotations

import multiprocessing
from multiprocessing.context import BaseContext

# ONNX Runtime and the exporter too: importing them took most of each server's start.
_PRELOAD = [
    "tessarin_self_play",
    "tessarin_zero.inference.server",
    "onnxruntime",
    "onnx",
    "torch.onnx",
]


def process_context() -> BaseContext:
    """The start method of every process of the host: a fork server that has imported torch, ONNX
    Runtime and the module once. Forking the parent itself is not safe once torch has run a parallel
    operation in it (the child's thread pool hangs), and spawning imports torch every time."""
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(_PRELOAD)
    return context

"""Checkpoints: a network's weights and size in one file, with a checksum, written atomically
and loaded with torch's weights-only unpickler (a checkpoint never runs code)."""

from __future__ import annotations

import dataclasses
import json
import os
import re
import tempfile
from pathlib import Path
from typing import Any

import numpy as np
import torch
from torch import Tensor

from tessarin_zero.common.checks import SettingError, stored_settings
from tessarin_zero.common.errors import describe
from tessarin_zero.common.settings import FIRST_HEADS, NetworkSettings
from tessarin_zero.inference.network import PolicyValueNet, non_finite_weights
from tessarin_zero.storage.checksum import digest_arrays

CHECKPOINT_FORMAT = 1
CHECKSUM_KEY = "sha256"  # absent from checkpoints written before it: those load unchecked


class CheckpointError(ValueError):
    """A checkpoint that cannot be used; the message starts with the file's path."""

    def __init__(self, path: str | os.PathLike[str], problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = Path(path)


def checkpoint_digest(network: dict[str, Any], state: dict[str, Tensor]) -> str:
    """Checksum of a checkpoint's network size and weights (metadata is not covered)."""
    arrays: dict[str, Any] = {"network": np.array(json.dumps(network, sort_keys=True))}
    for name, tensor in state.items():
        arrays[f"state_dict.{name}"] = tensor.detach().cpu().contiguous().numpy()
    return digest_arrays(arrays)


def save_checkpoint(path: str | os.PathLike[str], model: PolicyValueNet, **metadata: Any) -> None:
    """Writes the weights, the network size, their checksum and `metadata` so that
    `load_checkpoint` can rebuild the network without being told its size.

    A network with non-finite weights is refused (ValueError): it has diverged. The file is
    written under a temporary name in the same folder and renamed over `path`, so a reader
    (another process promoting or loading the best network) never sees half a file. Metadata
    values must be plain Python data (numbers, strings, lists, dicts) or tensors: checkpoints are
    loaded with torch's weights-only unpickler.
    """
    target = Path(path)
    broken = non_finite_weights(model)
    if broken:
        raise ValueError(f"{target}: not saved, the network has non-finite weights in {broken[0]}")
    target.parent.mkdir(parents=True, exist_ok=True)
    network = dataclasses.asdict(model.settings)
    state = model.state_dict()
    payload = {
        "format": CHECKPOINT_FORMAT,
        "network": network,
        "state_dict": state,
        "metadata": metadata,
        CHECKSUM_KEY: checkpoint_digest(network, state),
    }
    handle, temporary = tempfile.mkstemp(
        dir=target.parent, prefix=f".{target.name}.", suffix=".tmp"
    )
    try:
        with os.fdopen(handle, "wb") as stream:
            torch.save(payload, stream)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException as error:
        Path(temporary).unlink(missing_ok=True)
        cause = _os_error_in(error)
        if cause is not None:  # torch wraps a failed write (a full disk) in its own error
            raise OSError(cause.errno, cause.strerror, str(target)) from error
        raise


def _os_error_in(error: BaseException) -> OSError | None:
    """The OSError that `error` is or was raised from (a disk full under torch's writer)."""
    seen: BaseException | None = error
    while seen is not None:
        if isinstance(seen, OSError) and seen.errno is not None:
            return seen
        seen = seen.__cause__ or seen.__context__
    return None


def load_checkpoint(path: str | os.PathLike[str]) -> tuple[PolicyValueNet, dict[str, Any]]:
    """Rebuilds the network of a checkpoint on the CPU, in evaluation mode (ready to serve;
    `train` switches modes itself), and returns it with the metadata it was saved with.

    Raises CheckpointError, naming the file and what is wrong with it, for a file that is not a
    sound checkpoint: unreadable, damaged (checksum), of another format, or with non-finite
    weights. Checkpoints written before checksums existed are loaded unchecked.
    """
    source = Path(path)
    try:
        if source.stat().st_size == 0:
            raise CheckpointError(source, "the file is empty")
        payload = torch.load(source, map_location="cpu", weights_only=True)
    except CheckpointError:
        raise
    except OSError as error:
        raise CheckpointError(source, f"cannot be read ({error.strerror or error})") from error
    except Exception as error:  # torch's, zipfile's and the unpickler's errors of a bad file
        raise CheckpointError(source, _unreadable(error)) from error
    if not isinstance(payload, dict) or not {"network", "state_dict"} <= payload.keys():
        raise CheckpointError(source, "not a checkpoint: no network size and weights")
    if payload.get("format") != CHECKPOINT_FORMAT:
        raise CheckpointError(source, f"unsupported checkpoint format {payload.get('format')!r}")
    network, state = payload["network"], payload["state_dict"]
    stored = payload.get(CHECKSUM_KEY)
    try:
        if stored is not None and stored != checkpoint_digest(network, state):
            raise CheckpointError(source, "checksum mismatch: the file is damaged")
    except CheckpointError:
        raise
    except Exception as error:
        raise CheckpointError(source, f"malformed content ({describe(error)})") from error
    if not isinstance(network, dict) or not isinstance(state, dict):
        raise CheckpointError(source, "malformed content: no network size and weights")
    try:
        # Networks saved before the canonical view and the head widths existed saw every
        # position as it stands and had the first, narrow heads.
        settings = stored_settings(NetworkSettings, network, older=FIRST_HEADS)
    except SettingError as error:
        raise CheckpointError(source, f"network size: {error}") from None
    mismatch = _shape_mismatch(settings, state)
    if mismatch:
        raise CheckpointError(source, f"the weights are not those of its network size: {mismatch}")
    try:
        model = PolicyValueNet(settings)
        model.load_state_dict(state)
    except Exception as error:
        raise CheckpointError(source, f"malformed content ({describe(error)})") from error
    broken = non_finite_weights(model)
    if broken:
        raise CheckpointError(source, f"non-finite weights in {broken[0]} (a diverged network)")
    model.eval()
    return model, dict(payload.get("metadata", {}))


def _unreadable(error: Exception) -> str:
    """Why torch could not read a checkpoint, without its advice to load the file in its unsafe
    mode: a file that holds more than weights is refused, never run."""
    text = str(error)
    if text.startswith("Weights only load failed"):
        found = re.search(r"GLOBAL (\S+)", text)
        what = f" ({found.group(1)})" if found else ""
        return (
            f"not a checkpoint: it holds Python objects{what} besides weights, which are never "
            "loaded (they could run code)"
        )
    return f"not a readable checkpoint ({describe(error)})"


def _shape_mismatch(settings: NetworkSettings, state: dict[str, Any]) -> str:
    """The first weight whose name or shape differs from a network of `settings`' size ('' if
    none), found without building that network: a forged size must not allocate gigabytes."""
    if settings.blocks > len(state):  # each block has weights of its own
        return f"{settings.blocks} blocks, but {len(state)} weights in all"
    with torch.device("meta"):
        expected = {
            name: tuple(t.shape) for name, t in PolicyValueNet(settings).state_dict().items()
        }
    for name, shape in expected.items():
        tensor = state.get(name)
        if not isinstance(tensor, Tensor):
            return f"no {name}"
        if tuple(tensor.shape) != shape:
            return f"{name} is {list(tensor.shape)}, not {list(shape)}"
    extra = sorted(set(state) - set(expected))
    return f"{extra[0]} is not one of its weights" if extra else ""


def load_or_new(path: str | os.PathLike[str] | None, settings: NetworkSettings) -> PolicyValueNet:
    """The network of the checkpoint at `path` (of its own size), or a new network of
    `settings`' size when `path` is None."""
    if path is None:
        return PolicyValueNet(settings)
    return load_checkpoint(path)[0]

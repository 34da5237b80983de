"""Content checksums of stored files (record chunks, checkpoints).

The digest covers what a file means, not how it is laid out: every named array's name, dtype,
shape and bytes, in name order. Zip containers check little or nothing of their members (a
checkpoint's tensors are stored unchecked), so a flipped byte would otherwise load as a wrong
weight or a wrong move.
"""

from __future__ import annotations

import hashlib
from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

ALGORITHM = "sha256"


def digest_arrays(arrays: Mapping[str, npt.ArrayLike]) -> str:
    """Hex SHA-256 of the arrays, independent of the order they are given in."""
    digest = hashlib.sha256()
    for name in sorted(arrays):
        array = np.ascontiguousarray(arrays[name])
        header = f"{name}\0{array.dtype.str}\0{array.shape}\0"
        digest.update(header.encode())
        digest.update(array.tobytes())
    return digest.hexdigest()

"""The inference exchange of the worker module (tessarin_self_play) under PyPy.

Under PyPy the module does one evaluation through one call of `evaluate`: it builds the request
(worker id, position as nested lists of bools), puts it on the queue, takes the reply from the
pipe and packs its two float sequences into an array whose memory the module holds. Building
the request or reading the reply element by element through PyPy's C-API emulation would leave
memory that only the garbage collector releases, which it does not count, and cost a call
between C and Python per element. Under CPython the module does the same in C and never imports
this module.

Not an interface of its own: the module calls these functions with the arguments it prepared.
"""

from __future__ import annotations

from array import array
from typing import Any, Protocol, Union

_FLAGS = (False,) + (True,) * 255
_ROW_SLICES: dict[tuple[int, int, int], list[slice]] = {}

# What `evaluate` returns: the packed lengths as one int on the usual path, or a tagged tuple of
# what the module converts itself.
Outcome = Union[int, tuple[int, Any, Any]]


class Queue(Protocol):
    def put(self, item: Any, /) -> object: ...


class Pipe(Protocol):
    def recv(self) -> Any: ...


def _row_slices(outer: int, middle: int, inner: int) -> list[slice]:
    key = (outer, middle, inner)
    slices = _ROW_SLICES.get(key)
    if slices is None:
        cells = outer * middle * inner
        slices = _ROW_SLICES[key] = [slice(k, k + inner) for k in range(0, cells, inner)]
    return slices


def _position(cells: array[int], outer: int, middle: int, inner: int) -> list[list[list[bool]]]:
    flags = list(map(_FLAGS.__getitem__, cells))
    rows = list(map(flags.__getitem__, _row_slices(outer, middle, inner)))
    return [rows[i : i + middle] for i in range(0, outer * middle, middle)]


def _floats(item: object) -> array[float] | None:
    if type(item) is list or type(item) is tuple:
        try:
            return array("f", item)
        except Exception:
            pass
    return None


def evaluate(
    queue: Queue,
    pipe: Pipe,
    worker_id: int,
    cells: array[int],
    outer: int,
    middle: int,
    inner: int,
    packed: array[float],
) -> Outcome:
    """Puts (worker_id, position) on `queue`, the position being `cells` (one byte per entry,
    non-zero for True) as nested lists of outer x middle x inner entries; takes the reply from
    `pipe.recv()` and writes its two float sequences, as 32-bit floats, into `packed`: an array
    that the module made once with a fixed size and whose memory it holds, so it is written by
    slice assignment of equal length and never resized.

    On the usual path returns the policy's length times 2**32 plus the values' length (the values
    follow the policy in `packed`). An item that is not a list or tuple that array accepts is
    handed back for the module's own conversion instead, so that what is accepted, the errors and
    their order are the same on every interpreter: (0, reply, policy) when the policy is such an
    item, (1, policy length, values) when the values are. A reply longer than `packed` comes back
    as (2, policy bytes, values bytes or the values item)."""
    queue.put((worker_id, _position(cells, outer, middle, inner)))
    reply = pipe.recv()
    policy = reply[0]
    policy_floats = _floats(policy)
    if policy_floats is None:
        return (0, reply, policy)
    size = len(policy_floats)
    values = reply[1]
    value_floats = _floats(values)
    if value_floats is None:
        if size <= len(packed):
            packed[0:size] = policy_floats
            return (1, size, values)
        return (2, policy_floats.tobytes(), values)
    end = size + len(value_floats)
    if end > len(packed):
        return (2, policy_floats.tobytes(), value_floats.tobytes())
    packed[0:size] = policy_floats
    packed[size:end] = value_floats
    return (size << 32) | len(value_floats)


def new_packed(size: int) -> array[float]:
    """The array replies are packed into: `size` 32-bit floats."""
    return array("f", bytes(4 * size))


def new_cells(size: int) -> array[int]:
    """The array a position's entries are written into: `size` bytes."""
    return array("B", bytes(size))

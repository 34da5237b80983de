"""The worker module's exchange under PyPy (tessarin_self_play_exchange), run on any interpreter:
it builds the very request the module builds in C under CPython, and hands every reply back as
the module reads it (packed floats on the usual path, the item itself where the module converts
it)."""

from __future__ import annotations

import array
import struct
from typing import Any

import pytest
import tessarin_engine as te
import tessarin_self_play_exchange as exchange

from fakes import make_host, play_against_random

DIM = 7
CELLS = DIM * DIM


@pytest.mark.parametrize("rep", [1, 2])
def test_the_request_is_the_one_the_module_puts(rep: int) -> None:
    host = make_host(rep=rep, dim=DIM)
    assert play_against_random(host, worker_id=9) == 0
    # Seat 0's first request shows the opening; the module under CPython builds it in C.
    shape = (5, DIM, DIM) if rep == 1 else (DIM, DIM, 5)
    cells = array.array("B", te.Game(DIM).state(channels_last=rep == 2))

    class Queue:
        def put(self, item: Any) -> None:
            self.item = item

    class Pipe:
        def recv(self) -> Any:
            return [0.0] * CELLS, [0.0] * 4

    queue = Queue()
    exchange.evaluate(queue, Pipe(), 9, cells, *shape, exchange.new_packed(CELLS + 4))
    assert queue.item == host.inference_queue.items[0]


def f32(values: list[float]) -> list[float]:
    """The values rounded to 32-bit floats, as the packed array holds them."""
    return list(struct.unpack(f"{len(values)}f", struct.pack(f"{len(values)}f", *values)))


def test_replies_come_back_packed_or_handed_back_for_the_module_to_convert() -> None:
    cells = exchange.new_cells(5 * CELLS)
    policy, values = [0.1 * t for t in range(CELLS)], (1.5, -2.0, 0.25, 3.0)

    def answer(reply: Any, room: int = CELLS + 4) -> tuple[Any, Any]:
        class Pipe:
            def recv(self) -> Any:
                return reply

        class Queue:
            def put(self, item: Any) -> None:
                pass

        packed = exchange.new_packed(room)
        return exchange.evaluate(Queue(), Pipe(), 1, cells, 5, DIM, DIM, packed), packed

    outcome, packed = answer((policy, values))
    assert outcome == (CELLS << 32) | 4
    assert packed.tolist() == f32(policy + list(values))

    # An item array() refuses, or one that is not a list or tuple, is handed back as it is.
    reply = (iter(policy), values)
    outcome, _ = answer(reply)
    assert outcome[0] == 0 and outcome[1] is reply and outcome[2] is reply[0]
    strings = ["x"] * 4
    outcome, packed = answer((policy, strings))
    assert outcome == (1, CELLS, strings) and packed.tolist()[:CELLS] == f32(policy)

    # A reply longer than the array comes back as bytes, for a larger array next time.
    outcome, _ = answer((policy, values), room=CELLS)
    assert outcome[0] == 2
    assert list(array.array("f", outcome[1])) == f32(policy)
    assert list(array.array("f", outcome[2])) == f32(list(values))

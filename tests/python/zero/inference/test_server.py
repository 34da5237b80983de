"""The inference server batches requests, routes every reply to its worker in request order,
and reports its failures instead of leaving workers waiting."""

from __future__ import annotations

import time

import numpy as np
import pytest

from servers import TIMEOUT_S, BrokenFactory, EchoFactory, expected_policy, make_server, recv
from tessarin_zero.common.settings import ServerSettings
from tessarin_zero.inference.server import ServerError


@pytest.mark.parametrize(
    "channels_last, max_batch, max_wait_ms", [(False, 64, 5000), (True, 2, 20)]
)
def test_replies_reach_their_worker_in_request_order(
    channels_last: bool, max_batch: int, max_wait_ms: float
) -> None:
    workers = {3: 0, 7: 1, 9: 0}  # worker id -> the model queue it uses
    server, queues, ends = make_server(
        list(workers),
        [EchoFactory(10.0), EchoFactory(20.0)],
        ServerSettings(max_batch, max_wait_ms),
        channels_last,
    )
    rng = np.random.default_rng(0)
    sent: dict[int, list[np.ndarray]] = {w: [] for w in workers}

    def send(worker: int) -> None:
        planes = rng.random((5, 4, 4)) < 0.3
        position = np.moveaxis(planes, 0, -1) if channels_last else planes
        queues[workers[worker]].put((worker, position.tolist()))
        sent[worker].append(planes)

    for _ in range(3):  # queued before the server starts: several requests per worker pending
        for worker in workers:
            send(worker)
    try:
        server.start()
        sizes = []
        for worker, model in workers.items():
            for planes in sent[worker]:
                policy, value = recv(ends[worker])
                assert policy == expected_policy(planes) and value[1] == 10.0 * (model + 1)
                sizes.append(value[0])
        assert max(sizes) == min(max_batch, len(workers))
        # One request per worker: a batch is complete at once, without waiting max_wait for more.
        started = time.monotonic()
        for worker in workers:
            send(worker)
        for worker in workers:
            assert recv(ends[worker])[0] == expected_policy(sent[worker][-1])
        assert time.monotonic() - started < 2.0
    finally:
        stats = server.stop()
    assert stats is not None and stats.requests == 12
    assert sum(size * count for size, count in stats.batch_sizes.items()) == 12


def test_failures_are_reported_and_a_gone_worker_is_skipped() -> None:
    server, _, _ = make_server([0], [BrokenFactory()], ServerSettings())
    with pytest.raises(ServerError, match="no weights here"):
        server.start()

    server, (requests,), ends = make_server([0, 1], [EchoFactory(0.0)], ServerSettings())
    position = np.zeros((5, 4, 4), dtype=bool).tolist()
    try:
        server.start()
        ends[0].close()  # worker 0 has gone: its reply cannot be delivered
        requests.put((0, position))
        requests.put((1, position))
        assert recv(ends[1])[1][1] == 0.0
        server.check()
        requests.put((5, position))
        with pytest.raises(ServerError, match="unknown worker id 5"):
            deadline = time.monotonic() + TIMEOUT_S
            while time.monotonic() < deadline:
                server.check()
                time.sleep(0.05)
    finally:
        server.stop(timeout_s=2.0)
    assert server.pid is not None and not _alive(server.pid)


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(") ")[1][0] != "Z"
    except FileNotFoundError:
        return False

"""Time of a network's move on the web page: the server's answer to the page's request that
plays the engine's seats, over HTTP on loopback, beside the same turns played in-process.

    PYTHONPATH=python .venv/bin/python bench/web_bench.py [--checkpoint NET.pt] [--side 20]
        [--sims 0 64] [--turns 10] [--repeats 3]

A game seats a network in seat 0 and people in seats 1 to 3, whom the benchmark plays (the
lowest legal cell). Each network turn is one request (POST .../advance), which lays a whole
piece, one search or evaluation per square. For each simulation count it plays `--turns`
network turns through the real server (uvicorn, a thread of this process) and then the same
game through the session alone (same seed, same people's cells: the same positions), both
`--repeats` times, alternating, and prints the medians per turn and per square. Without a checkpoint a fresh network of the
default size plays (seeded): the time depends on its size, not its weights.
"""

from __future__ import annotations

import argparse
import http.client
import json
import statistics
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable, Optional

import torch
import uvicorn

from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.inference.checkpoints import save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.web.app import PageSettings, create_app
from tessarin_zero.web.networks import Networks, catalogue
from tessarin_zero.web.server import bind
from tessarin_zero.web.sessions import GameSession, setup_from

PERSON = {"kind": "person"}


def seats_body(name: str) -> list[dict[str, Any]]:
    return [{"kind": "network", "network": name}, PERSON, PERSON, PERSON]


class Client:
    """JSON requests to the page's server on one kept connection."""

    def __init__(self, port: int) -> None:
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=600)

    def post(self, path: str, body: Optional[Any] = None) -> Any:
        self.connection.request(
            "POST", path, json.dumps(body), {"Content-Type": "application/json"}
        )
        answer = self.connection.getresponse()
        data = json.loads(answer.read())
        if answer.status >= 400:
            raise RuntimeError(f"{path}: {answer.status} {data}")
        return data


def network_turns(
    advance: Callable[[], Any], play: Callable[[int], Any], first: Any, turns: int
) -> list[tuple[float, int]]:
    """(seconds, squares laid) of `turns` network turns; the people lay the lowest legal cell
    between them."""
    timings: list[tuple[float, int]] = []
    view = first
    while len(timings) < turns and view["waiting"] != "over":
        laid = len(view["history"])
        started = time.perf_counter()
        view = advance()
        timings.append((time.perf_counter() - started, len(view["history"]) - laid))
        while view["waiting"] == "person":
            view = play(view["legal"][0])
    return timings


def over_http(port: int, name: str, side: int, sims: int, turns: int) -> list[tuple[float, int]]:
    client = Client(port)
    body = {"side": side, "seats": seats_body(name), "simulations": sims, "seed": 1}
    view = client.post("/api/games", body)
    game = f"/api/games/{view['id']}"
    return network_turns(
        lambda: client.post(f"{game}/advance"),
        lambda cell: client.post(f"{game}/play", {"cell": cell}),
        view,
        turns,
    )


def in_process(
    networks: Networks, name: str, side: int, sims: int, turns: int
) -> list[tuple[float, int]]:
    body = {"side": side, "seats": seats_body(name), "simulations": sims, "seed": 1}
    session = GameSession.start(setup_from(body, networks), networks)

    def advance() -> Any:
        session.advance()
        return session.view()

    def play(cell: int) -> Any:
        session.play(cell)
        return session.view()

    return network_turns(advance, play, session.view(), turns)


def summary(label: str, timings: list[tuple[float, int]]) -> str:
    per_turn = statistics.median(seconds for seconds, _ in timings)
    per_square = statistics.median(seconds / squares for seconds, squares in timings if squares)
    return (
        f"  {label:<22} median {per_turn * 1000:8.1f} ms per turn, {per_square * 1000:7.1f} ms "
        f"per square ({len(timings)} turns, {sum(s for _, s in timings)} squares)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--checkpoint", type=Path, default=None)
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--sims", type=int, nargs="+", default=[0, 64])
    parser.add_argument("--turns", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--inference", default="onnx")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = args.checkpoint
        if path is None:
            torch.manual_seed(0)
            path = Path(folder) / "network.pt"
            save_checkpoint(path, PolicyValueNet(NetworkSettings()))
        networks = Networks(catalogue([path]), args.inference)
        name = next(iter(networks.checkpoints))
        networks.evaluator(name)  # loaded (and exported) before any timing
        listener = bind("127.0.0.1", 0)
        server = uvicorn.Server(
            uvicorn.Config(create_app(PageSettings(networks)), log_level="warning")
        )
        thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
        thread.start()
        while not server.started:
            time.sleep(0.01)
        port = listener.getsockname()[1]
        print(f"A network's turn on {args.side} x {args.side} ({args.inference}, {name}):")
        for sims in args.sims:
            served: list[tuple[float, int]] = []
            alone: list[tuple[float, int]] = []
            for _ in range(args.repeats):  # alternating, so that a busy moment hits both
                served += over_http(port, name, args.side, sims, args.turns)
                alone += in_process(networks, name, args.side, sims, args.turns)
            print("raw policy:" if sims == 0 else f"{sims} simulations:")
            print(summary("server (HTTP request)", served))
            print(summary("session in-process", alone))
        server.should_exit = True
        thread.join()
        listener.close()


if __name__ == "__main__":
    main()

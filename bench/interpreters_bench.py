"""The module's evaluation cost and memory under CPython and PyPy, measured in one run.

Runs bench/module_bench.py under each interpreter in turn, `--repeats` times (alternating, so
both see the same machine), and prints one Markdown table of medians with PyPy's cost as a
multiple of CPython's (target: at most 2.5). The worker-side row adds what a real queue and pipe
cost a worker (pickling the request, unpickling the reply): it says whether workers under PyPy,
beside an inference server under CPython, could gain anything. The many-games memory probe (20 games at board side
20, 100 simulations per action, no explicit collection) runs in every repetition too.

Usage: python bench/interpreters_bench.py [--cpython .venv/bin/python]
       [--pypy .venv-pypy/bin/python] [--repeats 3] [--games 20]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent / "module_bench.py"
TARGET_RATIO = 2.5
GAMES_LIMIT_MB = 64


def measure(python: str, games: int) -> dict[str, Any]:
    command = [python, str(BENCH), "--quick", "--json", "--games-memory", str(games)]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    figures: dict[str, Any] = json.loads(output.strip().splitlines()[-1])
    return figures


def median(runs: list[dict[str, Any]], key: str) -> float:
    return statistics.median(float(run[key]) for run in runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpython", default=".venv/bin/python")
    parser.add_argument("--pypy", default=".venv-pypy/bin/python")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--games", type=int, default=20)
    args = parser.parse_args()

    runs: dict[str, list[dict[str, Any]]] = {"cpython": [], "pypy": []}
    for _ in range(args.repeats):
        for name, python in (("cpython", args.cpython), ("pypy", args.pypy)):
            runs[name].append(measure(python, args.games))

    cpy, pypy = runs["cpython"], runs["pypy"]
    eval_ratio = median(pypy, "evaluation_us") / median(cpy, "evaluation_us")
    train_ratio = median(pypy, "training_us") / median(cpy, "training_us")
    print(f"medians of {args.repeats} alternating runs, board side 20")
    print("| figure | CPython | PyPy | PyPy / CPython | target |")
    print("|---|---|---|---|---|")
    print(
        f"| one evaluation (test game, fake host) | {median(cpy, 'evaluation_us'):.1f} µs "
        f"| {median(pypy, 'evaluation_us'):.1f} µs | {eval_ratio:.2f} | ≤ {TARGET_RATIO} |"
    )
    print(
        f"| training game, 64 sims/action, per evaluation | {median(cpy, 'training_us'):.1f} µs "
        f"| {median(pypy, 'training_us'):.1f} µs | {train_ratio:.2f} | ≤ {TARGET_RATIO} |"
    )
    worker = {
        name: median(rs, "evaluation_us")
        + median(rs, "pickle_request_us")
        + median(rs, "unpickle_reply_us")
        for name, rs in runs.items()
    }
    print(
        f"| worker side of one evaluation with real queues (evaluation + request pickled + reply "
        f"unpickled) | {worker['cpython']:.1f} µs | {worker['pypy']:.1f} µs "
        f"| {worker['pypy'] / worker['cpython']:.2f} | |"
    )
    print(
        f"| {args.games} training games, 100 sims/action: RSS growth | "
        f"{median(cpy, 'games_memory_mb'):.1f} MB | {median(pypy, 'games_memory_mb'):.1f} MB "
        f"| | < {GAMES_LIMIT_MB} MB |"
    )
    print(
        f"| one game, 800 sims/action: peak RSS growth | {median(cpy, 'game_800_peak_mb'):.1f} MB "
        f"| {median(pypy, 'game_800_peak_mb'):.1f} MB | | ≤ 64 MB |"
    )


if __name__ == "__main__":
    main()

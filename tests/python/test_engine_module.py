"""tessarin_engine.Game: invalid input raises ValueError (or the host's conversion errors) and
an allocation failure raises MemoryError; no C++ failure ends the process."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from typing import Any

import pytest
import tessarin_engine

from fakes import opening_tiles


@pytest.mark.parametrize(
    "dim, error, text",
    [
        (3, ValueError, "Invalid board side 3: the pieces need a side of at least 4"),
        (46341, ValueError, "Invalid board side 46341: the largest side is 46340"),
        (2**64 - 1, ValueError, "Invalid board side 18446744073709551615"),
        (2**64, OverflowError, ""),
        (-1, OverflowError, ""),
        (7.0, TypeError, ""),
        ("7", TypeError, ""),
    ],
)
def test_invalid_board_side_raises(dim: Any, error: type[BaseException], text: str) -> None:
    with pytest.raises(error) as raised:
        tessarin_engine.Game(dim)
    assert str(raised.value).startswith(text)


def test_the_engine_stop_is_a_runtime_error_of_the_module() -> None:
    # A host's handler of a batch's RuntimeError sees a stop inside the engine too.
    assert tessarin_engine.EngineStop.__bases__ == (RuntimeError,)
    assert tessarin_engine.EngineStop.__module__ == "tessarin_engine"


def test_rejected_tile_raises_value_error_and_changes_nothing() -> None:
    game = tessarin_engine.Game(7)
    illegal = min(set(range(49)) - opening_tiles(0, 7))
    for tile, text in [(illegal, f"Invalid move - Player 0, Tile {illegal}"), (49, "Tile 49 ")]:
        with pytest.raises(ValueError, match=f"^{text}"):
            game.apply(tile)
    with pytest.raises(OverflowError):
        game.apply(-1)
    assert game.history == [] and game.current_player == 0
    assert set(game.legal_tiles()) == opening_tiles(0, 7)
    game.apply(0)
    assert game.history == [(0, 0)]


# Runs in a child process whose address space is capped just above what it uses, so that the
# next large allocation fails: a C++ std::bad_alloc escaping a method would abort the child.
ALLOCATION_FAILURES = textwrap.dedent("""
    import resource
    import tessarin_engine

    game = tessarin_engine.Game(4000)  # render() needs 64 MB, a game of side 46340 gigabytes
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + 32 * 2**20, resource.RLIM_INFINITY))
    for name, call in [
        ("render", game.render),
        ("new", lambda: tessarin_engine.Game(46340)),
        ("state", game.state),
    ]:
        try:
            call()
            print(name, "allocated")
        except MemoryError:
            print(name, "MemoryError")
    # The game is still usable after the failures.
    print("legal", len(game.legal_tiles()))
    """)


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address sanitizer reserves terabytes of shadow memory and reports, rather than "
    "fails, an allocation beyond a capped address space",
)
@pytest.mark.skipif(
    sys.implementation.name == "pypy",
    reason="under a capped address space PyPy's own collector runs out first and reports the "
    "MemoryError as a SystemError; the guard itself is the same C++ on every interpreter",
)
def test_allocation_failures_raise_memory_error() -> None:
    child = subprocess.run(
        [sys.executable, "-c", ALLOCATION_FAILURES], capture_output=True, text=True, timeout=60
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n") == [
        "render MemoryError",
        "new MemoryError",
        "state MemoryError",
        "legal 15",
        "",
    ]

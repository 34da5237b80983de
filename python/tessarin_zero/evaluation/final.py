"""The figures a loop ends with: its last network measured with rotated seats over more games
than an iteration's arena plays, beside the heuristic's own score against random players from
the same run (the line to beat), and optionally the network with search.

They are printed and written to the run folder's ``final.json``.
"""

from __future__ import annotations

import dataclasses
import json
from dataclasses import dataclass
from pathlib import Path

from torch import nn

from tessarin_zero.evaluation.arena import run_arena
from tessarin_zero.common.settings import GameSettings
from tessarin_zero.evaluation.stats import Score


@dataclass(frozen=True)
class FinalFigures:
    """Rotated-seat mean payoffs of the last network, each with its 95% interval."""

    iteration: int
    dim: int
    vs_random: Score
    vs_heuristic: Score
    heuristic_vs_random: Score
    search_sims: int = 0
    search_vs_random: Score = dataclasses.field(default_factory=Score.none)
    search_vs_heuristic: Score = dataclasses.field(default_factory=Score.none)

    def lines(self) -> list[str]:
        rows = [
            ("network vs 3 random", self.vs_random),
            ("network vs 3 heuristic", self.vs_heuristic),
            ("heuristic vs 3 random (the line to beat)", self.heuristic_vs_random),
        ]
        if self.search_sims > 0:
            label = f"network + {self.search_sims} sims"
            rows.append((f"{label} vs 3 random", self.search_vs_random))
            rows.append((f"{label} vs 3 heuristic", self.search_vs_heuristic))
        width = max(len(label) for label, _ in rows)
        lines = [
            f"Final figures: the network of iteration {self.iteration} on {self.dim} x {self.dim},"
            " its raw policy unless search is named; rotated seats (0.25 is parity), 95% intervals"
        ]
        lines += [f"  {label:<{width}}  {score}" for label, score in rows]
        lines.append("  " + self.verdict())
        return lines

    def verdict(self) -> str:
        network, line = self.vs_random, self.heuristic_vs_random
        if network.low > line.high:
            return "The raw policy beats the heuristic's score against random players."
        if network.high < line.low:
            return "The raw policy scores below the heuristic's score against random players."
        relation = "above" if network.mean > line.mean else "at or below"
        return (
            f"The raw policy scores {relation} the heuristic's score against random players; "
            "the intervals overlap."
        )

    def save(self, run_dir: Path) -> Path:
        figures = {
            name: (None if isinstance(value, Score) and value.games == 0 else value)
            for name, value in vars(self).items()
        }
        path = run_dir / "final.json"
        path.write_text(json.dumps(figures, default=dataclasses.asdict, indent=1) + "\n")
        return path


def final_figures(
    model: nn.Module,
    iteration: int,
    game: GameSettings,
    *,
    inference: str,
    games: int,
    search_sims: int,
    games_with_search: int,
) -> FinalFigures:
    """Plays `games` rotated games of `model`'s raw policy against three random players and
    against three heuristic players, as many of the heuristic against random players, and, with
    `search_sims`, `games_with_search` games of each match with that much search per tile."""
    result = run_arena(
        model,
        None,
        game,
        inference=inference,
        games_vs_random=games,
        games_vs_best=0,
        threshold=1.0,
        search_sims=search_sims,
        games_with_search=games_with_search,
    )
    return FinalFigures(
        iteration=iteration,
        dim=game.dim,
        vs_random=result.vs_random,
        vs_heuristic=result.vs_heuristic,
        heuristic_vs_random=result.heuristic_vs_random,
        search_sims=search_sims,
        search_vs_random=result.search_vs_random,
        search_vs_heuristic=result.search_vs_heuristic,
    )

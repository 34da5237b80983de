"""The rating after each iteration of a loop: its new network, the networks of the iterations
just before it, the heuristic and the random player, rated together (``evaluation.rating``).

Every iteration rates its players afresh from its own games rather than carrying earlier
ratings over: each row's rating is then one measurement on the same scale (random = 0, the
heuristic beside it), with nothing that depends on how many iterations came before or on a
resume, and its sigma says what its own games support. The earlier networks' evaluators are
kept from one iteration to the next, so each network is prepared for inference (exported) once;
a resumed loop prepares the ones it lacks from their checkpoints.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from tessarin_zero.common.settings import GameSettings
from tessarin_zero.evaluation.matches import (
    HEURISTIC,
    RANDOM,
    Contestant,
    Evaluate,
    MatchSettings,
)
from tessarin_zero.evaluation.rating import RatingResult, derived_seed, rate
from tessarin_zero.inference.checkpoints import load_checkpoint
from tessarin_zero.inference.evaluator import BatchEvaluator

EARLIER_NETWORKS = 2
"""Networks of the iterations before the new one that are rated with it."""


def network_name(iteration: int) -> str:
    return f"iteration-{iteration:03d}"


@dataclass
class RatedNetworks:
    """The evaluators of the networks rated recently, by iteration, and where the loop's
    checkpoints are for those it lacks."""

    checkpoints: Path
    inference: str
    dim: int
    evaluators: dict[int, Evaluate] = field(default_factory=dict)

    def evaluator(self, iteration: int) -> Evaluate:
        if iteration not in self.evaluators:
            model, _ = load_checkpoint(self.checkpoints / f"{network_name(iteration)}.pt")
            self.evaluators[iteration] = BatchEvaluator(model, path=self.inference, dim=self.dim)
        return self.evaluators[iteration]


def rate_iteration(
    networks: RatedNetworks,
    iteration: int,
    candidate: Evaluate,
    game: GameSettings,
    games: int,
    seed: int,
) -> RatingResult:
    """Rates the network of `iteration` (answering with `candidate`) with those of the
    EARLIER_NETWORKS iterations before it (iteration 0 is the starting network), the heuristic
    and the random player over about `games` games of raw policies, the first
    ``game.sample_moves`` tiles drawn from them so that games between networks differ.
    Evaluators no longer needed are dropped. The games' seed is drawn from the loop's `seed`
    and the iteration, so a loop rates the same networks alike however often it resumes."""
    networks.evaluators[iteration] = candidate
    earlier = range(max(0, iteration - EARLIER_NETWORKS), iteration)
    for old in [known for known in networks.evaluators if known < earlier.start]:
        del networks.evaluators[old]
    contestants = [
        Contestant(network_name(number), networks.evaluator(number))
        for number in [iteration, *reversed(earlier)]
    ]
    settings = MatchSettings(
        game.dim,
        sample_moves=game.sample_moves,
        c_base=game.c_base,
        c_init=game.c_init,
        seed=derived_seed(seed, iteration),
    )
    return rate([*contestants, HEURISTIC, RANDOM], settings, games, label="rating")

"""A network factory that makes the local batched workers count their evaluations.

The local pool's CPU workers evaluate in-process and report no evaluation count. This factory
carries a shared counter; when a worker unpickles it (before it builds its evaluator), it swaps
the worker's evaluator type for one that adds each step's rows to the counter. For benchmarks
only: the counter is a `multiprocessing.Value`, which travels only to processes being started.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from tessarin_zero.selfplay import workers
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.network import NetworkFactory


@dataclass(frozen=True)
class CountedNetwork(NetworkFactory):
    counter: Any = None

    def __reduce__(self) -> Any:
        return (_rebuilt, (self.settings, self.weights, self.counter))


def _rebuilt(settings: Any, weights: bytes, counter: Any) -> CountedNetwork:
    class Counted(BatchEvaluator):
        def __call__(self, positions: Any) -> tuple[np.ndarray, np.ndarray]:
            policy, value = super().__call__(positions)
            with counter.get_lock():
                counter.value += len(policy)
            return policy, value

    setattr(workers, "BatchEvaluator", Counted)  # the name the worker looks up
    return CountedNetwork(settings, weights, counter)

"""How closely the low-precision inference paths answer like float32, on a trained network.

For each board side, positions are taken from a run's record chunks (`--records`, the states
the network was trained on) or, for the other sides, from engine games of heuristic players
against random ones drawn with another seed than the int8 path's calibration games. Each low-
precision path (`int8`, `bf16`) answers them beside float32 ONNX Runtime; printed per path and
side: the share of positions whose best legal tile is the same, the largest and the mean
absolute error of a legal tile's prior, and the largest error of a player's value share.

Usage: PYTHONPATH=python python bench/precision_agreement.py --checkpoint NET.pt
       [--records 'runs/x/records/chunk-*.npz'] [--dims 5 7 20] [--positions 400]
"""

from __future__ import annotations

import argparse
import glob

import numpy as np

from tessarin_zero.inference.checkpoints import load_checkpoint
from tessarin_zero.inference.evaluator import BatchEvaluator, calibration_planes
from tessarin_zero.training.tensors import load_training_tensors

LOW_PRECISION = ("int8", "bf16")


def softmax(logits: np.ndarray, mask: np.ndarray | None = None) -> np.ndarray:
    if mask is not None:
        logits = np.where(mask, logits, -np.inf)
    shifted = np.exp(logits - logits.max(axis=1, keepdims=True))
    result: np.ndarray = shifted / shifted.sum(axis=1, keepdims=True)
    return result


def positions_at(dim: int, count: int, records: list[str]) -> tuple[np.ndarray, str]:
    """[N, 5, dim, dim] float32 planes and where they came from."""
    try:
        tensors = load_training_tensors(records, augment=False, dim=dim, on_refused=lambda _: None)
        every = max(1, len(tensors) // count)
        return tensors.states.numpy()[::every][:count], "the run's record chunks"
    except ValueError:  # no chunk of this side
        pass
    return calibration_planes(dim, positions=count, seed=7), "engine games (seed 7)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--checkpoint", required=True, help="a trained network")
    parser.add_argument("--records", default="", help="glob of record chunks of the network's side")
    parser.add_argument("--dims", type=int, nargs="+", default=[5, 7, 20])
    parser.add_argument("--positions", type=int, default=400, help="positions per side")
    args = parser.parse_args()

    model, _ = load_checkpoint(args.checkpoint)
    records = sorted(glob.glob(args.records)) if args.records else []
    print(f"network {args.checkpoint}")
    for dim in args.dims:
        planes, source = positions_at(dim, args.positions, records)
        legal = planes[:, 4].reshape(len(planes), -1) > 0
        policy, value = BatchEvaluator(model, path="onnx", dim=dim)(planes)
        expected, expected_value = softmax(policy, legal), softmax(value)
        for path in LOW_PRECISION:
            low_policy, low_value = BatchEvaluator(model, path=path, dim=dim)(planes)
            priors, values = softmax(low_policy, legal), softmax(low_value)
            error = np.abs(priors - expected)[legal]
            print(
                f"side {dim:>2} {path:>4}: {len(planes)} positions from {source}; best tile the "
                f"same {np.mean(priors.argmax(1) == expected.argmax(1)):.3f}, prior error largest "
                f"{error.max():.4f} mean {error.mean():.5f}, value error largest "
                f"{np.abs(values - expected_value).max():.4f}",
                flush=True,
            )


if __name__ == "__main__":
    main()

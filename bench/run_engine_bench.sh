#!/usr/bin/env bash
# Builds the release engine benchmark and runs it: 9 repetitions of every benchmark in random
# order, medians kept. Writes the JSON to bench/results/engine_bench-<time>.json and prints the
# table of medians (engine against the straightforward version, with the targets).
#
# Usage: bench/run_engine_bench.sh [extra engine_bench flags, e.g. --benchmark_filter=TileMoves]
# Environment: BUILD_DIR (default build-bench), JOBS (default 2), REPETITIONS (default 9).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/bench}"
results="$root/bench/results"

bash "$root/scripts/install_deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSARIN_BUILD_TESTS=OFF \
  -DTESSARIN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target engine_bench search_bench -j "${JOBS:-2}"

mkdir -p "$results"
out="$results/engine_bench-$(date +%Y%m%d-%H%M%S).json"
"$build/bench/engine_bench" \
  --benchmark_repetitions="${REPETITIONS:-9}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$out" \
  --benchmark_out_format=json \
  "$@"

echo
echo "Results: $out"
echo
python3 "$root/bench/summarize.py" "$out"

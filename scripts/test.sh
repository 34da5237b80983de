#!/usr/bin/env bash
# Runs every check: formatting (C++ and Python), strict typing (mypy) of the training host and
# the benchmarks, the host's import layers (import-linter), a release build with warnings as errors
# and its tests (with a build of the benchmarks so they cannot rot) and the fixed-seed signature
# compared with bench/signature.txt, the same C++ tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails), a one-minute run of the engine fuzzer (clang,
# libFuzzer), then the Python package built into a virtual environment and its pytest suite, the
# module's pytest suite against a sanitized build, and the module's pytest suite again under PyPy.
# Every ctest test has a time limit.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
mapfile -t cxx_files < <(git ls-files '*.cpp' '*.h')

echo "== clang-format"
clang-format --dry-run --Werror "${cxx_files[@]}"

echo "== release build and tests"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTESSARIN_WERROR=ON \
  -DTESSARIN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure --timeout 600

echo "== signature (fixed-seed counts of the engine and the search)"
if ! build/release/bench/signature | diff -u bench/signature.txt -; then
  echo "The signature changed: behaviour changed. If that is meant, commit the new output of"
  echo "build/release/bench/signature as bench/signature.txt."
  exit 1
fi

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIN_WERROR=ON \
  -DTESSARIN_SANITIZE=address,undefined >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure --timeout 900

echo "== engine fuzzer (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, 60 s)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARIN_WERROR=ON -DTESSARIN_BUILD_TESTS=OFF -DTESSARIN_BUILD_FUZZER=ON \
  -DTESSARIN_SANITIZE=address,undefined >/dev/null
cmake --build build/fuzz --target engine_fuzzer -j "$jobs"
mkdir -p build/fuzz/corpus build/fuzz/crashes
# New inputs go to build/fuzz/corpus; the committed seeds are read. A crash input is written to
# build/fuzz/crashes/: keep it in tests/fuzz/regressions/, where ctest replays it.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/fuzz/tests/fuzz/engine_fuzzer -max_total_time=60 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/crashes/ build/fuzz/corpus tests/fuzz/corpus

# The ray extra lets the Ray backend's tests run on a local instance (they skip without it).
echo "== Python package (virtual environment .venv) and pytest"
[[ -x .venv/bin/python ]] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pytest>=7" hypothesis "black==26.*" \
  "mypy==2.*" "import-linter==2.*" "selenium==4.51.0" "httpx2==2.16.2"
# black's style changes with its yearly release, so the version is pinned to this year's.
echo "== black (Python formatting)"
.venv/bin/python -m black --check -q python bench tests/python scripts
.venv/bin/python -m pip install -q --no-build-isolation -Ccmake.define.TESSARIN_WERROR=ON ".[zero,ray]"
echo "== mypy (strict) on the training host, the module's PyPy exchange and the benchmarks"
.venv/bin/python -m mypy python/tessarin_zero python/tessarin_self_play_exchange.py bench
echo "== the training host's layers (import-linter contracts in pyproject.toml)"
PYTHONPATH=python .venv/bin/lint-imports --no-cache
# The web page's tests drive Debian's headless Chromium (installed above); here a missing browser
# fails them instead of skipping them.
TESSARIN_BROWSER_TESTS=required .venv/bin/python -m pytest tests/python -q

echo "== Python module built with AddressSanitizer and UndefinedBehaviorSanitizer (.venv-asan)"
# The module's pytest suite (the training host's, which needs PyTorch, is left out) against a
# sanitized build in its own virtual environment and build folder. The interpreter is not
# instrumented, so the sanitizer runtimes are preloaded ahead of it; PYTHONMALLOC=malloc lets
# AddressSanitizer see the host objects' memory too. CPython keeps memory until it exits, so leak
# detection is off (the reference-count tests cover leaks); the resident-memory tests, which would
# measure the sanitizer's quarantine rather than the module, skip themselves. pytest captures
# standard error, so reports go to files: any report fails the run.
[[ -x .venv-asan/bin/python ]] || python3 -m venv .venv-asan
.venv-asan/bin/python -m pip install -q --upgrade pip
.venv-asan/bin/python -m pip install -q "scikit-build-core>=0.10" "pytest>=7" hypothesis
.venv-asan/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/python-sanitize \
  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.TESSARIN_WERROR=ON \
  -Ccmake.define.TESSARIN_SANITIZE=address,undefined .
sanitizer_logs=$(mktemp -d)
sanitized_status=0
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$sanitizer_logs/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$sanitizer_logs/ubsan" \
  PYTHONMALLOC=malloc timeout 600 .venv-asan/bin/python -m pytest tests/python -q -p no:cacheprovider \
  --ignore=tests/python/zero || sanitized_status=$?
if compgen -G "$sanitizer_logs/*" >/dev/null; then
  cat "$sanitizer_logs"/*
  sanitized_status=1
fi
rm -rf "$sanitizer_logs"
if ((sanitized_status != 0)); then exit "$sanitized_status"; fi

# PyPy is the module's shipped target. The training host's tests (tests/python/zero) need
# PyTorch, which has no PyPy build: they run under CPython only, above.
echo "== the module under PyPy (virtual environment .venv-pypy) and its pytest suite"
[[ -x .venv-pypy/bin/python ]] || pypy3 -m venv .venv-pypy
.venv-pypy/bin/python -m pip install -q --upgrade pip
.venv-pypy/bin/python -m pip install -q "scikit-build-core>=0.10" "pytest>=7" hypothesis
.venv-pypy/bin/python -m pip install -q --no-build-isolation -Ccmake.define.TESSARIN_WERROR=ON .
.venv-pypy/bin/python -m pytest tests/python -q -p no:cacheprovider --ignore=tests/python/zero

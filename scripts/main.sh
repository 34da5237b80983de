#!/usr/bin/env bash
# The main job on a fresh machine: builds the package with the training host into .venv and
# runs a short self-play -> train -> arena loop on the CPU with the defaults (a 7 x 7 board and a
# small network), printing the network's rotated-seat scores after every iteration.
# Extra arguments go to `python -m tessarin_zero loop` (see --help, which installs nothing).
set -euo pipefail
cd "$(dirname "$0")/.."

for arg in "$@"; do
  if [[ $arg == -h || $arg == --help ]]; then
    # The command line needs only the standard library, so help comes before any install.
    python=python3
    [[ -x .venv/bin/python ]] && python=.venv/bin/python
    echo "bash scripts/main.sh [flags]: installs what is missing, then runs this loop with the flags:"
    PYTHONPATH=python exec "$python" -m tessarin_zero loop --help
  fi
done

bash scripts/install_deps.sh
[[ -x .venv/bin/python ]] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10"
.venv/bin/python -m pip install -q --no-build-isolation ".[zero]"
exec .venv/bin/python -m tessarin_zero loop "$@"

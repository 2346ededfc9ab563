#!/usr/bin/env bash
# Builds the module, installs it into fresh virtual environments and runs the
# test suite under NumPy 2.x with the newest oneTBB and under NumPy 1.26 with
# the oldest one supported, then checks the wheel (scripts/check_wheel.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# The reference models' results, computed by the first run that needs them and read by the rest
# (tests/reference_cache.py).
export VORN_REFERENCE_CACHE="${VORN_REFERENCE_CACHE:-$root/build/reference-cache}"
export VORN_REBUILD=1
source "$root/scripts/setup_env.sh" .venv "numpy>=2" pytest hypothesis matplotlib mypy \
  "dask[distributed]>=2023.1" "tqdm>=4.60"
unset VORN_REBUILD
cd "$root"
echo "== tests under NumPy $(.venv/bin/python -c 'import numpy; print(numpy.__version__)'), $(.venv/bin/python -m pip list 2>/dev/null | grep -w '^tbb')"
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"

source "$root/scripts/setup_env.sh" .venv-numpy1 "numpy==1.26.*" "tbb==2021.8.0" pytest \
  hypothesis matplotlib mypy "dask[distributed]>=2023.1" "tqdm>=4.60"
cd "$root"
echo "== tests under NumPy $(.venv-numpy1/bin/python -c 'import numpy; print(numpy.__version__)'), $(.venv-numpy1/bin/python -m pip list 2>/dev/null | grep -w '^tbb')"
# The harnesses of test_native_paths.py are plain C++ programs that neither NumPy nor oneTBB
# reaches; they ran in the round above.
.venv-numpy1/bin/python -m pytest -q -p no:cacheprovider tests --ignore=tests/test_native_paths.py "$@"

echo "== the wheel as a user gets it"
bash "$root/scripts/check_wheel.sh"

#!/usr/bin/env bash
# Checks the built wheel in dist/ the way a user meets it: abi3audit --strict
# on the wheel, then an install into fresh virtual environments holding only
# its run-time dependencies (NumPy 2.x, then NumPy 1.26) and a call of each
# function there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
wheel="$(ls "$root"/dist/vorn_ext-*.whl)"
case "$wheel" in
  *-cp310-abi3-*.whl) ;;
  *) echo "check_wheel.sh: $wheel is not a cp310-abi3 wheel" >&2; exit 1 ;;
esac
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

python3 -m venv "$scratch/audit"
"$scratch/audit/bin/python" -m pip install -q abi3audit
echo "== abi3audit --strict $(basename "$wheel")"
"$scratch/audit/bin/abi3audit" --strict --report "$wheel"

for numpy in "numpy>=2" "numpy==1.26.*"; do
  python3 -m venv "$scratch/user"
  "$scratch/user/bin/python" -m pip install -q "$wheel" "$numpy"
  echo "== fresh install with $("$scratch/user/bin/python" -m pip freeze | tr '\n' ' ')"
  (cd "$scratch" && "$scratch/user/bin/python" - <<'PY'
import numpy as np
import _vorn_ext as v
x = np.concatenate([np.zeros(50), np.full(50, 8.0)]) + np.tile([0.5, -0.5], 50)
mask = np.ones(x.size, dtype=bool)
assert v.pelt(list(x), 1.0, 5) == [50], v.pelt(list(x), 1.0, 5)
assert v.local_baseline_percentile(x, mask, 11, 50.0).shape == x.shape
assert v.local_baseline_percentile_f32(x.astype(np.float32), mask, 11, 50.0).dtype == np.float32
print("imports and computes:", v.__file__)
PY
  )
  rm -rf "$scratch/user"
done

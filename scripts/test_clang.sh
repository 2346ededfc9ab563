#!/usr/bin/env bash
# Builds the module with Clang (Debian's clang) under the project's flags, with
# every warning an error, installs it into .venv-clang and runs the test suite
# there; the native-variant harnesses are built with Clang too. The results
# must equal the GCC build's to the bit (tests/test_digest.py).
# Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# The reference models' results, computed by the first run that needs them and read by the rest
# (tests/reference_cache.py).
export VORN_REFERENCE_CACHE="${VORN_REFERENCE_CACHE:-$root/build/reference-cache}"
venv="$root/.venv-clang"
wheels="$root/build/clang-wheel"

if ! command -v clang++ >/dev/null; then
  echo "== installing clang"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang >/dev/null
fi
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
echo "== building with $(clang++ --version | head -1)"
rm -rf "$wheels"
# A build directory of its own: CMake keeps the compiler it first found. The
# module stays unstripped, so that its .comment section names the compiler.
CXX=clang++ "$venv/bin/python" -m pip wheel -q --no-deps -w "$wheels" \
  -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON -C install.strip=false \
  -C build-dir="$root/build/clang" \
  "$root"
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheels"/vorn_ext-*.whl
"$venv/bin/python" -m pip install -q "$wheels"/vorn_ext-*.whl "numpy>=2" pytest hypothesis \
  matplotlib mypy

module="$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("_vorn_ext").origin)')"
if ! readelf -p .comment "$module" | grep -q clang; then
  echo "test_clang.sh: $module was not built by Clang" >&2
  exit 1
fi

cd "$root"
echo "== tests of the Clang build"
VORN_NATIVE_CXX=clang++ "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"

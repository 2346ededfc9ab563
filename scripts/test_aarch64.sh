#!/usr/bin/env bash
# Cross-builds the module for 64-bit ARM Linux and runs the test suite there,
# under user-mode emulation (qemu-aarch64), with Debian's arm64 CPython 3.11
# and oneTBB unpacked into a sysroot and NumPy's aarch64 wheel from the index.
# Prints pytest's summary line; exits non-zero on any failure.
#
# Deselected under emulation:
# - marker `emulation_slow`: cases that build the whole pipeline per variant,
#   or start many processes and threads; emulated they take ten to fifty times
#   longer. The same code paths run in the smaller cases, and
#   tests/test_digest.py checks that the results equal the x86-64 ones to the
#   bit.
# The long signals of the path tests do run: their reference results come
# from the cache the host's runs filled (VORN_REFERENCE_CACHE, see
# tests/reference_cache.py), so only the module runs emulated. Run alone, this
# script computes them emulated the first time, which takes far longer.
# - marker `emulation_faulty`: qemu-user adds a thread of its own to every
#   process (a test that counts the threads of a serial child sees two), and
#   qemu 7.2 aborts in a child forked from a thread other than the main one
#   (multiprocessing's replacement workers).
# Skipped for want of aarch64 packages here: the stub check (mypy), the
# demo's figure (matplotlib) and the Dask engine of the batch tool (dask). The
# native-variant harnesses are built with the cross compiler and run emulated.
#
# Downloads are kept in $VORN_AARCH64_CACHE (default ~/.cache/vorn-aarch64).
# Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# The reference models' results, computed by the first run that needs them and read by the rest
# (tests/reference_cache.py).
export VORN_REFERENCE_CACHE="${VORN_REFERENCE_CACHE:-$root/build/reference-cache}"
cache="${VORN_AARCH64_CACHE:-$HOME/.cache/vorn-aarch64}"
work="$root/build/aarch64"
sysroot="$work/sysroot"
site="$work/site-packages"
started=$SECONDS

# -- host tools ---------------------------------------------------------------
need=()
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || need+=(qemu-user)
command -v cmake >/dev/null || need+=(cmake)
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  apt-get update -q >/dev/null
fi
if [ "${#need[@]}" -gt 0 ]; then
  [ -n "$(ls /var/lib/apt/lists/*arm64_Packages* 2>/dev/null)" ] || apt-get update -q >/dev/null
  echo "== installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi

# -- the sysroot: Debian's arm64 CPython and oneTBB with what they link to ------
debs="$cache/debs"
mkdir -p "$debs"
if [ ! -f "$sysroot/.complete" ]; then
  [ -n "$(ls /var/lib/apt/lists/*arm64_Packages* 2>/dev/null)" ] || apt-get update -q >/dev/null
  # The run-time closure, without the packaging tools some of them pull in,
  # and without the C library's headers: the cross compiler has its own, and
  # the archive's can be newer (bookworm's libc6-dev 2.36-9+deb12u15 has a
  # PTHREAD_COND_INITIALIZER that the cross compiler's 2.36-8cross1 types
  # reject, so <atomic> failed to compile with both on the include path).
  packages="$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances \
      python3.11:arm64 libpython3.11-dev:arm64 libtbb-dev:arm64 \
    | grep -E '^[a-z0-9][^ ]*:arm64$' \
    | grep -vE '^(dpkg|install-info|tar|libc-dev-bin|rpcsvc-proto|perl[^:]*|libc6-dev|linux-libc-dev):' \
    | sort -u)"
  echo "== fetching $(wc -w <<<"$packages") arm64 packages into $debs"
  (cd "$debs" && for p in $packages; do
     ls "${p%%:*}"_*_arm64.deb "${p%%:*}"_*_all.deb >/dev/null 2>&1 || echo "$p"
   done | xargs -r apt-get download -q -o APT::Sandbox::User=root >/dev/null)
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for p in $packages; do
    for deb in "$debs/${p%%:*}"_*_arm64.deb "$debs/${p%%:*}"_*_all.deb; do
      [ -e "$deb" ] && dpkg -x "$deb" "$sysroot"
    done
  done
  # The dynamic loader finds the unpacked libraries through a cache of its own.
  ldconfig -r "$sysroot" 2>/dev/null || true
  touch "$sysroot/.complete"
fi
target_python="$sysroot/usr/bin/python3.11"

# Children that the tests start run sys.executable: a wrapper beside the real
# interpreter (so that it finds its standard library) that starts it emulated.
wrapper="$sysroot/usr/bin/python3.11-emulated"
cat >"$wrapper" <<EOF
#!/bin/sh
exec qemu-aarch64 -L "$sysroot" -0 "\$0" "$target_python" "\$@"
EOF
chmod +x "$wrapper"

# -- NumPy's aarch64 wheel and the pure-Python test tools ----------------------
wheels="$cache/wheels"
mkdir -p "$wheels"
requirements=("numpy>=2" "pytest>=7" "hypothesis>=6")
if [ ! -f "$site/.complete" ]; then
  echo "== fetching ${requirements[*]} for manylinux2014_aarch64 into $wheels"
  python3 -m pip download -q --dest "$wheels" --find-links "$wheels" \
    --platform manylinux2014_aarch64 --python-version 3.11 --implementation cp \
    --only-binary=:all: "${requirements[@]}"
  rm -rf "$site"
  python3 -m pip install -q --no-index --find-links "$wheels" --target "$site" \
    --platform manylinux2014_aarch64 --python-version 3.11 --implementation cp \
    --only-binary=:all: "${requirements[@]}"
  touch "$site/.complete"
fi

# -- cross-build ---------------------------------------------------------------
build="$work/cmake"
mkdir -p "$build"
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH "$sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
echo "== cross-building for aarch64"
# The oneTBB of the sysroot is found as on an aarch64 machine, through its
# CMake package; the interpreter only names the headers of the target's.
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DPython_EXECUTABLE="$(command -v python3)" \
  -DPython_INCLUDE_DIR="$sysroot/usr/include/python3.11" >"$work/configure.log" 2>&1 \
  || { cat "$work/configure.log" >&2; exit 1; }
grep -E "Found TBB|oneTBB" "$work/configure.log" || true
cmake --build "$build" -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
cmake --install "$build" --prefix "$site" >/dev/null
file -b "$site"/_vorn_ext*.so | cut -d, -f1-2

# -- the suite, emulated --------------------------------------------------------
echo "== tests on aarch64 under qemu-aarch64 ($(qemu-aarch64 --version | head -1))"
cd "$root"
status=0
env PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 \
  VORN_NATIVE_CXX=aarch64-linux-gnu-g++ VORN_NATIVE_RUN="qemu-aarch64 -L $sysroot" \
  "$wrapper" -m pytest -q -p no:cacheprovider -m "not emulation_slow and not emulation_faulty" tests "$@" \
  >"$work/pytest.log" 2>&1 || status=$?
tail -n 25 "$work/pytest.log" | grep -vE '^\s*$' | grep -E 'FAILED|ERROR|passed|failed|error' || tail -n 40 "$work/pytest.log"
echo "== aarch64 run took $((SECONDS - started)) s (log: $work/pytest.log)"
exit "$status"

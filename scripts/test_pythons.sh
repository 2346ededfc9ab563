#!/usr/bin/env bash
# Runs the test suite with the one abi3 wheel under the CPython versions Debian ships after the
# host's: 3.13 in a Debian 13 (trixie) root, 3.14 and 3.15 in a Debian unstable (sid) root, each
# under the newest NumPy and under the NumPy the host suite uses (see below for what runs under
# which). Runs the reference-count and resource tests under Debian's debug build of 3.13, and
# builds the module from source with the unstable root's newest GCC, warnings as errors. Prints
# one summary line per run and exits non-zero if any failed.
#
# The roots are made with debootstrap once and kept in $VORN_ROOTS (default
# /var/cache/vorn-roots); the wheels for each interpreter are downloaded on the host, since pip
# inside the roots cannot reach the index. Needs root, debootstrap, and the host's .venv that
# scripts/setup_env.sh makes.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
export VORN_REFERENCE_CACHE="${VORN_REFERENCE_CACHE:-$repo/build/reference-cache}"
cache="${VORN_ROOTS:-/var/cache/vorn-roots}"
# NumPy 1.26 has no wheels for 3.13 and later, so the host suite's second NumPy has no
# counterpart here; the first one's version is taken from the host's .venv below.
numpy_newest="${VORN_NUMPY_NEWEST:-numpy==2.5.*}"
tools=(pytest hypothesis matplotlib mypy "tbb==2023.2.0")
newest_gcc=16
debug_version=3.13
apt_options=(-q -y -o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false)

say() { printf '== %s\n' "$*" >&2; }
mkdir -p "$cache/logs"
if ! command -v debootstrap >/dev/null; then
  say "installing debootstrap"
  apt-get -q update >"$cache/logs/debootstrap-install.log" 2>&1
  apt-get -q -y install debootstrap >>"$cache/logs/debootstrap-install.log" 2>&1
fi

# --- mounts: every one made is unmounted again, however the script ends ---------------------
mounts=()
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -R "${mounts[i]}" 2>/dev/null || umount -lR "${mounts[i]}" 2>/dev/null || true
  done
  mounts=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mount_root() {
  local root="$1"
  if ! mountpoint -q "$root/proc"; then
    mount -t proc proc "$root/proc"
    mounts+=("$root/proc")
  fi
  if ! mountpoint -q "$root/dev"; then
    mount --rbind /dev "$root/dev"
    # Unmounting the bind must never reach back into the host's /dev.
    mount --make-rslave "$root/dev"
    mounts+=("$root/dev")
  fi
}

in_root() {  # in_root ROOT COMMAND...: runs a command inside the root with a clean environment
  local root="$1"
  shift
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# --- the roots --------------------------------------------------------------------------------
make_root() {  # make_root SUITE PACKAGES...: a cached root with the packages installed
  local suite="$1"
  shift
  local root="$cache/$suite" wanted="$*"
  if [ -f "$root/.vorn-packages" ] && [ "$(cat "$root/.vorn-packages")" = "$wanted" ]; then
    return
  fi
  if [ ! -f "$root/.vorn-packages" ]; then
    rm -rf "$root.partial"
    say "debootstrap $suite (log: $cache/logs/debootstrap-$suite.log)"
    debootstrap --variant=minbase "$suite" "$root.partial" >"$cache/logs/debootstrap-$suite.log" 2>&1
    # A root appears under its name only once complete, so an interrupted run starts it over.
    rm -rf "$root"
    mv "$root.partial" "$root"
    : >"$root/.vorn-packages"
  fi
  say "apt-get install in $suite: $wanted"
  mount_root "$root"
  {
    in_root "$root" apt-get "${apt_options[@]}" update
    in_root "$root" apt-get "${apt_options[@]}" install "$@"
    in_root "$root" apt-get clean
  } >"$cache/logs/apt-$suite.log" 2>&1
  unmount_all
  printf '%s' "$wanted" >"$root/.vorn-packages"
}

# --- the wheel and the wheels each interpreter needs ------------------------------------------
say "building the wheel on the host"
VORN_REBUILD=1 source "$repo/scripts/setup_env.sh" .venv "numpy>=2" pytest hypothesis matplotlib mypy
cd "$repo"
numpy_ci="numpy==$("$repo/.venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
wheel="$(ls "$repo"/dist/vorn_ext-*.whl)"

download() {  # download VERSION FOLDER REQUIREMENTS...
  local version="$1" folder="$2"
  shift 2
  mkdir -p "$folder"
  "$repo/.venv/bin/python" -m pip download -q --only-binary=:all: --python-version "$version" \
    -d "$folder" "$@" >>"$cache/logs/download-$version.log" 2>&1
}

make_root trixie python3.13 python3.13-venv python3.13-dbg python3.13-dev g++ gcc binutils cmake make patchelf
make_root sid python3.14 python3.14-venv python3.15 python3.15-venv python3.15-dev \
  "g++-$newest_gcc" g++ binutils cmake make

# --- the suite under each interpreter ---------------------------------------------------------
failures=0
summaries=()

stage_sources() {  # the working tree's files, as the suite reads them, into ROOT/opt/vorn/src
  local root="$1"
  rm -rf "$root/opt/vorn/src"
  mkdir -p "$root/opt/vorn/src"
  git -C "$repo" ls-files -co --exclude-standard -z | tar -C "$repo" --null -T - -c | tar -C "$root/opt/vorn/src" -x
  # The reference models' results the host's runs computed (tests/reference_cache.py).
  rm -rf "$root/opt/vorn/reference-cache"
  mkdir -p "$root/opt/vorn/reference-cache"
  if [ -n "${VORN_REFERENCE_CACHE:-}" ] && [ -d "$VORN_REFERENCE_CACHE" ]; then
    cp -r "$VORN_REFERENCE_CACHE/." "$root/opt/vorn/reference-cache/"
  fi
}
use_cache="export VORN_REFERENCE_CACHE=/opt/vorn/reference-cache"

# The runs' logs stay on the machine that ran them: a failure's names and first assertion lines
# go into this script's output.
report_failures() {  # report_failures LOG: also under the run's line in the summary
  local failed
  while IFS= read -r failed; do
    summaries+=("      $failed")
    echo "      $failed"
  done < <(grep -E '^(FAILED|ERROR) ' "$1" | head -n 10 | cut -c1-300 || true)
  grep -E '^E ' "$1" | head -n 15 | cut -c1-300 | sed 's/^/      /' || true
}

run_suite() {  # run_suite ROOT VERSION NUMPY LABEL PYTEST-ARGS...
  local root="$1" version="$2" numpy="$3" label="$4"
  shift 4
  local wheels="$cache/wheels/$version" venv="/opt/vorn/venv-$version"
  local log="$cache/logs/suite-$version-numpy-${numpy//[^0-9]/}.log"
  local status=0 interpreter versions outcome line
  say "CPython $version, $numpy (log: $log)"
  : >"$log"
  if ! download "$version" "$wheels" "$numpy"; then
    line="skipped  CPython $version ($label), $numpy: the index has no wheel of it for $version (see $cache/logs/download-$version.log)"
    summaries+=("$line")
    echo "$line"
    return 1
  fi
  download "$version" "$wheels" "${tools[@]}"
  mkdir -p "$root/opt/vorn/wheels"
  rm -rf "$root/opt/vorn/wheels/$version"
  cp -r "$wheels" "$root/opt/vorn/wheels/$version"
  cp "$wheel" "$root/opt/vorn/wheels/$version/"
  {
    rm -rf "$root$venv"
    in_root "$root" "python$version" -m venv "$venv" &&
      in_root "$root" "$venv/bin/python" -m pip install -q --no-index --find-links "/opt/vorn/wheels/$version" \
        "$numpy" "${tools[@]}" "/opt/vorn/wheels/$version/$(basename "$wheel")" &&
      in_root "$root" /bin/sh -c "cd /opt/vorn/src && $use_cache && exec $venv/bin/python -m pytest -q -rfEs -p no:cacheprovider $*"
  } >"$log" 2>&1 || status=$?
  interpreter="$(in_root "$root" "$venv/bin/python" -c 'import platform; print(platform.python_version())' 2>/dev/null || echo "$version")"
  versions="$(in_root "$root" "$venv/bin/python" -c 'import numpy; print(numpy.__version__)' 2>/dev/null || echo "${numpy#numpy==}?")"
  outcome="$(grep -E '^(=+ )?[0-9]+ (passed|failed)|^(=+ )?[0-9]+ (error|skipped)' "$log" | tail -1 | tr -d '=' | sed 's/^ *//;s/ *$//' || true)"
  if [ "$status" -eq 0 ]; then line="ok"; else line="FAILED"; failures=$((failures + 1)); fi
  line="$line  CPython $interpreter ($label), NumPy $versions: ${outcome:-no test ran, see $log}"
  summaries+=("$line")
  echo "$line"
  [ "$status" -eq 0 ] || report_failures "$log"
  # Every skip is listed with its reason.
  grep -E '^SKIPPED' "$log" | sed 's/^/      /' || true
  return 0
}

# --- builds from source inside a root ----------------------------------------------------------
build_from_source() {  # build_from_source ROOT VENV-PYTHON COMPILER [CMAKE-ARG...]: into the venv's site-packages
  local root="$1" python="$2" compiler="$3"
  shift 3
  local build="/opt/vorn/build-$(basename "$(dirname "$(dirname "$python")")")"
  rm -rf "$root$build"
  in_root "$root" cmake -S /opt/vorn/src -B "$build" -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_COMPILER=$compiler" "-DPython_EXECUTABLE=$python" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" &&
    in_root "$root" cmake --build "$build" -j 2 &&
    in_root "$root" cmake --install "$build" --prefix \
      "$(in_root "$root" "$python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')"
}

# --- the debug interpreter ---------------------------------------------------------------------
# Debian's python3.13-dbg also looks for the release and abi3 file names, so the wheel and
# NumPy's wheels load into it, but an extension built without Py_DEBUG changes reference counts
# inline, out of sight of sys.gettotalrefcount(): whenever one side takes a reference and the
# other drops it, the total drifts, by some 65 a call for a pelt over a 64-element int64 array.
# Built against the debug interpreter's headers, the limited-API reference changes of the module
# go through the interpreter's own functions, and the total is exact. Debian's python3.13d header
# folder is links to the release headers, though, and a quoted include follows the link, so
# Python.h finds the release pyconfig.h, without Py_DEBUG: the module's build defines it itself
# (without it the total grew by one for every item pelt read, the module's own decrements
# uncounted). NumPy is
# built from its source release once (the newest release with one: $numpy_ci), without SIMD
# dispatch or BLAS, which the tests here do not need, and kept with the roots.
debug_numpy() {
  local root="$1" python="$2" wheels="$cache/wheels/${debug_version}d"
  local source="$wheels/source" version="${numpy_ci#numpy==}"
  ls "$wheels"/numpy-"$version"-*.whl >/dev/null 2>&1 && return
  mkdir -p "$source"
  if [ ! -f "$source/numpy-$version.tar.gz" ]; then
    # pip would build the source release to read its metadata; take the file the index lists
    # (the index pip is configured with, or else its default one).
    local url index
    index="${PIP_INDEX_URL:-$(python3 -m pip config get global.index-url 2>/dev/null ||
      python3 -c 'from pip._internal.models.index import PyPI; print(PyPI.simple_url)')}"
    url="$(curl -fsS "${index%/}/numpy/" | grep -o "https://[^\"#]*/numpy-$version\.tar\.gz" | head -1)"
    curl -fsS -o "$source/numpy-$version.tar.gz.partial" "$url"
    mv "$source/numpy-$version.tar.gz.partial" "$source/numpy-$version.tar.gz"
  fi
  download "$debug_version" "$source" "meson-python>=0.18" meson "cython>=3.0.6" ninja pyproject-metadata packaging
  rm -rf "$root/opt/vorn/numpy-debug"
  cp -r "$source" "$root/opt/vorn/numpy-debug"
  in_root "$root" "$python" -m pip wheel -q --no-index --find-links /opt/vorn/numpy-debug -w /opt/vorn/numpy-debug/built \
    -Csetup-args=-Dallow-noblas=true -Csetup-args=-Dcpu-dispatch=none "/opt/vorn/numpy-debug/numpy-$version.tar.gz"
  cp "$root"/opt/vorn/numpy-debug/built/numpy-*.whl "$wheels/"
}

run_debug() {
  local root="$cache/trixie" version="$debug_version"
  local venv="/opt/vorn/venv-${version}d" log="$cache/logs/debug-$version.log" status=0 line outcome
  say "CPython $version debug build (log: $log)"
  download "$version" "$cache/wheels/$version" "tbb-devel==2023.2.0" || status=$?
  cp -r "$cache/wheels/$version/." "$root/opt/vorn/wheels/$version/"
  [ "$status" -eq 0 ] && {
    rm -rf "$root$venv"
    in_root "$root" "python$version-dbg" -m venv "$venv" &&
      debug_numpy "$root" "$venv/bin/python" &&
      cp "$cache/wheels/${version}d"/numpy-*.whl "$root/opt/vorn/wheels/$version/" &&
      in_root "$root" "$venv/bin/python" -m pip install -q --no-index --find-links "/opt/vorn/wheels/$version" \
        "/opt/vorn/wheels/$version/$(basename "$(ls "$cache/wheels/${version}d"/numpy-*.whl)")" pytest hypothesis \
        "tbb==2023.2.0" "tbb-devel==2023.2.0" &&
      build_from_source "$root" "$venv/bin/python" g++ -DCMAKE_CXX_FLAGS=-DPy_DEBUG &&
      in_root "$root" /bin/sh -c "cd /opt/vorn/src && $use_cache && exec $venv/bin/python -m pytest -q -rfEs -p no:cacheprovider \
        tests/test_resources.py tests/test_bad_input.py"
  } >"$log" 2>&1 || status=$?
  outcome="$(grep -E '^(=+ )?[0-9]+ (passed|failed|error)' "$log" | tail -1 | tr -d '=' | sed 's/^ *//;s/ *$//' || true)"
  if [ "$status" -eq 0 ]; then line="ok"; else line="FAILED"; failures=$((failures + 1)); fi
  line="$line  CPython $version debug build (Debian 13), NumPy ${numpy_ci#numpy==} and the module built against it, reference-count and resource tests: ${outcome:-no test ran, see $log}"
  summaries+=("$line")
  echo "$line"
  [ "$status" -eq 0 ] || report_failures "$log"
  grep -E '^SKIPPED' "$log" | sed 's/^/      /' || true
}

# --- a build from source with the newest GCC ------------------------------------------------
# The project's own flags, every warning an error; the build then runs the differential tests.
build_with_newest_gcc() {
  local root="$cache/sid" version=3.15 venv=/opt/vorn/venv-gcc status=0 line warnings outcome
  local log="$cache/logs/gcc-$newest_gcc-build.log" tests_log="$cache/logs/gcc-$newest_gcc-tests.log"
  say "build with GCC $newest_gcc (logs: $log, $tests_log)"
  download "$version" "$cache/wheels/$version" "tbb-devel==2023.2.0" || status=$?
  cp -r "$cache/wheels/$version/." "$root/opt/vorn/wheels/$version/"
  : >"$tests_log"
  [ "$status" -eq 0 ] && {
    rm -rf "$root$venv"
    in_root "$root" "python$version" -m venv "$venv" &&
      in_root "$root" "$venv/bin/python" -m pip install -q --no-index --find-links "/opt/vorn/wheels/$version" \
        "$numpy_newest" pytest hypothesis "tbb==2023.2.0" "tbb-devel==2023.2.0" &&
      build_from_source "$root" "$venv/bin/python" "g++-$newest_gcc"
  } >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    in_root "$root" /bin/sh -c "cd /opt/vorn/src && $use_cache && exec $venv/bin/python -m pytest -q -rfEs -p no:cacheprovider \
      tests/test_pelt_differential.py tests/test_baseline_differential.py tests/test_arrays.py" \
      >"$tests_log" 2>&1 || status=$?
  fi
  # -Werror fails the build on a compiler warning; the count also catches the linker's.
  warnings="$(grep -ciE '(warning|error):' "$log" || true)"
  outcome="$(grep -E '^(=+ )?[0-9]+ (passed|failed|error)' "$tests_log" | tail -1 | tr -d '=' | sed 's/^ *//;s/ *$//' || true)"
  if [ "$status" -eq 0 ] && [ "$warnings" -eq 0 ]; then line="ok"; else line="FAILED"; failures=$((failures + 1)); fi
  line="$line  $(in_root "$root" "g++-$newest_gcc" --version | head -1), project flags and -Werror: $warnings warnings; that build under CPython $version, differential tests: ${outcome:-not run, see $log}"
  summaries+=("$line")
  echo "$line"
  [ "$status" -eq 0 ] || report_failures "$tests_log"
}

# Within the time CI allows (about 15 minutes on a fresh two-core machine, most of it making the
# roots), each interpreter runs the whole suite under the newest NumPy, except test_native_paths:
# it builds C++ harnesses with the root's compiler and runs them without Python, so it runs once,
# with the newest GCC, in the sid root. Under the NumPy of the host suite each interpreter runs
# the tests of the module's interface, where the NumPy version matters: arrays in and out,
# argument conversion, every bad input, references and resources, the stub; the kernels'
# differential and path tests use NumPy only to make inputs, and ran under it on the host.
interface_tests=(tests/test_arrays.py tests/test_arguments.py tests/test_bad_input.py tests/test_module.py
  tests/test_resources.py tests/test_stub.py tests/test_pelt_differential.py tests/test_concurrency.py)
not_native="not run: tests/test_native_paths.py (compiler-only; runs once, with GCC $newest_gcc, under 3.14)"
not_interface="not run under NumPy ${numpy_ci#numpy==}: all but the interface tests (${interface_tests[*]#tests/})"

mount_root "$cache/trixie"
stage_sources "$cache/trixie"
run_suite "$cache/trixie" 3.13 "$numpy_newest" "Debian 13" tests --ignore=tests/test_native_paths.py &&
  echo "      $not_native"
run_suite "$cache/trixie" 3.13 "$numpy_ci" "Debian 13" "${interface_tests[@]}" &&
  echo "      $not_interface"
# NumPy built against the debug interpreter takes some 20 minutes on two cores the first time;
# within CI's time on a fresh machine that run waits until asked for or already built.
if [ -n "${VORN_DEBUG_PYTHON:-}" ] || ls "$cache/wheels/${debug_version}d"/numpy-*.whl >/dev/null 2>&1; then
  run_debug
else
  line="skipped  CPython $debug_version debug build: NumPy is not yet built against it (about 20 minutes); set VORN_DEBUG_PYTHON=1 to build it"
  summaries+=("$line")
  echo "$line"
fi
unmount_all

mount_root "$cache/sid"
stage_sources "$cache/sid"
run_suite "$cache/sid" 3.14 "$numpy_newest" "Debian unstable" tests || true
run_suite "$cache/sid" 3.14 "$numpy_ci" "Debian unstable" "${interface_tests[@]}" &&
  echo "      $not_interface"
run_suite "$cache/sid" 3.15 "$numpy_newest" "Debian unstable" tests --ignore=tests/test_native_paths.py &&
  echo "      $not_native"
run_suite "$cache/sid" 3.15 "$numpy_ci" "Debian unstable" "${interface_tests[@]}" &&
  echo "      $not_interface"
build_with_newest_gcc
unmount_all

echo
echo "== summary"
printf '%s\n' "${summaries[@]}"
if [ "$failures" -ne 0 ]; then
  echo "$failures run(s) failed; logs in $cache/logs"
  exit 1
fi

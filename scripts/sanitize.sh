#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer
# (cmake -DVORN_SANITIZE=ON), installs it into .venv-sanitize and runs the
# whole test suite with the sanitizer runtimes preloaded into the interpreter.
# Every process the tests start inherits the runtimes. An AddressSanitizer
# report from any of them fails the run, also when the test itself expected
# that process to fail; an UndefinedBehaviorSanitizer report ends its process
# with a non-zero status.
# Left out: tests/test_native_paths.py, whose C++ harnesses are built apart from
# the module, without the sanitizers, so that nothing in them is checked here.
# Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# The reference models' results, computed by the first run that needs them and read by the rest
# (tests/reference_cache.py).
export VORN_REFERENCE_CACHE="${VORN_REFERENCE_CACHE:-$root/build/reference-cache}"
venv="$root/.venv-sanitize"
wheels="$root/build/sanitize-wheel"
compiler="${CXX:-g++}"

if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
rm -rf "$wheels"
# A build directory of its own, so that the normal build's cache is not reused.
"$venv/bin/python" -m pip wheel -q --no-deps -w "$wheels" \
  -C cmake.define.VORN_SANITIZE=ON -C install.strip=false -C build-dir="$root/build/sanitize" \
  "$root"
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheels"/vorn_ext-*.whl
"$venv/bin/python" -m pip install -q "$wheels"/vorn_ext-*.whl "numpy>=2" pytest hypothesis \
  matplotlib mypy

module="$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("_vorn_ext").origin)')"
symbols="$(nm -D "$module")"
if ! grep -q ' U __asan_report' <<<"$symbols"; then
  echo "sanitize.sh: $module is not instrumented" >&2
  exit 1
fi

asan="$("$compiler" -print-file-name=libasan.so)"
ubsan="$("$compiler" -print-file-name=libubsan.so)"
reports="$(mktemp -d)"
trap 'rm -rf "$reports"' EXIT

cd "$root"
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
status=0
# UndefinedBehaviorSanitizer ignores log_path next to AddressSanitizer: its
# reports go to standard error and it ends the process, so pytest captures
# only what Python writes (--capture=sys) and a report is never swallowed.
# CPython does not free everything at exit, so leak detection stays off; its
# own allocator would hide heap errors from AddressSanitizer, so it is
# replaced by malloc. A request too large to satisfy gets a null pointer, as
# from the C library, so that the tests of failed allocations run.
env LD_PRELOAD="$asan:$ubsan" \
  ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  PYTHONMALLOC=malloc \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests --ignore=tests/test_native_paths.py "$@" || status=$?

# A refused oversized request (the tests of failed allocations) leaves a
# one-line warning; anything else is a finding.
found=0
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  if grep -qv '^==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes$' "$report"; then
    echo "== sanitizer report $(basename "$report")" >&2
    cat "$report" >&2
    found=1
  fi
done
if [ "$found" -ne 0 ]; then
  exit 1
fi
exit "$status"

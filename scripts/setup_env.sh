# Sourced by the other scripts: builds the module once and installs it into a
# virtual environment ($1: the folder; $2: extra pip requirements).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/$1"
shift
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
if [ -z "$(ls "$root"/dist/vorn_ext-*.whl 2>/dev/null)" ] || [ -n "${VORN_REBUILD:-}" ]; then
  rm -rf "$root/dist"
  "$venv/bin/python" -m pip wheel -q --no-deps "$root" -w "$root/dist"
fi
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$root"/dist/vorn_ext-*.whl
"$venv/bin/python" -m pip install -q "$root"/dist/vorn_ext-*.whl "$@"

#!/usr/bin/env bash
# Builds the module, installs it into a virtual environment and runs the demo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/setup_env.sh" .venv "numpy>=2" matplotlib
cd "$root"
.venv/bin/python examples/demo.py "$@"

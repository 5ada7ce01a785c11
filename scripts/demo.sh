#!/usr/bin/env bash
# Builds and installs the module into .venv and runs the demo on the
# built-in sample data. Extra arguments go to the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-env.sh
step "Build and install rasterloom"
"$PY" -m pip install -q .
step "Demo"
"$PY" examples/demo.py "$@"

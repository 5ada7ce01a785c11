#!/usr/bin/env bash
# Builds the module and runs every test: the C++ tests of the core and the
# worker pool (GoogleTest, through CTest) and the Python tests against the
# installed wheel. Installs what it needs on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/setup-env.sh

step "C++ tests"
cmake -S . -B build/cpp -DRASTERLOOM_BUILD_MODULE=OFF -DRASTERLOOM_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp -j"$(nproc)"
ctest --test-dir build/cpp --output-on-failure -j"$(nproc)"

step "Build and check the wheel"
rm -rf build/dist
"$PY" -m pip wheel --no-deps -w build/dist . >/dev/null
wheel=$(ls build/dist/rasterloom-*.whl)
echo "built $(basename "$wheel")"
"$VENV/bin/abi3audit" --strict --report "$wheel"
"$PY" -m pip install --force-reinstall --no-deps "$wheel" >/dev/null

step "Python tests"
cd "$root/tests/python"
"$PY" -m pytest -p no:cacheprovider -c "$root/pyproject.toml" --rootdir "$root" "$@"

#!/usr/bin/env bash
# Builds the module and runs every test:
#   1. the C++ tests of the core and the worker pool (GoogleTest, via CTest),
#      and the same tests built for Windows with MinGW-w64 (run under Wine)
#      and with clang and libc++ (scripts/other-toolchains.sh);
#   2. the Python tests against the installed wheel (which abi3audit and
#      auditwheel check);
#   3. the C++ and Python tests again with AddressSanitizer and
#      UndefinedBehaviorSanitizer;
#   4. the same wheel against the oldest, the last 1.x and the newest NumPy;
#   5. a bounded fuzzing run of the core.
# Installs what it needs on a fresh machine. Arguments go to every pytest run.
# RASTERLOOM_TEST_STAGES selects stages, e.g. "cpp python" (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/setup-env.sh
stages=${RASTERLOOM_TEST_STAGES:-"cpp toolchains python sanitizers numpy fuzz"}
want() { [[ " $stages " == *" $1 "* ]]; }
jobs=$(nproc)

pytest_in() {  # pytest_in PYTHON [pytest args...]
  local python=$1; shift
  (cd "$root/tests/python" && "$python" -m pytest -p no:cacheprovider -c "$root/pyproject.toml" \
     --rootdir "$root" "$@")
}

if want cpp; then
  step "C++ tests"
  cmake -S . -B build/cpp -DRASTERLOOM_BUILD_MODULE=OFF -DRASTERLOOM_BUILD_TESTS=ON >/dev/null
  cmake --build build/cpp -j"$jobs"
  ctest --test-dir build/cpp --output-on-failure -j"$jobs"
fi

if want toolchains; then
  bash scripts/other-toolchains.sh
fi

if want python || want numpy; then
  step "Build and check the wheel"
  rm -rf build/dist
  quiet_pip "$PY" -m pip wheel -q --no-deps -w build/dist .
  wheel=$(ls build/dist/rasterloom-*.whl)
  "$PY" - "$wheel" <<'PYEOF'
import sys, zipfile
sizes = [i.file_size for i in zipfile.ZipFile(sys.argv[1]).infolist() if i.filename.endswith(".so")]
print(f"built {sys.argv[1].rsplit('/', 1)[-1]}; module size {sum(sizes)} bytes")
PYEOF
  "$VENV/bin/abi3audit" --strict --report "$wheel"
  # The oldest Linux the wheel installs on: its manylinux tag, from the
  # newest glibc and libgcc_s symbol versions it needs. Publishable wheels
  # need manylinux_2_28 or older (this build gives manylinux_2_17).
  "$VENV/bin/auditwheel" show --json "$wheel" 2>/dev/null | "$PY" -c '
import json, re, sys
tag = json.load(sys.stdin)["overall_tag"]
print(f"auditwheel: the wheel is consistent with {tag}")
found = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
if found is None or (int(found[1]), int(found[2])) > (2, 28):
    sys.exit(f"{tag} is newer than manylinux_2_28: the wheel would not install on most Linux systems")
'
  quiet_pip "$PY" -m pip install -q --force-reinstall --no-deps "$wheel"
fi

if want python; then
  step "Python tests (NumPy $("$PY" -c 'import numpy; print(numpy.__version__)'))"
  pytest_in "$PY" "$@"

  step "Type stub against the module (mypy stubtest)"
  stub_dir=$(mktemp -d)
  cp "$("$PY" -c 'import pathlib, rasterloom; print(pathlib.Path(rasterloom.__file__).with_name("rasterloom.pyi"))')" "$stub_dir/"
  (cd "$stub_dir" && MYPYPATH="$stub_dir" "$PY" -m mypy.stubtest rasterloom)
  rm -rf "$stub_dir"
fi

if want sanitizers; then
  step "C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build/cpp-asan -DRASTERLOOM_BUILD_MODULE=OFF -DRASTERLOOM_BUILD_TESTS=ON \
    -DRASTERLOOM_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/cpp-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/cpp-asan --output-on-failure -j"$jobs"

  step "Python tests against a module built with the sanitizers"
  asan_venv="$root/build/venv-asan"
  [ -x "$asan_venv/bin/python" ] || python3 -m venv "$asan_venv"
  quiet_pip "$asan_venv/bin/python" -m pip install -q -r requirements/dev.txt
  quiet_pip "$asan_venv/bin/python" -m pip install -q --force-reinstall --no-deps . \
    -Ccmake.define.RASTERLOOM_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir=build/asan-module
  # The interpreter itself is not instrumented: preload the runtime (with
  # the C++ runtime, so that the sanitizer can intercept exceptions) and
  # leave leak detection to the C++ tests.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  RASTERLOOM_SANITIZED=1 \
    pytest_in "$asan_venv/bin/python" "$@"
fi

if want numpy; then
  for numpy_spec in "numpy==1.23.5" "numpy>=1.26,<2" "numpy>=2.0,<3"; do
    step "The same wheel with $numpy_spec"
    env_dir="$root/build/venv-$(echo "$numpy_spec" | tr -c 'a-z0-9.' '_')"
    [ -x "$env_dir/bin/python" ] || python3 -m venv "$env_dir"
    quiet_pip "$env_dir/bin/python" -m pip install -q "$numpy_spec" -r requirements/test-runtime.txt
    quiet_pip "$env_dir/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    echo "NumPy $("$env_dir/bin/python" -c 'import numpy; print(numpy.__version__)')"
    pytest_in "$env_dir/bin/python" "$@"
  done
fi

if want fuzz; then
  step "Fuzzing the core (bounded)"
  bash scripts/fuzz.sh "${RASTERLOOM_FUZZ_SECONDS:-60}"
fi

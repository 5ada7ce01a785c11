#!/usr/bin/env bash
# Builds the module and runs every test:
#   1. the C++ tests of the core and the worker pool (GoogleTest, via CTest),
#      and the same tests built for Windows with MinGW-w64 (run under Wine)
#      and with clang and libc++ (toolchains: scripts/other-toolchains.sh);
#   2. the Python tests against the installed wheel (which abi3audit and
#      auditwheel check), and mypy's stubtest of the stubs against the module
#      and the layer extension;
#   3. mypy and pyright on a user's code, with only the wheel and its dependencies
#      installed (typing);
#   4. sdist and wheel with python -m build, the sdist installed afresh (sdist);
#   5. the documentation in docs/ built with Sphinx, warnings as errors (docs);
#   6. the C++ and Python tests again with AddressSanitizer and
#      UndefinedBehaviorSanitizer, the worker pool's and the layer pipeline's
#      with ThreadSanitizer;
#   7. the same wheel on CPython 3.11, 3.12 and 3.13 with the oldest, the
#      last 1.x and the newest NumPy (numpy);
#   8. a bounded fuzzing run of the core and of the layer pipeline.
# Installs what it needs on a fresh machine. Arguments go to every pytest run.
# RASTERLOOM_TEST_STAGES selects stages, e.g. "cpp python" (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/setup-env.sh
stages=${RASTERLOOM_TEST_STAGES:-"cpp toolchains python typing sdist docs sanitizers numpy fuzz"}
want() { [[ " $stages " == *" $1 "* ]]; }
jobs=$(nproc)

pytest_in() {  # pytest_in PYTHON [pytest args...]
  local python=$1; shift
  (cd "$root/tests/python" && "$python" -m pytest -p no:cacheprovider -c "$root/pyproject.toml" \
     --rootdir "$root" "$@")
}

# Results of the Python suite per interpreter and NumPy, printed at the end.
matrix_rows=()
matrix_failed=0
pytest_result() {  # pytest_result LOG: pytest's closing counts, e.g. "110 passed"
  grep -E '[0-9]+ (passed|failed|errors?|skipped)' "$1" | tail -n 1 |
    sed -E 's/^=+ //; s/ in [0-9.]+s.*$//'
}

find_python() {  # find_python 3.12: a CPython 3.12 from pyenv's versions or from PATH
  local minor=$1 candidate pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for candidate in $(ls -d "$pyenv_root"/versions/"$minor".*/bin/python"$minor" 2>/dev/null | sort -V -r) \
                   "$(command -v "python$minor" || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] &&
       "$candidate" -c "import sys, venv, ensurepip; sys.exit('%d.%d' % sys.version_info[:2] != '$minor')" \
         2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
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

if want python || want numpy || want typing || want docs; then
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
  versions=$("$PY" -c \
    'import platform, numpy; print(f"CPython {platform.python_version()} | NumPy {numpy.__version__}")')
  step "Python tests ($versions)"
  mkdir -p build/logs
  started=$SECONDS
  pytest_in "$PY" "$@" 2>&1 | tee build/logs/python-stage.log
  python_stage_row="$versions | $(pytest_result build/logs/python-stage.log) | $((SECONDS - started)) s"

  step "Type stubs against the module and the layer extension (mypy stubtest)"
  # Run outside the checkout, so that both the module and its stub package
  # (rasterloom-stubs) come from the installed wheel.
  (cd "$(mktemp -d)" && "$PY" -m mypy.stubtest rasterloom rasterloom_layers._native)

  step "rasterloom_layers, as installed, under mypy --strict"
  # Outside the checkout, so that the package and the module's stubs both
  # come from the installed wheel.
  (cd "$(mktemp -d)" && "$PY" -m mypy --strict --cache-dir "$root/build/mypy-cache" -p rasterloom_layers)
fi

if want typing; then
  step "Type checkers on a user's code, with only the wheel and its dependencies installed"
  # The checkers live in an environment of their own; the checked one is new
  # each time and holds the wheel and what it depends on, nothing else.
  tools_venv="$root/build/venv-typing-tools"
  [ -x "$tools_venv/bin/python" ] || python3 -m venv "$tools_venv"
  quiet_pip "$tools_venv/bin/python" -m pip install -q -r requirements/typing.txt
  user_venv="$root/build/venv-typing-user"
  rm -rf "$user_venv"
  python3 -m venv "$user_venv"
  quiet_pip "$user_venv/bin/python" -m pip install -q "$wheel"
  echo "checked environment: $("$user_venv/bin/python" -m pip list --format=freeze 2>/dev/null |
    grep -v -E '^(pip|setuptools)==' | tr '\n' ' ')"
  "$tools_venv/bin/python" tests/typing/check_user_snippet.py --python "$user_venv/bin/python"
fi

if want sdist; then
  step "Source distribution and wheel with python -m build; the sdist installed in a fresh environment"
  rm -rf build/release
  mkdir -p build/logs
  started=$SECONDS
  # The wheel is built from the unpacked sdist, so it proves the sdist complete.
  if ! "$PY" -m build --outdir build/release . >build/logs/build.log 2>&1; then
    tail -n 60 build/logs/build.log
    exit 1
  fi
  ls build/release
  sdist=$(ls build/release/rasterloom-*.tar.gz)
  sdist_venv="$root/build/venv-sdist"
  rm -rf "$sdist_venv"
  python3 -m venv "$sdist_venv"
  quiet_pip "$sdist_venv/bin/python" -m pip install -q "$sdist"
  (cd "$(mktemp -d)" && "$sdist_venv/bin/python" "$root/tests/packaging/check_installed.py" "$root/pyproject.toml")
  echo "python -m build and the install from the sdist took $((SECONDS - started)) s"

  step "Release wheels: what the cibuildwheel configuration builds"
  # Building them needs Docker (Linux), macOS and Windows; here the
  # configuration is validated and its list of wheels compared.
  release_venv="$root/build/venv-release"
  [ -x "$release_venv/bin/python" ] || python3 -m venv "$release_venv"
  quiet_pip "$release_venv/bin/python" -m pip install -q -r requirements/release.txt
  for platform in linux macos windows; do
    "$release_venv/bin/cibuildwheel" --print-build-identifiers --platform "$platform"
  done | tee build/logs/build-identifiers.txt
  diff -u tests/packaging/expected_build_identifiers.txt build/logs/build-identifiers.txt
fi

if want docs; then
  step "Documentation (Sphinx, warnings as errors)"
  # The API reference is read from the wheel installed above.
  rm -rf build/docs
  "$PY" -m sphinx -W --keep-going -q -b html -d build/docs/doctrees docs build/docs/html
  echo "built build/docs/html/index.html"
  "$PY" - <<'PYEOF'
import sys
from pathlib import Path
size = len(Path("README.md").read_text(encoding="utf-8"))
print(f"README.md: {size} characters")
if size > 15_000:
    sys.exit("README.md is longer than 15,000 characters: move the detail into docs/")
PYEOF
fi

if want sanitizers; then
  step "C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build/cpp-asan -DRASTERLOOM_BUILD_MODULE=OFF -DRASTERLOOM_BUILD_TESTS=ON \
    -DRASTERLOOM_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/cpp-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/cpp-asan --output-on-failure -j"$jobs"

  step "Worker pool and layer pipeline tests with ThreadSanitizer"
  cmake -S . -B build/cpp-tsan -DRASTERLOOM_BUILD_MODULE=OFF -DRASTERLOOM_BUILD_TESTS=ON \
    -DRASTERLOOM_THREAD_SANITIZER=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/cpp-tsan -j"$jobs" --target test_worker_pool test_layers_pipeline
  TSAN_OPTIONS=halt_on_error=1 build/cpp-tsan/test_worker_pool --gtest_brief=1
  # The layer pipeline's passes on a pool of three threads.
  RAYON_NUM_THREADS=3 TSAN_OPTIONS=halt_on_error=1 build/cpp-tsan/test_layers_pipeline --gtest_brief=1

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
  # The one wheel built above, unchanged, on every supported interpreter with
  # the oldest, the last 1.x and the newest NumPy it supports. CPython 3.11
  # with the newest NumPy is the python stage.
  for cell in "3.11 numpy==1.23.5" "3.11 numpy==1.26.4" "3.12 numpy==1.26.4" \
              "3.12 numpy>=2.0,<3" "3.13 numpy>=2.0,<3"; do
    minor=${cell%% *}
    numpy_pin=${cell#* }
    if ! interpreter=$(find_python "$minor"); then
      step "MISSING: CPython $minor not found; skipping $numpy_pin"
      echo "MISSING: CPython $minor not found (looked in $(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")/versions and on PATH); skipping"
      matrix_rows+=("CPython $minor | $numpy_pin | MISSING")
      # CI vouches for every supported interpreter: a missing one fails it.
      [ "${CI:-}" = "true" ] && matrix_failed=1
      continue
    fi
    step "The same wheel on CPython $minor with $numpy_pin"
    env_dir="$root/build/venv-py$minor-$(echo "$numpy_pin" | tr -c 'a-z0-9.' '_')"
    [ -x "$env_dir/bin/python" ] || "$interpreter" -m venv "$env_dir"
    quiet_pip "$env_dir/bin/python" -m pip install -q --upgrade "pip>=23"
    quiet_pip "$env_dir/bin/python" -m pip install -q "$numpy_pin" -r requirements/test-runtime.txt
    quiet_pip "$env_dir/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    versions=$("$env_dir/bin/python" -c \
      'import platform, numpy; print(f"CPython {platform.python_version()} | NumPy {numpy.__version__}")')
    echo "$versions ($interpreter)"
    log="$env_dir/pytest.log"
    started=$SECONDS
    # The layer tests take a few of their recordings here; the python stage
    # takes them all.
    if RASTERLOOM_QUICK_LAYERS=1 pytest_in "$env_dir/bin/python" "$@" 2>&1 | tee "$log"; then
      outcome="$(pytest_result "$log")"
    else
      outcome="FAILED: $(pytest_result "$log")"
      matrix_failed=1
    fi
    matrix_rows+=("$versions | $outcome | $((SECONDS - started)) s")
  done

  step "Interpreter x NumPy matrix (the same wheel)"
  if [ -n "${python_stage_row:-}" ]; then
    echo "$python_stage_row (python stage)"
  fi
  printf '%s\n' "${matrix_rows[@]}"
  [ "$matrix_failed" -eq 0 ] || { echo "interpreter x NumPy matrix: some cells failed or are missing"; exit 1; }
fi

if want fuzz; then
  step "Fuzzing the core and the layer pipeline (bounded)"
  bash scripts/fuzz.sh "${RASTERLOOM_FUZZ_SECONDS:-60}"
fi

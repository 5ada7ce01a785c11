# Sourced by the other scripts: makes sure the system packages and the
# project's virtual environment (.venv) exist, with every pinned dependency.
# pip's notes about mirror folders it skips are noise here.
export PIP_DISABLE_PIP_VERSION_CHECK=1
quiet_pip() { "$@" 2> >(grep -v '^WARNING: Location' >&2); }
step() { printf '\n== %s ==\n' "$*"; }

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  step "System packages: ${need_apt[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  else
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  fi
fi

VENV=${RASTERLOOM_VENV:-$PWD/.venv}
if [ ! -x "$VENV/bin/python" ]; then
  step "Virtual environment in $VENV"
  python3 -m venv "$VENV"
fi
PY="$VENV/bin/python"
quiet_pip "$PY" -m pip install -q --upgrade "pip>=23"
quiet_pip "$PY" -m pip install -q -r requirements/dev.txt

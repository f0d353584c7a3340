#!/usr/bin/env bash
# Installs what the build needs, only when it is missing, then builds and installs velmora
# with its test extra into .venv. Quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(g++ make pkg-config libtbb-dev libabsl-dev libgtest-dev libbenchmark-dev graphviz)

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
# A bare Debian python3 needs its venv and header packages.
if ! python3 -c 'import venv, ensurepip, sysconfig, os; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
  missing+=(python3-venv python3-dev)
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  python3 -m venv .venv
fi
PY=.venv/bin/python

# Build tools go into the venv so the package builds without isolation (incrementally).
stamp=.venv/.velmora-deps
want="$(sha256sum pyproject.toml | cut -d' ' -f1)"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  echo "setup: installing build and test requirements"
  $PY -m pip install -q --upgrade pip
  $PY -m pip install -q "scikit-build-core>=0.10" "cmake>=3.24" ninja pytest hypothesis numpy networkx
  echo "$want" > "$stamp"
fi

echo "setup: building and installing velmora"
$PY -m pip install -q --no-build-isolation ".[test]"

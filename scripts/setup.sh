# Sourced by the project's commands. Installs what is missing on a Debian
# machine (system packages, a virtual environment in the checkout, the
# project with the extras asked for) and says nothing when all is there.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

say() { printf '%s\n' "$*" >&2; }

# need_debs PACKAGE...: installs the Debian packages that are not installed.
need_debs() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  say "Installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The compiler and build tools, and the interpreter's headers and venv
# support where the interpreter comes from Debian.
need_build_tools() {
  need_debs g++ cmake ninja-build
  if ! python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    need_debs python3-dev
  fi
  if ! python3 -c 'import ensurepip, venv' 2>/dev/null; then
    need_debs python3-venv
  fi
}

# A hash of everything the installed module is built from.
source_hash() {
  (cd "$ROOT" && find pyproject.toml CMakeLists.txt tamsel.pyi src -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
}

# need_project EXTRAS: the virtual environment with the project built from
# this checkout and the given extras ("test", "demo,test", ...).
need_project() {
  local extras="$1"
  need_build_tools
  if [ ! -x "$PY" ]; then
    say "Creating the virtual environment in $VENV"
    python3 -m venv "$VENV"
    "$PY" -m pip install -q --upgrade pip
  fi
  local stamp="$VENV/.tamsel-$(echo "$extras" | tr ',' '-')" want
  want="$(source_hash)"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    say "Building and installing tamsel[$extras]"
    # The build requirements are installed into the environment once, so
    # that rebuilds reuse the CMake build directory instead of starting over.
    "$PY" -m pip install -q $("$PY" -c 'import tomllib; print(" ".join(tomllib.load(open("'"$ROOT"'/pyproject.toml", "rb"))["build-system"]["requires"]))')
    "$PY" -m pip install -q --no-build-isolation "$ROOT[$extras]"
    echo "$want" > "$stamp"
  fi
}

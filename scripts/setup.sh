# Sourced by the project's commands. Installs what is missing on a Debian
# machine (system packages, a virtual environment in the checkout, the
# project with the extras asked for) and says nothing when all is there.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${TAMSEL_VENV:-$ROOT/.venv}"
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

# The requirements of one optional extra of the project ("demo", ...), or of
# the build itself ("build-system"), one per line, read from pyproject.toml.
requirements_of() {
  "$PY" - "$ROOT/pyproject.toml" "$1" <<'PYEOF'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)
name = sys.argv[2]
reqs = project["build-system"]["requires"] if name == "build-system" else project["project"]["optional-dependencies"][name]
print("\n".join(reqs))
PYEOF
}

# need_requirements STAMP REQUIREMENT...: installs the requirements unless the
# stamp says this exact list is already installed.
need_requirements() {
  local stamp="$VENV/.tamsel-$1" want
  shift
  want="$(printf '%s\n' "$@" | sha256sum | cut -c1-16)"
  [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && return 0
  # shellcheck disable=SC2086 # the options are separate words on purpose
  "$PY" -m pip install -q ${PIP_OPTIONS:-} "$@"
  echo "$want" > "$stamp"
}

# need_project EXTRAS: the virtual environment ($TAMSEL_VENV, else .venv in
# the checkout) with the project built from this checkout and the
# requirements of the given extras ("test", "demo,test", ...). Each extra is
# installed once; the project is rebuilt only when its sources change.
need_project() {
  local extras="$1" extra reqs
  need_build_tools
  if [ ! -x "$PY" ]; then
    say "Creating the virtual environment in $VENV"
    python3 -m venv "$VENV"
    "$PY" -m pip install -q --upgrade pip
  fi
  # The build requirements live in the environment, so that rebuilds reuse
  # the CMake build directory instead of starting over.
  mapfile -t reqs < <(requirements_of build-system)
  need_requirements build-system "${reqs[@]}"
  local stamp="$VENV/.tamsel-build" want
  want="$(source_hash)"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    say "Building and installing tamsel"
    "$PY" -m pip install -q --no-build-isolation --no-deps --force-reinstall "$ROOT"
    echo "$want" > "$stamp"
  fi
  for extra in ${extras//,/ }; do
    mapfile -t reqs < <(requirements_of "$extra")
    local options=()
    if [ "$extra" = bench ]; then
      # hnswlib is published as source only, and its build imports numpy and
      # pybind11: they go in first, and it is compiled here, where its own
      # build picks the machine's native instruction set.
      need_requirements bench-build numpy pybind11 setuptools wheel
      options=(--no-build-isolation --no-binary hnswlib)
    fi
    PIP_OPTIONS="${options[*]}" need_requirements "extra-$extra" "${reqs[@]}"
  done
}

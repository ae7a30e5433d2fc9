# Shared by the entry-point scripts: paths, Debian's Python, package installation.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Debian's interpreter: the one first on PATH may be a separate build that cannot
# see Debian's packages (psycopg2, pytest).
PYTHON=/usr/bin/python3
# The server's programs: PG_BIN when set, else the newest installed major version's
# (found once the packages are in; 15 on Debian 12, 17 on Debian 13).
PG_BIN="${PG_BIN:-}"

log() { printf '==> %s\n' "$*" >&2; }

# Installs, from Debian's archive, whatever of the build and test dependencies is missing
# (the distribution's own PostgreSQL major version), and pyright from npm, then finds the
# server's programs.
ensure_packages() {
  local wanted=(cmake g++ make python3-dev python3-psycopg2 python3-pytest
                python3-pytest-timeout python3-hypothesis python3-pip python3-setuptools python3-venv
                python3-mypy python3-typeshed libgtest-dev libbenchmark-dev postgresql postgresql-client procps)
  local missing=()
  for package in "${wanted[@]}" "$@"; do  # arguments: what one entry point alone needs
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  # pyright comes from npm: Debian's nodejs and npm, unless a node of another origin brought its own npm.
  if ! command -v npm >/dev/null; then
    missing+=(nodejs npm)
  fi
  if [ ${#missing[@]} -ne 0 ]; then
    log "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  ensure_pyright
  find_pg_bin
}

# The packaging test compares pyright's messages word for word: this version's.
PYRIGHT_VERSION=1.1.414

# Installs pyright from the npm registry unless this version is there. Only the packaging test
# uses it, and skips it when it is missing: without the registry the run goes on with a warning.
ensure_pyright() {
  [ "$(pyright --version 2>/dev/null)" = "pyright $PYRIGHT_VERSION" ] && return 0
  log "installing pyright $PYRIGHT_VERSION from npm"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" timeout 300 npm install --global --no-audit --no-fund --loglevel=error --fetch-retries=1 \
    "pyright@$PYRIGHT_VERSION" >/dev/null ||
    log "pyright $PYRIGHT_VERSION could not be installed: the packaging test skips it"
}

# Sets PG_BIN, unless it is set, to the newest installed server's program directory.
find_pg_bin() {
  [ -n "$PG_BIN" ] && return 0
  local found
  found="$(printf '%s\n' /usr/lib/postgresql/*/bin/pg_ctl | sort -V | tail -n 1)"
  if [ ! -x "$found" ]; then
    log "no PostgreSQL server found under /usr/lib/postgresql; install one or set PG_BIN"
    return 1
  fi
  PG_BIN="$(dirname "$found")"
}

# Configures and builds into $1 (default build/) with any further CMake arguments;
# BUILD_TARGET limits the build to one target (the module, for the demonstration).
build_project() {
  local dir="${1:-$ROOT/build}"
  shift || true
  cmake -S "$ROOT" -B "$dir" -DPython_EXECUTABLE="$PYTHON" -DVELMOR_BUILD_TESTS=ON -DVELMOR_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
}

# Makes the built module and the host stand-in importable for $1's build; $2 names another
# staging tree of that build (python-faults: the module's test twin, see CMakeLists.txt).
python_path_for() {
  printf '%s:%s' "$1/${2:-python}" "$ROOT/host"
}

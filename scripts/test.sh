#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ unit tests and the Python suite
# against a real PostgreSQL server (a throwaway one unless POSTGRES_* name one).
# Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/pg.sh"

ensure_packages pgbouncer  # the load test runs through it too
log "building"
build_project "$ROOT/build" -DCMAKE_BUILD_TYPE=Release

log "C++ unit tests"
ctest --test-dir "$ROOT/build" --output-on-failure --no-tests=error -j2

trap pg_stop EXIT INT TERM
pg_start
log "Python tests"
cd "$ROOT"
PYTHONPATH="$(python_path_for "$ROOT/build")" VELMOR_FAULTS_PYTHONPATH="$(python_path_for "$ROOT/build" python-faults)" \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@"

#!/usr/bin/env bash
# Sets up, builds and runs the demonstration of the store on a throwaway PostgreSQL
# (or on the server POSTGRES_* name, where it touches only its own tables).
source "$(dirname "${BASH_SOURCE[0]}")/pg.sh"

ensure_packages
log "building"
BUILD_TARGET=postgresql_history build_project "$ROOT/build" -DCMAKE_BUILD_TYPE=Release
trap pg_stop EXIT
trap 'exit 130' INT TERM
pg_start
PYTHONPATH="$(python_path_for "$ROOT/build")" "$PYTHON" "$ROOT/examples/demo.py"

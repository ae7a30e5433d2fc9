#!/usr/bin/env bash
# Builds the module and the C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the unit tests and the Python suite under them.
# Any sanitizer report fails the run. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/pg.sh"

ensure_packages pgbouncer  # the load test runs through it too
BUILD="$ROOT/build-sanitize"
log "building with AddressSanitizer and UndefinedBehaviorSanitizer"
build_project "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_SANITIZE=ON

REPORTS="$BUILD/sanitizer-reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
# The interpreter is not instrumented: its own allocations at exit are not ours to
# report, so leak checking stays with the C++ unit tests.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$REPORTS/asan"

log "C++ unit tests under the sanitizers"
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j2

trap pg_stop EXIT INT TERM
pg_start
log "Python tests under the sanitizers"
cd "$ROOT"
status=0
# PYTHONMALLOC=malloc: Python's own small-object allocator carves objects out of large
# arenas, where a read past the end of one object lands in the next and goes unseen; with
# malloc every object is an allocation of its own, bounded for the sanitizer.
PYTHONMALLOC=malloc ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$REPORTS/asan" \
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
VELMOR_UNDER_SANITIZER=1 PYTHONPATH="$(python_path_for "$BUILD")" \
VELMOR_FAULTS_PYTHONPATH="$(python_path_for "$BUILD" python-faults)" \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@" || status=$?

reports=$(find "$REPORTS" -type f | wc -l)
log "sanitizer reports: $reports"
if [ "$reports" -ne 0 ]; then
  cat "$REPORTS"/* >&2
  exit 1
fi
exit "$status"

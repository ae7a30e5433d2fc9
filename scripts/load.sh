#!/usr/bin/env bash
# The load test with fault injection (tests/python/test_load.py) at length, for
# bench/RESULTS.md: VELMOR_LOAD_WRITERS writers (8 unless set) for VELMOR_LOAD_SECONDS
# (300 unless set), directly and through PgBouncer, on the normal build (scripts/test.sh)
# and on the sanitizer build (scripts/sanitize.sh). At the defaults it takes about 25
# minutes and keeps both cores busy. Rewrites the section "Load with faults" at the end of
# bench/RESULTS.md, which bench.sh keeps as it is.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

export VELMOR_LOAD_WRITERS="${VELMOR_LOAD_WRITERS:-8}" VELMOR_LOAD_SECONDS="${VELMOR_LOAD_SECONDS:-300}"
out="$ROOT/bench/RESULTS.md"
report="$(mktemp)"
trap 'rm -f "$report" "$report".*' EXIT
for build in test sanitize; do
  log "$build.sh: the load test, $VELMOR_LOAD_WRITERS writers for $VELMOR_LOAD_SECONDS s, twice"
  VELMOR_LOAD_REPORT="$report.$build" bash "$ROOT/scripts/$build.sh" -k test_load
done
{
  # What comes before the section, without the blank lines that ended it.
  [ -f "$out" ] && awk '/^## Load with faults$/ { exit } { lines[++n] = $0 }
    END { while (n > 0 && lines[n] == "") n--; for (i = 1; i <= n; i++) print lines[i] }' "$out"
  echo
  echo "## Load with faults"
  echo
  echo "Recorded by \`bash scripts/load.sh\` on $(date -u +%Y-%m-%d): $(nproc) CPUs shared with other work,"
  echo "Python $("$PYTHON" -c 'import platform; print(platform.python_version())'), $(find_pg_bin && "$PG_BIN/postgres" --version),"
  echo "$(PATH="$PATH:/usr/sbin" pgbouncer --version | head -1). Each run: $VELMOR_LOAD_WRITERS writer processes for"
  echo "$VELMOR_LOAD_SECONDS s while one of their backends is terminated every 40 to 160 ms; \"transactions\""
  echo "counts the levels opened (\`begin\`), outermost and inner."
  for build in test sanitize; do
    echo
    if [ "$build" = test ]; then echo "Normal build (\`scripts/test.sh\`):"; else echo "Sanitizer build (\`scripts/sanitize.sh\`):"; fi
    echo
    echo '```'
    cat "$report.$build"
    echo '```'
  done
} >"$out.tmp"
mv "$out.tmp" "$out"
log "wrote the section \"Load with faults\" of $out"

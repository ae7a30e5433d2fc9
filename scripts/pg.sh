#!/usr/bin/env bash
# A throwaway PostgreSQL server of the project's own, or the one POSTGRES_* name.
#
#   source scripts/pg.sh && pg_start   # exports POSTGRES_* for the started server
#   pg_stop                            # stops it and removes its files
#
# When POSTGRES_HOST is already set, nothing is started or removed: that server is used.

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

_PG_OWNED=""

_as_server_user() {
  # The server refuses to run as root: run it as the postgres system user then.
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

pg_start() {
  if [ -n "${POSTGRES_HOST:-}" ]; then
    log "using the PostgreSQL server at ${POSTGRES_HOST}:${POSTGRES_PORT:-5432}"
    return 0
  fi
  find_pg_bin
  local dir port
  dir="$(mktemp -d /tmp/velmor-pg.XXXXXX)"
  chmod 755 "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$dir"
  _as_server_user "$PG_BIN/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >/dev/null
  local pin=()
  # VELMOR_PG_CPUS pins the server (and so its backends) to these CPUs, for benchmarks.
  [ -n "${VELMOR_PG_CPUS:-}" ] && pin=(taskset -c "$VELMOR_PG_CPUS")
  # A random port can be in use, by another server or as a client connection's local
  # port: another one is tried then, unless VELMOR_PG_PORT names the one to use.
  local attempt
  for attempt in 1 2 3 4 5; do
    port="${VELMOR_PG_PORT:-$(( 54000 + RANDOM % 1000 ))}"
    _as_server_user "${pin[@]}" "$PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off -c max_connections=100" \
      start >/dev/null && break
    if [ -n "${VELMOR_PG_PORT:-}" ] || [ "$attempt" -eq 5 ]; then
      log "could not start PostgreSQL (see $dir/server.log)"
      return 1
    fi
    log "could not start PostgreSQL on port $port; trying another"
  done
  _PG_OWNED="$dir"
  export VELMOR_PGDATA="$dir/data" VELMOR_PG_LOG="$dir/server.log" VELMOR_PG_CTL="$PG_BIN/pg_ctl"
  export POSTGRES_HOST=127.0.0.1 POSTGRES_PORT="$port" POSTGRES_USER=postgres POSTGRES_DATABASE=postgres
  unset POSTGRES_PASSWORD || true
  log "started a throwaway PostgreSQL on 127.0.0.1:$port ($dir)"
}

pg_stop() {
  [ -n "$_PG_OWNED" ] || return 0
  _as_server_user "$PG_BIN/pg_ctl" -D "$_PG_OWNED/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$_PG_OWNED"
  log "stopped the throwaway PostgreSQL"
  _PG_OWNED=""
}

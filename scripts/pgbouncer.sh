#!/usr/bin/env bash
# A throwaway PgBouncer in transaction pooling mode in front of one PostgreSQL server, for as
# long as standard input stays open:
#
#   bash scripts/pgbouncer.sh HOST PORT USER POOL_SIZE   # POSTGRES_PASSWORD: USER's, if any
#
# Prints the port it listens on (at 127.0.0.1) once it accepts connections, for any database
# of the server, with at most POOL_SIZE server connections for each database and user. When
# standard input ends (the caller closed it, or died), it stops the pooler at once and
# removes its files. As root the pooler runs as the postgres user: it refuses root.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ $# -ne 4 ]; then
  log "usage: bash scripts/pgbouncer.sh HOST PORT USER POOL_SIZE"
  exit 2
fi
PGBOUNCER="$(PATH="$PATH:/usr/sbin" command -v pgbouncer)" || { log "no pgbouncer: install Debian's pgbouncer"; exit 1; }
dir="$(mktemp -d /tmp/velmor-pgbouncer.XXXXXX)"
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
  chown postgres "$dir"
  as_owner=(runuser -u postgres --)
fi

halt() {
  local pid
  pid="$(cat "$dir/pgbouncer.pid" 2>/dev/null)" && kill -KILL "$pid" 2>/dev/null
  rm -f "$dir/pgbouncer.pid"
}
stop() {
  halt
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 1' INT TERM HUP

# trust: the pooler lets a listed user in without a password, and logs into the server with
# the password listed (none for a server that trusts it).
printf '"%s" "%s"\n' "$3" "${POSTGRES_PASSWORD:-}" >"$dir/users.txt"
for attempt in 1 2 3 4 5; do
  port=$(( 55000 + RANDOM % 1000 ))
  cat >"$dir/pgbouncer.ini" <<EOF
[databases]
* = host=$1 port=$2
[pgbouncer]
listen_addr = 127.0.0.1
listen_port = $port
unix_socket_dir =
auth_type = trust
auth_file = $dir/users.txt
pool_mode = transaction
default_pool_size = $4
max_client_conn = 500
logfile = $dir/pgbouncer.log
pidfile = $dir/pgbouncer.pid
EOF
  [ "$(id -u)" -eq 0 ] && chown postgres "$dir"/*
  # Daemonised, it may still fail to listen (a port in use): it then exits.
  "${as_owner[@]}" "$PGBOUNCER" -d -q "$dir/pgbouncer.ini" || continue
  for _ in $(seq 100); do
    if grep -q "listening on 127.0.0.1:$port" "$dir/pgbouncer.log" 2>/dev/null; then
      echo "$port"
      cat >/dev/null  # until standard input ends
      exit 0
    fi
    if pid="$(cat "$dir/pgbouncer.pid" 2>/dev/null)" && ! kill -0 "$pid" 2>/dev/null; then
      break
    fi
    sleep 0.1
  done
  log "PgBouncer did not listen on port $port: $(tail -n 2 "$dir/pgbouncer.log" 2>/dev/null)"
  halt
done
exit 1

# Shared by scripts/scale-demo.sh and the scale tests: a throw-away PostgreSQL server and
# HAProxy on loopback, each stopped by its process id. Source it, then call the functions.
# Everything lives below $SCALE_DIR (made by scale_init, removed by scale_cleanup).

# Exit status that CTest reads as "skipped".
SCALE_SKIP=77

scale_pg_bindir() {
  local dir
  for dir in /usr/lib/postgresql/15/bin /usr/lib/postgresql/*/bin; do
    [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ] && { echo "$dir"; return 0; }
  done
  return 1
}

# Says what is missing and returns 1 when PostgreSQL's server or HAProxy is not installed.
scale_check_packages() {
  local missing=()
  scale_pg_bindir >/dev/null || missing+=(postgresql)
  command -v haproxy >/dev/null || missing+=(haproxy)
  command -v psql >/dev/null || missing+=(postgresql-client)
  if ((${#missing[@]})); then
    echo "SKIPPED: Debian package(s) ${missing[*]} not installed (scripts/setup.sh installs them)"
    return 1
  fi
}

# A free TCP port on loopback (the kernel's choice; released again at once).
scale_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

scale_init() {
  SCALE_DIR="$(mktemp -d "${TMPDIR:-/tmp}/lumo-scale.XXXXXX")"
  chmod 755 "$SCALE_DIR" # the server runs as postgres when we are root
  SCALE_PIDS=()
}

# Runs a PostgreSQL program as the postgres user when we are root (the server refuses
# to run as root).
scale_as_pg() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# scale_pg_start PORT: a fresh cluster with user lumo (password in $PGPASSWORD, asked for
# over TCP) and database lumo. Sets PG_URL (without the password) and PG_PID.
scale_pg_start() {
  local port="$1" bin data="$SCALE_DIR/pg"
  bin="$(scale_pg_bindir)"
  mkdir -p "$data" "$SCALE_DIR/pgrun"
  export PGPASSWORD="lumo-$RANDOM$RANDOM"
  printf '%s\n' "$PGPASSWORD" >"$SCALE_DIR/pgpass"
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres "$data" "$SCALE_DIR/pgrun" "$SCALE_DIR/pgpass"
  fi
  scale_as_pg "$bin/initdb" -D "$data" -U lumo --pwfile="$SCALE_DIR/pgpass" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$SCALE_DIR/initdb.log" 2>&1 ||
    { cat "$SCALE_DIR/initdb.log"; return 1; }
  PG_PORT="$port"
  PG_URL="postgresql://lumo@127.0.0.1:$port/lumo"
  scale_pg_run || return 1
  scale_as_pg "$bin/createdb" -h "$SCALE_DIR/pgrun" -p "$port" -U lumo lumo
}

# Starts the server of scale_pg_start (again, after scale_pg_stop).
scale_pg_run() {
  scale_as_pg "$(scale_pg_bindir)/pg_ctl" -D "$SCALE_DIR/pg" -l "$SCALE_DIR/pgrun/postgres.log" -w -t 60 \
    -o "-p $PG_PORT -c listen_addresses=127.0.0.1 -c unix_socket_directories=$SCALE_DIR/pgrun -c max_connections=60" \
    start >/dev/null || { cat "$SCALE_DIR/pgrun/postgres.log"; return 1; }
  PG_PID="$(head -1 "$SCALE_DIR/pg/postmaster.pid")"
  SCALE_PIDS+=("$PG_PID")
}

# Fast shutdown of the server, by its process id.
scale_pg_stop() {
  scale_stop_pid "$PG_PID" INT
}

# psql on the demo database; extra arguments go to psql.
scale_psql() {
  psql -X -q -At -h 127.0.0.1 -p "$PG_PORT" -U lumo -d lumo "$@"
}

# scale_haproxy_start FRONT_PORT COLLECTOR1_PORT COLLECTOR2_PORT CHECK1_PORT CHECK2_PORT
#   [MAXCONN]: the CHECK ports are the collectors' --http ports.
scale_haproxy_start() {
  local here
  here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  LUMO_FRONT="127.0.0.1:$1" LUMO_COLLECTOR_1="127.0.0.1:$2" LUMO_COLLECTOR_2="127.0.0.1:$3" \
    LUMO_CHECK_PORT_1="$4" LUMO_CHECK_PORT_2="$5" LUMO_COLLECTOR_MAXCONN="${6:-64}" \
    haproxy -db -f "$here/deploy/haproxy.cfg" >"$SCALE_DIR/haproxy.log" 2>&1 &
  HAPROXY_PID=$!
  SCALE_PIDS+=("$HAPROXY_PID")
  scale_wait_port "$1" "$HAPROXY_PID" || { cat "$SCALE_DIR/haproxy.log"; return 1; }
}

# Waits (at most 20 s) until something listens on the loopback port; gives up at once
# when the process PID (if given) is gone.
scale_wait_port() {
  local i
  for ((i = 0; i < 200; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    if [ -n "${2:-}" ] && ! kill -0 "$2" 2>/dev/null; then
      echo "the process meant to listen on port $1 has ended" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

# Stops one process we started: SIGTERM (SIGINT, PostgreSQL's fast shutdown, for the
# server), then SIGKILL after 20 s.
scale_stop_pid() {
  local pid="$1" sig="${2:-TERM}" i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -"$sig" "$pid" 2>/dev/null
  for ((i = 0; i < 200; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
}

scale_cleanup() {
  local pid
  for pid in "${SCALE_PIDS[@]}"; do
    if [ "$pid" = "${PG_PID:-}" ]; then
      scale_stop_pid "$pid" INT
    else
      scale_stop_pid "$pid"
    fi
  done
  wait 2>/dev/null
  [ -n "${SCALE_KEEP:-}" ] && { echo "kept $SCALE_DIR"; return; }
  rm -rf "$SCALE_DIR"
}

# For the scale tests: exits 77 without the packages, else a fresh folder and server
# (stopped on exit). Failures are counted by fail and summed up by scale_test_end NAME.
scale_test_begin() {
  scale_check_packages || exit "$SCALE_SKIP"
  scale_init
  trap scale_cleanup EXIT
  scale_pg_start "$(scale_free_port)" || exit 1
  SCALE_FAILURES=0
}
fail() {
  echo "FAIL: $*"
  SCALE_FAILURES=$((SCALE_FAILURES + 1))
}
scale_test_end() { # NAME: exits 1 (keeping the logs) when a check failed
  if ((SCALE_FAILURES)); then
    echo "$1: $SCALE_FAILURES failure(s) (logs in $SCALE_DIR)"
    SCALE_KEEP=1
    exit 1
  fi
  echo "$1: all checks passed"
}

# Waits (at most 10 s) until the demo database holds a measurement of the DIN.
scale_wait_stored() {
  local i
  for ((i = 0; i < 200; i++)); do
    [ "$(scale_psql -c "SELECT count(*) FROM measurements WHERE din = '$1'" 2>/dev/null || echo 0)" -ge 1 ] && return 0
    sleep 0.05
  done
  return 1
}

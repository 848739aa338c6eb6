#!/usr/bin/env bash
# Collectors on one PostgreSQL (started here) when the server or the path to it fails:
#  1. device leases: a device held online by collector A stays A's through a terminated
#     backend and a server restart; collector B, asked by the same device meanwhile,
#     lets it go every time;
#  2. A frozen (SIGSTOP): B serves the device within the lease time; A, thawed, ends its
#     session under the lost lease and stores nothing more for it;
#  3. a frozen path (a proxy of ours that stops forwarding): the measurement is refused
#     within the deadline, storage goes down with the reason, SIGTERM ends the run in a
#     few seconds, and a start-up through the frozen path exits 3 in bounded time;
#  4. a synchronous-commit wait without a standby: start-up exits 3; in a run the
#     measurement is refused, and once the wait is lifted it comes again as a repeat;
#  5. a read-only session: storage down (and /healthz 503) until the database is reset,
#     then the probe on a fresh connection brings it back;
#  6. drain behind HAProxy: SIGUSR1, /healthz 503, the held device is let go, the
#     collector exits 0 and HAProxy sends the device to the other collector.
# Every sample checked: the measurements stored per DIN are counted against what the
# simulator handed over, each identity once.
# Usage: pg-leases.sh LUMO_COLLECT LUMO_SIM. Exit 77 when PostgreSQL or HAProxy is missing.
set -uo pipefail

collect="$1"
sim="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=../../scripts/lib/scale-env.sh
source "$here/scripts/lib/scale-env.sh"
scale_test_begin
count_of() { scale_psql -c "SELECT count(*), count(DISTINCT samples_sha256) FROM measurements WHERE din = '$1'" -F ' '; }
# Waits (at most SECS) until FILE has a line matching PATTERN.
wait_line() { # FILE PATTERN SECS
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# Starts a collector: NAME PORT [options...]; its pid in $started, its log NAME.log.
start_collector() {
  local name="$1" port="$2"
  shift 2
  "$collect" --tcp "$port" --no-status "$@" >"$SCALE_DIR/$name.log" 2>&1 &
  started=$!
  SCALE_PIDS+=("$started")
  scale_wait_port "$port" "$started" || { cat "$SCALE_DIR/$name.log"; return 1; }
}
healthz() { # PORT: "STATUS BODY"
  python3 - "$1" <<'PY'
import sys, urllib.request, urllib.error
try:
    r = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/healthz", timeout=5)
    print(r.status, r.read().decode().strip())
except urllib.error.HTTPError as e:
    print(e.code, e.read().decode().strip())
except OSError as e:
    print("000", e)
PY
}
sim_json() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$@"; }

# 1. Leases through a terminated backend and a restart.
a_port="$(scale_free_port)"
b_port="$(scale_free_port)"
start_collector A "$a_port" --db "$PG_URL" --hold || exit 1
a_pid=$started
start_collector B "$b_port" --db "$PG_URL" || exit 1
b_pid=$started
"$sim" --tcp "127.0.0.1:$a_port" --din 200000001 --measurements 3 --hold --idle-timeout 0 \
  --report "$SCALE_DIR/held.json" >/dev/null 2>&1 &
held=$!
SCALE_PIDS+=("$held")
wait_line "$SCALE_DIR/A.log" "200-000-001: transfer done, 3" 20 || fail "A did not serve the held device"
try_b() { # TAG: the same DIN calls B; B must let it go without a transfer
  "$sim" --tcp "127.0.0.1:$b_port" --din 200000001 --measurements 2 --seed 9 \
    --report "$SCALE_DIR/b-$1.json" >/dev/null 2>&1
  [ "$(sim_json "$SCALE_DIR/b-$1.json" measurementsHandedOver)" -eq 0 ] ||
    fail "$1: B took measurements of a device A serves"
}
try_b before
scale_psql -c "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'lumo-collect'" >/dev/null
sleep 1
try_b terminated
scale_as_pg "$(scale_pg_bindir)/pg_ctl" -D "$SCALE_DIR/pg" -m fast -w -t 60 restart >/dev/null 2>&1 ||
  fail "the server did not restart"
PG_PID="$(head -1 "$SCALE_DIR/pg/postmaster.pid")"
SCALE_PIDS+=("$PG_PID")
try_b restarted
sleep 5 # a renewal after the restart
try_b renewed
grep -q "lease on the device is lost" "$SCALE_DIR/A.log" && fail "A lost its lease without a cause"
[ "$(grep -c 'lumo-collect: 200-000-001: .*let go without a transfer (EXIT)' "$SCALE_DIR/B.log")" -eq 4 ] ||
  fail "B did not let the device go each time: $(grep 200-000-001 "$SCALE_DIR/B.log")"

# 2. A frozen: B serves the device once A's lease has run out.
kill -STOP "$a_pid"
frozen_at="$(date +%s.%N)"
served=0
for ((i = 0; i < 40; i++)); do
  "$sim" --tcp "127.0.0.1:$b_port" --din 200000001 --measurements 2 --seed 9 \
    --report "$SCALE_DIR/b-after.json" >/dev/null 2>&1
  if [ "$(sim_json "$SCALE_DIR/b-after.json" measurementsHandedOver)" -eq 2 ]; then
    served=1
    break
  fi
  sleep 1
done
took="$(python3 -c "import sys, time; print(f'{time.time() - float(sys.argv[1]):.1f}')" "$frozen_at")"
echo "device of the frozen collector served again after $took s"
((served)) || fail "B never served the device of the frozen collector"
python3 -c "import sys; sys.exit(float(sys.argv[1]) > 30)" "$took" || fail "B served it only after $took s"
kill -CONT "$a_pid"
wait_line "$SCALE_DIR/A.log" "200-000-001: this collector's lease on the device is lost" 15 ||
  fail "A, thawed, did not end the session under its lost lease"
read -r n distinct <<<"$(count_of 200-000-001)"
[ "$n" -eq 5 ] && [ "$distinct" -eq 5 ] || fail "200-000-001: $n stored ($distinct distinct), 5 expected"
scale_stop_pid "$a_pid"
scale_stop_pid "$b_pid"
scale_stop_pid "$held"

# 3. A frozen path.
proxy_out="$SCALE_DIR/proxy.port"
python3 "$here/tests/scale/freeze_proxy.py" "$PG_PORT" >"$proxy_out" 2>"$SCALE_DIR/proxy.log" &
proxy=$!
SCALE_PIDS+=("$proxy")
for ((i = 0; i < 50; i++)); do [ -s "$proxy_out" ] && break; sleep 0.1; done
via_proxy="postgresql://lumo@127.0.0.1:$(cat "$proxy_out")/lumo"
c_port="$(scale_free_port)"
start_collector C "$c_port" --db "$via_proxy" || exit 1
c_pid=$started
# A slow transfer (each answer frame 400 ms late); the path freezes once the first
# measurement is stored.
"$sim" --tcp "127.0.0.1:$c_port" --din 200000002 --measurements 3 --delay 400 \
  --handshake-timeout 10000 --report "$SCALE_DIR/frozen.json" >/dev/null 2>&1 &
frozen_sim=$!
SCALE_PIDS+=("$frozen_sim")
scale_wait_stored 200-000-002
kill -USR1 "$proxy"
wait "$frozen_sim"
handed="$(sim_json "$SCALE_DIR/frozen.json" measurementsHandedOver)"
read -r n distinct <<<"$(count_of 200-000-002)"
((handed >= 1 && handed < 3 && n == handed && distinct == n)) ||
  fail "frozen path: $handed handed over, $n stored ($distinct distinct)"
grep -q "STORAGE FAILED: PostgreSQL at .* did not answer within 2.5 s" "$SCALE_DIR/C.log" ||
  fail "frozen path: storage did not go down with the reason: $(grep -m3 STORAGE "$SCALE_DIR/C.log")"
t="$(date +%s%N)"
kill -TERM "$c_pid"
wait "$c_pid"
ms=$((($(date +%s%N) - t) / 1000000))
((ms < 8000)) || fail "frozen path: SIGTERM took $ms ms to end the run"
t="$(date +%s%N)"
"$collect" --tcp "$(scale_free_port)" --db "$via_proxy" --no-status >"$SCALE_DIR/C-start.log" 2>&1
status=$?
ms=$((($(date +%s%N) - t) / 1000000))
[ "$status" -eq 3 ] && ((ms < 15000)) || fail "frozen path at start: status $status after $ms ms"
kill -USR2 "$proxy"

# 4. A synchronous-commit wait (no standby will ever answer).
sync_wait() { scale_psql -d postgres -c "ALTER SYSTEM SET synchronous_standby_names = '$1'" -c "SELECT pg_reload_conf()" >/dev/null; }
d_port="$(scale_free_port)"
start_collector D "$d_port" --db "$PG_URL" || exit 1
d_pid=$started
sync_wait nobody
sleep 1
"$collect" --tcp "$(scale_free_port)" --db "$PG_URL" --no-status >"$SCALE_DIR/D-start.log" 2>&1
[ $? -eq 3 ] || fail "synchronous wait at start: not status 3 ($(cat "$SCALE_DIR/D-start.log"))"
"$sim" --tcp "127.0.0.1:$d_port" --din 200000003 --measurements 3 --report "$SCALE_DIR/sync1.json" >/dev/null 2>&1
[ "$(sim_json "$SCALE_DIR/sync1.json" measurementsHandedOver)" -eq 0 ] ||
  fail "synchronous wait: a measurement was acknowledged"
sync_wait ''
wait_line "$SCALE_DIR/D.log" "storage works again" 15 || fail "synchronous wait lifted: storage did not come back"
"$sim" --tcp "127.0.0.1:$d_port" --din 200000003 --measurements 3 --report "$SCALE_DIR/sync2.json" >/dev/null 2>&1 ||
  fail "synchronous wait lifted: the device was not served"
read -r n distinct <<<"$(count_of 200-000-003)"
[ "$n" -eq 3 ] && [ "$distinct" -eq 3 ] || fail "200-000-003: $n stored ($distinct distinct), 3 expected"

# 5. A read-only session, reset.
e_http="$(scale_free_port)"
e_port="$(scale_free_port)"
start_collector E "$e_port" --db "$PG_URL" --http "127.0.0.1:$e_http" || exit 1
e_pid=$started
"$sim" --tcp "127.0.0.1:$e_port" --din 200000004 --measurements 3 --delay 400 \
  --handshake-timeout 10000 --report "$SCALE_DIR/ro1.json" >/dev/null 2>&1 &
ro_sim=$!
SCALE_PIDS+=("$ro_sim")
scale_wait_stored 200-000-004
scale_psql -d postgres -c "ALTER DATABASE lumo SET default_transaction_read_only = on" \
  -c "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = 'lumo' AND pid <> pg_backend_pid()" >/dev/null
wait "$ro_sim"
grep -q "STORAGE FAILED: .*read-only transaction" "$SCALE_DIR/E.log" ||
  fail "read-only: storage did not go down with the reason: $(grep -m3 STORAGE "$SCALE_DIR/E.log")"
read -r code body <<<"$(healthz "$e_http")"
[ "$code" = 503 ] || fail "read-only: /healthz said $code $body"
sleep 6 # a probe on the read-only database fails too
grep -q "storage works again" "$SCALE_DIR/E.log" && fail "read-only: a probe passed on a read-only database"
scale_psql -d postgres -c "ALTER DATABASE lumo RESET default_transaction_read_only" >/dev/null
wait_line "$SCALE_DIR/E.log" "storage works again" 15 || fail "read-only reset: storage did not come back"
for ((i = 0; i < 100; i++)); do
  read -r code body <<<"$(healthz "$e_http")"
  [ "$code" = 200 ] && break
  sleep 0.2
done
[ "$code" = 200 ] || fail "read-only reset: /healthz said $code $body"
"$sim" --tcp "127.0.0.1:$e_port" --din 200000004 --measurements 3 --report "$SCALE_DIR/ro2.json" >/dev/null 2>&1 ||
  fail "read-only reset: the device was not served"
read -r n distinct <<<"$(count_of 200-000-004)"
[ "$n" -eq 3 ] && [ "$distinct" -eq 3 ] || fail "200-000-004: $n stored ($distinct distinct), 3 expected"
for pid in "$d_pid" "$e_pid"; do scale_stop_pid "$pid"; done

# 6. Drain behind HAProxy.
f_port="$(scale_free_port)" f_http="$(scale_free_port)"
g_port="$(scale_free_port)" g_http="$(scale_free_port)"
start_collector F "$f_port" --db "$PG_URL" --http "127.0.0.1:$f_http" --hold || exit 1
f_pid=$started
start_collector G "$g_port" --db "$PG_URL" --http "127.0.0.1:$g_http" || exit 1
g_pid=$started
front="$(scale_free_port)"
# Only F is known to HAProxy at first: the held device lands there.
scale_haproxy_start "$front" "$f_port" "$g_port" "$f_http" "$g_http" || exit 1
"$sim" --tcp "127.0.0.1:$f_port" --din 200000005 --measurements 2 --hold --idle-timeout 0 \
  --report "$SCALE_DIR/drain-held.json" >/dev/null 2>&1 &
drain_held=$!
SCALE_PIDS+=("$drain_held")
wait_line "$SCALE_DIR/F.log" "200-000-005: transfer done, 2" 20 || fail "drain: F did not serve the held device"
kill -USR1 "$f_pid"
read -r code body <<<"$(healthz "$f_http")"
[ "$code" = 503 ] && [[ "$body" == draining* ]] || fail "drain: /healthz said $code $body"
wait_line "$SCALE_DIR/haproxy.log" "collector1 is DOWN" 10 || fail "drain: HAProxy did not take F out"
wait "$f_pid"
status=$?
[ "$status" -eq 0 ] || fail "drain: F ended with status $status"
grep -q "stopped (drained)" "$SCALE_DIR/F.log" || fail "drain: F did not say it drained"
"$sim" --tcp "127.0.0.1:$front" --din 200000006 --measurements 2 --report "$SCALE_DIR/drain-next.json" >/dev/null 2>&1 ||
  fail "drain: the next device was not served through HAProxy"
grep -q "lumo-collect: device 200-000-006" "$SCALE_DIR/G.log" || fail "drain: G did not serve the next device"
read -r n distinct <<<"$(count_of 200-000-005)"
[ "$n" -eq 2 ] && [ "$distinct" -eq 2 ] || fail "200-000-005: $n stored ($distinct distinct), 2 expected"

scale_test_end pg-leases

#!/usr/bin/env bash
# Many devices, several collectors, one PostgreSQL, all on loopback:
#
#   lumo-sim processes (a few hundred devices) -> HAProxy -> 2 x lumo-collect -> PostgreSQL
#
# The server lives in a temporary folder (initdb, pg_ctl; run as the postgres user when
# started as root). First collector 1 serves alone, then both: sessions per second for
# each. With --kill, both serve from the start and collector 2 is killed with SIGKILL in
# the middle of the run: its devices call again through HAProxy and collector 1 serves
# them. At the end every device's measurements must be in the store exactly once; the
# script says so (exit 0) or says what is wrong (exit 1). Everything it started is
# stopped by process id. Exit 77: PostgreSQL or HAProxy is not installed.
#
# With --sqlite, the same fleet first goes to one collector on an SQLite file and then to
# one collector on a PostgreSQL database of its own, devices straight to each: the two
# stores compared on the same path (the phases behind HAProxy add its hop). Each phase
# says its CPU seconds per process (collector, PostgreSQL with all its backends,
# HAProxy) and how busy the machine was.
#
# Options: --devices N (300)  --sims K (30 simulator processes; each plays N/K devices,
# one per session)  --measurements M (3 per device)  --kill  --sqlite  --build DIR
# (build/)  --keep (leave the folder with the logs)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/scale-env.sh
source "$here/scripts/lib/scale-env.sh"

devices=300
sims=30
measurements=3
kill_one=0
sqlite=0
build_dir="${LUMO_BUILD_DIR:-$here/build}"
while (($#)); do
  case "$1" in
  --devices) devices="$2"; shift 2 ;;
  --sims) sims="$2"; shift 2 ;;
  --measurements) measurements="$2"; shift 2 ;;
  --kill) kill_one=1; shift ;;
  --sqlite) sqlite=1; shift ;;
  --build) build_dir="$2"; shift 2 ;;
  --keep) SCALE_KEEP=1; shift ;;
  *) echo "scale-demo: unknown option $1" >&2; exit 2 ;;
  esac
done
if ((sims < 1 || devices < sims || devices % sims)); then
  echo "scale-demo: --devices must be a multiple of --sims" >&2
  exit 2
fi
per_sim=$((devices / sims))

scale_check_packages || exit "$SCALE_SKIP"
collect="$build_dir/tools/lumo-collect/lumo-collect"
sim="$build_dir/tools/lumo-sim/lumo-sim"
if [ ! -x "$collect" ] || [ ! -x "$sim" ]; then
  echo "scale-demo: building first (scripts/setup.sh)"
  LUMO_BUILD_DIR="$build_dir" "$here/scripts/setup.sh"
fi

scale_init
trap scale_cleanup EXIT
pg_port="$(scale_free_port)"
front="$(scale_free_port)"
c1_port="$(scale_free_port)"
c2_port="$(scale_free_port)"
declare -A http_port=([1]="$(scale_free_port)" [2]="$(scale_free_port)" [3]="$(scale_free_port)"
  [4]="$(scale_free_port)")
scale_pg_start "$pg_port"
echo "PostgreSQL on 127.0.0.1:$pg_port (data in $SCALE_DIR/pg)"

declare -A collector_pid
start_collector() { # N PORT [DB]
  "$collect" --tcp "$2" --db "${3:-$PG_URL}" --http "127.0.0.1:${http_port[$1]}" --no-status \
    >"$SCALE_DIR/collector$1.log" 2>&1 &
  collector_pid[$1]=$!
  SCALE_PIDS+=("$!")
  scale_wait_port "$2" "$!" || { cat "$SCALE_DIR/collector$1.log"; return 1; }
}

# Waits until HAProxy's log says the collector's state (UP or DOWN).
wait_server() { # N STATE
  local i
  for ((i = 0; i < 150; i++)); do
    grep -q "collector$1 is $2" "$SCALE_DIR/haproxy.log" && return 0
    sleep 0.1
  done
  echo "HAProxy never saw collector$1 $2" >&2
  return 1
}

# Starts K simulator processes for devices FIRST.. (each its own DINs), ROUNDS turns per
# device; their pids land in sim_pids.
first_din=100000001
sim_extra=()
start_sims() { # FIRST_INDEX COUNT ROUNDS [PORT [REPORT_PREFIX [GAP_MS]]]
  local k din
  sim_pids=()
  for ((k = $1; k < $1 + $2; k++)); do
    din=$((first_din + k * per_sim))
    "$sim" --tcp "127.0.0.1:${4:-$front}" --devices "$per_sim" --din "$din" --seed "$din" \
      --measurements "$measurements" --device-per-session --sessions $((per_sim * $3)) \
      --session-gap "${6:-0}" "${sim_extra[@]}" --handshake-timeout 60000 --connect-timeout 20000 \
      --report "$SCALE_DIR/${5:-sim}$k.json" >"$SCALE_DIR/${5:-sim}$k.log" 2>&1 &
    sim_pids+=("$!")
    SCALE_PIDS+=("$!")
  done
}

# Waits for the simulators; a status other than 0 or 3 (3: a session ended with data
# left on a device, which the next session takes) is a failure.
wait_sims() {
  local pid status failed=0
  for pid in "${sim_pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then
      echo "a simulator failed (status $status)" >&2
      failed=1
    fi
  done
  return "$failed"
}

completed_sessions() { # FIRST_INDEX COUNT [REPORT_PREFIX]
  python3 - "$SCALE_DIR" "$1" "$2" "${3:-sim}" <<'PY'
import json, sys
d, first, count, prefix = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
print(sum(json.load(open(f"{d}/{prefix}{k}.json"))["sessionsCompleted"] for k in range(first, first + count)))
PY
}

# CPU seconds a process has used, with those of its children it has waited for (the
# PostgreSQL server: every backend that has ended) and those still running.
cpu_seconds() { # PID
  python3 - "$1" <<'PY'
import os, sys
tick = os.sysconf("SC_CLK_TCK")
def stat(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[1]), sum(int(v) for v in fields[11:15])  # ppid, utime..cstime
    except OSError:
        return None, 0
root = int(sys.argv[1])
total = stat(root)[1]
for name in os.listdir("/proc"):
    if name.isdigit() and int(name) != root:
        ppid, ticks = stat(int(name))
        if ppid == root:
            total += ticks
print(f"{total / tick:.2f}")
PY
}

# The machine's busy and total CPU ticks so far (all cores), "busy total".
machine_ticks() {
  awk '/^cpu / { t = 0; for (i = 2; i <= NF; i++) t += $i; print t - $5 - $6, t }' /proc/stat
}
machine_busy() { # TICKS_AT_START: the share of all cores busy since then
  local b0 t0 b1 t1
  read -r b0 t0 <<<"$1"
  read -r b1 t1 <<<"$(machine_ticks)"
  python3 -c "import sys; b, t = int(sys.argv[1]), int(sys.argv[2]); print(f'{100 * b / max(t, 1):.0f}%')" \
    $((b1 - b0)) $((t1 - t0))
}
cpu_table() { # LABEL PID... (name=pid pairs): CPU seconds used since the marks of cpu_mark
  local label="$1" pair name pid now
  shift
  local line="  CPU s in $label:"
  for pair in "$@"; do
    name="${pair%%=*}"
    pid="${pair#*=}"
    now="$(cpu_seconds "$pid")"
    line+=" $name $(minus "$now" "${cpu_mark[$name]:-0}")"
  done
  echo "$line"
}
declare -A cpu_mark
cpu_mark_all() { # name=pid...
  local pair
  for pair in "$@"; do
    cpu_mark[${pair%%=*}]="$(cpu_seconds "${pair#*=}")"
  done
}

now() { date +%s.%N; }
minus() { python3 -c "import sys; print(f'{float(sys.argv[1]) - float(sys.argv[2]):.1f}')" "$1" "$2"; }
rate() { python3 -c "import sys; print(f'{int(sys.argv[1]) / (float(sys.argv[3]) - float(sys.argv[2])):.1f}')" "$@"; }
stored() { scale_psql -c "SELECT count(*) FROM measurements"; }
# The devices whose session on collector N has begun and not ended in SLEEP.
open_sessions() { # N
  awk '/lumo-collect: device (again )?[0-9-]+$/ { open[$NF] = 1 }
    /lumo-collect: [0-9-]+: SLEEP$/ { d = $(NF - 1); sub(":", "", d); delete open[d] }
    END { for (d in open) print d }' "$SCALE_DIR/collector$1.log"
}
served_sessions() { cat "$SCALE_DIR"/collector*.log | grep -c ': SLEEP$' || true; }

# The first half of the devices straight to one collector N on DB (no HAProxy): sessions
# per second, CPU per process. DIRECT_PHASE N DB REPORT_PREFIX LABEL [name=pid...]
direct_phase() {
  local n="$1" db="$2" prefix="$3" label="$4" port ticks t t_end done_n
  shift 4
  port="$(scale_free_port)"
  start_collector "$n" "$port" "$db"
  cpu_mark_all "collector=${collector_pid[$n]}" "$@"
  ticks="$(machine_ticks)"
  t="$(now)"
  start_sims 0 "$half" 1 "$port" "$prefix"
  wait_sims || failed=1
  t_end="$(now)"
  done_n="$(completed_sessions 0 "$half" "$prefix")"
  echo "$label: $done_n sessions, $(rate "$done_n" "$t" "$t_end") sessions/s in $(minus "$t_end" "$t") s"
  cpu_table "it" "collector=${collector_pid[$n]}" "$@"
  echo "  machine: $(machine_busy "$ticks") of its $(nproc) cores busy (simulators, collectors, server)"
  scale_stop_pid "${collector_pid[$n]}"
}

echo "$devices devices in $sims simulator processes, $measurements measurements each; HAProxy on 127.0.0.1:$front"
start_collector 1 "$c1_port"
if ((kill_one)); then
  start_collector 2 "$c2_port"
  scale_haproxy_start "$front" "$c1_port" "$c2_port" "${http_port[1]}" "${http_port[2]}"
  # Five turns per device: a device cut off by the kill is served on a later turn (a
  # turn can also be lost in the moment before HAProxy knows the collector is gone).
  # The killed collector's leases run out only after 15 s, so a device calls again at
  # most every 6 s (the turns of a simulator's devices 6 s / N apart). Each frame and
  # its answer take 20 ms, as over a slow link, so that the kill finds sessions under way.
  sim_extra=(--rtt 20)
  start_sims 0 "$sims" 8 "$front" sim $((6000 / per_sim))
  # The kill comes in the first turns (sessions counted in the collectors' logs, which a
  # busy database cannot delay). A turn takes milliseconds, so the kill lands a turn or
  # two later than asked; every device it cuts off still has turns ahead of it.
  target=$((devices / 2))
  for ((i = 0; i < 1200; i++)); do
    (($(served_sessions) >= target)) && break
    sleep 0.05
  done
  # ... at a moment when collector 2 is in the middle of a session (the devices' turns
  # come in waves).
  for ((i = 0; i < 200; i++)); do
    [ -n "$(open_sessions 2)" ] && break
    sleep 0.02
  done
  kill -KILL "${collector_pid[2]}"
  killed_at="$(now)"
  echo "collector 2 killed with SIGKILL after $(stored) of $((devices * measurements)) measurements"
  # Its orphans: devices whose session on collector 2 had begun but not ended in SLEEP.
  orphans="$(open_sessions 2)"
  # Served again: collector 1 has sent the device to sleep once more since the kill.
  slept() { grep -c "lumo-collect: $1: SLEEP\$" "$SCALE_DIR/collector1.log" || true; }
  declare -A slept_at_kill
  for din in $orphans; do
    slept_at_kill[$din]="$(slept "$din")"
  done
  served_again=""
  for ((i = 0; i < 2400; i++)); do
    pending=0
    for din in $orphans; do
      (($(slept "$din") > ${slept_at_kill[$din]})) || pending=1
    done
    if ((pending == 0)); then
      served_again="$(now)"
      break
    fi
    sleep 0.05
  done
  wait_sims || failed=1
  sessions_total="$(completed_sessions 0 "$sims")"
else
  scale_haproxy_start "$front" "$c1_port" "$c2_port" "${http_port[1]}" "${http_port[2]}"
  wait_server 2 DOWN
  half=$((sims / 2))
  if ((sqlite)); then
    direct_phase 3 "$SCALE_DIR/sqlite.db" sqlite-sim "SQLite, one collector"
    # The same devices to one PostgreSQL collector, into a database of its own (the
    # checks below count the HAProxy phases' database).
    scale_psql -c "CREATE DATABASE lumo_direct" >/dev/null
    direct_phase 4 "${PG_URL%/lumo}/lumo_direct" direct-sim \
      "PostgreSQL, one collector, devices straight to it" "postgres=$PG_PID"
  fi
  pids=("collector1=${collector_pid[1]}" "postgres=$PG_PID" "haproxy=$HAPROXY_PID")
  cpu_mark_all "${pids[@]}"
  ticks="$(machine_ticks)"
  t0="$(now)"
  start_sims 0 "$half" 1
  wait_sims || failed=1
  t1="$(now)"
  echo "one collector (behind HAProxy):  $(completed_sessions 0 "$half") sessions, $(rate "$(completed_sessions 0 "$half")" "$t0" "$t1") sessions/s in $(minus "$t1" "$t0") s"
  cpu_table "it" "${pids[@]}"
  echo "  machine: $(machine_busy "$ticks") of its $(nproc) cores busy (simulators, collectors, server)"
  start_collector 2 "$c2_port"
  wait_server 2 UP
  pids+=("collector2=${collector_pid[2]}")
  cpu_mark_all "${pids[@]}"
  ticks="$(machine_ticks)"
  t2="$(now)"
  start_sims "$half" $((sims - half)) 1
  wait_sims || failed=1
  t3="$(now)"
  echo "two collectors (behind HAProxy): $(completed_sessions "$half" $((sims - half))) sessions, $(rate "$(completed_sessions "$half" $((sims - half)))" "$t2" "$t3") sessions/s in $(minus "$t3" "$t2") s"
  cpu_table "it" "${pids[@]}"
  echo "  machine: $(machine_busy "$ticks") of its $(nproc) cores busy (simulators, collectors, server)"
fi

# The collectors end with SIGTERM and print their summaries.
for n in 1 2; do
  scale_stop_pid "${collector_pid[$n]}"
done
for n in 1 2; do
  served="$(grep -c ': SLEEP$' "$SCALE_DIR/collector$n.log" || true)"
  repeats="$(grep -c 'not stored again$' "$SCALE_DIR/collector$n.log" || true)"
  letgo="$(grep -c 'let go without a transfer' "$SCALE_DIR/collector$n.log" || true)"
  echo "collector $n: $served sessions served, $repeats repeat(s) recognised, $letgo let go (another collector held the device)"
done
if ((kill_one)); then
  echo "sessions completed in all: $sessions_total"
  echo "devices in a session on collector 2 at the kill: $(wc -w <<<"$orphans") ($(echo $orphans))"
  if [ -z "$orphans" ]; then
    echo "FAILED: the kill cut no session, so nothing was shown (try more --devices)" >&2
    failed=1
  elif [ -n "$served_again" ]; then
    echo "time from SIGKILL until all of them were served again: $(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.2f}')" "$killed_at" "$served_again") s"
  else
    echo "FAILED: not every device cut off by the kill was served again" >&2
    failed=1
  fi
fi

# Every device's measurements exactly once: the store's count per DIN against the
# simulators' own account, and nothing left on any device.
check="$(python3 - "$SCALE_DIR" "$sims" "$measurements" "$first_din" "$per_sim" \
  "$(scale_psql -F ' ' -c "SELECT din, count(*), count(DISTINCT (dtime_packed, typeset, samples_sha256)) FROM measurements GROUP BY din")" <<'PY'
import json, sys
d, sims, m, first, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rows = {}
for line in sys.argv[6].splitlines():
    din, n, distinct = line.split()
    rows[din] = (int(n), int(distinct))
problems = []
left = 0
for k in range(sims):
    for dev in json.load(open(f"{d}/sim{k}.json"))["devices"]:
        left += dev["measurementsRemaining"]
expected = {f"{n // 1000000:03d}-{n // 1000 % 1000:03d}-{n % 1000:03d}" for n in range(first, first + sims * per)}
for din in sorted(expected):
    n, distinct = rows.get(din, (0, 0))
    if n != m or distinct != m:
        problems.append(f"{din}: {n} stored ({distinct} distinct), {m} expected")
extra = set(rows) - expected
problems += [f"{din}: not a device of this run" for din in sorted(extra)]
total = sum(n for n, _ in rows.values())
print(f"stored {total} measurement(s) of {len(expected)} devices; {left} left on the devices")
for p in problems[:20]:
    print("MISMATCH " + p)
sys.exit(1 if problems or left else 0)
PY
)" || failed=1
echo "$check"
if [ "${failed:-0}" -ne 0 ]; then
  echo "scale-demo: FAILED (logs in $SCALE_DIR)"
  SCALE_KEEP=1
  exit 1
fi
echo "scale-demo: every measurement stored exactly once"

#!/usr/bin/env bash
# The demo: builds liblumo (scripts/setup.sh), starts lumo-collect on free loopback
# ports, lets lumo-sim play a few devices holding several measurements each, and prints
# what was collected, with the database and one plotted measurement. The collector's web
# view (--http on 127.0.0.1) is open while it runs; afterwards `lumo-collect serve` shows
# the database until Ctrl-C when the demo runs on a terminal.
#
#   bash scripts/demo.sh                 outputs in out/demo/
#   DEMO_LINKS=3 bash scripts/demo.sh    three simulators, each with its own TCP channel
#
# Each simulator plays two devices on one connection; the simulators run at the same
# time, each towards a TCP channel of its own in the one lumo-collect.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${LUMO_BUILD_DIR:-$here/build}"
out="$here/out/demo"
links="${DEMO_LINKS:-2}"
devices_per_link=2
devices=$((links * devices_per_link))
measurements="${DEMO_MEASUREMENTS:-6}"
blocks="${DEMO_BLOCKS:-40}"
samples_per_block="${DEMO_SAMPLES_PER_BLOCK:-250}"

"$here/scripts/setup.sh"

collect="$build_dir/tools/lumo-collect/lumo-collect"
sim="$build_dir/tools/lumo-sim/lumo-sim"
for tool in "$collect" "$sim"; do
  [ -x "$tool" ] || { echo "demo: $tool was not built" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out"
db="$out/lumo.db"
log="$out/lumo-collect.log"

collect_pid=""
serve_pid=""
cleanup() {
  for pid in "$collect_pid" "$serve_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
}
trap cleanup EXIT

# Free ports: lumo-collect refuses a port in use with status 3 before it starts, so try
# random ones until it listens on all of them.
ports=()
for _ in $(seq 1 20); do
  candidates=()
  tcp_args=()
  for ((i = 0; i < links; i++)); do
    candidates+=($((20000 + RANDOM % 40000)))
    tcp_args+=(--tcp "${candidates[$i]}")
  done
  http_port=$((20000 + RANDOM % 40000))
  "$collect" "${tcp_args[@]}" --db "$db" --csv "$out/lumo.csv" --jsonl "$out/lumo.jsonl" \
    --max-devices "$devices" --exit-when-idle 60 --no-status -v \
    --http "127.0.0.1:$http_port" --expect-every 1h >"$log" 2>&1 &
  collect_pid=$!
  for _ in $(seq 1 100); do
    [ "$(grep -c "listening on TCP port" "$log" 2>/dev/null)" -ge "$links" ] && break
    kill -0 "$collect_pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$collect_pid" 2>/dev/null; then
    ports=("${candidates[@]}")
    break
  fi
  wait "$collect_pid" 2>/dev/null || true
  collect_pid=""
done
[ "${#ports[@]}" -gt 0 ] || { echo "demo: no free ports found" >&2; exit 1; }

echo "demo: web view of the run at http://127.0.0.1:$http_port/ (metrics: /metrics)"
echo "demo: lumo-collect listens on 127.0.0.1 ports ${ports[*]}; $links simulators play" \
  "$devices devices with $measurements measurements of $((blocks * samples_per_block)) samples each"
start_ns=$(date +%s%N)
sim_pids=()
for ((i = 0; i < links; i++)); do
  "$sim" --tcp "127.0.0.1:${ports[$i]}" --devices "$devices_per_link" --din $((123456001 + 100 * i)) \
    --measurements "$measurements" --blocks "$blocks" --samples-per-block "$samples_per_block" \
    --report "$out/sim-report-$((i + 1)).json" >"$out/lumo-sim-$((i + 1)).log" 2>&1 &
  sim_pids+=($!)
done
sim_failed=0
for pid in "${sim_pids[@]}"; do
  wait "$pid" || sim_failed=1
done
end_ns=$(date +%s%N)
collect_status=0
wait "$collect_pid" || collect_status=$?
collect_pid=""
if [ "$sim_failed" -ne 0 ] || [ "$collect_status" -ne 0 ]; then
  echo "demo: a simulator or lumo-collect reported a failure (lumo-collect status" \
    "$collect_status); see the logs in $out" >&2
fi

first_din=$(sqlite3 "$db" "SELECT din FROM measurements ORDER BY id LIMIT 1")
[ -n "$first_din" ] || { echo "demo: no measurement was stored" >&2; exit 1; }
"$collect" plot --db "$db" --din "$first_din" --index -1 -o "$out/measurement.svg" >/dev/null
png=""
if command -v rsvg-convert >/dev/null; then
  rsvg-convert "$out/measurement.svg" -o "$out/measurement.png" && png="$out/measurement.png"
fi

read -r n_devices n_measurements n_samples < <(sqlite3 -separator ' ' "$db" \
  "SELECT COUNT(DISTINCT din), COUNT(*), COALESCE(SUM(sample_count), 0) FROM measurements")
elapsed_ms=$(((end_ns - start_ns) / 1000000))
echo
echo "devices         $n_devices"
echo "measurements    $n_measurements"
echo "samples         $n_samples"
echo "time            $((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000))) s (first connection to last sleep)"
if [ "$elapsed_ms" -gt 0 ]; then
  echo "throughput      $((n_samples * 1000 / elapsed_ms)) samples/s" \
    "($((n_samples * 2 * 1000 / elapsed_ms / 1024)) KiB/s of sample data, each measurement committed)"
fi
echo
echo "database        $db"
echo "                sqlite3 $db 'SELECT din, measured_at, sample_count FROM measurements'"
echo "plot            $out/measurement.svg${png:+ (and $png)}, DIN $first_din, its latest measurement"
echo "exports         $out/lumo.csv and $out/lumo.jsonl"
echo "logs            $log, $out/lumo-sim-*.log, $out/sim-report-*.json"
[ "$sim_failed" -eq 0 ] && [ "$collect_status" -eq 0 ] || exit 1

# The collector has ended; the same view of the database, without collecting.
"$collect" serve --db "$db" --http "127.0.0.1:$http_port" --expect-every 1h \
  >"$out/lumo-collect-serve.log" 2>&1 &
serve_pid=$!
for _ in $(seq 1 100); do
  grep -q "web view" "$out/lumo-collect-serve.log" 2>/dev/null && break
  kill -0 "$serve_pid" 2>/dev/null || break
  sleep 0.05
done
if kill -0 "$serve_pid" 2>/dev/null; then
  echo "web view        http://127.0.0.1:$http_port/ (lumo-collect serve --db $db)"
  if [ -t 0 ]; then
    echo "                open it in a browser; Ctrl-C ends the demo"
    wait "$serve_pid" || true
  fi
else
  echo "demo: lumo-collect serve did not start; see $out/lumo-collect-serve.log" >&2
  exit 1
fi

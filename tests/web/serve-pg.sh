#!/usr/bin/env bash
# The fleet view over PostgreSQL: a collector fills a store on a real server (started
# here, in a temporary folder), then `lumo-collect serve` alone shows it; the API's
# counts, pages and samples match what psql reads, and the metrics say "serve".
# Usage: serve-pg.sh LUMO_COLLECT LUMO_SIM. Exit 77 when PostgreSQL is missing.
set -uo pipefail

collect="$1"
sim="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=../../scripts/lib/scale-env.sh
source "$here/scripts/lib/scale-env.sh"
scale_pg_bindir >/dev/null && command -v psql >/dev/null ||
  { echo "SKIPPED: postgresql not installed (scripts/setup.sh installs it)"; exit "$SCALE_SKIP"; }
scale_init
trap scale_cleanup EXIT
scale_pg_start "$(scale_free_port)" || exit 1

devices=6
measurements=2
first_din=123456001
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

port="$(scale_free_port)"
"$collect" --tcp "$port" --db "$PG_URL" --no-status >"$SCALE_DIR/collector.log" 2>&1 &
collector=$!
SCALE_PIDS+=("$collector")
scale_wait_port "$port" "$collector" || exit 1
"$sim" --tcp "127.0.0.1:$port" --fleet "$devices" --din "$first_din" \
  --measurements "$measurements" --blocks 3 >"$SCALE_DIR/sim.log" 2>&1 || fail "lumo-sim: $(cat "$SCALE_DIR/sim.log")"
scale_stop_pid "$collector"

http="$(scale_free_port)"
"$collect" serve --db "$PG_URL" --http "127.0.0.1:$http" --expect-every 1h \
  >"$SCALE_DIR/serve.log" 2>&1 &
serve=$!
SCALE_PIDS+=("$serve")
scale_wait_port "$http" "$serve" || { cat "$SCALE_DIR/serve.log"; exit 1; }
api() { curl -sS --max-time 10 "http://127.0.0.1:$http$1"; }
field() { python3 -c "import json, sys; d = json.load(sys.stdin); print($1)"; }

got="$(api /api/fleet | field 'd["devices"], d["measurements"], d["overdue"]')"
want="$devices $((devices * measurements)) 0"
[ "$got" = "$want" ] || fail "fleet counts $got, psql says $want"
got="$(api '/api/devices?sort=din&order=desc&limit=2' |
  field '[d["total"]] + [(x["din"], x["measurements"], x["last_session"]["outcome"]) for x in d["devices"]]')"
want="[$devices, ('123-456-006', $measurements, 'measurements'), ('123-456-005', $measurements, 'measurements')]"
[ "$got" = "$want" ] || fail "device page $got, expected $want"

id="$(scale_psql -c "SELECT max(id) FROM measurements WHERE din = '123-456-003'")"
stored="$(scale_psql -c "SELECT encode(samples, 'hex') FROM measurements WHERE id = $id")"
served="$(api "/api/measurements/$id" |
  field '"".join(v.to_bytes(2, "little").hex() for v in d["samples"])')"
[ -n "$stored" ] && [ "$served" = "$stored" ] || fail "samples of measurement $id differ from the store's"
api /metrics | grep -q '^lumo_collect_build_info{version="[^"]*",mode="serve"} 1$' ||
  fail "/metrics does not say it serves"
api /metrics | grep -qx "lumo_collect_store_measurements $((devices * measurements))" ||
  fail "/metrics does not count the store's measurements"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$http/healthz")" = 200 ] ||
  fail "/healthz of serve is not 200"

# The server goes away: the API says 503 and /healthz says why, serve goes on.
scale_pg_stop
code="$(curl -s -o "$SCALE_DIR/down.json" -w '%{http_code}' "http://127.0.0.1:$http/api/devices")"
[ "$code" = 503 ] || fail "/api/devices with the server stopped: $code"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$http/healthz")" = 503 ] ||
  fail "/healthz of serve with the server stopped is not 503"
kill -0 "$serve" 2>/dev/null || fail "serve ended when the server went away"

[ "$failures" -eq 0 ] && echo "serve over PostgreSQL: all checks passed"
exit $((failures > 0))

"""A real Prometheus scrapes the collector's /metrics (with the token) every second during a
lumo-sim run; what it stored, read back through its query API, matches the database, and
promtool accepts the exposition."""

import json, os, subprocess, urllib.parse

from conftest import BOUND, free_port, http_get, needs, stop, wait_until

DEVICES, MEASUREMENTS, SESSIONS = 40, 3, 2
RAMP_MS = 4000  # devices start over 4 s, so scrapes fall inside the run


def start_prometheus(folder, target, token_file):
    port = free_port()
    config = os.path.join(folder, "prometheus.yml")
    with open(config, "w") as f:
        f.write(f"""global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: lumo
    authorization:
      credentials_file: {token_file}
    static_configs:
      - targets: ['{target}']
""")
    log = open(os.path.join(folder, "prometheus.log"), "w")
    process = subprocess.Popen(
        ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={folder}/tsdb",
         f"--web.listen-address=127.0.0.1:{port}"],
        stdout=log, stderr=subprocess.STDOUT, cwd=folder)
    return process, f"http://127.0.0.1:{port}"


def value(prometheus, expr):
    """The single value of an instant query, or None while it has no result."""
    url = prometheus + "/api/v1/query?" + urllib.parse.urlencode({"query": expr})
    status, _, body = http_get(url, token=None)
    assert status == 200, body
    result = json.loads(body)["data"]["result"]
    return float(result[0]["value"][1]) if result else None


def test_prometheus_scrapes_a_run_and_agrees_with_the_database(collector, tmp_path):
    needs("prometheus", "promtool")
    c = collector()
    prometheus, prom_url = start_prometheus(str(tmp_path), f"127.0.0.1:{c.http}", c.token_file)
    try:
        def scraping():
            assert prometheus.poll() is None, "prometheus ended; see prometheus.log"
            try:  # 503 until its storage is ready
                return (http_get(prom_url + "/-/ready", token=None)[0] == 200 and
                        value(prom_url, 'up{job="lumo"}') == 1)
            except OSError:  # not listening yet
                return False

        wait_until("Prometheus to scrape the collector", scraping)
        c.play(DEVICES, MEASUREMENTS, extra=["--sessions", str(SESSIONS), "--ramp-ms", str(RAMP_MS)])

        stored, samples = c.query("SELECT count(*), sum(sample_count) FROM measurements")[0]
        assert stored == DEVICES * MEASUREMENTS
        expected = {
            "lumo_collect_measurements_stored_total": stored,
            "lumo_collect_samples_stored_total": samples,
            "lumo_collect_measurement_repeats_total": stored * (SESSIONS - 1),
            'lumo_collect_sessions_total{outcome="transferred"}': DEVICES * SESSIONS,
            'lumo_collect_sessions_total{outcome="transfer_failed"}': 0,
            "lumo_collect_write_latency_seconds_count": stored * SESSIONS,
            "lumo_collect_store_devices": c.query("SELECT count(*) FROM devices")[0][0],
            "lumo_collect_store_measurements": stored,
            "lumo_collect_storage_up": 1,
            "lumo_collect_connections": 0,
        }
        got = {}

        def agrees():
            got.update({name: value(prom_url, name) for name in expected})
            return got == expected

        try:
            wait_until("Prometheus' values to reach the database's", agrees, bound=BOUND)
        finally:
            print("Prometheus:", got)
        # Scraped while the run went on, not only at its end.
        assert value(prom_url, "changes(lumo_collect_measurements_stored_total[10m])") >= 2
        assert value(prom_url, "max_over_time(lumo_collect_devices_seen[10m])") == DEVICES
        # Every measurement waited less than the device's 3 s for its commit.
        assert value(prom_url, 'lumo_collect_write_latency_seconds_bucket{le="2.5"}') == stored * SESSIONS
    finally:
        stop(prometheus)

    status, headers, exposition = http_get(c.url + "/metrics")
    assert status == 200 and headers["Content-Type"].startswith("text/plain; version=0.0.4")
    check = subprocess.run(["promtool", "check", "metrics"], input=exposition,
                           capture_output=True, timeout=BOUND)
    assert check.returncode == 0 and not check.stdout.strip(), check.stdout + check.stderr
    assert b"din" not in exposition, "no per-device label"
    assert http_get(c.url + "/metrics", token=None)[0] == 401

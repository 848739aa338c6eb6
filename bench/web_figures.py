#!/usr/bin/env python3
"""The web view's figures: collection throughput with /metrics scraped every second by
Prometheus and the view open in Chromium against without (one run, alternating), the time of
/api/devices pages over 100 000 devices, and the page load of a 65 536-sample plot.

    python3 bench/web_figures.py [--build build] [--rounds 3] [--devices 300]
"""

import argparse, json, os, shutil, signal, socket, sqlite3, statistics, subprocess, sys, tempfile
import time, urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url):
    with urllib.request.urlopen(url, timeout=30) as r:
        return r.read()


def wait_http(url, bound=30):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        try:
            get(url)
            return
        except OSError:
            time.sleep(0.1)
    raise SystemExit(f"no answer from {url}")


def stop(p):
    if p.poll() is None:
        os.kill(p.pid, signal.SIGTERM)
        p.wait(30)


def start(args, folder, name):
    return subprocess.Popen(args, stdout=open(os.path.join(folder, name + ".log"), "w"),
                            stderr=subprocess.STDOUT, cwd=folder)


def browser(folder):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which("chromium")
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1280,800", f"--user-data-dir={folder}/chromium"):
        o.add_argument(a)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=o)


def cpu_seconds(pid):
    """User and system CPU time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def collection_round(a, folder, watched):
    """Sessions per second of one lumo-sim fleet into a fresh collector, and the
    collector's CPU milliseconds per session (its own cost, whatever else the machine runs)."""
    db = os.path.join(folder, f"run-{time.monotonic_ns()}.db")
    tcp, http = free_port(), free_port()
    args = [a.collect, "--tcp", str(tcp), "--db", db, "--no-status"]
    if watched:
        args += ["--http", f"127.0.0.1:{http}"]
    collector = start(args, folder, "collector")
    extra = []
    try:
        if watched:
            wait_http(f"http://127.0.0.1:{http}/healthz")
            cfg = os.path.join(folder, "prometheus.yml")
            with open(cfg, "w") as f:
                f.write("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n"
                        f"  - job_name: lumo\n    static_configs: [{{targets: ['127.0.0.1:{http}']}}]\n")
            extra.append(start(["prometheus", f"--config.file={cfg}",
                                f"--storage.tsdb.path={folder}/tsdb-{http}",
                                f"--web.listen-address=127.0.0.1:{free_port()}"], folder, "prometheus"))
            view = browser(folder)
            view.get(f"http://127.0.0.1:{http}/#/")
        time.sleep(2)  # both runs start alike: Prometheus has begun scraping
        cpu = cpu_seconds(collector.pid)
        begin = time.monotonic()
        sim = subprocess.run([a.sim, "--tcp", f"127.0.0.1:{tcp}", "--fleet", str(a.devices),
                              "--measurements", "5", "--sessions", "2"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if sim.returncode not in (0, 3):  # 3: a session left data behind (said below)
            raise SystemExit(f"lumo-sim failed with {sim.returncode}")
        if sim.returncode == 3:
            print(f"note: a {'watched' if watched else 'plain'} round left measurements on a "
                  "device (a session timed out on the loaded machine)")
        seconds = time.monotonic() - begin
        time.sleep(1)  # the last status tick and scrape
        cpu = cpu_seconds(collector.pid) - cpu
    finally:
        if watched:
            view.quit()
        for p in extra:
            stop(p)
        stop(collector)
    sessions = 2 * a.devices
    return sessions / seconds, 1000 * cpu / sessions


def make_store(a, folder, devices):
    """A store of `devices` devices, one short measurement each, and one of 65 536 samples."""
    db = os.path.join(folder, "fleet.db")
    tcp = free_port()
    c = start([a.collect, "--tcp", str(tcp), "--db", db, "--no-status"], folder, "schema")
    time.sleep(1)
    stop(c)
    with sqlite3.connect(db) as s:
        rows = [(f"{100000000 + i:09d}", i) for i in range(devices)]
        s.executemany("INSERT INTO devices (din, first_seen, last_seen) VALUES "
                      "(substr(?1,1,3)||'-'||substr(?1,4,3)||'-'||substr(?1,7,3), "
                      "'2026-01-01T00:00:00.000', strftime('%Y-%m-%dT%H:%M:%f', 'now', "
                      "'localtime', '-' || (?2 % 7200) || ' seconds'))", rows)
        s.execute("INSERT INTO measurements (din, received_at, measured_at, dtime_packed, typeset,"
                  " ns, nss, sample_count, samples, samples_sha256) SELECT din, last_seen, "
                  "'2026-01-01 00:00:00', rowid, 1, 4, 4, 4, x'0100020003000400', "
                  "randomblob(32) FROM devices")
        big = bytes(i & 0xFF for i in range(2 * 65536))
        s.execute("INSERT INTO measurements (din, received_at, measured_at, dtime_packed, typeset,"
                  " ns, nss, sample_count, samples, samples_sha256) VALUES ('100-000-000', "
                  "'2026-01-01T00:00:00.000', '2026-01-01 00:00:00', 1, 2, 0, 0, 65536, ?, "
                  "randomblob(32))", (big,))
        big_id = s.execute("SELECT max(id) FROM measurements").fetchone()[0]
    return db, big_id


def api_times(url, rounds, pid):
    pages = {"by DIN": "", "last contact, newest": "sort=last_seen&order=desc",
             "measurements, most": "sort=measurements&order=desc", "filtered": "q=100-04",
             "overdue only": "overdue=1", "last page": "offset=99950"}
    out = {}
    for name, query in pages.items():
        times = []
        cpu = cpu_seconds(pid)
        for _ in range(rounds):
            begin = time.monotonic()
            body = json.loads(get(f"{url}/api/devices?{query}"))
            times.append((time.monotonic() - begin) * 1000)
        cpu_ms = (cpu_seconds(pid) - cpu) * 1000 / rounds  # the server's own work
        out[name] = (statistics.median(times), max(times), body["total"], cpu_ms)
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--devices", type=int, default=300)
    p.add_argument("--only-view", action="store_true", help="skip the collection rounds")
    a = p.parse_args()
    a.collect = os.path.join(a.build, "tools/lumo-collect/lumo-collect")
    a.sim = os.path.join(a.build, "tools/lumo-sim/lumo-sim")
    folder = tempfile.mkdtemp(prefix="lumo-web-figures-")
    try:
        print(f"command: python3 bench/web_figures.py --rounds {a.rounds} --devices {a.devices}")
        plain, watched = [], []
        for _ in range(0 if a.only_view else a.rounds):  # alternating: drifts hit both
            plain.append(collection_round(a, folder, False))
            watched.append(collection_round(a, folder, True))
        for i, what in ((0, "sessions/s"), (1, "collector CPU ms per session")):
            if not plain:
                break
            mp = statistics.median(r[i] for r in plain)
            mw = statistics.median(r[i] for r in watched)
            print(f"collection, {what} (median of {a.rounds}): without {mp:.2f} "
                  f"{[round(r[i], 2) for r in plain]}, scraped every 1 s + view open {mw:.2f} "
                  f"{[round(r[i], 2) for r in watched]}: {mw / mp:.3f} x")

        db, big_id = make_store(a, folder, 100000)
        http = free_port()
        serve = start([a.collect, "serve", "--db", db, "--http", f"127.0.0.1:{http}",
                       "--expect-every", "1h"], folder, "serve")
        url = f"http://127.0.0.1:{http}"
        try:
            wait_http(url + "/healthz")
            for name, (median, worst, total, cpu) in api_times(url, 5, serve.pid).items():
                print(f"/api/devices, 100 000 devices, page of 50, {name}: median {median:.1f} ms, "
                      f"worst {worst:.1f} ms, server CPU {cpu:.1f} ms ({total} match)")
            view = browser(folder)
            try:
                loads = []
                for _ in range(5):
                    view.get("about:blank")
                    view.get(f"{url}/#/measurement/{big_id}")
                    deadline = time.monotonic() + 60
                    while not view.execute_script("return document.body && document.body.dataset.plotDone"):
                        if time.monotonic() > deadline:
                            raise SystemExit("the plot did not appear")
                        time.sleep(0.02)
                    loads.append(float(view.execute_script("return document.body.dataset.plotDone")))
                print(f"page load of a 65 536-sample plot (navigation to drawn): median "
                      f"{statistics.median(loads):.0f} ms {[round(x) for x in loads]}")
            finally:
                view.quit()
        finally:
            stop(serve)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

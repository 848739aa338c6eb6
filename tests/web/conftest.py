"""A collector with its web view, lumo-sim fleets, HTTP with a token, processes stopped by pid."""

import os, shutil, signal, socket, sqlite3, subprocess, time, urllib.error, urllib.request

import pytest

BOUND = 60  # seconds; generous for a loaded 2-core machine
TOKEN = "t0ken-for-the-test"
FIRST_DIN = 123456001


def needs(*programs):
    """Skips the test when a package's program is missing (CTest reports it skipped)."""
    missing = [p for p in programs if not shutil.which(p)]
    if missing:
        pytest.skip(f"MISSING-PACKAGE: {', '.join(missing)} (scripts/setup.sh installs it)")


def tool(name):
    path = os.environ.get(name)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{name} is not set to an executable (the tests run from CTest)")
    return path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def din_text(din):
    return "{0}{1}{2}-{3}{4}{5}-{6}{7}{8}".format(*f"{din:09d}")


def wait_until(what, check, bound=BOUND, every=0.2):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(every)
    raise AssertionError(f"gave up after {bound} s waiting for {what}")


def http_get(url, token=TOKEN):
    """(status, headers, body) of a GET; 4xx and 5xx answers are returned, not raised."""
    request = urllib.request.Request(url)
    if token:
        request.add_header("Authorization", f"Bearer {token}")
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def stop(process, bound=BOUND):
    """SIGTERM by pid, then a bounded wait; SIGKILL if it did not end."""
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(bound)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()


class Collector:
    """lumo-collect --tcp with --http on 127.0.0.1, a token file and an SQLite store."""

    def __init__(self, folder, extra=()):
        self.tcp, self.http = free_port(), free_port()
        self.db = os.path.join(folder, "fleet.db")
        self.token_file = os.path.join(folder, "token")
        with open(self.token_file, "w") as f:
            f.write(TOKEN + "\n")
        self.log = open(os.path.join(folder, "collector.log"), "w")
        self.process = subprocess.Popen(
            [tool("LUMO_COLLECT"), "--tcp", str(self.tcp), "--db", self.db, "--no-status",
             "--http", f"127.0.0.1:{self.http}", "--http-token-file", self.token_file, *extra],
            stdout=self.log, stderr=subprocess.STDOUT)
        self.url = f"http://127.0.0.1:{self.http}"
        wait_until("the collector's /healthz", self.healthy)

    def healthy(self):
        assert self.process.poll() is None, f"lumo-collect ended with {self.process.returncode}"
        try:
            return http_get(self.url + "/healthz", token=None)[0] == 200
        except OSError:
            return False

    def play(self, devices, measurements, first=FIRST_DIN, extra=()):
        """A lumo-sim fleet that connects, hands everything over and goes to sleep."""
        sim = subprocess.run(
            [tool("LUMO_SIM"), "--tcp", f"127.0.0.1:{self.tcp}", "--fleet", str(devices),
             "--din", str(first), "--measurements", str(measurements), *extra],
            capture_output=True, text=True, timeout=BOUND * 2)
        assert sim.returncode == 0, sim.stdout + sim.stderr

    def query(self, sql, *args):
        with sqlite3.connect(f"file:{self.db}?mode=ro", uri=True) as db:
            return db.execute(sql, args).fetchall()

    def close(self):
        stop(self.process)
        self.log.close()


@pytest.fixture
def collector(tmp_path):
    started = []

    def start(extra=()):
        started.append(Collector(str(tmp_path), extra))
        return started[-1]

    yield start
    for c in started:
        c.close()

"""lumo-collect as a service: exports read back (CSV, JSONL, HDF5 through h5py), the
version-2 PostgreSQL store upgraded across the end of summer time, --listen on IPv6,
the log file reopened on SIGHUP, and the systemd unit checked by systemd-analyze."""

import csv, json, os, pathlib, shutil, signal, subprocess, tempfile

import numpy as np
import pytest

import lumo
from conftest import BOUND, FIRST_DIN, din_text, expected_samples, expected_time, free_port, tool, wait_until

DEVICES, STORED, SAMPLES = 2, 3, 800
REPO = pathlib.Path(__file__).resolve().parents[2]


def collect(args, **kwargs):
    return subprocess.Popen([tool("LUMO_COLLECT"), "--no-status", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


def device(host_port, din):
    sim = subprocess.run([tool("LUMO_SIM"), "--tcp", host_port, "--din", str(din)],
                         capture_output=True, text=True, timeout=BOUND)
    assert sim.returncode == 0, sim.stderr


@pytest.fixture(scope="module")
def collected(tmp_path_factory):
    """A database from two devices over IPv6 and IPv4 (--listen), with the run's exports."""
    d = tmp_path_factory.mktemp("service")
    p6, p4 = free_port(), free_port()
    c = collect(["--listen", f"[::1]:{p6}", "--listen", f"127.0.0.1:{p4}", "--db", str(d / "lumo.db"),
                 "--max-devices", str(DEVICES), "--csv", str(d / "run.csv"), "--jsonl", str(d / "run.jsonl"),
                 "--hdf5", str(d / "run.h5")])
    try:
        device(f"[::1]:{p6}", FIRST_DIN)
        device(f"127.0.0.1:{p4}", FIRST_DIN + 1)
        err = c.communicate(timeout=BOUND)[1]
        assert c.returncode == 0, err
    finally:
        if c.poll() is None:
            c.kill()
            c.communicate()
    assert f"listening on [::1]:{p6}" in err and f"listening on 127.0.0.1:{p4}" in err
    return d, err


def export(db, out, *extra):
    return subprocess.run([tool("LUMO_COLLECT"), "export", "--db", str(db), "-o", str(out), *extra],
                          capture_output=True, text=True, timeout=BOUND)


def read_back(path, fmt):
    """Every measurement of an export as (fields, samples), fields as texts and ints."""
    if fmt == "csv":
        with open(path, newline="") as f:
            return [({k: v for k, v in row.items() if k != "samples"},
                     np.array(row["samples"].split(), dtype=np.uint16)) for row in csv.DictReader(f)]
    if fmt == "jsonl":
        rows = [json.loads(line) for line in open(path)]
        return [({k: str(v) for k, v in r.items() if k not in ("samples", "type")},
                 np.array(r["samples"], dtype=np.uint16)) for r in rows]
    import h5py
    with h5py.File(path, "r") as f:
        assert f.attrs["measured_at_clock"] == "device" and f.attrs["received_at_clock"] == "UTC"
        return [({k: str(v) for k, v in ds.attrs.items()}, ds[()]) for ds in f["measurements"].values()]


@pytest.mark.parametrize("fmt, name", [("csv", "all.csv"), ("jsonl", "all.jsonl"), ("hdf5", "all.h5")])
def test_export_round_trip_every_sample(collected, tmp_path, fmt, name):
    d, _ = collected
    out = tmp_path / name
    r = export(d / "lumo.db", out, "--format", fmt)
    assert r.returncode == 0, r.stderr
    assert f"{DEVICES * STORED} measurement(s), {DEVICES * STORED * SAMPLES} sample(s)" in r.stderr
    got = read_back(out, fmt)
    with lumo.Store(d / "lumo.db") as store:
        stored = store.measurements()
        assert [int(f["id"]) for f, _ in got] == [m.id for m in stored]
        for (fields, samples), m in zip(got, stored):
            index, seed = m.typeset - 1, FIRST_DIN + [din_text(FIRST_DIN + k) for k in range(DEVICES)].index(m.din)
            np.testing.assert_array_equal(samples, expected_samples(index, SAMPLES, seed))
            assert samples.dtype == np.uint16
            assert (fields["din"], fields["measured_at"], fields["received_at"], int(fields["sample_count"])) == \
                (m.din, m.measured_at, m.received_at, SAMPLES)
            assert fields["received_at"].endswith("Z")
    # The run's own export holds the same measurements (it was made from the store too).
    run = read_back(d / ("run.h5" if fmt == "hdf5" else "run." + fmt), fmt)
    assert [f for f, _ in run] == [f for f, _ in got]
    for (_, a), (_, b) in zip(run, got):
        np.testing.assert_array_equal(a, b)


def test_filters_of_export_and_store_agree_and_empty_range_is_a_valid_file(collected, tmp_path):
    d, _ = collected
    din = din_text(FIRST_DIN + 1)
    start = expected_time(1, STORED)
    to = expected_time(STORED - 1, STORED)
    r = export(d / "lumo.db", tmp_path / "f.csv", "--din", din, "--from", start.strftime("%Y-%m-%dT%H:%M:%S"),
               "--to", to.strftime("%Y-%m-%d %H:%M"))
    assert r.returncode == 0, r.stderr
    with lumo.Store(d / "lumo.db") as store:
        want = store.measurements(din, from_=start, to=to.strftime("%Y-%m-%d %H:%M"))
        assert [m.typeset for m in want] == [2]
    assert [int(f["id"]) for f, _ in read_back(tmp_path / "f.csv", "csv")] == [m.id for m in want]

    for name in ("e.csv", "e.jsonl", "e.h5"):
        r = export(d / "lumo.db", tmp_path / name, "--din", "999-999-999")
        assert r.returncode == 0 and "no measurement matches" in r.stderr, r.stderr
        assert read_back(tmp_path / name, {"e.csv": "csv", "e.jsonl": "jsonl", "e.h5": "hdf5"}[name]) == []
    assert (tmp_path / "e.csv").read_text().count("\n") == 1 and (tmp_path / "e.jsonl").read_text() == ""


@pytest.mark.parametrize("target, status, message", [  # nothing half-written is left
    ("missing/x.csv", 3, "cannot write"),
    ("adir.h5", 3, "cannot write"),  # a folder of that name: the rename fails
    ("x.xls", 2, "--format"),
])
def test_export_target_that_cannot_be_written(collected, tmp_path, target, status, message):
    d, _ = collected
    (tmp_path / "adir.h5").mkdir()
    r = export(d / "lumo.db", tmp_path / target)
    assert r.returncode == status and message in r.stderr, r.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["adir.h5"]
    assert not list((tmp_path / "adir.h5").iterdir())
    if status == 3:  # a run's export is checked before the run starts, not at its end
        run = subprocess.run([tool("LUMO_COLLECT"), "--tcp", str(free_port()), "--db", str(tmp_path / "r.db"),
                              "--hdf5", str(tmp_path / target)], capture_output=True, text=True, timeout=BOUND)
        assert run.returncode == 3 and "cannot write" in run.stderr and "listening" not in run.stderr, run.stderr


def test_store_filters_refuse_zones_and_bad_types(collected):
    d, _ = collected
    with lumo.Store(d / "lumo.db") as store:
        for bad, error in [("2024-05-17T10:00:00Z", ValueError), ("2024-02-30", ValueError), (17, TypeError)]:
            with pytest.raises(error):
                store.measurements(from_=bad)
        assert len(store.measurements(to="2030-01-01")) == DEVICES * STORED


def test_version_and_sighup_reopens_the_log_file(tmp_path):
    v = subprocess.run([tool("LUMO_COLLECT"), "--version"], capture_output=True, text=True, timeout=BOUND)
    assert v.returncode == 0 and "schema version 3" in v.stdout and "liblumo" in v.stdout, v
    log, moved, port = tmp_path / "c.log", tmp_path / "c.log.1", free_port()
    c = collect(["--tcp", str(port), "--db", str(tmp_path / "x.db"), "--log-file", str(log),
                 "--log-format", "json"])
    try:
        assert wait_until(lambda: log.exists() and "listening" in log.read_text())
        log.rename(moved)
        c.send_signal(signal.SIGHUP)
        assert wait_until(lambda: log.exists() and "log file reopened" in log.read_text())
        c.send_signal(signal.SIGTERM)
        assert c.wait(BOUND) == 0
    finally:
        if c.poll() is None:
            c.kill()
        c.communicate()
    old = [json.loads(line) for line in moved.read_text().splitlines()]
    new = [json.loads(line) for line in log.read_text().splitlines()]
    assert [m["message"] for m in new][0] == "log file reopened"
    assert any(m["message"].startswith("stopped (terminated)") for m in new)
    assert not any("stopped" in m["message"] for m in old)
    for m in old + new:
        assert m["time"].endswith("Z") and m["level"] in ("info", "warning", "error"), m


def test_systemd_unit_verifies(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        pytest.skip("systemd-analyze is not installed")
    unit = (REPO / "deploy" / "lumo-collect.service").read_text()
    # The unit names the installed program; verify it against this build's.
    unit = unit.replace("/usr/local/bin/lumo-collect", tool("LUMO_COLLECT"))
    (tmp_path / "lumo-collect.service").write_text(unit)
    r = subprocess.run([analyze, "verify", str(tmp_path / "lumo-collect.service")],
                       capture_output=True, text=True, timeout=BOUND)
    assert r.returncode == 0 and r.stderr.strip() == "", r.stderr
    for line in ("Restart=on-failure", "StateDirectory=lumo-collect", "LogsDirectory=lumo-collect",
                 "LimitNOFILE=", "DynamicUser=yes"):
        assert line in unit, line
    stop = int(next(l for l in unit.splitlines() if l.startswith("TimeoutStopSec=")).split("=")[1])
    assert stop > 20, "above the collector's bounded stop"
    # The sample configuration parses; the command line overrides its paths and address.
    run = subprocess.run([tool("LUMO_COLLECT"), "--config", str(REPO / "deploy" / "lumo-collect.toml"),
                          "--listen", f"127.0.0.1:{free_port()}", "--db", str(tmp_path / "x.db"),
                          "--log-file", str(tmp_path / "x.log"), "--exit-when-idle", "0.3"],
                         capture_output=True, text=True, timeout=BOUND)
    assert run.returncode == 0, run.stderr
    assert "stopped (idle" in (tmp_path / "x.log").read_text()


# Version 2 of the PostgreSQL store: the collector's times as text in its local time.
V2_DDL = """
CREATE TABLE lumo_schema (version integer NOT NULL);
INSERT INTO lumo_schema VALUES (2);
CREATE TABLE devices (din text PRIMARY KEY, first_seen text NOT NULL, last_seen text NOT NULL,
  handshake_crc16 integer, last_status text, last_status_at text);
CREATE TABLE measurements (id bigserial PRIMARY KEY, din text NOT NULL, received_at text NOT NULL,
  measured_at text NOT NULL, dtime_packed bigint NOT NULL, typeset bigint NOT NULL, ns integer NOT NULL,
  nss integer NOT NULL, sample_count integer NOT NULL, samples bytea NOT NULL, samples_sha256 bytea NOT NULL,
  UNIQUE (din, dtime_packed, typeset, sample_count, samples_sha256));
CREATE TABLE syncs (id bigserial PRIMARY KEY, din text NOT NULL, at text NOT NULL, ok integer NOT NULL,
  params_written integer NOT NULL, host_crc16 integer, status32a bigint, status32b bigint,
  status16a integer, device_time bigint, status16b text);
CREATE TABLE write_probe (id bigserial PRIMARY KEY, filler bytea NOT NULL);
"""
# In Europe/Berlin the hour from 02:00 to 03:00 of 2026-10-25 happens twice (CEST, then CET).
LOCAL = ["2026-10-25T01:30:00.000", "2026-10-25T02:10:00.000", "2026-10-25T02:50:00.250",
         "2026-10-25T02:05:00.000", "2026-10-25T02:40:00.000", "2026-10-25T03:10:00.000"]
UTC = ["2026-10-24T23:30:00.000Z", "2026-10-25T00:10:00.000Z", "2026-10-25T00:50:00.250Z",
       "2026-10-25T01:05:00.000Z", "2026-10-25T01:40:00.000Z", "2026-10-25T02:10:00.000Z"]


@pytest.fixture
def postgres():
    """A fresh PostgreSQL server in a folder of its own (run as the postgres user when we are
    root, in a folder that user can reach): psycopg2 and the URL."""
    psycopg2 = pytest.importorskip("psycopg2")
    bindir = next((d for d in sorted(pathlib.Path("/usr/lib/postgresql").glob("*/bin"), reverse=True)
                   if (d / "initdb").exists()), None)
    if bindir is None:
        pytest.skip("PostgreSQL is not installed")
    as_pg = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
    top = pathlib.Path(tempfile.mkdtemp(prefix="lumo-pg-"))
    os.chmod(top, 0o755)
    data, port = top / "pg", free_port()
    data.mkdir()
    if as_pg:
        shutil.chown(data, "postgres")
    subprocess.run([*as_pg, bindir / "initdb", "-D", data, "-U", "lumo", "--auth=trust", "-E", "UTF8",
                    "--locale=C.UTF-8"], check=True, capture_output=True, timeout=BOUND)
    subprocess.run([*as_pg, bindir / "pg_ctl", "-D", data, "-l", data / "log", "-w", "-t", "60", "-o",
                    f"-p {port} -c listen_addresses=127.0.0.1 -c unix_socket_directories={data}", "start"],
                   check=True, capture_output=True, timeout=BOUND + 30)
    pid = int((data / "postmaster.pid").read_text().split()[0])
    try:
        subprocess.run([bindir / "createdb", "-h", "127.0.0.1", "-p", str(port), "-U", "lumo", "lumo"],
                       check=True, capture_output=True, timeout=BOUND)
        yield psycopg2, f"postgresql://lumo@127.0.0.1:{port}/lumo"
    finally:
        os.kill(pid, signal.SIGINT)  # fast shutdown, by the server's own pid
        wait_until(lambda: not os.path.exists(f"/proc/{pid}"))
        shutil.rmtree(top, ignore_errors=True)


def run_collector_once(url, tmp_path):
    """A collector run that opens (and so upgrades) the store, then ends when idle."""
    env = dict(os.environ, TZ="Europe/Berlin")
    return subprocess.run([tool("LUMO_COLLECT"), "--no-status", "--tcp", str(free_port()), "--db", url,
                           "--exit-when-idle", "0.3"], capture_output=True, text=True, timeout=BOUND, env=env)


def test_postgresql_version_2_upgraded_in_order_across_the_end_of_summer_time(postgres, tmp_path):
    psycopg2, url = postgres
    db = psycopg2.connect(url)
    db.autocommit = True
    with db.cursor() as c:
        c.execute(V2_DDL)
        for i, local in enumerate(LOCAL):
            c.execute("INSERT INTO measurements (din, received_at, measured_at, dtime_packed, typeset, ns, nss, "
                      "sample_count, samples, samples_sha256) VALUES ('000-000-001', %s, '2024-05-17 13:45:30', "
                      "%s, 1, 1, 1, 1, %s, '\\x00')", (local, i, bytes([i, 1])))
        c.execute("INSERT INTO syncs (din, at, ok, params_written) VALUES ('000-000-001', %s, 1, 0), "
                  "('000-000-001', %s, 1, 0)", ("2026-10-25T02:30:00.000", "2026-10-25T02:20:00.000"))
        c.execute("INSERT INTO devices VALUES ('000-000-001', %s, 'never', NULL, NULL, NULL)", (LOCAL[0],))
    # All or nothing: a value that is no time refuses the upgrade and changes nothing.
    r = run_collector_once(url, tmp_path)
    assert r.returncode == 3 and 'devices.last_seen of din 000-000-001 holds "never"' in r.stderr, r.stderr
    with db.cursor() as c:
        c.execute("SELECT version FROM lumo_schema")
        assert c.fetchall() == [(2,)]
        c.execute("SELECT data_type FROM information_schema.columns WHERE column_name = 'received_at'")
        assert c.fetchall() == [("text",)]
        c.execute("UPDATE devices SET last_seen = %s", (LOCAL[-1],))

    r = run_collector_once(url, tmp_path)
    assert r.returncode == 0 and "NOTICE" not in r.stderr, r.stderr
    assert "upgraded to schema version 3: 10 time(s)" in r.stderr and "(Europe/Berlin)" in r.stderr, r.stderr
    with db.cursor() as c:
        c.execute("SET TimeZone = 'UTC'")
        c.execute("SELECT id FROM measurements ORDER BY received_at")
        assert [row[0] for row in c.fetchall()] == [1, 2, 3, 4, 5, 6]
        c.execute("SELECT to_char(at, 'HH24:MI') FROM syncs ORDER BY id")
        assert c.fetchall() == [("00:30",), ("01:20",)], "02:20 after 02:30 is the second 02:20"
        c.execute("SELECT table_name, column_name FROM information_schema.columns "
                  "WHERE data_type = 'timestamp with time zone' AND table_schema = 'public' ORDER BY 1, 2")
        # The upgrade also makes the lease table of version 3.
        assert c.fetchall() == [("device_leases", "expires_at"), ("devices", "first_seen"), ("devices", "last_seen"),
                                ("devices", "last_status_at"), ("measurements", "received_at"), ("syncs", "at")]
        c.execute("SELECT version FROM lumo_schema")
        assert c.fetchall() == [(3,)]
    db.close()
    # Read back through both readers as UTC texts; measured_at stays device time.
    out = tmp_path / "pg.jsonl"
    r = export(url, out)
    assert r.returncode == 0, r.stderr
    assert [json.loads(line)["received_at"] for line in out.read_text().splitlines()] == UTC
    with lumo.Store(url) as store:
        got = store.measurements()
        assert [m.received_at for m in got] == UTC and store.schema_version == 3
        assert {m.measured_at for m in got} == {"2024-05-17 13:45:30"}
        np.testing.assert_array_equal(store.samples(got[3]), np.array([256 + 3], dtype=np.uint16))
        assert store.devices()[0].last_seen == "2026-10-25T02:10:00.000Z"
    # A device stored into the upgraded store: its time is the latest, as UTC.
    port = free_port()
    c = collect(["--tcp", str(port), "--db", url, "--max-devices", "1"])
    try:
        device(f"127.0.0.1:{port}", FIRST_DIN)
        assert c.wait(BOUND) == 0, c.stderr.read()
    finally:
        if c.poll() is None:
            c.kill()
        c.communicate()
    with lumo.Store(url) as store:
        got = store.measurements()
        assert [m.id for m in sorted(got, key=lambda m: m.received_at)] == [m.id for m in got]
        assert len(got) == 6 + STORED and got[-1].received_at.endswith("Z")

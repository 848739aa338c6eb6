"""lumo.Store over a database lumo-collect wrote from lumo-sim; bad arguments."""

import importlib.util, re, socket, sqlite3, subprocess

import numpy as np
import pytest

import lumo
from conftest import BOUND, FIRST_DIN, din_text, expected_samples, expected_time, free_port, tool

DEVICES, STORED = 2, 3


@pytest.fixture(scope="module")
def collected_db(tmp_path_factory):
    db, port = tmp_path_factory.mktemp("store") / "lumo.db", free_port()
    collect = subprocess.Popen([tool("LUMO_COLLECT"), "--tcp", str(port), "--db", str(db),
                                "--no-status", "--max-devices", str(DEVICES)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        sim = subprocess.run([tool("LUMO_SIM"), "--tcp", f"127.0.0.1:{port}", "--devices", str(DEVICES)],
                             capture_output=True, text=True, timeout=BOUND)
        assert sim.returncode == 0, sim.stderr
        assert collect.wait(BOUND) == 0, collect.stderr.read()
    finally:
        if collect.poll() is None:
            collect.kill()
        collect.communicate()
    return db


def test_store_reads_every_sample(collected_db, tmp_path):
    dins = [din_text(FIRST_DIN + d) for d in range(DEVICES)]
    with lumo.Store(collected_db) as store:
        assert [d.din for d in store.devices()] == dins
        for d, din in enumerate(dins):
            listed = store.measurements(din)
            assert [m.typeset for m in listed] == [1, 2, 3]
            for index, m in enumerate(listed):
                assert m.measured_at.startswith(expected_time(index, STORED).strftime("%Y-%m-%d"))
                np.testing.assert_array_equal(store.samples(m), expected_samples(index, 800, FIRST_DIN + d))
        assert store.latest(dins[1]).id == max(m.id for m in store.measurements())
        assert store.latest("000-000-000") is None
        with pytest.raises(KeyError, match="no measurement with id 9999"):
            store.samples(9999)
        with pytest.raises(TypeError, match="StoredMeasurement or an int id"):
            store.samples("1")
    # A newer layout: columns the module does not know are handed over, not refused.
    db = tmp_path / "newer.db"
    db.write_bytes(collected_db.read_bytes())
    with sqlite3.connect(db) as c:
        c.execute("ALTER TABLE measurements ADD COLUMN identity TEXT DEFAULT 'x1'")
        c.execute("ALTER TABLE devices ADD COLUMN identity TEXT")
        c.execute("PRAGMA user_version = 2")
    with lumo.Store(db) as store:
        m = store.measurements()[0]
        assert store.schema_version == 2 and m.extra["identity"] == "x1" and m.sample_count == 800
        assert len(store.samples(m.id)) == 800
    if importlib.util.find_spec("pandas"):
        with lumo.Store(collected_db) as store:
            frame = store.measurements_frame(din_text(FIRST_DIN))
            assert list(frame["typeset"]) == [1, 2, 3]
            samples = store.samples_frame(int(frame["id"].iloc[1]))
            assert samples.index.name == "sample" and type(samples).__name__ == "DataFrame"
            np.testing.assert_array_equal(samples["value"].to_numpy(), expected_samples(1, 800))


def database(t, content):
    path = t / "x.db"
    path.write_text("hello") if content else sqlite3.connect(path).close()
    return path


def listen_on_busy_port(t):
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        s.listen()
        lumo.tcp_channel(s.getsockname()[1], print)


@pytest.mark.parametrize("call, error, message", [
    (lambda t: lumo.tcp_channel("5000", print), TypeError, "port must be an int, got str"),
    (lambda t: lumo.tcp_channel(0, print), ValueError, "port must be 1..65535, got 0"),
    (lambda t: lumo.tcp_channel(5000, None), TypeError, "on_event must be callable"),
    (listen_on_busy_port, OSError, "cannot listen on TCP port"),
    (lambda t: lumo.serial_channel(3, print), TypeError, "path must be a str or path"),
    (lambda t: lumo.serial_channel("", print), ValueError, "path must name a serial device"),
    (lambda t: lumo.DeviceParams(param16a=[1, 2]), ValueError, "param16a holds 5 values, got 2"),
    (lambda t: lumo.DeviceParams(crc16=0x10000), ValueError, "crc16 must be 0..0xffff"),
    (lambda t: lumo.DeviceParams(param32a="1"), TypeError, "param32a must be an int"),
    (lambda t: lumo.DeviceParams(colour=1), TypeError, "unknown parameter field(s): colour"),
    (lambda t: lumo.DeviceParams.from_bytes(b"x"), ValueError, "100 bytes, got 1"),
    (lambda t: lumo.Store(t / "missing.db"), FileNotFoundError, "no database at"),
    (lambda t: lumo.Store(database(t, True)), ValueError, "is not an SQLite database"),
    (lambda t: lumo.Store(database(t, False)), ValueError, "not a lumo-collect database"),
])
def test_bad_arguments_raise_clear_errors(call, error, message, tmp_path):
    pytest.raises(error, call, tmp_path).match(re.escape(message))


def test_device_params_layout():
    params = lumo.DeviceParams(param16a=[1, 2, 3, 4, 5], param32a=0x11223344, param16b=0xBEEF,
                               param32d=[6, 7, 8, 9, 10, 0xFFFFFFFF], crc16=0x5A5A)
    data = params.to_bytes()
    assert len(data) == 100 and data[0:2] == b"\x01\x00" and data[12:16] == b"\x44\x33\x22\x11"
    assert data[20:22] == b"\xef\xbe" and data[60:64] == b"\xff\xff\xff\xff"
    assert data[64:96] == bytes(32) and data[96:98] == b"\x5a\x5a"
    assert lumo.DeviceParams.from_bytes(data) == params

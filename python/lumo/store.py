"""Reading what lumo-collect stored: devices, measurements and their samples.

Store talks to its database through a source object; SQLiteSource reads lumo-collect's
SQLite file and PostgresSource a shared PostgreSQL database (Store("postgresql://...");
needs psycopg2, Debian: python3-psycopg2). Any other database plugs in as a source with
the same three methods: devices(), measurements(din) and samples(measurement_id),
returning rows as dicts keyed by column name and samples as little-endian 16-bit bytes.
Columns are read by name: columns this reader does not know end up in `extra`.
"""

import dataclasses
import os
import sqlite3
import typing

import numpy as np

_SAMPLE = np.dtype("<u2")


@dataclasses.dataclass(frozen=True)
class Device:
    din: str
    first_seen: typing.Optional[str] = None
    last_seen: typing.Optional[str] = None
    handshake_crc16: typing.Optional[int] = None
    extra: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class StoredMeasurement:
    id: int
    din: str
    received_at: typing.Optional[str] = None
    measured_at: typing.Optional[str] = None
    dtime_packed: typing.Optional[int] = None
    typeset: typing.Optional[int] = None
    ns: typing.Optional[int] = None
    nss: typing.Optional[int] = None
    sample_count: typing.Optional[int] = None
    extra: dict = dataclasses.field(default_factory=dict)


def _record(cls, row):
    known = {f.name for f in dataclasses.fields(cls)} - {"extra"}
    return cls(**{k: v for k, v in row.items() if k in known},
               extra={k: v for k, v in row.items() if k not in known})


class SQLiteSource:
    """lumo-collect's SQLite database, opened read-only."""

    def __init__(self, path):
        path = os.fspath(path)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no database at {path}")
        uri = "file:" + os.path.abspath(path).replace("?", "%3f").replace("#", "%23") + "?mode=ro"
        self._db = sqlite3.connect(uri, uri=True, check_same_thread=False)
        self._db.row_factory = sqlite3.Row
        try:
            tables = {r[0] for r in self._db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
        except sqlite3.DatabaseError as error:
            self._db.close()
            raise ValueError(f"{path} is not an SQLite database: {error}") from None
        missing = {"devices", "measurements"} - tables
        if missing:
            self._db.close()
            raise ValueError(f"{path} is not a lumo-collect database (no table {', '.join(sorted(missing))})")
        self.schema_version = self._db.execute("PRAGMA user_version").fetchone()[0]

    def _rows(self, sql, args=()):
        return [dict(r) for r in self._db.execute(sql, args)]

    def devices(self):
        return self._rows("SELECT * FROM devices ORDER BY din")

    def measurements(self, din=None):
        # Every column but the samples, which are read one measurement at a time.
        columns = [r["name"] for r in self._db.execute("PRAGMA table_info(measurements)")]
        listed = ", ".join(f'"{c}"' for c in columns if c != "samples")
        where, args = ("WHERE din = ?", (din,)) if din is not None else ("", ())
        return self._rows(f"SELECT {listed} FROM measurements {where} ORDER BY id", args)

    def samples(self, measurement_id):
        row = self._db.execute("SELECT samples FROM measurements WHERE id = ?",
                               (measurement_id,)).fetchone()
        return None if row is None else bytes(row[0])

    def close(self):
        self._db.close()


class PostgresSource:
    """lumo-collect's PostgreSQL database (the same tables), read in read-only sessions."""

    def __init__(self, url):
        try:
            import psycopg2
            import psycopg2.extras
        except ImportError:
            raise ImportError("reading PostgreSQL needs psycopg2 (Debian: apt-get install python3-psycopg2)") from None
        self._extras = psycopg2.extras
        try:
            self._db = psycopg2.connect(url)
        except psycopg2.Error as error:
            raise ConnectionError(f"cannot connect to the PostgreSQL database: {str(error).strip()}") from None
        self._db.set_session(readonly=True, autocommit=True)
        version = self._rows("SELECT to_regclass('lumo_schema') IS NOT NULL AS versioned")
        if not version[0]["versioned"]:
            self._db.close()
            raise ValueError("the PostgreSQL database holds no lumo-collect tables")
        self.schema_version = self._rows("SELECT max(version) AS v FROM lumo_schema")[0]["v"]

    def _rows(self, sql, args=()):
        with self._db.cursor(cursor_factory=self._extras.RealDictCursor) as cursor:
            cursor.execute(sql, args)
            return [dict(r) for r in cursor.fetchall()]

    def devices(self):
        return self._rows("SELECT * FROM devices ORDER BY din")

    def measurements(self, din=None):
        columns = [r["column_name"] for r in self._rows(
            "SELECT column_name FROM information_schema.columns WHERE table_name = 'measurements' "
            "AND table_schema = current_schema() ORDER BY ordinal_position")]
        listed = ", ".join(f'"{c}"' for c in columns if c != "samples")
        where, args = ("WHERE din = %s", (din,)) if din is not None else ("", ())
        rows = self._rows(f"SELECT {listed} FROM measurements {where} ORDER BY id", args)
        for row in rows:  # bytea arrives as memoryview: hand out bytes as SQLite does
            row.update({k: bytes(v) for k, v in row.items() if isinstance(v, memoryview)})
        return rows

    def samples(self, measurement_id):
        rows = self._rows("SELECT samples FROM measurements WHERE id = %s", (measurement_id,))
        return None if not rows else bytes(rows[0]["samples"])

    def close(self):
        self._db.close()


def _is_postgres_url(source):
    return isinstance(source, str) and source.startswith(("postgresql://", "postgres://"))


class Store:
    """Store("lumo.db") or Store("postgresql://user@host/db"): devices, measurements and
    samples (NumPy; pandas optional)."""

    def __init__(self, source):
        if _is_postgres_url(source):
            self._source = PostgresSource(source)
        elif isinstance(source, (str, os.PathLike)):
            self._source = SQLiteSource(source)
        else:
            self._source = source

    @property
    def schema_version(self):
        return getattr(self._source, "schema_version", None)

    def devices(self):
        return [_record(Device, row) for row in self._source.devices()]

    def measurements(self, din=None):
        """Measurements (without samples), oldest first; those of one DIN when given."""
        if din is not None and not isinstance(din, str):
            raise TypeError(f"din must be a str, got {type(din).__name__}")
        return [_record(StoredMeasurement, row) for row in self._source.measurements(din)]

    def latest(self, din):
        """The newest measurement of a DIN, or None."""
        found = self.measurements(din)
        return found[-1] if found else None

    def samples(self, measurement):
        """The samples of a measurement (a StoredMeasurement or its id) as a uint16 array."""
        mid = measurement.id if isinstance(measurement, StoredMeasurement) else measurement
        if isinstance(mid, bool) or not isinstance(mid, int):
            raise TypeError(f"measurement must be a StoredMeasurement or an int id, got {type(mid).__name__}")
        blob = self._source.samples(mid)
        if blob is None:
            raise KeyError(f"no measurement with id {mid}")
        if len(blob) % _SAMPLE.itemsize:
            raise ValueError(f"measurement {mid}: samples of {len(blob)} bytes are damaged")
        return np.frombuffer(blob, dtype=_SAMPLE).astype(np.uint16)

    def measurements_frame(self, din=None):
        """The measurements as a pandas DataFrame, one row each (needs pandas)."""
        pd = _pandas()
        rows = [{**{k: v for k, v in dataclasses.asdict(m).items() if k != "extra"}, **m.extra}
                for m in self.measurements(din)]
        return pd.DataFrame(rows, columns=None if rows else [f.name for f in dataclasses.fields(StoredMeasurement) if f.name != "extra"])

    def samples_frame(self, measurement):
        """The samples of a measurement as a pandas DataFrame (column "value")."""
        pd = _pandas()
        values = self.samples(measurement)
        return pd.DataFrame({"value": values}, index=pd.RangeIndex(len(values), name="sample"))

    def close(self):
        self._source.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def _pandas():
    try:
        import pandas
    except ImportError:
        raise ImportError("this needs pandas (Debian: apt-get install python3-pandas)") from None
    return pandas

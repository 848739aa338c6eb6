"""Reading what lumo-collect stored: devices, measurements and their samples.

Store talks to its database through a source object; SQLiteSource reads lumo-collect's
SQLite file and PostgresSource a shared PostgreSQL database (Store("postgresql://...");
needs psycopg2, Debian: python3-psycopg2). Any other database plugs in as a source with
the same three methods: devices(), measurements(din, from_=None, to=None) and
samples(measurement_id), returning rows as dicts keyed by column name and samples as
little-endian 16-bit bytes. Columns are read by name: columns this reader does not know
end up in `extra`.

Times of the collector (received_at, first_seen, last_seen) are UTC texts
("2026-12-08T06:18:04.242Z") from both databases (schema version 3). measured_at is
device time: the device's clock as the device reports it, "yyyy-MM-dd HH:mm:ss", no zone.
"""

import dataclasses
import datetime
import os
import re
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


_DEVICE_TIME = re.compile(r"(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?")


def device_time_bound(value, name="from_"):
    """A device-time bound as measured_at holds it ("yyyy-MM-dd HH:mm:ss"), from a text
    "yyyy-MM-dd[ HH:mm[:ss]]" (a "T" may stand for the space), a date or a naive
    datetime. Device time has no zone: an aware datetime or a zone is refused."""
    if value is None:
        return None
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            raise ValueError(f"{name}: device time has no zone; give a naive datetime")
        return value.strftime("%Y-%m-%d %H:%M:%S")
    if isinstance(value, datetime.date):
        return value.strftime("%Y-%m-%d 00:00:00")
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, date or datetime, got {type(value).__name__}")
    match = _DEVICE_TIME.fullmatch(value)
    if not match:
        raise ValueError(f"{name}: {value!r} is not a device time (yyyy-MM-dd[ HH:mm[:ss]], no zone)")
    y, mo, d, h, mi, sec = (int(g) if g else 0 for g in match.groups())
    try:
        return datetime.datetime(y, mo, d, h, mi, sec).strftime("%Y-%m-%d %H:%M:%S")
    except ValueError as error:
        raise ValueError(f"{name}: {value!r}: {error}") from None


def _utc_text(value):
    """A timestamptz as the UTC text the SQLite store holds."""
    if not isinstance(value, datetime.datetime) or value.tzinfo is None:
        return value
    utc = value.astimezone(datetime.timezone.utc)
    return utc.strftime("%Y-%m-%dT%H:%M:%S.") + f"{utc.microsecond // 1000:03d}Z"


def _filter_sql(din, from_, to, placeholder):
    """WHERE text and arguments for a DIN and a device-time range [from_, to)."""
    terms, args = [], []
    for column, op, value in (("din", "=", din), ("measured_at", ">=", from_), ("measured_at", "<", to)):
        if value is not None:
            terms.append(f"{column} {op} {placeholder}")
            args.append(value)
    return ("WHERE " + " AND ".join(terms)) if terms else "", tuple(args)


def _quoted(identifier):
    """A column name as an SQL identifier, whatever characters it holds."""
    return '"' + identifier.replace('"', '""') + '"'


def _without_secret(message, url):
    """The message with the URL's user information (user:password) and any quoted piece
    of it replaced by ***: a malformed escape in a password is quoted back by libpq."""
    scheme = url.find("://")
    at = url.rfind("@")
    if scheme < 0 or at < scheme:
        return message
    userinfo = url[scheme + 3:at]
    password = userinfo.partition(":")[2]
    if password:
        message = message.replace(password, "***")
    for quoted in message.split('"')[1::2]:
        if quoted and quoted in userinfo:
            message = message.replace(f'"{quoted}"', '"***"')
    return message


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

    def measurements(self, din=None, from_=None, to=None):
        # Every column but the samples, which are read one measurement at a time.
        columns = [r["name"] for r in self._db.execute("PRAGMA table_info(measurements)")]
        listed = ", ".join(_quoted(c) for c in columns if c != "samples")
        where, args = _filter_sql(din, from_, to, "?")
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
            said = _without_secret(str(error).strip(), url)
            raise ConnectionError(f"cannot connect to the PostgreSQL database: {said}") from None
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
        return [{k: _utc_text(v) for k, v in row.items()}
                for row in self._rows("SELECT * FROM devices ORDER BY din")]

    def measurements(self, din=None, from_=None, to=None):
        columns = [r["column_name"] for r in self._rows(
            "SELECT column_name FROM information_schema.columns WHERE table_name = 'measurements' "
            "AND table_schema = current_schema() ORDER BY ordinal_position")]
        listed = ", ".join(_quoted(c) for c in columns if c != "samples")
        where, args = _filter_sql(din, from_, to, "%s")
        rows = self._rows(f"SELECT {listed} FROM measurements {where} ORDER BY id", args)
        for row in rows:  # bytea arrives as memoryview, timestamptz as datetime: as SQLite has them
            row.update({k: bytes(v) if isinstance(v, memoryview) else _utc_text(v) for k, v in row.items()})
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

    def measurements(self, din=None, from_=None, to=None):
        """Measurements (without samples), oldest first; those of one DIN when given, and
        of device time (measured_at) from `from_` (inclusive) to `to` (exclusive), as
        lumo-collect export --din --from --to takes them."""
        if din is not None and not isinstance(din, str):
            raise TypeError(f"din must be a str, got {type(din).__name__}")
        from_, to = device_time_bound(from_, "from_"), device_time_bound(to, "to")
        if from_ is None and to is None:  # sources of the earlier interface take only din
            rows = self._source.measurements(din)
        else:
            rows = self._source.measurements(din, from_=from_, to=to)
        return [_record(StoredMeasurement, row) for row in rows]

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

    def measurements_frame(self, din=None, from_=None, to=None):
        """The measurements as a pandas DataFrame, one row each (needs pandas)."""
        pd = _pandas()
        rows = [{**{k: v for k, v in dataclasses.asdict(m).items() if k != "extra"}, **m.extra}
                for m in self.measurements(din, from_, to)]
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

"""Reading what lumo-collect stored: devices, measurements and their samples.

Store talks to its database through a source object; SQLiteSource reads lumo-collect's
SQLite file. Another database (PostgreSQL, for example) plugs in as a source with the
same three methods: devices(), measurements(din) and samples(measurement_id), returning
rows as dicts keyed by column name and samples as little-endian 16-bit bytes.
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


class Store:
    """Store("lumo.db"): devices, measurements and samples (NumPy; pandas optional)."""

    def __init__(self, source):
        self._source = SQLiteSource(source) if isinstance(source, (str, os.PathLike)) else source

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

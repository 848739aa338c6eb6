#include "Storage.h"

#include <sqlite3.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace lumo_collect {

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int kByteBits = 8;
constexpr unsigned kByteMask = 0xFF;

const char *const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS devices (
  din TEXT PRIMARY KEY,
  first_seen TEXT NOT NULL,
  last_seen TEXT NOT NULL,
  handshake_crc16 INTEGER,
  last_status TEXT,
  last_status_at TEXT
);
CREATE TABLE IF NOT EXISTS measurements (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  din TEXT NOT NULL,
  received_at TEXT NOT NULL,
  measured_at TEXT NOT NULL,
  dtime_packed INTEGER NOT NULL,
  typeset INTEGER NOT NULL,
  ns INTEGER NOT NULL,
  nss INTEGER NOT NULL,
  sample_count INTEGER NOT NULL,
  samples BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS measurements_din ON measurements (din, id);
CREATE TABLE IF NOT EXISTS syncs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  din TEXT NOT NULL,
  at TEXT NOT NULL,
  ok INTEGER NOT NULL,
  params_written INTEGER NOT NULL,
  host_crc16 INTEGER,
  status32a INTEGER,
  status32b INTEGER,
  status16a INTEGER,
  device_time INTEGER,
  status16b TEXT
);
)sql";

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt *get() { return stmt_; }
    void text(int i, const std::string &v)
    {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void null(int i) { sqlite3_bind_null(stmt_, i); }
    void blob(int i, const std::vector<uint8_t> &v)
    {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(stmt_); }
    std::string columnText(int i)
    {
        const auto *p = sqlite3_column_text(stmt_, i);
        return p ? reinterpret_cast<const char *>(p) : "";
    }
    int64_t columnInt(int i) { return sqlite3_column_int64(stmt_, i); }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

std::vector<uint8_t> samplesToBlob(const std::vector<uint16_t> &samples)
{
    std::vector<uint8_t> blob;
    blob.reserve(samples.size() * 2);
    for (uint16_t s : samples) {
        blob.push_back(static_cast<uint8_t>(s & kByteMask));
        blob.push_back(static_cast<uint8_t>(s >> kByteBits));
    }
    return blob;
}

std::vector<uint16_t> blobToSamples(const void *data, int bytes)
{
    const auto *p = static_cast<const uint8_t *>(data);
    std::vector<uint16_t> samples(static_cast<std::size_t>(bytes) / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << kByteBits));
    return samples;
}

QJsonArray status16bArray(const StatusRecord &s)
{
    QJsonArray array;
    for (uint16_t v : s.status16b)
        array.append(v);
    return array;
}

std::string statusJson(const StatusRecord &s)
{
    QJsonObject o;
    o["status32a"] = static_cast<qint64>(s.status32a);
    o["status32b"] = static_cast<qint64>(s.status32b);
    o["status16a"] = s.status16a;
    o["deviceTime"] = static_cast<qint64>(s.deviceTime);
    o["status16b"] = status16bArray(s);
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

std::unique_ptr<Storage> Storage::open(const std::string &path, std::string &error, bool mustExist)
{
    sqlite3 *db = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (mustExist ? 0 : SQLITE_OPEN_CREATE);
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        error =
            "cannot open database " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Storage> storage(new Storage(db));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // WAL keeps committed transactions through a crash of this process; FULL also syncs
    // each commit, so a measurement that was committed survives a power cut.
    if (!storage->exec("PRAGMA journal_mode=WAL;") || !storage->exec("PRAGMA synchronous=FULL;") ||
        !storage->createSchema()) {
        error = "cannot use database " + path + ": " + storage->lastError_;
        return nullptr;
    }
    return storage;
}

Storage::~Storage()
{
    sqlite3_close(db_);
}

bool Storage::exec(const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        lastError_ = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool Storage::createSchema()
{
    return exec(kSchema);
}

void Storage::upsertDevice(const std::string &din, const std::string &when)
{
    Statement st(db_, "INSERT INTO devices (din, first_seen, last_seen) VALUES (?1, ?2, ?2) "
                      "ON CONFLICT (din) DO UPDATE SET last_seen = excluded.last_seen");
    st.text(1, din);
    st.text(2, when);
    if (st.step() != SQLITE_DONE)
        lastError_ = sqlite3_errmsg(db_);
}

bool Storage::beginWrite(const std::string &din, const std::string &when)
{
    lastError_.clear();
    if (!exec("BEGIN IMMEDIATE;"))
        return false;
    upsertDevice(din, when);
    return true;
}

bool Storage::endWrite(bool stepsSucceeded)
{
    if (stepsSucceeded && lastError_.empty())
        return exec("COMMIT;");
    if (lastError_.empty())
        lastError_ = sqlite3_errmsg(db_);
    exec("ROLLBACK;");
    return false;
}

bool Storage::deviceSeen(const std::string &din, const std::string &when)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_.clear();
    upsertDevice(din, when);
    return lastError_.empty();
}

bool Storage::storeMeasurement(MeasurementRecord &m)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!beginWrite(m.din, m.receivedAt))
        return false;
    Statement st(db_, "INSERT INTO measurements (din, received_at, measured_at, dtime_packed, "
                      "typeset, ns, nss, sample_count, samples) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    st.text(1, m.din);
    st.text(2, m.receivedAt);
    st.text(3, m.measuredAt);
    st.integer(4, m.dtimePacked);
    st.integer(5, m.typeset);
    st.integer(6, m.ns);
    st.integer(7, m.nss);
    st.integer(8, static_cast<int64_t>(m.samples.size()));
    st.blob(9, samplesToBlob(m.samples));
    const bool inserted = lastError_.empty() && st.step() == SQLITE_DONE;
    if (inserted)
        m.id = sqlite3_last_insert_rowid(db_);
    return endWrite(inserted);
}

bool Storage::storeSync(const SyncRecord &sync)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!beginWrite(sync.din, sync.at))
        return false;
    Statement st(db_, "INSERT INTO syncs (din, at, ok, params_written, host_crc16, status32a, "
                      "status32b, status16a, device_time, status16b) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    st.text(1, sync.din);
    st.text(2, sync.at);
    st.integer(3, sync.ok ? 1 : 0);
    st.integer(4, sync.paramsWritten ? 1 : 0);
    if (sync.hostCrc16)
        st.integer(5, *sync.hostCrc16);
    else
        st.null(5);
    if (sync.status) {
        st.integer(6, sync.status->status32a);
        st.integer(7, sync.status->status32b);
        st.integer(8, sync.status->status16a);
        st.integer(9, sync.status->deviceTime);
        st.text(10, QJsonDocument(status16bArray(*sync.status))
                        .toJson(QJsonDocument::Compact)
                        .toStdString());
    } else {
        for (int i = 6; i <= 10; ++i)
            st.null(i);
    }
    bool ok = lastError_.empty() && st.step() == SQLITE_DONE;
    if (ok && sync.status) {
        Statement dev(db_,
                      "UPDATE devices SET last_status = ?2, last_status_at = ?3 WHERE din = ?1");
        dev.text(1, sync.din);
        dev.text(2, statusJson(*sync.status));
        dev.text(3, sync.at);
        ok = dev.step() == SQLITE_DONE;
    }
    return endWrite(ok);
}

bool Storage::loadMeasurement(const std::string &din, long index, MeasurementRecord &out,
                              std::string &error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (index == 0) {
        error = "measurement index counts from 1 (or from -1 backwards)";
        return false;
    }
    const bool fromEnd = index < 0;
    const std::string sql = std::string("SELECT id, din, received_at, measured_at, dtime_packed, "
                                        "typeset, ns, nss, samples FROM measurements "
                                        "WHERE din = ?1 ORDER BY id ") +
                            (fromEnd ? "DESC" : "ASC") + " LIMIT 1 OFFSET ?2";
    Statement st(db_, sql.c_str());
    if (!st.ok()) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    st.text(1, din);
    st.integer(2, (fromEnd ? -index : index) - 1);
    const int rc = st.step();
    if (rc != SQLITE_ROW) {
        error = rc == SQLITE_DONE ? "no measurement " + std::to_string(index) + " for DIN " + din
                                  : std::string(sqlite3_errmsg(db_));
        return false;
    }
    out.id = st.columnInt(0);
    out.din = st.columnText(1);
    out.receivedAt = st.columnText(2);
    out.measuredAt = st.columnText(3);
    out.dtimePacked = static_cast<uint32_t>(st.columnInt(4));
    out.typeset = static_cast<uint32_t>(st.columnInt(5));
    out.ns = static_cast<uint16_t>(st.columnInt(6));
    out.nss = static_cast<uint16_t>(st.columnInt(7));
    out.samples =
        blobToSamples(sqlite3_column_blob(st.get(), 8), sqlite3_column_bytes(st.get(), 8));
    return true;
}

std::vector<MeasurementSummary> Storage::listMeasurements(const std::string &din)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MeasurementSummary> list;
    Statement st(db_, "SELECT id, din, measured_at, sample_count FROM measurements "
                      "WHERE (?1 = '' OR din = ?1) ORDER BY id");
    st.text(1, din);
    while (st.step() == SQLITE_ROW) {
        MeasurementSummary s;
        s.id = st.columnInt(0);
        s.din = st.columnText(1);
        s.measuredAt = st.columnText(2);
        s.sampleCount = static_cast<std::size_t>(st.columnInt(3));
        list.push_back(s);
    }
    return list;
}

} // namespace lumo_collect

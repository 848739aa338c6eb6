#include "SqliteStorage.h"

#include "TimeText.h"

#include <sqlite3.h>

#include <cstdint>

namespace lumo_collect {

namespace {

// The largest measurement's sample blob: what a probe write must be able to commit.
constexpr int kLargestBlobBytes = static_cast<int>(liblumo::kMaxSamples * sizeof(uint16_t));

// Version 3, as a new database gets it and as an upgraded one ends up. Times of this
// computer are UTC texts ("yyyy-MM-ddTHH:mm:ss.zzzZ"); measured_at is device time.
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
  samples BLOB NOT NULL,
  samples_sha256 BLOB NOT NULL,
  UNIQUE (din, dtime_packed, typeset, sample_count, samples_sha256)
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
CREATE TABLE IF NOT EXISTS write_probe (
  id INTEGER PRIMARY KEY,
  filler BLOB NOT NULL
);
PRAGMA user_version = 3;
)sql";

static_assert(kSchemaVersion == 3, "kSchema sets user_version 3");

// The columns versions 1 and 2 filled with this computer's local time. Rows of a table with
// an order (its id) are converted in that order, so a time of the hour repeated when
// summer time ends is read as the one that keeps the rows in order.
struct LocalTimeColumn {
    const char *table;
    const char *key;
    const char *column;
};
constexpr LocalTimeColumn kLocalTimeColumns[] = {
    {"measurements", "id", "received_at"}, {"syncs", "id", "at"},
    {"devices", "din", "first_seen"},      {"devices", "din", "last_seen"},
    {"devices", "din", "last_status_at"},
};

// The first layout's measurements move into the version-2 table, oldest first, so of
// rows that repeat one identity the first received is the one kept.
const char *const kUpgradeMeasurements = R"sql(
ALTER TABLE measurements RENAME TO measurements_first_layout;
DROP INDEX IF EXISTS measurements_din;
)sql";
const char *const kCopyFirstLayout = R"sql(
INSERT INTO measurements (id, din, received_at, measured_at, dtime_packed, typeset, ns, nss,
                          sample_count, samples, samples_sha256)
  SELECT id, din, received_at, measured_at, dtime_packed, typeset, ns, nss,
         sample_count, samples, lumo_sha256(samples)
  FROM measurements_first_layout WHERE true ORDER BY id
  ON CONFLICT (din, dtime_packed, typeset, sample_count, samples_sha256) DO NOTHING
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
        // A null pointer would bind NULL: an empty measurement is a zero-length blob.
        if (v.empty())
            sqlite3_bind_zeroblob(stmt_, i, 0);
        else
            sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::string columnText(int i)
    {
        const auto *p = sqlite3_column_text(stmt_, i);
        return p ? reinterpret_cast<const char *>(p) : "";
    }
    int64_t columnInt(int i) { return sqlite3_column_int64(stmt_, i); }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

// lumo_sha256(samples): the digest of the identity, for upgrading rows in SQL.
void sqlSha256(sqlite3_context *context, int /*argc*/, sqlite3_value **argv)
{
    const auto *data = static_cast<const uint8_t *>(sqlite3_value_blob(argv[0]));
    const int bytes = sqlite3_value_bytes(argv[0]);
    const std::vector<uint8_t> blob(data, data + (data ? bytes : 0));
    const std::vector<uint8_t> digest = samplesDigest(blob);
    sqlite3_result_blob(context, digest.data(), static_cast<int>(digest.size()), SQLITE_TRANSIENT);
}

int64_t singleInt(sqlite3 *db, const char *sql, int64_t fallback)
{
    Statement st(db, sql);
    return st.step() == SQLITE_ROW ? st.columnInt(0) : fallback;
}

} // namespace

std::unique_ptr<SqliteStorage> SqliteStorage::open(const std::string &path,
                                                   const OpenOptions &options, std::string &error,
                                                   OpenReport *report)
{
    const bool writing = options.access == Access::Write;
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_FULLMUTEX |
                      (writing ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY);
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        error =
            "cannot open database " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteStorage> storage(new SqliteStorage(db));
    sqlite3_busy_timeout(db, static_cast<int>(options.busyTimeout.count()));
    OpenReport local;
    OpenReport &r = report ? *report : local;
    // SQLite falls back to reading without a word when it may not write the file (read-only
    // file, folder or file system): that would only show at the first measurement.
    if (writing && sqlite3_db_readonly(db, "main") == 1) {
        error = "database " + path +
                " is read-only (the file, its folder or its file system cannot be written)";
        return nullptr;
    }
    if (!storage->checkVersion(path, r.versionFound, error))
        return nullptr;
    if (writing && !storage->prepareForWriting(path, r, error))
        return nullptr;
    if (!writing && !storage->tableExists("measurements")) {
        error = "database " + path + " holds no measurements (not made by lumo-collect)";
        return nullptr;
    }
    return storage;
}

SqliteStorage::~SqliteStorage()
{
    sqlite3_close(db_);
}

bool SqliteStorage::exec(const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        lastError_ = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool SqliteStorage::checkVersion(const std::string &path, int &version, std::string &error)
{
    Statement st(db_, "PRAGMA user_version");
    if (st.step() != SQLITE_ROW) {
        error = "cannot use database " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    version = static_cast<int>(st.columnInt(0));
    if (version > kSchemaVersion) {
        error = "database " + path + " has schema version " + std::to_string(version) +
                "; this lumo-collect knows versions up to " + std::to_string(kSchemaVersion) +
                ": use a newer lumo-collect";
        return false;
    }
    return true;
}

bool SqliteStorage::tableExists(const char *name)
{
    Statement st(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    st.text(1, name);
    return st.step() == SQLITE_ROW;
}

bool SqliteStorage::prepareForWriting(const std::string &path, OpenReport &report,
                                      std::string &error)
{
    sqlite3_create_function(db_, "lumo_sha256", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            &sqlSha256, nullptr, nullptr);
    // WAL keeps committed transactions through a crash of this process; FULL also syncs
    // each commit, so a measurement that was committed survives a power cut.
    const bool ready = exec("PRAGMA journal_mode=WAL;") && exec("PRAGMA synchronous=FULL;") &&
                       exec("BEGIN IMMEDIATE;");
    if (!ready) {
        error = "cannot use database " + path + ": " + lastError_;
        return false;
    }
    bool ok = true;
    if (report.versionFound < kSchemaVersion) {
        const bool existing = tableExists("measurements");
        const bool firstLayout = existing && report.versionFound < 2;
        ok = !existing ? createSchema() : !firstLayout || upgradeFromFirstLayout(report);
        ok = ok && (!existing || (convertLocalTimes(report) && exec("PRAGMA user_version = 3;")));
        report.created = !existing;
        report.upgraded = existing && ok;
    }
    if (!endWrite(ok)) {
        error = "cannot " + std::string(report.versionFound < kSchemaVersion ? "set up" : "use") +
                " database " + path + ": " + lastError_;
        return false;
    }
    if (!probeOnce()) {
        error = "cannot write database " + path + ": " + lastError_;
        return false;
    }
    return true;
}

bool SqliteStorage::createSchema()
{
    return exec(kSchema);
}

bool SqliteStorage::upgradeFromFirstLayout(OpenReport &report)
{
    // AUTOINCREMENT ids are never handed out twice: the new table continues the old count.
    const int64_t lastId =
        singleInt(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'measurements'", 0);
    const int64_t before = singleInt(db_, "SELECT COUNT(*) FROM measurements", -1);
    if (before < 0 || !exec(kUpgradeMeasurements) || !createSchema() || !exec(kCopyFirstLayout))
        return false;
    const int64_t kept = singleInt(db_, "SELECT COUNT(*) FROM measurements", -1);
    if (kept < 0 || !exec("DROP TABLE measurements_first_layout;"))
        return false;
    Statement seq(db_, "UPDATE sqlite_sequence SET seq = MAX(seq, ?1) WHERE name = 'measurements'");
    seq.integer(1, lastId);
    if (seq.step() != SQLITE_DONE)
        return false;
    report.rowsUpgraded = static_cast<std::size_t>(kept);
    report.repeatsMerged = static_cast<std::size_t>(before - kept);
    return true;
}

bool SqliteStorage::convertColumn(const char *table, const char *key, const char *column,
                                  std::size_t &converted)
{
    const std::string where = std::string(" WHERE ") + column + " IS NOT NULL";
    const std::string select = std::string("SELECT ") + key + ", " + column + " FROM " + table +
                               where + " ORDER BY " + (std::string(key) == "id" ? "id" : "rowid");
    const std::string update =
        std::string("UPDATE ") + table + " SET " + column + " = ?1 WHERE " + key + " = ?2";
    Statement rows(db_, select.c_str());
    Statement put(db_, update.c_str());
    if (!rows.ok() || !put.ok()) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    int64_t previous = INT64_MIN;
    int rc = SQLITE_ROW;
    while ((rc = rows.step()) == SQLITE_ROW) {
        const std::string keyText = rows.columnText(0);
        const std::string local = rows.columnText(1);
        int64_t millis = 0;
        if (!localTextToMillis(local, previous, millis)) {
            lastError_ = std::string(table) + "." + column + " of " + key + " " + keyText +
                         " holds \"" + local + "\", not a local time of the earlier layout";
            return false;
        }
        previous = std::string(key) == "id" ? millis : INT64_MIN;
        sqlite3_reset(put.get());
        put.text(1, formatUtc(millis));
        put.text(2, keyText);
        if (put.step() != SQLITE_DONE) {
            lastError_ = sqlite3_errmsg(db_);
            return false;
        }
        ++converted;
    }
    if (rc != SQLITE_DONE)
        lastError_ = sqlite3_errmsg(db_);
    return rc == SQLITE_DONE;
}

bool SqliteStorage::convertLocalTimes(OpenReport &report)
{
    for (const LocalTimeColumn &c : kLocalTimeColumns)
        if (!convertColumn(c.table, c.key, c.column, report.timesConverted))
            return false;
    report.zone = localZoneName();
    return true;
}

void SqliteStorage::upsertDevice(const std::string &din, const std::string &when)
{
    Statement st(db_, "INSERT INTO devices (din, first_seen, last_seen) VALUES (?1, ?2, ?2) "
                      "ON CONFLICT (din) DO UPDATE SET last_seen = excluded.last_seen");
    st.text(1, din);
    st.text(2, when);
    if (st.step() != SQLITE_DONE)
        lastError_ = sqlite3_errmsg(db_);
}

bool SqliteStorage::beginWrite(const std::string &din, const std::string &when)
{
    lastError_.clear();
    if (!exec("BEGIN IMMEDIATE;"))
        return false;
    upsertDevice(din, when);
    return true;
}

bool SqliteStorage::endWrite(bool stepsSucceeded)
{
    if (stepsSucceeded && lastError_.empty() && exec("COMMIT;"))
        return true;
    if (lastError_.empty())
        lastError_ = sqlite3_errmsg(db_);
    // A failed COMMIT (disk full) may leave the transaction open: it must not outlive
    // this write, or every later BEGIN would fail.
    if (sqlite3_get_autocommit(db_) == 0) {
        const std::string why = lastError_;
        exec("ROLLBACK;");
        lastError_ = why;
    }
    return false;
}

bool SqliteStorage::deviceSeen(const std::string &din, const std::string &when)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_.clear();
    upsertDevice(din, when);
    return lastError_.empty();
}

int64_t SqliteStorage::findMeasurement(const MeasurementRecord &m,
                                       const std::vector<uint8_t> &digest)
{
    Statement st(db_, "SELECT id FROM measurements WHERE din = ?1 AND dtime_packed = ?2 AND "
                      "typeset = ?3 AND sample_count = ?4 AND samples_sha256 = ?5");
    st.text(1, m.din);
    st.integer(2, m.dtimePacked);
    st.integer(3, m.typeset);
    st.integer(4, static_cast<int64_t>(m.samples.size()));
    st.blob(5, digest);
    return st.step() == SQLITE_ROW ? st.columnInt(0) : 0;
}

StoreOutcome SqliteStorage::storeOne(MeasurementRecord &m, const std::vector<uint8_t> &blob,
                                     const std::vector<uint8_t> &digest)
{
    upsertDevice(m.din, m.receivedAt);
    if (!lastError_.empty())
        return StoreOutcome::Failed;
    // Looked up first, inside the write transaction: an insert that only conflicts would
    // still use up an id. Rows inserted earlier in the same transaction are found too.
    const int64_t stored = findMeasurement(m, digest);
    if (stored != 0) {
        m.id = stored;
        return StoreOutcome::Repeat;
    }
    Statement st(db_, "INSERT INTO measurements (din, received_at, measured_at, dtime_packed, "
                      "typeset, ns, nss, sample_count, samples, samples_sha256) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    st.text(1, m.din);
    st.text(2, m.receivedAt);
    st.text(3, m.measuredAt);
    st.integer(4, m.dtimePacked);
    st.integer(5, m.typeset);
    st.integer(6, m.ns);
    st.integer(7, m.nss);
    st.integer(8, static_cast<int64_t>(m.samples.size()));
    st.blob(9, blob);
    st.blob(10, digest);
    if (st.step() != SQLITE_DONE) {
        lastError_ = sqlite3_errmsg(db_);
        return StoreOutcome::Failed;
    }
    m.id = sqlite3_last_insert_rowid(db_);
    return StoreOutcome::Stored;
}

StoreOutcome SqliteStorage::storeMeasurement(MeasurementRecord &m)
{
    std::string error;
    return storeMeasurements({&m}, error).front();
}

std::vector<StoreOutcome>
SqliteStorage::storeMeasurements(const std::vector<MeasurementRecord *> &group, std::string &error)
{
    // Blobs and digests are the costly part: made before the lock, so other callers are
    // not held up by them.
    std::vector<std::vector<uint8_t>> blobs;
    std::vector<std::vector<uint8_t>> digests;
    for (const MeasurementRecord *m : group) {
        blobs.push_back(samplesToBlob(m->samples));
        digests.push_back(samplesDigest(blobs.back()));
    }
    std::vector<StoreOutcome> outcomes(group.size(), StoreOutcome::Failed);
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_.clear();
    const bool began = exec("BEGIN IMMEDIATE;");
    bool ok = began;
    for (std::size_t i = 0; ok && i < group.size(); ++i) {
        outcomes[i] = storeOne(*group[i], blobs[i], digests[i]);
        ok = outcomes[i] != StoreOutcome::Failed;
    }
    if (began && endWrite(ok))
        return outcomes;
    // Rolled back: nothing of the group is stored, so none of it may be reported stored.
    error = lastError_;
    for (MeasurementRecord *m : group)
        m->id = 0;
    return std::vector<StoreOutcome>(group.size(), StoreOutcome::Failed);
}

bool SqliteStorage::storeSync(const SyncRecord &sync)
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
        st.text(10, status16bJson(*sync.status));
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

bool SqliteStorage::probeOnce()
{
    // Committed for real: a full disk shows only when the commit writes the journal.
    lastError_.clear();
    if (!exec("BEGIN IMMEDIATE;"))
        return false;
    Statement put(db_, "INSERT INTO write_probe (filler) VALUES (zeroblob(?1))");
    put.integer(1, kLargestBlobBytes);
    if (!endWrite(put.step() == SQLITE_DONE))
        return false;
    return exec("DELETE FROM write_probe;");
}

bool SqliteStorage::probeWrite()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return probeOnce();
}

namespace {

// A row of "id, din, received_at, measured_at, dtime_packed, typeset, ns, nss, samples".
void readMeasurementRow(Statement &st, MeasurementRecord &out)
{
    out.id = st.columnInt(0);
    out.din = st.columnText(1);
    out.receivedAt = st.columnText(2);
    out.measuredAt = st.columnText(3);
    out.dtimePacked = static_cast<uint32_t>(st.columnInt(4));
    out.typeset = static_cast<uint32_t>(st.columnInt(5));
    out.ns = static_cast<uint16_t>(st.columnInt(6));
    out.nss = static_cast<uint16_t>(st.columnInt(7));
    out.samples = blobToSamples(sqlite3_column_blob(st.get(), 8),
                                static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 8)));
}

} // namespace

bool SqliteStorage::loadMeasurement(const std::string &din, long index, MeasurementRecord &out,
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
    readMeasurementRow(st, out);
    return true;
}

std::vector<MeasurementSummary> SqliteStorage::listMeasurements(const std::string &din)
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

bool SqliteStorage::findMeasurementIds(const MeasurementFilter &filter, std::vector<int64_t> &ids,
                                       std::string &error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st(db_, "SELECT id FROM measurements WHERE (?1 = '' OR din = ?1) AND "
                      "(?2 = '' OR measured_at >= ?2) AND (?3 = '' OR measured_at < ?3) "
                      "ORDER BY id");
    st.text(1, filter.din);
    st.text(2, filter.from);
    st.text(3, filter.to);
    int rc = SQLITE_ROW;
    while ((rc = st.step()) == SQLITE_ROW)
        ids.push_back(st.columnInt(0));
    if (rc != SQLITE_DONE)
        error = sqlite3_errmsg(db_);
    return rc == SQLITE_DONE;
}

bool SqliteStorage::loadMeasurementById(int64_t id, MeasurementRecord &out, std::string &error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st(db_, "SELECT id, din, received_at, measured_at, dtime_packed, typeset, ns, nss, "
                      "samples FROM measurements WHERE id = ?1");
    st.integer(1, id);
    const int rc = st.step();
    if (rc != SQLITE_ROW) {
        error = rc == SQLITE_DONE ? "no measurement with id " + std::to_string(id)
                                  : std::string(sqlite3_errmsg(db_));
        return false;
    }
    readMeasurementRow(st, out);
    return true;
}

std::string SqliteStorage::lastError() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

} // namespace lumo_collect

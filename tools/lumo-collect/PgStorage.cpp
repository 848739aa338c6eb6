#include "PgStorage.h"

#include "PgMigration.h"
#include <algorithm>
#include <cstdint>
#include <optional>

namespace lumo_collect {

namespace {

constexpr int kLargestBlobBytes = static_cast<int>(liblumo::kMaxSamples * sizeof(uint16_t));
// Held (for one transaction) while a collector creates the tables, so two collectors
// starting together do not both try.
constexpr long long kSchemaLockKey = 0x4C554D5300000000LL; // "LUMS": apart from the DIN locks

const char *const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS lumo_schema (version integer NOT NULL);
CREATE TABLE IF NOT EXISTS devices (
  din text PRIMARY KEY,
  first_seen timestamptz NOT NULL,
  last_seen timestamptz NOT NULL,
  handshake_crc16 integer,
  last_status text,
  last_status_at timestamptz
);
CREATE TABLE IF NOT EXISTS measurements (
  id bigserial PRIMARY KEY,
  din text NOT NULL,
  received_at timestamptz NOT NULL,
  measured_at text NOT NULL,
  dtime_packed bigint NOT NULL,
  typeset bigint NOT NULL,
  ns integer NOT NULL,
  nss integer NOT NULL,
  sample_count integer NOT NULL,
  samples bytea NOT NULL,
  samples_sha256 bytea NOT NULL,
  UNIQUE (din, dtime_packed, typeset, sample_count, samples_sha256)
);
CREATE INDEX IF NOT EXISTS measurements_din ON measurements (din, id);
CREATE TABLE IF NOT EXISTS syncs (
  id bigserial PRIMARY KEY,
  din text NOT NULL,
  at timestamptz NOT NULL,
  ok integer NOT NULL,
  params_written integer NOT NULL,
  host_crc16 integer,
  status32a bigint,
  status32b bigint,
  status16a integer,
  device_time bigint,
  status16b text
);
CREATE TABLE IF NOT EXISTS device_leases (
  din text PRIMARY KEY,
  holder text NOT NULL,
  epoch bigint NOT NULL,
  expires_at timestamptz NOT NULL
);
CREATE TABLE IF NOT EXISTS write_probe (
  id bigserial PRIMARY KEY,
  filler bytea NOT NULL
);
INSERT INTO lumo_schema (version) SELECT 3 WHERE NOT EXISTS (SELECT 1 FROM lumo_schema);
)sql";

static_assert(kSchemaVersion == 3, "kSchema records version 3");

// A timestamptz column as the UTC text both stores hand out.
#define LUMO_UTC_TEXT(column)                                                                      \
    "to_char(" column " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"

} // namespace

std::unique_ptr<PgStorage> PgStorage::open(const PgTarget &target, Access access,
                                           std::string &error, OpenReport *report)
{
    auto conn = PgConnection::connect(target, error);
    if (!conn)
        return nullptr;
    std::unique_ptr<PgStorage> storage(new PgStorage(std::move(conn), target));
    OpenReport local;
    if (!storage->prepare(access, report ? *report : local, error))
        return nullptr;
    return storage;
}

bool PgStorage::prepare(Access access, OpenReport &report, std::string &error)
{
    const std::string at = "PostgreSQL database " + conn_->address();
    // plot must never change the database: the whole session is read-only.
    if (access == Access::Read && !conn_->command("SET default_transaction_read_only = on", error))
        return false;
    PgResult found = conn_->exec("SELECT to_regclass('lumo_schema') IS NOT NULL, "
                                 "to_regclass('measurements') IS NOT NULL");
    if (found.rows() != 1) {
        error = "cannot use " + at + ": " + found.error();
        return false;
    }
    const bool versioned = found.text(0, 0) == "t";
    if (!versioned && found.text(0, 1) == "t") {
        error = at + " has a measurements table not made by lumo-collect (no lumo_schema)";
        return false;
    }
    if (!versioned && access == Access::Read) {
        error = at + " holds no measurements (not made by lumo-collect)";
        return false;
    }
    if (versioned) {
        PgResult v = conn_->exec("SELECT max(version) FROM lumo_schema");
        report.versionFound = v.rows() == 1 && !v.isNull(0, 0) ? int(v.integer(0, 0)) : 0;
        if (report.versionFound > kSchemaVersion) {
            error = at + " has schema version " + std::to_string(report.versionFound) +
                    "; this lumo-collect knows versions up to " + std::to_string(kSchemaVersion) +
                    ": use a newer lumo-collect";
            return false;
        }
    }
    if (access == Access::Read)
        return true;
    report.created = !versioned;
    const bool ready = transaction([&] {
        // The server's notices ("already exists, skipping") would be lines of their own.
        return run("SET LOCAL client_min_messages = warning") &&
               run("SELECT pg_advisory_xact_lock($1)", PgParams().integer(kSchemaLockKey)) &&
               migrateIfOlder(report) && run(kSchema);
    });
    if (!ready) {
        error = "cannot set up " + at + ": " + lastError_;
        return false;
    }
    if (!probeOnce()) {
        error = "cannot write " + at + ": " + lastError_;
        return false;
    }
    return true;
}

bool PgStorage::migrateIfOlder(OpenReport &report)
{
    if (report.versionFound == 0 || report.versionFound >= kSchemaVersion)
        return true; // new, or already current
    // Read again under the lock: another collector may have upgraded the store meanwhile.
    PgResult v = conn_->exec("SELECT max(version) FROM lumo_schema");
    if (!v.ok() || v.rows() != 1) {
        lastError_ = v.error();
        return false;
    }
    if (v.integer(0, 0) >= kSchemaVersion)
        return true;
    std::string error;
    if (migratePgToVersion3(*conn_, report, error))
        return true;
    lastError_ = "the upgrade to schema version 3 failed, nothing was changed: " + error;
    return false;
}

bool PgStorage::run(const char *sql, const PgParams &params)
{
    PgResult r = params.empty() ? conn_->script(sql) : conn_->exec(sql, params);
    if (r.ok())
        return true;
    lastError_ = r.error();
    return false;
}

bool PgStorage::attempt(const std::function<bool()> &steps)
{
    const TransactionDeadline deadline(*conn_);
    lastError_.clear();
    if (!run("BEGIN"))
        return false;
    if (steps() && run("COMMIT"))
        return true;
    // A failed step leaves the transaction aborted; ROLLBACK ends it (and a broken
    // connection has none left to end).
    const std::string why = lastError_;
    if (!conn_->isBroken())
        run("ROLLBACK");
    lastError_ = why;
    return false;
}

bool PgStorage::retried(PgConnection &conn, std::string &error,
                        const std::function<bool()> &attemptOnce)
{
    if (conn.isBroken() && !conn.reconnect(error))
        return false;
    if (attemptOnce())
        return true;
    if (!conn.isBroken() || conn.timedOut())
        return false; // refused, or no answer within the deadline: not again at once
    // The server went away (restart, fail-over, network): once more on a new connection.
    return conn.reconnect(error) && attemptOnce();
}

bool PgStorage::transaction(const std::function<bool()> &steps)
{
    return retried(*conn_, lastError_, [&] { return attempt(steps); });
}

bool PgStorage::attemptBatch(PgConnection &conn, const std::vector<PgStatement> &batch,
                             std::vector<PgResult> &results, std::string &error)
{
    const TransactionDeadline deadline(conn);
    std::vector<PgStatement> all;
    all.reserve(batch.size() + 2);
    all.push_back({"BEGIN", {}});
    all.insert(all.end(), batch.begin(), batch.end());
    all.push_back({"COMMIT", {}});
    std::vector<PgResult> answers = conn.pipeline(all);
    if (answers.empty()) {
        error = conn.failure();
        return false;
    }
    // The first failure is the reason; the statements after it were not run.
    const auto failed =
        std::find_if(answers.begin(), answers.end(), [](const PgResult &r) { return !r.ok(); });
    if (failed == answers.end()) {
        results.clear();
        for (std::size_t i = 1; i + 1 < answers.size(); ++i)
            results.push_back(std::move(answers[i]));
        return true;
    }
    error = failed->error();
    if (!conn.isBroken())
        conn.exec("ROLLBACK");
    return false;
}

bool PgStorage::commitBatch(PgConnection &conn, const std::vector<PgStatement> &batch,
                            std::vector<PgResult> &results, std::string &error)
{
    return retried(conn, error, [&] { return attemptBatch(conn, batch, results, error); });
}

PgConnection *PgStorage::takeWriterConnection(std::string &error)
{
    std::unique_lock<std::mutex> lock(poolMutex_);
    poolFree_.wait(lock, [this] { return !idleWriters_.empty() || writers_.size() < kWriters; });
    if (!idleWriters_.empty()) {
        PgConnection *conn = idleWriters_.back();
        idleWriters_.pop_back();
        return conn;
    }
    // A new one, made without the pool held (connecting may take its whole deadline).
    writers_.push_back(nullptr);
    const std::size_t slot = writers_.size() - 1;
    lock.unlock();
    std::unique_ptr<PgConnection> fresh = PgConnection::connect(target_, error);
    lock.lock();
    if (!fresh) {
        writers_.erase(writers_.begin() + static_cast<std::ptrdiff_t>(slot));
        poolFree_.notify_one();
        return nullptr;
    }
    writers_[slot] = std::move(fresh);
    return writers_[slot].get();
}

void PgStorage::giveBackWriterConnection(PgConnection *conn)
{
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        idleWriters_.push_back(conn);
    }
    poolFree_.notify_one();
}

void PgStorage::addDevice(std::vector<PgStatement> &batch, const std::string &din,
                          const std::string &when)
{
    batch.push_back({"INSERT INTO devices (din, first_seen, last_seen) VALUES ($1, $2, $2) "
                     "ON CONFLICT (din) DO UPDATE SET last_seen = excluded.last_seen",
                     PgParams().text(din).text(when)});
}

bool PgStorage::deviceSeen(const std::string &din, const std::string &when)
{
    WriteGroup group;
    group.devices.push_back({din, when});
    std::vector<StoreOutcome> outcomes;
    std::string error;
    return storeGroup(group, outcomes, error);
}

int64_t PgStorage::findMeasurement(PgConnection &conn, const MeasurementRecord &m,
                                   const std::vector<uint8_t> &digest, std::string &error)
{
    PgResult r = conn.exec("SELECT id FROM measurements WHERE din = $1 AND dtime_packed = $2 "
                           "AND typeset = $3 AND sample_count = $4 AND samples_sha256 = $5",
                           PgParams()
                               .text(m.din)
                               .integer(m.dtimePacked)
                               .integer(m.typeset)
                               .integer(static_cast<long long>(m.samples.size()))
                               .bytes(digest));
    if (!r.ok()) {
        error = r.error();
        return -1;
    }
    return r.rows() == 1 ? r.integer(0, 0) : 0;
}

namespace {

// A measurement, stored unless the store holds its identity already; either way its id
// comes back, with 1 when this statement added it and 0 when it was there before. With a
// lease ($11 holder, $12 epoch) it is stored only while that lease is valid: no row then.
#define LUMO_INSERT_MEASUREMENT(LEASE_CTE, LEASE_HELD)                                             \
    "WITH " LEASE_CTE "added AS (INSERT INTO measurements (din, received_at, measured_at, "        \
    "dtime_packed, typeset, ns, nss, sample_count, samples, samples_sha256) "                      \
    "SELECT $1::text, $2::timestamptz, $3::text, $4::bigint, $5::bigint, $6::integer, "            \
    "$7::integer, $8::integer, $9::bytea, $10::bytea WHERE " LEASE_HELD " "                        \
    "ON CONFLICT (din, dtime_packed, typeset, sample_count, samples_sha256) DO NOTHING "           \
    "RETURNING id) "                                                                               \
    "SELECT id, 1 FROM added UNION ALL SELECT id, 0 FROM measurements WHERE " LEASE_HELD " "       \
    "AND NOT EXISTS (SELECT 1 FROM added) AND din = $1::text AND dtime_packed = $4::bigint "       \
    "AND typeset = $5::bigint AND sample_count = $8::integer AND samples_sha256 = $10::bytea"

const char *const kInsertLeased = LUMO_INSERT_MEASUREMENT(
    "lease AS (SELECT 1 FROM device_leases WHERE din = $1::text AND holder = $11::text AND "
    "epoch = $12::bigint AND expires_at > now()), ",
    "EXISTS (SELECT 1 FROM lease)");
const char *const kInsertUnleased = LUMO_INSERT_MEASUREMENT("", "true");
#undef LUMO_INSERT_MEASUREMENT

// The group's leases, read FOR SHARE: no collector can take one over (nor this one renew
// it) until the group's transaction ends, so what the inserts see holds at the commit.
const char *const kLockLeases = "SELECT din, epoch FROM device_leases WHERE holder = $1 AND "
                                "din = ANY($2::text[]) AND expires_at > now() FOR SHARE";

} // namespace

void PgStorage::addMeasurement(std::vector<PgStatement> &batch, const MeasurementRecord &m,
                               const std::vector<uint8_t> &blob, const std::vector<uint8_t> &digest,
                               std::optional<long long> epoch)
{
    PgParams p;
    p.text(m.din)
        .text(m.receivedAt)
        .text(m.measuredAt)
        .integer(m.dtimePacked)
        .integer(m.typeset)
        .integer(m.ns)
        .integer(m.nss)
        .integer(static_cast<long long>(m.samples.size()))
        .bytes(blob)
        .bytes(digest);
    if (epoch)
        p.text(leases_->holder()).integer(*epoch);
    batch.push_back({epoch ? kInsertLeased : kInsertUnleased, std::move(p)});
}

bool PgStorage::storeGroup(const WriteGroup &group, std::vector<StoreOutcome> &outcomes,
                           std::string &error)
{
    // Per measurement; empty for one not sent.
    std::vector<std::vector<uint8_t>> digests(group.measurements.size());
    std::vector<PgStatement> batch;
    for (const DeviceSeen &d : group.devices)
        addDevice(batch, d.din, d.when);
    for (const SyncRecord *sync : group.syncs)
        addSync(batch, *sync);
    // The leases as this collector knows them now: a measurement of a device whose lease
    // it no longer holds is not even sent.
    std::vector<std::string> dins;
    std::vector<std::optional<long long>> epochs;
    for (const MeasurementRecord *m : group.measurements) {
        epochs.push_back(leases_ ? leases_->epochOf(m->din) : std::nullopt);
        if (leases_ && epochs.back() && std::find(dins.begin(), dins.end(), m->din) == dins.end())
            dins.push_back(m->din);
    }
    const std::size_t leaseQuery = batch.size();
    if (!dins.empty())
        batch.push_back({kLockLeases, PgParams().text(leases_->holder()).textArray(dins)});
    std::vector<std::size_t> answerOf(group.measurements.size(), SIZE_MAX);
    std::vector<std::string> upserted;
    for (std::size_t i = 0; i < group.measurements.size(); ++i) {
        const MeasurementRecord &m = *group.measurements[i];
        if (leases_ && !epochs[i])
            continue; // fenced
        if (std::find(upserted.begin(), upserted.end(), m.din) == upserted.end()) {
            upserted.push_back(m.din);
            addDevice(batch, m.din, m.receivedAt);
        }
        const std::vector<uint8_t> blob = samplesToBlob(m.samples);
        digests[i] = samplesDigest(blob);
        answerOf[i] = batch.size();
        addMeasurement(batch, m, blob, digests[i], epochs[i]);
    }
    std::vector<PgResult> results;
    PgConnection *conn = batch.empty() ? nullptr : takeWriterConnection(error);
    bool committed = batch.empty();
    if (conn) {
        committed = commitBatch(*conn, batch, results, error);
        if (committed)
            outcomes = measurementOutcomes(*conn, group, epochs, answerOf, results,
                                           dins.empty() ? SIZE_MAX : leaseQuery, digests, error);
        else if (!conn->isBroken())
            conn->discard(error); // a read-only or poisoned session is not used again
        giveBackWriterConnection(conn);
    } else if (committed) {
        outcomes.assign(group.measurements.size(), StoreOutcome::Fenced);
    }
    if (committed)
        return true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = error;
    }
    for (MeasurementRecord *m : group.measurements)
        m->id = 0;
    outcomes.assign(group.measurements.size(), StoreOutcome::Failed);
    return false;
}

std::vector<StoreOutcome>
PgStorage::measurementOutcomes(PgConnection &conn, const WriteGroup &group,
                               const std::vector<std::optional<long long>> &epochs,
                               const std::vector<std::size_t> &answerOf,
                               const std::vector<PgResult> &results, std::size_t leaseQuery,
                               const std::vector<std::vector<uint8_t>> &digests, std::string &error)
{
    std::set<std::string> valid;
    if (leaseQuery != SIZE_MAX) {
        const PgResult &r = results[leaseQuery];
        for (int row = 0; row < r.rows(); ++row) {
            const std::string din = r.text(row, 0);
            for (std::size_t i = 0; i < group.measurements.size(); ++i)
                if (group.measurements[i]->din == din && epochs[i] == r.integer(row, 1))
                    valid.insert(din);
        }
    }
    std::vector<StoreOutcome> outcomes(group.measurements.size(), StoreOutcome::Fenced);
    for (std::size_t i = 0; i < group.measurements.size(); ++i) {
        MeasurementRecord &m = *group.measurements[i];
        if (answerOf[i] == SIZE_MAX)
            continue;
        if (leases_ && !valid.count(m.din)) {
            m.id = 0;
            continue;
        }
        const PgResult &r = results[answerOf[i]];
        if (r.rows() == 1) {
            m.id = r.integer(0, 0);
            outcomes[i] = r.integer(0, 1) == 1 ? StoreOutcome::Stored : StoreOutcome::Repeat;
            continue;
        }
        // Another collector committed the same identity while this one's insert waited on
        // it: the row is there now, but after this statement began.
        m.id = findMeasurement(conn, m, digests[i], error);
        outcomes[i] = m.id > 0 ? StoreOutcome::Repeat : StoreOutcome::Failed;
    }
    return outcomes;
}

std::vector<StoreOutcome>
PgStorage::storeMeasurements(const std::vector<MeasurementRecord *> &group, std::string &error)
{
    WriteGroup only;
    only.measurements = group;
    std::vector<StoreOutcome> outcomes;
    storeGroup(only, outcomes, error);
    return outcomes;
}

StoreOutcome PgStorage::storeMeasurement(MeasurementRecord &m)
{
    std::string error;
    return storeMeasurements({&m}, error).front();
}

void PgStorage::addSync(std::vector<PgStatement> &batch, const SyncRecord &sync)
{
    PgParams p;
    p.text(sync.din).text(sync.at).integer(sync.ok ? 1 : 0).integer(sync.paramsWritten ? 1 : 0);
    sync.hostCrc16 ? p.integer(*sync.hostCrc16) : p.null();
    if (sync.status) {
        const StatusRecord &s = *sync.status;
        p.integer(s.status32a).integer(s.status32b).integer(s.status16a).integer(s.deviceTime);
        p.text(status16bJson(s));
    } else {
        p.null().null().null().null().null();
    }
    addDevice(batch, sync.din, sync.at);
    batch.push_back({"INSERT INTO syncs (din, at, ok, params_written, host_crc16, status32a, "
                     "status32b, status16a, device_time, status16b) "
                     "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)",
                     std::move(p)});
    if (sync.status)
        batch.push_back({"UPDATE devices SET last_status = $2, last_status_at = $3 WHERE din = $1",
                         PgParams().text(sync.din).text(statusJson(*sync.status)).text(sync.at)});
}

bool PgStorage::storeSync(const SyncRecord &sync)
{
    WriteGroup group;
    group.syncs.push_back(&sync);
    std::vector<StoreOutcome> outcomes;
    std::string error;
    return storeGroup(group, outcomes, error);
}

bool PgStorage::probeOnce()
{
    // Into the table measurements go to (a lock on it, a read-only session or a full
    // disk show there), committed for real (a full disk may show only then), and gone
    // again in the same transaction, so no reader ever sees it.
    return transaction([&] {
        PgResult r = conn_->exec(
            "INSERT INTO measurements (din, received_at, measured_at, dtime_packed, typeset, "
            "ns, nss, sample_count, samples, samples_sha256) VALUES ('probe', now(), '', -1, -1, "
            "0, 0, 0, decode(repeat('00', $1::integer), 'hex'), '') RETURNING id",
            PgParams().integer(kLargestBlobBytes));
        if (r.rows() != 1) {
            lastError_ = r.error();
            return false;
        }
        return run("DELETE FROM measurements WHERE id = $1", PgParams().integer(r.integer(0, 0)));
    });
}

bool PgStorage::probeWrite()
{
    std::lock_guard<std::mutex> lock(mutex_);
    // On a fresh connection: the old session may be the fault (read-only, poisoned).
    std::string error;
    if (!conn_->reconnect(error)) {
        lastError_ = error;
        return false;
    }
    return probeOnce();
}

namespace {

// The first row of "id, din, received_at, measured_at, dtime_packed, typeset, ns, nss,
// samples".
void readMeasurementRow(const PgResult &r, MeasurementRecord &out)
{
    out.id = r.integer(0, 0);
    out.din = r.text(0, 1);
    out.receivedAt = r.text(0, 2);
    out.measuredAt = r.text(0, 3);
    out.dtimePacked = static_cast<uint32_t>(r.integer(0, 4));
    out.typeset = static_cast<uint32_t>(r.integer(0, 5));
    out.ns = static_cast<uint16_t>(r.integer(0, 6));
    out.nss = static_cast<uint16_t>(r.integer(0, 7));
    const std::vector<uint8_t> blob = r.bytes(0, 8);
    out.samples = blobToSamples(blob.data(), blob.size());
}

} // namespace

bool PgStorage::loadMeasurement(const std::string &din, long index, MeasurementRecord &out,
                                std::string &error)
{
    if (index == 0) {
        error = "measurement index counts from 1 (or from -1 backwards)";
        return false;
    }
    const bool fromEnd = index < 0;
    const std::string sql = std::string("SELECT id, din, " LUMO_UTC_TEXT(
                                "received_at") ", measured_at, dtime_packed, "
                                               "typeset, ns, nss, samples FROM "
                                               "measurements "
                                               "WHERE din = $1 ORDER BY id ") +
                            (fromEnd ? "DESC" : "ASC") + " LIMIT 1 OFFSET $2";
    std::lock_guard<std::mutex> lock(mutex_);
    PgResult r =
        conn_->exec(sql.c_str(), PgParams().text(din).integer((fromEnd ? -index : index) - 1),
                    /*binaryResult=*/true);
    if (!r.ok()) {
        error = r.error();
        return false;
    }
    if (r.rows() == 0) {
        error = "no measurement " + std::to_string(index) + " for DIN " + din;
        return false;
    }
    readMeasurementRow(r, out);
    return true;
}

std::vector<MeasurementSummary> PgStorage::listMeasurements(const std::string &din)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MeasurementSummary> list;
    PgResult r = conn_->exec("SELECT id, din, measured_at, sample_count FROM measurements "
                             "WHERE ($1 = '' OR din = $1) ORDER BY id",
                             PgParams().text(din));
    for (int i = 0; i < r.rows(); ++i) {
        MeasurementSummary s;
        s.id = r.integer(i, 0);
        s.din = r.text(i, 1);
        s.measuredAt = r.text(i, 2);
        s.sampleCount = static_cast<std::size_t>(r.integer(i, 3));
        list.push_back(s);
    }
    if (!r.ok())
        lastError_ = r.error();
    return list;
}

bool PgStorage::findMeasurementIds(const MeasurementFilter &filter, std::vector<int64_t> &ids,
                                   std::string &error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PgResult r = conn_->exec("SELECT id FROM measurements WHERE ($1 = '' OR din = $1) AND "
                             "($2 = '' OR measured_at >= $2) AND ($3 = '' OR measured_at < $3) "
                             "ORDER BY id",
                             PgParams().text(filter.din).text(filter.from).text(filter.to));
    if (!r.ok()) {
        error = r.error();
        return false;
    }
    for (int i = 0; i < r.rows(); ++i)
        ids.push_back(r.integer(i, 0));
    return true;
}

bool PgStorage::loadMeasurementById(int64_t id, MeasurementRecord &out, std::string &error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PgResult r = conn_->exec("SELECT id, din, " LUMO_UTC_TEXT(
                                 "received_at") ", measured_at, dtime_packed, typeset, ns, nss, "
                                                "samples FROM measurements WHERE id = $1",
                             PgParams().integer(id), /*binaryResult=*/true);
    if (!r.ok() || r.rows() != 1) {
        error = r.ok() ? "no measurement with id " + std::to_string(id) : r.error();
        return false;
    }
    readMeasurementRow(r, out);
    return true;
}

std::string PgStorage::lastError() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

} // namespace lumo_collect

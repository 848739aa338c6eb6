#include "FleetReader.h"

#include "MeasurementRecord.h"
#include "PgConnection.h"
#include "StoredTime.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <mutex>

namespace lumo_collect {

namespace {

// A result as text: one optional value per column, so both stores read alike.
using Value = std::optional<std::string>;
using Row = std::vector<Value>;
using Table = std::vector<Row>;

// The one thing the two stores do differently: run a statement. The SQL is the same for
// both ($1, $2... name the parameters in SQLite too).
class SqlSource {
public:
    virtual ~SqlSource() = default;
    virtual bool query(const std::string &sql, const std::vector<std::string> &params, Table &out,
                       std::string &error) = 0;
    // One blob column of at most one row; found false when there is no row.
    virtual bool blob(const std::string &sql, const std::string &param, std::vector<uint8_t> &out,
                      bool &found, std::string &error) = 0;
};

// A reader's wait for the collector's write lock: short, a page can be asked for again.
constexpr int kSqliteBusyMs = 1000;

class SqliteSource : public SqlSource {
public:
    static std::unique_ptr<SqliteSource> open(const std::string &path, std::string &error)
    {
        sqlite3 *db = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        if (rc != SQLITE_OK) {
            error = "cannot open the database " + path +
                    " for reading: " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
            sqlite3_close(db);
            return nullptr;
        }
        sqlite3_busy_timeout(db, kSqliteBusyMs);
        return std::unique_ptr<SqliteSource>(new SqliteSource(db));
    }
    ~SqliteSource() override { sqlite3_close(db_); }

    bool query(const std::string &sql, const std::vector<std::string> &params, Table &out,
               std::string &error) override
    {
        return run(sql, params, error, [&](sqlite3_stmt *st) {
            Row row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const auto *p = sqlite3_column_text(st, i);
                row.push_back(p ? Value(reinterpret_cast<const char *>(p)) : std::nullopt);
            }
            out.push_back(std::move(row));
        });
    }

    bool blob(const std::string &sql, const std::string &param, std::vector<uint8_t> &out,
              bool &found, std::string &error) override
    {
        found = false;
        return run(sql, {param}, error, [&](sqlite3_stmt *st) {
            const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(st, 0));
            out.assign(p, p + (p ? sqlite3_column_bytes(st, 0) : 0));
            found = true;
        });
    }

private:
    explicit SqliteSource(sqlite3 *db) : db_(db) {}

    bool run(const std::string &sql, const std::vector<std::string> &params, std::string &error,
             const std::function<void(sqlite3_stmt *)> &each)
    {
        sqlite3_stmt *raw = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> st(raw, sqlite3_finalize);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const std::string name = "$" + std::to_string(i + 1);
            const int at = sqlite3_bind_parameter_index(raw, name.c_str());
            if (at > 0)
                sqlite3_bind_text(raw, at, params[i].data(), static_cast<int>(params[i].size()),
                                  SQLITE_TRANSIENT);
        }
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
            each(raw);
        if (rc != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

    sqlite3 *db_;
};

class PgSource : public SqlSource {
public:
    explicit PgSource(std::unique_ptr<PgConnection> conn) : conn_(std::move(conn)) {}

    bool query(const std::string &sql, const std::vector<std::string> &params, Table &out,
               std::string &error) override
    {
        PgResult r = exec(sql, params, false, error);
        if (!r.ok())
            return false;
        const int columns = r.columns();
        for (int row = 0; row < r.rows(); ++row) {
            Row values;
            for (int c = 0; c < columns; ++c)
                values.push_back(r.isNull(row, c) ? std::nullopt : Value(r.text(row, c)));
            out.push_back(std::move(values));
        }
        return true;
    }

    bool blob(const std::string &sql, const std::string &param, std::vector<uint8_t> &out,
              bool &found, std::string &error) override
    {
        PgResult r = exec(sql, {param}, true, error);
        if (!r.ok())
            return false;
        found = r.rows() > 0;
        if (found)
            out = r.bytes(0, 0);
        return true;
    }

private:
    // A broken connection is made again once: a reader outlives server restarts.
    PgResult exec(const std::string &sql, const std::vector<std::string> &params, bool binary,
                  std::string &error)
    {
        PgParams p;
        for (const std::string &v : params)
            p.text(v);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (conn_->isBroken() && !conn_->reconnect(error))
                return PgResult();
            PgResult r = conn_->exec(sql.c_str(), p, binary);
            if (r.ok() || !conn_->isBroken()) {
                if (!r.ok())
                    error = r.error();
                return r;
            }
            error = r.error();
        }
        return PgResult();
    }

    std::unique_ptr<PgConnection> conn_;
};

int64_t toInt(const Value &v)
{
    return v ? std::stoll(*v) : 0;
}

bool toBool(const Value &v)
{
    return v && (*v == "1" || *v == "t" || *v == "true");
}

// Columns of a device row, in this order; the outcome is settled afterwards.
const char *const kDeviceColumns = R"sql(
SELECT d.din, d.first_seen, d.last_seen, d.last_status, d.last_status_at,
  (SELECT count(*) FROM measurements m WHERE m.din = d.din) AS held,
  (SELECT m.received_at FROM measurements m WHERE m.din = d.din ORDER BY m.id DESC LIMIT 1)
FROM devices d
)sql";

// What a page is sorted by, by DeviceSort; the DIN breaks ties so pages do not overlap.
const char *sortColumn(DeviceSort sort)
{
    switch (sort) {
    case DeviceSort::FirstSeen:
        return "d.first_seen";
    case DeviceSort::LastSeen:
        return "d.last_seen";
    case DeviceSort::Measurements:
        return "(SELECT count(*) FROM measurements m WHERE m.din = d.din)";
    case DeviceSort::Din:
        break;
    }
    return "d.din";
}

// A LIKE pattern matching DINs that contain part; only DIN characters are kept, so the
// pattern holds no wildcard of the caller's.
std::string containsPattern(const std::string &part)
{
    std::string kept;
    for (char c : part)
        if ((c >= '0' && c <= '9') || c == '-')
            kept += c;
    return "%" + kept + "%";
}

bool isOverdue(const std::string &lastSeen, const std::optional<std::string> &before)
{
    if (!before)
        return false;
    const auto seen = storedTimeToEpochMs(lastSeen);
    const auto limit = storedTimeToEpochMs(*before);
    return seen && limit && *seen < *limit;
}

DeviceRow deviceRow(const Row &r, const std::optional<std::string> &overdueBefore)
{
    DeviceRow d;
    d.din = r[0].value_or("");
    d.firstSeen = r[1].value_or("");
    d.lastSeen = r[2].value_or("");
    d.lastStatus = r[3];
    d.lastStatusAt = r[4];
    d.measurements = toInt(r[5]);
    d.lastMeasurementAt = r[6];
    d.overdue = isOverdue(d.lastSeen, overdueBefore);
    if (d.lastMeasurementAt == d.lastSeen)
        d.lastOutcome = SessionOutcome::Measurements;
    return d;
}

class SqlFleetReader : public FleetReader {
public:
    explicit SqlFleetReader(std::unique_ptr<SqlSource> source) : source_(std::move(source)) {}

    bool devices(const DeviceQuery &q, DevicePage &page, std::string &error) override
    {
        std::vector<std::string> params;
        const auto param = [&params](std::string value) {
            params.push_back(std::move(value));
            return "$" + std::to_string(params.size());
        };
        std::vector<std::string> conditions;
        if (const std::string pattern = containsPattern(q.dinPart); pattern != "%%")
            conditions.push_back("d.din LIKE " + param(pattern));
        if (q.overdueOnly) {
            if (!q.overdueBefore) { // nothing is overdue without an expected interval
                page = DevicePage{};
                return true;
            }
            conditions.push_back("d.last_seen < " + param(*q.overdueBefore));
        }
        std::string where;
        for (const std::string &c : conditions)
            where += (where.empty() ? " WHERE " : " AND ") + c;
        const std::lock_guard<std::mutex> lock(mutex_);
        Table total;
        if (!source_->query("SELECT count(*) FROM devices d" + where, params, total, error))
            return false;
        page.total = total.empty() ? 0 : toInt(total[0][0]);
        const char *direction = q.descending ? " DESC" : " ASC";
        const std::string order =
            std::string(" ORDER BY ") + sortColumn(q.sort) + direction + ", d.din" + direction;
        const std::string limit =
            " LIMIT " + param(std::to_string(std::clamp(q.limit, 0, kMaxPageRows)));
        const std::string offset =
            " OFFSET " + param(std::to_string(std::max<int64_t>(q.offset, 0)));
        // The page's DINs first, then their columns: the rows an offset skips cost only
        // their sort key, not the look-ups into measurements.
        const std::string pageDins =
            "SELECT d.din AS page_din FROM devices d" + where + order + limit + offset;
        Table rows;
        if (!source_->query(kDeviceColumns + (" JOIN (" + pageDins + ") p ON p.page_din = d.din") +
                                order,
                            params, rows, error))
            return false;
        page.rows.clear();
        for (const Row &r : rows)
            page.rows.push_back(deviceRow(r, q.overdueBefore));
        return settleSyncOutcomes(page.rows, error);
    }

    bool device(const std::string &din, const std::optional<std::string> &overdueBefore,
                std::optional<DeviceRow> &row, std::string &error) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Table rows;
        if (!source_->query(std::string(kDeviceColumns) + " WHERE d.din = $1", {din}, rows, error))
            return false;
        row.reset();
        if (rows.empty())
            return true;
        std::vector<DeviceRow> one{deviceRow(rows[0], overdueBefore)};
        if (!settleSyncOutcomes(one, error))
            return false;
        row = one[0];
        return true;
    }

    bool counts(const std::optional<std::string> &overdueBefore, FleetCounts &c,
                std::string &error) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Table t;
        if (!source_->query("SELECT (SELECT count(*) FROM devices), "
                            "(SELECT count(*) FROM measurements)",
                            {}, t, error))
            return false;
        c.devices = toInt(t[0][0]);
        c.measurements = toInt(t[0][1]);
        c.overdue = 0;
        if (!overdueBefore)
            return true;
        Table o;
        if (!source_->query("SELECT count(*) FROM devices WHERE last_seen < $1", {*overdueBefore},
                            o, error))
            return false;
        c.overdue = toInt(o[0][0]);
        return true;
    }

    bool measurements(const std::string &din, int64_t offset, int limit,
                      std::vector<MeasurementRow> &rows, int64_t &total,
                      std::string &error) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Table t;
        if (!source_->query("SELECT count(*) FROM measurements WHERE din = $1", {din}, t, error))
            return false;
        total = toInt(t[0][0]);
        Table r;
        if (!source_->query(std::string(kMeasurementColumns) +
                                " WHERE din = $1 ORDER BY id DESC LIMIT $2 OFFSET $3",
                            {din, std::to_string(std::clamp(limit, 0, kMaxPageRows)),
                             std::to_string(std::max<int64_t>(offset, 0))},
                            r, error))
            return false;
        rows.clear();
        for (const Row &row : r)
            rows.push_back(measurementRow(row));
        return true;
    }

    bool syncs(const std::string &din, int limit, std::vector<SyncRow> &rows,
               std::string &error) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Table t;
        if (!source_->query("SELECT at, ok, params_written, device_time FROM syncs "
                            "WHERE din = $1 ORDER BY id DESC LIMIT $2",
                            {din, std::to_string(std::clamp(limit, 0, kMaxPageRows))}, t, error))
            return false;
        rows.clear();
        for (const Row &r : t) {
            SyncRow s;
            s.at = r[0].value_or("");
            s.ok = toBool(r[1]);
            s.paramsWritten = toBool(r[2]);
            if (r[3])
                s.deviceTime = toInt(r[3]);
            rows.push_back(s);
        }
        return true;
    }

    bool samples(int64_t id, std::optional<MeasurementRow> &row, std::vector<uint16_t> &samples,
                 std::string &error) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Table t;
        if (!source_->query(std::string(kMeasurementColumns) + " WHERE id = $1",
                            {std::to_string(id)}, t, error))
            return false;
        row.reset();
        samples.clear();
        if (t.empty())
            return true;
        std::vector<uint8_t> blob;
        bool found = false;
        if (!source_->blob("SELECT samples FROM measurements WHERE id = $1", std::to_string(id),
                           blob, found, error))
            return false;
        if (!found)
            return true; // gone between the two statements
        row = measurementRow(t[0]);
        samples = blobToSamples(blob.data(), blob.size());
        return true;
    }

private:
    static constexpr const char *kMeasurementColumns =
        "SELECT id, din, received_at, measured_at, typeset, ns, nss, sample_count "
        "FROM measurements";

    static MeasurementRow measurementRow(const Row &r)
    {
        MeasurementRow m;
        m.id = toInt(r[0]);
        m.din = r[1].value_or("");
        m.receivedAt = r[2].value_or("");
        m.measuredAt = r[3].value_or("");
        m.typeset = toInt(r[4]);
        m.ns = toInt(r[5]);
        m.nss = toInt(r[6]);
        m.sampleCount = toInt(r[7]);
        return m;
    }

    // Rows whose last contact is a SYNC: the store names the SYNC by its time. One
    // statement for the whole page (the syncs table has no index on the DIN).
    bool settleSyncOutcomes(std::vector<DeviceRow> &rows, std::string &error)
    {
        std::vector<std::string> params;
        std::string in;
        for (const DeviceRow &d : rows) {
            if (d.lastOutcome == SessionOutcome::Measurements)
                continue;
            params.push_back(d.din);
            in += (in.empty() ? "$" : ", $") + std::to_string(params.size());
        }
        if (params.empty())
            return true;
        Table t;
        if (!source_->query("SELECT din, at, ok FROM syncs WHERE id IN (SELECT max(id) FROM "
                            "syncs WHERE din IN (" +
                                in + ") GROUP BY din)",
                            params, t, error))
            return false;
        for (const Row &r : t)
            for (DeviceRow &d : rows)
                if (d.din == r[0] && d.lastSeen == r[1] &&
                    d.lastOutcome != SessionOutcome::Measurements)
                    d.lastOutcome =
                        toBool(r[2]) ? SessionOutcome::SyncOk : SessionOutcome::SyncFailed;
        return true;
    }

    std::mutex mutex_;
    std::unique_ptr<SqlSource> source_;
};

} // namespace

const char *outcomeName(SessionOutcome outcome)
{
    switch (outcome) {
    case SessionOutcome::Measurements:
        return "measurements";
    case SessionOutcome::SyncOk:
        return "sync ok";
    case SessionOutcome::SyncFailed:
        return "sync failed";
    case SessionOutcome::ContactOnly:
        break;
    }
    return "contact only";
}

std::unique_ptr<FleetReader> openFleetReader(const std::string &db, std::string &error)
{
    if (!isPostgresUrl(db)) {
        auto source = SqliteSource::open(db, error);
        return source ? std::make_unique<SqlFleetReader>(std::move(source)) : nullptr;
    }
    PgTarget target;
    if (!parsePgUrl(db, target, error))
        return nullptr;
    auto conn = PgConnection::connect(target, error);
    if (!conn)
        return nullptr;
    return std::make_unique<SqlFleetReader>(std::make_unique<PgSource>(std::move(conn)));
}

std::optional<int64_t> clockOffsetSeconds(const std::string &statusJson,
                                          const std::string &statusAt)
{
    const QJsonObject status =
        QJsonDocument::fromJson(QByteArray::fromStdString(statusJson)).object();
    const auto at = storedTimeToEpochMs(statusAt);
    if (!status.contains(QStringLiteral("deviceTime")) || !at)
        return std::nullopt;
    // The device's clock is kept in epoch seconds as read; the host's to the millisecond.
    const int64_t device =
        static_cast<int64_t>(status.value(QStringLiteral("deviceTime")).toDouble());
    return device - *at / 1000;
}

} // namespace lumo_collect

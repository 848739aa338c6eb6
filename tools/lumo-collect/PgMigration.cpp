#include "PgMigration.h"

#include "TimeText.h"

#include <cstdint>
#include <vector>

namespace lumo_collect {

namespace {

// Converted values go to the server in batches of this many rows.
constexpr std::size_t kBatchRows = 5000;

struct LocalTimeColumn {
    const char *table;
    const char *key;
    const char *column;
    bool ordered; // rows keep their id order across a repeated hour
};
constexpr LocalTimeColumn kColumns[] = {
    {"measurements", "id", "received_at", true}, {"syncs", "id", "at", true},
    {"devices", "din", "first_seen", false},     {"devices", "din", "last_seen", false},
    {"devices", "din", "last_status_at", false},
};

// An array literal of plain texts (keys and UTC times need no quoting beyond this).
std::string arrayLiteral(const std::vector<std::string> &values)
{
    std::string out = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += i ? ",\"" : "\"";
        for (char c : values[i]) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

bool run(PgConnection &conn, const std::string &sql, const PgParams &params, std::string &error)
{
    PgResult r = conn.exec(sql.c_str(), params);
    if (!r.ok())
        error = r.error();
    return r.ok();
}

bool flush(PgConnection &conn, const LocalTimeColumn &c, std::vector<std::string> &keys,
           std::vector<std::string> &utc, std::string &error)
{
    if (keys.empty())
        return true;
    const bool ok = run(
        conn,
        "INSERT INTO lumo_utc (tab, col, key, utc) SELECT $1, $2, k, u "
        "FROM unnest($3::text[], $4::text[]) AS t(k, u)",
        PgParams().text(c.table).text(c.column).text(arrayLiteral(keys)).text(arrayLiteral(utc)),
        error);
    keys.clear();
    utc.clear();
    return ok;
}

// Reads the column's local times in order, converts them here and leaves the results in
// lumo_utc.
bool convertColumn(PgConnection &conn, const LocalTimeColumn &c, std::size_t &converted,
                   std::string &error)
{
    const std::string select = std::string("SELECT ") + c.key + "::text, " + c.column + " FROM " +
                               c.table + " WHERE " + c.column + " IS NOT NULL ORDER BY " + c.key;
    PgResult rows = conn.exec(select.c_str());
    if (!rows.ok()) {
        error = rows.error();
        return false;
    }
    std::vector<std::string> keys;
    std::vector<std::string> utc;
    int64_t previous = INT64_MIN;
    for (int i = 0; i < rows.rows(); ++i) {
        const std::string local = rows.text(i, 1);
        int64_t millis = 0;
        if (!localTextToMillis(local, previous, millis)) {
            error = std::string(c.table) + "." + c.column + " of " + c.key + " " + rows.text(i, 0) +
                    " holds \"" + local + "\", not a local time of the earlier layout";
            return false;
        }
        previous = c.ordered ? millis : INT64_MIN;
        keys.push_back(rows.text(i, 0));
        utc.push_back(formatUtc(millis));
        ++converted;
        if (keys.size() == kBatchRows && !flush(conn, c, keys, utc, error))
            return false;
    }
    return flush(conn, c, keys, utc, error);
}

bool rewriteColumn(PgConnection &conn, const LocalTimeColumn &c, std::string &error)
{
    const std::string table = c.table;
    const std::string column = c.column;
    return run(conn,
               "UPDATE " + table + " t SET " + column + " = u.utc FROM lumo_utc u WHERE u.tab = '" +
                   table + "' AND u.col = '" + column + "' AND u.key = t." + c.key + "::text",
               PgParams(), error) &&
           run(conn,
               "ALTER TABLE " + table + " ALTER COLUMN " + column + " TYPE timestamptz USING " +
                   column + "::timestamptz",
               PgParams(), error);
}

} // namespace

bool migratePgToVersion3(PgConnection &conn, OpenReport &report, std::string &error)
{
    // A large store takes longer than the statement bound of a collector's writes.
    if (!run(conn, "SET LOCAL statement_timeout = 0", PgParams(), error) ||
        !run(conn,
             "CREATE TEMP TABLE lumo_utc (tab text, col text, key text, utc text) ON COMMIT DROP",
             PgParams(), error))
        return false;
    for (const LocalTimeColumn &c : kColumns)
        if (!convertColumn(conn, c, report.timesConverted, error))
            return false;
    for (const LocalTimeColumn &c : kColumns)
        if (!rewriteColumn(conn, c, error))
            return false;
    report.zone = localZoneName();
    report.upgraded = true;
    return run(conn, "UPDATE lumo_schema SET version = 3", PgParams(), error);
}

} // namespace lumo_collect

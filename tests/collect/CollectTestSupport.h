// Shared helpers of the lumo-collect tests: temporary files, raw SQLite look-ups that do
// not go through the code under test, and event records built byte by byte.
#ifndef LUMO_COLLECT_TEST_SUPPORT_H
#define LUMO_COLLECT_TEST_SUPPORT_H

#include <liblumo.h>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace collect_test {

// A fresh folder below the test temp dir, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::path(::testing::TempDir()) /
                ("collect_" + std::string(info ? info->name() : "x") + "_" +
                 std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string &name) const { return (path_ / name).string(); }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// One row of a query, each column as text ("NULL" for null, hex for blobs).
inline std::vector<std::vector<std::string>> query(const std::string &dbPath,
                                                   const std::string &sql)
{
    sqlite3 *db = nullptr;
    std::vector<std::vector<std::string>> rows;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << dbPath;
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const int type = sqlite3_column_type(st, i);
            if (type == SQLITE_NULL) {
                row.emplace_back("NULL");
            } else if (type == SQLITE_BLOB) {
                const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(st, i));
                std::string hex;
                char two[3];
                for (int b = 0; b < sqlite3_column_bytes(st, i); ++b) {
                    std::snprintf(two, sizeof two, "%02x", p[b]);
                    hex += two;
                }
                row.push_back(hex);
            } else {
                row.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, i)));
            }
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

inline std::string scalar(const std::string &dbPath, const std::string &sql)
{
    const auto rows = query(dbPath, sql);
    return rows.empty() || rows[0].empty() ? "<no row>" : rows[0][0];
}

inline bool execSql(const std::string &dbPath, const std::string &sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open(dbPath.c_str(), &db);
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// A zero-filled event record as the library raises it, with the DIN text filled in.
inline std::unique_ptr<liblumo::lumo_EventData> record(const std::string &din)
{
    auto r = std::make_unique<liblumo::lumo_EventData>();
    std::memset(r.get(), 0, sizeof *r);
    std::memcpy(r->din, din.data(), std::min(din.size(), liblumo::kDinSize));
    return r;
}

inline void putLe16(uint8_t *at, uint16_t v)
{
    at[0] = static_cast<uint8_t>(v & 0xFF);
    at[1] = static_cast<uint8_t>(v >> 8);
}

inline void putLe32(uint8_t *at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Measurement payload written at its byte offsets: packed time at 0, its six unpacked
// bytes at 4..9, typeset at 12, ns at 16, nss at 18, samples from 20.
inline void putMeasurement(liblumo::lumo_EventData &r, uint32_t packed, uint32_t typeset,
                           uint16_t ns, uint16_t nss, const std::vector<uint16_t> &samples)
{
    putLe32(r.payload + 0, packed);
    putLe32(r.payload + 12, typeset);
    putLe16(r.payload + 16, ns);
    putLe16(r.payload + 18, nss);
    for (std::size_t i = 0; i < samples.size(); ++i)
        putLe16(r.payload + 20 + 2 * i, samples[i]);
}

// 2024-05-17 13:45:30 packed (year 24 in bits 31-26, month 5, day 17, 13:45:30).
constexpr uint32_t kPacked20240517 = 0x6162DB5E;

} // namespace collect_test

#endif

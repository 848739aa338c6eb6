// Shared helpers of the lumo-collect tests: temporary files, raw SQLite look-ups that do
// not go through the code under test, and event records built byte by byte.
#ifndef LUMO_COLLECT_TEST_SUPPORT_H
#define LUMO_COLLECT_TEST_SUPPORT_H

#include <liblumo.h>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/mount.h>
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
    r.reserved = static_cast<uint32_t>(samples.size()); // all of them arrived
}

// The database layout lumo-collect wrote before measurements had an identity (no
// user_version, no samples_sha256), as it created it.
constexpr const char *kFirstLayoutDdl = R"sql(
CREATE TABLE devices (din TEXT PRIMARY KEY, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL,
  handshake_crc16 INTEGER, last_status TEXT, last_status_at TEXT);
CREATE TABLE measurements (id INTEGER PRIMARY KEY AUTOINCREMENT, din TEXT NOT NULL,
  received_at TEXT NOT NULL, measured_at TEXT NOT NULL, dtime_packed INTEGER NOT NULL,
  typeset INTEGER NOT NULL, ns INTEGER NOT NULL, nss INTEGER NOT NULL,
  sample_count INTEGER NOT NULL, samples BLOB NOT NULL);
CREATE INDEX measurements_din ON measurements (din, id);
CREATE TABLE syncs (id INTEGER PRIMARY KEY AUTOINCREMENT, din TEXT NOT NULL, at TEXT NOT NULL,
  ok INTEGER NOT NULL, params_written INTEGER NOT NULL, host_crc16 INTEGER, status32a INTEGER,
  status32b INTEGER, status16a INTEGER, device_time INTEGER, status16b TEXT);
)sql";

// A file system of this test process's own (a private mount namespace, so nothing leaks
// when the process dies): a small tmpfs, optionally remounted read-only. Root does not
// care about file modes; a read-only or full file system stops it all the same.
class PrivateMount {
public:
    PrivateMount(const std::string &dir, const std::string &size)
    {
        static const bool privateNamespace =
            ::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        std::filesystem::create_directories(dir);
        const std::string options = "size=" + size;
        if (privateNamespace && ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0)
            dir_ = dir;
        else
            why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    ~PrivateMount()
    {
        if (!dir_.empty())
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    PrivateMount(const PrivateMount &) = delete;
    PrivateMount &operator=(const PrivateMount &) = delete;
    bool ok() const { return !dir_.empty(); }
    const std::string &why() const { return why_; }
    bool makeReadOnly() const
    {
        return ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string dir_;
    std::string why_;
};

// Writes zeros into path until the file system is full.
inline void fillUp(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    static const std::vector<char> chunk(4096, 0);
    while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
}

// 2024-05-17 13:45:30 packed (year 24 in bits 31-26, month 5, day 17, 13:45:30).
constexpr uint32_t kPacked20240517 = 0x6162DB5E;

} // namespace collect_test

#endif

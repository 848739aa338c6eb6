// Shared helpers of the lumo-collect tests: temporary files, raw SQLite look-ups that do
// not go through the code under test, event records built byte by byte, a private file
// system to fill up or make read-only.
#ifndef LUMO_COLLECT_TEST_SUPPORT_H
#define LUMO_COLLECT_TEST_SUPPORT_H

#include <liblumo.h>

#include <sqlite3.h>

#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <thread>
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

private:
    std::filesystem::path path_;
};

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string hex(const void *data, std::size_t size, const char *format = "%02x")
{
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, format, static_cast<const uint8_t *>(data)[i]);
        out += two;
    }
    return out;
}

// The rows of a query, each column as text ("NULL" for null, hex for blobs).
inline std::vector<std::vector<std::string>> query(const std::string &dbPath,
                                                   const std::string &sql)
{
    std::vector<std::vector<std::string>> rows;
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << dbPath << ": " << sqlite3_errmsg(db) << " in " << sql;
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        auto &row = rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const int type = sqlite3_column_type(st, i);
            if (type == SQLITE_NULL)
                row.emplace_back("NULL");
            else if (type == SQLITE_BLOB)
                row.push_back(hex(sqlite3_column_blob(st, i), sqlite3_column_bytes(st, i)));
            else
                row.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, i)));
        }
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

inline void putLe(uint8_t *at, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Measurement payload written at its byte offsets: packed time at 0, typeset at 12, ns at
// 16, nss at 18, samples from 20.
inline void putMeasurement(liblumo::lumo_EventData &r, uint32_t packed, uint32_t typeset,
                           uint16_t ns, uint16_t nss, const std::vector<uint16_t> &samples)
{
    putLe(r.payload + 0, packed, 4);
    putLe(r.payload + 12, typeset, 4);
    putLe(r.payload + 16, ns, 2);
    putLe(r.payload + 18, nss, 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        putLe(r.payload + 20 + 2 * i, samples[i], 2);
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

// A small tmpfs in a mount namespace of this process's own (nothing leaks when it dies),
// optionally remounted read-only: root ignores file modes, not a full or read-only mount.
class PrivateMount {
public:
    PrivateMount(const std::string &dir, const std::string &size)
    {
        static const bool privateNamespace =
            ::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        std::filesystem::create_directories(dir);
        if (privateNamespace &&
            ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0)
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

// Polls cond every 50 ms until it holds or the (generous) bound passes.
template <typename Cond> bool waitFor(Cond cond, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

struct Svg {
    bool wellFormed = false;
    std::string title;
    std::vector<std::pair<double, double>> points;
    int ticks = 0;
};

// Reads the picture back as XML; fails the test on any XML error.
inline Svg readSvg(const std::string &text)
{
    Svg svg;
    QXmlStreamReader xml(QByteArray::fromStdString(text));
    bool first = true;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const QString name = xml.name().toString();
        if (first) {
            EXPECT_EQ(name, "svg");
            first = false;
        }
        if (name == "line")
            ++svg.ticks;
        if (name == "polyline") {
            const auto parts =
                xml.attributes().value("points").toString().split(' ', Qt::SkipEmptyParts);
            for (const QString &p : parts) {
                const auto xy = p.split(',');
                svg.points.emplace_back(xy[0].toDouble(), xy[1].toDouble());
            }
        }
        if (name == "text" && svg.title.empty())
            svg.title = xml.readElementText().toStdString();
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    svg.wellFormed = !xml.hasError() && !first;
    return svg;
}

// 2024-05-17 13:45:30 packed (year 24 in bits 31-26, month 5, day 17, 13:45:30).
constexpr uint32_t kPacked20240517 = 0x6162DB5E;

} // namespace collect_test

#endif

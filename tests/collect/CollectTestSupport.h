// Helpers of the lumo-collect tests: raw SQLite look-ups that bypass the code under test, event
// records built byte by byte, a private tmpfs to fill up or make read-only, child processes.
#ifndef LUMO_COLLECT_TEST_SUPPORT_H
#define LUMO_COLLECT_TEST_SUPPORT_H

#include <liblumo.h>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace collect_test {

// A fresh folder, removed with everything in it.
class TempDir {
public:
    TempDir() : path_(::testing::TempDir() + "collect_XXXXXX")
    {
        EXPECT_NE(::mkdtemp(path_.data()), nullptr) << path_;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string slurp(const std::string &path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline std::string hex(const void *data, std::size_t size)
{
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", static_cast<const uint8_t *>(data)[i]);
        out += two;
    }
    return out;
}

// The rows of a query, each column as text ("NULL" for null, hex for blobs).
inline std::vector<std::vector<std::string>> query(const std::string &db, const std::string &sql)
{
    std::vector<std::vector<std::string>> rows;
    sqlite3 *h = nullptr;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        ADD_FAILURE() << db << ": " << sqlite3_errmsg(h) << " in " << sql;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        auto &row = rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const int type = sqlite3_column_type(st, i);
            if (type == SQLITE_BLOB)
                row.push_back(hex(sqlite3_column_blob(st, i), sqlite3_column_bytes(st, i)));
            else
                row.emplace_back(type == SQLITE_NULL ? "NULL"
                                                     : (const char *)sqlite3_column_text(st, i));
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return rows;
}

inline std::string scalar(const std::string &db, const std::string &sql)
{
    const auto rows = query(db, sql);
    return rows.empty() || rows[0].empty() ? "<no row>" : rows[0][0];
}

inline bool execSql(const std::string &db, const std::string &sql)
{
    sqlite3 *h = nullptr;
    const bool ok = sqlite3_open(db.c_str(), &h) == SQLITE_OK &&
                    sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(h);
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

// Measurement payload: packed time at 0, typeset at 12, ns at 16, nss at 18, samples from 20.
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

// A parameter file with every field set.
constexpr const char *kParamsJson = R"({"param16a": [1, 2, 3, 4, 43981], "param32a": "0x11223344",
  "param32b": 5, "param16b": "0xbeef", "param32c": 3735928559,
  "param16c": [10, 11, 12, 13, 14, 15], "param32d": ["0x01020304", 0, 0, 0, 0, 4294967295],
  "crc16": "0x5A5A"})";

// 2024-05-17 13:45:30 packed (year 24 in bits 31-26, month 5, day 17, 13:45:30).
constexpr uint32_t kPacked20240517 = 0x6162DB5E;

// The layout lumo-collect wrote before measurements had an identity (no user_version).
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

// Version 2: measurements with an identity, times of the computer in its local time.
constexpr const char *kVersion2Ddl = R"sql(
CREATE TABLE devices (din TEXT PRIMARY KEY, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL,
  handshake_crc16 INTEGER, last_status TEXT, last_status_at TEXT);
CREATE TABLE measurements (id INTEGER PRIMARY KEY AUTOINCREMENT, din TEXT NOT NULL,
  received_at TEXT NOT NULL, measured_at TEXT NOT NULL, dtime_packed INTEGER NOT NULL,
  typeset INTEGER NOT NULL, ns INTEGER NOT NULL, nss INTEGER NOT NULL,
  sample_count INTEGER NOT NULL, samples BLOB NOT NULL, samples_sha256 BLOB NOT NULL,
  UNIQUE (din, dtime_packed, typeset, sample_count, samples_sha256));
CREATE INDEX measurements_din ON measurements (din, id);
CREATE TABLE syncs (id INTEGER PRIMARY KEY AUTOINCREMENT, din TEXT NOT NULL, at TEXT NOT NULL,
  ok INTEGER NOT NULL, params_written INTEGER NOT NULL, host_crc16 INTEGER, status32a INTEGER,
  status32b INTEGER, status16a INTEGER, device_time INTEGER, status16b TEXT);
CREATE TABLE write_probe (id INTEGER PRIMARY KEY, filler BLOB NOT NULL);
PRAGMA user_version = 2;
)sql";

// The process's time zone set for a test and put back after it.
class ZoneForTest {
public:
    explicit ZoneForTest(const char *zone)
    {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        old_ = old ? old : "";
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneForTest()
    {
        had_ ? ::setenv("TZ", old_.c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }
    ZoneForTest(const ZoneForTest &) = delete;
    ZoneForTest &operator=(const ZoneForTest &) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// A small tmpfs in a mount namespace of this process's own (nothing leaks when it dies): root
// ignores file modes, not a full or read-only mount.
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
    std::string dir_, why_;
};

// Writes zeros into path until the file system is full.
inline void fillUp(const std::string &path)
{
    std::ofstream f(path, std::ios::binary);
    static const std::vector<char> chunk(4096, 0);
    while (f.write(chunk.data(), chunk.size()) && f.flush()) {
    }
}

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

// A child process with stdout and stderr in files, killed if still running at the end.
class Process {
public:
    Process(const std::string &program, std::vector<std::string> args, const std::string &out)
        : out_(out + ".out"), err_(out + ".err")
    {
        args.insert(args.begin(), program);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        EXPECT_GT(pid_, 0) << "cannot start " << program;
    }
    ~Process()
    {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool running() const { return pid_ > 0 && !exited_; }
    void signal(int sig) const
    {
        if (running())
            ::kill(pid_, sig);
    }
    // The exit status; -1 after a signal, or when it outlived the bound (it is killed then).
    int wait(std::chrono::milliseconds bound)
    {
        int status = 0;
        if (!running())
            return status_;
        if (waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else {
            ADD_FAILURE() << "process outlived " << bound.count() << " ms";
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        exited_ = true;
        return status_;
    }
    std::string err() const { return slurp(err_); }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string out_, err_;
};

// A loopback TCP port nobody listens on right now.
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

} // namespace collect_test

#endif

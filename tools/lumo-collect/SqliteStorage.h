// The SQLite database of a collection run: one connection, guarded by a mutex. The
// journal is WAL with synchronous=FULL, so a committed measurement survives a crash of
// this process and a power cut. A second run appends.
//
// Schema version 3 (PRAGMA user_version), see kSchemaVersion and the manual. Times of this
// computer (first_seen, last_seen, last_status_at, received_at, at) are UTC texts
// "yyyy-MM-ddTHH:mm:ss.zzzZ"; measured_at is device time, as the device reports it.
//   devices       din (key), first_seen, last_seen, handshake_crc16 (NULL: the host is
//                 not told the device's CRC), last_status (JSON text), last_status_at
//   measurements  id, din, received_at, measured_at, dtime_packed, typeset, ns, nss,
//                 sample_count, samples (blob of sample_count little-endian u16),
//                 samples_sha256; UNIQUE (din, dtime_packed, typeset, sample_count,
//                 samples_sha256): the identity of a measurement
//   syncs         id, din, at, ok, params_written, host_crc16, status32a, status32b,
//                 status16a, device_time, status16b (JSON array); status NULL when unread
//   write_probe   empty except during a probe write
// A database of the first layout (user_version 0, no samples_sha256) or of version 2 is
// upgraded in place when opened for writing, in one transaction; a later version is refused.
#ifndef LUMO_COLLECT_SQLITESTORAGE_H
#define LUMO_COLLECT_SQLITESTORAGE_H

#include "Storage.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;

namespace lumo_collect {

// 3: times of this computer as UTC texts; 2: measurement identities; 1: the first layout.
constexpr int kSchemaVersion = 3;

enum class Access {
    Write, // collect: created when missing, upgraded, checked to take writes
    Read,  // plot: must exist; opened read-only, never changed in any way
};

struct OpenOptions {
    Access access = Access::Write;
    // How long a write waits for another connection's write lock before it fails. Below a
    // device's patience for the acknowledgement of a frame (3 s), so a refusal reaches
    // the device before it gives up on the frame.
    std::chrono::milliseconds busyTimeout{2000};
};

// What opening did to the database.
struct OpenReport {
    int versionFound = 0;           // user_version as found (0 for a new or first-layout file)
    bool created = false;           // the tables were created now
    bool upgraded = false;          // a first-layout database was upgraded to kSchemaVersion
    std::size_t rowsUpgraded = 0;   // measurement rows kept by the upgrade
    std::size_t repeatsMerged = 0;  // rows dropped by the upgrade as repeats of a kept one
    std::size_t timesConverted = 0; // local times of an earlier version rewritten as UTC
    std::string zone;               // the zone whose rules the conversion used
};

class SqliteStorage : public Storage {
public:
    // Null with the reason in error when the database cannot be used as asked: missing
    // (Read), not a database, read-only or not writable (Write), or of a later schema.
    static std::unique_ptr<SqliteStorage> open(const std::string &path, const OpenOptions &options,
                                               std::string &error, OpenReport *report = nullptr);
    ~SqliteStorage() override;
    SqliteStorage(const SqliteStorage &) = delete;
    SqliteStorage &operator=(const SqliteStorage &) = delete;

    bool deviceSeen(const std::string &din, const std::string &when) override;
    StoreOutcome storeMeasurement(MeasurementRecord &m) override;
    std::vector<StoreOutcome> storeMeasurements(const std::vector<MeasurementRecord *> &group,
                                                std::string &error) override;
    bool storeSync(const SyncRecord &sync) override;
    bool probeWrite() override;
    bool loadMeasurement(const std::string &din, long index, MeasurementRecord &out,
                         std::string &error) override;
    std::vector<MeasurementSummary> listMeasurements(const std::string &din) override;
    bool findMeasurementIds(const MeasurementFilter &filter, std::vector<int64_t> &ids,
                            std::string &error) override;
    bool loadMeasurementById(int64_t id, MeasurementRecord &out, std::string &error) override;
    std::string lastError() const override;

private:
    explicit SqliteStorage(sqlite3 *db) : db_(db) {}
    bool exec(const char *sql);
    bool prepareForWriting(const std::string &path, OpenReport &report, std::string &error);
    bool checkVersion(const std::string &path, int &version, std::string &error);
    bool tableExists(const char *name);
    bool createSchema();
    bool upgradeFromFirstLayout(OpenReport &report);
    // Versions 1 and 2 stored this computer's local time: rewritten as UTC texts.
    bool convertLocalTimes(OpenReport &report);
    bool convertColumn(const char *table, const char *key, const char *column,
                       std::size_t &converted);
    void upsertDevice(const std::string &din, const std::string &when);
    // One write: begins a transaction and records the device as seen...
    bool beginWrite(const std::string &din, const std::string &when);
    // ...and commits it when every step succeeded, or records why and rolls it back.
    bool endWrite(bool stepsSucceeded);
    // One measurement inside an open write transaction.
    StoreOutcome storeOne(MeasurementRecord &m, const std::vector<uint8_t> &blob,
                          const std::vector<uint8_t> &digest);
    int64_t findMeasurement(const MeasurementRecord &m, const std::vector<uint8_t> &digest);
    bool probeOnce();

    sqlite3 *db_;
    mutable std::mutex mutex_;
    std::string lastError_;
};

} // namespace lumo_collect

#endif

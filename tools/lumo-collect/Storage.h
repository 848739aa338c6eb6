// The SQLite database of a collection run. Every write is its own transaction, committed
// before the call returns, so whatever the host has been handed is on disk before the
// library goes on to the next measurement. The journal is WAL; a second run appends.
//
// Tables
//   devices      din (key), first_seen, last_seen, handshake_crc16 (NULL: the host is
//                not told the device's CRC), last_status (JSON text), last_status_at
//   measurements id, din, received_at, measured_at, dtime_packed, typeset, ns, nss,
//                sample_count, samples (BLOB of sample_count little-endian u16)
//   syncs        id, din, at, ok, params_written, host_crc16, status32a, status32b,
//                status16a, device_time, status16b (JSON array); status NULL when unread
//
// One connection, guarded by a mutex: callbacks of several channels may write at once.
#ifndef LUMO_COLLECT_STORAGE_H
#define LUMO_COLLECT_STORAGE_H

#include "MeasurementRecord.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace lumo_collect {

struct MeasurementSummary {
    int64_t id = 0;
    std::string din;
    std::string measuredAt;
    std::size_t sampleCount = 0;
};

class Storage {
public:
    // mustExist: refuse to create a new file (reading tools must not invent an empty one).
    static std::unique_ptr<Storage> open(const std::string &path, std::string &error,
                                         bool mustExist = false);
    ~Storage();
    Storage(const Storage &) = delete;
    Storage &operator=(const Storage &) = delete;

    bool deviceSeen(const std::string &din, const std::string &when);
    // Stores the measurement and sets its id.
    bool storeMeasurement(MeasurementRecord &m);
    // Stores the sync result; a read status also becomes the device's last status.
    bool storeSync(const SyncRecord &sync);

    // index counts from 1 (the first stored for the DIN); negative counts from the end
    // (-1 is the latest).
    bool loadMeasurement(const std::string &din, long index, MeasurementRecord &out,
                         std::string &error);
    std::vector<MeasurementSummary> listMeasurements(const std::string &din);
    const std::string &lastError() const { return lastError_; }

private:
    explicit Storage(sqlite3 *db) : db_(db) {}
    bool exec(const char *sql);
    bool createSchema();
    void upsertDevice(const std::string &din, const std::string &when);
    // One write: begins a transaction and records the device as seen...
    bool beginWrite(const std::string &din, const std::string &when);
    // ...and commits it when every step succeeded, or records why and rolls it back.
    bool endWrite(bool stepsSucceeded);

    sqlite3 *db_;
    std::mutex mutex_;
    std::string lastError_;
};

} // namespace lumo_collect

#endif

// The PostgreSQL store: the same tables and meaning as the SQLite database (schema
// version 3; the times of the collectors are timestamptz, measured_at device time as text), shared
// by any number of collectors. Every write is one transaction, committed (synchronous_commit as the
// server has it, on by default) before the call returns; a group of measurements is one
// transaction (storeMeasurements).
//
//   lumo_schema   version: 3 (one row; SQLite keeps it as PRAGMA user_version)
//   devices       din (key), first_seen, last_seen, handshake_crc16, last_status,
//                 last_status_at
//   measurements  id (bigserial), din, received_at, measured_at, dtime_packed, typeset,
//                 ns, nss, sample_count, samples (bytea of sample_count little-endian u16),
//                 samples_sha256 (bytea); UNIQUE (din, dtime_packed, typeset,
//                 sample_count, samples_sha256): the identity of a measurement
//   syncs, write_probe  as in SQLite
//   device_leases din (key), holder, epoch, expires_at: which collector serves a device
//                 (PostgreSQL only; see PgDeviceLock)
//
// Two collectors storing the same identity at the same moment: the unique constraint
// lets one insert win and the other finds that row, so each is stored once and the
// other is a repeat. A write that fails because the connection broke is tried once more
// on a new connection (a commit whose answer was lost is then found as a repeat).
//
// With device leases (fenceWith), a group stores a device's measurements only while this
// collector's lease on it is valid, checked in the group's own transaction: the lease
// rows are read FOR SHARE, so no other collector can take one over before the commit.
#ifndef LUMO_COLLECT_PGSTORAGE_H
#define LUMO_COLLECT_PGSTORAGE_H

#include "PgConnection.h"
#include "PgDeviceLock.h"
#include "SqliteStorage.h"
#include "Storage.h"

#include <functional>
#include <memory>
#include <mutex>
#include <set>

namespace lumo_collect {

class PgStorage : public Storage {
public:
    // Null with the reason when the server cannot be used as asked (see PgConnection),
    // the tables are of a later schema version, or (Read) hold no measurements.
    static std::unique_ptr<PgStorage> open(const PgTarget &target, Access access,
                                           std::string &error, OpenReport *report = nullptr);

    bool deviceSeen(const std::string &din, const std::string &when) override;
    StoreOutcome storeMeasurement(MeasurementRecord &m) override;
    std::vector<StoreOutcome> storeMeasurements(const std::vector<MeasurementRecord *> &group,
                                                std::string &error) override;
    bool storeSync(const SyncRecord &sync) override;
    bool storeGroup(const WriteGroup &group, std::vector<StoreOutcome> &outcomes,
                    std::string &error) override;
    bool probeWrite() override;
    bool loadMeasurement(const std::string &din, long index, MeasurementRecord &out,
                         std::string &error) override;
    std::vector<MeasurementSummary> listMeasurements(const std::string &din) override;
    bool findMeasurementIds(const MeasurementFilter &filter, std::vector<int64_t> &ids,
                            std::string &error) override;
    bool loadMeasurementById(int64_t id, MeasurementRecord &out, std::string &error) override;
    std::string lastError() const override;
    // Every later store is fenced by these leases (which outlive this store's use).
    void fenceWith(const PgDeviceLock *leases) { leases_ = leases; }

private:
    explicit PgStorage(std::unique_ptr<PgConnection> conn) : conn_(std::move(conn)) {}
    bool prepare(Access access, OpenReport &report, std::string &error);
    // Inside the set-up transaction: a version-2 store becomes version 3 (PgMigration).
    bool migrateIfOlder(OpenReport &report);
    // Runs `steps` inside one transaction; on a broken connection connects again and runs
    // them once more. Steps return false (with lastError_ set) to roll back.
    bool transaction(const std::function<bool()> &steps);
    bool attempt(const std::function<bool()> &steps);
    bool run(const char *sql, const PgParams &params = PgParams());
    bool upsertDevice(const std::string &din, const std::string &when);
    int64_t findMeasurement(const MeasurementRecord &m, const std::vector<uint8_t> &digest);
    // One measurement inside a transaction: Stored or Repeat (m.id set), or Failed.
    StoreOutcome insertMeasurement(MeasurementRecord &m, const std::vector<uint8_t> &blob,
                                   const std::vector<uint8_t> &digest);
    // The DINs of the group whose lease is ours with the epoch we took; false on error.
    bool validLeases(const std::vector<MeasurementRecord *> &group, std::set<std::string> &valid);
    bool insertSync(const SyncRecord &sync); // inside a transaction
    // The measurements of a group inside its transaction; false to roll back.
    bool insertMeasurements(const std::vector<MeasurementRecord *> &group,
                            const std::vector<std::vector<uint8_t>> &blobs,
                            const std::vector<std::vector<uint8_t>> &digests,
                            std::vector<StoreOutcome> &outcomes);
    bool probeOnce();

    std::unique_ptr<PgConnection> conn_;
    const PgDeviceLock *leases_ = nullptr;
    mutable std::mutex mutex_;
    std::string lastError_;
};

} // namespace lumo_collect

#endif

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

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace lumo_collect {

class PgStorage : public Storage {
public:
    // Groups committed at once, each on a connection of its own: a commit waits mostly on
    // the round trip and the server's disk, and the server commits concurrent
    // transactions together.
    static constexpr std::size_t kWriters = 2;

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
    std::size_t writers() const override { return kWriters; }
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
    PgStorage(std::unique_ptr<PgConnection> conn, PgTarget target)
        : conn_(std::move(conn)), target_(std::move(target))
    {
    }
    bool prepare(Access access, OpenReport &report, std::string &error);
    // Inside the set-up transaction: a version-2 store becomes version 3 (PgMigration).
    bool migrateIfOlder(OpenReport &report);
    // Runs `steps` inside one transaction; on a broken connection connects again and runs
    // them once more. Steps return false (with lastError_ set) to roll back.
    bool transaction(const std::function<bool()> &steps);
    bool attempt(const std::function<bool()> &steps);
    // One attempt, and once more on a fresh connection when the server went away.
    static bool retried(PgConnection &conn, std::string &error,
                        const std::function<bool()> &attemptOnce);
    // The statements of a batch in one transaction on a writer connection, sent at once
    // (a pipeline): results one per statement of the batch; false (error set) when
    // rolled back.
    static bool commitBatch(PgConnection &conn, const std::vector<PgStatement> &batch,
                            std::vector<PgResult> &results, std::string &error);
    static bool attemptBatch(PgConnection &conn, const std::vector<PgStatement> &batch,
                             std::vector<PgResult> &results, std::string &error);
    // A writer connection of the pool, made on first use; null (error set) when none can
    // be made. Waits while all kWriters are in use.
    PgConnection *takeWriterConnection(std::string &error);
    void giveBackWriterConnection(PgConnection *conn);
    bool run(const char *sql, const PgParams &params = PgParams());
    static int64_t findMeasurement(PgConnection &conn, const MeasurementRecord &m,
                                   const std::vector<uint8_t> &digest, std::string &error);
    static void addDevice(std::vector<PgStatement> &batch, const std::string &din,
                          const std::string &when);
    static void addSync(std::vector<PgStatement> &batch, const SyncRecord &sync);
    // epoch: the lease the measurement is stored under (none without leases).
    void addMeasurement(std::vector<PgStatement> &batch, const MeasurementRecord &m,
                        const std::vector<uint8_t> &blob, const std::vector<uint8_t> &digest,
                        std::optional<long long> epoch);
    // What became of each measurement of a committed group (ids set): Stored, Repeat,
    // or Fenced (its lease was not valid, or not held: answerOf SIZE_MAX).
    std::vector<StoreOutcome>
    measurementOutcomes(PgConnection &conn, const WriteGroup &group,
                        const std::vector<std::optional<long long>> &epochs,
                        const std::vector<std::size_t> &answerOf,
                        const std::vector<PgResult> &results, std::size_t leaseQuery,
                        const std::vector<std::vector<uint8_t>> &digests, std::string &error);
    bool probeOnce();

    std::unique_ptr<PgConnection> conn_; // set-up, the probe and reading
    const PgTarget target_;
    const PgDeviceLock *leases_ = nullptr;
    mutable std::mutex mutex_; // conn_ and lastError_
    std::string lastError_;
    // Writes: connections of their own, one per group being committed.
    std::mutex poolMutex_;
    std::condition_variable poolFree_;
    std::vector<std::unique_ptr<PgConnection>> writers_;
    std::vector<PgConnection *> idleWriters_;
};

} // namespace lumo_collect

#endif

// Where a collection run keeps what it received, seen from the rest of the tool. Every
// call is committed before it returns (storeMeasurements: one transaction for the whole
// group), so whatever the host has been handed is on disk before the library goes on to
// the next measurement.
//
// The meaning every implementation keeps (SqliteStorage, one process's file; PgStorage, a
// PostgreSQL database shared by several collectors):
// - samples are stored as a blob of little-endian unsigned 16-bit values;
// - a measurement's identity is its DIN, packed device time, typeset, sample count and
//   the SHA-256 of its sample blob (measurementDigest); the store holds each identity at
//   most once, so a measurement handed over again is recognised as a repeat and not
//   stored a second time;
// - probeWrite answers "could a measurement be committed right now?" by committing
//   (and removing again) a write of the largest measurement's size.
//
// Implementations are safe to call from several threads at once: callbacks of several
// channels may store at the same time.
#ifndef LUMO_COLLECT_STORAGE_H
#define LUMO_COLLECT_STORAGE_H

#include "MeasurementRecord.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lumo_collect {

struct MeasurementSummary {
    int64_t id = 0;
    std::string din;
    std::string measuredAt;
    std::size_t sampleCount = 0;
};

// Which measurements an export or a reader wants; empty fields do not filter.
struct MeasurementFilter {
    std::string din;
    std::string from; // device time "yyyy-MM-dd HH:mm:ss", inclusive
    std::string to;   // exclusive
};

enum class StoreOutcome {
    Stored, // committed; the record's id is set
    Repeat, // the store already holds this identity; the record's id is the stored one
    Failed, // nothing written; lastError says why
    // Not written: this collector no longer holds the device's lease (another one serves
    // it now). The store works; the device keeps the measurement.
    Fenced,
};

struct DeviceSeen {
    std::string din;
    std::string when;
};

// What the writer thread commits at once: device rows, sync results and measurements.
struct WriteGroup {
    std::vector<DeviceSeen> devices;
    std::vector<const SyncRecord *> syncs;
    std::vector<MeasurementRecord *> measurements;
};

class Storage {
public:
    virtual ~Storage() = default;

    virtual bool deviceSeen(const std::string &din, const std::string &when) = 0;
    virtual StoreOutcome storeMeasurement(MeasurementRecord &m) = 0;
    // A group of measurements in one transaction: every one committed (Stored or Repeat,
    // ids set; a repeat of an earlier one of the same group is a Repeat too) or, when any
    // step or the commit fails, none (all Failed, ids 0, error says why). This default
    // stores them one by one, each in its own transaction: correct, only slower.
    virtual std::vector<StoreOutcome>
    storeMeasurements(const std::vector<MeasurementRecord *> &group, std::string &error)
    {
        std::vector<StoreOutcome> outcomes;
        for (MeasurementRecord *m : group) {
            outcomes.push_back(storeMeasurement(*m));
            if (outcomes.back() == StoreOutcome::Failed)
                error = lastError();
        }
        return outcomes;
    }
    // Stores the sync result; a read status also becomes the device's last status.
    virtual bool storeSync(const SyncRecord &sync) = 0;
    // A writer's group: outcomes get one entry per measurement; false (with error) when
    // a device row or a sync result could not be stored. This default writes the device
    // rows and syncs one by one, then the measurements as one group; a store that can
    // puts everything into one transaction (then all or nothing).
    virtual bool storeGroup(const WriteGroup &group, std::vector<StoreOutcome> &outcomes,
                            std::string &error)
    {
        bool ok = true;
        for (const DeviceSeen &d : group.devices)
            if (!deviceSeen(d.din, d.when)) {
                ok = false;
                error = lastError();
            }
        for (const SyncRecord *sync : group.syncs)
            if (!storeSync(*sync)) {
                ok = false;
                error = lastError();
            }
        outcomes.clear();
        if (!group.measurements.empty())
            outcomes = storeMeasurements(group.measurements, error);
        return ok;
    }
    // How many groups (storeGroup) it can commit at once from as many threads; one
    // writer thread each.
    virtual std::size_t writers() const { return 1; }
    // Commits and removes a write as large as the largest measurement. True when the
    // store takes writes now.
    virtual bool probeWrite() = 0;

    // index counts from 1 (the first stored for the DIN); negative counts from the end
    // (-1 is the latest).
    virtual bool loadMeasurement(const std::string &din, long index, MeasurementRecord &out,
                                 std::string &error) = 0;
    virtual std::vector<MeasurementSummary> listMeasurements(const std::string &din) = 0;
    // The ids of the measurements the filter takes, oldest (lowest id) first.
    virtual bool findMeasurementIds(const MeasurementFilter & /*filter*/,
                                    std::vector<int64_t> & /*ids*/, std::string &error)
    {
        error = "this store cannot be searched";
        return false;
    }
    // One measurement with its samples; false (error says why) when there is none.
    virtual bool loadMeasurementById(int64_t /*id*/, MeasurementRecord & /*out*/,
                                     std::string &error)
    {
        error = "this store cannot be read by id";
        return false;
    }
    // Why the last failed call failed.
    virtual std::string lastError() const = 0;
};

} // namespace lumo_collect

#endif

// Per-DIN locks in a shared PostgreSQL: a session-level advisory lock on a key made from
// the DIN, on a connection of its own (apart from the store's, whose transactions and
// reconnections must not touch the locks). The server releases every lock of a
// collector whose connection ends, so a collector that dies (SIGKILL, power cut) frees
// its devices at once for the others.
#ifndef LUMO_COLLECT_PGDEVICELOCK_H
#define LUMO_COLLECT_PGDEVICELOCK_H

#include "DeviceLock.h"
#include "PgConnection.h"

#include <memory>
#include <mutex>
#include <set>

namespace lumo_collect {

// The advisory lock key of a DIN: "LUMO" in the high 32 bits and the DIN's number
// (NNN-NNN-NNN read as digits) in the low ones, so no two DINs share a key; a DIN that
// is not such a number is hashed (FNV-1a) instead.
long long dinLockKey(const std::string &din);

class PgDeviceLock : public DeviceLock {
public:
    static std::unique_ptr<PgDeviceLock> open(const PgTarget &target, std::string &error);

    LockOutcome acquire(const std::string &din) override;
    void release(const std::string &din) override;
    std::string lastError() const override;

private:
    explicit PgDeviceLock(std::unique_ptr<PgConnection> conn) : conn_(std::move(conn)) {}
    bool connected();

    std::unique_ptr<PgConnection> conn_;
    mutable std::mutex mutex_;
    std::set<std::string> held_;
    std::string lastError_;
};

} // namespace lumo_collect

#endif

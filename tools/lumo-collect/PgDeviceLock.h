// Per-DIN leases in a shared PostgreSQL: a row in device_leases (din, holder, epoch,
// expires_at) says which collector serves a device until when, by the server's clock.
//
// - Taking a lease is one statement that succeeds only when the row is free, expired or
//   already ours, and raises its epoch; a released lease is given back by the renewal
//   thread a moment later (its epoch in the statement, so a take in between is kept);
//   a collector's leases are renewed together every 3 s and last 15 s, so the devices of
//   a collector that died, froze or lost its path to the server are free within 15 s,
//   whatever the server believes of its sessions.
// - The lease is a row, not a session lock: a terminated backend, a restart or a
//   fail-over of the server loses nothing, and the server's lock table sets no limit.
// - A collector that cannot renew in time gives its leases up itself (holds() turns
//   false once 15 s less a margin have passed since the last renewal was sent), and
//   every store checks, in the same transaction, that the lease is still its own with
//   the same epoch (fencing: PgStorage), so a collector that was frozen past its leases
//   cannot commit for a device another collector serves now.
#ifndef LUMO_COLLECT_PGDEVICELOCK_H
#define LUMO_COLLECT_PGDEVICELOCK_H

#include "DeviceLock.h"
#include "PgConnection.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace lumo_collect {

// The advisory lock key of a DIN, used by earlier versions (kept for the tests of
// those keys): "LUMO" in the high 32 bits and the DIN's number in the low ones.
long long dinLockKey(const std::string &din);

class PgDeviceLock : public DeviceLock {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kLeaseTime{15000};
    static constexpr std::chrono::milliseconds kRenewEvery{3000};
    // Given up this long before the server could let the lease go: clocks drift, and a
    // commit under way must end (its deadline is 2.5 s) before another collector starts.
    static constexpr std::chrono::milliseconds kSafetyMargin{4000};

    static std::unique_ptr<PgDeviceLock> open(const PgTarget &target, std::string &error);
    // Stops renewing and gives every lease back (bounded by the statement deadline).
    ~PgDeviceLock() override;

    LockOutcome acquire(const std::string &din) override;
    void release(const std::string &din) override;
    std::string lastError() const override;
    bool holds(const std::string &din) const override;
    std::string unhealthy() const override;

    // Who this collector is in device_leases ("host:pid:random").
    const std::string &holder() const { return holder_; }
    // The epoch of the lease this collector holds on the DIN, if it holds one now.
    std::optional<long long> epochOf(const std::string &din) const;

private:
    explicit PgDeviceLock(std::unique_ptr<PgConnection> conn);
    // With connMutex_; throttled: not again within kRenewEvery of a failed attempt.
    bool connected(bool throttled);
    void renewLoop();
    void renewOnce();
    // Deletes the rows of the leases released since the last time (renewal thread).
    void giveBackReleased();
    // Leases whose time ran out locally are dropped; with stateMutex_.
    void forgetIfStale(Clock::time_point now) const;
    void noteFailure(const std::string &why);

    const std::string holder_;
    std::unique_ptr<PgConnection> conn_;
    std::mutex connMutex_; // conn_ and lastReconnectFailure_: one statement at a time
    Clock::time_point lastReconnectFailure_{};

    mutable std::mutex stateMutex_;
    mutable std::map<std::string, long long> held_; // DIN -> epoch
    mutable Clock::time_point validUntil_;          // of every lease in held_
    // Released, not yet given back: DIN and the epoch it was held under.
    std::vector<std::pair<std::string, long long>> released_;
    std::string lastError_;
    bool failing_ = false; // the last statement on the server failed

    std::condition_variable wake_;
    bool ending_ = false;
    std::thread renewer_; // last
};

} // namespace lumo_collect

#endif

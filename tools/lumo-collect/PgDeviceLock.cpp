#include "PgDeviceLock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <set>

#include <unistd.h>

namespace lumo_collect {

namespace {

constexpr unsigned long long kDinKeySpace = 0x4C554D4FULL << 32; // "LUMO"
constexpr unsigned long long kFnvOffset = 0xcbf29ce484222325ULL;
constexpr unsigned long long kFnvPrime = 0x100000001b3ULL;
constexpr std::size_t kMaxDinDigits = 10;
constexpr std::size_t kHostNameMax = 256;

// Free, expired or already ours: taken, with a new epoch (a session of ours that has not
// noticed it lost the lease cannot store under the new one).
const char *const kTake =
    "INSERT INTO device_leases AS l (din, holder, epoch, expires_at) "
    "VALUES ($1, $2, 1, now() + $3 * interval '1 millisecond') "
    "ON CONFLICT (din) DO UPDATE SET holder = excluded.holder, epoch = l.epoch + 1, "
    "expires_at = excluded.expires_at "
    "WHERE l.holder = excluded.holder OR l.expires_at <= now() RETURNING epoch";
const char *const kRenew = "UPDATE device_leases SET expires_at = now() + $2 * interval "
                           "'1 millisecond' WHERE holder = $1 AND din = ANY($3::text[]) "
                           "RETURNING din, epoch";
const char *const kGiveBack =
    "DELETE FROM device_leases WHERE holder = $1 AND din = ANY($2::text[])";
// Each lease exactly as it was released: one taken again meanwhile has a newer epoch.
const char *const kGiveBackReleased =
    "DELETE FROM device_leases AS l USING unnest($2::text[], $3::bigint[]) AS g(din, epoch) "
    "WHERE l.holder = $1 AND l.din = g.din AND l.epoch = g.epoch";

std::string makeHolder()
{
    char host[kHostNameMax] = {};
    ::gethostname(host, sizeof host - 1);
    std::random_device random;
    const unsigned long long tag = (static_cast<unsigned long long>(random()) << 32) ^ random();
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", tag);
    return std::string(host) + ":" + std::to_string(::getpid()) + ":" + hex;
}

} // namespace

long long dinLockKey(const std::string &din)
{
    unsigned long long number = 0;
    std::size_t digits = 0;
    bool numeric = !din.empty();
    for (unsigned char c : din) {
        if (std::isdigit(c)) {
            number = number * 10 + (c - '0');
            ++digits;
        } else if (c != '-') {
            numeric = false;
        }
    }
    if (numeric && digits > 0 && digits <= kMaxDinDigits && number <= 0xFFFFFFFFULL)
        return static_cast<long long>(kDinKeySpace | number);
    unsigned long long hash = kFnvOffset;
    for (unsigned char c : din)
        hash = (hash ^ c) * kFnvPrime;
    return static_cast<long long>(hash);
}

std::unique_ptr<PgDeviceLock> PgDeviceLock::open(const PgTarget &target, std::string &error)
{
    auto conn = PgConnection::connect(target, error);
    if (!conn)
        return nullptr;
    // Lease writes need not wait for the disk: a lease lost with the server's last
    // moments is safe, as every store checks its epoch in its own (durable) transaction.
    // The table device_leases is part of the schema: the store (opened first) made it.
    if (!conn->keepSetting("SET synchronous_commit = off", error)) {
        error = "cannot set up device leases in PostgreSQL at " + target.address + ": " + error;
        return nullptr;
    }
    return std::unique_ptr<PgDeviceLock>(new PgDeviceLock(std::move(conn)));
}

PgDeviceLock::PgDeviceLock(std::unique_ptr<PgConnection> conn)
    : holder_(makeHolder()), conn_(std::move(conn)), validUntil_(Clock::now()),
      renewer_([this] { renewLoop(); })
{
}

PgDeviceLock::~PgDeviceLock()
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ending_ = true;
    }
    wake_.notify_all();
    renewer_.join();
    std::vector<std::string> dins;
    for (const auto &entry : held_)
        dins.push_back(entry.first);
    for (const auto &entry : released_)
        dins.push_back(entry.first);
    std::lock_guard<std::mutex> lock(connMutex_);
    if (!dins.empty() && !conn_->isBroken())
        conn_->exec(kGiveBack, PgParams().text(holder_).textArray(dins));
}

bool PgDeviceLock::connected(bool throttled)
{
    if (!conn_->isBroken())
        return true;
    // A server that did not answer a moment ago (frozen, or its path) is not tried again
    // for each device that calls, each waiting out the connect deadline: the renewals try
    // every kRenewEvery. One that refused at once is tried again at once: it may be back.
    const Clock::time_point now = Clock::now();
    if (throttled && conn_->reconnectTimedOut() && now - lastReconnectFailure_ < kRenewEvery)
        return false;
    // The leases are rows: a new connection still holds them.
    std::string error;
    if (conn_->reconnect(error))
        return true;
    lastReconnectFailure_ = now;
    noteFailure(error);
    return false;
}

void PgDeviceLock::noteFailure(const std::string &why)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    lastError_ = why;
    failing_ = true;
}

void PgDeviceLock::forgetIfStale(Clock::time_point now) const
{
    if (now >= validUntil_)
        held_.clear();
}

LockOutcome PgDeviceLock::acquire(const std::string &din)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        forgetIfStale(Clock::now());
        if (held_.count(din))
            return LockOutcome::Acquired;
        // Released a moment ago and not given back yet: the take below renews it.
        released_.erase(std::remove_if(released_.begin(), released_.end(),
                                       [&](const auto &entry) { return entry.first == din; }),
                        released_.end());
    }
    std::lock_guard<std::mutex> connLock(connMutex_);
    const Clock::time_point sent = Clock::now();
    PgResult r;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connected(attempt == 0)) { // a session that just failed is replaced at once
            noteFailure(conn_->failure());
            return LockOutcome::Failed;
        }
        r = conn_->exec(kTake, PgParams().text(din).text(holder_).integer(
                                   static_cast<long long>(kLeaseTime.count())));
        if (r.ok() || conn_->timedOut())
            break; // an answer, or no answer in time (not again at once)
        // The session was ended (terminated, restarted) or is unfit (read-only): once
        // more on a fresh one.
        conn_->discard(r.error());
    }
    if (!r.ok()) {
        noteFailure("device lease for " + din + ": " + r.error());
        conn_->discard(r.error()); // a read-only or poisoned session is not used again
        return LockOutcome::Failed;
    }
    std::lock_guard<std::mutex> lock(stateMutex_);
    failing_ = false;
    if (r.rows() != 1)
        return LockOutcome::HeldElsewhere;
    // The first lease held sets the time; later ones last longer than the oldest.
    if (held_.empty())
        validUntil_ = sent + kLeaseTime - kSafetyMargin;
    held_[din] = r.integer(0, 0);
    return LockOutcome::Acquired;
}

void PgDeviceLock::release(const std::string &din)
{
    // Given back by the renewal thread at once, so that the device's last answer does not
    // wait for the round trip; until then the lease is still this collector's.
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const auto it = held_.find(din);
        if (it == held_.end())
            return;
        released_.emplace_back(it->first, it->second);
        held_.erase(it);
    }
    wake_.notify_all();
}

void PgDeviceLock::giveBackReleased()
{
    std::vector<std::string> dins;
    std::vector<long long> epochs;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        for (const auto &[din, epoch] : released_) {
            dins.push_back(din);
            epochs.push_back(epoch);
        }
        released_.clear();
    }
    if (dins.empty())
        return;
    std::lock_guard<std::mutex> connLock(connMutex_);
    if (conn_->isBroken())
        return; // the leases run out by themselves
    PgResult r = conn_->exec(kGiveBackReleased,
                             PgParams().text(holder_).textArray(dins).integerArray(epochs));
    if (!r.ok()) {
        noteFailure("device leases cannot be given back: " + r.error());
        conn_->discard(r.error());
    }
}

void PgDeviceLock::renewLoop()
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    Clock::time_point nextRenewal = Clock::now() + kRenewEvery;
    while (!ending_) {
        wake_.wait_until(lock, nextRenewal, [this] { return ending_ || !released_.empty(); });
        if (ending_)
            return;
        const bool renewalDue = Clock::now() >= nextRenewal;
        lock.unlock();
        giveBackReleased();
        if (renewalDue) {
            renewOnce();
            nextRenewal = Clock::now() + kRenewEvery;
        }
        lock.lock();
    }
}

void PgDeviceLock::renewOnce()
{
    std::vector<std::string> dins;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        forgetIfStale(Clock::now());
        for (const auto &entry : held_)
            dins.push_back(entry.first);
    }
    std::lock_guard<std::mutex> connLock(connMutex_);
    Clock::time_point sent;
    PgResult r;
    // A session the server ended (terminated, restarted) is found by this statement:
    // once more at once on a fresh connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connected(false))
            return;
        sent = Clock::now();
        r = conn_->exec(kRenew, PgParams()
                                    .text(holder_)
                                    .integer(static_cast<long long>(kLeaseTime.count()))
                                    .textArray(dins));
        if (r.ok() || conn_->timedOut())
            break;
        conn_->discard(r.error());
    }
    if (!r.ok()) {
        noteFailure("device leases cannot be renewed: " + r.error());
        conn_->discard(r.error());
        return;
    }
    std::map<std::string, long long> renewed;
    for (int i = 0; i < r.rows(); ++i)
        renewed[r.text(i, 0)] = r.integer(i, 1);
    std::lock_guard<std::mutex> lock(stateMutex_);
    failing_ = false;
    validUntil_ = sent + kLeaseTime - kSafetyMargin;
    // A lease not renewed (or under another epoch) was taken over while ours had run out.
    for (auto it = held_.begin(); it != held_.end();) {
        const auto found = renewed.find(it->first);
        const bool kept = found != renewed.end() && found->second == it->second;
        // Taken since the list was read: renewed by the next round.
        const bool newer = std::find(dins.begin(), dins.end(), it->first) == dins.end();
        it = kept || newer ? std::next(it) : held_.erase(it);
    }
}

bool PgDeviceLock::holds(const std::string &din) const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    forgetIfStale(Clock::now());
    return held_.count(din) != 0;
}

std::optional<long long> PgDeviceLock::epochOf(const std::string &din) const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    forgetIfStale(Clock::now());
    const auto it = held_.find(din);
    if (it == held_.end())
        return std::nullopt;
    return it->second;
}

std::string PgDeviceLock::lastError() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return lastError_;
}

std::string PgDeviceLock::unhealthy() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return failing_ ? "device leases cannot be taken: " + lastError_ : std::string();
}

} // namespace lumo_collect

#include "PgDeviceLock.h"

#include <cctype>

namespace lumo_collect {

namespace {

constexpr unsigned long long kDinKeySpace = 0x4C554D4FULL << 32; // "LUMO"
constexpr unsigned long long kFnvOffset = 0xcbf29ce484222325ULL;
constexpr unsigned long long kFnvPrime = 0x100000001b3ULL;
constexpr std::size_t kMaxDinDigits = 10;

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
    return std::unique_ptr<PgDeviceLock>(new PgDeviceLock(std::move(conn)));
}

bool PgDeviceLock::connected()
{
    if (!conn_->isBroken())
        return true;
    // The server released every lock of the old connection with it.
    held_.clear();
    return conn_->reconnect(lastError_);
}

LockOutcome PgDeviceLock::acquire(const std::string &din)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected())
        return LockOutcome::Failed;
    if (held_.count(din))
        return LockOutcome::Acquired;
    PgResult r =
        conn_->exec("SELECT pg_try_advisory_lock($1)", PgParams().integer(dinLockKey(din)));
    if (r.rows() != 1) {
        lastError_ = "device lock for " + din + ": " + r.error();
        return LockOutcome::Failed;
    }
    if (r.text(0, 0) != "t")
        return LockOutcome::HeldElsewhere;
    held_.insert(din);
    return LockOutcome::Acquired;
}

void PgDeviceLock::release(const std::string &din)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.erase(din) == 0 || conn_->isBroken())
        return;
    PgResult r = conn_->exec("SELECT pg_advisory_unlock($1)", PgParams().integer(dinLockKey(din)));
    if (!r.ok())
        lastError_ = "device lock for " + din + ": " + r.error();
}

std::string PgDeviceLock::lastError() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

} // namespace lumo_collect

#include "TimeOut.h"

#include <atomic>
#include <chrono>

namespace {

std::atomic<TimeOut::Clock> installedClock{nullptr};

} // namespace

void TimeOut::setClock(Clock clock)
{
    installedClock.store(clock, std::memory_order_relaxed);
}

int64_t TimeOut::nowMs()
{
    using namespace std::chrono;
    if (const Clock clock = installedClock.load(std::memory_order_relaxed))
        return clock();
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TimeOut::start()
{
    deadline = nowMs() + duration;
}

bool TimeOut::isExpired() const
{
    return deadline < 0 || nowMs() > deadline;
}

int TimeOut::remaining() const
{
    if (isExpired())
        return 0;
    const int64_t left = deadline - nowMs();
    return left > 0 ? int(left) : 0;
}

#include "PosixClock.h"

#include <cerrno>
#include <ctime>

namespace lumosim {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

void sleepUntilNs(int64_t deadlineNs)
{
    timespec ts{};
    ts.tv_sec = deadlineNs / kNsPerSec;
    ts.tv_nsec = deadlineNs % kNsPerSec;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

} // namespace lumosim

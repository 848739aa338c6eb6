// Monotonic time and absolute-deadline sleeps.
#ifndef LUMO_SIM_POSIXCLOCK_H
#define LUMO_SIM_POSIXCLOCK_H

#include <cstdint>

namespace lumosim {

// Nanoseconds on the monotonic clock.
int64_t monotonicNs();
// Sleeps until the monotonic clock reaches deadlineNs (returns at once if it has).
void sleepUntilNs(int64_t deadlineNs);

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSec = 1000000000;

} // namespace lumosim

#endif

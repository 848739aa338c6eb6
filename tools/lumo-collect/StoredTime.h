// Times as the store keeps them, read in one place. Today's rows hold this computer's
// local time without a zone ("yyyy-MM-ddTHH:mm:ss.zzz"); a time with "Z" or an offset is
// read as what it says, so rows written with a zone read the same way.
#ifndef LUMO_COLLECT_STOREDTIME_H
#define LUMO_COLLECT_STOREDTIME_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace lumo_collect {

using SystemTime = std::chrono::system_clock::time_point;

// Milliseconds since the epoch; none for a text that is not a stored time.
std::optional<int64_t> storedTimeToEpochMs(const std::string &text);
// The stored text of a moment, in the form the store writes now: comparing it with a
// stored time as text orders the two as the moments they name.
std::string storedTimeText(SystemTime when);

} // namespace lumo_collect

#endif

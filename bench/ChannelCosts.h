// What an open channel costs when it is not transferring: CPU time, the latency of
// stopChannel in each state, and resident memory.
#ifndef LUMO_BENCH_CHANNELCOSTS_H
#define LUMO_BENCH_CHANNELCOSTS_H

#include "liblumo.h"

#include <vector>

namespace bench {

// Percent of one core the library used over the window, for an open TCP channel with no
// device (idle) or with one device held in CONTROL (keep-alives every 3 s). The
// simulator's own thread is not counted. Negative when the set-up failed.
double idleChannelCpuPercent(liblumo::LibLumo &library, double seconds);
double controlChannelCpuPercent(liblumo::LibLumo &library, double seconds);

enum class StopState {
    NoDevice,    // listening, nobody connected
    IdleDevice,  // a device connected and accepted, the host answers CALIBRATION
    Control,     // a device held in CONTROL
    MidTransfer, // a long transfer running
    Flood,       // a peer sending garbage without pause
};
const char *stopStateName(StopState state);

// Seconds each stopChannel took; empty when the state could not be reached.
std::vector<double> stopLatencies(liblumo::LibLumo &library, StopState state, int repetitions);

// Resident bytes per open TCP channel with no device, over `channels` channels.
double residentBytesPerChannel(liblumo::LibLumo &library, int channels);

} // namespace bench

#endif

// The one place where the simulation meets the library's entry point: a channel's record
// (device table, event records) and one Connection per link opening, served here in the
// calling thread. Every connection is one exchange (Exchanges::One); a serial port's
// opening is a connection of its own, as for TCP.
#ifndef LIBLUMO_TESTS_SIMCONNECTION_H
#define LIBLUMO_TESTS_SIMCONNECTION_H

#include "channels/ChannelRecord.h"
#include "channels/Connection.h"

#include <memory>

namespace liblumo::sim {

// What outlives a channel's connections, and the stop of the simulated channel.
struct SimChannel {
    TCPProfile profile;
    ChannelRecord record{1, &profile, nullptr, nullptr};
    Connection *serving = nullptr;
    com::StopSignal stop;
    bool serial = false; // kept for the run's record; the library no longer tells them apart
    DeviceTable &devices() { return record.devices; }
    void raiseStop()
    {
        stop.raise();
        if (serving)
            serving->close();
    }
};

inline void runConnection(SimChannel &channel, std::unique_ptr<com::ComAbstract> link,
                          EventCallback callback, void *user)
{
    channel.record.callback = callback;
    channel.record.user = user;
    Connection connection(channel.record, std::move(link), Connection::Exchanges::One);
    channel.serving = &connection;
    if (connection.usable())
        connection.serve();
    channel.serving = nullptr;
}

} // namespace liblumo::sim

#endif

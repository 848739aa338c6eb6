// The one place where the simulation meets the library's entry point: what a channel lends
// its connections (device table, event records, callback) and one Connection per link
// opening, served here in the calling thread. Every connection is one exchange
// (Exchanges::One); a serial port's opening is a connection of its own, as for TCP.
#ifndef LIBLUMO_TESTS_SIMCONNECTION_H
#define LIBLUMO_TESTS_SIMCONNECTION_H

#include "channels/Connection.h"

#include <memory>

namespace liblumo::sim {

// What outlives a channel's connections, and the stop of the simulated channel.
struct SimChannel {
    DeviceTable table;
    EventRecordPool records;
    Connection *serving = nullptr;
    com::StopSignal stop;
    bool serial = false; // kept for the run's record; the library no longer tells them apart
    DeviceTable &devices() { return table; }
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
    const ConnectionServices services{channel.table, channel.records, callback, user};
    Connection connection(services, std::move(link), Connection::Exchanges::One);
    channel.serving = &connection;
    if (connection.usable())
        connection.serve();
    channel.serving = nullptr;
}

} // namespace liblumo::sim

#endif

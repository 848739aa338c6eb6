// The connections a channel serves, each on a thread of its own: one at a time for a
// serial port or a TCPProfile, up to the profile's limit for a FleetTCPProfile. The pool
// starts them, collects those that ended (waking the channel thread when one does), and
// on a stop closes every one and waits until each has raised its last event.
#ifndef LIBLUMO_CHANNELS_CONNECTIONPOOL_H
#define LIBLUMO_CHANNELS_CONNECTIONPOOL_H

#include "channels/Connection.h"
#include "transports/StopSignal.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace liblumo {

class ConnectionPool {
public:
    // `ended` is raised whenever a connection ends.
    ConnectionPool(std::size_t limit, com::StopSignal &ended);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool &) = delete;
    ConnectionPool &operator=(const ConnectionPool &) = delete;

    bool full() const { return running.size() >= limit; }
    std::size_t live() const { return running.size(); }
    // Serves the connection on a thread of its own; false (the connection is closed) when
    // it is not usable or its thread could not be created.
    bool start(std::unique_ptr<Connection> connection);
    // Joins the connections that have ended.
    void collectFinished();
    // Closes every connection and waits until each has ended.
    void closeAll();

private:
    struct Slot;
    static void *run(void *slot);

    const std::size_t limit;
    com::StopSignal &ended;
    std::vector<std::unique_ptr<Slot>> running;
};

} // namespace liblumo

#endif

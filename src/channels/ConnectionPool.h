// The connections of a channel that serves several devices at once: each accepted
// connection has its own transport, protocol and close signal, and runs its own exchange
// on a thread of its own. The pool starts them, collects those that ended, and on a stop
// closes every one and waits for all of them.
#ifndef LIBLUMO_CHANNELS_CONNECTIONPOOL_H
#define LIBLUMO_CHANNELS_CONNECTIONPOOL_H

#include "exchange/ExchangeContext.h"
#include "protocol/Protocol.h"
#include "transports/ComAbstract.h"
#include "transports/StopSignal.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace liblumo {

struct ChannelRecord;

class ConnectionPool {
public:
    ConnectionPool(ChannelRecord &channel, std::size_t limit);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool &) = delete;
    ConnectionPool &operator=(const ConnectionPool &) = delete;

    bool full() const { return connections.size() >= limit; }
    std::size_t live() const { return connections.size(); }
    // Runs an exchange on the connection; false (the connection is closed) when its
    // thread could not be created.
    bool start(std::unique_ptr<com::ComAbstract> transport, uint64_t link);
    // Joins the connections whose exchange has ended.
    void collectFinished();
    // Closes every connection and waits until each has raised its last event.
    void closeAll();

private:
    struct Connection;
    static void *run(void *connection);

    ChannelRecord &channel;
    const std::size_t limit;
    std::vector<std::unique_ptr<Connection>> connections;
};

} // namespace liblumo

#endif

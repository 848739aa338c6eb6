#include "channels/ConnectionPool.h"

#include "channels/ChannelRecord.h"
#include "channels/ChannelThread.h"
#include "exchange/ExchangeThread.h"
#include "helpers/Logging.h"

#include <algorithm>

namespace liblumo {

namespace {
// The exchange keeps its large records on the heap: a small stack lets thousands of
// connections live at once.
constexpr std::size_t kConnectionStackBytes = 512 * 1024;
} // namespace

struct ConnectionPool::Connection {
    Connection(ChannelRecord &record, std::unique_ptr<com::ComAbstract> link, uint64_t number)
        : channel(record), transport(std::move(link))
    {
        protocol.setStopSignal(&closeSignal);
        protocol.setTransport(transport.get());
        context.protocol = &protocol;
        context.transport = transport.get();
        context.devices = &record.devices;
        context.callback = record.callback;
        context.user = record.user;
        context.stop = &closeSignal;
        context.link = number;
    }

    ChannelRecord &channel;
    com::StopSignal closeSignal; // a stop of the channel, or its device taken over
    std::unique_ptr<com::ComAbstract> transport;
    Protocol protocol;
    ExchangeContext context;
    pthread_t thread{};
    std::atomic<bool> finished{false};
};

ConnectionPool::ConnectionPool(ChannelRecord &record, std::size_t maxConnections)
    : channel(record), limit(std::max<std::size_t>(maxConnections, 1))
{
}

ConnectionPool::~ConnectionPool()
{
    closeAll();
}

void *ConnectionPool::run(void *arg)
{
    auto &connection = *static_cast<Connection *>(arg);
    _threadExchange(&connection.context);
    connection.channel.devices.closeLink(connection.context.link);
    connection.finished.store(true, std::memory_order_release);
    connection.channel.attention.raise();
    return nullptr;
}

bool ConnectionPool::start(std::unique_ptr<com::ComAbstract> transport, uint64_t link)
{
    auto connection = std::make_unique<Connection>(channel, std::move(transport), link);
    channel.devices.openLink(link, &connection->closeSignal);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kConnectionStackBytes);
    const bool started = threadCreator()(&connection->thread, &attributes, &ConnectionPool::run,
                                         connection.get()) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        LUMO_CRITICAL << "_threadChannel no thread for a connection";
        channel.devices.closeLink(link);
        return false;
    }
    connections.push_back(std::move(connection));
    return true;
}

void ConnectionPool::collectFinished()
{
    for (auto it = connections.begin(); it != connections.end();) {
        if (!(*it)->finished.load(std::memory_order_acquire)) {
            ++it;
            continue;
        }
        pthread_join((*it)->thread, nullptr);
        it = connections.erase(it);
    }
}

void ConnectionPool::closeAll()
{
    for (auto &connection : connections)
        connection->closeSignal.raise();
    for (auto &connection : connections)
        pthread_join(connection->thread, nullptr);
    connections.clear();
}

} // namespace liblumo

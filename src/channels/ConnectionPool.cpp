#include "channels/ConnectionPool.h"

#include "channels/ChannelThread.h"
#include "helpers/Logging.h"

#include <algorithm>

namespace liblumo {

namespace {
// The exchange borrows its large records from the channel: a small stack lets thousands
// of connections live at once.
constexpr std::size_t kConnectionStackBytes = 512 * 1024;
} // namespace

struct ConnectionPool::Slot {
    Slot(std::unique_ptr<Connection> served, com::StopSignal &endSignal)
        : connection(std::move(served)), ended(endSignal)
    {
    }
    std::unique_ptr<Connection> connection;
    com::StopSignal &ended;
    pthread_t thread{};
    std::atomic<bool> finished{false};
};

ConnectionPool::ConnectionPool(std::size_t maxConnections, com::StopSignal &endSignal)
    : limit(std::max<std::size_t>(maxConnections, 1)), ended(endSignal)
{
}

ConnectionPool::~ConnectionPool()
{
    closeAll();
}

void *ConnectionPool::run(void *arg)
{
    auto &slot = *static_cast<Slot *>(arg);
    slot.connection->serve();
    slot.finished.store(true, std::memory_order_release);
    slot.ended.raise();
    return nullptr;
}

bool ConnectionPool::start(std::unique_ptr<Connection> connection)
{
    if (!connection->usable()) {
        LUMO_CRITICAL << "_threadChannel no close signal for a connection, not served";
        return false;
    }
    auto slot = std::make_unique<Slot>(std::move(connection), ended);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kConnectionStackBytes);
    const bool started =
        threadCreator()(&slot->thread, &attributes, &ConnectionPool::run, slot.get()) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        LUMO_CRITICAL << "_threadChannel no thread for a connection";
        return false;
    }
    running.push_back(std::move(slot));
    return true;
}

void ConnectionPool::collectFinished()
{
    for (auto it = running.begin(); it != running.end();) {
        if (!(*it)->finished.load(std::memory_order_acquire)) {
            ++it;
            continue;
        }
        pthread_join((*it)->thread, nullptr);
        it = running.erase(it);
    }
}

void ConnectionPool::closeAll()
{
    for (auto &slot : running)
        slot->connection->close();
    for (auto &slot : running)
        pthread_join(slot->thread, nullptr);
    running.clear();
}

} // namespace liblumo

// Which device connections are live right now. The library names the connection of each
// event (liblumo::currentConnectionId) and serves each connection (TCP connection, opening
// of a serial port) on a thread of its own that ends with it, so a connection is live from
// its first device event until its thread ends. The thread's end is seen through a
// thread-local object whose destructor reports it.
#ifndef LUMO_COLLECT_CONNECTIONTRACKER_H
#define LUMO_COLLECT_CONNECTIONTRACKER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

namespace lumo_collect {

class ConnectionTracker : public std::enable_shared_from_this<ConnectionTracker> {
public:
    // Use through a shared_ptr: a thread that outlives the tracker must not report to it.
    static std::shared_ptr<ConnectionTracker> create();

    // The calling thread serves this connection; counted until the thread ends.
    void noteConnection(uint64_t connection);
    std::size_t live() const;
    // The most connections live at one time.
    std::size_t peak() const;
    bool isLive(uint64_t connection) const;

private:
    ConnectionTracker() = default;
    friend struct ThreadEndReporter;
    void ended(uint64_t connection);

    mutable std::mutex mutex_;
    std::set<uint64_t> live_;
    std::size_t peak_ = 0;
};

} // namespace lumo_collect

#endif

// Which device connections are live right now, as the host can tell them apart: the
// library runs the exchange of each connection (TCP connection, serial session) on a
// thread of its own that ends with the connection, so a connection is live from its
// first device event until its thread ends. The thread's end is seen through a
// thread-local object whose destructor reports it.
#ifndef LUMO_COLLECT_CONNECTIONTRACKER_H
#define LUMO_COLLECT_CONNECTIONTRACKER_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace lumo_collect {

class ConnectionTracker : public std::enable_shared_from_this<ConnectionTracker> {
public:
    // Use through a shared_ptr: a thread that outlives the tracker must not report to it.
    static std::shared_ptr<ConnectionTracker> create();

    // The calling thread serves a connection; counted until it ends.
    void noteCallingThread();
    std::size_t live() const;
    // The most connections live at one time.
    std::size_t peak() const;
    bool isLive(std::thread::id thread) const;

private:
    ConnectionTracker() = default;
    friend struct ThreadEndReporter;
    void ended(std::thread::id thread);

    mutable std::mutex mutex_;
    std::set<std::thread::id> live_;
    std::size_t peak_ = 0;
};

} // namespace lumo_collect

#endif

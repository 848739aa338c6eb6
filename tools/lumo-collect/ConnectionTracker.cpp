#include "ConnectionTracker.h"

#include <algorithm>
#include <vector>

namespace lumo_collect {

// One per thread that raised a device event: tells every tracker the connections the
// thread served when it ends.
struct ThreadEndReporter {
    ~ThreadEndReporter()
    {
        for (const auto &[t, connection] : served)
            if (const auto tracker = t.lock())
                tracker->ended(connection);
    }
    std::vector<std::pair<std::weak_ptr<ConnectionTracker>, uint64_t>> served;
};

namespace {
thread_local ThreadEndReporter threadEnd;
} // namespace

std::shared_ptr<ConnectionTracker> ConnectionTracker::create()
{
    return std::shared_ptr<ConnectionTracker>(new ConnectionTracker);
}

void ConnectionTracker::noteConnection(uint64_t connection)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!live_.insert(connection).second)
            return;
        peak_ = std::max(peak_, live_.size());
    }
    threadEnd.served.emplace_back(weak_from_this(), connection);
}

std::size_t ConnectionTracker::live() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.size();
}

std::size_t ConnectionTracker::peak() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
}

bool ConnectionTracker::isLive(uint64_t connection) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(connection) != 0;
}

void ConnectionTracker::ended(uint64_t connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(connection);
}

} // namespace lumo_collect

#include "ConnectionTracker.h"

#include <algorithm>
#include <vector>

namespace lumo_collect {

// One per thread that raised a device event: tells every tracker that counted the
// thread when it ends.
struct ThreadEndReporter {
    ~ThreadEndReporter()
    {
        for (const std::weak_ptr<ConnectionTracker> &t : trackers)
            if (const auto tracker = t.lock())
                tracker->ended(std::this_thread::get_id());
    }
    std::vector<std::weak_ptr<ConnectionTracker>> trackers;
};

namespace {
thread_local ThreadEndReporter threadEnd;
} // namespace

std::shared_ptr<ConnectionTracker> ConnectionTracker::create()
{
    return std::shared_ptr<ConnectionTracker>(new ConnectionTracker);
}

void ConnectionTracker::noteCallingThread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!live_.insert(std::this_thread::get_id()).second)
            return;
        peak_ = std::max(peak_, live_.size());
    }
    threadEnd.trackers.push_back(weak_from_this());
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

bool ConnectionTracker::isLive(std::thread::id thread) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(thread) != 0;
}

void ConnectionTracker::ended(std::thread::id thread)
{
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(thread);
}

} // namespace lumo_collect

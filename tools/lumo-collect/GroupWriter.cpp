#include "GroupWriter.h"

#include <vector>

namespace lumo_collect {

GroupWriter::GroupWriter(Storage &storage, WriterHooks hooks)
    : storage_(storage), hooks_(std::move(hooks)), thread_([this] { run(); })
{
}

GroupWriter::~GroupWriter()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    work_.notify_one();
    thread_.join();
}

StoreOutcome GroupWriter::store(MeasurementRecord &m, std::string &why)
{
    const auto handed = std::chrono::steady_clock::now();
    Job job;
    job.measurement = &m;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        queue_.push_back(&job);
        work_.notify_one();
        done_.wait(lock, [&] { return job.done; });
    }
    if (hooks_.waited)
        hooks_.waited(std::chrono::steady_clock::now() - handed);
    why = job.why;
    return job.outcome;
}

std::size_t GroupWriter::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void GroupWriter::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        work_.wait(lock, [&] { return ending_ || !queue_.empty(); });
        if (queue_.empty())
            return; // ending, and nothing is left to write
        std::deque<Job *> group = takeGroup();
        lock.unlock();
        write(group);
        lock.lock();
        for (Job *job : group)
            job->done = true;
        done_.notify_all();
    }
}

std::deque<GroupWriter::Job *> GroupWriter::takeGroup()
{
    std::deque<Job *> group;
    while (!queue_.empty() && group.size() < kMaxGroup) {
        group.push_back(queue_.front());
        queue_.pop_front();
    }
    return group;
}

void GroupWriter::write(std::deque<Job *> &group)
{
    if (hooks_.paused && hooks_.paused()) {
        for (Job *job : group)
            job->why = "storage is down";
        return; // outcomes stay Failed
    }
    std::vector<MeasurementRecord *> records;
    for (const Job *job : group)
        records.push_back(job->measurement);
    std::string error;
    const std::vector<StoreOutcome> outcomes = storage_.storeMeasurements(records, error);
    bool anyFailed = outcomes.size() != group.size();
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i]->outcome = i < outcomes.size() ? outcomes[i] : StoreOutcome::Failed;
        anyFailed = anyFailed || group[i]->outcome == StoreOutcome::Failed;
        if (group[i]->outcome == StoreOutcome::Failed)
            group[i]->why = error.empty() ? "not stored" : error;
    }
    // Before the callers wake: the next group must already see storage as down.
    if (anyFailed && hooks_.failed)
        hooks_.failed(error.empty() ? "not stored" : error);
}

} // namespace lumo_collect

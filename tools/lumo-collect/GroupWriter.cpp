#include "GroupWriter.h"

#include <algorithm>
#include <vector>

namespace lumo_collect {

GroupWriter::GroupWriter(Storage &storage, WriterHooks hooks)
    : storage_(storage), hooks_(std::move(hooks))
{
    const std::size_t count = std::max<std::size_t>(1, storage_.writers());
    for (std::size_t i = 0; i < count; ++i)
        threads_.emplace_back([this] { run(); });
}

GroupWriter::~GroupWriter()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    work_.notify_all();
    for (std::thread &thread : threads_)
        thread.join();
}

void GroupWriter::submit(Job &job, std::string &why)
{
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&job);
    work_.notify_one();
    done_.wait(lock, [&] { return job.done; });
    why = job.why;
}

StoreOutcome GroupWriter::store(MeasurementRecord &m, std::string &why)
{
    const auto handed = std::chrono::steady_clock::now();
    Job job;
    job.measurement = &m;
    submit(job, why);
    if (hooks_.waited)
        hooks_.waited(std::chrono::steady_clock::now() - handed);
    return job.outcome;
}

bool GroupWriter::deviceSeen(const std::string &din, const std::string &when, std::string &why)
{
    const DeviceSeen device{din, when};
    Job job;
    job.device = &device;
    submit(job, why);
    return job.outcome == StoreOutcome::Stored;
}

bool GroupWriter::storeSync(const SyncRecord &sync, std::string &why)
{
    Job job;
    job.sync = &sync;
    submit(job, why);
    return job.outcome == StoreOutcome::Stored;
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
    WriteGroup batch;
    for (const Job *job : group) {
        if (job->measurement)
            batch.measurements.push_back(job->measurement);
        else if (job->device)
            batch.devices.push_back(*job->device);
        else
            batch.syncs.push_back(job->sync);
    }
    std::string error;
    std::vector<StoreOutcome> outcomes;
    const bool othersStored = storage_.storeGroup(batch, outcomes, error);
    bool anyFailed = !othersStored || outcomes.size() != batch.measurements.size();
    std::size_t next = 0; // the next measurement's outcome
    for (Job *job : group) {
        if (job->measurement)
            job->outcome = next < outcomes.size() ? outcomes[next++] : StoreOutcome::Failed;
        else
            job->outcome = othersStored ? StoreOutcome::Stored : StoreOutcome::Failed;
        anyFailed = anyFailed || job->outcome == StoreOutcome::Failed;
        if (job->outcome == StoreOutcome::Failed)
            job->why = error.empty() ? "not stored" : error;
        else if (job->outcome == StoreOutcome::Fenced)
            job->why = "the device's lease was lost";
    }
    // Before the callers wake: the next group must already see storage as down.
    if (anyFailed && hooks_.failed)
        hooks_.failed(error.empty() ? "not stored" : error);
}

} // namespace lumo_collect

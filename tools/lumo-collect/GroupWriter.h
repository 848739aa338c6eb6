// The threads that write measurements (one, or as many as the store commits at once).
// Callbacks of many connections hand their measurement over and wait; a writer commits
// everything waiting in one transaction (a group), then wakes each caller with its own
// outcome. While one group is being committed the next one gathers, so the disk sees one
// commit per group instead of one per measurement, and nobody waits on a timer: a lone
// measurement is written at once.
//
// A caller returns only once the transaction holding its measurement has been committed
// (or has failed): what it reports stored is on disk.
#ifndef LUMO_COLLECT_GROUPWRITER_H
#define LUMO_COLLECT_GROUPWRITER_H

#include "Storage.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumo_collect {

struct WriterHooks {
    // True while nothing should be written (storage known to fail): a group is then
    // refused without an attempt, so no caller waits out another busy time-out.
    std::function<bool()> paused;
    // A group failed; called on the writer thread before its callers are woken.
    std::function<void(const std::string &why)> failed;
    // How long a caller waited for its outcome; called on the caller's thread.
    std::function<void(std::chrono::nanoseconds)> waited;
};

class GroupWriter {
public:
    // At most this many measurements in one transaction (up to 8 MiB of samples): bounds
    // how long one commit holds back the callers of the next group.
    static constexpr std::size_t kMaxGroup = 64;

    GroupWriter(Storage &storage, WriterHooks hooks);
    // Writes whatever is still waiting, then ends the thread.
    ~GroupWriter();
    GroupWriter(const GroupWriter &) = delete;
    GroupWriter &operator=(const GroupWriter &) = delete;

    // Blocks until the group holding m is committed or has failed; m.id is set when
    // stored. On Failed, why says why.
    StoreOutcome store(MeasurementRecord &m, std::string &why);
    // A device row and a sync result go into a group the same way; false, with why,
    // when not stored.
    bool deviceSeen(const std::string &din, const std::string &when, std::string &why);
    bool storeSync(const SyncRecord &sync, std::string &why);
    // Measurements handed over and not yet taken into a group.
    std::size_t waiting() const;

private:
    struct Job {
        // One of the three.
        MeasurementRecord *measurement = nullptr;
        const DeviceSeen *device = nullptr;
        const SyncRecord *sync = nullptr;
        StoreOutcome outcome = StoreOutcome::Failed;
        std::string why;
        bool done = false;
    };

    void run();
    // Hands the job over and waits for its group.
    void submit(Job &job, std::string &why);
    std::deque<Job *> takeGroup(); // with mutex_ held
    void write(std::deque<Job *> &group);

    Storage &storage_;
    const WriterHooks hooks_;
    mutable std::mutex mutex_;
    std::condition_variable work_; // the writer: jobs arrived or the end
    std::condition_variable done_; // the callers: a group finished
    std::deque<Job *> queue_;
    bool ending_ = false;
    std::vector<std::thread> threads_; // last: start once everything above is ready
};

} // namespace lumo_collect

#endif

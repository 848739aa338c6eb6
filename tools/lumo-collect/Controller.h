// The host side of the conversation: answers the library's questions per device from its
// plan, copies what the library hands over and stores it before the callback returns.
//
// The callback runs on the library's threads (one per connection: in fleet mode many at
// once), so everything shared here is guarded; it never calls back into the library.
// Measurements go through one writer thread that commits them in groups; a callback
// returns only once its measurement's group is committed.
#ifndef LUMO_COLLECT_CONTROLLER_H
#define LUMO_COLLECT_CONTROLLER_H

#include "ConnectionTracker.h"
#include "DevicePlan.h"
#include "MeasurementRecord.h"
#include "Storage.h"

#include <liblumo.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace lumo_collect {

class Storage;
class GroupWriter;
class DeviceLock;
class LatencyHistogram;

struct ControllerConfig {
    std::set<std::string> accept; // empty: every device
    std::optional<liblumo::DeviceParams> params;
    FinalStep finalStep = FinalStep::Sleep;
    // After a storage failure, how often a probe write checks whether storage works again.
    std::chrono::milliseconds storageProbeInterval{5000};
    // A device lock whose device has raised no event for this long (and has no action
    // under way) is released: its connection ended between actions, which the library
    // does not report. Longer than the slowest measurement on a slow link.
    std::chrono::milliseconds lockIdleRelease{120000};
};

struct Sinks {
    Storage *storage = nullptr;
    // Several collectors on one store: who serves which device (none: this one serves all).
    DeviceLock *lock = nullptr;
    // One line for the person running the tool.
    std::function<void(const std::string &)> say;
    // Counts how long each measurement waited for its commit (none: not counted).
    LatencyHistogram *writeLatency = nullptr;
};

struct Stats {
    std::size_t devicesSeen = 0;
    std::size_t devicesDone = 0;
    std::size_t refused = 0; // distinct DINs
    std::size_t measurements = 0;
    std::size_t samples = 0;
    std::size_t syncsOk = 0;
    std::size_t syncsFailed = 0;
    std::size_t transfersOk = 0;
    std::size_t transfersFailed = 0;
    std::size_t keepAlivesFailed = 0;
    std::size_t storageErrors = 0;
    std::size_t repeats = 0;             // measurements the store already held
    std::size_t refusedMeasurements = 0; // left on their device: they could not be stored
    std::size_t transfersSkipped = 0;    // not asked for while storage was down
    std::size_t devicesLetGo = 0;        // sessions let go: another collector served the DIN
    std::size_t leaseFailures = 0;       // device leases that could not be taken
    std::size_t leasesLost = 0;          // sessions ended: the device's lease was lost
    std::size_t fencedMeasurements = 0;  // refused under a lost lease (left on the device)
    std::size_t drainedDevices = 0;      // new sessions let go while draining
    bool storageDown = false;            // transfers paused until a probe write succeeds
    std::size_t liveConnections = 0;     // device connections served right now
    std::size_t peakConnections = 0;     // the most at one time
    // Syncs and transfers that failed before the run began to stop: a transfer cut short
    // by the stop itself is expected, one that failed on its own means data was left.
    std::size_t failuresBeforeStop = 0;
};

class Controller {
public:
    using Clock = std::chrono::steady_clock;

    Controller(ControllerConfig config, Sinks sinks);
    // Waits for the writer to finish: only once no callback can come any more.
    ~Controller();
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    // The EventCallback given to startChannel, with the Controller as user pointer.
    static int callback(liblumo::lumo_Event event, void *data, void *user,
                        liblumo::lumo_ErrorCodes error);
    void handle(liblumo::lumo_Event event, liblumo::lumo_EventData *record);

    Stats stats() const;
    // While storage is down: a probe write when one is due; says when storage works
    // again. Called by the main loop, never from a callback.
    void probeStorage();
    // The run is ending: failures from now on are the stop's doing.
    void beginStop() { stopping_ = true; }
    // When the last device event other than a request for the next action arrived (or
    // the controller was made).
    Clock::time_point lastActivity() const;
    // Waits until `count` channels have raised EV_CHANNEL_STOPPED, which may come after
    // stopChannel has returned; the controller must outlive those callbacks.
    bool waitChannelsStopped(int count, std::chrono::milliseconds timeout);
    // What could not be stored, one line each ("DIN measured_at: why"), for the summary.
    std::vector<std::string> notStored() const;
    // The ids of the measurements this run stored or found already stored (repeats), each
    // once, in the order they arrived: what the run's exports hold.
    std::vector<int64_t> runMeasurementIds() const;
    // Releases the locks of devices gone quiet (see lockIdleRelease). Called by the main
    // loop, never from a callback.
    void releaseIdleLocks();
    // Why this collector should get no new devices now, or empty when it is healthy
    // (the HTTP endpoint's /healthz). Safe from any thread.
    std::string unhealthy() const;
    // Drain: from now on a device that handshakes is let go at once (EXIT) and the
    // health check answers 503, so the balancer sends devices elsewhere; sessions under
    // way go on to their end.
    void beginDrain();
    bool draining() const;

private:
    struct DeviceState {
        DeviceState(const PlanConfig &config) : plan(config) {}
        DevicePlan plan;
        std::optional<liblumo::RequestAction> running; // SYNC or DATA_TRANSFER under way
        bool paramsWritten = false;
        bool refusedOne = false; // this transfer's end is the host's refusal
        std::size_t transferred = 0;
        // The connection this session runs on: a device taken over by a newer
        // connection may still hear the older one's last events.
        uint64_t connection = liblumo::currentConnectionId();
        bool locked = false; // this collector holds the device's lock
        bool letGo = false;  // another collector serves it: EXIT at its first request
        Clock::time_point lastEvent = Clock::now();
    };

    void onHandshake(liblumo::lumo_EventData &record);
    void onDeviceAdded(const std::string &din);
    void onRequestAction(liblumo::lumo_EventData &record);
    void onSyncEnded(const liblumo::lumo_EventData &record, bool ok);
    void onMeasurement(liblumo::lumo_EventData &record);
    void refuseMeasurement(liblumo::lumo_EventData &record, const MeasurementRecord &m,
                           const std::string &why);
    void storageFailed(const std::string &why);
    // The device's lease is gone: its session ends at its next request; a measurement
    // being stored under it (if given) is refused.
    void leaseLost(const std::string &din, liblumo::lumo_EventData *measurement);
    bool storageDown() const;
    void onTransferEnded(const std::string &din, bool ok);
    void onActionFailed(const liblumo::lumo_EventData &record);
    void onKeepAliveFailed(const std::string &din);
    void markDone(const std::string &din);
    // Device locks (only with Sinks::lock): true when this collector may serve the device.
    bool holdLock(const std::string &din);
    void releaseLock(const std::string &din);
    void noteDeviceEvent(const std::string &din);
    DeviceState &stateOf(const std::string &din);
    // False for an event of an older connection that a newer one took the device from
    // (its session's state belongs to the newer one). Under mutex_.
    bool fromCurrentSession(DeviceState &state) const;
    void say(const std::string &line);
    void touch();

    const ControllerConfig config_;
    const Sinks sinks_;
    PlanConfig planConfig_;

    mutable std::mutex mutex_; // devices_, seen_, done_, stats_
    std::map<std::string, DeviceState> devices_;
    std::set<std::string> seen_;
    std::set<std::string> done_;
    std::set<std::string> refused_;
    Stats stats_;
    std::vector<std::string> notStored_;
    std::vector<int64_t> runIds_;
    std::set<int64_t> runIdSet_;

    Clock::time_point lastProbe_; // under mutex_
    std::string storageFailure_;  // under mutex_: why storage went down
    bool draining_ = false;       // under mutex_

    const std::shared_ptr<ConnectionTracker> connections_ = ConnectionTracker::create();

    std::atomic<Clock::rep> lastActivity_;
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    int channelsStopped_ = 0;

    // With storage only. Last: ended first, while what its hooks use is still there.
    std::unique_ptr<GroupWriter> writer_;
};

} // namespace lumo_collect

#endif

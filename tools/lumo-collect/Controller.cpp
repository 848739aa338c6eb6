#include "Controller.h"

#include "TimeText.h"

#include "DeviceLock.h"
#include "GroupWriter.h"
#include "Metrics.h"
#include "Storage.h"

#include <cstring>

namespace lumo_collect {

using namespace liblumo;

namespace {

constexpr uint32_t kAccept = 1;
// The summary lists at most this many records that were not stored; the counts cover all.
constexpr std::size_t kMaxNotStoredListed = 1000;

const char *actionName(RequestAction action)
{
    switch (action) {
    case SYNC:
        return "SYNC";
    case DATA_TRANSFER:
        return "DATA_TRANSFER";
    case CONTROL:
        return "CONTROL";
    case CALIBRATION:
        return "CALIBRATION";
    case SLEEP:
        return "SLEEP";
    case EXIT:
        return "EXIT";
    }
    return "?";
}

} // namespace

Controller::Controller(ControllerConfig config, Sinks sinks)
    : config_(std::move(config)), sinks_(std::move(sinks)), lastProbe_(Clock::now()),
      lastActivity_(Clock::now().time_since_epoch().count())
{
    planConfig_.sync = config_.params.has_value();
    planConfig_.finalStep = config_.finalStep;
    if (sinks_.storage) {
        WriterHooks hooks;
        hooks.paused = [this] { return storageDown(); };
        hooks.failed = [this](const std::string &why) { storageFailed(why); };
        if (LatencyHistogram *latency = sinks_.writeLatency)
            hooks.waited = [latency](std::chrono::nanoseconds took) { latency->observe(took); };
        writer_ = std::make_unique<GroupWriter>(*sinks_.storage, std::move(hooks));
    }
}

Controller::~Controller() = default;

int Controller::callback(lumo_Event event, void *data, void *user, lumo_ErrorCodes /*error*/)
{
    auto *self = static_cast<Controller *>(user);
    if (self)
        self->handle(event, static_cast<lumo_EventData *>(data));
    return 0;
}

void Controller::handle(lumo_Event event, lumo_EventData *record)
{
    if (event == EV_CHANNEL_STOPPED) {
        std::lock_guard<std::mutex> lock(stopMutex_);
        ++channelsStopped_;
        stopped_.notify_all();
        return;
    }
    if (event == EV_CHANNEL_STARTED || record == nullptr)
        return;
    connections_->noteConnection(liblumo::currentConnectionId());
    // The library asks every turn while a device is held: that is polling, not activity.
    if (event != EV_REQUEST_ACTION)
        touch();
    const std::string din = dinOf(*record);
    if (sinks_.lock)
        noteDeviceEvent(din);
    switch (event) {
    case EV_DEVICE_HANDSHAKE:
        onHandshake(*record);
        break;
    case EV_DEVICE_ADDED:
        onDeviceAdded(din);
        break;
    case EV_REQUEST_ACTION:
        onRequestAction(*record);
        break;
    case EV_PARAMS_UPDATED: {
        std::lock_guard<std::mutex> lock(mutex_);
        stateOf(din).paramsWritten = true;
        break;
    }
    case EV_SYNC_DONE:
        onSyncEnded(*record, true);
        break;
    case EV_MEASUREMENT:
        onMeasurement(*record);
        break;
    case EV_TRANSFER_DONE:
        onTransferEnded(din, true);
        break;
    case EV_ACTION_FAILED:
        onActionFailed(*record);
        break;
    case EV_KEEPALIVE_FAILED:
        onKeepAliveFailed(din);
        break;
    default:
        break;
    }
}

void Controller::onHandshake(lumo_EventData &record)
{
    const std::string din = dinOf(record);
    if (config_.accept.empty() || config_.accept.count(din)) {
        record.answer = kAccept;
        return;
    }
    bool firstRefusal = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        firstRefusal = refused_.insert(din).second;
        stats_.refused = refused_.size();
    }
    // A refused device keeps trying; say so once per DIN.
    if (firstRefusal)
        say("refused device " + din + " (not in --accept)");
}

void Controller::onDeviceAdded(const std::string &din)
{
    bool firstTime = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.erase(din); // a new handshake starts the plan over
        devices_.emplace(din, DeviceState(planConfig_));
        firstTime = seen_.insert(din).second;
        stats_.devicesSeen = seen_.size();
        if (draining_) {
            devices_.at(din).letGo = true;
            ++stats_.drainedDevices;
        }
    }
    if (draining()) {
        say(din + ": draining, let go without a transfer (EXIT)");
        return;
    }
    if (!holdLock(din))
        return; // let go at its first request: another collector serves it
    // While storage is down the device row waits for its next stored measurement.
    // Through the writer, in a group with what else is waiting; a failure marks storage
    // down there (the same database takes the measurements: no transfer until it works).
    std::string why;
    if (sinks_.storage && !storageDown() && !writer_->deviceSeen(din, utcNow(), why)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.storageErrors;
    }
    say(std::string(firstTime ? "device " : "device again ") + din);
}

void Controller::onRequestAction(lumo_EventData &record)
{
    const std::string din = dinOf(record);
    if (!holdLock(din)) {
        record.answer = EXIT;
        return;
    }
    RequestAction action;
    bool finished = false;
    bool skipped = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceState &state = stateOf(din);
        const bool owed = state.plan.transferOwed();
        action = state.plan.next(!stats_.storageDown);
        finished = state.plan.finished();
        if (draining_ && action == CONTROL) {
            action = EXIT; // a held device is let go: the drain waits for every session
            finished = true;
        }
        skipped = !owed && state.plan.transferOwed();
        stats_.transfersSkipped += skipped ? 1 : 0;
        if (action == SYNC || action == DATA_TRANSFER) {
            state.running = action;
            state.paramsWritten = false;
            state.refusedOne = false;
            state.transferred = 0;
        }
    }
    if (skipped)
        say(din + ": transfer not asked for while storage is down; the device keeps its "
                  "measurements");
    record.answer = action;
    if (action == SYNC) {
        // Only reached with parameters: the plan has no SYNC step without them.
        static_assert(sizeof(DeviceParams) <= kAnswerDataSize, "answer room");
        std::memcpy(record.answerData, &*config_.params, sizeof(DeviceParams));
        record.answerLength = sizeof(DeviceParams);
    }
    if (action == SLEEP || action == EXIT)
        say(din + ": " + actionName(action));
    if (finished)
        markDone(din);
}

void Controller::onSyncEnded(const lumo_EventData &record, bool ok)
{
    SyncRecord sync;
    sync.din = dinOf(record);
    sync.at = utcNow();
    sync.ok = ok;
    if (config_.params)
        sync.hostCrc16 = config_.params->crc16;
    if (ok || payloadHasStatus(record))
        sync.status = copyStatus(record);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceState &state = stateOf(sync.din);
        sync.paramsWritten = state.paramsWritten;
        state.running.reset();
        ++(ok ? stats_.syncsOk : stats_.syncsFailed);
        if (!ok && !stopping_)
            ++stats_.failuresBeforeStop;
    }
    std::string why;
    bool stored = !sinks_.storage || (!storageDown() && writer_->storeSync(sync, why));
    if (!stored) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.storageErrors;
        if (notStored_.size() < kMaxNotStoredListed)
            notStored_.push_back(sync.din + " SYNC result of " + sync.at);
    }
    if (!stored)
        say("ERROR: the SYNC result of " + sync.din + " could not be stored");
    if (ok)
        say(sync.din + ": synchronised" +
            (sync.paramsWritten ? ", clock and parameters written"
                                : ", parameters already current"));
    else
        say(sync.din + ": SYNC failed");
}

void Controller::onMeasurement(lumo_EventData &record)
{
    MeasurementRecord m = copyMeasurement(record);
    StoreOutcome outcome = StoreOutcome::Stored;
    if (sinks_.storage) {
        // Once storage has failed nothing more is tried until a probe write succeeds:
        // each attempt could hold the device up for the whole busy wait.
        if (storageDown()) {
            refuseMeasurement(record, m, "storage is down");
            return;
        }
        // The writer has already marked storage down when the group failed.
        std::string why;
        outcome = writer_->store(m, why);
        if (outcome == StoreOutcome::Fenced) {
            leaseLost(m.din, &record);
            return;
        }
        if (outcome == StoreOutcome::Failed) {
            refuseMeasurement(record, m, why);
            return;
        }
    }
    const bool repeat = outcome == StoreOutcome::Repeat;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++(repeat ? stats_.repeats : stats_.measurements);
        stats_.samples += repeat ? 0 : m.samples.size();
        DeviceState &state = stateOf(m.din);
        if (fromCurrentSession(state))
            ++state.transferred;
        if (m.id > 0 && runIdSet_.insert(m.id).second)
            runIds_.push_back(m.id);
    }
    if (repeat)
        say(m.din + ": measurement of " + m.measuredAt + " repeats stored measurement " +
            std::to_string(m.id) + "; not stored again");
}

void Controller::leaseLost(const std::string &din, lumo_EventData *measurement)
{
    // Not acknowledged: the device keeps the measurement, and is let go at its next
    // request; it calls again, and whoever holds its lease then serves it.
    if (measurement)
        measurement->answer = kRefuseMeasurement;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceState &state = stateOf(din);
        first = !state.letGo;
        state.locked = false;
        state.letGo = true;
        ++stats_.leasesLost;
        stats_.fencedMeasurements += measurement ? 1 : 0;
    }
    if (first)
        say(din + ": this collector's lease on the device is lost (run out or taken over); "
                  "session ended, the device keeps its measurements (EXIT)");
}

void Controller::refuseMeasurement(lumo_EventData &record, const MeasurementRecord &m,
                                   const std::string &why)
{
    // Not acknowledged: the device keeps the measurement for its next session.
    record.answer = kRefuseMeasurement;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.refusedMeasurements;
        ++stats_.storageErrors;
        stateOf(m.din).refusedOne = true;
        if (notStored_.size() < kMaxNotStoredListed)
            notStored_.push_back(m.din + " measurement of " + m.measuredAt +
                                 " (refused, left on the device): " + why);
    }
    say("ERROR: measurement of " + m.din + " (" + m.measuredAt +
        ") refused, the device keeps it: " + why);
}

void Controller::storageFailed(const std::string &why)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = !stats_.storageDown;
        stats_.storageDown = true;
        if (first)
            storageFailure_ = why;
        lastProbe_ = Clock::now();
    }
    if (first)
        say("STORAGE FAILED: " + why + "; transfers paused, devices keep their measurements; " +
            "a probe write every " + std::to_string(config_.storageProbeInterval.count() / 1000) +
            " s checks when it works again");
}

std::string Controller::unhealthy() const
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (draining_)
            return "draining: no new devices, " + std::to_string(connections_->live()) +
                   " connection(s) still served";
        if (stats_.storageDown)
            return "storage is down: " + storageFailure_;
    }
    return sinks_.lock ? sinks_.lock->unhealthy() : std::string();
}

void Controller::beginDrain()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (draining_)
            return;
        draining_ = true;
    }
    say("draining: new devices are let go (EXIT) and sent elsewhere; the run ends once the "
        "sessions under way have ended");
}

bool Controller::draining() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return draining_;
}

bool Controller::storageDown() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_.storageDown;
}

void Controller::probeStorage()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        if (!stats_.storageDown || !sinks_.storage ||
            now - lastProbe_ < config_.storageProbeInterval)
            return;
        lastProbe_ = now;
    }
    if (!sinks_.storage->probeWrite())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.storageDown = false;
    }
    say("storage works again: transfers resume");
}

void Controller::onTransferEnded(const std::string &din, bool ok)
{
    std::size_t count = 0;
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceState &state = stateOf(din);
        count = state.transferred;
        refused = state.refusedOne;
        state.running.reset();
        if (refused)
            state.plan.oweTransfer();
        stats_.transfersOk += ok ? 1 : 0;
        if (!ok) {
            ++stats_.transfersFailed;
            if (!stopping_)
                ++stats_.failuresBeforeStop;
        }
    }
    if (refused)
        say(din + ": transfer stopped after " + std::to_string(count) +
            " measurement(s): storage failed, the device keeps the rest");
    else
        say(din + (ok ? ": transfer done, " : ": transfer FAILED after ") + std::to_string(count) +
            " measurement(s)");
}

void Controller::onActionFailed(const lumo_EventData &record)
{
    const std::string din = dinOf(record);
    std::optional<RequestAction> running;
    bool current = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceState &state = stateOf(din);
        current = fromCurrentSession(state);
        running = state.running;
    }
    if (!current) {
        // The newer connection carries on with the device; nothing is left behind.
        say(din + ": action on the older connection ended, the device was taken over by a "
                  "newer one");
        return;
    }
    if (running == SYNC)
        onSyncEnded(record, false);
    else
        onTransferEnded(din, false);
    // The link may be gone; a further action is taken under the lock again.
    releaseLock(din);
}

void Controller::onKeepAliveFailed(const std::string &din)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.keepAlivesFailed;
        devices_.erase(din);
    }
    say(din + ": keep-alive failed, device dropped");
    markDone(din);
}

void Controller::markDone(const std::string &din)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.insert(din);
        stats_.devicesDone = done_.size();
    }
    releaseLock(din);
}

bool Controller::holdLock(const std::string &din)
{
    if (!sinks_.lock)
        return true;
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const DeviceState &state = stateOf(din);
        if (state.letGo)
            return false;
        if (state.locked && sinks_.lock->holds(din))
            return true;
        lost = state.locked;
    }
    if (lost) {
        // Held at the start of this session and gone now: the session ends.
        leaseLost(din, nullptr);
        return false;
    }
    // Asked outside the mutex: it is a round trip to the server.
    const LockOutcome outcome = sinks_.lock->acquire(din);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DeviceState &state = stateOf(din);
        state.locked = outcome == LockOutcome::Acquired;
        state.letGo = !state.locked;
        stats_.devicesLetGo += state.letGo ? 1 : 0;
        stats_.leaseFailures += outcome == LockOutcome::Failed ? 1 : 0;
    }
    if (outcome == LockOutcome::HeldElsewhere)
        say(din + ": another collector serves this device; let go without a transfer (EXIT)");
    else if (outcome == LockOutcome::Failed)
        say(din + ": its device lock cannot be taken (" + sinks_.lock->lastError() +
            "); let go without a transfer (EXIT)");
    return outcome == LockOutcome::Acquired;
}

void Controller::releaseLock(const std::string &din)
{
    if (!sinks_.lock)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(din);
        if (it != devices_.end())
            it->second.locked = false;
    }
    // Also for a device whose state is gone (dropped after a failed keep-alive).
    sinks_.lock->release(din);
}

void Controller::noteDeviceEvent(const std::string &din)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(din);
    if (it != devices_.end())
        it->second.lastEvent = Clock::now();
}

void Controller::releaseIdleLocks()
{
    if (!sinks_.lock)
        return;
    std::vector<std::string> idle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        for (auto &[din, state] : devices_) {
            if (state.locked && !state.running &&
                now - state.lastEvent >= config_.lockIdleRelease) {
                state.locked = false;
                idle.push_back(din);
            }
        }
    }
    for (const std::string &din : idle) {
        sinks_.lock->release(din);
        say(din + ": no word from the device for " +
            std::to_string(config_.lockIdleRelease.count() / 1000) +
            " s; its device lock is released");
    }
}

std::vector<int64_t> Controller::runMeasurementIds() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return runIds_;
}

std::vector<std::string> Controller::notStored() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return notStored_;
}

Controller::DeviceState &Controller::stateOf(const std::string &din)
{
    // A device the library asks about without a handshake we saw (a channel that
    // outlived a previous run's table) gets a fresh plan.
    auto it = devices_.find(din);
    if (it == devices_.end())
        it = devices_.emplace(din, DeviceState(planConfig_)).first;
    return it->second;
}

bool Controller::fromCurrentSession(DeviceState &state) const
{
    const uint64_t caller = liblumo::currentConnectionId();
    if (state.connection == caller)
        return true;
    // The session's connection has ended (a device may call again): this one carries the
    // device on.
    if (!connections_->isLive(state.connection)) {
        state.connection = caller;
        return true;
    }
    return false;
}

Stats Controller::stats() const
{
    Stats s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = stats_;
    }
    s.liveConnections = connections_->live();
    s.peakConnections = connections_->peak();
    return s;
}

Controller::Clock::time_point Controller::lastActivity() const
{
    return Clock::time_point(Clock::duration(lastActivity_.load()));
}

bool Controller::waitChannelsStopped(int count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(stopMutex_);
    return stopped_.wait_for(lock, timeout, [&] { return channelsStopped_ >= count; });
}

void Controller::say(const std::string &line)
{
    if (sinks_.say)
        sinks_.say(line);
}

void Controller::touch()
{
    lastActivity_.store(Clock::now().time_since_epoch().count());
}

} // namespace lumo_collect

#include "Fleet.h"

#include "LinkProvider.h"
#include "PosixClock.h"
#include "Simulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <pthread.h>
#include <sys/resource.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace lumosim {

struct Fleet::Member {
    Member(Fleet &owner, SimConfig config, const std::string &host, int port, int connectMs,
           int64_t delayMs)
        : fleet(owner), sim(std::move(config), owner.stop_), links(host, port, connectMs),
          startDelayMs(delayMs)
    {
    }

    Fleet &fleet;
    Simulator sim;
    TcpLinkProvider links;
    int64_t startDelayMs;
    pthread_t thread{};
    bool started = false;
};

namespace {

SimConfig memberConfig(const FleetConfig &fleet, uint32_t index)
{
    SimConfig config;
    SimDevice device = fleet.device;
    device.din = fleet.firstDin + index;
    device.seed = device.din;
    config.devices.push_back(device);
    config.sessions = fleet.sessions;
    config.refill = true;
    config.frameDelayMs = fleet.frameDelayMs;
    config.timeouts = fleet.timeouts;
    config.faults = fleet.faults;
    return config;
}

int64_t rampDelayMs(const FleetConfig &config, uint32_t index)
{
    return config.devices > 0 ? int64_t(config.rampMs) * index / config.devices : 0;
}

FleetDeviceReport summarise(const SimReport &sim, const FleetConfig &config)
{
    FleetDeviceReport d;
    if (!sim.devices.empty()) {
        d.din = sim.devices.front().din;
        d.sessionsLeftWithMeasurements = sim.devices.front().sessionsLeftWithMeasurements;
    }
    d.sessionsStarted = sim.sessionsStarted;
    d.sessionsCompleted = sim.sessionsCompleted;
    // A run that failed (no connection, a protocol failure) left its remaining sessions
    // unplayed: they failed too. A stop only cuts the session under way.
    d.sessionsFailed = sim.result == "failed" ? config.sessions - sim.sessionsCompleted
                                              : sim.sessionsStarted - sim.sessionsCompleted;
    d.measurementsHandedOver = sim.measurementsHandedOver;
    if (sim.result == "failed")
        d.error = sim.error;
    d.handedOverAll = sim.result == "ok" && sim.sessionsCompleted == config.sessions &&
                      d.sessionsLeftWithMeasurements == 0 &&
                      d.measurementsHandedOver == config.sessions * config.device.measurements;
    return d;
}

QJsonValue num(uint64_t v)
{
    return QJsonValue(double(v)); // counters stay far below 2^53
}

} // namespace

std::string validate(const FleetConfig &config)
{
    if (config.devices == 0 || config.devices > kMaxFleetDevices)
        return "a fleet has 1 to " + std::to_string(kMaxFleetDevices) + " devices";
    if (uint64_t(config.firstDin) + config.devices - 1 > UINT32_MAX)
        return "the DINs of all devices must fit in 32 bits";
    SimConfig first = memberConfig(config, 0);
    return validate(first);
}

Fleet::Fleet(FleetConfig config) : config_(std::move(config)) {}

Fleet::~Fleet()
{
    stop();
    joinAll();
}

void *Fleet::play(void *arg)
{
    auto &member = *static_cast<Member *>(arg);
    if (sleepUnlessStopped(&member.fleet.stop_, int(member.startDelayMs)))
        member.sim.run(member.links);
    member.fleet.memberDone();
    return nullptr;
}

void Fleet::memberDone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (--running_ == 0) {
        endNs_ = monotonicNs();
        allDone_.notify_all();
    }
}

bool Fleet::start(const std::string &host, int port, std::string &error)
{
    error = validate(config_);
    if (error.empty() && !stop_.ok())
        error = "cannot create the stop pipe: " + lastErrorText();
    if (error.empty() && !members_.empty())
        error = "the fleet has been started already";
    if (!error.empty())
        return false;
    members_.reserve(config_.devices);
    for (uint32_t i = 0; i < config_.devices; ++i)
        members_.push_back(std::make_unique<Member>(*this, memberConfig(config_, i), host, port,
                                                    config_.timeouts.connectMs,
                                                    rampDelayMs(config_, i)));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kFleetStackBytes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        startNs_ = monotonicNs();
    }
    for (auto &member : members_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++running_;
        }
        const int rc = pthread_create(&member->thread, &attributes, &Fleet::play, member.get());
        if (rc != 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                --running_;
                startError_ = "cannot start the thread of device " +
                              wire::dinText(member->sim.config().devices.front().din) + ": " +
                              std::strerror(rc);
                error = startError_;
            }
            break;
        }
        member->started = true;
    }
    pthread_attr_destroy(&attributes);
    if (!error.empty()) {
        stop();
        joinAll();
        return false;
    }
    return true;
}

bool Fleet::waitDone(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto done = [this] { return running_ == 0; };
    if (timeoutMs < 0) {
        allDone_.wait(lock, done);
        return true;
    }
    return allDone_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

void Fleet::joinAll()
{
    for (auto &member : members_) {
        if (member->started) {
            pthread_join(member->thread, nullptr);
            member->started = false;
        }
    }
}

FleetReport Fleet::finish()
{
    joinAll();
    return report();
}

FleetReport Fleet::run(const std::string &host, int port)
{
    std::string error;
    if (!start(host, port, error)) {
        FleetReport failed = report();
        failed.result = "failed";
        failed.error = error;
        return failed;
    }
    waitDone(-1);
    return finish();
}

FleetReport Fleet::report() const
{
    FleetReport r;
    r.devices = config_.devices;
    r.sessionsPlanned = uint64_t(config_.devices) * config_.sessions;
    r.measurementsPlanned = r.sessionsPlanned * config_.device.measurements;
    bool stopped = false;
    for (const auto &member : members_) {
        const SimReport sim = member->sim.report();
        const FleetDeviceReport d = summarise(sim, config_);
        r.sessionsCompleted += d.sessionsCompleted;
        r.sessionsFailed += d.sessionsFailed;
        r.measurementsHandedOver += d.measurementsHandedOver;
        r.framesSent += sim.framesSent;
        r.framesResent += sim.framesResent;
        r.devicesHandedOverAll += d.handedOverAll ? 1 : 0;
        stopped = stopped || sim.result == "stopped";
        r.perDevice.push_back(d);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!startError_.empty()) {
        r.result = "failed";
        r.error = startError_;
    } else if (stopped || stop_.triggered()) {
        r.result = "stopped";
    }
    const int64_t end = running_ == 0 && endNs_ != 0 ? endNs_ : monotonicNs();
    r.seconds = startNs_ != 0 ? double(end - startNs_) / 1e9 : 0.0;
    return r;
}

std::string FleetReport::toJson() const
{
    QJsonObject o;
    o["result"] = QString::fromStdString(result);
    if (!error.empty())
        o["error"] = QString::fromStdString(error);
    o["devices"] = num(devices);
    o["devicesHandedOverAll"] = num(devicesHandedOverAll);
    o["sessionsPlanned"] = num(sessionsPlanned);
    o["sessionsCompleted"] = num(sessionsCompleted);
    o["sessionsFailed"] = num(sessionsFailed);
    o["measurementsPlanned"] = num(measurementsPlanned);
    o["measurementsHandedOver"] = num(measurementsHandedOver);
    o["framesSent"] = num(framesSent);
    o["framesResent"] = num(framesResent);
    o["seconds"] = seconds;
    QJsonArray rows;
    for (const FleetDeviceReport &d : perDevice) {
        QJsonObject row;
        row["din"] = QString::fromStdString(wire::dinText(d.din));
        row["sessionsStarted"] = num(d.sessionsStarted);
        row["sessionsCompleted"] = num(d.sessionsCompleted);
        row["sessionsFailed"] = num(d.sessionsFailed);
        row["measurementsHandedOver"] = num(d.measurementsHandedOver);
        row["sessionsLeftWithMeasurements"] = num(d.sessionsLeftWithMeasurements);
        row["handedOverAll"] = d.handedOverAll;
        if (!d.error.empty())
            row["error"] = QString::fromStdString(d.error);
        rows.append(row);
    }
    o["perDevice"] = rows;
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

std::string FleetReport::summary() const
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "fleet %s: %u devices, %u handed over everything; sessions %llu completed, "
                  "%llu failed of %llu; measurements %llu of %llu; %.1f s",
                  result.c_str(), devices, devicesHandedOverAll,
                  static_cast<unsigned long long>(sessionsCompleted),
                  static_cast<unsigned long long>(sessionsFailed),
                  static_cast<unsigned long long>(sessionsPlanned),
                  static_cast<unsigned long long>(measurementsHandedOver),
                  static_cast<unsigned long long>(measurementsPlanned), seconds);
    return line;
}

long raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? LONG_MAX : long(limit.rlim_cur);
}

} // namespace lumosim

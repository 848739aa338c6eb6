#include "ChannelCosts.h"

#include "Host.h"
#include "LinkPair.h"
#include "ProcessStats.h"
#include "SimThread.h"
#include "Transfer.h"

#include <memory>
#include <thread>

namespace bench {

namespace {

constexpr double kSettleSeconds = 1.0;      // after start-up, before a window opens
constexpr double kReachStateSeconds = 30.0; // generous bound to reach a state
constexpr double kInStateSeconds = 0.5;     // time spent in a state before the stop
constexpr int kLongTransferMeasurements = 1000;

void sleepSeconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double percentOfCore(double cpuSeconds, double wallSeconds)
{
    return wallSeconds > 0 ? 100.0 * cpuSeconds / wallSeconds : -1.0;
}

Plan planFor(StopState state)
{
    switch (state) {
    case StopState::Control:
        return Plan::Control;
    case StopState::MidTransfer:
        return Plan::TransferThenSleep;
    default:
        return Plan::Calibration;
    }
}

lumosim::SimConfig configFor(StopState state)
{
    lumosim::SimConfig config =
        oneDevice(state == StopState::MidTransfer ? kLongTransferMeasurements : 0,
                  kBlocksPerMeasurement, kSamplesPerBlock);
    config.faults.flood = state == StopState::Flood;
    config.hold = true;
    return config;
}

// Brings a fresh channel into the state; false when it did not get there in time.
bool reachState(Host &host, StopState state)
{
    switch (state) {
    case StopState::NoDevice:
    case StopState::Flood:
        sleepSeconds(kInStateSeconds);
        return true;
    case StopState::IdleDevice:
    case StopState::Control:
        if (!host.waitFor([](const HostCounters &c) { return c.added > 0; }, kReachStateSeconds))
            return false;
        sleepSeconds(kInStateSeconds);
        return true;
    case StopState::MidTransfer:
        return host.waitFor([](const HostCounters &c) { return c.measurements > 0; },
                            kReachStateSeconds);
    }
    return false;
}

} // namespace

const char *stopStateName(StopState state)
{
    switch (state) {
    case StopState::NoDevice:
        return "no device";
    case StopState::IdleDevice:
        return "idle device";
    case StopState::Control:
        return "device in CONTROL";
    case StopState::MidTransfer:
        return "mid-transfer";
    case StopState::Flood:
        return "garbage flood";
    }
    return "?";
}

double idleChannelCpuPercent(liblumo::LibLumo &library, double seconds)
{
    Host host(library, Plan::Calibration);
    if (!host.startTcp(findFreeTcpPort()))
        return -1.0;
    sleepSeconds(kSettleSeconds);
    const double before = processCpuSeconds();
    const Clock::time_point start = Clock::now();
    sleepSeconds(seconds);
    const double used = processCpuSeconds() - before;
    return percentOfCore(used, secondsSince(start));
}

double controlChannelCpuPercent(liblumo::LibLumo &library, double seconds)
{
    Host host(library, Plan::Control);
    const int port = findFreeTcpPort();
    if (!host.startTcp(port))
        return -1.0;
    SimThread sim(configFor(StopState::Control), tcpLinks(port));
    sim.start();
    if (!host.waitFor([](const HostCounters &c) { return c.added > 0; }, kReachStateSeconds))
        return -1.0;
    sleepSeconds(kSettleSeconds);
    const double before = processCpuSeconds() - sim.cpuSeconds();
    const Clock::time_point start = Clock::now();
    sleepSeconds(seconds);
    const double used = processCpuSeconds() - sim.cpuSeconds() - before;
    const double wall = secondsSince(start);
    const HostCounters counters = host.snapshot();
    host.stop();
    sim.finish();
    if (counters.keepAlivesFailed != 0)
        return -1.0;
    return percentOfCore(used, wall);
}

std::vector<double> stopLatencies(liblumo::LibLumo &library, StopState state, int repetitions)
{
    std::vector<double> latencies;
    for (int i = 0; i < repetitions; ++i) {
        Host host(library, planFor(state));
        const int port = findFreeTcpPort();
        if (!host.startTcp(port))
            return {};
        std::unique_ptr<SimThread> sim;
        if (state != StopState::NoDevice) {
            sim = std::make_unique<SimThread>(configFor(state), tcpLinks(port));
            sim->start();
        }
        if (!reachState(host, state))
            return {};
        latencies.push_back(host.stop());
        if (sim)
            sim->finish();
    }
    return latencies;
}

double residentBytesPerChannel(liblumo::LibLumo &library, int channels)
{
    std::vector<std::unique_ptr<Host>> hosts;
    // One channel first, so that one-time allocations are not charged per channel.
    hosts.push_back(std::make_unique<Host>(library, Plan::Calibration));
    if (!hosts.back()->startTcp(findFreeTcpPort()))
        return -1.0;
    sleepSeconds(kSettleSeconds);
    const double before = double(residentBytes());
    for (int i = 0; i < channels; ++i) {
        hosts.push_back(std::make_unique<Host>(library, Plan::Calibration));
        if (!hosts.back()->startTcp(findFreeTcpPort()))
            return -1.0;
    }
    sleepSeconds(kSettleSeconds);
    const double after = double(residentBytes());
    for (auto &host : hosts)
        host->stop();
    return (after - before) / channels;
}

} // namespace bench

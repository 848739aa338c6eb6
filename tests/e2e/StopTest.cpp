// stopChannel returns soon in every state a channel can be in, EV_CHANNEL_STOPPED is the
// channel's last event, and an action cut short reports failure, never a partial result.
#include "Fixtures.h"
#include "TapIo.h"
#include "TestChecks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <thread>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kDin = 1234;
const std::string kDinText = "000-001-234";
constexpr int kIdleSampleMs = 2000;
constexpr double kMaxIdleCpuShare = 0.10;

void report(const char *state, int64_t ms)
{
    std::cout << "[ measured ] stopChannel with " << state << ": " << ms << " ms\n";
    testing::Test::RecordProperty("stop_ms", int(ms));
}

// Lets the channel get well into what it is doing before the stop arrives.
void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void expectStoppedLast(const HostRecorder &host)
{
    const auto events = host.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().event, EV_CHANNEL_STOPPED);
    EXPECT_FALSE(events.back().hasData);
    EXPECT_EQ(host.count(EV_CHANNEL_STOPPED), 1);
}

TEST(Stop, IdleTcpChannelWithoutDevice)
{
    HostRecorder host;
    auto channel = Channel::tcp(host);
    ASSERT_TRUE(host.waitFor(EV_CHANNEL_STARTED, 1, kEventWaitMs));
    // An idle channel sleeps in its waits: measure what it costs.
    const int64_t cpuBefore = io::processCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSampleMs));
    const int64_t cpuUsed = io::processCpuMs() - cpuBefore;
    std::cout << "[ measured ] idle TCP channel: " << cpuUsed << " ms CPU in " << kIdleSampleMs
              << " ms\n";
    EXPECT_LT(double(cpuUsed), kMaxIdleCpuShare * kIdleSampleMs);

    const int64_t took = channel->stop();
    report("no device", took);
    EXPECT_LT(took, kStopBoundMs);
    expectStoppedLast(host);
    EXPECT_EQ(kinds(host.events()),
              (std::vector<lumo_Event>{EV_CHANNEL_STARTED, EV_CHANNEL_STOPPED}));
}

TEST(Stop, SerialChannelWaitingForAMissingPort)
{
    HostRecorder host;
    auto channel = Channel::serial(host, "/nonexistent/lumo-e2e-port");
    ASSERT_TRUE(host.waitFor(EV_CHANNEL_STARTED, 1, kEventWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int64_t took = channel->stop();
    report("a serial port that never opens", took);
    EXPECT_LT(took, kStopBoundMs);
    expectStoppedLast(host);
}

TEST(Stop, DeviceConnectedAndIdle)
{
    HostRecorder host;
    host.accept(kDinText);
    host.setFallback(act(CALIBRATION));
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 1, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 3, kEventWaitMs)) << host.trace();

    const int64_t took = channel->stop();
    report("a connected idle device", took);
    EXPECT_LT(took, kStopBoundMs);
    expectStoppedLast(host);
    // The exchange ended and closed the connection.
    EXPECT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
}

TEST(Stop, DeviceInControl)
{
    HostRecorder host;
    host.accept(kDinText);
    host.setFallback(act(CONTROL));
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 0, 0, 0)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs)) << host.trace();

    const int64_t took = channel->stop();
    report("a device in CONTROL", took);
    EXPECT_LT(took, kStopBoundMs);
    expectStoppedLast(host);
    EXPECT_EQ(host.count(EV_KEEPALIVE_FAILED), 0);
}

TEST(Stop, LongTransferEndsWithActionFailed)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(DATA_TRANSFER)});
    host.setFallback(act(CALIBRATION));
    auto channel = Channel::tcp(host);
    // Far more than the test waits for: 500 measurements of 64 blocks, each answer slowed.
    lumosim::SimConfig config = oneDevice(device(kDin, 500, 64, 255));
    config.faults.answerDelayMs = 2;
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_MEASUREMENT, 1, kEventWaitMs)) << host.trace();
    settle(); // well inside the transfer

    const int64_t took = channel->stop();
    report("a long transfer", took);
    EXPECT_LT(took, kStopBoundMs);
    expectStoppedLast(host);

    const auto events = host.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].event, EV_ACTION_FAILED);
    EXPECT_EQ(events[events.size() - 2].din, kDinText);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 0);
    // Every measurement the host saw is whole.
    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    EXPECT_LT(measurements.size(), 500u);
    for (uint32_t index = 0; index < measurements.size(); ++index) {
        SCOPED_TRACE(index);
        expectMeasurement(measurements[index], device(kDin, 500, 64, 255), index);
    }
}

TEST(Stop, SyncCutShortEndsWithActionFailed)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {untouched()});
    host.setFallback(act(CALIBRATION));
    auto channel = Channel::tcp(host);
    lumosim::SimConfig config = oneDevice(device(kDin, 0, 0, 0));
    config.faults.answerDelayMs = 3000; // the status answer comes late
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostFrames(0xA4, 1, kEventWaitMs)) << host.trace();
    settle(); // well inside the wait for the answer

    const int64_t took = channel->stop();
    report("a sync waiting for its answer", took);
    EXPECT_LT(took, kStopBoundMs);
    expectStoppedLast(host);
    const auto events = host.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].event, EV_ACTION_FAILED);
    EXPECT_EQ(host.count(EV_SYNC_DONE), 0);
    EXPECT_EQ(host.count(EV_PARAMS_UPDATED), 0);
    EXPECT_TRUE(run.tap.hostFrames(0xA1).empty());
}

// Noise is no progress: the idle rule closes a flooding connection however much arrives,
// so the device waiting behind it is served within a few seconds.
TEST(Stop, DeviceFloodingGarbageGivesWayToTheNextDevice)
{
    HostRecorder host;
    host.acceptAll();
    auto channel = Channel::tcp(host);
    lumosim::SimConfig config = oneDevice(device(kDin, 0, 0, 0));
    config.faults.flood = true;
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));

    lumosim::SimConfig patient = oneDevice(device(kDin + 1, 0, 0, 0));
    patient.timeouts.handshakeMs = kEventWaitMs;
    SimRun next(patient);
    ASSERT_TRUE(next.overTcp(channel->port()));
    EXPECT_TRUE(host.waitFor(EV_DEVICE_ADDED, "000-001-235", 1, kEventWaitMs)) << host.trace();
    EXPECT_GT(run.report().floodBytes, 0u);

    const int64_t took = channel->stop();
    report("a device flooding garbage", took);
    EXPECT_LT(took, kStopBoundMs);
    expectStoppedLast(host);
}

} // namespace
} // namespace e2e

// stopChannel returns within a generous bound in every state a channel can be in,
// EV_CHANNEL_STOPPED is the channel's last event, and an action cut short reports failure,
// never a partial result.
#include "Fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <thread>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kDin = 1234;
const std::string kDinText = "000-001-234";
// An idle channel sleeps in its waits; a busy loop would burn a whole core.
constexpr int kIdleSampleMs = 1000;
constexpr double kMaxIdleCpuShare = 0.25;

int64_t processCpuMs()
{
    return int64_t(std::clock()) * 1000 / CLOCKS_PER_SEC;
}

struct StopCase {
    const char *name;
    // The device's setup; none for a channel without device.
    std::function<void(HostRecorder &, lumosim::SimConfig &)> arrange;
    // Waits until the channel is in the state to stop it in.
    std::function<bool(HostRecorder &, SimRun &)> reached;
    // Checks after the stop.
    std::function<void(HostRecorder &, SimRun &)> check;
};

class Stop : public testing::TestWithParam<StopCase> {};

TEST_P(Stop, EndsEverythingAndIsTheLastEvent)
{
    const StopCase &row = GetParam();
    HostRecorder host;
    host.accept(kDinText);
    host.setFallback(act(CALIBRATION));
    lumosim::SimConfig config = oneDevice(device(kDin));
    if (row.arrange)
        row.arrange(host, config);
    SimRun run(config);
    auto channel = std::string(row.name) == "SerialPortThatNeverOpens"
                       ? Channel::serial(host, "/nonexistent/lumo-e2e-port")
                       : Channel::tcp(host);
    ASSERT_TRUE(host.waitFor(EV_CHANNEL_STARTED, 1, kEventWaitMs));
    if (row.arrange) {
        ASSERT_TRUE(run.overTcp(channel->port()));
    }
    ASSERT_TRUE(row.reached(host, run)) << host.trace();
    // Let the channel get well into what it is doing before the stop arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    EXPECT_LT(channel->stop(), kStopBoundMs);
    const auto events = host.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back().event, EV_CHANNEL_STOPPED);
    EXPECT_FALSE(events.back().hasData);
    EXPECT_EQ(host.count(EV_CHANNEL_STOPPED), 1);
    if (row.arrange) { // the exchange ended and closed the connection
        EXPECT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
    }
    row.check(host, run);
}

bool started(HostRecorder &, SimRun &)
{
    return true;
}

// The action under way ends with EV_ACTION_FAILED just before EV_CHANNEL_STOPPED.
void expectCutShort(HostRecorder &host)
{
    const auto events = host.events();
    EXPECT_EQ(events[events.size() - 2].event, EV_ACTION_FAILED);
    EXPECT_EQ(events[events.size() - 2].din, kDinText);
}

INSTANTIATE_TEST_SUITE_P(
    Stop, Stop,
    testing::Values(
        StopCase{"IdleTcpChannelWithoutDevice", nullptr,
                 [](HostRecorder &, SimRun &) {
                     const int64_t before = processCpuMs();
                     std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSampleMs));
                     EXPECT_LT(double(processCpuMs() - before), kMaxIdleCpuShare * kIdleSampleMs);
                     return true;
                 },
                 [](HostRecorder &host, SimRun &) {
                     EXPECT_EQ(kinds(host.events()),
                               (std::vector<lumo_Event>{EV_CHANNEL_STARTED, EV_CHANNEL_STOPPED}));
                 }},
        StopCase{"SerialPortThatNeverOpens", nullptr, started, [](HostRecorder &, SimRun &) {}},
        StopCase{"DeviceConnectedAndIdle",
                 [](HostRecorder &, lumosim::SimConfig &config) {
                     config.devices[0] = device(kDin, 1, 1, 10);
                 },
                 [](HostRecorder &host, SimRun &) {
                     return host.waitFor(EV_REQUEST_ACTION, 3, kEventWaitMs);
                 },
                 [](HostRecorder &host, SimRun &) { EXPECT_EQ(host.count(EV_ACTION_FAILED), 0); }},
        StopCase{
            "DeviceInControl",
            [](HostRecorder &host, lumosim::SimConfig &) { host.setFallback(act(CONTROL)); },
            [](HostRecorder &host, SimRun &) {
                return host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs);
            },
            [](HostRecorder &host, SimRun &) { EXPECT_EQ(host.count(EV_KEEPALIVE_FAILED), 0); }},
        // Far more than the test waits for: 500 measurements of 64 blocks, answers slowed.
        StopCase{"LongTransfer",
                 [](HostRecorder &host, lumosim::SimConfig &config) {
                     host.script(kDinText, {act(DATA_TRANSFER)});
                     config.devices[0] = device(kDin, 500, 64, 255);
                     config.faults.answerDelayMs = 2;
                 },
                 [](HostRecorder &host, SimRun &) {
                     return host.waitFor(EV_MEASUREMENT, 1, kEventWaitMs);
                 },
                 [](HostRecorder &host, SimRun &) {
                     expectCutShort(host);
                     EXPECT_EQ(host.count(EV_TRANSFER_DONE), 0);
                     const auto measurements = host.eventsOf(EV_MEASUREMENT);
                     EXPECT_LT(measurements.size(), 500u);
                     for (uint32_t index = 0; index < measurements.size(); ++index)
                         expectMeasurement(measurements[index], device(kDin, 500, 64, 255), index);
                 }},
        // The status answer comes late: the stop arrives while the sync waits for it.
        StopCase{"SyncWaitingForItsAnswer",
                 [](HostRecorder &host, lumosim::SimConfig &config) {
                     host.script(kDinText, {Answer{0, {}, 0, true}});
                     config.faults.answerDelayMs = 3000;
                 },
                 [](HostRecorder &, SimRun &run) {
                     return run.tap.waitHostFrames(0xA4, 1, kEventWaitMs);
                 },
                 [](HostRecorder &host, SimRun &run) {
                     expectCutShort(host);
                     EXPECT_EQ(host.count(EV_SYNC_DONE) + host.count(EV_PARAMS_UPDATED), 0);
                     EXPECT_TRUE(run.tap.hostFrames(0xA1).empty());
                 }}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e

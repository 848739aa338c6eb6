// A damaged frame, line noise, a NAK, frames cut in single bytes: the conversation
// recovers. A device that vanishes fails its action cleanly and the channel serves the
// next device. A device held in CONTROL gets numbered keep-alives, one interval apart.
// stopChannel returns within a generous bound in every state, EV_CHANNEL_STOPPED comes
// last, and an action cut short reports failure, never a partial result.
#include "Fixtures.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <thread>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kFirst = 1234;
const std::string kFirstText = "000-001-234";
constexpr uint32_t kSecond = 5678;
const std::string kSecondText = "000-005-678";

struct RecoveryCase {
    const char *name;
    std::function<void(lumosim::FaultConfig &)> fault;
    std::function<void(SimRun &)> checkWire;
};

class Recovers : public testing::TestWithParam<RecoveryCase> {};

TEST_P(Recovers, EveryMeasurementArrivesWhole)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.script(kFirstText, {act(DATA_TRANSFER), act(EXIT)});
    auto channel = tcpChannel(host);
    const lumosim::SimDevice simulated = device(kFirst, 2, 3, 100);
    lumosim::SimConfig config = oneDevice(simulated);
    GetParam().fault(config.faults);
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs)) << host.trace();
    channel->stop();
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
    expectAllMeasurements(host, simulated);
    GetParam().checkWire(run);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Recovers,
    testing::Values(
        // Handshake ACK, echo, count request and its ACK, retrieval request, header ACK,
        // then a NAK for the damaged block and an ACK for its repetition.
        RecoveryCase{"DamagedFrameAndNoise",
                     [](lumosim::FaultConfig &faults) {
                         faults.badLrcFrame = 4; // the first data block
                         faults.noiseBytes = 5;  // and noise before every frame
                     },
                     [](SimRun &run) {
                         const auto units = run.tap.hostUnits();
                         ASSERT_GE(units.size(), 8u);
                         EXPECT_EQ(units[5].kind, HostUnit::Ack);
                         EXPECT_EQ(units[6].raw, Bytes{0x15});
                         EXPECT_EQ(units[7].kind, HostUnit::Ack);
                         int naks = 0;
                         for (const HostUnit &unit : units)
                             naks += unit.kind == HostUnit::Nak;
                         EXPECT_EQ(naks, 1);
                         EXPECT_EQ(run.report().framesResent, 1u);
                     }},
        // The device refuses the count request (the echo is the first host frame).
        RecoveryCase{
            "RefusedFrameIsSentAgainUnchanged",
            [](lumosim::FaultConfig &faults) { faults.nakHostFrame = 2; },
            [](SimRun &run) {
                const auto counts = run.tap.hostFrames(0xB0);
                ASSERT_EQ(counts.size(), 2u);
                EXPECT_EQ(counts[0].raw, (Bytes{0x02, 0x00, 0x01, 0x00, 0x02, 0xB0, 0xB1}));
                EXPECT_EQ(counts[1].raw, counts[0].raw);
            }},
        RecoveryCase{"FramesArrivingOneByteAtATime",
                     [](lumosim::FaultConfig &faults) { faults.fragment = true; },
                     [](SimRun &) {}}),
    [](const auto &info) { return std::string(info.param.name); });

// The first device is gone in the middle of its transfer: its action fails once, what it
// handed over whole stays, and the next device is served in full.
struct VanishCase {
    const char *name;
    uint64_t dropAfterFrames; // device frames: handshake, count, header and 2 blocks each
    int cutOnCommand;
    int measurementsKept;
};

class Vanishing : public testing::TestWithParam<VanishCase> {};

TEST_P(Vanishing, FailsTheActionAndTheNextDeviceIsServed)
{
    HostRecorder host;
    host.accept();
    host.script(kFirstText, {act(DATA_TRANSFER), act(EXIT)});
    host.script(kSecondText, {act(DATA_TRANSFER), act(EXIT)});
    auto channel = tcpChannel(host);
    const lumosim::SimDevice first = device(kFirst, 3, 2, 50);
    lumosim::SimConfig vanishing = oneDevice(first);
    vanishing.faults.dropAfterFrames = GetParam().dropAfterFrames;
    {
        SimRun run(vanishing);
        if (GetParam().cutOnCommand >= 0)
            run.tap.cutOnCommand(uint8_t(GetParam().cutOnCommand));
        ASSERT_TRUE(run.overTcp(channel->port));
        ASSERT_TRUE(host.waitFor(EV_ACTION_FAILED, 1, kEventWaitMs, kFirstText)) << host.trace();
    }
    const lumosim::SimDevice second = device(kSecond, 2, 3, 100);
    SimRun next(oneDevice(second));
    ASSERT_TRUE(next.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs, kSecondText)) << host.trace();
    EXPECT_EQ(host.count(EV_ACTION_FAILED), 1);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE, kSecondText), 1);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    ASSERT_EQ(measurements.size(), std::size_t(GetParam().measurementsKept) + 2) << host.trace();
    for (int index = 0; index < GetParam().measurementsKept; ++index)
        expectMeasurement(measurements[std::size_t(index)], first, uint32_t(index));
    expectAllMeasurements(host, second);
    EXPECT_EQ(next.report().measurementsHandedOver, 2u);
}

INSTANTIATE_TEST_SUITE_P(Faults, Vanishing,
                         testing::Values(VanishCase{"AfterTheFirstMeasurement", 7, -1, 1},
                                         VanishCase{"AtTheCountRequest", 0, 0xB0, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// The next connection's exchange has no entry left to ask about.
TEST(Faults, DeviceThatMissesTheSleepCommandIsDroppedAllTheSame)
{
    HostRecorder host;
    host.accept();
    host.script(kFirstText, {act(SLEEP)});
    host.setFallback(act(CALIBRATION), kFirstText);
    host.setFallback(act(CALIBRATION), kSecondText);
    auto channel = tcpChannel(host);
    {
        SimRun run(oneDevice(device(kFirst)));
        run.tap.cutOnCommand(0x91); // gone before the sleep command reaches it
        ASSERT_TRUE(run.overTcp(channel->port));
        ASSERT_TRUE(run.tap.waitHostFrames(0x91, 1, kEventWaitMs)) << host.trace();
    }
    SimRun next(oneDevice(device(kSecond)));
    ASSERT_TRUE(next.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 3, kEventWaitMs, kSecondText)) << host.trace();
    EXPECT_EQ(host.count(EV_REQUEST_ACTION, kFirstText), 1);
}

TEST(Control, KeepAlivesAreNumberedFromTheHandshakeAndSpacedByTheInterval)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.setFallback(act(CONTROL));
    auto channel = tcpChannel(host);
    SimRun run(oneDevice(device(kFirst, 1, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, 1, kEventWaitMs));
    // Holding a device sleeps between keep-alives: a busy loop would burn a whole core.
    const std::clock_t cpuBefore = std::clock();
    const int64_t wallBefore = TimeOut::nowMs();
    ASSERT_TRUE(run.tap.waitHostFrames(0xF1, 3, 4 * kIntervalMs)) << host.trace();
    const double cpuMs = double(std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC;
    EXPECT_LT(cpuMs, 0.25 * double(TimeOut::nowMs() - wallBefore));
    EXPECT_LT(channel->stop(), kStopBoundMs);
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));

    // Each keep-alive carries the packet number of the device's last frame and its own
    // ten-digit counter, and none comes within the interval after the previous frame.
    const auto keepAlives = run.tap.hostFrames(0xF1);
    ASSERT_GE(keepAlives.size(), 3u);
    int64_t previous = run.tap.hostFrames(0x01).at(0).atMs;
    for (uint8_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(keepAlives[i].raw,
                  (Bytes{0x02, 0x00, uint8_t(i + 1), 0x00, 0x0C, 0xF1, 0x30, 0x30, 0x30, 0x30, 0x30,
                         0x30, 0x30, 0x30, 0x30, uint8_t(0x31 + i), 0xFF}));
        EXPECT_GE(keepAlives[i].atMs - previous, kIntervalMs - 1);
        EXPECT_LE(keepAlives[i].atMs - previous, 2 * kIntervalMs);
        previous = keepAlives[i].atMs;
    }
    EXPECT_GT(host.count(EV_REQUEST_ACTION), 3);
    EXPECT_EQ(host.count(EV_KEEPALIVE_FAILED), 0);
    EXPECT_EQ(host.events().back().event, EV_CHANNEL_STOPPED);
}

// The entry is gone: a new connection of the same device is a new handshake, and the old
// entry is not asked for any more.
TEST(Control, KeepAliveWithoutAnswerDropsTheDevice)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.setFallback(act(CONTROL));
    auto channel = tcpChannel(host);
    SimRun run(oneDevice(device(kFirst)));
    run.tap.cutOnCommand(0xF1); // the device is gone when the first keep-alive goes out
    ASSERT_TRUE(run.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_KEEPALIVE_FAILED, 1, kEventWaitMs, kFirstText)) << host.trace();
    const int requestsBefore = host.count(EV_REQUEST_ACTION, kFirstText);
    host.script(kFirstText, {act(EXIT)});
    SimRun again(oneDevice(device(kFirst)));
    ASSERT_TRUE(again.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, 2, kEventWaitMs, kFirstText)) << host.trace();
    ASSERT_TRUE(again.tap.waitHostClosed(kEventWaitMs));
    EXPECT_EQ(host.count(EV_REQUEST_ACTION, kFirstText), requestsBefore + 1);
    EXPECT_EQ(host.count(EV_KEEPALIVE_FAILED), 1);
}

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
    host.accept(kFirstText);
    host.setFallback(act(CALIBRATION));
    lumosim::SimConfig config = oneDevice(device(kFirst));
    if (row.arrange)
        row.arrange(host, config);
    SimRun run(config);
    auto channel = std::string(row.name) == "SerialPortThatNeverOpens"
                       ? serialChannel(host, "/nonexistent/lumo-e2e-port")
                       : tcpChannel(host);
    ASSERT_TRUE(host.waitFor(EV_CHANNEL_STARTED, 1, kEventWaitMs));
    if (row.arrange) {
        ASSERT_TRUE(run.overTcp(channel->port));
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
    EXPECT_EQ(events[events.size() - 2].din, kFirstText);
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
                     config.devices[0] = device(kFirst, 1, 1, 10);
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
                     host.script(kFirstText, {act(DATA_TRANSFER)});
                     config.devices[0] = device(kFirst, 500, 64, 255);
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
                         expectMeasurement(measurements[index], device(kFirst, 500, 64, 255),
                                           index);
                 }},
        // The status answer comes late: the stop arrives while the sync waits for it.
        StopCase{"SyncWaitingForItsAnswer",
                 [](HostRecorder &host, lumosim::SimConfig &config) {
                     host.script(kFirstText, {Answer{0, {}, 0, true}});
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

// Damaged frames, noise, NAKs and fragments are recovered from; a vanished device fails its
// action and the next is served; keep-alives; stops in every state end with EV_CHANNEL_STOPPED.
#include "Fixtures.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <chrono>
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
        // ACK, echo, count, ACK, retrieval, header ACK, NAK for the damaged block, ACK.
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
                         EXPECT_EQ(std::count_if(units.begin(), units.end(),
                                                 [](auto &u) { return u.kind == HostUnit::Nak; }),
                                   1);
                         EXPECT_EQ(run.report().framesResent, 1u);
                     }},
        // The device refuses the count request (the echo is the first host frame).
        RecoveryCase{
            "RefusedFrameIsSentAgainUnchanged",
            [](lumosim::FaultConfig &faults) { faults.nakHostFrame = 2; },
            [](SimRun &run) {
                // Sent again unchanged, then once more after the transfer (a new frame).
                const auto counts = run.tap.hostFrames(0xB0);
                ASSERT_EQ(counts.size(), 3u);
                EXPECT_EQ(counts[0].raw, (Bytes{0x02, 0x00, 0x01, 0x00, 0x02, 0xB0, 0xB1}));
                EXPECT_EQ(counts[1].raw, counts[0].raw);
                EXPECT_NE(counts[2].raw, counts[0].raw);
            }},
        RecoveryCase{"FramesArrivingOneByteAtATime",
                     [](lumosim::FaultConfig &faults) { faults.fragment = true; },
                     [](SimRun &) {}}),
    [](const auto &info) { return std::string(info.param.name); });

// Gone mid-transfer: the action fails once, what came whole stays, the next device is served.
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
    EXPECT_EQ(std::vector<int>({host.count(EV_ACTION_FAILED), host.count(EV_TRANSFER_DONE),
                                host.count(EV_TRANSFER_DONE, kSecondText)}),
              std::vector<int>({1, 1, 1}));
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

    // The device's last packet number and a ten-digit counter, an interval apart.
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

// The same over a serial port: while its one opening of the port is served, the channel
// thread waits for it to end instead of trying the port again and again.
TEST(Control, AHeldDeviceOnASerialPortCostsNoCpuBetweenKeepAlives)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.setFallback(act(CONTROL));
    SimRun run(oneDevice(device(kFirst, 1, 1, 10)));
    const std::string link = "/tmp/lumo-e2e-held-" + std::to_string(::getpid());
    ASSERT_TRUE(run.overPty(link));
    auto channel = serialChannel(host, link);
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, 1, kEventWaitMs)) << host.trace();
    // Over most of a keep-alive interval in which the device stays held.
    const std::clock_t cpuBefore = std::clock();
    const int64_t wallBefore = TimeOut::nowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kIntervalMs / 3));
    const double wallMs = double(TimeOut::nowMs() - wallBefore);
    const double cpuMs = double(std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC;
    EXPECT_LT(cpuMs, 0.25 * wallMs);
    EXPECT_EQ(host.count(EV_DEVICE_ADDED), 1);
    EXPECT_EQ(host.count(EV_KEEPALIVE_FAILED), 0);
    EXPECT_LT(channel->stop(), kStopBoundMs);
    EXPECT_EQ(host.events().back().event, EV_CHANNEL_STOPPED);
}

// The entry is gone: the device's next connection is a new handshake.
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

// Where a stop arrives: TCP without device (0), a serial port that never opens (1), a
// device on TCP (2) once `count` events `reached` or the library sent `frame`.
struct StopCase {
    const char *name;
    int kind;
    std::vector<Answer> script; // CALIBRATION once used up
    uint32_t fallback, measurements, blocks, samples, answerDelayMs;
    lumo_Event reached;
    int count;
    uint8_t frame;
    bool cutShort; // the action under way ends with EV_ACTION_FAILED
};

class Stop : public testing::TestWithParam<StopCase> {};

TEST_P(Stop, EndsEverythingAndIsTheLastEvent)
{
    const StopCase &row = GetParam();
    HostRecorder host;
    host.accept(kFirstText);
    host.script(kFirstText, row.script);
    host.setFallback(act(row.fallback));
    const lumosim::SimDevice simulated = device(kFirst, row.measurements, row.blocks, row.samples);
    lumosim::SimConfig config = oneDevice(simulated);
    config.faults.answerDelayMs = row.answerDelayMs;
    SimRun run(config);
    auto channel =
        row.kind == 1 ? serialChannel(host, "/nonexistent/lumo-e2e-port") : tcpChannel(host);
    ASSERT_TRUE(row.kind != 2 || run.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(row.reached, row.count, kEventWaitMs)) << host.trace();
    ASSERT_TRUE(row.frame == 0 || run.tap.waitHostFrames(row.frame, 1, kEventWaitMs));
    // An idle channel sleeps in its waits (no busy loop); the pause lets it get going.
    const std::clock_t cpuBefore = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (row.kind == 0) {
        EXPECT_LT(double(std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC, 0.25 * 500);
    }

    EXPECT_LT(channel->stop(), kStopBoundMs);
    const auto events = host.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back().event, EV_CHANNEL_STOPPED);
    EXPECT_FALSE(events.back().hasData);
    EXPECT_EQ(host.count(EV_CHANNEL_STOPPED), 1);
    EXPECT_EQ(events[events.size() - 2].event, row.cutShort ? EV_ACTION_FAILED : row.reached);
    EXPECT_TRUE(row.kind != 2 || run.tap.waitHostClosed(kEventWaitMs)); // the exchange ended
    // Nothing partial: no "done", every measurement whole, no clock after an unread status.
    EXPECT_EQ(host.count(EV_TRANSFER_DONE) + host.count(EV_SYNC_DONE) +
                  host.count(EV_PARAMS_UPDATED) + host.count(EV_KEEPALIVE_FAILED),
              0);
    EXPECT_TRUE(run.tap.hostFrames(0xA1).empty());
    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    EXPECT_LT(measurements.size(), std::max<std::size_t>(simulated.measurements, 1));
    for (uint32_t index = 0; index < measurements.size(); ++index)
        expectMeasurement(measurements[index], simulated, index);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Stop, Stop, testing::Values(
    StopCase{"IdleTcpChannelWithoutDevice", 0, {}, CALIBRATION, 0, 0, 0, 0, EV_CHANNEL_STARTED, 1, 0, false},
    StopCase{"SerialPortThatNeverOpens", 1, {}, CALIBRATION, 0, 0, 0, 0, EV_CHANNEL_STARTED, 1, 0, false},
    StopCase{"DeviceConnectedAndIdle", 2, {}, CALIBRATION, 1, 1, 10, 0, EV_REQUEST_ACTION, 3, 0, false},
    StopCase{"DeviceInControl", 2, {}, CONTROL, 0, 0, 0, 0, EV_REQUEST_ACTION, 2, 0, false},
    // Far more than the test waits for: 500 measurements of 64 blocks, answers slowed.
    StopCase{"LongTransfer", 2, {act(DATA_TRANSFER)}, CALIBRATION, 500, 64, 255, 2, EV_MEASUREMENT, 1, 0, true},
    // The status answer comes late: the stop arrives while the sync waits for it.
    StopCase{"SyncWaitingForItsAnswer", 2, {Answer{0, {}, 0, true}}, CALIBRATION, 0, 0, 0, 3000,
             EV_REQUEST_ACTION, 1, 0xA4, true}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

} // namespace
} // namespace e2e

// A device that vanishes, a damaged frame, line noise, a NAK, frames cut in single bytes:
// the conversation recovers or fails cleanly, and the channel serves the next device.
#include "Fixtures.h"
#include "TestChecks.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

using namespace liblumo;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kFirst = 1234;
const std::string kFirstText = "000-001-234";
constexpr uint32_t kSecond = 5678;
const std::string kSecondText = "000-005-678";

void expectAllMeasurements(const HostRecorder &host, const lumosim::SimDevice &simulated)
{
    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    ASSERT_EQ(measurements.size(), simulated.measurements);
    for (uint32_t index = 0; index < measurements.size(); ++index) {
        SCOPED_TRACE(index);
        expectMeasurement(measurements[index], simulated, index);
    }
}

TEST(Faults, DeviceVanishingMidTransferFailsTheActionAndTheNextDeviceIsServed)
{
    HostRecorder host;
    host.acceptAll();
    host.script(kFirstText, {act(DATA_TRANSFER), act(EXIT)});
    host.script(kSecondText, {act(DATA_TRANSFER), act(SLEEP)});
    auto channel = Channel::tcp(host);

    // Frames of the first device: handshake 1, count 2, then header and two blocks per
    // measurement; it is gone after the first block of its second measurement.
    lumosim::SimConfig vanishing = oneDevice(device(kFirst, 3, 2, 50));
    vanishing.faults.dropAfterFrames = 7;
    {
        SimRun run(vanishing);
        ASSERT_TRUE(run.overTcp(channel->port()));
        ASSERT_TRUE(host.waitFor(EV_ACTION_FAILED, kFirstText, 1, kEventWaitMs)) << host.trace();
        EXPECT_EQ(host.count(EV_MEASUREMENT, kFirstText), 1);
        EXPECT_EQ(host.count(EV_TRANSFER_DONE), 0);
    }

    const lumosim::SimDevice second = device(kSecond, 2, 3, 100);
    SimRun next(oneDevice(second));
    ASSERT_TRUE(next.overTcp(channel->port()));
    ASSERT_TRUE(next.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    EXPECT_EQ(host.count(EV_TRANSFER_DONE, kSecondText), 1);
    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    ASSERT_EQ(measurements.size(), 3u);
    EXPECT_EQ(measurements[0].din, kFirstText);
    expectMeasurement(measurements[0], device(kFirst, 3, 2, 50), 0);
    for (uint32_t index = 0; index < 2; ++index) {
        EXPECT_EQ(measurements[index + 1].din, kSecondText);
        expectMeasurement(measurements[index + 1], second, index);
    }
    EXPECT_EQ(next.report().measurementsHandedOver, 2u);
}

TEST(Faults, DamagedFrameIsRefusedAndItsRepetitionTaken)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.script(kFirstText, {act(DATA_TRANSFER), act(EXIT)});
    auto channel = Channel::tcp(host);
    const lumosim::SimDevice simulated = device(kFirst, 2, 3, 100);
    lumosim::SimConfig config = oneDevice(simulated);
    config.faults.badLrcFrame = 4; // the first data block
    config.faults.noiseBytes = 5;  // and noise before every frame, the handshake too
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs)) << host.trace();
    channel->stop();
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));

    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
    expectAllMeasurements(host, simulated);
    // Handshake ACK, echo, count request and its ACK, retrieval request, header ACK, then
    // a NAK for the damaged block and an ACK for its repetition.
    const auto units = run.tap.hostUnits();
    ASSERT_GE(units.size(), 8u);
    EXPECT_EQ(units[5].kind, HostUnit::Ack);
    EXPECT_EQ(units[6].kind, HostUnit::Nak);
    EXPECT_EQ(units[6].raw, Bytes{0x15});
    EXPECT_EQ(units[7].kind, HostUnit::Ack);
    int naks = 0;
    for (const HostUnit &unit : units)
        naks += unit.kind == HostUnit::Nak;
    EXPECT_EQ(naks, 1);
    EXPECT_EQ(run.report().framesResent, 1u);
}

TEST(Faults, RefusedFrameIsSentAgainUnchanged)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.script(kFirstText, {act(DATA_TRANSFER), act(EXIT)});
    auto channel = Channel::tcp(host);
    const lumosim::SimDevice simulated = device(kFirst, 1, 1, 20);
    lumosim::SimConfig config = oneDevice(simulated);
    config.faults.nakHostFrame = 2; // the count request (the echo is the first)
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs)) << host.trace();
    channel->stop();
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));

    const auto counts = run.tap.hostFrames(0xB0);
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0].raw, (Bytes{0x02, 0x00, 0x01, 0x00, 0x02, 0xB0, 0xB1}));
    EXPECT_EQ(counts[1].raw, counts[0].raw);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
    expectAllMeasurements(host, simulated);
}

TEST(Faults, FramesArrivingOneByteAtATime)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.script(kFirstText, {act(DATA_TRANSFER), act(EXIT)});
    auto channel = Channel::tcp(host);
    const lumosim::SimDevice simulated = device(kFirst, 2, 2, 255);
    lumosim::SimConfig config = oneDevice(simulated);
    config.faults.fragment = true;
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs)) << host.trace();
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
    expectAllMeasurements(host, simulated);
}

TEST(Faults, CountRequestWithoutAnswerFailsTheTransfer)
{
    HostRecorder host;
    host.accept(kFirstText);
    host.script(kFirstText, {act(DATA_TRANSFER)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kFirst, 3, 1, 10)));
    run.tap.cutOnCommand(0xB0);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_ACTION_FAILED, kFirstText, 1, kEventWaitMs)) << host.trace();
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 0);
    EXPECT_EQ(host.count(EV_MEASUREMENT), 0);
}

TEST(Faults, DeviceThatMissesTheSleepCommandIsDroppedAllTheSame)
{
    HostRecorder host;
    host.acceptAll();
    host.script(kFirstText, {act(SLEEP)});
    host.setFallback(kFirstText, act(CALIBRATION));
    host.script(kSecondText, {act(EXIT)});
    auto channel = Channel::tcp(host);
    {
        SimRun run(oneDevice(device(kFirst, 0, 0, 0)));
        run.tap.cutOnCommand(0x91); // gone before the sleep command reaches it
        ASSERT_TRUE(run.overTcp(channel->port()));
        ASSERT_TRUE(run.tap.waitHostFrames(0x91, 1, kEventWaitMs)) << host.trace();
    }
    // The next connection's exchange has no entry left to ask about.
    SimRun next(oneDevice(device(kSecond, 0, 0, 0)));
    ASSERT_TRUE(next.overTcp(channel->port()));
    ASSERT_TRUE(next.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    EXPECT_EQ(host.count(EV_REQUEST_ACTION, kFirstText), 1);
    EXPECT_EQ(host.count(EV_REQUEST_ACTION, kSecondText), 1);
}

} // namespace
} // namespace e2e

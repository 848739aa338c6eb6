// Several devices: two on one link served in DIN order, entries that outlive their
// connection but are served only over it, and two channels running at once.
#include "Fixtures.h"
#include "TestChecks.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kLow = 101;
const std::string kLowText = "000-000-101";
constexpr uint32_t kHigh = 202;
const std::string kHighText = "000-000-202";

Answer once(RequestAction action, int afterAdded)
{
    Answer answer = act(action);
    answer.afterAdded = afterAdded;
    return answer;
}

TEST(MultiDevice, TwoDevicesOnOneLinkAreServedInDinOrder)
{
    HostRecorder host;
    host.acceptAll();
    // Both wait until both are in the table, then transfer, then sleep.
    host.script(kLowText, {once(DATA_TRANSFER, 2), act(SLEEP)});
    host.script(kHighText, {once(DATA_TRANSFER, 2), act(SLEEP)});
    auto channel = Channel::tcp(host);
    const lumosim::SimDevice low = device(kLow, 2, 2, 30);
    const lumosim::SimDevice high = device(kHigh, 3, 1, 40);
    lumosim::SimConfig config;
    config.devices = {high, low}; // listed out of order on purpose
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    // Every walk visits the lower DIN first: once both are in the table the requests
    // alternate low, high, and the low device's transfer completes before the other's.
    const auto events = host.events();
    const auto bothAdded = std::find_if(events.begin(), events.end(), [&](const SeenEvent &e) {
        return e.event == EV_DEVICE_ADDED && e.din == kHighText;
    });
    ASSERT_NE(bothAdded, events.end());
    std::vector<std::string> askedAfter;
    for (auto it = bothAdded; it != events.end(); ++it)
        if (it->event == EV_REQUEST_ACTION)
            askedAfter.push_back(it->din);
    ASSERT_GE(askedAfter.size(), 2u);
    for (std::size_t i = 0; i < askedAfter.size(); ++i)
        EXPECT_EQ(askedAfter[i], i % 2 == 0 ? kLowText : kHighText) << i;

    std::vector<SeenEvent> transferEvents;
    for (const SeenEvent &e : events)
        if (e.event == EV_MEASUREMENT || e.event == EV_TRANSFER_DONE)
            transferEvents.push_back(e);
    ASSERT_EQ(transferEvents.size(), 7u) << host.trace();
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(transferEvents[i].din, kLowText);
        expectMeasurement(transferEvents[i], low, i);
    }
    EXPECT_EQ(transferEvents[2].event, EV_TRANSFER_DONE);
    EXPECT_EQ(transferEvents[2].din, kLowText);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(transferEvents[3 + i].din, kHighText);
        expectMeasurement(transferEvents[3 + i], high, i);
    }
    EXPECT_EQ(transferEvents[6].din, kHighText);
    EXPECT_EQ(run.tap.hostFrames(0x91).size(), 2u);
    EXPECT_EQ(run.report().sessionsCompleted, 1u);
}

// An entry outlives its connection but rests until its device calls again: the next
// device's connection neither serves it nor is held open by it.
TEST(MultiDevice, AnEntryIsServedOnlyOverItsDevicesOwnLink)
{
    HostRecorder host;
    host.acceptAll();
    host.setFallback(kLowText, act(CALIBRATION));
    host.script(kHighText, {act(EXIT)});
    auto channel = Channel::tcp(host);
    {
        SimRun first(oneDevice(device(kLow, 0, 0, 0)));
        ASSERT_TRUE(first.overTcp(channel->port()));
        ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, kLowText, 2, kEventWaitMs));
        first.tap.cutNow(); // the device goes away without a word
    }

    SimRun second(oneDevice(device(kHigh, 0, 0, 0)));
    ASSERT_TRUE(second.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, kHighText, 1, kEventWaitMs)) << host.trace();
    const int askedBefore = host.count(EV_REQUEST_ACTION, kLowText);
    ASSERT_TRUE(second.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    EXPECT_EQ(host.count(EV_REQUEST_ACTION, kLowText), askedBefore);

    SimRun again(oneDevice(device(kLow, 0, 0, 0)));
    ASSERT_TRUE(again.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, kLowText, askedBefore + 2, kEventWaitMs))
        << host.trace();
    EXPECT_EQ(host.count(EV_DEVICE_ADDED, kLowText), 2);
    EXPECT_LT(channel->stop(), kStopBoundMs);
}

TEST(MultiDevice, TwoChannelsAtOnceKeepTheirDevicesApart)
{
    HostRecorder hostA;
    HostRecorder hostB;
    hostA.acceptAll();
    hostB.acceptAll();
    hostA.script(kLowText, {act(DATA_TRANSFER), act(SLEEP)});
    hostB.script(kHighText, {act(DATA_TRANSFER), act(SLEEP)});
    auto channelA = Channel::tcp(hostA);
    auto channelB = Channel::tcp(hostB);
    const lumosim::SimDevice low = device(kLow, 3, 4, 255);
    const lumosim::SimDevice high = device(kHigh, 3, 4, 255);
    SimRun runA(oneDevice(low));
    SimRun runB(oneDevice(high));
    ASSERT_TRUE(runA.overTcp(channelA->port()));
    ASSERT_TRUE(runB.overTcp(channelB->port()));
    ASSERT_TRUE(runA.tap.waitHostClosed(kEventWaitMs)) << hostA.trace();
    ASSERT_TRUE(runB.tap.waitHostClosed(kEventWaitMs)) << hostB.trace();

    const struct {
        const HostRecorder &host;
        const lumosim::SimDevice &simulated;
        const std::string &din;
    } sides[] = {{hostA, low, kLowText}, {hostB, high, kHighText}};
    for (const auto &side : sides) {
        SCOPED_TRACE(side.din);
        for (const SeenEvent &e : side.host.events()) {
            EXPECT_EQ(e.user, &side.host);
            if (e.hasData) {
                EXPECT_EQ(e.din, side.din);
            }
        }
        const auto measurements = side.host.eventsOf(EV_MEASUREMENT);
        ASSERT_EQ(measurements.size(), 3u);
        for (uint32_t i = 0; i < 3; ++i)
            expectMeasurement(measurements[i], side.simulated, i);
        EXPECT_EQ(side.host.count(EV_TRANSFER_DONE), 1);
    }
    // Each channel's stop leaves the other running.
    EXPECT_LT(channelA->stop(), kStopBoundMs);
    EXPECT_EQ(hostA.events().back().event, EV_CHANNEL_STOPPED);
    EXPECT_EQ(hostB.count(EV_CHANNEL_STOPPED), 0);
    hostB.script(kLowText, {act(EXIT)});
    SimRun late(oneDevice(device(kLow, 0, 0, 0)));
    ASSERT_TRUE(late.overTcp(channelB->port()));
    EXPECT_TRUE(hostB.waitFor(EV_DEVICE_ADDED, kLowText, 1, kEventWaitMs)) << hostB.trace();
}

} // namespace
} // namespace e2e

// A serial channel over a pseudo-terminal whose device is unplugged in the middle of a
// transfer and comes back under the same name.
#include "Fixtures.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kDin = 1234;
const std::string kDinText = "000-001-234";
// Reopening waits 2 s between attempts; the device side waits for the open.
constexpr int kReplugWaitMs = 30000;

TEST(Serial, UnpluggedDeviceComesBackUnderTheSameName)
{
    HostRecorder host;
    host.accept(kDinText);
    // The first transfer is cut by the unplug; the second waits for the device to be
    // back (a second handshake) and then completes.
    Answer afterReplug = act(DATA_TRANSFER);
    afterReplug.afterAdded = 2;
    host.script(kDinText, {act(DATA_TRANSFER), afterReplug, act(SLEEP)});
    const lumosim::SimDevice simulated = device(kDin, 2, 3, 100);
    lumosim::SimConfig config = oneDevice(simulated);
    config.sessions = 2;
    config.faults.dropAfterFrames = 5; // handshake, count, header, two blocks: unplugged
    SimRun run(config);
    const std::string link = "/tmp/lumo-e2e-replug-" + std::to_string(::getpid());
    ASSERT_TRUE(run.overPty(link));
    auto channel = Channel::serial(host, link);

    ASSERT_TRUE(host.waitFor(EV_ACTION_FAILED, 1, kEventWaitMs, kDinText)) << host.trace();
    EXPECT_EQ(host.count(EV_MEASUREMENT), 0);
    ASSERT_TRUE(run.waitDone(kReplugWaitMs)) << host.trace();
    const auto report = run.report();
    EXPECT_EQ(report.result, "ok") << report.error;
    EXPECT_EQ(report.linksDroppedByFault, 1u);
    EXPECT_EQ(report.sessionsCompleted, 1u);
    EXPECT_EQ(report.packetMismatches, 0u);
    EXPECT_EQ(host.count(EV_DEVICE_ADDED, kDinText), 2);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
    expectAllMeasurements(host, simulated);
    EXPECT_EQ(run.device(kDin).sleepsReceived, 1u);
    EXPECT_LT(channel->stop(), kStopBoundMs);
    EXPECT_EQ(host.events().back().event, EV_CHANNEL_STOPPED);
}

} // namespace
} // namespace e2e

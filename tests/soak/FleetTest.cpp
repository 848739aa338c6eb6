// A fleet channel (FleetTCPProfile) against the in-process fleet simulator: many devices at
// once, each on its own connection, every measurement checked sample by sample and none
// lost or delivered twice; the connection limit; a stop with many live connections; and
// (label "soak") 10 000 sessions from 1000 devices with descriptors and memory flat.
#include "Fleet.h"
#include "FleetHost.h"
#include "LinkPair.h"
#include "ProcessStats.h"
#include "Stats.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <cstdio>

namespace soak {
namespace {

using bench::FleetCounts;
using bench::FleetHost;
using bench::FleetPlan;
using bench::SampleCheck;

constexpr uint32_t kFirstDin = 300000000;
constexpr uint32_t kMeasurements = 2; // one sine, one ramp
constexpr uint32_t kBlocks = 4;
constexpr uint32_t kSamplesPerBlock = 200;
// Generous bounds: a session takes milliseconds; a loaded 2-core machine, sanitizers and
// connections waiting for a SYN retry make it far slower.
constexpr int kFleetBoundMs = 300000;
constexpr double kAddedBoundSeconds = 120.0;
constexpr double kStopBoundSeconds = 5.0;
// A waiting device keeps its connection and handshake up this long (past the limit the
// channel serves it later, not never).
constexpr int kPatientMs = 120000;
constexpr int kDescriptorSlack = 3;
constexpr uint64_t kResidentSlackBytes = 16u << 20;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true; // freed memory is kept in quarantine
#else
constexpr bool kSanitized = false;
#endif

lumosim::SimDevice fleetDevice()
{
    lumosim::SimDevice device = lumosim::defaultDevice(kFirstDin);
    device.measurements = kMeasurements;
    device.blocks = kBlocks;
    device.samplesPerBlock = kSamplesPerBlock;
    return device;
}

lumosim::FleetConfig fleetOf(uint32_t devices, uint64_t sessions, uint32_t delayMs, uint32_t rampMs)
{
    lumosim::FleetConfig config;
    config.devices = devices;
    config.firstDin = kFirstDin;
    config.device = fleetDevice();
    config.sessions = sessions;
    config.frameDelayMs = delayMs;
    config.rampMs = rampMs;
    config.timeouts.connectMs = kPatientMs;
    config.timeouts.handshakeMs = kPatientMs;
    return config;
}

class FleetChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
        // Both ends of every connection live in this process.
        ASSERT_GT(lumosim::raiseDescriptorLimit(), 4096);
        port = bench::findFreeTcpPort();
        ASSERT_GT(port, 0);
    }

    // Plays the fleet through a channel with the limit; every measurement must arrive
    // intact, once per session.
    void playAndCheck(const lumosim::FleetConfig &config, int limit)
    {
        FleetHost host(library, fleetDevice(), FleetPlan::TransferThenSleep, SampleCheck::Every);
        ASSERT_TRUE(host.start(port, limit));
        lumosim::Fleet fleet(config);
        std::string error;
        ASSERT_TRUE(fleet.start("127.0.0.1", port, error)) << error;
        ASSERT_TRUE(fleet.waitDone(kFleetBoundMs)) << fleet.report().summary();
        const lumosim::FleetReport report = fleet.finish();
        host.stop();
        counts = host.counts();
        std::printf("%s; at most %d devices at once\n", report.summary().c_str(), counts.maxActive);

        const uint64_t sessions = uint64_t(config.devices) * config.sessions;
        EXPECT_TRUE(report.everyDeviceHandedOverAll()) << report.summary();
        EXPECT_EQ(report.measurementsHandedOver, sessions * kMeasurements);
        EXPECT_EQ(counts.added, sessions);
        EXPECT_EQ(counts.transfersDone, sessions);
        EXPECT_EQ(counts.measurements, sessions * kMeasurements);
        EXPECT_EQ(counts.badMeasurements, 0u) << counts.firstProblem;
        EXPECT_EQ(counts.duplicates, 0u) << counts.firstProblem;
        EXPECT_EQ(counts.sessionsShort, 0u) << counts.firstProblem;
        EXPECT_EQ(counts.actionsFailed, 0u) << counts.firstProblem;
        EXPECT_LE(counts.maxActive, limit);
    }

    liblumo::LibLumo library;
    int port = 0;
    FleetCounts counts;
};

TEST_F(FleetChannel, FiftyDevicesOverSlowLinksHandOverEverySample)
{
    const int before = bench::openDescriptorCount();
    playAndCheck(fleetOf(50, 3, 2, 200), 64);
    // The devices overlapped: the channel served them at once, not one after another.
    EXPECT_GT(counts.maxActive, 1);
    EXPECT_LE(bench::openDescriptorCount(), before + kDescriptorSlack);
}

TEST_F(FleetChannel, PastTheLimitDevicesWaitAndAreServedLater)
{
    constexpr int kLimit = 3;
    playAndCheck(fleetOf(9, 1, 5, 0), kLimit);
    EXPECT_GE(counts.maxActive, 2);
}

TEST_F(FleetChannel, StopWithManyConnectionsEndsEveryConnectionFirst)
{
    constexpr uint32_t kDevices = 200;
    const int before = bench::openDescriptorCount();
    {
        FleetHost host(library, fleetDevice(), FleetPlan::Control, SampleCheck::Ends);
        ASSERT_TRUE(host.start(port, 256));
        lumosim::Fleet fleet(fleetOf(kDevices, 1, 0, 0));
        std::string error;
        ASSERT_TRUE(fleet.start("127.0.0.1", port, error)) << error;
        ASSERT_TRUE(host.waitForAdded(kDevices, kAddedBoundSeconds)) << host.counts().added;

        const double seconds = host.stop();
        EXPECT_LT(seconds, kStopBoundSeconds);
        const FleetCounts c = host.counts();
        EXPECT_TRUE(c.stopped);
        EXPECT_EQ(c.eventsAfterStop, 0u) << c.firstProblem;
        EXPECT_TRUE(host.dinsWithEventsAfterStop().empty());
        EXPECT_EQ(c.keepAlivesFailed, 0u);
        // The host closed every connection: the devices end their sessions on their own.
        EXPECT_TRUE(fleet.waitDone(kFleetBoundMs));
        EXPECT_EQ(fleet.finish().sessionsCompleted, 0u);
    }
    EXPECT_LE(bench::openDescriptorCount(), before + kDescriptorSlack);
}

TEST_F(FleetChannel, DISABLED_TenThousandSessionsFromThousandDevices)
{
    constexpr uint32_t kDevices = 1000;
    constexpr uint64_t kSessionsEach = 10;
    const int before = bench::openDescriptorCount();
    FleetHost host(library, fleetDevice(), FleetPlan::TransferThenSleep, SampleCheck::Every);
    ASSERT_TRUE(host.start(port, int(kDevices)));
    lumosim::Fleet fleet(fleetOf(kDevices, kSessionsEach, 0, 1000));
    std::string error;
    const bench::Clock::time_point start = bench::Clock::now();
    ASSERT_TRUE(fleet.start("127.0.0.1", port, error)) << error;

    // Warm: every device has been through about one session.
    ASSERT_TRUE(host.waitForSessions(kDevices, kFleetBoundMs / 1000.0))
        << host.counts().firstProblem;
    const uint64_t residentWarm = bench::residentBytes();
    ASSERT_TRUE(fleet.waitDone(kFleetBoundMs)) << fleet.report().summary();
    const lumosim::FleetReport report = fleet.finish();
    host.stop();
    const uint64_t residentEnd = bench::residentBytes();
    const int after = bench::openDescriptorCount();
    counts = host.counts();
    std::printf("%s in %.1f s; at most %d at once; descriptors %d -> %d, resident %.1f -> "
                "%.1f MiB\n",
                report.summary().c_str(), bench::secondsSince(start), counts.maxActive, before,
                after, residentWarm / 1048576.0, residentEnd / 1048576.0);

    const uint64_t sessions = kDevices * kSessionsEach;
    EXPECT_TRUE(report.everyDeviceHandedOverAll()) << report.summary();
    EXPECT_EQ(counts.transfersDone, sessions);
    EXPECT_EQ(counts.measurements, sessions * kMeasurements);
    EXPECT_EQ(counts.badMeasurements, 0u) << counts.firstProblem;
    EXPECT_EQ(counts.duplicates, 0u) << counts.firstProblem;
    EXPECT_EQ(counts.sessionsShort, 0u) << counts.firstProblem;
    EXPECT_EQ(counts.actionsFailed, 0u) << counts.firstProblem;
    EXPECT_LE(after, before + kDescriptorSlack);
    if (!kSanitized) {
        EXPECT_LE(residentEnd, residentWarm + kResidentSlackBytes);
    }
}

} // namespace
} // namespace soak

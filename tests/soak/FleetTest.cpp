// A fleet channel against the in-process fleet simulator: many devices at once, each on its
// own connection, every measurement checked sample by sample, none lost or delivered twice;
// the connection limit; a stop with many live connections; and (label "soak") 10 000
// sessions from 1000 devices with descriptors and memory flat.
#include "Fleet.h"
#include "FleetHost.h"
#include "LinkPair.h"
#include "ProcessStats.h"
#include "Stats.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <cstdio>
#include <functional>

namespace soak {
namespace {

using bench::FleetHost;

constexpr uint32_t kFirstDin = 300000000;
constexpr uint32_t kMeasurements = 2; // one sine, one ramp
// Generous: a loaded 2-core machine, sanitizers and SYN retries slow a session down.
constexpr int kFleetBoundMs = 300000;
// Past the limit a waiting device keeps connection and handshake up: served later, not never.
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
    device.blocks = 4;
    device.samplesPerBlock = 200;
    return device;
}

lumosim::FleetConfig config(uint32_t devices, uint64_t sessions, uint32_t delayMs, uint32_t rampMs)
{
    lumosim::FleetConfig c;
    c.devices = devices;
    c.firstDin = kFirstDin;
    c.device = fleetDevice();
    c.sessions = sessions;
    c.frameDelayMs = delayMs;
    c.rampMs = rampMs;
    c.timeouts.connectMs = c.timeouts.handshakeMs = kPatientMs;
    return c;
}

class FleetChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
        ASSERT_GT(lumosim::raiseDescriptorLimit(), 4096); // both ends of every connection are ours
        before = bench::openDescriptorCount();
    }

    // devices x sessions through a channel with the limit; every measurement must arrive
    // intact, once per session. warm: called once every device had a session. Returns the
    // most devices served at once.
    int play(uint32_t devices, uint64_t sessions, uint32_t delayMs, uint32_t rampMs, int limit,
             const std::function<void(FleetHost &)> &warm = {})
    {
        FleetHost host(library, fleetDevice(), bench::FleetPlan::TransferThenSleep,
                       bench::SampleCheck::Every);
        lumosim::Fleet fleet(config(devices, sessions, delayMs, rampMs));
        const int port = bench::findFreeTcpPort();
        std::string error;
        EXPECT_TRUE(host.start(port, limit) && fleet.start("127.0.0.1", port, error)) << error;
        if (warm)
            warm(host);
        EXPECT_TRUE(fleet.waitDone(kFleetBoundMs)) << fleet.report().summary();
        const lumosim::FleetReport report = fleet.finish();
        host.stop();
        const bench::FleetCounts counts = host.counts();
        std::printf("%s; at most %d devices at once\n", report.summary().c_str(), counts.maxActive);

        const uint64_t all = uint64_t(devices) * sessions;
        EXPECT_TRUE(report.everyDeviceHandedOverAll()) << report.summary();
        EXPECT_EQ(report.measurementsHandedOver, all * kMeasurements);
        EXPECT_EQ(counts.added, all);
        EXPECT_EQ(counts.transfersDone, all);
        EXPECT_EQ(counts.measurements, all * kMeasurements);
        EXPECT_EQ(counts.badMeasurements + counts.duplicates + counts.sessionsShort +
                      counts.actionsFailed,
                  0u)
            << counts.firstProblem;
        EXPECT_LE(counts.maxActive, limit);
        EXPECT_LE(bench::openDescriptorCount(), before + kDescriptorSlack);
        return counts.maxActive;
    }

    liblumo::LibLumo library;
    int before = 0;
};

TEST_F(FleetChannel, OverSlowLinksAndPastTheLimitEverySampleArrives)
{
    EXPECT_GT(play(50, 3, 2, 200, 64), 1) << "devices were served one after another";
    EXPECT_GE(play(9, 1, 5, 0, 3), 2); // past the limit devices wait and are served later
}

TEST_F(FleetChannel, StopWithManyConnectionsEndsEveryConnectionFirst)
{
    constexpr uint32_t kDevices = 200;
    {
        FleetHost host(library, fleetDevice(), bench::FleetPlan::Control, bench::SampleCheck::Ends);
        const int port = bench::findFreeTcpPort();
        ASSERT_TRUE(host.start(port, 256));
        lumosim::Fleet fleet(config(kDevices, 1, 0, 0));
        std::string error;
        ASSERT_TRUE(fleet.start("127.0.0.1", port, error)) << error;
        ASSERT_TRUE(host.waitForAdded(kDevices, kFleetBoundMs / 1000.0)) << host.counts().added;
        EXPECT_LT(host.stop(), 5.0) << "seconds to stop";
        const bench::FleetCounts c = host.counts();
        EXPECT_TRUE(c.stopped && host.dinsWithEventsAfterStop().empty());
        EXPECT_EQ(c.eventsAfterStop + c.keepAlivesFailed, 0u) << c.firstProblem;
        // The host closed every connection: the devices end their sessions on their own.
        EXPECT_TRUE(fleet.waitDone(kFleetBoundMs));
        EXPECT_EQ(fleet.finish().sessionsCompleted, 0u);
    }
    EXPECT_LE(bench::openDescriptorCount(), before + kDescriptorSlack);
}

TEST_F(FleetChannel, DISABLED_TenThousandSessionsFromThousandDevices)
{
    constexpr uint32_t kDevices = 1000;
    uint64_t residentWarm = 0;
    play(kDevices, 10, 0, 1000, int(kDevices), [&](FleetHost &host) {
        ASSERT_TRUE(host.waitForSessions(kDevices, kFleetBoundMs / 1000.0))
            << host.counts().firstProblem;
        residentWarm = bench::residentBytes();
    });
    std::printf("resident %.1f -> %.1f MiB\n", residentWarm / 1048576.0,
                bench::residentBytes() / 1048576.0);
    if (!kSanitized) {
        EXPECT_LE(bench::residentBytes(), residentWarm + kResidentSlackBytes);
    }
}

} // namespace
} // namespace soak

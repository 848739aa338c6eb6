// Sessions one after another through one plain TCP channel against the device simulator:
// every measurement intact, descriptors and memory flat. 500 sessions run under
// "soak-short"; the DISABLED_ 10 000-session run is registered with CTest under "soak".
#include "FleetHost.h"
#include "LinkPair.h"
#include "ProcessStats.h"
#include "SimThread.h"
#include "Stats.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <cstdio>

namespace soak {
namespace {

constexpr uint32_t kDin = 100200300;
constexpr uint32_t kMeasurementsPerSession = 2; // one sine, one ramp
// Generous: a session takes milliseconds; sanitizers make it 10-20 times slower.
constexpr double kSecondsPerSessionBound = 2.0;
// A connection may be torn down at the moment of the count; a leak of 1 KiB a session
// over 10000 sessions is far above the memory slack.
constexpr int kDescriptorSlack = 3;
constexpr uint64_t kResidentSlackBytes = 8u << 20;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true; // the sanitizers keep freed memory in quarantine
#else
constexpr bool kSanitized = false;
#endif

void runTcpSessions(uint64_t sessions)
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
    lumosim::SimDevice device = lumosim::defaultDevice(kDin);
    device.measurements = kMeasurementsPerSession;
    device.blocks = 4;
    device.samplesPerBlock = 200;
    liblumo::LibLumo library;
    // Limit 0: a plain TCPProfile, one connection at a time; every sample checked.
    bench::FleetHost host(library, device, bench::FleetPlan::TransferThenSleep,
                          bench::SampleCheck::Every);
    const int port = bench::findFreeTcpPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(host.start(port, 0));
    lumosim::SimConfig config;
    config.devices.push_back(device);
    config.sessions = sessions;
    config.refill = true; // every session finds the same measurements stored again
    bench::SimThread sim(config, bench::tcpLinks(port));
    const bench::Clock::time_point start = bench::Clock::now();
    sim.start();

    const uint64_t warmUp = std::max<uint64_t>(1, sessions / 10);
    ASSERT_TRUE(host.waitForSessions(warmUp, warmUp * kSecondsPerSessionBound))
        << host.counts().firstProblem;
    const int descriptorsWarm = bench::openDescriptorCount();
    const uint64_t residentWarm = bench::residentBytes();
    ASSERT_TRUE(sim.waitUntilDone(sessions * kSecondsPerSessionBound))
        << "sessions completed: " << sim.report().sessionsCompleted;
    host.stop(); // no more events change the counts
    const lumosim::SimReport report = sim.finish();
    const bench::FleetCounts counts = host.counts();
    const int descriptorsEnd = bench::openDescriptorCount();
    const uint64_t residentEnd = bench::residentBytes();
    std::printf(
        "soak: %llu TCP sessions in %.1f s; descriptors %d -> %d, resident %.1f -> %.1f MiB\n",
        static_cast<unsigned long long>(sessions), bench::secondsSince(start), descriptorsWarm,
        descriptorsEnd, residentWarm / 1048576.0, residentEnd / 1048576.0);

    EXPECT_EQ(report.result, "ok") << report.error;
    EXPECT_EQ(report.sessionsCompleted, sessions);
    EXPECT_EQ(report.measurementsHandedOver, sessions * kMeasurementsPerSession);
    EXPECT_EQ(counts.added, sessions);
    EXPECT_EQ(counts.transfersDone, sessions);
    EXPECT_EQ(counts.measurements, sessions * kMeasurementsPerSession);
    EXPECT_EQ(counts.badMeasurements + counts.duplicates + counts.sessionsShort +
                  counts.actionsFailed + counts.keepAlivesFailed,
              0u)
        << counts.firstProblem;
    EXPECT_LE(descriptorsEnd, descriptorsWarm + kDescriptorSlack);
    if (!kSanitized) {
        EXPECT_LE(residentEnd, residentWarm + kResidentSlackBytes);
    }
}

TEST(SoakEnvironment, FiveHundredTcpSessions)
{
    runTcpSessions(500);
}
TEST(SoakEnvironment, DISABLED_TenThousandTcpSessions)
{
    runTcpSessions(10000);
}

} // namespace
} // namespace soak

// Every measurement from the right device, whole, exactly once, whatever fault a row plays
// (TCP and pty); devices on one link, in turn and on two channels kept apart.
#include "Fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <unistd.h>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kDin = 4321;
const std::string kDinText = "000-004-321";
constexpr uint32_t kStored = 3;
// Device frames of one session: handshake, count, then header and blocks per measurement.
constexpr uint64_t kSecondHeaderFrame = 1 + 1 + 1 + 4 + 1;

struct IntegrityCase {
    const char *name;
    uint32_t blocks, samplesPerBlock;
    std::function<void(lumosim::FaultConfig &)> fault;
    bool hostRefusesSecond; // the host cannot keep the second measurement the first time
    bool firstTransferFails;
    uint32_t framesAckedTwice; // repeats the library acknowledged again
};

class Integrity : public testing::TestWithParam<std::tuple<IntegrityCase, bool>> {};

TEST_P(Integrity, HostKeepsEachMeasurementOnceAndWhole)
{
    const auto &[row, overPty] = GetParam();
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(DATA_TRANSFER), act(DATA_TRANSFER), act(SLEEP)});
    int measurementsSeen = 0;
    host.setHook([&, refuse = row.hostRefusesSecond](lumo_Event event, lumo_EventData &data) {
        if (event == EV_MEASUREMENT && ++measurementsSeen == 2 && refuse)
            data.answer = kRefuseMeasurement;
    });
    const lumosim::SimDevice simulated = device(kDin, kStored, row.blocks, row.samplesPerBlock);
    lumosim::SimConfig config = oneDevice(simulated);
    // The fault hits the second retrieval only: the second transfer gets what is left.
    config.faults.faultyRetrieval = 2;
    if (row.fault)
        row.fault(config.faults);

    SimRun run(config);
    std::unique_ptr<Channel> channel;
    if (overPty) {
        const std::string path = "/tmp/lumo-e2e-integrity-" + std::to_string(::getpid());
        ASSERT_TRUE(run.overPty(path));
        channel = serialChannel(host, path);
    } else {
        channel = tcpChannel(host);
        ASSERT_TRUE(run.overTcp(channel->port));
    }
    ASSERT_TRUE(run.waitDone(kEventWaitMs * 2)) << host.trace();
    EXPECT_LT(channel->stop(), kStopBoundMs);

    expectAllMeasurements(host, simulated, config.faults.headerExtraSamples == 0);
    EXPECT_EQ(host.count(EV_ACTION_FAILED, kDinText), row.firstTransferFails ? 1 : 0);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE, kDinText), row.firstTransferFails ? 1 : 2);
    const lumosim::DeviceReport reported = run.device(kDin);
    EXPECT_EQ(std::vector<uint64_t>({reported.measurementsHandedOver,
                                     reported.measurementsRemaining, reported.framesAckedTwice,
                                     reported.sleepsReceived, run.report().packetMismatches}),
              std::vector<uint64_t>({kStored, 0, row.framesAckedTwice, 1, 0}));
}

using F = lumosim::FaultConfig;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, Integrity, testing::Combine(testing::Values(
    IntegrityCase{"Plain", 4, 50, nullptr, false, false, 0},
    IntegrityCase{"RepeatedBlock", 4, 50, [](F &f) { f.repeatBlock = 2; }, false, false, 0},
    IntegrityCase{"GarbledAckRepeatsAFrame", 4, 50, [](F &f) { f.repeatFrame = kSecondHeaderFrame + 2; }, false, false, 1},
    IntegrityCase{"BlocksSwapped", 4, 50, [](F &f) { f.swapFirstBlocks = true; }, false, true, 0},
    IntegrityCase{"LastBlockFirst", 4, 50, [](F &f) { f.lastBlockFirst = true; }, false, true, 0},
    IntegrityCase{"HeaderClaimsMoreSamples", 4, 50, [](F &f) { f.headerExtraSamples = 500; }, false, false, 0},
    IntegrityCase{"HostCannotKeepIt", 4, 50, nullptr, true, true, 0},
    // 256 blocks of 255 samples fit the record: block numbers wrap to 0.
    IntegrityCase{"TwoHundredFiftySixBlocks", 256, 255, nullptr, false, false, 0},
    IntegrityCase{"BlocksOfMoreThan255Samples", 3, 300, nullptr, false, false, 0}), testing::Bool()),
    [](const auto &info) { return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Pty" : "Tcp"); });
// clang-format on

// The first device's link drops mid-transfer: its action fails once, nothing meant for it
// reaches the next device, and when it calls again it hands over what it still holds.
TEST(MultiDevice, CommandsReachOnlyTheDeviceTheyAreMeantFor)
{
    const lumosim::SimDevice first = device(111, 2, 3, 40);
    const lumosim::SimDevice second = device(222, 2, 3, 40);
    HostRecorder host;
    host.accept();
    host.script("000-000-111", {act(DATA_TRANSFER), act(DATA_TRANSFER), act(SLEEP)});
    host.script("000-000-222", {act(DATA_TRANSFER), act(SLEEP)});
    auto channel = tcpChannel(host);
    const auto play = [&](const lumosim::SimConfig &config) {
        SimRun run(config);
        EXPECT_TRUE(run.overTcp(channel->port));
        EXPECT_TRUE(run.waitDone(kEventWaitMs)) << host.trace();
        return run.device(config.devices[0].din);
    };
    // Handshake, count, header, block 1: the link drops before block 1 is acknowledged.
    lumosim::SimConfig dropping = oneDevice(first);
    dropping.faults.dropAfterFrames = 4;
    const lumosim::DeviceReport firstCut = play(dropping);
    const lumosim::DeviceReport secondRun = play(oneDevice(second));
    const lumosim::DeviceReport firstAgain = play(oneDevice(first));
    EXPECT_LT(channel->stop(), kStopBoundMs);

    EXPECT_EQ(host.count(EV_ACTION_FAILED, "000-000-111"), 1);
    EXPECT_EQ(host.count(EV_ACTION_FAILED, "000-000-222"), 0);
    EXPECT_EQ(std::vector<uint64_t>({firstCut.measurementsHandedOver, secondRun.countRequests,
                                     secondRun.sleepsReceived, secondRun.measurementsHandedOver,
                                     firstAgain.measurementsHandedOver, firstAgain.sleepsReceived}),
              std::vector<uint64_t>({0, 2, 1, 2, 2, 1}));
    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    ASSERT_EQ(measurements.size(), 4u) << host.trace();
    for (uint32_t i = 0; i < 4; ++i)
        expectMeasurement(measurements[i], i < 2 ? second : first, i % 2);
}

TEST(MultiDevice, TwoDevicesOnOneLinkAreServedInDinOrder)
{
    HostRecorder host;
    host.accept();
    // Both wait until both are in the table, then transfer, then sleep.
    Answer whenBothAdded = act(DATA_TRANSFER);
    whenBothAdded.afterAdded = 2;
    host.script("000-000-101", {whenBothAdded, act(SLEEP)});
    host.script("000-000-202", {whenBothAdded, act(SLEEP)});
    auto channel = tcpChannel(host);
    const lumosim::SimDevice low = device(101, 2, 2, 30);
    const lumosim::SimDevice high = device(202, 3, 1, 40);
    lumosim::SimConfig config;
    config.devices = {high, low}; // listed out of order on purpose
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    // Once both are added requests alternate low, high; low's transfer ends before high's.
    const auto events = host.events();
    auto it = std::find_if(events.begin(), events.end(), [](const SeenEvent &e) {
        return e.event == EV_DEVICE_ADDED && e.din == "000-000-202";
    });
    ASSERT_NE(it, events.end());
    std::vector<std::string> asked, transfers;
    for (; it != events.end(); ++it)
        if (it->event == EV_REQUEST_ACTION)
            asked.push_back(it->din);
        else if (it->event == EV_MEASUREMENT || it->event == EV_TRANSFER_DONE)
            transfers.push_back(it->din + (it->event == EV_TRANSFER_DONE ? " done" : ""));
    const std::string lo = "000-000-101", hi = "000-000-202";
    ASSERT_GE(asked.size(), 2u);
    for (std::size_t i = 0; i < asked.size(); ++i)
        EXPECT_EQ(asked[i], i % 2 == 0 ? lo : hi) << i;
    EXPECT_EQ(transfers,
              (std::vector<std::string>{lo, lo, lo + " done", hi, hi, hi, hi + " done"}));
    expectAllMeasurements(host, low);
    expectAllMeasurements(host, high);
    EXPECT_EQ(run.tap.hostFrames(0x91).size(), 2u);
    EXPECT_EQ(run.report().sessionsCompleted, 1u);
}

// An entry outlives its connection but rests until its device calls again: the next
// device's connection neither serves it nor is held open by it.
TEST(MultiDevice, AnEntryIsServedOnlyOverItsDevicesOwnLink)
{
    HostRecorder host;
    host.accept();
    host.setFallback(act(CALIBRATION), "000-000-101");
    auto channel = tcpChannel(host);
    {
        SimRun first(oneDevice(device(101)));
        ASSERT_TRUE(first.overTcp(channel->port));
        ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 2, kEventWaitMs, "000-000-101"));
        first.tap.cutNow(); // the device goes away without a word
    }
    SimRun second(oneDevice(device(202)));
    ASSERT_TRUE(second.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, 1, kEventWaitMs, "000-000-202")) << host.trace();
    const int askedBefore = host.count(EV_REQUEST_ACTION, "000-000-101");
    ASSERT_TRUE(second.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    EXPECT_EQ(host.count(EV_REQUEST_ACTION, "000-000-101"), askedBefore);

    SimRun again(oneDevice(device(101)));
    ASSERT_TRUE(again.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, askedBefore + 2, kEventWaitMs, "000-000-101"))
        << host.trace();
    EXPECT_EQ(host.count(EV_DEVICE_ADDED, "000-000-101"), 2);
    EXPECT_LT(channel->stop(), kStopBoundMs);
}

TEST(MultiDevice, TwoChannelsAtOnceKeepTheirDevicesApart)
{
    HostRecorder hosts[2];
    std::unique_ptr<Channel> channels[2];
    std::unique_ptr<SimRun> runs[2];
    const lumosim::SimDevice simulated[2] = {device(101, 3, 4, 255), device(202, 3, 4, 255)};
    for (int i = 0; i < 2; ++i) {
        hosts[i].accept();
        hosts[i].script(dinText(simulated[i].din), {act(DATA_TRANSFER), act(SLEEP)});
        channels[i] = tcpChannel(hosts[i]);
        runs[i] = std::make_unique<SimRun>(oneDevice(simulated[i]));
        ASSERT_TRUE(runs[i]->overTcp(channels[i]->port));
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(runs[i]->tap.waitHostClosed(kEventWaitMs)) << hosts[i].trace();
        for (const SeenEvent &e : hosts[i].events()) {
            EXPECT_EQ(e.user, &hosts[i]);
            EXPECT_EQ(e.din, e.hasData ? dinText(simulated[i].din) : "");
        }
        expectAllMeasurements(hosts[i], simulated[i]);
        EXPECT_EQ(hosts[i].count(EV_TRANSFER_DONE), 1);
    }
    // One channel's stop leaves the other running.
    EXPECT_LT(channels[0]->stop(), kStopBoundMs);
    EXPECT_EQ(hosts[0].events().back().event, EV_CHANNEL_STOPPED);
    EXPECT_EQ(hosts[1].count(EV_CHANNEL_STOPPED), 0);
    SimRun late(oneDevice(device(101)));
    ASSERT_TRUE(late.overTcp(channels[1]->port));
    EXPECT_TRUE(hosts[1].waitFor(EV_DEVICE_ADDED, 1, kEventWaitMs, "000-000-101"))
        << hosts[1].trace();
}

// Reopening waits 2 s between attempts; the device side waits for the open.
constexpr int kReplugWaitMs = 30000;

TEST(Serial, UnpluggedDeviceComesBackUnderTheSameName)
{
    HostRecorder host;
    host.accept("000-001-234");
    // The unplug cuts the first transfer; the second waits for the second handshake.
    Answer afterReplug = act(DATA_TRANSFER);
    afterReplug.afterAdded = 2;
    host.script("000-001-234", {act(DATA_TRANSFER), afterReplug, act(SLEEP)});
    const lumosim::SimDevice simulated = device(1234, 2, 3, 100);
    lumosim::SimConfig config = oneDevice(simulated);
    config.sessions = 2;
    config.faults.dropAfterFrames = 5; // handshake, count, header, two blocks: unplugged
    SimRun run(config);
    const std::string link = "/tmp/lumo-e2e-replug-" + std::to_string(::getpid());
    ASSERT_TRUE(run.overPty(link));
    auto channel = serialChannel(host, link);

    ASSERT_TRUE(host.waitFor(EV_ACTION_FAILED, 1, kEventWaitMs, "000-001-234")) << host.trace();
    EXPECT_EQ(host.count(EV_MEASUREMENT), 0);
    ASSERT_TRUE(run.waitDone(kReplugWaitMs)) << host.trace();
    const auto report = run.report();
    EXPECT_EQ(report.result, "ok") << report.error;
    EXPECT_EQ(std::vector<uint64_t>(
                  {report.linksDroppedByFault, report.sessionsCompleted, report.packetMismatches}),
              std::vector<uint64_t>({1, 1, 0}));
    EXPECT_EQ(host.count(EV_DEVICE_ADDED, "000-001-234"), 2);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
    expectAllMeasurements(host, simulated);
    EXPECT_EQ(run.device(1234).sleepsReceived, 1u);
    EXPECT_LT(channel->stop(), kStopBoundMs);
    EXPECT_EQ(host.events().back().event, EV_CHANNEL_STOPPED);
}

} // namespace
} // namespace e2e

// Every measurement from the right device, whole, exactly once: each row plays a fault a
// link or a device can produce, over TCP and over a pseudo-terminal, and checks sample by
// sample what the host kept, under which DIN, and what the device still holds.
#include "Fixtures.h"
#include "TapIo.h"
#include "TestChecks.h"
#include "Waveform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kDin = 4321;
const std::string kDinText = "000-004-321";
constexpr uint32_t kStored = 3;

struct IntegrityCase {
    const char *name;
    uint32_t blocks;
    uint32_t samplesPerBlock;
    std::function<void(lumosim::FaultConfig &)> fault;
    bool hostRefusesSecond; // the host cannot keep the second measurement the first time
    bool firstTransferFails;
    uint32_t framesAckedTwice; // repeats the library acknowledged again
};

struct Link {
    const char *name;
    bool pty;
};

class Integrity : public testing::TestWithParam<std::tuple<IntegrityCase, Link>> {};

// The kept measurements, in order, against what the device holds: whole, sample by sample,
// nothing of another measurement behind the last sample.
void expectKept(const std::vector<SeenEvent> &seen, const lumosim::SimDevice &device)
{
    std::vector<const SeenEvent *> kept;
    for (const SeenEvent &event : seen)
        if (!event.refused)
            kept.push_back(&event);
    ASSERT_EQ(kept.size(), kStored);
    for (uint32_t index = 0; index < kStored; ++index) {
        const SeenEvent &event = *kept[index];
        EXPECT_EQ(event.din, kDinText);
        const std::vector<uint16_t> samples = lumosim::expectedSamples(device, index);
        ASSERT_EQ(event.samplesArrived, samples.size()) << "measurement " << index;
        auto record = std::make_unique<Measurement>();
        std::memcpy(record.get(), event.measurement.data(), sizeof(Measurement));
        EXPECT_EQ(record->dtime.packed, lumosim::expectedHeader(device, index).dtime);
        EXPECT_EQ(std::memcmp(record->samples, samples.data(), samples.size() * 2), 0)
            << "measurement " << index;
        for (std::size_t i = samples.size(); i < kMaxSamples; ++i)
            ASSERT_EQ(record->samples[i], 0) << "measurement " << index << " sample " << i;
    }
}

TEST_P(Integrity, HostKeepsEachMeasurementOnceAndWhole)
{
    const auto &[row, link] = GetParam();
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(DATA_TRANSFER), act(DATA_TRANSFER), act(SLEEP)});
    int measurementsSeen = 0;
    host.setHook([&](lumo_Event event, lumo_EventData &data) {
        if (event == EV_MEASUREMENT && ++measurementsSeen == 2 && row.hostRefusesSecond)
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
    if (link.pty) {
        const std::string path = "/tmp/lumo-integrity-" + std::to_string(io::processId());
        ASSERT_TRUE(run.overPty(path, 0));
        channel = Channel::serial(host, path);
    } else {
        channel = Channel::tcp(host);
        ASSERT_TRUE(run.overTcp(channel->port()));
    }
    ASSERT_TRUE(run.waitDone(kEventWaitMs * 2)) << host.trace();
    EXPECT_LT(channel->stop(), kStopBoundMs);

    expectKept(host.eventsOf(EV_MEASUREMENT), simulated);
    EXPECT_EQ(host.count(EV_ACTION_FAILED, kDinText), row.firstTransferFails ? 1 : 0);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE, kDinText), row.firstTransferFails ? 1 : 2);
    const lumosim::DeviceReport *reported = run.device(kDin);
    ASSERT_NE(reported, nullptr);
    EXPECT_EQ(reported->measurementsHandedOver, kStored);
    EXPECT_EQ(reported->measurementsRemaining, 0u);
    EXPECT_EQ(reported->framesAckedTwice, row.framesAckedTwice);
    EXPECT_EQ(reported->sleepsReceived, 1u);
}

// Device frames of one session: handshake, count, then header and blocks per measurement.
constexpr uint64_t kSecondHeaderFrame = 1 + 1 + 1 + 4 + 1;

INSTANTIATE_TEST_SUITE_P(
    Faults, Integrity,
    testing::Combine(
        testing::Values(
            IntegrityCase{"Plain", 4, 50, nullptr, false, false, 0},
            IntegrityCase{"RepeatedBlock", 4, 50,
                          [](lumosim::FaultConfig &f) { f.repeatBlock = 2; }, false, false, 0},
            IntegrityCase{"GarbledAckRepeatsAFrame", 4, 50,
                          [](lumosim::FaultConfig &f) { f.repeatFrame = kSecondHeaderFrame + 2; },
                          false, false, 1},
            IntegrityCase{"BlocksSwapped", 4, 50,
                          [](lumosim::FaultConfig &f) { f.swapFirstBlocks = true; }, false, true,
                          0},
            IntegrityCase{"LastBlockFirst", 4, 50,
                          [](lumosim::FaultConfig &f) { f.lastBlockFirst = true; }, false, true, 0},
            IntegrityCase{"HeaderClaimsMoreSamples", 4, 50,
                          [](lumosim::FaultConfig &f) { f.headerExtraSamples = 500; }, false, false,
                          0},
            IntegrityCase{"HostCannotKeepIt", 4, 50, nullptr, true, true, 0},
            // 256 blocks of 255 samples fit the record: block numbers wrap to 0.
            IntegrityCase{"TwoHundredFiftySixBlocks", 256, 255, nullptr, false, false, 0},
            IntegrityCase{"BlocksOfMoreThan255Samples", 3, 300, nullptr, false, false, 0}),
        testing::Values(Link{"Tcp", false}, Link{"Pty", true})),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

// A device whose link drops in the middle of a transfer, and another device on the next
// connection: nothing meant for the first reaches the second, the first's action fails
// once, and when the first calls again it hands over what it still holds.
TEST(Integrity, CommandsReachOnlyTheDeviceTheyAreMeantFor)
{
    const lumosim::SimDevice first = device(111, 2, 3, 40);
    const lumosim::SimDevice second = device(222, 2, 3, 40);
    HostRecorder host;
    host.acceptAll();
    host.script("000-000-111", {act(DATA_TRANSFER), act(DATA_TRANSFER), act(SLEEP)});
    host.script("000-000-222", {act(DATA_TRANSFER), act(SLEEP)});
    auto channel = Channel::tcp(host);

    const auto play = [&](const lumosim::SimConfig &config) {
        SimRun run(config);
        EXPECT_TRUE(run.overTcp(channel->port()));
        EXPECT_TRUE(run.waitDone(kEventWaitMs)) << host.trace();
        return *run.device(config.devices[0].din);
    };
    // Handshake, count, header, block 1: the link drops before block 1 is acknowledged.
    lumosim::SimConfig dropping = oneDevice(first);
    dropping.faults.dropAfterFrames = 4;
    const lumosim::DeviceReport firstCut = play(dropping);
    const lumosim::DeviceReport secondRun = play(oneDevice(second));
    const lumosim::DeviceReport firstAgain = play(oneDevice(first));
    EXPECT_LT(channel->stop(), kStopBoundMs);

    // The cut transfer failed once; nothing of it, nor of the first device's entry, went
    // to the second device: it got its own count request and sleep only.
    EXPECT_EQ(host.count(EV_ACTION_FAILED, "000-000-111"), 1);
    EXPECT_EQ(host.count(EV_ACTION_FAILED, "000-000-222"), 0);
    EXPECT_EQ(firstCut.measurementsHandedOver, 0u);
    EXPECT_EQ(secondRun.countRequests, 1u);
    EXPECT_EQ(secondRun.sleepsReceived, 1u);
    EXPECT_EQ(secondRun.measurementsHandedOver, 2u);
    EXPECT_EQ(firstAgain.measurementsHandedOver, 2u);
    EXPECT_EQ(firstAgain.sleepsReceived, 1u);

    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    ASSERT_EQ(measurements.size(), 4u) << host.trace();
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(measurements[i].din, i < 2 ? "000-000-222" : "000-000-111");
        expectMeasurement(measurements[i], i < 2 ? second : first, i % 2);
    }
}

} // namespace
} // namespace e2e

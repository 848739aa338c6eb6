// One device over a TCP connection: the whole road of a connection, refusal, the
// host's choices after the handshake and the measurement count as the device reports it.
#include "Fixtures.h"
#include "TapIo.h"
#include "TestChecks.h"
#include "Waveform.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

using namespace liblumo;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDin = 1234;
const std::string kDinText = "000-001-234";

// The handshake of the simulator's default device 1234 (clock 2024-05-17 13:45:30, word
// 0x0100, CRC 0x1234) as it must come back from the library, packet number 1.
const Bytes kHandshakeEcho = {0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0xD2, 0x04, 0x00, 0x00,
                              0x5E, 0xDB, 0x62, 0x61, 0x00, 0x01, 0x34, 0x12, 0x7B};

TEST(TcpConversation, RoadOfOneConnection)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(DATA_TRANSFER), act(SLEEP)});
    auto channel = Channel::tcp(host);
    const lumosim::SimDevice simulated = device(kDin, 3, 4, 200);
    SimRun run(oneDevice(simulated));
    ASSERT_TRUE(run.overTcp(channel->port()));

    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    const auto report = run.report();
    EXPECT_EQ(report.measurementsHandedOver, 3u);
    EXPECT_EQ(report.packetMismatches, 0u);
    EXPECT_EQ(report.badLrcReceived, 0u);

    // Host side: the events in order, every sample as the device generated it.
    EXPECT_EQ(kinds(host.events()),
              (std::vector<lumo_Event>{EV_CHANNEL_STARTED, EV_DEVICE_HANDSHAKE, EV_DEVICE_ADDED,
                                       EV_REQUEST_ACTION, EV_MEASUREMENT, EV_MEASUREMENT,
                                       EV_MEASUREMENT, EV_TRANSFER_DONE, EV_REQUEST_ACTION}));
    const auto measurements = host.eventsOf(EV_MEASUREMENT);
    for (uint32_t index = 0; index < measurements.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(measurements[index].din, kDinText);
        expectMeasurement(measurements[index], simulated, index);
    }
    for (const SeenEvent &seen : host.events()) {
        EXPECT_EQ(seen.error, ERR_NONE);
        EXPECT_EQ(seen.user, &host);
        EXPECT_EQ(seen.hasData, seen.event != EV_CHANNEL_STARTED);
    }

    // Wire: the library's bytes unit by unit, frames against hand-computed vectors.
    const auto units = run.tap.hostUnits();
    std::vector<Bytes> expected = {
        {0x06}, kHandshakeEcho, {0x02, 0x00, 0x01, 0x00, 0x02, 0xB0, 0xB1}, {0x06}};
    const Bytes retrieve[3] = {{0x02, 0x00, 0x02, 0x00, 0x02, 0xB1, 0xB3},
                               {0x02, 0x00, 0x07, 0x00, 0x02, 0xB1, 0xB6},
                               {0x02, 0x00, 0x0C, 0x00, 0x02, 0xB1, 0xBD}};
    for (const Bytes &request : retrieve) {
        expected.push_back(request);
        for (int frame = 0; frame < 5; ++frame) // header and four blocks, each acknowledged
            expected.push_back({0x06});
    }
    expected.push_back({0x02, 0x00, 0x11, 0x00, 0x03, 0x91, 0x01, 0x80});
    EXPECT_EQ(rawUnits(units), expected);

    // With the table empty the connection ends after the idle interval, not before.
    const int64_t sleepSentAt = units.back().atMs;
    EXPECT_GE(run.tap.hostClosedAtMs() - sleepSentAt, kIntervalMs - 50);
}

TEST(TcpConversation, SilentConnectionEndsAfterTheIdleIntervalWithoutEvents)
{
    HostRecorder host;
    auto channel = Channel::tcp(host);
    WireTap tap;
    std::string error;
    const int64_t connected = TimeOut::nowMs();
    const int silentDevice = tap.connect(channel->port(), error);
    ASSERT_GE(silentDevice, 0) << error;
    ASSERT_TRUE(tap.waitHostClosed(kEventWaitMs));
    EXPECT_GE(tap.hostClosedAtMs() - connected, kIntervalMs - 50);
    EXPECT_TRUE(tap.hostBytes().empty());
    EXPECT_EQ(kinds(host.events()), std::vector<lumo_Event>{EV_CHANNEL_STARTED});
    io::closeFd(silentDevice);
}

TEST(TcpConversation, RefusedDeviceGetsNoAnswerByte)
{
    HostRecorder host; // accepts nobody
    auto channel = Channel::tcp(host);
    auto config = oneDevice(device(kDin, 1, 1, 10));
    SimRun run(config);
    ASSERT_TRUE(run.overTcp(channel->port()));

    // Nobody is in the table: the connection ends on the idle rule.
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
    EXPECT_EQ(host.count(EV_DEVICE_HANDSHAKE, kDinText), 1);
    EXPECT_EQ(host.count(EV_DEVICE_ADDED), 0);
    EXPECT_EQ(host.count(EV_REQUEST_ACTION), 0);
    EXPECT_TRUE(run.tap.hostBytes().empty());
    EXPECT_EQ(run.device(kDin)->handshakesAccepted, 0u);
}

TEST(TcpConversation, AcceptanceReadsOnlyTheLowByteOfTheAnswer)
{
    // A host writing 0x100 has left the low byte zero: refused.
    HostRecorder host;
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 0, 0, 0)));
    host.setHandshakeAnswer(0x100);
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
    EXPECT_EQ(host.count(EV_DEVICE_ADDED), 0);
    EXPECT_TRUE(run.tap.hostBytes().empty());
}

TEST(TcpConversation, UntouchedRecordMeansSyncWithNoParameterBytes)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {untouched(), act(EXIT)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 0, 0, 0)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    // The device's CRC 0x1234 differs from the empty record's 0: status, clock, and a
    // parameter block of zeros.
    EXPECT_EQ(kinds(host.events(), 3),
              (std::vector<lumo_Event>{EV_REQUEST_ACTION, EV_PARAMS_UPDATED, EV_SYNC_DONE,
                                       EV_REQUEST_ACTION}));
    const auto status = run.tap.hostFrames(0xA4);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].raw, (Bytes{0x02, 0x00, 0x01, 0x00, 0x02, 0xA4, 0xA5}));
    const auto params = run.tap.hostFrames(0xA2);
    ASSERT_EQ(params.size(), 1u);
    Bytes zeroBlock = {0x02, 0x00, 0x02, 0x00, 0x60, 0xA2};
    zeroBlock.insert(zeroBlock.end(), 94, 0x00);
    zeroBlock.push_back(0xC2);
    EXPECT_EQ(params[0].raw, zeroBlock);
}

TEST(TcpConversation, SyncWithEqualCrcsOnlyReadsTheStatus)
{
    HostRecorder host;
    host.accept(kDinText);
    DeviceParams params{};
    params.param32a = 0xDEADBEEF;
    params.crc16 = 0x1234; // what the device reported in its handshake
    host.script(kDinText, {syncWith(params), act(EXIT)});
    auto channel = Channel::tcp(host);
    const auto simulated = device(kDin, 0, 0, 0);
    SimRun run(oneDevice(simulated));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    EXPECT_EQ(kinds(host.events(), 3),
              (std::vector<lumo_Event>{EV_REQUEST_ACTION, EV_SYNC_DONE, EV_REQUEST_ACTION}));
    EXPECT_EQ(run.tap.hostFrames(0xA4).size(), 1u);
    EXPECT_TRUE(run.tap.hostFrames(0xA1).empty());
    EXPECT_TRUE(run.tap.hostFrames(0xA2).empty());
    const auto done = host.eventsOf(EV_SYNC_DONE);
    ASSERT_EQ(done.size(), 1u);
    expectStatus(done[0], simulated);
}

TEST(TcpConversation, SyncWithDifferentCrcsWritesClockAndParameters)
{
    HostRecorder host;
    host.accept(kDinText);
    DeviceParams params{};
    for (int i = 0; i < 5; ++i)
        params.param16a[i] = uint16_t(0x0101 * (i + 1));
    params.param32a = 0x11223344;
    params.param32b = 0x55667788;
    params.param16b = 0x99AA;
    params.param32c = 0xBBCCDDEE;
    for (int i = 0; i < 6; ++i) {
        params.param16c[i] = uint16_t(0x1000 + i);
        params.param32d[i] = 0x20000000u + uint32_t(i);
    }
    std::fill(std::begin(params.reserved), std::end(params.reserved), 0xEE); // never sent
    params.crc16 = 0x00AF;
    host.script(kDinText, {syncWith(params), act(EXIT)});
    auto channel = Channel::tcp(host);
    const auto simulated = device(kDin, 0, 0, 0);
    SimRun run(oneDevice(simulated));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    EXPECT_EQ(kinds(host.events(), 3),
              (std::vector<lumo_Event>{EV_REQUEST_ACTION, EV_PARAMS_UPDATED, EV_SYNC_DONE,
                                       EV_REQUEST_ACTION}));
    const auto done = host.eventsOf(EV_SYNC_DONE);
    ASSERT_EQ(done.size(), 1u);
    expectStatus(done[0], simulated);

    // Order on the wire: status request, clock, parameters.
    std::vector<uint8_t> commands;
    for (const HostUnit &unit : run.tap.hostUnits())
        if (unit.kind == HostUnit::Frame)
            commands.push_back(unit.command);
    EXPECT_EQ(commands, (std::vector<uint8_t>{0x01, 0xA4, 0xA1, 0xA2}));

    const auto clock = run.tap.hostFrames(0xA1);
    ASSERT_EQ(clock.size(), 1u);
    expectUtcNow(clock[0].data);

    const Bytes block = {
        0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0x04, 0x04, 0x05, 0x05,             // 16a
        0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55,                         // 32a, 32b
        0xAA, 0x99, 0xEE, 0xDD, 0xCC, 0xBB,                                     // 16b, 32c
        0x00, 0x10, 0x01, 0x10, 0x02, 0x10, 0x03, 0x10, 0x04, 0x10, 0x05, 0x10, // 16c
        0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00, 0x20,
        0x03, 0x00, 0x00, 0x20, 0x04, 0x00, 0x00, 0x20, 0x05, 0x00, 0x00, 0x20}; // 32d
    Bytes expectedBlock = block;
    expectedBlock.insert(expectedBlock.end(), 32, 0x00);
    expectedBlock.push_back(0xAF);
    expectedBlock.push_back(0x00);
    const auto written = run.tap.hostFrames(0xA2);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].data, expectedBlock);
    // The device took the parameters: it reports the host's CRC from now on.
    EXPECT_EQ(run.device(kDin)->paramsWritten.size(), 1u);
}

TEST(TcpConversation, ParameterBytesBeyondOneRecordAreIgnored)
{
    HostRecorder host;
    host.accept(kDinText);
    Answer oversized;
    oversized.action = SYNC;
    oversized.data.assign(kAnswerDataSize, 0x5A);
    oversized.length = kAnswerDataSize; // more than a DeviceParams
    host.script(kDinText, {oversized, act(EXIT)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 0, 0, 0)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    // The first 100 bytes made the record: CRC 0x5A5A, reserved bytes not sent.
    const auto written = run.tap.hostFrames(0xA2);
    ASSERT_EQ(written.size(), 1u);
    Bytes expectedBlock(60, 0x5A);
    expectedBlock.insert(expectedBlock.end(), 32, 0x00);
    expectedBlock.push_back(0x5A);
    expectedBlock.push_back(0x5A);
    EXPECT_EQ(written[0].data, expectedBlock);
    EXPECT_EQ(host.count(EV_SYNC_DONE), 1);
}

TEST(TcpConversation, ExitSendsNothingAndTheIdleRuleEndsTheConnection)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(EXIT)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 2, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));

    EXPECT_EQ(rawUnits(run.tap.hostUnits()), (std::vector<Bytes>{{0x06}, kHandshakeEcho}));
    EXPECT_EQ(host.count(EV_REQUEST_ACTION), 1);
    const auto added = host.eventsOf(EV_DEVICE_ADDED);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_GE(run.tap.hostClosedAtMs() - added[0].atMs, kIntervalMs - 50);
}

TEST(TcpConversation, AnswersOutsideTheActionsAndCalibrationSendNothing)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {rawAnswer(6), rawAnswer(0xFFFFFFFF), act(CALIBRATION), act(EXIT)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 1, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));

    // Asked again after each of them; only the handshake went out.
    EXPECT_EQ(host.count(EV_REQUEST_ACTION), 4);
    EXPECT_EQ(rawUnits(run.tap.hostUnits()), (std::vector<Bytes>{{0x06}, kHandshakeEcho}));
}

// The count as the device sends it: 0 and values of 0x8000 and more mean nothing stored;
// 0xFFFF cannot be told from a failed request and fails the transfer.
struct CountCase {
    uint32_t stored;
    lumo_Event outcome;
};

class DeviceCount : public testing::TestWithParam<CountCase> {};

TEST_P(DeviceCount, DecidesTheOutcomeWithoutRetrieving)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(DATA_TRANSFER), act(EXIT)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, GetParam().stored, 0, 0)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    EXPECT_EQ(kinds(host.events(), 3),
              (std::vector<lumo_Event>{EV_REQUEST_ACTION, GetParam().outcome, EV_REQUEST_ACTION}));
    EXPECT_EQ(run.tap.hostFrames(0xB0).size(), 1u);
    EXPECT_TRUE(run.tap.hostFrames(0xB1).empty());
    EXPECT_EQ(host.count(EV_MEASUREMENT), 0);
}

INSTANTIATE_TEST_SUITE_P(TcpConversation, DeviceCount,
                         testing::Values(CountCase{0, EV_TRANSFER_DONE},
                                         CountCase{0x8000, EV_TRANSFER_DONE},
                                         CountCase{0xFFFF, EV_ACTION_FAILED}),
                         [](const testing::TestParamInfo<CountCase> &info) {
                             return "Count" + std::to_string(info.param.stored);
                         });

TEST(TcpConversation, MeasurementsWithoutCountsAreFetchedButNotReported)
{
    // No blocks and no samples: ns and nss are both zero.
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(DATA_TRANSFER), act(EXIT)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 2, 0, 0)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();

    EXPECT_EQ(run.tap.hostFrames(0xB1).size(), 2u);
    EXPECT_EQ(host.count(EV_MEASUREMENT), 0);
    EXPECT_EQ(host.count(EV_TRANSFER_DONE), 1);
}

} // namespace
} // namespace e2e

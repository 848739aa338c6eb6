// One device over a TCP connection: the whole road of a connection with its wire bytes,
// refusal and the idle rule, and each answer of the host after the handshake.
#include "Fixtures.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <functional>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kDin = 1234;
const std::string kDinText = "000-001-234";
// The idle rule may end a connection a hair early by clock granularity only.
constexpr int kIdleSlackMs = 50;

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

    EXPECT_EQ(kinds(host.events()),
              (std::vector<lumo_Event>{EV_CHANNEL_STARTED, EV_DEVICE_HANDSHAKE, EV_DEVICE_ADDED,
                                       EV_REQUEST_ACTION, EV_MEASUREMENT, EV_MEASUREMENT,
                                       EV_MEASUREMENT, EV_TRANSFER_DONE, EV_REQUEST_ACTION}));
    expectAllMeasurements(host, simulated);
    for (const SeenEvent &seen : host.events()) {
        EXPECT_EQ(seen.error, ERR_NONE);
        EXPECT_EQ(seen.user, &host);
        EXPECT_EQ(seen.hasData, seen.event != EV_CHANNEL_STARTED);
    }

    // The library's bytes unit by unit: handshake ACK and echo, count request and its ACK,
    // per measurement a retrieval request and ACKs for the header and four blocks, sleep.
    const auto units = run.tap.hostUnits();
    std::vector<Bytes> expected = {
        {0x06}, kHandshakeEcho, {0x02, 0x00, 0x01, 0x00, 0x02, 0xB0, 0xB1}, {0x06}};
    for (const Bytes &request : {Bytes{0x02, 0x00, 0x02, 0x00, 0x02, 0xB1, 0xB3},
                                 Bytes{0x02, 0x00, 0x07, 0x00, 0x02, 0xB1, 0xB6},
                                 Bytes{0x02, 0x00, 0x0C, 0x00, 0x02, 0xB1, 0xBD}}) {
        expected.push_back(request);
        expected.insert(expected.end(), 5, Bytes{0x06});
    }
    expected.push_back({0x02, 0x00, 0x11, 0x00, 0x03, 0x91, 0x01, 0x80});
    EXPECT_EQ(rawUnits(units), expected);
    // With the table empty the connection ends after the idle interval, not before.
    EXPECT_GE(run.tap.hostClosedAtMs() - units.back().atMs, kIntervalMs - kIdleSlackMs);
}

// Nothing is added, so nothing is sent and the idle rule ends the connection: a silent
// peer, a refused device, and a host answer whose low byte is zero (0x100).
class NothingAdded : public testing::TestWithParam<int> {};

TEST_P(NothingAdded, NoByteIsSentAndTheIdleRuleEndsTheConnection)
{
    HostRecorder host;
    if (GetParam() == 2)
        host.setHook([](lumo_Event event, lumo_EventData &data) {
            if (event == EV_DEVICE_HANDSHAKE)
                data.answer = 0x100;
        });
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin)));
    const int64_t connected = TimeOut::nowMs();
    const int silent = GetParam() == 0 ? run.tap.connect(channel->port()) : -1;
    if (GetParam() == 0)
        ASSERT_GE(silent, 0); // no simulator behind it
    else
        ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
    EXPECT_GE(run.tap.hostClosedAtMs() - connected, kIntervalMs - kIdleSlackMs);
    EXPECT_TRUE(run.tap.hostUnits().empty());
    EXPECT_EQ(host.count(EV_DEVICE_HANDSHAKE, kDinText), GetParam() == 0 ? 0 : 1);
    EXPECT_EQ(host.count(EV_DEVICE_ADDED) + host.count(EV_REQUEST_ACTION), 0);
    if (GetParam() != 0) {
        EXPECT_EQ(run.device(kDin).handshakesAccepted, 0u);
    }
    io::closeFd(silent);
}

INSTANTIATE_TEST_SUITE_P(TcpConversation, NothingAdded, testing::Values(0, 1, 2));

struct ActionCase {
    const char *name;
    std::vector<Answer> script;
    uint32_t measurements, blocks, samples;
    std::vector<lumo_Event> after; // the events from the first EV_REQUEST_ACTION on
    std::function<void(SimRun &, HostRecorder &)> check;
};

class Action : public testing::TestWithParam<ActionCase> {};

TEST_P(Action, SendsItsBytesAndReportsTheOutcome)
{
    const ActionCase &row = GetParam();
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, row.script);
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, row.measurements, row.blocks, row.samples)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    EXPECT_EQ(kinds(host.events(), 3), row.after);
    row.check(run, host);
}

DeviceParams distinctParams()
{
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
    return params;
}

DeviceParams sameCrcParams()
{
    DeviceParams params{};
    params.param32a = 0xDEADBEEF;
    params.crc16 = 0x1234; // what the device reported in its handshake
    return params;
}

Answer oversizedParams()
{
    Answer answer = act(SYNC);
    answer.data.assign(kAnswerDataSize, 0x5A);
    answer.length = kAnswerDataSize; // more than a DeviceParams
    return answer;
}

// The parameter block as sent: 60 bytes of fields, 32 of zeros, the CRC low byte first.
Bytes paramBlock(Bytes fields, uint16_t crc)
{
    fields.insert(fields.end(), 32, 0x00);
    fields.push_back(uint8_t(crc));
    fields.push_back(uint8_t(crc >> 8));
    return fields;
}

void expectOnlyHandshake(SimRun &run, HostRecorder &)
{
    EXPECT_EQ(rawUnits(run.tap.hostUnits()), (std::vector<Bytes>{{0x06}, kHandshakeEcho}));
}

std::function<void(SimRun &, HostRecorder &)> countOnly(std::size_t retrievals)
{
    return [retrievals](SimRun &run, HostRecorder &host) {
        EXPECT_EQ(run.tap.hostFrames(0xB0).size(), 1u);
        EXPECT_EQ(run.tap.hostFrames(0xB1).size(), retrievals);
        EXPECT_EQ(host.count(EV_MEASUREMENT), 0);
    };
}

const std::vector<lumo_Event> kSyncWritten = {EV_REQUEST_ACTION, EV_PARAMS_UPDATED, EV_SYNC_DONE,
                                              EV_REQUEST_ACTION};

INSTANTIATE_TEST_SUITE_P(
    TcpConversation, Action,
    testing::Values(
        // The device's CRC 0x1234 differs from an untouched record's 0: status, clock, and
        // a parameter block of zeros.
        ActionCase{"UntouchedRecordSyncs",
                   {Answer{0, {}, 0, true}, act(EXIT)},
                   0,
                   0,
                   0,
                   kSyncWritten,
                   [](SimRun &run, HostRecorder &) {
                       const auto status = run.tap.hostFrames(0xA4);
                       ASSERT_EQ(status.size(), 1u);
                       EXPECT_EQ(status[0].raw, (Bytes{0x02, 0x00, 0x01, 0x00, 0x02, 0xA4, 0xA5}));
                       const auto params = run.tap.hostFrames(0xA2);
                       ASSERT_EQ(params.size(), 1u);
                       Bytes zeroBlock = {0x02, 0x00, 0x02, 0x00, 0x60, 0xA2};
                       zeroBlock.insert(zeroBlock.end(), 94, 0x00);
                       zeroBlock.push_back(0xC2);
                       EXPECT_EQ(params[0].raw, zeroBlock);
                   }},
        ActionCase{"SyncWithEqualCrcsOnlyReadsTheStatus",
                   {syncWith(sameCrcParams()), act(EXIT)},
                   0,
                   0,
                   0,
                   {EV_REQUEST_ACTION, EV_SYNC_DONE, EV_REQUEST_ACTION},
                   [](SimRun &run, HostRecorder &host) {
                       EXPECT_EQ(run.tap.hostFrames(0xA4).size(), 1u);
                       EXPECT_TRUE(run.tap.hostFrames(0xA1).empty());
                       EXPECT_TRUE(run.tap.hostFrames(0xA2).empty());
                       expectStatus(host.eventsOf(EV_SYNC_DONE).at(0), device(kDin));
                   }},
        ActionCase{"SyncWithDifferentCrcsWritesClockAndParameters",
                   {syncWith(distinctParams()), act(EXIT)},
                   0,
                   0,
                   0,
                   kSyncWritten,
                   [](SimRun &run, HostRecorder &host) {
                       expectStatus(host.eventsOf(EV_SYNC_DONE).at(0), device(kDin));
                       std::vector<uint8_t> commands;
                       for (const HostUnit &unit : run.tap.hostUnits())
                           if (unit.kind == HostUnit::Frame)
                               commands.push_back(unit.command);
                       EXPECT_EQ(commands, (std::vector<uint8_t>{0x01, 0xA4, 0xA1, 0xA2}));
                       expectUtcNow(run.tap.hostFrames(0xA1).at(0).data);
                       EXPECT_EQ(
                           run.tap.hostFrames(0xA2).at(0).data,
                           paramBlock({0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0x04, 0x04, 0x05, 0x05,
                                       0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0xAA, 0x99,
                                       0xEE, 0xDD, 0xCC, 0xBB, 0x00, 0x10, 0x01, 0x10, 0x02, 0x10,
                                       0x03, 0x10, 0x04, 0x10, 0x05, 0x10, 0x00, 0x00, 0x00, 0x20,
                                       0x01, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00, 0x20, 0x03, 0x00,
                                       0x00, 0x20, 0x04, 0x00, 0x00, 0x20, 0x05, 0x00, 0x00, 0x20},
                                      0x00AF));
                       EXPECT_EQ(run.device(kDin).paramsWritten.size(), 1u);
                   }},
        // Only the first 100 bytes make the record: CRC 0x5A5A, reserved bytes not sent.
        ActionCase{"ParameterBytesBeyondOneRecordAreIgnored",
                   {oversizedParams(), act(EXIT)},
                   0,
                   0,
                   0,
                   kSyncWritten,
                   [](SimRun &run, HostRecorder &) {
                       EXPECT_EQ(run.tap.hostFrames(0xA2).at(0).data,
                                 paramBlock(Bytes(60, 0x5A), 0x5A5A));
                   }},
        ActionCase{"ExitSendsNothing",
                   {act(EXIT)},
                   2,
                   1,
                   10,
                   {EV_REQUEST_ACTION},
                   [](SimRun &run, HostRecorder &host) {
                       expectOnlyHandshake(run, host);
                       EXPECT_GE(run.tap.hostClosedAtMs() - host.eventsOf(EV_DEVICE_ADDED)[0].atMs,
                                 kIntervalMs - kIdleSlackMs);
                   }},
        // Asked again after each of them; only the handshake went out.
        ActionCase{"OutsideTheActionsAndCalibrationSendNothing",
                   {act(6), act(0xFFFFFFFF), act(CALIBRATION), act(EXIT)},
                   1,
                   1,
                   10,
                   {EV_REQUEST_ACTION, EV_REQUEST_ACTION, EV_REQUEST_ACTION, EV_REQUEST_ACTION},
                   expectOnlyHandshake},
        // The count as the device sends it: 0 and 0x8000 and more mean nothing stored;
        // 0xFFFF cannot be told from a failed request and fails the transfer.
        ActionCase{"Count0",
                   {act(DATA_TRANSFER), act(EXIT)},
                   0,
                   0,
                   0,
                   {EV_REQUEST_ACTION, EV_TRANSFER_DONE, EV_REQUEST_ACTION},
                   countOnly(0)},
        ActionCase{"Count32768",
                   {act(DATA_TRANSFER), act(EXIT)},
                   0x8000,
                   0,
                   0,
                   {EV_REQUEST_ACTION, EV_TRANSFER_DONE, EV_REQUEST_ACTION},
                   countOnly(0)},
        ActionCase{"Count65535",
                   {act(DATA_TRANSFER), act(EXIT)},
                   0xFFFF,
                   0,
                   0,
                   {EV_REQUEST_ACTION, EV_ACTION_FAILED, EV_REQUEST_ACTION},
                   countOnly(0)},
        // No blocks and no samples: fetched, but not reported.
        ActionCase{"MeasurementsWithoutCounts",
                   {act(DATA_TRANSFER), act(EXIT)},
                   2,
                   0,
                   0,
                   {EV_REQUEST_ACTION, EV_TRANSFER_DONE, EV_REQUEST_ACTION},
                   countOnly(2)}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e

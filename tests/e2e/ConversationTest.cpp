// One device over TCP: a connection's wire bytes and log lines, refusal and the idle rule,
// each host answer after the handshake.
#include "Fixtures.h"
#include "LogCapture.h"
#include "transports/TimeOut.h"

#include <QDateTime>
#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace e2e {
namespace {

using namespace liblumo;

constexpr uint32_t kDin = 1234;
const std::string kDinText = "000-001-234";
constexpr int kIdleSlackMs = 50; // clock granularity only
// The handshake of the simulator's default device 1234 (clock 2024-05-17 13:45:30, word
// 0x0100, CRC 0x1234) as it must come back from the library, packet number 1.
const Bytes kHandshakeEcho = {0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0xD2, 0x04, 0x00, 0x00,
                              0x5E, 0xDB, 0x62, 0x61, 0x00, 0x01, 0x34, 0x12, 0x7B};
// The program runs five hours east of UTC, so a local time sent where UTC belongs shows.
// Set before main, while no thread can read the environment.
const bool kZoneSet = [] { return setenv("TZ", "XST-5", 1) == 0; }();

std::vector<Bytes> rawUnits(const SimRun &run)
{
    std::vector<Bytes> raw;
    for (const HostUnit &unit : run.tap.hostUnits())
        raw.push_back(unit.raw);
    return raw;
}

TEST(TcpConversation, RoadOfOneConnection)
{
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {act(DATA_TRANSFER), act(SLEEP)});
    auto channel = tcpChannel(host);
    const lumosim::SimDevice simulated = device(kDin, 3, 4, 200);
    SimRun run(oneDevice(simulated));
    ASSERT_TRUE(run.overTcp(channel->port));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    EXPECT_EQ(run.report().measurementsHandedOver, 3u);
    EXPECT_EQ(run.report().packetMismatches + run.report().badLrcReceived, 0u);
    EXPECT_EQ(kinds(host.events()),
              (std::vector<lumo_Event>{EV_CHANNEL_STARTED, EV_DEVICE_HANDSHAKE, EV_DEVICE_ADDED,
                                       EV_REQUEST_ACTION, EV_MEASUREMENT, EV_MEASUREMENT,
                                       EV_MEASUREMENT, EV_TRANSFER_DONE, EV_REQUEST_ACTION}));
    expectAllMeasurements(host, simulated);
    for (const SeenEvent &seen : host.events())
        EXPECT_TRUE(seen.error == ERR_NONE && seen.user == &host &&
                    seen.hasData == (seen.event != EV_CHANNEL_STARTED))
            << seen.event;
    // ACK, echo, count, ACK; per measurement a retrieval and 5 ACKs; the count again (the
    // device says 0: it holds nothing), ACK; the sleep command.
    std::vector<Bytes> expected = {
        {0x06}, kHandshakeEcho, {0x02, 0x00, 0x01, 0x00, 0x02, 0xB0, 0xB1}, {0x06}};
    for (const Bytes &request : {Bytes{0x02, 0x00, 0x02, 0x00, 0x02, 0xB1, 0xB3},
                                 Bytes{0x02, 0x00, 0x07, 0x00, 0x02, 0xB1, 0xB6},
                                 Bytes{0x02, 0x00, 0x0C, 0x00, 0x02, 0xB1, 0xBD}}) {
        expected.push_back(request);
        expected.insert(expected.end(), 5, Bytes{0x06});
    }
    expected.push_back({0x02, 0x00, 0x11, 0x00, 0x02, 0xB0, 0xA1});
    expected.push_back({0x06});
    expected.push_back({0x02, 0x00, 0x12, 0x00, 0x03, 0x91, 0x01, 0x83});
    EXPECT_EQ(rawUnits(run), expected);
    // With the table empty the connection ends after the idle interval, not before.
    EXPECT_GE(run.tap.hostClosedAtMs() - run.tap.hostUnits().back().atMs,
              kIntervalMs - kIdleSlackMs);
}

// Nothing added, nothing sent, the idle rule ends it: 0 a silent peer, 1 a refused device,
// 2 a host answer whose low byte is zero (0x100).
class NothingAdded : public testing::TestWithParam<int> {};

TEST_P(NothingAdded, NoByteIsSentAndTheIdleRuleEndsTheConnection)
{
    HostRecorder host;
    host.setHook([](lumo_Event event, lumo_EventData &data) {
        if (event == EV_DEVICE_HANDSHAKE && GetParam() == 2)
            data.answer = 0x100;
    });
    auto channel = tcpChannel(host);
    SimRun run(oneDevice(device(kDin)));
    const int64_t connected = TimeOut::nowMs();
    const int silent = GetParam() == 0 ? run.tap.connect(channel->port) : -1;
    ASSERT_TRUE(GetParam() == 0 ? silent >= 0 : run.overTcp(channel->port));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
    EXPECT_GE(run.tap.hostClosedAtMs() - connected, kIntervalMs - kIdleSlackMs);
    EXPECT_TRUE(run.tap.hostUnits().empty());
    EXPECT_EQ(host.count(EV_DEVICE_HANDSHAKE, kDinText), GetParam() == 0 ? 0 : 1);
    EXPECT_EQ(host.count(EV_DEVICE_ADDED) + host.count(EV_REQUEST_ACTION), 0);
    EXPECT_EQ(run.report().devices.at(0).handshakesAccepted, 0u);
    ::close(silent);
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
    auto channel = tcpChannel(host);
    SimRun run(oneDevice(device(kDin, row.measurements, row.blocks, row.samples)));
    ASSERT_TRUE(run.overTcp(channel->port));
    // The last request comes once everything before it is on the wire.
    const auto asked = std::count(row.after.begin(), row.after.end(), EV_REQUEST_ACTION);
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, int(asked), kEventWaitMs)) << host.trace();
    EXPECT_EQ(kinds(host.events(), 3), row.after);
    row.check(run, host);
}

// The status of an EV_SYNC_DONE against the simulated device's status block and clock.
void expectStatus(HostRecorder &host)
{
    const lumosim::SimDevice simulated = device(kDin);
    const DeviceStatus status = host.eventsOf(EV_SYNC_DONE).at(0).status.value();
    EXPECT_EQ(std::vector<uint32_t>({status.status32a, status.status32b, status.status16a}),
              std::vector<uint32_t>({simulated.status.status32a, simulated.status.status32b,
                                     simulated.status.status16a}));
    EXPECT_TRUE(std::equal(simulated.status.status16b.begin(), simulated.status.status16b.end(),
                           std::begin(status.status16b)));
    const auto &clock = simulated.clock;
    // Read back in UTC, the zone SYNC writes the clock in.
    const QDateTime utc(QDate(clock.year, clock.month, clock.day),
                        QTime(clock.hour, clock.minute, clock.second), Qt::UTC);
    EXPECT_EQ(status.deviceTime, uint32_t(utc.toSecsSinceEpoch()));
}

// The current UTC time, within a few seconds.
void expectUtcNow(const Bytes &payload)
{
    ASSERT_TRUE(kZoneSet);
    ASSERT_EQ(payload.size(), 7u);
    const QDate date(2000 + payload[0], payload[1], payload[2]);
    const QDateTime sent(date, QTime(payload[3], payload[4], payload[5]), Qt::UTC);
    ASSERT_TRUE(sent.isValid());
    EXPECT_LE(std::llabs(sent.secsTo(QDateTime::currentDateTimeUtc())), 10);
    EXPECT_EQ(payload[6], date.dayOfWeek());
}

// Every field distinct, so a field out of place or in the wrong byte order shows.
Answer distinctParams(uint16_t crc)
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
    params.crc16 = crc;
    return syncWith(params);
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
    EXPECT_EQ(rawUnits(run), (std::vector<Bytes>{{0x06}, kHandshakeEcho}));
}

// The transfer's count requests (one more once everything was taken, or none was), its
// retrievals, and no measurement handed over.
std::function<void(SimRun &, HostRecorder &)> countOnly(std::size_t retrievals,
                                                        std::size_t counts = 1)
{
    return [retrievals, counts](SimRun &run, HostRecorder &host) {
        EXPECT_EQ(run.tap.hostFrames(0xB0).size(), counts);
        EXPECT_EQ(run.tap.hostFrames(0xB1).size(), retrievals);
        EXPECT_EQ(host.count(EV_MEASUREMENT), 0);
    };
}

const std::vector<lumo_Event> kSyncWritten = {EV_REQUEST_ACTION, EV_PARAMS_UPDATED, EV_SYNC_DONE,
                                              EV_REQUEST_ACTION};
const std::vector<lumo_Event> kTransfer = {EV_REQUEST_ACTION, EV_TRANSFER_DONE, EV_REQUEST_ACTION};
const std::vector<Answer> kTransferThenExit = {act(DATA_TRANSFER), act(EXIT)};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    TcpConversation, Action,
    testing::Values(
        // An untouched record holds CRC 0, not the device's 0x1234: status, clock, and a
        // parameter block of zeros.
        ActionCase{"UntouchedRecordSyncs", {Answer{0, {}, 0, true}, act(EXIT)}, 0, 0, 0,
                   kSyncWritten,
                   [](SimRun &run, HostRecorder &) {
                       EXPECT_EQ(run.tap.hostFrames(0xA4).at(0).raw,
                                 (Bytes{0x02, 0x00, 0x01, 0x00, 0x02, 0xA4, 0xA5}));
                       Bytes zeroBlock = {0x02, 0x00, 0x02, 0x00, 0x60, 0xA2};
                       zeroBlock.insert(zeroBlock.end(), 94, 0x00);
                       zeroBlock.push_back(0xC2);
                       EXPECT_EQ(run.tap.hostFrames(0xA2).at(0).raw, zeroBlock);
                   }},
        ActionCase{"SyncWithEqualCrcsOnlyReadsTheStatus", {distinctParams(0x1234), act(EXIT)}, 0, 0, 0,
                   {EV_REQUEST_ACTION, EV_SYNC_DONE, EV_REQUEST_ACTION},
                   [](SimRun &run, HostRecorder &host) {
                       EXPECT_EQ(run.tap.hostFrames(0xA4).size(), 1u);
                       EXPECT_TRUE(run.tap.hostFrames(0xA1).empty());
                       EXPECT_TRUE(run.tap.hostFrames(0xA2).empty());
                       expectStatus(host);
                   }},
        ActionCase{"SyncWithDifferentCrcsWritesClockAndParameters", {distinctParams(0x00AF), act(EXIT)}, 0, 0, 0,
                   kSyncWritten,
                   [](SimRun &run, HostRecorder &host) {
                       expectStatus(host);
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
        ActionCase{"ParameterBytesBeyondOneRecordAreIgnored", {Answer{SYNC, Bytes(kAnswerDataSize, 0x5A), kAnswerDataSize}, act(EXIT)}, 0, 0, 0,
                   kSyncWritten,
                   [](SimRun &run, HostRecorder &) {
                       EXPECT_EQ(run.tap.hostFrames(0xA2).at(0).data,
                                 paramBlock(Bytes(60, 0x5A), 0x5A5A));
                   }},
        ActionCase{"ExitSendsNothing", {act(EXIT)}, 2, 1, 10,
                   {EV_REQUEST_ACTION},
                   [](SimRun &run, HostRecorder &host) {
                       ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));
                       expectOnlyHandshake(run, host);
                       EXPECT_GE(run.tap.hostClosedAtMs() - host.eventsOf(EV_DEVICE_ADDED)[0].atMs,
                                 kIntervalMs - kIdleSlackMs);
                   }},
        // Asked again after each of them; only the handshake went out.
        ActionCase{"OutsideTheActionsAndCalibrationSendNothing", {act(6), act(0xFFFFFFFF), act(CALIBRATION), act(EXIT)}, 1, 1, 10,
                   std::vector<lumo_Event>(4, EV_REQUEST_ACTION),
                   expectOnlyHandshake},
        // The count as the device sends it: 0 and 0x8000 and more mean nothing stored;
        // 0xFFFF cannot be told from a failed request and fails the transfer.
        ActionCase{"Count0", kTransferThenExit, 0, 0, 0, kTransfer, countOnly(0)},
        ActionCase{"Count32768", kTransferThenExit, 0x8000, 0, 0, kTransfer, countOnly(0)},
        ActionCase{"Count65535", kTransferThenExit, 0xFFFF, 0, 0,
                   {EV_REQUEST_ACTION, EV_ACTION_FAILED, EV_REQUEST_ACTION},
                   countOnly(0)},
        // No blocks and no samples: fetched, but not reported; the count asked again.
        ActionCase{"MeasurementsWithoutCounts", kTransferThenExit, 2, 0, 0, kTransfer,
                   countOnly(2, 2)}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

// The key lines of an exchange in the "default" category, in the order they come.
TEST(LogLines, TheExchangeNarratesEachStep)
{
    if (!QLoggingCategory::defaultCategory()->isInfoEnabled())
        GTEST_SKIP() << "info lines are switched off by the logging rules";
    LogCapture capture;
    HostRecorder host;
    host.accept(kDinText);
    host.script(kDinText, {distinctParams(0x00AF), act(DATA_TRANSFER), act(CALIBRATION)});
    auto channel = tcpChannel(host);
    SimRun run(oneDevice(device(kDin, 2, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 4, kEventWaitMs)) << host.trace();
    channel->stop();
    std::vector<std::string> all;
    for (const QString &line : capture.linesOf(QtInfoMsg))
        all.push_back(line.toStdString());
    const std::string din = "\"000-001-234\"", separator(81, '-');
    auto at = all.begin();
    for (const std::string &line :
         {std::string("_threadExchange start"), separator, "Added deviced  " + din,
          "state EXCHANGE_REQUEST_ACTION for DIN: " + din,
          " >>> RequestAction::SYNC for DIN: " + din, "state EXCHANGE_START_SYNC for DIN: " + din,
          std::string("doSyncParams rxCrc16 \"1234\" Crd16 \"00AF\""),
          " >>> RequestAction::DATA_TRANSFER for DIN: " + din,
          "state EXCHANGE_START_DATA_TRANSFER for DIN: " + din,
          std::string("Exchange::doDataTransfer 1 of 2"),
          std::string("Exchange::doDataTransfer 2 of 2"),
          " >>> RequestAction::CALIBRATION for DIN: " + din,
          " >>> RequestAction::EXIT for DIN: " + din, std::string("_threadExchange exit")}) {
        at = std::find(at, all.end(), line);
        ASSERT_NE(at, all.end()) << "missing or out of order: " << line;
    }
    // The device's entry opens with a separator line.
    EXPECT_EQ(*(std::find(all.begin(), all.end(), "Added deviced  " + din) - 1), separator);
}

} // namespace
} // namespace e2e

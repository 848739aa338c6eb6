// The exchange driven over a scripted transport: answers the simulator never sends,
// failures mid-action, stops between two steps.
#include "Fixtures.h"
#include "ScriptedTransport.h"
#include "exchange/Exchange.h"
#include "exchange/ExchangeContext.h"
#include "exchange/ExchangeThread.h"

#include <gtest/gtest.h>

#include <cstring>

namespace e2e {
namespace {

using namespace liblumo;

const QString kDin = QStringLiteral("000-001-234");
const QByteArray kAck("\x06", 1);
const QByteArray kNak("\x15", 1);

// A frame from its parts, with the LRC the test computes itself.
QByteArray frame(uint16_t packet, uint8_t command, const Bytes &data)
{
    QByteArray bytes("\x02", 1);
    for (const int byte : {packet >> 8, packet & 0xFF, int(data.size() + 2) >> 8,
                           int(data.size() + 2) & 0xFF, int(command)})
        bytes.append(char(byte));
    bytes.append(reinterpret_cast<const char *>(data.data()), int(data.size()));
    char lrc = 0;
    for (const char byte : bytes)
        lrc ^= byte;
    return bytes + lrc;
}

// An exchange context wired to a scripted device, as the channel leaves it.
struct Harness {
    Harness()
    {
        protocol.link().setStopSignal(&stop);
        protocol.link().setTransport(&transport);
        devices.openLink(1, nullptr);
        context.protocol = &protocol;
        context.devices = &devices;
        context.records = &records;
        context.callback = &HostRecorder::callback;
        context.user = &host;
        context.stop = &stop;
        context.connectionId = 1;
    }

    // Frames the library wrote, in order (single ACK/NAK bytes left out).
    std::vector<QByteArray> frames() const
    {
        std::vector<QByteArray> found;
        for (const QByteArray &written : transport.writes())
            if (written.size() > 1)
                found.push_back(written);
        return found;
    }

    HostRecorder host;
    test::ScriptedTransport transport;
    com::StopSignal stop;
    Protocol protocol;
    DeviceTable devices;
    EventRecordPool records;
    ExchangeContext context;
};

TEST(ExchangeLogic, ConfirmDeviceRaisesAZeroedRecordWithTheDin)
{
    EXPECT_FALSE(confirmDevice(kDin, nullptr)); // without context: refused, nothing raised
    Harness harness;
    harness.host.accept();
    bool clean = false;
    harness.host.setHook([&](lumo_Event, lumo_EventData &data) {
        // Everything but the DIN and the host's own answer is zero.
        lumo_EventData expected{};
        std::memcpy(expected.din, "000-001-234", 11);
        expected.answer = data.answer;
        clean = std::memcmp(&expected, &data, sizeof data) == 0;
    });
    EXPECT_TRUE(confirmDevice(kDin, &harness.context));
    EXPECT_TRUE(clean);
    EXPECT_EQ(harness.host.count(EV_DEVICE_HANDSHAKE, "000-001-234"), 1);
}

// A count answer the device got wrong is a failed transfer, never "done": the answer of
// another command, or one byte instead of two.
TEST(ExchangeLogic, BadCountAnswerFailsTheTransfer)
{
    for (const char *answer : {"0200010004B10300B5", "0200010003B003B3"}) {
        Harness harness;
        harness.transport.replyToNextFrames({kAck + QByteArray::fromHex(answer)});
        EXPECT_FALSE(Exchange::doDataTransfer(harness.context, kDin));
        EXPECT_EQ(harness.frames(), std::vector<QByteArray>{QByteArray::fromHex("0200000002B0B0")});
        EXPECT_EQ(harness.host.count(EV_MEASUREMENT), 0);
    }
}

TEST(ExchangeLogic, StopBetweenMeasurementsEndsTheTransferAsFailed)
{
    Harness harness;
    // Count 2; the first measurement: header with one block, then the block of 2 samples.
    const QByteArray header =
        frame(2, 0x81, {0x01, 0x00, 0x5E, 0xDB, 0x62, 0x61, 0x07, 0x02, 0x00, 0x02, 0x00});
    const QByteArray block = frame(3, 0x82, {0x01, 0x34, 0x12, 0x78, 0x56});
    harness.transport.replyToNextFrames(
        {kAck + frame(1, 0xB0, {0x02, 0x00}), kAck + header + block});
    harness.host.setHook([&](lumo_Event event, lumo_EventData &) {
        if (event == EV_MEASUREMENT)
            harness.stop.raise();
    });

    EXPECT_FALSE(Exchange::doDataTransfer(harness.context, kDin));
    // The measurement that was complete was handed over, whole; no second retrieval.
    const auto measurements = harness.host.eventsOf(EV_MEASUREMENT);
    ASSERT_EQ(measurements.size(), 1u);
    Measurement first;
    std::memcpy(&first, measurements[0].measurement.data(), sizeof first);
    EXPECT_EQ(std::vector<uint32_t>({first.dtime.packed, first.typeset, first.ns, first.nss,
                                     first.samples[0], first.samples[1]}),
              std::vector<uint32_t>({0x6162DB5Eu, 7, 2, 2, 0x1234, 0x5678}));
    EXPECT_EQ(harness.frames().size(), 2u); // count and one retrieval request
}

// A sync whose status cannot be read writes nothing; one whose clock is refused keeps the
// status it read; neither sends parameters.
TEST(ExchangeLogic, SyncFailingMidwaySendsNoParameters)
{
    // Status: size 001C, 32a, 32b, 16a, clock 2024-05-17 13:45:30, 16b 1..7.
    const QByteArray status =
        frame(2, 0xA4, {0x00, 0x1C, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                        0x03, 0x00, 0x5E, 0xDB, 0x62, 0x61, 0x01, 0x00, 0x02, 0x00,
                        0x03, 0x00, 0x04, 0x00, 0x05, 0x00, 0x06, 0x00, 0x07, 0x00});
    for (const bool statusRead : {false, true}) {
        Harness harness;
        harness.transport.replyToNextFrames({statusRead ? kAck + status : kNak, kNak, kNak, kNak});
        std::vector<uint8_t> payload(sizeof(DeviceStatus), 0xCC);
        DeviceParams params{};
        params.crc16 = 0x00AF;
        EXPECT_FALSE(Exchange::doSyncParams(harness.context, kDin, 0x1234, payload.data(), params));
        DeviceStatus read;
        std::memcpy(&read, payload.data(), sizeof read);
        EXPECT_EQ(std::vector<uint32_t>(
                      {read.status32a, read.status32b, read.status16a, read.status16b[6]}),
                  statusRead ? std::vector<uint32_t>({1, 2, 3, 7})
                             : std::vector<uint32_t>({0xCCCCCCCC, 0xCCCCCCCC, 0xCCCC, 0xCCCC}));
        std::vector<int> commands;
        for (const QByteArray &written : harness.frames())
            commands.push_back(uint8_t(written[5]));
        EXPECT_EQ(commands, statusRead ? std::vector<int>({0xA4, 0xA1, 0xA1, 0xA1})
                                       : std::vector<int>({0xA4, 0xA4, 0xA4}));
        EXPECT_EQ(harness.host.count(EV_PARAMS_UPDATED), 0);
    }
}

// A lost connection or a stop request ends the exchange before its first turn.
TEST(ExchangeLogic, ExchangeEndsAtOnceWhenLostOrStopped)
{
    for (const bool lost : {true, false}) {
        SCOPED_TRACE(lost);
        Harness harness;
        harness.host.accept();
        if (lost)
            harness.transport.setConnected(false);
        else
            harness.stop.raise();
        harness.transport.feed(frame(1, 0x01, Bytes(12, 0x00)));
        EXPECT_EQ(_threadExchange(&harness.context), nullptr);
        EXPECT_EQ(harness.transport.disconnects(), 1);
        EXPECT_TRUE(harness.transport.writes().empty());
        EXPECT_TRUE(harness.host.events().empty());
    }
}

} // namespace
} // namespace e2e

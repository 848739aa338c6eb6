// The device commands and their log lines.
#include "ProtocolFixture.h"

#include <QDateTime>

#include <cstring>
#include <functional>
#include <string>

namespace liblumo::test {

using Commands = ProtocolTest;

// Each command's frame (after dropping stale input), and the answer it needs; NAK or silence
// repeats the frame, three attempts at most, so without an ACK every command fails and never
// waits for an answer.
TEST(CommandFrames, CarryTheirDataAndNeedTheRightAnswer)
{
    const QDateTime clock(QDate(2024, 3, 5), QTime(14, 7, 9), Qt::UTC);
    const QByteArray sleep = hex("02 00 00 00 03 91 01 91"), ack = hex("06"), nak = hex("15");
    const QByteArray countRequest = hex("02 00 00 00 02 B0 B0");
    QByteArray answer;
    using Call = std::function<bool(Protocol &)>;
    const Call doSleep = [](Protocol &p) { return p.doSleep(); };
    int counted = 0; // the measurement counts that did not fail (0xFFFF), summed
    const Call count = [&](Protocol &p) {
        const int n = p.getAvailableMeasurement(1000);
        counted += n == 0xFFFF ? 0 : n;
        return n != 0xFFFF;
    };
    const struct {
        Call call;
        Bytes replies; // the device's answer to each frame written
        bool result;
        QByteArray wire; // everything written, in order
    } cases[] = {
        // clang-format off
        {[&](Protocol &p) { return p.setDateTime(clock); }, {ack}, true,
         hex("02 00 00 00 09 A1 18 03 05 0E 07 09 02 B6")},
        {doSleep, {ack}, true, sleep},
        {doSleep, {nak, nak, nak, ack}, false, sleep + sleep + sleep},
        {doSleep, {QByteArray(), ack}, true, sleep + sleep},
        // A stale frame where the ACK is awaited is dropped whole; one cut short fails.
        {doSleep, {deviceFrame(1, 0xB0, hex("01 06")) + ack}, true, sleep},
        {doSleep, {hex("02 00 01"), hex("02 00 01 00 03 06"), nak}, false, sleep + sleep + sleep},
        {[](Protocol &p) { return p.sendKeepAlive(0, 1000); }, {ack + deviceFrame(3, 0xF1)}, true,
         hex("02 00 00 00 0C F1 30 30 30 30 30 30 30 30 30 30 FF 06")},
        {[](Protocol &p) { return p.sendKeepAlive(42, 1000); }, {ack + deviceFrame(4, 0x92, hex("01"))},
         false, hex("02 00 00 00 0C F1 30 30 30 30 30 30 30 30 34 32 F9 15")},
        {[](Protocol &p) { return p.sendKeepAlive(4294967295u, 1000); }, {ack}, false,
         hex("02 00 00 00 0C F1 34 32 39 34 39 36 37 32 39 35 F2")},
        {[&](Protocol &p) { return p.sendRealTimeCommand(5, {}, answer, 1000); },
         {ack + deviceFrame(9, 0xF1, hex("01"))}, false, hex("02 00 00 00 03 92 05 96 15")},
        {[&](Protocol &p) { return p.sendRealTimeCommand(5, hex("10 20"), answer, 1000); },
         {ack + deviceFrame(8, 0x92, hex("AA BB"))}, true, hex("02 00 00 00 05 92 05 10 20 A0 06")},
        // The measurement count: little-endian, 0xFFFF for a short, wrong or missing answer;
        // an answer of another kind is refused, not acknowledged.
        {count, {ack + hex("02 00 00 00 04 B0 02 01 B5")}, true, countRequest + ack},
        {count, {ack + deviceFrame(1, 0xB0, hex("FE FF"))}, true, countRequest + ack},
        {count, {ack + deviceFrame(1, 0xB0, hex("02"))}, false, countRequest + ack},
        {count, {ack + deviceFrame(1, 0xB1, hex("02 00"))}, false, countRequest + hex("15")},
        {count, {ack}, false, countRequest},
        // clang-format on
    };
    LogCapture log;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.wire.toHex().toStdString());
        for (bool acknowledged : {true, false}) {
            ScriptedTransport device;
            Protocol protocol;
            protocol.link().setTransport(&device);
            device.replyToNextFrames(acknowledged ? c.replies : Bytes());
            EXPECT_EQ(c.call(protocol), acknowledged && c.result);
            const QByteArray frame = device.writes().front();
            EXPECT_EQ(device.wire(), acknowledged ? c.wire : frame + frame + frame);
            EXPECT_EQ(device.events().front(), "discard");
            // Before every frame and every NAK.
            EXPECT_EQ(device.discards(),
                      int(std::count_if(device.writes().begin(), device.writes().end(),
                                        [](const QByteArray &w) {
                                            return w.size() > 1 || w == QByteArray("\x15", 1);
                                        })));
            if (!acknowledged) {
                EXPECT_EQ(device.readSizes().size(), 3u);
            }
        }
    }
    EXPECT_EQ(answer, hex("AA BB"));
    EXPECT_EQ(counted, 258 + 0xFFFE);
    EXPECT_EQ(log.count("Protocol::getAvailableMeasurement nMeasurement: -2"), 1); // signed
    EXPECT_EQ(log.count("Protocol::waitAck stale frame dropped - command: \"B0\""), 1);
    const std::string text = logText(log), separator(81, '-');
    EXPECT_NE(text.find("Protocol::waitAck ERROR: \"15\" %T\nProtocol::send waitAck error!\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(0, text.find("Protocol::doSleep")), separator + R"(
Protocol::setDateTime send request
Protocol::send command: "A1"
Protocol::waitAck OK: "06" %T
Protocol::setDateTime result: true
)" + separator + R"(
Protocol::setDateTime send request
Protocol::send command: "A1"
Protocol::waitAck ERROR: "" %T
Protocol::send waitAck error!
Protocol::waitAck ERROR: "" %T
Protocol::send waitAck error!
Protocol::waitAck ERROR: "" %T
Protocol::send waitAck error!
Protocol::send ERROR!
Protocol::setDateTime result: false
)" + separator + "\n");
}

// The parameter block: 94 bytes numbered 0x01.. (little-endian fields), the reserved bytes,
// CRC 0xCDAB.
QByteArray paramsBlock(char reserved)
{
    QByteArray block;
    for (int i = 0; i < 60; ++i)
        block.append(char(i + 1));
    return block + QByteArray(32, reserved) + hex("AB CD");
}

// Read, the block fills every field but the reserved bytes; written back, it goes out with
// them zero.
TEST_F(Commands, DeviceParamsAreReadAndWrittenFieldByField)
{
    LogCapture log;
    device.setAutoAck(true);
    const QByteArray answer = hex("00 5E") + paramsBlock(char(0xEE));
    DeviceParams params{};
    params.crc16 = 0x1111;
    for (const QByteArray &bad : {deviceFrame(1, 0xA3, answer.left(95)),
                                  deviceFrame(1, 0xA4, answer), deviceFrame(1, 0xA3, hex("00"))}) {
        device.feed(bad);
        EXPECT_FALSE(protocol->getDeviceParams(params, 1000));
    }
    EXPECT_EQ(std::make_pair(int(params.crc16), params.param32a), std::make_pair(0x1111, 0u));
    device.feed(deviceFrame(1, 0xA3, answer));
    std::memset(params.reserved, 0x5A, sizeof params.reserved);
    EXPECT_TRUE(protocol->getDeviceParams(params, 1000));
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 02 A3 A3"));
    const DeviceParams &p = params;
    EXPECT_EQ((std::vector<uint32_t>{p.param16a[0], p.param16a[4], p.param32a, p.param32b,
                                     p.param16b, p.param32c, p.param16c[0], p.param16c[5],
                                     p.param32d[0], p.param32d[5], p.crc16}),
              (std::vector<uint32_t>{0x0201, 0x0A09, 0x0E0D0C0B, 0x1211100F, 0x1413, 0x18171615,
                                     0x1A19, 0x2423, 0x28272625, 0x3C3B3A39, 0xCDAB}));
    EXPECT_EQ(std::count(std::begin(p.reserved), std::end(p.reserved), 0x5A),
              int(sizeof p.reserved));
    EXPECT_TRUE(protocol->setDeviceParams(params, 30000));
    EXPECT_EQ(device.writes().back(), deviceFrame(1, 0xA2, paramsBlock(0)));
    // None for one byte, nor for a frame of another kind (refused).
    EXPECT_EQ(log.count("Protocol::getDeviceParams configSize  94"), 2);
}

TEST_F(Commands, GetDeviceStatusReadsTheClockAsUtcOrFailsKeepingTheRecord)
{
    LogCapture log;
    EXPECT_FALSE(protocol->setDateTime(QDateTime())); // an invalid clock is not sent
    EXPECT_TRUE(device.writes().empty());
    device.setAutoAck(true);
    // 2024-01-02 03:04:05 packed: 24 << 26 | 1 << 22 | 2 << 17 | 3 << 12 | 4 << 6 | 5.
    const QByteArray answer = hex("00 1C  01 02 03 04  05 06 07 08  09 0A  05 31 44 60  10 11 12 "
                                  "13 14 15 16 17 18 19 1A 1B 1C 1D");
    DeviceStatus status{};
    status.status32a = 99;
    device.feed(deviceFrame(2, 0xA4, answer.left(29)));
    EXPECT_FALSE(protocol->getDeviceStatus(status, 1000));
    device.feed(deviceFrame(2, 0xA3, answer));
    EXPECT_FALSE(protocol->getDeviceStatus(status, 1000));
    EXPECT_FALSE(protocol->getDeviceStatus(status, 1000)); // no answer
    EXPECT_EQ(std::make_pair(status.status32a, status.deviceTime), std::make_pair(99u, 0u));
    EXPECT_EQ(log.count("Protocol::getDeviceStatus configSize: 28"), 1);
    EXPECT_EQ(device.writes().size(), 5u); // three requests, one answer acknowledged, one refused
    device.feed(deviceFrame(2, 0xA4, answer));
    EXPECT_TRUE(protocol->getDeviceStatus(status, 1000));
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 02 A4 A4"));
    // In UTC, the zone the clock is written in: 1704164645 is 2024-01-02T03:04:05Z.
    EXPECT_EQ(status.deviceTime, 1704164645u);
    EXPECT_EQ((std::vector<uint32_t>{status.status32a, status.status32b, status.status16a,
                                     status.status16b[0], status.status16b[6]}),
              (std::vector<uint32_t>{0x04030201, 0x08070605, 0x0A09, 0x1110, 0x1D1C}));
}

// The handshake is acknowledged, then echoed (same packet, command and data), once the host
// accepts its DIN; a refused, short or unusable one gets no answer at all. A frame of another
// kind is refused and not handed out.
TEST(Handshake, IsAnsweredOnlyWhenTheHostAcceptsAValidDin)
{
    // DIN 1234, clock 2024-03-05 14:07:09, word 0xBEEF, CRC 0x1234, packet 7.
    const QByteArray handshake = hex("02 00 07 00 0E 01 D2 04 00 00 C9 E1 CA 60 EF BE 34 12 29");
    const QByteArray largest = deviceFrame(1, 0x01, hex("FF C9 9A 3B") + QByteArray(8, '\0'));
    const struct {
        QByteArray input;
        bool accept, acknowledged, result;
        const char *seen, *din;  // what the host was asked, the DIN handed out
        std::vector<int> fields; // other command, word, CRC
        QByteArray wire;
    } cases[] = {
        // clang-format off
        {handshake, true, true, true, "000-001-234", "000-001-234", {0, 0xBEEF, 0x1234}, hex("06") + handshake},
        {handshake, false, true, false, "000-001-234", "", {0, 0xBEEF, 0x1234}, {}},
        {handshake, true, false, false, "000-001-234", "000-001-234", {0, 0xBEEF, 0x1234},
         hex("06") + handshake + handshake + handshake},
        {largest, true, true, true, "999-999-999", "999-999-999", {0, 0, 0}, hex("06") + largest},
        // 1000000000 would lose its last digit and pass for 100-000-000.
        {deviceFrame(1, 0x01, hex("00 CA 9A 3B") + QByteArray(8, '\0')), true, true, false, "", "", {0, 0, 0}, {}},
        {deviceFrame(1, 0x01, hex("D2 04 00 00 C9 E1 CA 60 EF BE 34")), true, true, false, "", "", {0, 0, 0}, {}},
        {deviceFrame(2, 0xB0, hex("05 00")), true, true, false, "", "", {0, 0, 0}, hex("15")},
        {{}, true, true, false, "", "", {0, 0, 0}, {}},
        // clang-format on
    };
    const auto decide = [](const QString &din, void *user) {
        auto *d = static_cast<std::pair<bool, QString> *>(user);
        d->second = din;
        return d->first;
    };
    LogCapture log;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input.toHex().toStdString());
        ScriptedTransport device;
        Protocol protocol;
        protocol.link().setTransport(&device);
        device.feed(c.input);
        device.setAutoAck(c.acknowledged);
        std::pair<bool, QString> decision{c.accept, {}}; // the host's answer, the DIN it saw
        QString din("old");
        uint16_t word = 0, crc = 0;
        uint8_t otherCommand = 0xEE;
        QByteArray otherData;
        EXPECT_EQ(
            protocol.waitHandshake(din, word, crc, decide, &decision, otherCommand, otherData, -1),
            c.result);
        EXPECT_EQ(decision.second, QString(c.seen));
        EXPECT_EQ(din, QString(c.din));
        EXPECT_EQ(device.wire(), c.wire);
        EXPECT_EQ((std::vector<int>{otherCommand, word, crc}), c.fields);
        EXPECT_TRUE(otherData.isEmpty());
    }
    EXPECT_EQ(
        log.count("Protocol::waitHandshake - year: 24 month: 3 day: 5 hour: 14 min: 7 sec: 9"), 1);
    // The device missed the ACK of its handshake and sends it again while the echo waits
    // for its ACK: the repeat is acknowledged again, then the echo's ACK comes.
    ScriptedTransport device;
    Protocol protocol;
    protocol.link().setTransport(&device);
    device.feed(handshake);
    device.replyToNextFrames({handshake + hex("06")});
    std::pair<bool, QString> decision{true, {}};
    QString din;
    uint16_t word = 0, crc = 0;
    uint8_t otherCommand = 0;
    QByteArray otherData;
    EXPECT_TRUE(
        protocol.waitHandshake(din, word, crc, decide, &decision, otherCommand, otherData, -1));
    EXPECT_EQ(device.wire(), hex("06") + handshake + hex("06"));
}

} // namespace liblumo::test

// The protocol's log lines as a reader of the Qt message log sees them.
#include "ProtocolFixture.h"

namespace liblumo::test {
namespace {

using LogLines = ProtocolTest;

const QString kSeparator = QString(81, QLatin1Char('-'));

TEST_F(LogLines, SendAndAcknowledgement)
{
    LogCapture log;
    device.setAutoAck(true);
    EXPECT_TRUE(protocol->setDateTime(QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9))));
    ASSERT_GE(log.lines().size(), 5);
    EXPECT_EQ(log.lines()[0], kSeparator);
    EXPECT_EQ(log.lines()[1], "Protocol::setDateTime send request");
    EXPECT_EQ(log.lines()[2], "Protocol::send command: \"A1\"");
    EXPECT_TRUE(log.lines()[3].startsWith("Protocol::waitAck OK: \"06\" rxTime: "));
    EXPECT_TRUE(log.lines()[3].endsWith(" ms"));
    EXPECT_EQ(log.lines().last(), "Protocol::setDateTime result: true");
}

TEST_F(LogLines, FailedSend)
{
    LogCapture log;
    device.replyToNextFrames({hex("15")});
    EXPECT_FALSE(protocol->doSleep());
    EXPECT_TRUE(log.lines()[3].startsWith("Protocol::waitAck ERROR: \"15\" rxTime: "));
    EXPECT_TRUE(log.lines()[5].startsWith("Protocol::waitAck ERROR: \"\" rxTime: "));
    EXPECT_EQ(log.lines().count("Protocol::send waitAck error!"), 3);
    EXPECT_EQ(log.lines().last(), "Protocol::send ERROR!");
}

TEST_F(LogLines, ReceiveSuccessAndBadLrc)
{
    LogCapture log;
    device.feed(corrupted(hex("02 00 05 00 04 A4 01 02 A4")));
    device.feed(hex("02 00 05 00 04 A4 01 0A AC"));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 2);
    EXPECT_TRUE(log.contains("Protocol::receive bad LRC: \"A4\" rxLRC: \"FE\""));
    EXPECT_TRUE(log.contains("Protocol::sendNak"));
    const int received = log.lines().indexOf(QRegExp("Protocol::receive command: \"A4\" "
                                                     "nrPacket: 5 rxTime: \\d+ ms"));
    ASSERT_GE(received, 0);
    EXPECT_EQ(log.lines()[received - 1], "Protocol::sendAck");
    EXPECT_EQ(log.lines()[received + 1], "Protocol::receive data: \"010A\"");
}

TEST_F(LogLines, ReceiveFailures)
{
    {
        LogCapture log;
        device.feed(hex("02 00 01"));
        uint8_t command = 0;
        QByteArray data;
        EXPECT_EQ(protocol->receive(command, data, 1000), -1);
        ASSERT_EQ(log.lines().size(), 2);
        EXPECT_TRUE(log.lines()[0].startsWith("Protocol::receive FORMAT ERROR! rxTime: "));
        EXPECT_TRUE(log.lines()[1].startsWith("Protocol::receive ERROR! rxTime: "));
    }
    {
        // Noise before the frame start, and the time-out -1: neither line.
        LogCapture log;
        device.feed(hex("FF 02 00 01"));
        uint8_t command = 0;
        QByteArray data;
        EXPECT_EQ(protocol->receive(command, data, -1), -1);
        EXPECT_TRUE(log.lines().isEmpty());
    }
}

TEST_F(LogLines, MeasurementLines)
{
    LogCapture log;
    device.setAutoAck(true);
    device.feed(deviceFrame(1, 0x81, hex("01 00 C9 E1 CA 60 07 02 01 04 03")));
    QByteArray blockData(1, char(1));
    blockData.append(QByteArray(200, char(0x11)));
    device.feed(deviceFrame(2, 0x82, blockData));
    auto record = std::make_unique<Measurement>();
    int samples = 0;
    EXPECT_TRUE(protocol->retriveNextMeasurement(*record, 1000, samples));
    EXPECT_EQ(samples, 100);
    EXPECT_TRUE(log.contains("Protocol::receiveMeasuremen - ms->dtime: year: 24 month: 3 day: 5 "
                             "hour: 14 min: 7 sec: 9"));
    EXPECT_TRUE(log.contains("Protocol::receiveMeasuremen - ms->typeset: 7"));
    EXPECT_TRUE(log.contains("Protocol::receiveMeasuremen - ms->ns: 258"));
    EXPECT_TRUE(log.contains("Protocol::receiveMeasuremen - ms->nss: 772"));
    EXPECT_TRUE(log.contains("Protocol::receiveMeasurement totBlocks: 1"));
    EXPECT_GE(log.lines().indexOf(QRegExp("Protocol::receiveMeasurement ss: 100  block: 1 "
                                          "rxTime: \\d+ ms")),
              0);
    EXPECT_TRUE(log.contains("Protocol::receiveMeasurement rxResult: 201"));
    EXPECT_EQ(log.lines().last(), "Protocol::retriveNextMeasurement complete - result: true");
}

TEST_F(LogLines, CountAndConfigSize)
{
    LogCapture log;
    device.setAutoAck(true);
    device.feed(deviceFrame(1, 0xB0, hex("FE FF")));
    EXPECT_EQ(protocol->getAvailableMeasurement(1000), 0xFFFE);
    EXPECT_TRUE(log.contains("Protocol::getAvailableMeasurement nMeasurement: -2"));
    device.feed(deviceFrame(1, 0xA4, hex("00 1C 00")));
    DeviceStatus status{};
    EXPECT_FALSE(protocol->getDeviceStatus(status, 1000));
    EXPECT_TRUE(log.contains("Protocol::getDeviceStatus configSize: 28"));
    device.feed(deviceFrame(1, 0xA3, hex("00")));
    DeviceParams params{};
    EXPECT_FALSE(protocol->getDeviceParams(params, 1000));
    EXPECT_FALSE(log.lines().filter("configSize ").size() > 0); // one byte: nothing to show
}

TEST_F(LogLines, HandshakeClock)
{
    LogCapture log;
    device.setAutoAck(true);
    device.feed(hex("02 00 07 00 0E 01 D2 04 00 00 C9 E1 CA 60 EF BE 34 12 29"));
    QString din;
    uint16_t word = 0;
    uint16_t crc = 0;
    uint8_t other = 0;
    QByteArray otherData;
    EXPECT_TRUE(protocol->waitHandshake(
        din, word, crc, [](const QString &, void *) { return true; }, nullptr, other, otherData,
        -1));
    EXPECT_EQ(log.lines().last(),
              "Protocol::waitHandshake - year: 24 month: 3 day: 5 hour: 14 min: 7 sec: 9");
}

} // namespace
} // namespace liblumo::test

// Clock, parameter block and status block commands.
#include "ProtocolFixture.h"

#include <QDateTime>

#include <cstring>
#include <ctime>

namespace liblumo::test {
namespace {

using Config = ProtocolTest;

// The parameter answer: size prefix 00 5E, then 94 bytes numbered 0x01.. (little-endian
// fields), the reserved bytes 0xEE, CRC 0xCDAB.
QByteArray paramsAnswer()
{
    QByteArray block;
    for (int i = 0; i < 60; ++i)
        block.append(char(i + 1));
    block.append(QByteArray(32, char(0xEE)));
    block.append(hex("AB CD"));
    return hex("00 5E") + block;
}

TEST_F(Config, SetDateTimeSendsSevenBytesWithWeekday)
{
    device.setAutoAck(true);
    EXPECT_TRUE(protocol->setDateTime(QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9), Qt::UTC)));
    EXPECT_EQ(device.wire(), hex("02 00 00 00 09 A1 18 03 05 0E 07 09 02 B6"));
}

TEST_F(Config, SetDateTimeRefusesAnInvalidValueAndReportsMissingAck)
{
    EXPECT_FALSE(protocol->setDateTime(QDateTime()));
    EXPECT_TRUE(device.writes().empty());
    EXPECT_FALSE(protocol->setDateTime(QDateTime(QDate(2024, 3, 5), QTime(1, 2, 3))));
    EXPECT_EQ(device.writes().size(), 3u);
}

TEST_F(Config, SetDeviceParamsSendsTheBlockWithReservedBytesZero)
{
    DeviceParams params{};
    for (int i = 0; i < 5; ++i)
        params.param16a[i] = uint16_t(0x0101 * (i + 1));
    params.param32a = 0x44332211;
    params.param32b = 0x88776655;
    params.param16b = 0xAA99;
    params.param32c = 0xEEDDCCBB;
    for (int i = 0; i < 6; ++i) {
        params.param16c[i] = uint16_t(0x1000 + i);
        params.param32d[i] = uint32_t(0x20000000 + i);
    }
    std::memset(params.reserved, 0x77, sizeof params.reserved);
    params.crc16 = 0xBEEF;
    device.setAutoAck(true);
    EXPECT_TRUE(protocol->setDeviceParams(params, 30000));

    const QByteArray frame = device.writes().front();
    ASSERT_EQ(frame.size(), 94 + 7);
    EXPECT_EQ(frame.left(6), hex("02 00 00 00 60 A2"));
    const QByteArray block = frame.mid(6, 94);
    EXPECT_EQ(block.left(10), hex("01 01 02 02 03 03 04 04 05 05"));
    EXPECT_EQ(block.mid(10, 10), hex("11 22 33 44 55 66 77 88 99 AA"));
    EXPECT_EQ(block.mid(20, 4), hex("BB CC DD EE"));
    EXPECT_EQ(block.mid(24, 12), hex("00 10 01 10 02 10 03 10 04 10 05 10"));
    EXPECT_EQ(block.mid(36, 8), hex("00 00 00 20 01 00 00 20"));
    EXPECT_EQ(block.mid(56, 4), hex("05 00 00 20"));
    EXPECT_EQ(block.mid(60, 32), QByteArray(32, '\0'));
    EXPECT_EQ(block.mid(92, 2), hex("EF BE"));
}

TEST_F(Config, GetDeviceParamsFillsEverythingButReserved)
{
    device.setAutoAck(true);
    device.feed(deviceFrame(1, 0xA3, paramsAnswer()));
    DeviceParams params{};
    std::memset(params.reserved, 0x5A, sizeof params.reserved);
    EXPECT_TRUE(protocol->getDeviceParams(params, 1000));
    EXPECT_EQ(params.param16a[0], 0x0201);
    EXPECT_EQ(params.param16a[4], 0x0A09);
    EXPECT_EQ(params.param32a, 0x0E0D0C0Bu);
    EXPECT_EQ(params.param32b, 0x1211100Fu);
    EXPECT_EQ(params.param16b, 0x1413);
    EXPECT_EQ(params.param32c, 0x18171615u);
    EXPECT_EQ(params.param16c[0], 0x1A19);
    EXPECT_EQ(params.param16c[5], 0x2423);
    EXPECT_EQ(params.param32d[0], 0x28272625u);
    EXPECT_EQ(params.param32d[5], 0x3C3B3A39u);
    EXPECT_EQ(params.crc16, 0xCDAB);
    for (uint8_t byte : params.reserved)
        EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 02 A3 A3"));
}

TEST_F(Config, GetDeviceParamsFailsOnShortOrWrongAnswersAndKeepsTheRecord)
{
    device.setAutoAck(true);
    DeviceParams params{};
    params.crc16 = 0x1111;
    device.feed(deviceFrame(1, 0xA3, paramsAnswer().left(95)));
    EXPECT_FALSE(protocol->getDeviceParams(params, 1000));
    device.feed(deviceFrame(1, 0xA4, paramsAnswer()));
    EXPECT_FALSE(protocol->getDeviceParams(params, 1000));
    device.feed(deviceFrame(1, 0xA3, hex("00")));
    EXPECT_FALSE(protocol->getDeviceParams(params, 1000));
    EXPECT_EQ(params.crc16, 0x1111);
    EXPECT_EQ(params.param32a, 0u);
}

QByteArray statusAnswer(uint32_t packedClock)
{
    QByteArray answer = hex("00 1C  01 02 03 04  05 06 07 08  09 0A");
    for (int i = 0; i < 4; ++i)
        answer.append(char(packedClock >> (8 * i)));
    answer.append(hex("10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D"));
    return answer;
}

TEST_F(Config, GetDeviceStatusReadsTheClockAsLocalTime)
{
    device.setAutoAck(true);
    // 2024-01-02 03:04:05 packed: 24 << 26 | 1 << 22 | 2 << 17 | 3 << 12 | 4 << 6 | 5.
    device.feed(deviceFrame(2, 0xA4, statusAnswer(0x60443105)));
    DeviceStatus status{};
    EXPECT_TRUE(protocol->getDeviceStatus(status, 1000));

    std::tm local{};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 0;
    local.tm_mday = 2;
    local.tm_hour = 3;
    local.tm_min = 4;
    local.tm_sec = 5;
    local.tm_isdst = -1;
    EXPECT_EQ(status.deviceTime, uint32_t(std::mktime(&local)));
    EXPECT_EQ(status.status32a, 0x04030201u);
    EXPECT_EQ(status.status32b, 0x08070605u);
    EXPECT_EQ(status.status16a, 0x0A09);
    EXPECT_EQ(status.status16b[0], 0x1110);
    EXPECT_EQ(status.status16b[6], 0x1D1C);
}

TEST_F(Config, GetDeviceStatusFailsOnShortOrWrongAnswersAndKeepsTheRecord)
{
    device.setAutoAck(true);
    DeviceStatus status{};
    status.status32a = 99;
    device.feed(deviceFrame(2, 0xA4, statusAnswer(0x60443105).left(29)));
    EXPECT_FALSE(protocol->getDeviceStatus(status, 1000));
    device.feed(deviceFrame(2, 0xA3, statusAnswer(0x60443105)));
    EXPECT_FALSE(protocol->getDeviceStatus(status, 1000));
    EXPECT_FALSE(protocol->getDeviceStatus(status, 1000)); // no answer
    EXPECT_EQ(status.status32a, 99u);
    EXPECT_EQ(status.deviceTime, 0u);
    EXPECT_EQ(device.writes().size(), 5u); // three requests, two answers acknowledged
}

} // namespace
} // namespace liblumo::test

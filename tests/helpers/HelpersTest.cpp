// Helper functions: packed device time, number texts, tokens, JSON, CRC-16, byte order.
#include "FakeClock.h"
#include "helpers/ByteOrder.h"
#include "helpers/InternalHelpers.h"
#include "liblumo.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <chrono>

using namespace liblumo;
using namespace liblumo::helpers;

namespace {

TEST(PackedTime, UnpacksEveryField)
{
    // 0x6162DB5E = 011000 0101 10001 01101 101101 011110
    timestamp_t ts{};
    ts.packed = 0x6162DB5E;
    timestamp2Time(&ts);
    EXPECT_EQ(ts.year, 24);
    EXPECT_EQ(ts.month, 5);
    EXPECT_EQ(ts.day, 17);
    EXPECT_EQ(ts.hour, 13);
    EXPECT_EQ(ts.min, 45);
    EXPECT_EQ(ts.sec, 30);
    EXPECT_EQ(ts.packed, 0x6162DB5Eu);
}

TEST(PackedTime, PacksBackAndCutsOnlyMonthAndDay)
{
    timestamp_t ts{0, 30, 45, 13, 17, 5, 24};
    time2Timestamp(&ts);
    EXPECT_EQ(ts.packed, 0x6162DB5Eu);

    timestamp_t month17{0, 0, 0, 0, 1, 17, 0};
    time2Timestamp(&month17);
    EXPECT_EQ(month17.packed, (1u << 22) | (1u << 17)); // month 17 keeps its low 4 bits: 1

    timestamp_t sec64{0, 64, 0, 0, 0, 0, 0};
    time2Timestamp(&sec64);
    EXPECT_EQ(sec64.packed, 1u << 6); // spills into the minute bits
}

TEST(NumberText, DecimalIsPaddedNeverCut)
{
    EXPECT_EQ(decValue(1234, 9), QStringLiteral("000001234"));
    EXPECT_EQ(decValue(42, 10), QStringLiteral("0000000042"));
    EXPECT_EQ(decValue(1234567890, 4), QStringLiteral("1234567890"));
    EXPECT_EQ(decValue(4294967295u, 9), QStringLiteral("4294967295"));
}

TEST(NumberText, HexIsLowerCaseAndPadded)
{
    EXPECT_EQ(hexValue(uint8_t(0xAB), 2), QStringLiteral("ab"));
    EXPECT_EQ(hexValue(uint8_t(0x0F), 2), QStringLiteral("0f"));
    EXPECT_EQ(hexValue(uint16_t(0x00AF), 4), QStringLiteral("00af"));
    EXPECT_EQ(hexValue(uint32_t(0xDEADBEEF), 4), QStringLiteral("deadbeef"));
}

TEST(Token, LengthGivesNumberOfPieces)
{
    EXPECT_TRUE(tokenGenerator(0).isEmpty());
    const QRegularExpression upperHex(QStringLiteral("^[0-9A-F]+$"));
    // Each piece is one 32-bit number written with 4 to 8 digits.
    const struct {
        uint16_t length;
        int pieces;
    } cases[] = {{1, 1}, {4, 1}, {5, 2}, {8, 2}, {9, 3}};
    for (const auto &c : cases) {
        const QString token = tokenGenerator(c.length);
        EXPECT_GE(token.size(), 4 * c.pieces) << c.length;
        EXPECT_LE(token.size(), 8 * c.pieces) << c.length;
        EXPECT_TRUE(upperHex.match(token).hasMatch()) << token.toStdString();
    }
}

TEST(Json, ObjectsArraysAndBadText)
{
    const QJsonObject object = toJson(QStringLiteral(R"({"a":1,"b":"x"})"));
    EXPECT_EQ(object.value(QStringLiteral("a")).toInt(), 1);
    EXPECT_EQ(object.value(QStringLiteral("b")).toString(), QStringLiteral("x"));
    EXPECT_TRUE(toJson(QStringLiteral("not json")).isEmpty());
    EXPECT_TRUE(toJson(QStringLiteral("[1,2]")).isEmpty());
    EXPECT_EQ(toJsonArray(QStringLiteral("[1,2,3]")).size(), 3);
    EXPECT_TRUE(toJsonArray(QStringLiteral(R"({"a":1})")).isEmpty());
    EXPECT_TRUE(toJsonArray(QStringLiteral("[1,")).isEmpty());
    EXPECT_EQ(fromJson(object), QStringLiteral(R"({"a":1,"b":"x"})"));
}

TEST(Crc16, KnownVectors)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(calcCrc16(digits, sizeof digits), 0xC2B7);
    EXPECT_EQ(calcCrc16(abc, sizeof abc), 0x571C);
    EXPECT_EQ(calcCrc16(nullptr, 0), 0xFFFF);
}

TEST(ByteOrder, ReadersAndWriters)
{
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(readU16BE(bytes), 0x1234);
    EXPECT_EQ(readU16LE(bytes), 0x3412);
    EXPECT_EQ(uint32_t(readU32BE(bytes)), 0x12345678u);
    EXPECT_EQ(uint32_t(readU32LE(bytes)), 0x78563412u);

    uint8_t out[4] = {};
    writeU16BE(0xABCD, out);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    writeU16LE(0xABCD, out);
    EXPECT_EQ(out[0], 0xCD);
    EXPECT_EQ(out[1], 0xAB);
    writeU32LE(0x01020304, out);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(out[3], 0x01);
    writeU32BE(0x01020304, out);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[3], 0x04);
}

TEST(DateText, Formats)
{
    const QDateTime when(QDate(2024, 3, 5), QTime(14, 7, 9, 8));
    EXPECT_EQ(formatDateTime(when), QStringLiteral("2024-03-05 14:07:09"));
    const QRegularExpression now(QStringLiteral(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}$)"));
    EXPECT_TRUE(now.match(nowToString()).hasMatch()) << nowToString().toStdString();
}

TEST(Deadline, NeverStartedCountsAsExpired)
{
    TimeOut never(5000);
    EXPECT_TRUE(never.isExpired());
    EXPECT_EQ(never.remaining(), 0);
}

TEST(Deadline, StartedDeadlineRunsOut)
{
    TimeOut wait(60000);
    wait.start();
    EXPECT_FALSE(wait.isExpired());
    EXPECT_GT(wait.remaining(), 50000);
    EXPECT_LE(wait.remaining(), 60000);

    TimeOut zero(0);
    zero.start();
    const int64_t started = TimeOut::nowMs();
    while (!zero.isExpired())
        ASSERT_LT(TimeOut::nowMs() - started, 1000) << "a 0 ms deadline never expired";
    EXPECT_EQ(zero.remaining(), 0);
}

int64_t steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TEST(Deadline, FollowsAnInstalledClockAndReturnsToTheMonotonicOne)
{
    {
        test::FakeClock clock;
        TimeOut wait(300);
        wait.start();
        EXPECT_EQ(TimeOut::nowMs(), clock.now());
        clock.advance(299);
        EXPECT_EQ(wait.remaining(), 1);
        clock.advance(1);
        EXPECT_FALSE(wait.isExpired()); // expired only once past the deadline
        clock.advance(1);
        EXPECT_TRUE(wait.isExpired());
        EXPECT_EQ(wait.remaining(), 0);
    }
    const int64_t before = steadyMs();
    const int64_t now = TimeOut::nowMs();
    EXPECT_LE(before, now);
    EXPECT_LE(now, steadyMs());
}

} // namespace

// Helper functions: packed device time, number texts, tokens, JSON, CRC-16, byte order,
// the budget that keeps bad input from flooding the log.
#include "FakeClock.h"
#include "helpers/ByteOrder.h"
#include "helpers/InternalHelpers.h"
#include "helpers/Logging.h"
#include "liblumo.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <chrono>
#include <thread>

using namespace liblumo;
using namespace liblumo::helpers;

TEST(PackedTime, UnpacksAndPacksEveryFieldCuttingOnlyMonthAndDay)
{
    // 0x6162DB5E = 011000 0101 10001 01101 101101 011110
    timestamp_t ts{};
    ts.packed = 0x6162DB5E;
    timestamp2Time(&ts);
    EXPECT_EQ((std::vector<int>{ts.year, ts.month, ts.day, ts.hour, ts.min, ts.sec}),
              (std::vector<int>{24, 5, 17, 13, 45, 30}));
    ts.packed = 0;
    time2Timestamp(&ts);
    EXPECT_EQ(ts.packed, 0x6162DB5Eu);
    timestamp_t month17{0, 0, 0, 0, 1, 17, 0}, sec64{0, 64, 0, 0, 0, 0, 0};
    time2Timestamp(&month17);
    time2Timestamp(&sec64);
    EXPECT_EQ(month17.packed, (1u << 22) | (1u << 17)); // month 17 keeps its low 4 bits: 1
    EXPECT_EQ(sec64.packed, 1u << 6);                   // spills into the minute bits
}

TEST(Text, NumbersArePaddedNeverCutHexIsLowerCaseDatesFormatted)
{
    EXPECT_EQ(decValue(1234, 9) + decValue(42, 10), QStringLiteral("0000012340000000042"));
    EXPECT_EQ(decValue(1234567890, 4), QStringLiteral("1234567890"));
    EXPECT_EQ(decValue(4294967295u, 9), QStringLiteral("4294967295"));
    EXPECT_EQ(hexValue(uint8_t(0xAB), 2) + hexValue(uint8_t(0x0F), 2), QStringLiteral("ab0f"));
    EXPECT_EQ(hexValue(uint16_t(0x00AF), 4), QStringLiteral("00af"));
    EXPECT_EQ(hexValue(uint32_t(0xDEADBEEF), 4), QStringLiteral("deadbeef"));
}

TEST(JsonAndToken, ObjectsArraysBadTextAndTokenLength)
{
    // A token has one piece of 4 to 8 upper-case hex digits per 4 of its length.
    EXPECT_TRUE(tokenGenerator(0).isEmpty());
    const QRegularExpression upperHex(QStringLiteral("^[0-9A-F]+$"));
    for (const auto &[length, pieces] : {std::pair{1, 1}, {4, 1}, {5, 2}, {8, 2}, {9, 3}}) {
        const QString token = tokenGenerator(uint16_t(length));
        EXPECT_GE(token.size(), 4 * pieces) << length;
        EXPECT_LE(token.size(), 8 * pieces) << length;
        EXPECT_TRUE(upperHex.match(token).hasMatch()) << token.toStdString();
    }
    const QJsonObject object = toJson(QStringLiteral(R"({"a":1,"b":"x"})"));
    EXPECT_EQ(object.value(QStringLiteral("a")).toInt(), 1);
    EXPECT_EQ(fromJson(object), QStringLiteral(R"({"a":1,"b":"x"})"));
    EXPECT_TRUE(toJson(QStringLiteral("not json")).isEmpty());
    EXPECT_TRUE(toJson(QStringLiteral("[1,2]")).isEmpty());
    EXPECT_EQ(toJsonArray(QStringLiteral("[1,2,3]")).size(), 3);
    EXPECT_TRUE(toJsonArray(QStringLiteral(R"({"a":1})")).isEmpty());
    EXPECT_TRUE(toJsonArray(QStringLiteral("[1,")).isEmpty());
}

TEST(Crc16AndByteOrder, KnownVectors)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(calcCrc16(digits, sizeof digits), 0xC2B7);
    EXPECT_EQ(calcCrc16(abc, sizeof abc), 0x571C);
    EXPECT_EQ(calcCrc16(nullptr, 0), 0xFFFF);
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(readU16BE(bytes), 0x1234);
    EXPECT_EQ(readU16LE(bytes), 0x3412);
    EXPECT_EQ(uint32_t(readU32BE(bytes)), 0x12345678u);
    EXPECT_EQ(uint32_t(readU32LE(bytes)), 0x78563412u);
    uint8_t out[12] = {};
    writeU16BE(0xABCD, out);
    writeU16LE(0xABCD, out + 2);
    writeU32LE(0x01020304, out + 4);
    writeU32BE(0x01020304, out + 8);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12),
              (std::vector<uint8_t>{0xAB, 0xCD, 0xCD, 0xAB, 4, 3, 2, 1, 1, 2, 3, 4}));
    const QDateTime when(QDate(2024, 3, 5), QTime(14, 7, 9, 8));
    EXPECT_EQ(formatDateTime(when), QStringLiteral("2024-03-05 14:07:09"));
    const QRegularExpression now(QStringLiteral(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}$)"));
    EXPECT_TRUE(now.match(nowToString()).hasMatch()) << nowToString().toStdString();
}

TEST(Deadline, ExpiresOnlyOncePastItsEndAndFollowsTheInstalledClock)
{
    TimeOut never(5000), wait(60000), zero(0);
    EXPECT_TRUE(never.isExpired()); // never started counts as expired
    EXPECT_EQ(never.remaining(), 0);
    wait.start();
    EXPECT_FALSE(wait.isExpired());
    EXPECT_GT(wait.remaining(), 50000);
    EXPECT_LE(wait.remaining(), 60000);
    zero.start();
    for (const int64_t started = TimeOut::nowMs(); !zero.isExpired();)
        ASSERT_LT(TimeOut::nowMs() - started, 1000) << "a 0 ms deadline never expired";
    EXPECT_EQ(zero.remaining(), 0);
    {
        test::FakeClock clock;
        TimeOut faked(300);
        faked.start();
        EXPECT_EQ(TimeOut::nowMs(), clock.now());
        for (const auto &[step, left, expired] :
             {std::tuple{299, 1, false}, {1, 0, false}, {1, 0, true}}) {
            clock.advance(step); // expired only once past the deadline
            EXPECT_EQ(faked.remaining(), left);
            EXPECT_EQ(faked.isExpired(), expired);
        }
    }
    const auto steadyMs = [] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    };
    const int64_t before = steadyMs(), now = TimeOut::nowMs();
    EXPECT_LE(before, now); // back on the monotonic clock
    EXPECT_LE(now, steadyMs());
}

TEST(LogBudget, LetsABurstThroughPerWindowAndCountsWhatItHeldBack)
{
    log::LogBudget budget(2, 1);
    EXPECT_TRUE(budget.allow());
    EXPECT_TRUE(budget.allow());
    EXPECT_FALSE(budget.allow());
    EXPECT_FALSE(budget.allow());
    EXPECT_EQ(budget.suppressedSinceLast(), 0); // reported when the next window opens
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // past the 1 ms window
    EXPECT_TRUE(budget.allow());
    EXPECT_EQ(budget.suppressedSinceLast(), 2);
    EXPECT_EQ(budget.suppressedSinceLast(), 0); // once
}

#include "Wire.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace lumosim::wire {

uint8_t lrc(const uint8_t *bytes, std::size_t n)
{
    // XOR eight bytes at a time, then fold the eight lanes: same result, fewer steps for
    // the 500-byte data blocks.
    constexpr std::size_t kWord = sizeof(uint64_t);
    uint64_t wide = 0;
    std::size_t i = 0;
    for (; i + kWord <= n; i += kWord) {
        uint64_t w;
        std::memcpy(&w, bytes + i, kWord);
        wide ^= w;
    }
    uint8_t x = 0;
    for (std::size_t lane = 0; lane < kWord; ++lane)
        x ^= uint8_t(wide >> (8 * lane));
    for (; i < n; ++i)
        x ^= bytes[i];
    return x;
}

std::size_t beginFrame(Bytes &out, uint16_t packet, uint8_t command)
{
    const std::size_t start = out.size();
    out.push_back(kStx);
    putU16BE(out, packet);
    putU16BE(out, 0); // the length, filled in by endFrame
    out.push_back(command);
    return start;
}

void endFrame(Bytes &out, std::size_t start)
{
    const std::size_t dataLen = out.size() - start - kHeaderSize;
    const uint16_t length = uint16_t(dataLen + kLengthBias);
    out[start + 3] = uint8_t(length >> 8);
    out[start + 4] = uint8_t(length);
    out.push_back(lrc(out.data() + start, out.size() - start));
}

void appendFrame(Bytes &out, uint16_t packet, uint8_t command, const uint8_t *data, std::size_t n)
{
    out.reserve(out.size() + n + kOverhead);
    const std::size_t start = beginFrame(out, packet, command);
    if (n)
        out.insert(out.end(), data, data + n);
    endFrame(out, start);
}

Bytes frame(uint16_t packet, uint8_t command, const Bytes &data)
{
    Bytes out;
    appendFrame(out, packet, command, data.data(), data.size());
    return out;
}

void putU16LE(Bytes &out, uint16_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void putU32LE(Bytes &out, uint32_t v)
{
    putU16LE(out, uint16_t(v));
    putU16LE(out, uint16_t(v >> 16));
}

void putU16BE(Bytes &out, uint16_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

uint16_t getU16LE(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}
uint16_t getU16BE(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t getU32LE(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

namespace {
constexpr int kYearBase = 2000;
constexpr int kYearShift = 26, kMonthShift = 22, kDayShift = 17, kHourShift = 12, kMinuteShift = 6;
constexpr uint32_t kSixBits = 0x3F, kFiveBits = 0x1F, kFourBits = 0x0F;
} // namespace

uint32_t packClock(const Clock &c)
{
    return (uint32_t(c.year - kYearBase) & kSixBits) << kYearShift |
           (uint32_t(c.month) & kFourBits) << kMonthShift |
           (uint32_t(c.day) & kFiveBits) << kDayShift |
           (uint32_t(c.hour) & kFiveBits) << kHourShift |
           (uint32_t(c.minute) & kSixBits) << kMinuteShift | (uint32_t(c.second) & kSixBits);
}

Clock unpackClock(uint32_t p)
{
    Clock c;
    c.year = kYearBase + int(p >> kYearShift & kSixBits);
    c.month = int(p >> kMonthShift & kFourBits);
    c.day = int(p >> kDayShift & kFiveBits);
    c.hour = int(p >> kHourShift & kFiveBits);
    c.minute = int(p >> kMinuteShift & kSixBits);
    c.second = int(p & kSixBits);
    return c;
}

namespace {

std::tm toTm(const Clock &c)
{
    std::tm t{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month - 1;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    return t;
}

} // namespace

bool clockValid(const Clock &c)
{
    constexpr int kLastYear = kYearBase + 63;
    if (c.year < kYearBase || c.year > kLastYear || c.month < 1 || c.month > 12 || c.day < 1 ||
        c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59 || c.second < 0 || c.second > 59)
        return false;
    // timegm normalises an impossible day (31 April) into the next month.
    std::tm t = toTm(c);
    ::timegm(&t);
    return t.tm_mday == c.day;
}

Clock addSeconds(const Clock &c, int64_t seconds)
{
    std::tm t = toTm(c);
    time_t when = ::timegm(&t) + time_t(seconds);
    std::tm out{};
    ::gmtime_r(&when, &out);
    Clock r;
    r.year = out.tm_year + 1900;
    r.month = out.tm_mon + 1;
    r.day = out.tm_mday;
    r.hour = out.tm_hour;
    r.minute = out.tm_min;
    r.second = out.tm_sec;
    return r;
}

std::string clockText(const Clock &c)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day,
                  c.hour, c.minute, c.second);
    return text;
}

Bytes handshakePayload(uint32_t din, uint32_t packedClock, uint16_t word, uint16_t crc)
{
    Bytes p;
    p.reserve(kHandshakeSize);
    putU32LE(p, din);
    putU32LE(p, packedClock);
    putU16LE(p, word);
    putU16LE(p, crc);
    return p;
}

std::string dinText(uint32_t din)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%09u", din);
    std::string d(digits);
    return d.substr(0, 3) + "-" + d.substr(3, 3) + "-" + d.substr(6, 3);
}

} // namespace lumosim::wire

#include "TimeText.h"

#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <unistd.h>

namespace lumo_collect {

namespace {

constexpr int64_t kMillisPerSecond = 1000;
constexpr int kYearBase = 1900;
constexpr std::size_t kDateLength = 10;    // yyyy-MM-dd
constexpr std::size_t kMinutesLength = 16; // yyyy-MM-dd HH:mm
constexpr std::size_t kSecondsLength = 19; // yyyy-MM-dd HH:mm:ss
constexpr std::size_t kMillisLength = 23;  // yyyy-MM-ddTHH:mm:ss.zzz

bool digitsAt(const std::string &s, std::size_t pos, std::size_t count, int &value)
{
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

struct Fields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
};

// "yyyy-MM-dd[(T| )HH:mm[:ss[.zzz]]]" with nothing after it.
bool parseFields(const std::string &s, Fields &f, std::size_t &length)
{
    length = s.size();
    if (length < kDateLength || !digitsAt(s, 0, 4, f.year) || s[4] != '-' ||
        !digitsAt(s, 5, 2, f.month) || s[7] != '-' || !digitsAt(s, 8, 2, f.day))
        return false;
    if (length == kDateLength)
        return true;
    if ((s[10] != 'T' && s[10] != ' ') || length < kMinutesLength || !digitsAt(s, 11, 2, f.hour) ||
        s[13] != ':' || !digitsAt(s, 14, 2, f.minute))
        return false;
    if (length == kMinutesLength)
        return true;
    if (s[16] != ':' || !digitsAt(s, 17, 2, f.second))
        return false;
    if (length == kSecondsLength)
        return true;
    return length == kMillisLength && s[19] == '.' && digitsAt(s, 20, 3, f.millis);
}

bool inRange(const Fields &f)
{
    return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 && f.hour <= 23 &&
           f.minute <= 59 && f.second <= 60;
}

std::tm toTm(const Fields &f, int isDst)
{
    std::tm t{};
    t.tm_year = f.year - kYearBase;
    t.tm_mon = f.month - 1;
    t.tm_mday = f.day;
    t.tm_hour = f.hour;
    t.tm_min = f.minute;
    t.tm_sec = f.second;
    t.tm_isdst = isDst;
    return t;
}

// The instant the wall-clock fields name with summer time on or off, when the local
// clock really showed them then.
bool readingWith(const Fields &f, int isDst, int64_t &seconds)
{
    std::tm t = toTm(f, isDst);
    const std::time_t at = std::mktime(&t);
    std::tm back{};
    if (at == static_cast<std::time_t>(-1) || !localtime_r(&at, &back))
        return false;
    seconds = at;
    return back.tm_isdst == isDst && back.tm_year == f.year - kYearBase &&
           back.tm_mon == f.month - 1 && back.tm_mday == f.day && back.tm_hour == f.hour &&
           back.tm_min == f.minute && back.tm_sec == f.second;
}

std::string firstLine(const char *path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

int64_t nowMillis()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string formatUtc(int64_t millis)
{
    const std::time_t seconds = static_cast<std::time_t>(millis / kMillisPerSecond -
                                                         (millis % kMillisPerSecond < 0 ? 1 : 0));
    const int ms = static_cast<int>(millis - int64_t(seconds) * kMillisPerSecond);
    std::tm t{};
    gmtime_r(&seconds, &t);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + kYearBase,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms);
    return text;
}

std::string utcNow()
{
    return formatUtc(nowMillis());
}

bool localTextToMillis(const std::string &text, int64_t notBefore, int64_t &millis)
{
    Fields f;
    std::size_t length = 0;
    if (!parseFields(text, f, length) || length < kSecondsLength || text[10] != 'T' || !inRange(f))
        return false;
    tzset();
    int64_t standard = 0;
    int64_t summer = 0;
    const bool isStandard = readingWith(f, 0, standard);
    const bool isSummer = readingWith(f, 1, summer);
    int64_t seconds = 0;
    if (isStandard && isSummer) {
        // Twice on the clock: the earlier reading unless it would go back in time.
        const int64_t early = std::min(standard, summer);
        const int64_t late = std::max(standard, summer);
        seconds = early * kMillisPerSecond + f.millis >= notBefore ? early : late;
    } else if (isStandard || isSummer) {
        seconds = isStandard ? standard : summer;
    } else {
        std::tm t = toTm(f, -1); // skipped by the clock: as the system normalises it
        const std::time_t at = std::mktime(&t);
        if (at == static_cast<std::time_t>(-1))
            return false;
        seconds = at;
    }
    millis = seconds * kMillisPerSecond + f.millis;
    return true;
}

std::string localZoneName()
{
    if (const char *tz = std::getenv("TZ"); tz && *tz)
        return std::string(tz[0] == ':' ? tz + 1 : tz);
    if (std::string name = firstLine("/etc/timezone"); !name.empty())
        return name;
    std::array<char, 256> link{};
    const ssize_t n = ::readlink("/etc/localtime", link.data(), link.size() - 1);
    const std::string target(link.data(), n > 0 ? std::size_t(n) : 0);
    const std::string marker = "zoneinfo/";
    if (const auto at = target.find(marker); at != std::string::npos)
        return target.substr(at + marker.size());
    tzset();
    return tzname[0];
}

bool parseDeviceTimeBound(const std::string &text, std::string &normalized)
{
    Fields f;
    std::size_t length = 0;
    if (!parseFields(text, f, length) || length > kSecondsLength || !inRange(f))
        return false;
    char out[96];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour,
                  f.minute, f.second);
    normalized = out;
    return true;
}

} // namespace lumo_collect

// Fuzz entry point: arbitrary text through lumo-collect's parser of the device parameter
// file. A refused text leaves the parameters untouched and says why; an accepted one
// holds values that, written back as JSON, read back the same.
#include "ParamsJson.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using liblumo::DeviceParams;

constexpr uint8_t kUntouched = 0xA5;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Every other number as a "0x..." text, so both forms are read back.
std::string number(uint32_t value, bool hex)
{
    if (!hex)
        return std::to_string(value);
    char text[16];
    std::snprintf(text, sizeof text, "\"0x%X\"", unsigned(value));
    return text;
}

template <typename T, std::size_t N> std::string array(const T (&values)[N])
{
    std::string out = "[";
    for (std::size_t i = 0; i < N; ++i)
        out += (i > 0 ? ", " : "") + number(values[i], i % 2 == 1);
    return out + "]";
}

std::string toJson(const DeviceParams &p)
{
    return "{\"param16a\": " + array(p.param16a) + ", \"param32a\": " + number(p.param32a, false) +
           ", \"param32b\": " + number(p.param32b, true) +
           ", \"param16b\": " + number(p.param16b, false) +
           ", \"param32c\": " + number(p.param32c, true) + ", \"param16c\": " + array(p.param16c) +
           ", \"param32d\": " + array(p.param32d) + ", \"crc16\": " + number(p.crc16, true) + "}";
}

// Field by field: padding between the fields carries no value.
bool sameValues(const DeviceParams &a, const DeviceParams &b)
{
    const auto same = [](const auto &x, const auto &y) {
        return std::memcmp(&x, &y, sizeof x) == 0;
    };
    return same(a.param16a, b.param16a) && a.param32a == b.param32a && a.param32b == b.param32b &&
           a.param16b == b.param16b && a.param32c == b.param32c && same(a.param16c, b.param16c) &&
           same(a.param32d, b.param32d) && same(a.reserved, b.reserved) && a.crc16 == b.crc16;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    DeviceParams params;
    std::memset(&params, kUntouched, sizeof params);
    const DeviceParams untouched = params;
    std::string error;
    if (!lumo_collect::parseDeviceParams(text, params, error)) {
        check(!error.empty());
        check(sameValues(params, untouched));
        return 0;
    }
    for (uint8_t byte : params.reserved)
        check(byte == 0);
    DeviceParams again;
    std::memset(&again, kUntouched, sizeof again);
    check(lumo_collect::parseDeviceParams(toJson(params), again, error));
    check(sameValues(params, again));
    return 0;
}

#include "MeasurementRecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lumo_collect {

bool parseSampleCountRule(const std::string &text, SampleCountRule &rule)
{
    if (text == "ns")
        rule = SampleCountRule::Ns;
    else if (text == "nss")
        rule = SampleCountRule::Nss;
    else if (text == "ns*nss")
        rule = SampleCountRule::NsTimesNss;
    else
        return false;
    return true;
}

const char *sampleCountRuleName(SampleCountRule rule)
{
    switch (rule) {
    case SampleCountRule::Ns:
        return "ns";
    case SampleCountRule::Nss:
        return "nss";
    case SampleCountRule::NsTimesNss:
        return "ns*nss";
    }
    return "?";
}

std::size_t sampleCount(SampleCountRule rule, uint16_t ns, uint16_t nss)
{
    std::size_t count = 0;
    switch (rule) {
    case SampleCountRule::Ns:
        count = ns;
        break;
    case SampleCountRule::Nss:
        count = nss;
        break;
    case SampleCountRule::NsTimesNss:
        count = std::size_t{ns} * nss;
        break;
    }
    return std::min(count, liblumo::kMaxSamples);
}

std::string dinOf(const liblumo::lumo_EventData &record)
{
    return std::string(record.din, strnlen(record.din, liblumo::kDinSize));
}

MeasurementRecord copyMeasurement(const liblumo::lumo_EventData &record, SampleCountRule rule)
{
    // The payload is a byte array; copy the head field by field instead of aliasing it.
    liblumo::timestamp_t dtime{};
    uint32_t typeset = 0;
    uint16_t ns = 0;
    uint16_t nss = 0;
    const uint8_t *payload = record.payload;
    std::memcpy(&dtime, payload + offsetof(liblumo::Measurement, dtime), sizeof dtime);
    std::memcpy(&typeset, payload + offsetof(liblumo::Measurement, typeset), sizeof typeset);
    std::memcpy(&ns, payload + offsetof(liblumo::Measurement, ns), sizeof ns);
    std::memcpy(&nss, payload + offsetof(liblumo::Measurement, nss), sizeof nss);

    MeasurementRecord m;
    m.din = dinOf(record);
    m.dtimePacked = dtime.packed;
    m.measuredAt = formatDeviceTime(dtime.packed);
    m.receivedAt = localNow();
    m.typeset = typeset;
    m.ns = ns;
    m.nss = nss;
    m.samples.resize(sampleCount(rule, ns, nss));
    std::memcpy(m.samples.data(), payload + offsetof(liblumo::Measurement, samples),
                m.samples.size() * sizeof(uint16_t));
    return m;
}

StatusRecord copyStatus(const liblumo::lumo_EventData &record)
{
    liblumo::DeviceStatus raw{};
    std::memcpy(&raw, record.payload, sizeof raw);
    StatusRecord s;
    s.status32a = raw.status32a;
    s.status32b = raw.status32b;
    s.status16a = raw.status16a;
    s.deviceTime = raw.deviceTime;
    std::copy(std::begin(raw.status16b), std::end(raw.status16b), std::begin(s.status16b));
    return s;
}

bool payloadHasStatus(const liblumo::lumo_EventData &record)
{
    const uint8_t *begin = record.payload;
    const uint8_t *end = begin + sizeof(liblumo::DeviceStatus);
    return std::any_of(begin, end, [](uint8_t b) { return b != 0; });
}

std::string formatDeviceTime(uint32_t packed)
{
    liblumo::timestamp_t ts{};
    ts.packed = packed;
    liblumo::helpers::timestamp2Time(&ts);
    constexpr int kYearBase = 2000;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", kYearBase + ts.year, ts.month,
                  ts.day, ts.hour, ts.min, ts.sec);
    return text;
}

std::string localNow()
{
    return liblumo::helpers::nowToString().toStdString();
}

} // namespace lumo_collect
